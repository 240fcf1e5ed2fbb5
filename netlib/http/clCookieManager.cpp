#include "netlib/http/clCookieManager.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <mutex>
#include <string>

#include "netlib/text/clUtils.h"
#include "rtl/Exception.h"

namespace netlib {

namespace {

// Trimmed, with a leading "." when not empty.
rtl::String DottedDomain(std::u16string_view ADomain) {
  rtl::String d = rtl::Trim(ADomain);
  if (!d.empty() && d[0] != u'.') d.insert(d.begin(), u'.');
  return d;
}

rtl::String TrimmedPath(std::u16string_view APath) {
  rtl::String p = rtl::Trim(APath);
  return p.empty() ? rtl::String(1, u'/') : p;
}

// The path part of a request target: the query and a fragment never count for cookies.
rtl::String RequestPathOnly(std::u16string_view APath) {
  return TrimmedPath(APath.substr(0, APath.find_first_of(u"?#")));
}

// The folder of the request path (up to, not including, its last "/"), "/" when it has none:
// the path of a cookie that names none.
rtl::String DefaultCookiePath(std::u16string_view ARequestPath) {
  rtl::String p = RequestPathOnly(ARequestPath);
  size_t last = p.rfind(u'/');
  if (p[0] != u'/' || last == 0) return rtl::String(1, u'/');
  return p.substr(0, last);
}

// An address literal rather than a name: an IPv6 literal, or a last label that is a number
// (as resolvers read "127.1" and "0x7f.1"). Names never end in a number.
bool IsAddressHost(std::u16string_view AHost) {
  rtl::String h = rtl::LowerCase(rtl::Trim(AHost));
  if (h.find(u':') != rtl::String::npos || (!h.empty() && h[0] == u'[')) return true;
  while (!h.empty() && h.back() == u'.') h.pop_back();
  std::u16string_view label = std::u16string_view(h).substr(h.rfind(u'.') + 1);
  if (label.empty()) return false;
  auto all = [](std::u16string_view s, std::u16string_view digits) {
    return std::all_of(s.begin(), s.end(), [&](char16_t c) { return digits.find(c) != digits.npos; });
  };
  if (label.size() >= 2 && label[0] == u'0' && label[1] == u'x') return all(label.substr(2), u"0123456789abcdef");
  return all(label, u"0123456789");
}

rtl::String WithoutBrackets(rtl::String AHost) {
  if (AHost.size() >= 2 && AHost.front() == u'[' && AHost.back() == u']') return AHost.substr(1, AHost.size() - 2);
  return AHost;
}

// The domain a cookie with a "domain" attribute is stored under, or empty when the host may not
// set it. The attribute may name the request host itself (whatever the host: "localhost", an
// address), which gives the cookie the host gets without the attribute; or a parent of a host
// name with at least two labels. Anything else would let a server set cookies for other sites,
// a whole top-level domain, or other addresses.
rtl::String AllowedCookieDomain(std::u16string_view ADomain, std::u16string_view AHost) {
  rtl::String given = rtl::Trim(ADomain);
  if (!given.empty() && given[0] == u'.') given.erase(0, 1);
  const rtl::String d = rtl::LowerCase(given);
  const rtl::String host = rtl::LowerCase(rtl::Trim(AHost));
  if (d.empty()) return {};
  if (WithoutBrackets(d) == WithoutBrackets(host)) return rtl::Trim(AHost);
  if (IsAddressHost(host)) return {};
  int labels = 0;
  size_t start = 0;
  for (size_t i = 0; i <= d.size(); ++i) {
    if (i == d.size() || d[i] == u'.') {
      if (i > start) ++labels;
      start = i + 1;
    }
  }
  if (labels < 2) return {};
  if (host.size() > d.size() && rtl::EndsStr(d, host) && host[host.size() - d.size() - 1] == u'.') return given;
  return {};
}

// A cookie field as user agents read it: the name-value pair up to the first ";", then the
// attribute list, each attribute up to the next ";". Nothing inside the value is ever taken for
// an attribute, and of an attribute given twice the last one counts.
struct TCookieAttribute {
  rtl::String Name;  // trimmed, lower case
  rtl::String Value;  // trimmed, outer quotes removed; empty without "="
};

rtl::String Unquoted(std::u16string_view AText) {
  rtl::String v = rtl::Trim(AText);
  const bool quoted = v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front();
  return quoted ? v.substr(1, v.size() - 2) : v;
}

std::vector<TCookieAttribute> CookieAttributes(std::u16string_view AList) {
  std::vector<TCookieAttribute> result;
  while (!AList.empty()) {
    size_t end = AList.find(u';');
    std::u16string_view item = AList.substr(0, end);
    AList = end == std::u16string_view::npos ? std::u16string_view() : AList.substr(end + 1);
    size_t eq = item.find(u'=');
    TCookieAttribute a{rtl::LowerCase(rtl::Trim(item.substr(0, eq))), {}};
    if (eq != std::u16string_view::npos) a.Value = Unquoted(item.substr(eq + 1));
    if (!a.Name.empty()) result.push_back(std::move(a));
  }
  return result;
}

// Our text form of a field: "%", tab, carriage return and line feed as "%XX".
std::string EscapeField(std::u16string_view AValue) {
  std::string utf8 = rtl::U8(AValue), out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    switch (c) {
      case '%': out += "%25"; break;
      case '\t': out += "%09"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      default: out += c;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool UnescapeField(std::string_view AText, rtl::String& AValue) {
  std::string out;
  out.reserve(AText.size());
  for (size_t i = 0; i < AText.size(); ++i) {
    if (AText[i] != '%') {
      out += AText[i];
      continue;
    }
    if (i + 2 >= AText.size()) return false;
    int hi = HexDigit(AText[i + 1]), lo = HexDigit(AText[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  AValue = rtl::Utf8ToString(out);
  return true;
}

template <class T>
bool ParseNumber(std::string_view AText, T& AValue) {
  if (AText.empty()) return false;
  const char* end = AText.data() + AText.size();
  auto [ptr, ec] = std::from_chars(AText.data(), end, AValue);
  return ec == std::errc() && ptr == end;
}

bool ParseFlag(std::string_view AText, bool& AValue) {
  if (AText == "0") AValue = false;
  else if (AText == "1") AValue = true;
  else return false;
  return true;
}

std::string NumberText(double AValue) {
  char buf[64];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof(buf), AValue);
  return std::string(buf, ec == std::errc() ? ptr : buf);
}

constexpr std::string_view kSaveSignature = "KRVCookies\t1";
constexpr int kSaveFieldCount = 14;

// Runs EndUpdate of each bracket on every path.
template <class T>
class TUpdateGuard {
 public:
  explicit TUpdateGuard(T& AObject) : FObject(AObject) { FObject.BeginUpdate(); }
  ~TUpdateGuard() { FObject.EndUpdate(); }
  TUpdateGuard(const TUpdateGuard&) = delete;
  TUpdateGuard& operator=(const TUpdateGuard&) = delete;

 private:
  T& FObject;
};

}  // namespace

// --- TclCookieItem ------------------------------------------------------------------------------

void TclCookieItem::Assign(const TclCookieItem& Source) {
  if (&Source == this) return;
  FSecure = Source.FSecure;
  FValue = Source.FValue;
  FExpires = Source.FExpires;
  FName = Source.FName;
  FDomain = Source.FDomain;
  FPath = Source.FPath;
  FCookieData = Source.FCookieData;
  FDiscard = Source.FDiscard;
  FMaxAge = Source.FMaxAge;
  FVersion = Source.FVersion;
  FPort = Source.FPort;
  FCommentURL = Source.FCommentURL;
  FComment = Source.FComment;
  FFormat = Source.FFormat;
}

bool TclCookieItem::IsPersistent() const { return !(FExpires >= -1 && FExpires <= 0); }

bool TclCookieItem::IsExpired() const {
  if (FMaxAge == 0) return true;
  return IsPersistent() && FExpires < rtl::Now();
}

int TclCookieItem::Index() const { return FCollection ? FCollection->IndexOf(this) : -1; }

void TclCookieItem::SetMaxAge(int64_t Value) {
  if (Value == FMaxAge) return;
  FMaxAge = Value;
  if (Value > 0 && FExpires < 0) FExpires = rtl::Now() + static_cast<double>(Value) / rtl::SecsPerDay;
}

// --- TclCookieList ------------------------------------------------------------------------------

TclCookieList::~TclCookieList() {
  for (auto& item : FItems) item->FCollection = nullptr;
}

TclCookieItem* TclCookieList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count())
    throw rtl::EListError(rtl::Format(u"List index out of bounds (%d)", {AIndex}));
  return FItems[AIndex].get();
}

TclCookieItem* TclCookieList::Add() {
  FItems.push_back(std::make_unique<TclCookieItem>());
  FItems.back()->FCollection = this;
  Changed();
  return FItems.back().get();
}

TclCookieItem* TclCookieList::AddCopy(const TclCookieItem& ACookie) {
  auto item = std::make_unique<TclCookieItem>();
  item->Assign(ACookie);
  item->FCollection = this;
  FItems.push_back(std::move(item));
  Changed();
  return FItems.back().get();
}

void TclCookieList::Delete(int AIndex) {
  Items(AIndex);  // range check
  FItems.erase(FItems.begin() + AIndex);
  Changed();
}

void TclCookieList::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  Changed();
}

int TclCookieList::IndexOf(const TclCookieItem* ACookie) const {
  for (int i = 0; i < Count(); ++i)
    if (FItems[i].get() == ACookie) return i;
  return -1;
}

void TclCookieList::Assign(const TclCookieList& ASource) {
  if (&ASource == this) return;
  TUpdateGuard<TclCookieList> guard(*this);
  Clear();
  for (const auto& item : ASource.FItems) AddCopy(*item);
}

void TclCookieList::Sort() {
  std::stable_sort(FItems.begin(), FItems.end(), [](const auto& a, const auto& b) {
    int byName = rtl::CompareText(a->Name(), b->Name());
    if (byName != 0) return byName < 0;
    return rtl::CompareText(a->Path(), b->Path()) > 0;
  });
  Changed();
}

void TclCookieList::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0) Changed();
}

