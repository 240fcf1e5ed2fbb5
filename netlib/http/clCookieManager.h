// Cookies: one cookie, a list that reads the cookies of a response head and writes the "Cookie"
// field of a request head, and a store that keeps cookies across requests and picks the ones
// that belong to a request.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "netlib/http/clHeaderFieldList.h"
#include "rtl/Classes.h"
#include "rtl/DateUtils.h"
#include "rtl/SyncObjs.h"
#include "rtl/SysUtils.h"

namespace netlib {

enum TclCookieFormat : uint8_t { cfNetscape, cfRFC2109, cfRFC2965 };

class TclCookieList;

class TclCookieItem {
 public:
  TclCookieItem() = default;
  virtual ~TclCookieItem() = default;
  TclCookieItem(const TclCookieItem&) = delete;
  TclCookieItem& operator=(const TclCookieItem&) = delete;

  // Copies every field; MaxAge raw, without moving Expires.
  virtual void Assign(const TclCookieItem& Source);

  // False while Expires lies between -1 and 0 (no expiry set).
  bool IsPersistent() const;
  // MaxAge 0, or an expiry set and already before the current local time.
  bool IsExpired() const;

  // The list the cookie belongs to (nullptr for a free cookie) and its index there.
  TclCookieList* Collection() const { return FCollection; }
  int Index() const;

  bool Secure() const { return FSecure; }
  void SetSecure(bool Value) { FSecure = Value; }
  const rtl::String& Value() const { return FValue; }
  void SetValue(const rtl::String& Value) { FValue = Value; }
  // Local time; -1..0 means no expiry.
  rtl::TDateTime Expires() const { return FExpires; }
  void SetExpires(rtl::TDateTime Value) { FExpires = Value; }
  const rtl::String& Name() const { return FName; }
  void SetName(const rtl::String& Value) { FName = Value; }
  const rtl::String& Domain() const { return FDomain; }
  void SetDomain(const rtl::String& Value) { FDomain = Value; }
  const rtl::String& Path() const { return FPath; }
  void SetPath(const rtl::String& Value) { FPath = Value; }
  const rtl::String& CookieData() const { return FCookieData; }
  void SetCookieData(const rtl::String& Value) { FCookieData = Value; }
  bool Discard() const { return FDiscard; }
  void SetDiscard(bool Value) { FDiscard = Value; }
  int64_t MaxAge() const { return FMaxAge; }
  // A changed positive value with no expiry set (Expires negative) sets Expires that many
  // seconds ahead of now.
  void SetMaxAge(int64_t Value);
  int32_t Version() const { return FVersion; }
  void SetVersion(int32_t Value) { FVersion = Value; }
  const rtl::String& Port() const { return FPort; }
  void SetPort(const rtl::String& Value) { FPort = Value; }
  const rtl::String& CommentURL() const { return FCommentURL; }
  void SetCommentURL(const rtl::String& Value) { FCommentURL = Value; }
  const rtl::String& Comment() const { return FComment; }
  void SetComment(const rtl::String& Value) { FComment = Value; }
  TclCookieFormat Format() const { return FFormat; }
  void SetFormat(TclCookieFormat Value) { FFormat = Value; }

 private:
  friend class TclCookieList;

  bool FSecure = false;
  rtl::String FValue;
  rtl::TDateTime FExpires = -1;
  rtl::String FName;
  rtl::String FDomain;
  rtl::String FPath;
  rtl::String FCookieData;
  bool FDiscard = false;
  int64_t FMaxAge = -1;
  int32_t FVersion = 0;
  rtl::String FPort;
  rtl::String FCommentURL;
  rtl::String FComment;
  TclCookieFormat FFormat = cfNetscape;
  TclCookieList* FCollection = nullptr;
};

// An owning list of cookies. Not guarded: the store locks around it.
class TclCookieList {
 public:
  TclCookieList() = default;
  virtual ~TclCookieList();
  TclCookieList(const TclCookieList&) = delete;
  TclCookieList& operator=(const TclCookieList&) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  // Raises rtl::EListError "List index out of bounds (%d)" outside 0..Count-1.
  TclCookieItem* Items(int AIndex) const;
  TclCookieItem* operator[](int AIndex) const { return Items(AIndex); }
  // Appends a new cookie with the defaults.
  TclCookieItem* Add();
  // Appends a copy of ACookie.
  TclCookieItem* AddCopy(const TclCookieItem& ACookie);
  void Delete(int AIndex);
  void Clear();
  int IndexOf(const TclCookieItem* ACookie) const;
  // Replaces the content by copies of ASource's cookies.
  void Assign(const TclCookieList& ASource);
  // By name (case ignored, ascending), equal names by path (case ignored, descending); cookies
  // equal in both keep their order.
  void Sort();

