#include "netlib/http/clHttp.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "netlib/auth/clHttpAuth.h"
#include "netlib/auth/clSspiAuth.h"
#include "netlib/http/clHeaderFieldList.h"
#include "netlib/http/clStreams.h"
#include "netlib/text/clUtils.h"
#include "netlib/zlib/clZLibBase.h"
#include "netlib/zlib/clZLibStreams.h"
#include "rtl/Ansi.h"

namespace netlib {

const char16_t* const DefaultUserAgent = u"Mozilla/4.0 (compatible; Tamber Internet Suite)";

namespace {

const char16_t* const HttpVersionText[] = {u"HTTP/1.0", u"HTTP/1.1"};
const char16_t* const CacheFieldName[] = {u"Pragma", u"Cache-Control"};

// Routes the connection's progress to one of the client's events for as long as it lives.
class TProgressRoute {
 public:
  TProgressRoute(TclConnection& AConnection, TclProgressEvent AHandler)
      : FConnection(AConnection), FSaved(std::move(AConnection.OnProgress)) {
    FConnection.OnProgress = std::move(AHandler);
  }
  ~TProgressRoute() { FConnection.OnProgress = std::move(FSaved); }

 private:
  TclConnection& FConnection;
  TclProgressEvent FSaved;
};

// Puts the connection's read limit back on every way out.
class TReadLimit {
 public:
  TReadLimit(TclConnection& AConnection, int64_t ALimit) : FConnection(AConnection), FSaved(AConnection.BytesToProceed()) {
    FConnection.SetBytesToProceed(ALimit);
  }
  ~TReadLimit() { FConnection.SetBytesToProceed(FSaved); }

 private:
  TclConnection& FConnection;
  int64_t FSaved;
};

// The folder part of a URL path, lower-cased: up to and including its last "/".
rtl::String PathFolder(const rtl::String& APath) {
  rtl::String p = rtl::LowerCase(APath);
  size_t slash = p.rfind(u'/');
  if (slash == rtl::String::npos) return u"/";
  p.resize(slash + 1);
  if (p.empty() || p[0] != u'/') p.insert(p.begin(), u'/');
  return p;
}

// Scheme, host (case ignored) and port.
bool SameOrigin(const TclUrlParser& A, const TclUrlParser& B) {
  return A.UrlType() == B.UrlType() && rtl::SameText(A.Host(), B.Host()) && A.Port() == B.Port();
}

// The absolute form of the request target for a proxy: scheme, host and port of the URL with
// its path and query; never its user info or fragment.
rtl::String AbsoluteForm(const TclUrlParser& AUrl) {
  const rtl::String& uri = AUrl.AbsoluteUri();
  size_t scheme = uri.find(u"://");
  if (scheme == rtl::String::npos) return AUrl.AbsolutePath();
  size_t host = scheme + 3;
  // The rebuilt URL always has a "/" after its authority when anything follows it.
  size_t end = std::min(uri.find(u'/', host), uri.size());
  size_t at = uri.rfind(u'@', end - 1);
  if (at != rtl::String::npos && at >= host) host = at + 1;
  return uri.substr(0, scheme + 3) + uri.substr(host, end - host) + AUrl.AbsolutePath();
}

// The scheme a Location names itself (RFC 3986: a letter, then letters, digits, "+", "-", "."
// up to ":"); empty for a relative reference.
rtl::String LocationScheme(const rtl::String& ALocation) {
  size_t b = 0;
  while (b < ALocation.size() && ALocation[b] <= u' ') ++b;
  auto letter = [](rtl::Char c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); };
  if (b >= ALocation.size() || !letter(ALocation[b])) return {};
  size_t e = b + 1;
  while (e < ALocation.size() && (letter(ALocation[e]) || (ALocation[e] >= u'0' && ALocation[e] <= u'9') ||
                                  ALocation[e] == u'+' || ALocation[e] == u'-' || ALocation[e] == u'.'))
    ++e;
  if (e >= ALocation.size() || ALocation[e] != u':') return {};
  return ALocation.substr(b, e - b);
}

// Where the head that starts before AScan ends: the byte after its first empty line, or -1 when
// the bytes up to ASize hold none yet. A line ends at LF, with or without a CR before it, so the
// head ends at the first LF that is followed by LF or by CR LF (CR LF CR LF and LF LF alike).
// AScan moves on to where the next search resumes, so no byte is searched twice.
int64_t FindHeadEnd(const uint8_t* AData, int64_t ASize, int64_t& AScan) {
  int64_t i = AScan;
  while (i < ASize) {
    const void* lf = memchr(AData + i, '\n', size_t(ASize - i));
    if (!lf) {
      i = ASize;
      break;
    }
    i = static_cast<const uint8_t*>(lf) - AData;
    if (i + 1 >= ASize) break;
    if (AData[i + 1] == '\n') return i + 2;
    if (AData[i + 1] == '\r') {
      if (i + 2 >= ASize) break;
      if (AData[i + 2] == '\n') return i + 3;
    }
    ++i;
  }
  AScan = i;  // at the end, or at an LF whose next bytes have not arrived
  return -1;
}

// Whether ALine is a field named ALowerName, as the header field list names fields: by the text
// before the first colon, ASCII case ignored.
bool IsFieldLine(const rtl::String& ALine, std::u16string_view ALowerName) {
  return ALine.size() > ALowerName.size() && ALine[ALowerName.size()] == u':' &&
         rtl::SameText(std::u16string_view(ALine).substr(0, ALowerName.size()), ALowerName);
}

// The blanks around a list element: every control character and the space, as rtl::Trim takes.
bool IsTrimmed(char16_t c) { return c <= 32; }

bool IsGzipCoding(const rtl::String& ACoding) { return ACoding == u"gzip" || ACoding == u"x-gzip"; }

// Raised by TTextStream when a body read into memory reaches MaxResponseTextSize.
struct TTextFull {};

// A memory stream for a body read as text: it keeps at most ALimit bytes, and the write that
// would pass the limit keeps what fits and raises TTextFull, so nothing more is read or decoded.
class TTextStream : public rtl::TMemoryStream {
 public:
  explicit TTextStream(int64_t ALimit) : FLimit(ALimit) {}
  int64_t Write(const void* ABuffer, int64_t ACount) override {
    int64_t room = FLimit - Size();
    if (ACount <= room) return TMemoryStream::Write(ABuffer, ACount);
    if (room > 0) TMemoryStream::Write(ABuffer, room);
    throw TTextFull();
  }