void TclCookieList::Changed() {
  if (FUpdateCount == 0 && OnChange) OnChange(this);
}

rtl::String TclCookieList::GetCookieText(const TclCookieItem& ACookie) {
  return ACookie.Name() + u"=" + ACookie.Value();
}

TclCookieItem* TclCookieList::ParseResponseCookie(TclHeaderFieldList& AFieldList, int AFieldIndex,
                                                  int ARequestPort, const rtl::String& ARequestPath,
                                                  const rtl::String& ARequestHost) {
  const rtl::String text = AFieldList.GetFieldValue(AFieldIndex);
  if (text.empty()) return nullptr;

  // Built aside and appended at the end, so a refused cookie never shows in the list.
  auto cookie = std::make_unique<TclCookieItem>();
  const std::u16string_view field(text);
  const size_t pairEnd = field.find(u';');
  const std::u16string_view pair = field.substr(0, pairEnd);
  const size_t eq = pair.find(u'=');
  if (eq == std::u16string_view::npos) {
    cookie->SetName(rtl::TrimRight(pair));
  } else {
    cookie->SetName(rtl::String(pair.substr(0, eq)));
    cookie->SetValue(Unquoted(pair.substr(eq + 1)));
  }

  rtl::String domain, path, expires, maxAge, version, port;
  bool hasExpires = false, hasPort = false;
  for (const TCookieAttribute& a :
       CookieAttributes(pairEnd == std::u16string_view::npos ? std::u16string_view() : field.substr(pairEnd + 1))) {
    if (a.Name == u"domain") {
      if (!a.Value.empty()) domain = a.Value;
    } else if (a.Name == u"path") {
      path = a.Value;
    } else if (a.Name == u"expires") {
      expires = a.Value;
      hasExpires = true;
    } else if (a.Name == u"max-age") {
      maxAge = a.Value;
    } else if (a.Name == u"version") {
      version = a.Value;
    } else if (a.Name == u"port") {
      port = a.Value;
      hasPort = true;
    } else if (a.Name == u"comment") {
      cookie->SetComment(a.Value);
    } else if (a.Name == u"commenturl") {
      cookie->SetCommentURL(a.Value);
    } else if (a.Name == u"secure") {
      cookie->SetSecure(true);
    } else if (a.Name == u"discard") {
      cookie->SetDiscard(true);
    }
  }
  // Dates of the Netscape form carry dashes ("09-Jun-2021"): read them as blanks.
  if (hasExpires) {
    try {
      cookie->SetExpires(ParseInternetDate(rtl::StringReplace(expires, u"-", u" ", rtl::rfReplaceAll)));
    } catch (const rtl::Exception&) {
      // An unreadable date leaves the cookie without expiry.
    }
  }
  // After the date, so a valid date takes precedence.
  cookie->SetMaxAge(maxAge.empty() ? -1 : rtl::StrToInt64Def(maxAge, -1));
  cookie->SetVersion(rtl::StrToIntDef(version, 0));
  if (hasPort) cookie->SetPort(port.empty() ? rtl::IntToStr(ARequestPort) : port);

  cookie->SetCookieData(text);
  if (AFieldList.FieldList()[AFieldIndex] == u"set-cookie2") cookie->SetFormat(cfRFC2965);
  else if (cookie->Version() == 1) cookie->SetFormat(cfRFC2109);
  else cookie->SetFormat(cfNetscape);

  if (domain.empty()) {
    cookie->SetDomain(ARequestHost);
  } else {
    cookie->SetDomain(AllowedCookieDomain(domain, ARequestHost));
    if (cookie->Domain().empty()) return nullptr;
  }
  cookie->SetDomain(DottedDomain(cookie->Domain()));
  // A path that does not start with "/" could never match: the request's folder instead.
  path = rtl::Trim(path);
  cookie->SetPath(path.empty() || path[0] != u'/' ? DefaultCookiePath(ARequestPath) : path);

  cookie->FCollection = this;
  FItems.push_back(std::move(cookie));
  Changed();
  return FItems.back().get();
}

