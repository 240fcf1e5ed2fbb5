// Typed HTTP message headers: the well-known fields as properties, read from header lines
// (ParseHeader) and written to them (AssignHeader); every other field is kept as a raw line in
// ExtraFields.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "netlib/http/clHeaderFieldList.h"
#include "netlib/http/clPersistent.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace netlib {

// A string property backed by the field F<Name>; the setter notifies when the value changes.
#define CL_HEADER_PROPERTY(Name)                                                   \
  const rtl::String& Name() const { return F##Name; }                              \
  void Set##Name(const rtl::String& Value) { SetStringField(F##Name, Value); }

class TclHttpEntityHeader : public TPersistent {
 public:
  TclHttpEntityHeader();
  ~TclHttpEntityHeader() override;
  TclHttpEntityHeader(const TclHttpEntityHeader&) = delete;
  TclHttpEntityHeader& operator=(const TclHttpEntityHeader&) = delete;

  // From a header of the same or a related class: the fields both have, through the setters;
  // anything else fails (EConvertError).
  void Assign(const TPersistent* Source) override;
  const char* ClassName() const override { return "TclHttpEntityHeader"; }

  // Empties every field (the request header then sets Accept to "*/*").
  virtual void Clear();
  // Clear, then read the known fields of the lines and keep the others in ExtraFields.
  void ParseHeader(rtl::TStringList& AHeader);
  // Appends every non-empty field to the header block of AHeader.
  void AssignHeader(rtl::TStringList& AHeader);

  void BeginUpdate() { ++FUpdateCount; }
  // Fires OnChanged when the outermost update ends.
  void EndUpdate();
  void Update();

  CL_HEADER_PROPERTY(CacheControl)
  CL_HEADER_PROPERTY(ProxyConnection)
  CL_HEADER_PROPERTY(Connection)
  CL_HEADER_PROPERTY(ContentEncoding)
  CL_HEADER_PROPERTY(LastModified)
  CL_HEADER_PROPERTY(ContentType)
  CL_HEADER_PROPERTY(ContentLanguage)
  CL_HEADER_PROPERTY(ContentVersion)
  CL_HEADER_PROPERTY(ContentLength)
  CL_HEADER_PROPERTY(Expires)
  CL_HEADER_PROPERTY(Date)
  CL_HEADER_PROPERTY(TransferEncoding)
  CL_HEADER_PROPERTY(Boundary)
  CL_HEADER_PROPERTY(CharSet)
  // One "Name: value" line per field the class does not know; its changes notify too.
  rtl::TStringList* ExtraFields() const { return FExtraFields.get(); }
  void SetExtraFields(const rtl::TStringList& Value) { FExtraFields->Assign(Value); }
  // The names of the fields this class handles, compared ignoring case.
  const rtl::TStringList& KnownFields() const { return *FKnownFields; }

  std::function<void(TclHttpEntityHeader* Sender)> OnChanged;

 protected:
  void SetStringField(rtl::String& AField, const rtl::String& AValue);
  void RegisterField(const rtl::String& AName);
  // Runs AAction inside BeginUpdate/EndUpdate; EndUpdate runs on every path.
  template <class F>
  void Bracket(F AAction) {
    BeginUpdate();
    try {
      AAction();
    } catch (...) {
      EndUpdate();
      throw;
    }
    EndUpdate();
  }
  void WatchList(rtl::TStringList& AList);

  virtual void RegisterFields();
  virtual void ParseFields(TclHeaderFieldList& AFieldList);
  virtual void AssignFields(TclHeaderFieldList& AFieldList);
  virtual void ParseContentType(TclHeaderFieldList& AFieldList);
  virtual void AssignContentType(TclHeaderFieldList& AFieldList);

 private:
  rtl::String FCacheControl;
  rtl::String FProxyConnection;
  rtl::String FConnection;
  rtl::String FContentEncoding;
  rtl::String FLastModified;
  rtl::String FContentType;
  rtl::String FContentLanguage;
  rtl::String FContentVersion;
  rtl::String FContentLength;
  rtl::String FExpires;
  rtl::String FDate;
  std::unique_ptr<rtl::TStringList> FExtraFields;
  rtl::String FTransferEncoding;
  rtl::String FBoundary;
  int32_t FUpdateCount = 0;
  std::unique_ptr<rtl::TStringList> FKnownFields;
  rtl::String FCharSet;
};

class TclHttpRequestHeader : public TclHttpEntityHeader {
 public:
  TclHttpRequestHeader();
  void Assign(const TPersistent* Source) override;
  const char* ClassName() const override { return "TclHttpRequestHeader"; }
  void Clear() override;

  CL_HEADER_PROPERTY(Referer)
  CL_HEADER_PROPERTY(AcceptEncoding)
  CL_HEADER_PROPERTY(Accept)
  CL_HEADER_PROPERTY(UserAgent)
  CL_HEADER_PROPERTY(AcceptLanguage)
  CL_HEADER_PROPERTY(AcceptCharSet)
  CL_HEADER_PROPERTY(Authorization)
  CL_HEADER_PROPERTY(ProxyAuthorization)
  CL_HEADER_PROPERTY(Range)
  CL_HEADER_PROPERTY(Host)

 protected:
  void RegisterFields() override;
  void ParseFields(TclHeaderFieldList& AFieldList) override;
  void AssignFields(TclHeaderFieldList& AFieldList) override;

 private:
  rtl::String FReferer;
  rtl::String FAcceptEncoding;
  rtl::String FAccept;
  rtl::String FUserAgent;
  rtl::String FAcceptLanguage;
  rtl::String FAcceptCharSet;
  rtl::String FAuthorization;
  rtl::String FProxyAuthorization;
  rtl::String FRange;
  rtl::String FHost;
};

class TclHttpResponseHeader : public TclHttpEntityHeader {
 public:
  TclHttpResponseHeader();
  void Assign(const TPersistent* Source) override;
  const char* ClassName() const override { return "TclHttpResponseHeader"; }
  void Clear() override;

  CL_HEADER_PROPERTY(Age)
  CL_HEADER_PROPERTY(AcceptRanges)
  CL_HEADER_PROPERTY(RetryAfter)
  CL_HEADER_PROPERTY(Allow)
  CL_HEADER_PROPERTY(ContentRange)
  CL_HEADER_PROPERTY(ETag)
  CL_HEADER_PROPERTY(Server)
  CL_HEADER_PROPERTY(Location)
  CL_HEADER_PROPERTY(ContentDisposition)
  // One entry per "WWW-Authenticate" / "Proxy-Authenticate" field, in line order.
  rtl::TStringList* Authenticate() const { return FAuthenticate.get(); }
  void SetAuthenticate(const rtl::TStringList& Value) { FAuthenticate->Assign(Value); }
  rtl::TStringList* ProxyAuthenticate() const { return FProxyAuthenticate.get(); }
  void SetProxyAuthenticate(const rtl::TStringList& Value) { FProxyAuthenticate->Assign(Value); }

 protected:
  void RegisterFields() override;
  void ParseFields(TclHeaderFieldList& AFieldList) override;
  void AssignFields(TclHeaderFieldList& AFieldList) override;

 private:
  rtl::String FAge;
  rtl::String FAcceptRanges;
  rtl::String FRetryAfter;
  std::unique_ptr<rtl::TStringList> FAuthenticate;
  rtl::String FAllow;
  std::unique_ptr<rtl::TStringList> FProxyAuthenticate;
  rtl::String FContentRange;
  rtl::String FETag;
  rtl::String FServer;
  rtl::String FLocation;
  rtl::String FContentDisposition;
};

#undef CL_HEADER_PROPERTY

}  // namespace netlib