 private:
  int64_t FLimit;
};

// Raises when the body ended inside the data of the decoder AStream.
void CheckDecoderEnd(rtl::TStream& AStream) {
  if (auto* gzip = dynamic_cast<TclGZipInflateStream*>(&AStream)) {
    if (!gzip->IsAtMemberBoundary())
      throw EclZLibError(u"Uncompressing error - the gzip data ends inside a member", ZLibTruncatedMemberCode);
  } else if (auto* deflate = dynamic_cast<TclDeflateInflateStream*>(&AStream)) {
    if (!deflate->IsFinished())
      throw EclZLibError(u"Uncompressing error - the deflate data ends early", ZLibTruncatedDeflateCode);
  } else if (auto* chunked = dynamic_cast<TclChunkedStream*>(&AStream)) {
    if (!chunked->IsCompleted()) throw EclStreamError(u"Invalid chunked body: the data ends inside a chunk");
  }
}

// Whether a Connection or Proxy-Connection value lists AToken (case ignored).
bool HasConnectionToken(const rtl::String& AValue, const char16_t* AToken) {
  // Asked of every response: no copies of the elements.
  return VisitListElements(AValue, IsTrimmed,
                           [&](std::u16string_view AElement) { return rtl::SameText(AElement, AToken); });
}

bool IsKeptConnectionGone(int ACode) {
  // 10053 and 10038 as on the original platform; 10054 is how Linux reports the same dead
  // connection when the peer's reset overtakes its close.
  return ACode == 10053 || ACode == 10038 || ACode == 10054;
}

}  // namespace

// --- construction -----------------------------------------------------------------------------

TclHttp::TclHttp()
    : FUrl(std::make_unique<TclUrlParser>()),
      FUserAgent(DefaultUserAgent),
      FProxySettings(std::make_unique<TclHttpProxySettings>()),
      FResponseHeader(std::make_unique<TclHttpResponseHeader>()),
      FResponseCookies(std::make_unique<TclCookieList>()) {
  SetTLSFlags({tfUseSSL3, tfUseTLS, tfUseTLS11});
}

TclHttp::~TclHttp() {
  try {
    Close();
  } catch (...) {
  }
  if (FCookieManager) FCookieManager->RemoveFreeNotification(this);
}

// --- settings ---------------------------------------------------------------------------------

#define CL_HTTP_SETTER(Type, Name)          \
  void TclHttp::Set##Name(Type AValue) {    \
    if (F##Name == AValue) return;          \
    F##Name = AValue;                       \
    DoChanged();                            \
  }

CL_HTTP_SETTER(TclHttpVersion, HttpVersion)
CL_HTTP_SETTER(const rtl::String&, UserName)
CL_HTTP_SETTER(const rtl::String&, Password)
CL_HTTP_SETTER(const rtl::String&, Authorization)
CL_HTTP_SETTER(TclAuthorizationType, AuthorizationType)
CL_HTTP_SETTER(const rtl::String&, UserAgent)
CL_HTTP_SETTER(bool, KeepConnection)
CL_HTTP_SETTER(bool, AllowCaching)
CL_HTTP_SETTER(bool, AllowRedirects)
CL_HTTP_SETTER(bool, AllowCookies)
CL_HTTP_SETTER(bool, AllowCompression)
CL_HTTP_SETTER(int, MaxRedirects)
CL_HTTP_SETTER(int, MaxAuthRetries)
CL_HTTP_SETTER(bool, SilentHTTP)
CL_HTTP_SETTER(bool, Expect100Continue)
CL_HTTP_SETTER(const rtl::String&, CharSet)
CL_HTTP_SETTER(TclHttpRequest*, Request)

#undef CL_HTTP_SETTER

void TclHttp::SetCookieManager(TclCookieManager* AValue) {
  if (FCookieManager == AValue) return;
  if (FCookieManager) FCookieManager->RemoveFreeNotification(this);
  FCookieManager = AValue;
  if (FCookieManager) {
    FCookieManager->FreeNotification(this, [this](TclCookieManager* AManager) {
      if (FCookieManager == AManager) FCookieManager = nullptr;
    });
    FOwnCookieManager.reset();
  }
  DoChanged();
}

TclCookieManager* TclHttp::CookieStore() {
  if (FCookieManager) return FCookieManager;
  if (!FOwnCookieManager) FOwnCookieManager = std::make_unique<TclCookieManager>();
  return FOwnCookieManager.get();
}

TclHttpRequest* TclHttp::TakeRequest() {
  TclHttpRequest* request = FRequest;
  if (!request) {
    if (!FOwnRequest) FOwnRequest = std::make_unique<TclHttpRequest>();
    request = FOwnRequest.get();
    request->Clear();
  }
  if (!FCharSet.empty()) request->Header()->SetCharSet(FCharSet);
  return request;
}

// --- events -----------------------------------------------------------------------------------

void TclHttp::DoSendRequest(const rtl::String& AMethod, const rtl::String& AUrl, const rtl::TStringList& AHeader) {
  if (OnSendRequest) OnSendRequest(this, AMethod, AUrl, AHeader);
}

void TclHttp::DoReceiveHeader(const rtl::String& AMethod, const rtl::String& AUrl, const rtl::TStringList& AHeader,
                              TclCookieList& ACookies, bool& Cancel) {
  if (OnReceiveHeader) OnReceiveHeader(this, AMethod, AUrl, AHeader, ACookies, Cancel);
}

void TclHttp::DoReceiveResponse(const rtl::String& AMethod, const rtl::String& AUrl, const rtl::TStringList& AHeader,
                                TclCookieList& ACookies) {
  if (OnReceiveResponse) OnReceiveResponse(this, AMethod, AUrl, AHeader, ACookies);
}

void TclHttp::DoSendProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  FProgressHandled = true;
  if (OnSendProgress) OnSendProgress(this, ABytesProceed, ATotalBytes);
}

void TclHttp::DoReceiveProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  FProgressHandled = true;
  if (OnReceiveProgress) OnReceiveProgress(this, ABytesProceed, ATotalBytes);
}

void TclHttp::DoRedirect(const rtl::TStringList& ARequestHeader, int AStatusCode, const rtl::TStringList& AResponseText,
                         rtl::String& AMethod, bool& CanRedirect, bool& Handled) {
  if (OnRedirect) OnRedirect(this, ARequestHeader, AStatusCode, *FResponseHeader, AResponseText, AMethod, CanRedirect, Handled);
}

void TclHttp::DoSelectProxy(const TclUrlParser& AUrl) {
  if (OnSelectProxy) OnSelectProxy(this, AUrl);
}

// --- public requests --------------------------------------------------------------------------

void TclHttp::Get(const rtl::String& AUrl, rtl::TStream* ADestination) { DoGet(AUrl, nullptr, nullptr, ADestination); }

void TclHttp::DoGet(const rtl::String& AUrl, TclHttpRequest* ARequest, rtl::TStringList* AResponseHeader,
                    rtl::TStream* ADestination) {
  TclHttpRequest* request = ARequest ? ARequest : TakeRequest();
  rtl::String query = rtl::Trim(request->RequestSource().Text());
  rtl::String url = query.empty() ? AUrl : AUrl + u"?" + query;
  rtl::TStringList header(request->HeaderSource());
  SendRequest(u"GET", url, header, nullptr, AResponseHeader, ADestination);
}

void TclHttp::SendRequest(const rtl::String& AMethod, const rtl::String& AUrl, const rtl::TStringList& ARequestHeader,
                          rtl::TStream* ARequestBody, rtl::TStringList* AResponseHeader, rtl::TStream* AResponseBody) {
  rtl::TStringList ownResponseHeader;
  rtl::TStringList& responseHeader = AResponseHeader ? *AResponseHeader : ownResponseHeader;
  FUrl->Parse(AUrl, FCharSet);
  RequestCycle(AMethod, ARequestHeader, ARequestBody, responseHeader, AResponseBody);
}