void TclCookieList::SetRequestCookies(rtl::TStringList& ARequestHeader) {
  TclHeaderFieldList fields;
  fields.Parse(0, &ARequestHeader);
  for (int i = fields.GetFieldIndex(u"Cookie"); i >= 0; i = fields.GetFieldIndex(u"Cookie"))
    fields.RemoveField(i);
  if (FItems.empty()) return;
  rtl::String value;
  for (const auto& item : FItems) {
    if (!value.empty()) value += u"; ";
    value += GetCookieText(*item);
  }
  fields.AddField(u"Cookie", value);
}

void TclCookieList::GetResponseCookies(rtl::TStringList& AResponseHeader, const rtl::String& ADomain,
                                       const rtl::String& APath, int APort) {
  TUpdateGuard<TclCookieList> guard(*this);
  Clear();
  TclHeaderFieldList fields;
  fields.Parse(0, &AResponseHeader);
  for (int i = 0; i < fields.FieldList().Count(); ++i) {
    const rtl::String& name = fields.FieldList()[i];
    if (name == u"set-cookie" || name == u"set-cookie2") ParseResponseCookie(fields, i, APort, APath, ADomain);
  }
}

void TclCookieList::Save(rtl::TStream& ADestination) const {
  std::string out(kSaveSignature);
  out += '\n';
  for (const auto& c : FItems) {
    out += c->Secure() ? "1" : "0";
    out += '\t' + EscapeField(c->Value());
    out += '\t' + NumberText(c->Expires());
    out += '\t' + EscapeField(c->Name());
    out += '\t' + EscapeField(c->Domain());
    out += '\t' + EscapeField(c->Path());
    out += '\t' + EscapeField(c->CookieData());
    out += c->Discard() ? "\t1" : "\t0";
    out += '\t' + std::to_string(c->MaxAge());
    out += '\t' + std::to_string(c->Version());
    out += '\t' + EscapeField(c->Port());
    out += '\t' + EscapeField(c->CommentURL());
    out += '\t' + EscapeField(c->Comment());
    out += '\t' + std::to_string(static_cast<int>(c->Format()));
    out += '\n';
  }
  ADestination.WriteBuffer(out.data(), static_cast<int64_t>(out.size()));
}

