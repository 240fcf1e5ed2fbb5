#include "netlib/http/clHttpHeader.h"

#include "netlib/text/clUtils.h"

namespace netlib {

// --- TclHttpEntityHeader ------------------------------------------------------------------------

TclHttpEntityHeader::TclHttpEntityHeader()
    : FExtraFields(std::make_unique<rtl::TStringList>()),
      FKnownFields(std::make_unique<rtl::TStringList>()) {
  WatchList(*FExtraFields);
  RegisterFields();
  Clear();
}

TclHttpEntityHeader::~TclHttpEntityHeader() = default;

void TclHttpEntityHeader::WatchList(rtl::TStringList& AList) {
  AList.OnChange = [this](rtl::TStringList*) { Update(); };
}

void TclHttpEntityHeader::EndUpdate() {
  if (FUpdateCount > 0) {
    --FUpdateCount;
    Update();
  }
}

void TclHttpEntityHeader::Update() {
  if (FUpdateCount == 0 && OnChanged) OnChanged(this);
}

void TclHttpEntityHeader::SetStringField(rtl::String& AField, const rtl::String& AValue) {
  if (AField == AValue) return;
  AField = AValue;
  Update();
}

void TclHttpEntityHeader::RegisterField(const rtl::String& AName) {
  if (TclStringsUtils::FindInStrings(*FKnownFields, AName) < 0) FKnownFields->Add(AName);
}

void TclHttpEntityHeader::RegisterFields() {
  for (const char16_t* name :
       {u"Cache-Control", u"Connection", u"Content-Encoding", u"Content-Language", u"Content-Length",
        u"Content-Type", u"Content-Version", u"Date", u"Expires", u"Last-Modified",
        u"Proxy-Connection", u"Transfer-Encoding"})
    RegisterField(name);
}

void TclHttpEntityHeader::Clear() {
  Bracket([this] {
    SetCacheControl(u"");
    SetProxyConnection(u"");
    SetConnection(u"");
    SetContentEncoding(u"");
    SetLastModified(u"");
    SetContentType(u"");
    SetContentLanguage(u"");
    SetContentVersion(u"");
    SetContentLength(u"");
    SetExpires(u"");
    SetDate(u"");
    FExtraFields->Clear();
    SetTransferEncoding(u"");
    SetBoundary(u"");
    SetCharSet(u"");
  });
}

void TclHttpEntityHeader::Assign(const TPersistent* Source) {
  auto* s = dynamic_cast<const TclHttpEntityHeader*>(Source);
  if (!s) {
    TPersistent::Assign(Source);
    return;
  }
  Bracket([this, s] {
    SetCacheControl(s->CacheControl());
    SetProxyConnection(s->ProxyConnection());
    SetConnection(s->Connection());
    SetContentEncoding(s->ContentEncoding());
    SetLastModified(s->LastModified());
    SetContentType(s->ContentType());
    SetContentLanguage(s->ContentLanguage());
    SetContentVersion(s->ContentVersion());
    SetContentLength(s->ContentLength());
    SetExpires(s->Expires());
    SetDate(s->Date());
    FExtraFields->Assign(*s->ExtraFields());
    SetTransferEncoding(s->TransferEncoding());
    SetBoundary(s->Boundary());
    SetCharSet(s->CharSet());
  });
}

void TclHttpEntityHeader::ParseHeader(rtl::TStringList& AHeader) {
  Bracket([this, &AHeader] {
    Clear();
    TclHeaderFieldList fieldList;
    fieldList.Parse(0, &AHeader);
    ParseFields(fieldList);
    for (int i = 0; i < fieldList.FieldList().Count(); ++i) {
      if (TclStringsUtils::FindInStrings(*FKnownFields, fieldList.FieldList()[i]) >= 0) continue;
      FExtraFields->Add(fieldList.GetFieldName(i) + u": " + fieldList.GetFieldValue(i));
    }
  });
}

void TclHttpEntityHeader::AssignHeader(rtl::TStringList& AHeader) {
  AHeader.BeginUpdate();
  try {
    TclHeaderFieldList fieldList;
    fieldList.Parse(0, &AHeader);
    AssignFields(fieldList);
  } catch (...) {
    AHeader.EndUpdate();
    throw;
  }
  AHeader.EndUpdate();
}

void TclHttpEntityHeader::ParseFields(TclHeaderFieldList& AFieldList) {
  SetCacheControl(AFieldList.GetFieldValue(u"Cache-Control"));
  SetConnection(AFieldList.GetFieldValue(u"Connection"));
  SetContentEncoding(AFieldList.GetFieldValue(u"Content-Encoding"));
  SetContentLanguage(AFieldList.GetFieldValue(u"Content-Language"));
  SetContentLength(AFieldList.GetFieldValue(u"Content-Length"));
  SetContentVersion(AFieldList.GetFieldValue(u"Content-Version"));
  SetDate(AFieldList.GetFieldValue(u"Date"));
  SetExpires(AFieldList.GetFieldValue(u"Expires"));
  SetLastModified(AFieldList.GetFieldValue(u"Last-Modified"));
  SetProxyConnection(AFieldList.GetFieldValue(u"Proxy-Connection"));
  SetTransferEncoding(AFieldList.GetFieldValue(u"Transfer-Encoding"));
  ParseContentType(AFieldList);
}

void TclHttpEntityHeader::ParseContentType(TclHeaderFieldList& AFieldList) {
  rtl::String value = AFieldList.GetFieldValue(u"Content-Type");
  SetContentType(AFieldList.GetFieldValueItem(value, u""));
  SetBoundary(AFieldList.GetFieldValueItem(value, u"boundary"));
  SetCharSet(AFieldList.GetFieldValueItem(value, u"charset"));
}

void TclHttpEntityHeader::AssignFields(TclHeaderFieldList& AFieldList) {
  AFieldList.AddField(u"Content-Encoding", ContentEncoding());
  AFieldList.AddField(u"Content-Language", ContentLanguage());
  AFieldList.AddField(u"Content-Length", ContentLength());
  AFieldList.AddField(u"Content-Version", ContentVersion());
  AssignContentType(AFieldList);
  AFieldList.AddField(u"Date", Date());
  AFieldList.AddField(u"Expires", Expires());
  AFieldList.AddField(u"Last-Modified", LastModified());
  AFieldList.AddField(u"Transfer-Encoding", TransferEncoding());
  AFieldList.AddField(u"Cache-Control", CacheControl());
  AFieldList.AddField(u"Connection", Connection());
  AFieldList.AddField(u"Proxy-Connection", ProxyConnection());
  AFieldList.AddFields(*FExtraFields);
}

void TclHttpEntityHeader::AssignContentType(TclHeaderFieldList& AFieldList) {
  if (ContentType().empty()) return;
  AFieldList.AddField(u"Content-Type", ContentType());
  AFieldList.AddFieldItem(u"Content-Type", u"boundary", Boundary());
  AFieldList.AddFieldItem(u"Content-Type", u"charset", CharSet());
}

// --- TclHttpRequestHeader -----------------------------------------------------------------------

TclHttpRequestHeader::TclHttpRequestHeader() {
  RegisterFields();
  Clear();
}

void TclHttpRequestHeader::RegisterFields() {
  TclHttpEntityHeader::RegisterFields();
  for (const char16_t* name :
       {u"Accept", u"Accept-Charset", u"Accept-Encoding", u"Accept-Language", u"Authorization",
        u"Host", u"Proxy-Authorization", u"Range", u"Referer", u"User-Agent"})
    RegisterField(name);
}

void TclHttpRequestHeader::Clear() {
  Bracket([this] {
    TclHttpEntityHeader::Clear();
    SetReferer(u"");
    SetAcceptEncoding(u"");
    SetAccept(u"");
    SetUserAgent(u"");
    SetAcceptLanguage(u"");
    SetAcceptCharSet(u"");
    SetAuthorization(u"");
    SetProxyAuthorization(u"");
    SetRange(u"");
    SetHost(u"");
    SetAccept(u"*/*");
  });
}

void TclHttpRequestHeader::Assign(const TPersistent* Source) {
  auto* s = dynamic_cast<const TclHttpRequestHeader*>(Source);
  if (!s) {
    TclHttpEntityHeader::Assign(Source);
    return;
  }
  Bracket([this, s] {
    TclHttpEntityHeader::Assign(s);
    SetReferer(s->Referer());
    SetAcceptEncoding(s->AcceptEncoding());
    SetAccept(s->Accept());
    SetUserAgent(s->UserAgent());
    SetAcceptLanguage(s->AcceptLanguage());
    SetAcceptCharSet(s->AcceptCharSet());
    SetAuthorization(s->Authorization());
    SetProxyAuthorization(s->ProxyAuthorization());
    SetRange(s->Range());
    SetHost(s->Host());
  });
}

void TclHttpRequestHeader::ParseFields(TclHeaderFieldList& AFieldList) {
  TclHttpEntityHeader::ParseFields(AFieldList);
  SetAccept(AFieldList.GetFieldValue(u"Accept"));
  SetAcceptCharSet(AFieldList.GetFieldValue(u"Accept-Charset"));
  SetAcceptEncoding(AFieldList.GetFieldValue(u"Accept-Encoding"));
  SetAcceptLanguage(AFieldList.GetFieldValue(u"Accept-Language"));
  SetAuthorization(AFieldList.GetFieldValue(u"Authorization"));
  SetHost(AFieldList.GetFieldValue(u"Host"));
  SetProxyAuthorization(AFieldList.GetFieldValue(u"Proxy-Authorization"));
  SetRange(AFieldList.GetFieldValue(u"Range"));
  SetReferer(AFieldList.GetFieldValue(u"Referer"));
  SetUserAgent(AFieldList.GetFieldValue(u"User-Agent"));
}

void TclHttpRequestHeader::AssignFields(TclHeaderFieldList& AFieldList) {
  AFieldList.AddField(u"Accept", Accept());
  AFieldList.AddField(u"Accept-Charset", AcceptCharSet());
  AFieldList.AddField(u"Accept-Encoding", AcceptEncoding());
  AFieldList.AddField(u"Accept-Language", AcceptLanguage());
  AFieldList.AddField(u"Range", Range());
  AFieldList.AddField(u"Referer", Referer());
  AFieldList.AddField(u"Host", Host());
  AFieldList.AddField(u"User-Agent", UserAgent());
  AFieldList.AddField(u"Authorization", Authorization());
  AFieldList.AddField(u"Proxy-Authorization", ProxyAuthorization());
  TclHttpEntityHeader::AssignFields(AFieldList);
}

// --- TclHttpResponseHeader ----------------------------------------------------------------------

TclHttpResponseHeader::TclHttpResponseHeader()
    : FAuthenticate(std::make_unique<rtl::TStringList>()),
      FProxyAuthenticate(std::make_unique<rtl::TStringList>()) {
  WatchList(*FAuthenticate);
  WatchList(*FProxyAuthenticate);
  RegisterFields();
  Clear();
}

void TclHttpResponseHeader::RegisterFields() {
  TclHttpEntityHeader::RegisterFields();
  for (const char16_t* name :
       {u"Accept-Ranges", u"Age", u"Allow", u"WWW-Authenticate", u"Content-Range",
        u"Content-Disposition", u"ETag", u"Location", u"Proxy-Authenticate", u"Retry-After",
        u"Server"})
    RegisterField(name);
}

void TclHttpResponseHeader::Clear() {
  Bracket([this] {
    TclHttpEntityHeader::Clear();
    SetAge(u"");
    SetAcceptRanges(u"");
    SetRetryAfter(u"");
    FAuthenticate->Clear();
    SetAllow(u"");
    FProxyAuthenticate->Clear();
    SetContentRange(u"");
    SetETag(u"");
    SetServer(u"");
    SetLocation(u"");
    SetContentDisposition(u"");
  });
}

void TclHttpResponseHeader::Assign(const TPersistent* Source) {
  auto* s = dynamic_cast<const TclHttpResponseHeader*>(Source);
  if (!s) {
    TclHttpEntityHeader::Assign(Source);
    return;
  }
  Bracket([this, s] {
    TclHttpEntityHeader::Assign(s);
    SetAge(s->Age());
    SetAcceptRanges(s->AcceptRanges());
    SetRetryAfter(s->RetryAfter());
    FAuthenticate->Assign(*s->Authenticate());
    SetAllow(s->Allow());
    FProxyAuthenticate->Assign(*s->ProxyAuthenticate());
    SetContentRange(s->ContentRange());
    SetETag(s->ETag());
    SetServer(s->Server());
    SetLocation(s->Location());
    SetContentDisposition(s->ContentDisposition());
  });
}

void TclHttpResponseHeader::ParseFields(TclHeaderFieldList& AFieldList) {
  TclHttpEntityHeader::ParseFields(AFieldList);
  SetAcceptRanges(AFieldList.GetFieldValue(u"Accept-Ranges"));
  SetAge(AFieldList.GetFieldValue(u"Age"));
  SetAllow(AFieldList.GetFieldValue(u"Allow"));
  SetContentRange(AFieldList.GetFieldValue(u"Content-Range"));
  SetContentDisposition(AFieldList.GetFieldValue(u"Content-Disposition"));
  SetETag(AFieldList.GetFieldValue(u"ETag"));
  SetLocation(AFieldList.GetFieldValue(u"Location"));
  SetRetryAfter(AFieldList.GetFieldValue(u"Retry-After"));
  SetServer(AFieldList.GetFieldValue(u"Server"));
  for (int i = 0; i < AFieldList.FieldList().Count(); ++i) {
    const rtl::String& name = AFieldList.FieldList()[i];
    if (rtl::SameText(name, u"WWW-Authenticate"))
      FAuthenticate->Add(AFieldList.GetFieldValue(i));
    else if (rtl::SameText(name, u"Proxy-Authenticate"))
      FProxyAuthenticate->Add(AFieldList.GetFieldValue(i));
  }
}

void TclHttpResponseHeader::AssignFields(TclHeaderFieldList& AFieldList) {
  AFieldList.AddField(u"Allow", Allow());
  AFieldList.AddField(u"Accept-Ranges", AcceptRanges());
  AFieldList.AddField(u"Age", Age());
  AFieldList.AddField(u"Content-Range", ContentRange());
  AFieldList.AddField(u"Content-Disposition", ContentDisposition());
  AFieldList.AddField(u"ETag", ETag());
  AFieldList.AddField(u"Location", Location());
  AFieldList.AddField(u"Retry-After", RetryAfter());
  AFieldList.AddField(u"Server", Server());
  for (const rtl::String& value : *FAuthenticate) AFieldList.AddField(u"WWW-Authenticate", value);
  for (const rtl::String& value : *FProxyAuthenticate) AFieldList.AddField(u"Proxy-Authenticate", value);
  TclHttpEntityHeader::AssignFields(AFieldList);
}

}  // namespace netlib