void TclHttp::SendRequest(const rtl::String& AMethod, const rtl::String& AUrl, TclHttpRequest* ARequest,
                          rtl::TStringList* AResponseHeader, rtl::TStream* AResponseBody) {
  rtl::Assert(ARequest != nullptr, u"Assertion failure");
  rtl::TStringList header(ARequest->HeaderSource());
  std::unique_ptr<rtl::TStream> body = ARequest->RequestStream();
  SendRequest(AMethod, AUrl, header, body.get(), AResponseHeader, AResponseBody);
}

void TclHttp::DoHead(const rtl::String& AUrl, rtl::TStringList* AResponseHeader) {
  TclHttpRequest* request = TakeRequest();
  SendRequest(u"HEAD", AUrl, request, AResponseHeader, nullptr);
}

void TclHttp::DoPut(const rtl::String& AUrl, const rtl::String& AContentType, rtl::TStream* ASource,
                    rtl::TStringList* AResponseHeader, rtl::TStream* AResponseBody) {
  TclHttpRequest* request = TakeRequest();
  request->Header()->SetAccept(u"");
  if (!AContentType.empty()) request->Header()->SetContentType(AContentType);
  rtl::TStringList header(request->HeaderSource());
  SendRequest(u"PUT", AUrl, header, ASource, AResponseHeader, AResponseBody);
}

void TclHttp::DoPost(const rtl::String& AUrl, TclHttpRequest* ARequest, rtl::TStringList* AResponseHeader,
                     rtl::TStream* AResponseBody) {
  SendRequest(u"POST", AUrl, ARequest ? ARequest : TakeRequest(), AResponseHeader, AResponseBody);
}

void TclHttp::DoDelete(const rtl::String& AUrl, rtl::TStringList* AResponseHeader, rtl::TStream* AResponseBody) {
  SendRequest(u"DELETE", AUrl, TakeRequest(), AResponseHeader, AResponseBody);
}

// --- the request cycle ------------------------------------------------------------------------

bool TclHttp::IsKeepAlive(TclHttpRoute ARoute) const {
  // Inside a tunnel the response is the origin's, and only its Connection field speaks for the
  // connection; the proxy's own responses may say it in either field.
  const rtl::String& connection = FResponseHeader->Connection();
  const rtl::String proxyConnection =
      HasProxy() && ARoute != hrTunnel ? FResponseHeader->ProxyConnection() : rtl::String();
  bool keep;
  if (FHttpVersion == hvHttp1_1 && FResponseVersion == hvHttp1_1)
    keep = !HasConnectionToken(connection, u"close") && !HasConnectionToken(proxyConnection, u"close");
  else
    keep = HasConnectionToken(connection, u"Keep-Alive") || HasConnectionToken(proxyConnection, u"Keep-Alive");
  return keep && FKeepConnection;
}

[[noreturn]] void TclHttp::RaiseHttpError(const rtl::TStringList& AResponseHeader, const rtl::TStringList& AText) {
  rtl::String message = AResponseHeader.Count() > 0 ? AResponseHeader[0] : rtl::String();
  throw EclHttpError(message, FStatusCode, AText.Text());
}

[[noreturn]] void TclHttp::RaiseRedirectRefused(const rtl::String& AScheme, const rtl::TStringList& AText) {
  throw EclHttpError(u"The redirect to a \"" + AScheme.substr(0, 32) + u"\" URL was refused: only http and https are followed",
                     FStatusCode, AText.Text());
}

void TclHttp::PreemptiveAuthorize(const rtl::String& AUserName, const rtl::String& APassword,
                                  const rtl::String& AFieldName, rtl::TStringList& AHeader) {
  TclValueScope keep(FKeepConnection, FKeepConnection);  // an answer given unasked binds no connection
  rtl::TStringList challenge;
  challenge.Add(u"Basic");
  Authorize(AUserName, APassword, AFieldName, challenge, AHeader);
}

TclHttpAuthorization* TclHttp::Authorize(const rtl::String& AUserName, const rtl::String& APassword,
                                         const rtl::String& AFieldName, const rtl::TStringList& AChallenge,
                                         rtl::TStringList& AHeader) {
  // The security provider names the service it authenticates to after the URL's host: a proxy's
  // challenge is answered for the proxy, never for the origin (a Kerberos ticket for the origin
  // must not reach the proxy, and one for the origin would not open the proxy).
  TclUrlParser proxyUrl;
  const bool toProxy = AFieldName == u"Proxy-Authorization" && HasProxy();
  if (toProxy) {
    rtl::String host = FProxySettings->Server();
    if (host.find(u':') != rtl::String::npos && host.front() != u'[') host = u"[" + host + u"]";
    proxyUrl.Parse(u"http://" + host + u":" + rtl::IntToStr(FProxySettings->Port()) + FUrl->AbsolutePath(), FCharSet);
  }
  TclHttpAuthorization* a = TclHttpAuthorization::Authorize(toProxy ? proxyUrl : *FUrl, FMethod, AUserName, APassword,
                                                            AChallenge, static_cast<TclAuthContext>(this));
  if (!a) return nullptr;
  SetField(AHeader, AFieldName, a->AuthValue());
  SetKeepConnection(true);
  return a;
}

rtl::String TclHttp::GetRedirectMethod(int AStatusCode, const rtl::String& AMethod) {
  if (AStatusCode == 302 || AStatusCode == 303) return u"GET";
  return AMethod;
}

bool TclHttp::Redirect(rtl::TStringList& AHeader, const rtl::TStringList& AResponseText, rtl::String& ANewMethod) {
  rtl::String location = FResponseHeader->Location();
  bool canRedirect = false, handled = false;
  DoRedirect(AHeader, FStatusCode, AResponseText, ANewMethod, canRedirect, handled);
  if (handled) return canRedirect;
  if (location.empty()) return false;
  TclUrlParser old;
  old.Assign(*FUrl);
  // Only http and https are followed: another scheme would send this request to a file, a mail
  // address or an FTP server, or read a relative-looking "host:port" as a scheme.
  rtl::String scheme = LocationScheme(location);
  if (!scheme.empty() && !rtl::SameText(scheme, u"http") && !rtl::SameText(scheme, u"https"))
    RaiseRedirectRefused(scheme, AResponseText);
  rtl::String combined = TclUrlParser::CombineUrl(location, FUrl->AbsoluteUri(), FCharSet);
  if (combined.empty()) return false;
  if (FUrl->Parse(combined, FCharSet).empty()) return false;
  if (FUrl->UrlType() != utHTTP && FUrl->UrlType() != utHTTPS) {
    scheme = FUrl->AbsoluteUri().substr(0, FUrl->AbsoluteUri().find(u':'));
    FUrl->Assign(old);
    RaiseRedirectRefused(scheme, AResponseText);
  }
  ANewMethod = GetRedirectMethod(FStatusCode, ANewMethod);
  // Credentials go only to the same scheme, host and port, and below the same folder there.
  rtl::String oldFolder = PathFolder(old.Urlpath());
  rtl::String newFolder = PathFolder(FUrl->Urlpath());
  if (!SameOrigin(old, *FUrl) || newFolder.compare(0, oldFolder.size(), oldFolder) != 0)
    SetField(AHeader, u"Authorization", u"");
  return true;
}