void TclCookieList::Load(rtl::TStream& ASource) {
  std::string data;
  char buf[8192];
  for (int64_t n; (n = ASource.Read(buf, sizeof(buf))) > 0;) data.append(buf, static_cast<size_t>(n));

  std::vector<std::unique_ptr<TclCookieItem>> loaded;
  int lineNo = 0;
  size_t pos = 0;
  auto fail = [&lineNo](const char16_t* AWhat) {
    throw rtl::EReadError(rtl::Format(u"Invalid cookie data in line %d: %s", {lineNo, AWhat}));
  };
  while (pos < data.size()) {
    size_t nl = data.find('\n', pos);
    std::string_view line(data.data() + pos, (nl == std::string::npos ? data.size() : nl) - pos);
    pos = nl == std::string::npos ? data.size() : nl + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (lineNo == 1) {
      if (line != kSaveSignature) fail(u"not a cookie list");
      continue;
    }
    if (line.empty()) continue;

    std::vector<std::string_view> f;
    for (size_t s = 0;;) {
      size_t t = line.find('\t', s);
      f.push_back(line.substr(s, t == std::string_view::npos ? std::string_view::npos : t - s));
      if (t == std::string_view::npos) break;
      s = t + 1;
    }
    if (static_cast<int>(f.size()) != kSaveFieldCount) fail(u"wrong number of fields");

    auto c = std::make_unique<TclCookieItem>();
    bool flag = false;
    rtl::String text;
    double expires = 0;
    int64_t maxAge = 0;
    int32_t version = 0, format = 0;
    if (!ParseFlag(f[0], flag)) fail(u"secure");
    c->SetSecure(flag);
    if (!UnescapeField(f[1], text)) fail(u"value");
    c->SetValue(text);
    if (!ParseNumber(f[2], expires) || !std::isfinite(expires)) fail(u"expires");
    c->SetExpires(expires);
    if (!UnescapeField(f[3], text)) fail(u"name");
    c->SetName(text);
    if (!UnescapeField(f[4], text)) fail(u"domain");
    c->SetDomain(text);
    if (!UnescapeField(f[5], text)) fail(u"path");
    c->SetPath(text);
    if (!UnescapeField(f[6], text)) fail(u"cookie data");
    c->SetCookieData(text);
    if (!ParseFlag(f[7], flag)) fail(u"discard");
    c->SetDiscard(flag);
    if (!ParseNumber(f[8], maxAge)) fail(u"max-age");
    c->FMaxAge = maxAge;  // raw, as stored
    if (!ParseNumber(f[9], version)) fail(u"version");
    c->SetVersion(version);
    if (!UnescapeField(f[10], text)) fail(u"port");
    c->SetPort(text);
    if (!UnescapeField(f[11], text)) fail(u"comment URL");
    c->SetCommentURL(text);
    if (!UnescapeField(f[12], text)) fail(u"comment");
    c->SetComment(text);
    if (!ParseNumber(f[13], format) || format < cfNetscape || format > cfRFC2965) fail(u"format");
    c->SetFormat(static_cast<TclCookieFormat>(format));
    loaded.push_back(std::move(c));
  }
  if (lineNo == 0) fail(u"not a cookie list");

  TUpdateGuard<TclCookieList> guard(*this);
  Clear();
  for (auto& c : loaded) {
    c->FCollection = this;
    FItems.push_back(std::move(c));
  }
  Changed();
}