  // Change notification: OnChange after every change outside an update bracket, and once when
  // the outermost bracket ends.
  void BeginUpdate() { ++FUpdateCount; }
  void EndUpdate();
  int UpdateCount() const { return FUpdateCount; }
  std::function<void(TclCookieList* Sender)> OnChange;

  // "name=value" for a request.
  virtual rtl::String GetCookieText(const TclCookieItem& ACookie);
  // Makes one cookie of the field AFieldIndex of AFieldList; nullptr when the value is empty or
  // the cookie is refused (a "domain" attribute the host may not set).
  virtual TclCookieItem* ParseResponseCookie(TclHeaderFieldList& AFieldList, int AFieldIndex,
                                             int ARequestPort, const rtl::String& ARequestPath,
                                             const rtl::String& ARequestHost);
  // Replaces every "Cookie" field of the header lines by one holding this list's cookies
  // (none when the list is empty).
  virtual void SetRequestCookies(rtl::TStringList& ARequestHeader);
  // Clears the list and reads the "Set-Cookie" and "Set-Cookie2" fields of the head in order.
  virtual void GetResponseCookies(rtl::TStringList& AResponseHeader, const rtl::String& ADomain,
                                  const rtl::String& APath, int APort);
  // Our own text form (see docs/auth.md), UTF-8. Save writes at the stream's position; Load
  // reads from the position to the end and replaces the list only when all of it is valid,
  // else raises rtl::EReadError naming the line.
  virtual void Load(rtl::TStream& ASource);
  virtual void Save(rtl::TStream& ADestination) const;

 protected:
  void Changed();

 private:
  std::vector<std::unique_ptr<TclCookieItem>> FItems;
  int FUpdateCount = 0;
};

using TclCookieEvent = std::function<void(void* Sender, TclCookieItem* ACookie, bool& Allow)>;
using TclUpdateCookieEvent =
    std::function<void(void* Sender, TclCookieItem* AOldCookie, TclCookieItem* ANewCookie, bool& Allow)>;
using TclAcceptCookieEvent =
    std::function<void(void* Sender, TclCookieItem* ACookie, const rtl::String& ADomain,
                       const rtl::String& APath, int APort, bool ASecure, bool& Allow)>;

// A store of cookies shared across requests. AddCookies and GetCookies hold the store's lock
// for their whole run, so one store may serve clients on several threads; the event handlers
// run inside it.
class TclCookieManager {
 public:
  TclCookieManager();
  virtual ~TclCookieManager();
  TclCookieManager(const TclCookieManager&) = delete;
  TclCookieManager& operator=(const TclCookieManager&) = delete;

  TclCookieList* Cookies() const { return FCookies.get(); }

  // Enter / leave the lock and suspend / resume the store list's change notification.
  void BeginUpdate();
  void EndUpdate();

  // Drops expired stored cookies, then adds, updates or deletes by the incoming cookies (name,
  // domain and path compared ignoring case).
  void AddCookies(const TclCookieList& ACookies);
  // Drops expired stored cookies and fills ACookies with copies of those for the request,
  // sorted.
  void GetCookies(TclCookieList& ACookies, const rtl::String& ADomain, const rtl::String& APath,
                  int APort, bool ASecure);
  // Whether a stored cookie belongs to the request, before OnAcceptCookie.
  static bool MatchCookie(const TclCookieItem& ACookie, const rtl::String& ADomain,
                          const rtl::String& APath, int APort, bool ASecure);

  TclCookieEvent OnAddCookie;
  TclCookieEvent OnDeleteCookie;
  TclUpdateCookieEvent OnUpdateCookie;
  TclAcceptCookieEvent OnAcceptCookie;

  // Destruction notice for components that keep a pointer to the store: the handler runs once
  // when the store is destroyed. AKey identifies the registration for removal.
  void FreeNotification(const void* AKey, std::function<void(TclCookieManager*)> AHandler);
  void RemoveFreeNotification(const void* AKey);

 protected:
  virtual void DoAddCookie(TclCookieItem* ACookie, bool& Allow);
  virtual void DoDeleteCookie(TclCookieItem* ACookie, bool& Allow);
  virtual void DoUpdateCookie(TclCookieItem* AOldCookie, TclCookieItem* ANewCookie, bool& Allow);
  virtual void DoAcceptCookie(TclCookieItem* ACookie, const rtl::String& ADomain, const rtl::String& APath,
                              int APort, bool ASecure, bool& Allow);

 private:
  void RemoveExpiredCookies();

  std::unique_ptr<TclCookieList> FCookies;
  rtl::TCriticalSection FAccessor;
  std::vector<std::pair<const void*, std::function<void(TclCookieManager*)>>> FFreeNotifies;
};

}  // namespace netlib