// The state of one request cycle, shared by its steps.
struct TclHttp::TCycle {
  TCycle(const rtl::TStringList& AHeader, rtl::TStream* ABody, rtl::TStringList& AResponseHeader,
         rtl::TStream* AResponseBody)
      : Lines(AHeader), ResponseHeader(AResponseHeader), ResponseBody(AResponseBody), Body(ABody) {
    if (!Body) {
      OwnBody = std::make_unique<TclNullStream>();
      Body = OwnBody.get();
    }
    Start = Body->Position();
  }

  rtl::TStringList Lines;          // the request's head, as redirects and answers change it
  rtl::TStringList& ResponseHeader;
  rtl::TStream* ResponseBody;
  rtl::TStream* Body;              // the request body, sent from Start every time
  int64_t Start = 0;
  std::unique_ptr<TclNullStream> OwnBody, RedirectBody;
  rtl::TMemoryStream Buffer;       // what was read of the response past its head starts here
  int64_t Remaining = 0;           // bytes of the body already in Buffer
  rtl::TStringList Text;           // a response read as text (redirects, challenges, errors)
  bool ConnectRequest = false;     // the method is CONNECT
  bool TunnelRequest = false;      // the cycle sets up a tunnel: the user's credentials stay out
  TclUrlParser Origin;             // the user's credentials are for this URL's origin only
  rtl::String User, Password;
  TclHttpRoute Route = hrDirect;
  bool CloseAfter = false;         // the connection is not kept after this response
  int Redirects = 0, Auth401 = 0, Auth407 = 0;
  // NTLM and Negotiate authenticate the connection: the answer to the server's token is worth
  // something only on the connection that brought the token. BoundScheme names the scheme while
  // such an answer is on its way.
  rtl::String BoundScheme;
  bool HandshakeRestarted = false;
  // The request just sent carried our answer to the server's (or the proxy's) NTLM or Negotiate
  // token: a fresh challenge in reply means the credentials were refused.
  bool ServerTokenAnswered = false, ProxyTokenAnswered = false;
  // The Proxy-Authorization field holds an NTLM or Negotiate token, good on its connection only.
  bool ProxyFieldBound = false;
};

void TclHttp::RequestCycle(const rtl::String& AMethod, const rtl::TStringList& AHeader, rtl::TStream* ABody,
                           rtl::TStringList& AResponseHeader, rtl::TStream* AResponseBody) {
  TCycle c(AHeader, ABody, AResponseHeader, AResponseBody);
  FMethod = AMethod;
  // The proxy follows the request's URL; a tunnel's CONNECT goes where its request was sent.
  c.ConnectRequest = rtl::SameText(AMethod, u"CONNECT");
  if (!c.ConnectRequest) DoSelectProxy(*FUrl);

  // The user's credentials are for the origin of this URL: the proxy never gets them in its
  // tunnel request, and no other origin gets them after a redirect.
  c.TunnelRequest = GetRoute() == hrTunnelSetup;
  c.Origin.Assign(*FUrl);
  c.User = FUserName.empty() ? FUrl->UserName() : FUserName;
  c.Password = FPassword.empty() ? FUrl->Password() : FPassword;
  if (!c.TunnelRequest) {
    if (FAuthorizationType == atBasic)
      PreemptiveAuthorize(c.User, c.Password, u"Authorization", c.Lines);
    else if (!FAuthorization.empty())
      SetField(c.Lines, u"Authorization", FAuthorization);
  }
  if (HasProxy() && FProxySettings->AuthorizationType() == atBasic)
    PreemptiveAuthorize(FProxySettings->UserName(), FProxySettings->Password(), u"Proxy-Authorization", c.Lines);

  try {
    for (bool first = true;; first = false) {
      // After a redirect the new URL may take another proxy, or none.
      if (!first && !c.ConnectRequest) SelectProxy(c.Lines);
      TExchange exchange = Exchange(c);
      const bool serverTokenAnswered = std::exchange(c.ServerTokenAnswered, false);
      const bool proxyTokenAnswered = std::exchange(c.ProxyTokenAnswered, false);
      if (exchange == exEnded) break;
      if (exchange == exSendAgain) continue;
      const int status = FStatusCode;
      bool again;
      if (status >= 300 && status < 400 && status != 304 && status != 305)
        again = FollowRedirect(c);
      else if (status == 401)
        again = AnswerServerChallenge(c, serverTokenAnswered);
      else if (status == 407)
        again = AnswerProxyChallenge(c, proxyTokenAnswered);
      else
        again = TakeFinalResponse(c);
      if (!again) break;
      if (c.CloseAfter) Close();
    }
  } catch (const EclHttpError& e) {
    // A response read to its end leaves the connection usable; our own head and length errors
    // do not.
    if ((c.CloseAfter || e.ErrorCode() < 100) && c.Route != hrTunnelSetup) Close();
    throw;
  } catch (...) {
    // Whatever was left unread on the connection would corrupt the next response.
    if (c.Route != hrTunnelSetup) Close();
    throw;
  }
  if (c.CloseAfter && c.Route != hrTunnelSetup) Close();
}

TclHttp::TExchange TclHttp::Exchange(TCycle& ACycle) {
  ACycle.Route = GetRoute();
  const bool wasOpen = Active();
  try {
    ACycle.Body->SetPosition(ACycle.Start);
    SendRequestHeader(ACycle.Route, ACycle.Lines, *ACycle.Body);
    SendRequestBody(*ACycle.Body);
    DoSendRequest(FMethod, FUrl->AbsoluteUri(), ACycle.Lines);
    if (!ReadResponseHeader(ACycle.ResponseHeader, ACycle.Buffer)) {
      ACycle.CloseAfter = true;  // cancelled by OnReceiveHeader: the body stays unread
      return exEnded;
    }
  } catch (const EclHttpError&) {
    throw;
  } catch (const EclSocketError& e) {
    // A kept connection the server has closed meanwhile: the request goes out again on a new one.
    if (!wasOpen || !IsKeptConnectionGone(e.ErrorCode())) throw;
    Close();
    if (!ACycle.BoundScheme.empty() && !StartHandshakeAgain(ACycle)) return exEnded;
    return exSendAgain;
  }
  ACycle.BoundScheme.clear();  // the answer arrived
  ACycle.Remaining = ACycle.Buffer.Size() - ACycle.Buffer.Position();
  ACycle.CloseAfter = !IsKeepAlive(ACycle.Route);
  return exAnswered;
}

void TclHttp::FailRequest(TCycle& ACycle, const rtl::String& AMessage) {
  if (!FSilentHTTP) {
    if (AMessage.empty()) RaiseHttpError(ACycle.ResponseHeader, ACycle.Text);
    throw EclHttpError(AMessage, FStatusCode, ACycle.Text.Text());
  }
  WriteResponseText(ACycle.Text, ACycle.ResponseBody);
}