// --- TclCookieManager ---------------------------------------------------------------------------

TclCookieManager::TclCookieManager() : FCookies(std::make_unique<TclCookieList>()) {}

TclCookieManager::~TclCookieManager() {
  // A handler may remove its own registration; work on a copy.
  auto notifies = std::move(FFreeNotifies);
  FFreeNotifies.clear();
  for (auto& n : notifies)
    if (n.second) n.second(this);
}

void TclCookieManager::FreeNotification(const void* AKey, std::function<void(TclCookieManager*)> AHandler) {
  RemoveFreeNotification(AKey);
  FFreeNotifies.emplace_back(AKey, std::move(AHandler));
}

void TclCookieManager::RemoveFreeNotification(const void* AKey) {
  std::erase_if(FFreeNotifies, [AKey](const auto& n) { return n.first == AKey; });
}

void TclCookieManager::BeginUpdate() {
  FAccessor.Enter();
  FCookies->BeginUpdate();
}

void TclCookieManager::EndUpdate() {
  FCookies->EndUpdate();
  FAccessor.Leave();
}

void TclCookieManager::DoAddCookie(TclCookieItem* ACookie, bool& Allow) {
  if (OnAddCookie) OnAddCookie(this, ACookie, Allow);
}

void TclCookieManager::DoDeleteCookie(TclCookieItem* ACookie, bool& Allow) {
  if (OnDeleteCookie) OnDeleteCookie(this, ACookie, Allow);
}

void TclCookieManager::DoUpdateCookie(TclCookieItem* AOldCookie, TclCookieItem* ANewCookie, bool& Allow) {
  if (OnUpdateCookie) OnUpdateCookie(this, AOldCookie, ANewCookie, Allow);
}

void TclCookieManager::DoAcceptCookie(TclCookieItem* ACookie, const rtl::String& ADomain,
                                      const rtl::String& APath, int APort, bool ASecure, bool& Allow) {
  if (OnAcceptCookie) OnAcceptCookie(this, ACookie, ADomain, APath, APort, ASecure, Allow);
}

// Handlers run while the loops below walk the store and may change it: every index is checked
// again and a cookie is looked up again after its handler returned.
void TclCookieManager::RemoveExpiredCookies() {
  for (int i = FCookies->Count() - 1; i >= 0; --i) {
    if (i >= FCookies->Count()) continue;
    TclCookieItem* cookie = FCookies->Items(i);
    if (!cookie->IsExpired()) continue;
    bool allow = true;
    DoDeleteCookie(cookie, allow);
    if (!allow) continue;
    int at = FCookies->IndexOf(cookie);
    if (at >= 0) FCookies->Delete(at);
  }
}

void TclCookieManager::AddCookies(const TclCookieList& ACookies) {
  TUpdateGuard<TclCookieManager> guard(*this);
  RemoveExpiredCookies();

  // The store's own list as the source: work on a copy of it.
  TclCookieList snapshot;
  const TclCookieList* source = &ACookies;
  if (source == FCookies.get()) {
    snapshot.Assign(ACookies);
    source = &snapshot;
  }

  for (int i = 0; i < source->Count(); ++i) {
    TclCookieItem* incoming = source->Items(i);
    TclCookieItem* stored = nullptr;
    for (int k = 0; k < FCookies->Count(); ++k) {
      TclCookieItem* c = FCookies->Items(k);
      if (rtl::SameText(c->Name(), incoming->Name()) && rtl::SameText(c->Domain(), incoming->Domain()) &&
          rtl::SameText(c->Path(), incoming->Path())) {
        stored = c;
        break;
      }
    }
    bool allow = true;
    if (stored == nullptr) {
      DoAddCookie(incoming, allow);
      if (allow) FCookies->AddCopy(*incoming);
    } else if (incoming->IsExpired()) {
      DoDeleteCookie(stored, allow);
      if (!allow) continue;
      int at = FCookies->IndexOf(stored);
      if (at >= 0) FCookies->Delete(at);
    } else {
      DoUpdateCookie(stored, incoming, allow);
      if (allow && FCookies->IndexOf(stored) >= 0) stored->Assign(*incoming);
    }
  }
}