bool TclHttp::StartHandshakeAgain(TCycle& ACycle) {
  const rtl::String scheme = std::exchange(ACycle.BoundScheme, rtl::String());
  if (ACycle.HandshakeRestarted) {
    FailRequest(ACycle, u"The server closed the connection during the " + scheme + u" handshake");
    return false;
  }
  ACycle.HandshakeRestarted = true;
  rtl::TStringList firstLeg;
  firstLeg.Add(scheme);
  if (Authorize(ACycle.User, ACycle.Password, u"Authorization", firstLeg, ACycle.Lines)) return true;
  FailRequest(ACycle);
  return false;
}

bool TclHttp::FollowRedirect(TCycle& ACycle) {
  ++ACycle.Redirects;
  ReadResponseText(ACycle.ResponseHeader, ACycle.Buffer, ACycle.Text, ACycle.Remaining);
  if (FMaxRedirects > 0 && ACycle.Redirects > FMaxRedirects) {
    FailRequest(ACycle);
    return false;
  }
  rtl::String newMethod = FMethod;
  if (!FAllowRedirects || !Redirect(ACycle.Lines, ACycle.Text, newMethod)) {
    FailRequest(ACycle);
    return false;
  }
  // A request that becomes a GET leaves its body behind.
  if (rtl::SameText(newMethod, u"GET") && ACycle.Body != ACycle.RedirectBody.get()) {
    if (!ACycle.RedirectBody) ACycle.RedirectBody = std::make_unique<TclNullStream>();
    ACycle.Body = ACycle.RedirectBody.get();
    ACycle.Start = 0;
  }
  FMethod = newMethod;
  if (HasProxy()) {
    ACycle.CloseAfter = true;
    // The new connection authenticates to the proxy again: an NTLM or Negotiate token belonged
    // to the old one, and the bound on the proxy's challenges applies to each URL (or a proxy
    // that works NTLM would fail the second redirect).
    if (std::exchange(ACycle.ProxyFieldBound, false)) SetField(ACycle.Lines, u"Proxy-Authorization", u"");
    ACycle.Auth407 = 0;
  }
  return true;
}

// NTLM and Negotiate: a first-leg challenge in reply to our answer to the token is a refusal. The
// same credentials would only be refused again, and each try counts against the account's
// lockout, so the request fails at once; otherwise notes whether this answer is to a token.
bool TclHttp::RefusedHandshake(TCycle& ACycle, const TclHttpAuthorization& A, bool ATokenAnswered,
                               bool& ATokenAnswer) {
  if (ATokenAnswered && A.StartNewConnection()) {
    FailRequest(ACycle);
    return true;
  }
  ATokenAnswer = !A.StartNewConnection() && dynamic_cast<const TclHttpNtlmAuthorization*>(&A);
  return false;
}

bool TclHttp::AnswerServerChallenge(TCycle& ACycle, bool ATokenAnswered) {
  ++ACycle.Auth401;
  ReadResponseText(ACycle.ResponseHeader, ACycle.Buffer, ACycle.Text, ACycle.Remaining);
  TclHttpAuthorization* a = nullptr;
  if (!FAuthorization.empty() || ACycle.TunnelRequest || !SameOrigin(ACycle.Origin, *FUrl) ||
      (FMaxAuthRetries > 0 && ACycle.Auth401 > FMaxAuthRetries) ||
      !(a = Authorize(ACycle.User, ACycle.Password, u"Authorization", *FResponseHeader->Authenticate(), ACycle.Lines))) {
    FailRequest(ACycle);
    return false;
  }
  if (RefusedHandshake(ACycle, *a, ATokenAnswered, ACycle.ServerTokenAnswered)) return false;
  if (ACycle.Auth401 == 1 && a->StartNewConnection()) ACycle.CloseAfter = true;
  if (ACycle.ServerTokenAnswered)
    ACycle.BoundScheme = a->AuthValue().substr(0, a->AuthValue().find(u' '));
  if (!ACycle.BoundScheme.empty() && (ACycle.CloseAfter || !Active())) {
    ACycle.ServerTokenAnswered = false;  // the first message goes out instead of the answer
    if (!StartHandshakeAgain(ACycle)) return false;
    ACycle.CloseAfter = true;
  }
  return true;
}

bool TclHttp::AnswerProxyChallenge(TCycle& ACycle, bool ATokenAnswered) {
  ++ACycle.Auth407;
  ReadResponseText(ACycle.ResponseHeader, ACycle.Buffer, ACycle.Text, ACycle.Remaining);
  // Only the proxy itself asks for its credentials; a 407 from the origin, through a tunnel or
  // without a proxy, gets none.
  if (!HasProxy() || ACycle.Route == hrTunnel) {
    FailRequest(ACycle, u"The origin server asked for proxy credentials (407); they go only to the proxy");
    return false;
  }
  TclHttpAuthorization* a = nullptr;
  if ((FMaxAuthRetries > 0 && ACycle.Auth407 > FMaxAuthRetries) ||
      !(a = Authorize(FProxySettings->UserName(), FProxySettings->Password(), u"Proxy-Authorization",
                      *FResponseHeader->ProxyAuthenticate(), ACycle.Lines))) {
    FailRequest(ACycle);
    return false;
  }
  if (RefusedHandshake(ACycle, *a, ATokenAnswered, ACycle.ProxyTokenAnswered)) return false;
  ACycle.ProxyFieldBound = dynamic_cast<const TclHttpNtlmAuthorization*>(a) != nullptr;
  if (ACycle.Auth407 == 1 && a->StartNewConnection()) ACycle.CloseAfter = true;
  return true;
}

bool TclHttp::TakeFinalResponse(TCycle& ACycle) {
  if (FStatusCode >= 400 && !FSilentHTTP) {
    ReadResponseText(ACycle.ResponseHeader, ACycle.Buffer, ACycle.Text, ACycle.Remaining);
    RaiseHttpError(ACycle.ResponseHeader, ACycle.Text);
  }
  ReadResponseBody(ACycle.ResponseHeader, ACycle.Buffer, ACycle.ResponseBody, ACycle.Remaining);
  return false;
}

// --- opening --------------------------------------------------------------------------------

TclHttpRoute TclHttp::GetRoute() const {
  if (!HasProxy() || FUrl->UrlType() != utHTTPS) return hrDirect;
  return rtl::SameText(FMethod, u"CONNECT") ? hrTunnelSetup : hrTunnel;
}

void TclHttp::OpenConnection(const rtl::String& AServer, int APort) {
  rtl::String host = HasProxy() ? FProxySettings->Server() : AServer;
  // An IPv6 literal keeps its brackets in the URL and the Host field, not for the connection.
  if (host.size() > 2 && host.front() == u'[' && host.back() == u']') host = host.substr(1, host.size() - 2);
  TclTcpClientTls::OpenConnection(host, HasProxy() ? FProxySettings->Port() : APort);
}

void TclHttp::SelectProxy(rtl::TStringList& AHeader) {
  const TclHttpProxySettings& p = *FProxySettings;
  TclHttpProxySettings before;
  before.Assign(&p);
  DoSelectProxy(*FUrl);
  if (p == before) return;
  // One proxy's credentials never go to another.
  SetField(AHeader, u"Proxy-Authorization", u"");
  if (HasProxy() && p.AuthorizationType() == atBasic)
    PreemptiveAuthorize(p.UserName(), p.Password(), u"Proxy-Authorization", AHeader);
}

void TclHttp::OpenForRequest(TclHttpRoute ARoute) {
  // A kept connection runs through the SOCKS server it was opened with, or through none; other
  // settings need a new connection, as a changed HTTP proxy does.
  if (Active() && !(FirewallSettings() == FOldFirewall)) Close();
  FOldFirewall.Assign(FirewallSettings());
  if (HasProxy()) {
    if (FProxySettings->Server() != FOldProxyServer || FProxySettings->Port() != FOldProxyPort) Close();
    FOldProxyServer = FProxySettings->Server();
    FOldProxyPort = FProxySettings->Port();
  } else if (!FOldProxyServer.empty()) {
    // The open connection leads to the proxy that is no longer wanted.
    Close();
    FOldProxyServer.clear();
    FOldProxyPort = 0;
  }
  const rtl::String& host = FUrl->Host();
  if (!host.empty() && host != u"*") {
    if (Server() != host || Port() != FUrl->Port()) Close();
    SetServer(host);
    SetPort(FUrl->Port());
  }
  if (HasProxy()) {
    // Through the proxy only a tunnel speaks TLS, and it leads to Server and Port: a kept one
    // serves every request to that origin, and nothing else.
    bool tunnelled = Active() && IsTls();
    if (FUrl->UrlType() == utHTTPS && ARoute == hrTunnel) {
      if (!tunnelled) {
        SetupTunnel();
        StartTls();
      }
    } else {
      if (tunnelled) Close();
      SetUseTLS(ctNone);
    }
  } else {
    SetUseTLS(FUrl->UrlType() == utHTTPS ? ctImplicit : ctNone);
  }
  Open();
}

void TclHttp::SetupTunnel() {
  TclValueScope method(FMethod, FMethod);
  TclValueScope version(FHttpVersion, hvHttp1_0);
  TclValueScope cookies(FAllowCookies, false);
  TclValueScope compression(FAllowCompression, false);
  FKeepConnection = true;
  FAllowCaching = false;
  rtl::TStringList header, responseHeader;
  TclNullStream body, responseBody;
  RequestCycle(u"CONNECT", header, &body, responseHeader, &responseBody);
}

// --- the exchange on the wire -------------------------------------------------------------------

void TclHttp::PrepareRequestHeader(TclHttpRoute ARoute, rtl::TStringList& AHeader, rtl::TStream& ABody) {
  int64_t bodySize = ABody.Size() - ABody.Position();
  if (bodySize < 0) bodySize = 0;
  if (AHeader.Count() > 0) {
    const rtl::String& first = AHeader[0];
    size_t space = first.find(u' ');
    size_t colon = first.find(u':');
    if (space != rtl::String::npos && (colon == rtl::String::npos || space < colon)) AHeader.Delete(0);
  }
  while (AHeader.Count() > 0 && AHeader[AHeader.Count() - 1].empty()) AHeader.Delete(AHeader.Count() - 1);

  rtl::String target;
  if (HasProxy()) {
    if (ARoute == hrTunnelSetup)
      target = rtl::Format(u"%s:%d", {FUrl->Host(), FUrl->Port()});
    else if (ARoute == hrTunnel)
      target = FUrl->AbsolutePath();
    else
      target = AbsoluteForm(*FUrl);
  } else {
    target = FUrl->AbsolutePath();
  }
  if (target.empty()) target = u"/";
  AHeader.Insert(0, rtl::Format(u"%s %s %s", {FMethod, target, rtl::String(HttpVersionText[FHttpVersion])}));

  TclHeaderFieldList fields;
  fields.Parse(0, &AHeader);
  fields.RemoveField(u"Host");
  if (FAllowCompression) fields.AddFieldIfNotExist(u"Accept-Encoding", u"gzip");
  auto portSuffix = [](int APort) -> rtl::String {
    return APort == 80 || APort == 443 ? rtl::String() : rtl::Format(u":%d", {APort});
  };
  if (!FUrl->Host().empty())
    fields.AddField(u"Host", FUrl->Host() + portSuffix(FUrl->Port()));
  else
    fields.AddField(u"Host", Server() + portSuffix(Port()));
  fields.AddFieldIfNotExist(u"User-Agent", FUserAgent);

  int64_t declared = 0;
  rtl::String lengthValue = fields.GetFieldValue(u"Content-Length");
  if (!ParseDecimal(rtl::Trim(lengthValue), declared)) declared = 0;
  if (declared > 0 && bodySize == 0) {
    fields.RemoveField(u"Content-Length");
    fields.RemoveField(u"Content-Type");
  } else if (fields.GetFieldIndex(u"Content-Length") < 0 || lengthValue.empty()) {
    if (fields.GetFieldIndex(u"Content-Length") >= 0) fields.RemoveField(u"Content-Length");
    if (ARoute == hrTunnelSetup || bodySize > 0)
      fields.AddField(u"Content-Length", rtl::IntToStr(bodySize));
    else if (rtl::SameText(FMethod, u"POST"))
      fields.AddField(u"Content-Length", u"0");
  }
  if (!FAllowCaching) fields.AddFieldIfNotExist(CacheFieldName[FHttpVersion], u"no-cache");
  // Inside a tunnel the request is the origin's: proxy fields and the proxy's password stay out.
  const bool toProxy = HasProxy() && ARoute != hrTunnel;
  if (!toProxy) fields.RemoveField(u"Proxy-Authorization");
  if (FKeepConnection) fields.AddFieldIfNotExist(toProxy ? u"Proxy-Connection" : u"Connection", u"Keep-Alive");
  fields.RemoveField(u"Expect");
  if (FExpect100Continue && bodySize > 0) fields.AddField(u"Expect", u"100-continue");
  FUpgradeAsked = fields.GetFieldIndex(u"Upgrade") >= 0;
  if (FAllowCookies) {
    TclCookieList cookies;
    CookieStore()->GetCookies(cookies, FUrl->Host(), FUrl->AbsolutePath(), FUrl->Port(), FUrl->UrlType() == utHTTPS);
    cookies.SetRequestCookies(AHeader);
  }
  AHeader.Add(u"");
}

void TclHttp::SendRequestHeader(TclHttpRoute ARoute, rtl::TStringList& AHeader, rtl::TStream& ABody) {
  OpenForRequest(ARoute);
  PrepareRequestHeader(ARoute, AHeader, ABody);
  Connection().WriteString(AHeader.Text());
}