bool TclCookieManager::MatchCookie(const TclCookieItem& ACookie, const rtl::String& ADomain,
                                   const rtl::String& APath, int APort, bool ASecure) {
  const rtl::String domain = rtl::LowerCase(DottedDomain(ACookie.Domain()));
  const rtl::String host = rtl::LowerCase(DottedDomain(ADomain));
  // Equal, or a parent domain of a host name. A domain of one label ("localhost") and an
  // address match only themselves: neither has parents that could share cookies.
  const size_t second = domain.find(u'.', 1);
  bool domainMatch =
      domain == host || (second != rtl::String::npos && rtl::EndsStr(domain, host) && !IsAddressHost(ADomain));
  // Not ".", not "..x", not ".x." (a lone label followed by a dot).
  domainMatch = domainMatch && domain.size() > 1 && domain[1] != u'.' && second != domain.size() - 1;

  // On segment boundaries: "/dir" covers "/dir" and "/dir/x", not "/directory".
  const rtl::String cookiePath = rtl::LowerCase(TrimmedPath(ACookie.Path()));
  const rtl::String requestPath = rtl::LowerCase(RequestPathOnly(APath));
  const bool pathMatch = rtl::StartsStr(cookiePath, requestPath) &&
                         (requestPath.size() == cookiePath.size() || cookiePath.back() == u'/' ||
                          requestPath[cookiePath.size()] == u'/');

  bool portMatch = rtl::Trim(ACookie.Port()).empty();
  if (!portMatch) {
    static const TSysCharSet comma{u','};
    const rtl::String port = rtl::IntToStr(APort);
    const int n = CountWords(ACookie.Port(), comma);
    for (int i = 1; i <= n && !portMatch; ++i) portMatch = rtl::Trim(GetWord(i, ACookie.Port(), comma)) == port;
  }

  const bool all = domainMatch && pathMatch && portMatch;
  if (all && ACookie.Secure()) return ASecure;
  return all;
}

void TclCookieManager::GetCookies(TclCookieList& ACookies, const rtl::String& ADomain, const rtl::String& APath,
                                  int APort, bool ASecure) {
  TUpdateGuard<TclCookieManager> guard(*this);
  TUpdateGuard<TclCookieList> target(ACookies);
  RemoveExpiredCookies();

  // Copies first: ACookies may be the store's own list.
  std::vector<std::unique_ptr<TclCookieItem>> matches;
  for (int i = 0; i < FCookies->Count(); ++i) {
    TclCookieItem* cookie = FCookies->Items(i);
    bool allow = MatchCookie(*cookie, ADomain, APath, APort, ASecure);
    DoAcceptCookie(cookie, ADomain, APath, APort, ASecure, allow);
    if (!allow || FCookies->IndexOf(cookie) < 0) continue;
    auto copy = std::make_unique<TclCookieItem>();
    copy->Assign(*cookie);
    matches.push_back(std::move(copy));
  }
  ACookies.Clear();
  for (const auto& m : matches) ACookies.AddCopy(*m);
  ACookies.Sort();
}

}  // namespace netlib