void TclHttp::SendRequestBody(rtl::TStream& ABody) {
  int64_t size = ABody.Size();
  if (size <= 0) return;
  TclTcpClientConnection& c = Connection();
  c.InitProgress(ABody.Position(), size);
  FProgressHandled = false;
  TProgressRoute route(c, [this](void*, int64_t ABytes, int64_t ATotal) { DoSendProgress(ABytes, ATotal); });
  c.WriteData(&ABody);
  // A peer that closed while the body was going out ends the write early: the request was never
  // made, whatever the connection may still hold.
  if (ABody.Position() < size)
    throw EclSocketError(u"The connection was closed before the request body was sent", 10053);
  if (!FProgressHandled) DoSendProgress(size, size);
}

void TclHttp::CheckConnectionOpen() {
  if (!Active())
    throw EclSocketError(u"The connection was closed before the response was complete", 10038);
}

bool TclHttp::ReadResponseHeader(rtl::TStringList& AHeader, rtl::TMemoryStream& ABuffer) {
  ABuffer.Clear();
  int64_t headStart = 0;
  FStatusCode = 0;
  FStatusText.clear();
  FResponseVersion = FHttpVersion;
  TclTcpClientConnection& c = Connection();
  c.SetIsReadUntilClose(false);
  int64_t headEnd = -1, scan = 0;
  while (headEnd < 0) {
    CheckConnectionOpen();
    // Every read of the head may take one batch, counted afresh.
    c.InitProgress(0, 0);
    {
      TReadLimit limit(c, BatchSize());
      c.ReadData(&ABuffer);
    }
    for (;;) {
      const uint8_t* data = ABuffer.Memory();
      int64_t size = ABuffer.Size();
      int64_t end = FindHeadEnd(data, size, scan);
      if (end < 0) {
        // Counted from the first byte, so endless interim responses end here too.
        if (size > MaxResponseHeadSize)
          throw EclHttpError(u"The response head is larger than 1048576 bytes", HttpHeadTooLargeCode, u"");
        break;
      }
      // The status line.
      const uint8_t* line = data + headStart;
      const uint8_t* lineEnd = static_cast<const uint8_t*>(memchr(line, '\n', size_t(end - headStart)));
      rtl::String status = rtl::AnsiToString(line, size_t(lineEnd - line));
      size_t space = status.find(u' ');
      FResponseVersion = FHttpVersion;
      FStatusCode = 0;
      FStatusText.clear();
      if (space != rtl::String::npos) {
        rtl::String version = rtl::UpperCase(rtl::Trim(status.substr(0, space)));
        if (version == u"HTTP/1.0")
          FResponseVersion = hvHttp1_0;
        else if (version == u"HTTP/1.1")
          FResponseVersion = hvHttp1_1;
        size_t codeEnd = status.find_first_of(u" \r", space + 1);
        if (codeEnd == rtl::String::npos) codeEnd = status.size();
        int64_t code = 0;
        // Three digits, as every status code has.
        std::u16string_view digits = std::u16string_view(status).substr(space + 1, codeEnd - space - 1);
        if (digits.size() == 3 && ParseDecimal(digits, code) && code >= 100) FStatusCode = static_cast<int>(code);
        FStatusText = codeEnd < status.size() ? rtl::Trim(status.substr(codeEnd)) : rtl::String();
      }
      if (FStatusCode == 0)
        throw EclHttpError(u"The response has no valid status line", HttpInvalidStatusLineCode, u"");
      // Interim responses (100 Continue, 102 Processing, 103 Early Hints, ...) come before the
      // final one; nothing of them is used.
      if (FStatusCode < 200 && FStatusCode != 101) {
        headStart = scan = end;
        continue;
      }
      if (FStatusCode == 101 && !FUpgradeAsked)
        throw EclHttpError(u"The response switches protocols, which the request did not ask for",
                           HttpUnexpectedSwitchCode, u"");
      headEnd = end;
      break;
    }
  }
  ABuffer.SetPosition(headStart);
  AHeader.SetText(rtl::AnsiToString(ABuffer.Memory() + headStart, size_t(headEnd - headStart)));
  ABuffer.SetPosition(headEnd);
  FResponseHeader->ParseHeader(AHeader);
  ReadFramingFields(AHeader);
  FResponseCookies->GetResponseCookies(AHeader, FUrl->Host(), FUrl->AbsolutePath(), FUrl->Port());
  if (FAllowCookies) CookieStore()->AddCookies(*FResponseCookies);
  bool cancel = false;
  DoReceiveHeader(FMethod, FUrl->AbsoluteUri(), AHeader, *FResponseCookies, cancel);
  return !cancel;
}

void TclHttp::ReadFramingFields(rtl::TStringList& AHeader) {
  // Every field counts, not only the first of its name: a body framed one way for us and
  // another way for a proxy on the road is how responses get smuggled.
  FTransferCodings.clear();
  FContentCodings.clear();
  int lengthFields = 0, codingFields = 0, contentFields = 0;
  for (int i = 0; i < AHeader.Count() && !AHeader[i].empty(); ++i) {
    if (IsFieldLine(AHeader[i], u"content-length"))
      ++lengthFields;
    else if (IsFieldLine(AHeader[i], u"transfer-encoding"))
      ++codingFields;
    else if (IsFieldLine(AHeader[i], u"content-encoding"))
      ++contentFields;
  }
  std::vector<rtl::String> lengthValues, codingValues, contentValues;
  if (lengthFields > 1 || codingFields > 1 || contentFields > 1) {
    TclHeaderFieldList fields;
    fields.Parse(0, &AHeader);
    const rtl::TStringList& names = fields.FieldList();
    for (int i = 0; i < names.Count(); ++i) {
      if (names[i] == u"content-length")
        lengthValues.push_back(fields.GetFieldValue(i));
      else if (names[i] == u"transfer-encoding")
        codingValues.push_back(fields.GetFieldValue(i));
      else if (names[i] == u"content-encoding")
        contentValues.push_back(fields.GetFieldValue(i));
    }
  } else {
    // Most heads have one length and no coding: the header object holds the one value already.
    if (lengthFields == 1 && FResponseHeader->ContentLength().find(u',') != rtl::String::npos)
      lengthValues.push_back(FResponseHeader->ContentLength());
    if (codingFields == 1) codingValues.push_back(FResponseHeader->TransferEncoding());
    if (contentFields == 1) contentValues.push_back(FResponseHeader->ContentEncoding());
  }
  // Codings in the order they were applied; a coding's parameters mean nothing to us, and
  // "identity" changes nothing.
  auto readCodings = [](const std::vector<rtl::String>& AValues, std::vector<rtl::String>& ACodings) {
    for (const rtl::String& value : AValues) {
      VisitListElements(value, IsTrimmed, [&](std::u16string_view v) {
        rtl::String coding = rtl::LowerCase(rtl::Trim(v.substr(0, v.find(u';'))));
        if (!coding.empty() && coding != u"identity") ACodings.push_back(std::move(coding));
        return false;
      });
    }
  };
  readCodings(codingValues, FTransferCodings);
  readCodings(contentValues, FContentCodings);
  std::vector<rtl::String> lengths;
  for (const rtl::String& value : lengthValues)
    VisitListElements(value, IsTrimmed, [&](std::u16string_view v) {
      lengths.emplace_back(v);
      return false;
    });
  if (lengths.size() < 2) return;
  // Repeated lengths ("42, 42" or two fields) must all be the same number.
  for (const rtl::String& v : lengths) {
    if (v.empty())
      throw EclHttpError(u"The response has an invalid Content-Length: an empty value beside others",
                         HttpInvalidContentLengthCode, u"");
    if (v != lengths[0])
      throw EclHttpError(u"The response has conflicting Content-Length values: " + lengths[0].substr(0, 40) + u", " +
                             v.substr(0, 40),
                         HttpConflictingContentLengthCode, u"");
  }
  FResponseHeader->SetContentLength(lengths[0]);
}

bool TclHttp::HasNoBody() const {
  return (FStatusCode == 204 && rtl::Trim(FResponseHeader->ContentLength()).empty()) ||
         (rtl::SameText(FMethod, u"CONNECT") && FStatusCode == 200) || rtl::SameText(FMethod, u"HEAD") ||
         FStatusCode == 304 || FStatusCode < 200;
}

int64_t TclHttp::GetResponseLength() {
  if (HasNoBody()) return 0;
  rtl::String length = rtl::Trim(FResponseHeader->ContentLength());
  if ((FHttpVersion == hvHttp1_0 || FResponseVersion == hvHttp1_0) && length.empty()) return -1;
  if (length.empty() && (FStatusCode & 0xC8) == 0xC8) return -1;
  if (length.empty()) return 0;
  int64_t value = 0;
  // A length we cannot read would end the body at a wrong place: refuse it.
  if (!ParseDecimal(length, value))
    throw EclHttpError(u"The response has an invalid Content-Length: " + length, HttpInvalidContentLengthCode, u"");
  return value;
}

void TclHttp::ReadUntilClose(rtl::TStream* ADestination) {
  if (!Active()) return;
  TclTcpClientConnection& c = Connection();
  TclValueScope untilClose(c, &TclTcpConnection::IsReadUntilClose, &TclTcpConnection::SetIsReadUntilClose, true);
  c.ReadData(ADestination);
}

void TclHttp::ReceiveBody(rtl::TMemoryStream& ABuffer, rtl::TStream* ADestination, int64_t ARemaining) {
  TclNullStream nullStream;
  rtl::TStream* dest = ADestination ? ADestination : &nullStream;
  TclTcpClientConnection& c = Connection();
  FProgressHandled = false;
  TProgressRoute route(c, [this](void*, int64_t ABytes, int64_t ATotal) { DoReceiveProgress(ABytes, ATotal); });
  // Decoders in front of the destination, the innermost first: the gzip content coding, then
  // the transfer codings in the order the server applied them. The last one takes the bytes as
  // they come from the connection.
  std::vector<std::unique_ptr<rtl::TStream>> decoders;
  auto add = [&](std::unique_ptr<rtl::TStream> ADecoder) {
    dest = ADecoder.get();
    decoders.push_back(std::move(ADecoder));
  };
  // The content codings are undone from the last one applied as long as we know them; the ones
  // applied before a coding we cannot undo stay in the body with it.
  size_t undone = FContentCodings.size();
  while (undone > 0 && IsGzipCoding(FContentCodings[undone - 1])) --undone;
  for (size_t i = undone; i < FContentCodings.size(); ++i) add(std::make_unique<TclGZipInflateStream>(dest));
  const uint8_t* pending = ABuffer.Memory() + ABuffer.Position();
  if (!FTransferCodings.empty() && !HasNoBody()) {
    // The transfer codings frame the body; a Content-Length beside them does not count.
    for (const rtl::String& coding : FTransferCodings) {
      if (coding == u"chunked")
        add(std::make_unique<TclChunkedStream>(dest));
      else if (IsGzipCoding(coding))
        add(std::make_unique<TclGZipInflateStream>(dest));
      else if (coding == u"deflate")
        add(std::make_unique<TclDeflateInflateStream>(dest));
      else
        throw EclHttpError(u"The response has an unsupported transfer coding: " + coding.substr(0, 40),
                           HttpUnsupportedTransferCodingCode, u"");
    }
    if (ARemaining > 0) dest->WriteBuffer(pending, ARemaining);
    c.InitProgress(ARemaining, -1);
    if (FTransferCodings.back() == u"chunked") {
      auto* chunked = static_cast<TclChunkedStream*>(dest);
      while (!chunked->IsCompleted()) {
        CheckConnectionOpen();
        c.ReadData(chunked);
      }
    } else {
      // Without chunked last, only the connection's end ends the body.
      ReadUntilClose(dest);
    }
    if (!FProgressHandled) DoReceiveProgress(c.BytesProceed(), -1);
    // A server that frames one body in two ways gets no second request on this connection.
    if (!FResponseHeader->ContentLength().empty()) Close();
  } else {
    int64_t len = GetResponseLength();
    // Bytes beyond the announced length are not part of this body.
    int64_t taken = len < 0 ? ARemaining : std::min(ARemaining, len);
    if (taken > 0) dest->WriteBuffer(pending, taken);
    c.InitProgress(taken, len);
    if (len < 0) {
      ReadUntilClose(dest);
    } else if (c.BytesProceed() < len) {
      TReadLimit limit(c, len - taken);
      while (c.BytesProceed() < len) {
        CheckConnectionOpen();
        c.ReadData(dest);
      }
    }
    if (!FProgressHandled) DoReceiveProgress(len, len);
  }
  for (auto it = decoders.rbegin(); it != decoders.rend(); ++it) CheckDecoderEnd(**it);
}

void TclHttp::ReadResponseBody(rtl::TStringList& AHeader, rtl::TMemoryStream& ABuffer, rtl::TStream* ADestination,
                               int64_t ARemaining) {
  if (FStatusCode == 101)
    Close();  // after a switch of protocols the connection no longer speaks HTTP
  else if (!rtl::SameText(FMethod, u"HEAD"))
    ReceiveBody(ABuffer, ADestination, ARemaining);
  DoReceiveResponse(FMethod, FUrl->AbsoluteUri(), AHeader, *FResponseCookies);
}

void TclHttp::ReadResponseText(rtl::TStringList& AHeader, rtl::TMemoryStream& ABuffer, rtl::TStringList& AText,
                               int64_t ARemaining) {
  if (rtl::SameText(FMethod, u"HEAD")) {
    AText.Clear();
    return;
  }
  TTextStream body(MaxResponseTextSize);
  try {
    ReceiveBody(ABuffer, &body, ARemaining);
  } catch (const TTextFull&) {
    // The rest of the page is not wanted; what is left of it unread makes the connection
    // useless, and reading it could take as long as the server likes.
    Close();
  }
  DoReceiveResponse(FMethod, FUrl->AbsoluteUri(), AHeader, *FResponseCookies);
  body.SetPosition(0);
  TclStringsUtils::LoadStrings(body, AText, FCharSet);
}

void TclHttp::WriteResponseText(const rtl::TStringList& AText, rtl::TStream* ADestination) {
  if (ADestination) TclStringsUtils::SaveStrings(AText, *ADestination, FCharSet);
}

}  // namespace netlib
