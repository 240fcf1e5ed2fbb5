// The HTTP client component: one request at a time, synchronously, over the TCP client's
// connection, with redirects, authorization answers, cookies, keep-alive and an HTTP proxy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "netlib/http/clCookieManager.h"
#include "netlib/http/clHttpHeader.h"
#include "netlib/http/clHttpRequest.h"
#include "netlib/http/clHttpUtils.h"
#include "netlib/http/clUriUtils.h"
#include "netlib/transport/clTcpClientTls.h"
#include "rtl/Classes.h"

namespace netlib {

// ErrorCode holds the HTTP status code and the message the status line; ResponseText is the
// response body as text.
class EclHttpError : public EclSocketError {
 public:
  EclHttpError(rtl::String AMessage, int AErrorCode, rtl::String AResponseText)
      : EclSocketError(std::move(AMessage), AErrorCode), FResponseText(std::move(AResponseText)) {}
  const char* ClassName() const noexcept override { return "EclHttpError"; }
  const rtl::String& ResponseText() const { return FResponseText; }

 private:
  rtl::String FResponseText;
};

// A response head that is not complete within this many bytes fails at once.
constexpr int64_t MaxResponseHeadSize = 1048576;
// Codes of the client's own failures (HTTP status codes are 100..999).
constexpr int HttpHeadTooLargeCode = -20;         // "The response head is larger than 1048576 bytes"
constexpr int HttpInvalidStatusLineCode = -21;    // "The response has no valid status line"
constexpr int HttpInvalidContentLengthCode = -22; // "The response has an invalid Content-Length: <value>"
constexpr int HttpConflictingContentLengthCode = -23;  // "The response has conflicting Content-Length values: <a>, <b>"
constexpr int HttpUnsupportedTransferCodingCode = -24; // "The response has an unsupported transfer coding: <name>"
constexpr int HttpUnexpectedSwitchCode = -25;  // "The response switches protocols, which the request did not ask for"
// A gzip body that ends inside a member, a deflate body that ends early (EclZLibError).
constexpr int32_t ZLibTruncatedMemberCode = -150;  // "Uncompressing error - the gzip data ends inside a member"
constexpr int32_t ZLibTruncatedDeflateCode = -151; // "Uncompressing error - the deflate data ends early"
// Response bodies read into memory (redirect, challenge and error pages) keep at most this many
// decoded bytes; the rest is not read and the connection is closed.
constexpr int64_t MaxResponseTextSize = 1048576;

class TclHttp;
class TclHttpAuthorization;

// How a request travels: straight to the origin, or to an HTTP proxy in absolute form
// (hrDirect); as the CONNECT that opens a tunnel through the proxy (hrTunnelSetup); inside such
// a tunnel, to the origin (hrTunnel).
enum TclHttpRoute { hrDirect, hrTunnelSetup, hrTunnel };

using TclHttpRequestEvent = std::function<void(TclHttp* Sender, const rtl::String& AMethod, const rtl::String& AUrl,
                                               const rtl::TStringList& ARequestHeader)>;
using TclHttpHeaderEvent =
    std::function<void(TclHttp* Sender, const rtl::String& AMethod, const rtl::String& AUrl,
                       const rtl::TStringList& AResponseHeader, TclCookieList& ACookies, bool& Cancel)>;
using TclHttpResponseEvent = std::function<void(TclHttp* Sender, const rtl::String& AMethod, const rtl::String& AUrl,
                                                const rtl::TStringList& AResponseHeader, TclCookieList& ACookies)>;
using TclHttpProgressEvent = std::function<void(TclHttp* Sender, int64_t ABytesProceed, int64_t ATotalBytes)>;
using TclHttpRedirectEvent =
    std::function<void(TclHttp* Sender, const rtl::TStringList& ARequestHeader, int AStatusCode,
                       const TclHttpResponseHeader& AResponseHeader, const rtl::TStringList& AResponseText,
                       rtl::String& AMethod, bool& CanRedirect, bool& Handled)>;
// Chooses the proxy (ProxySettings, FirewallSettings) for a request to AUrl.
using TclHttpSelectProxyEvent = std::function<void(TclHttp* Sender, const TclUrlParser& AUrl)>;

class TclHttp : public TclTcpClientTls {
 public:
  TclHttp();
  ~TclHttp() override;

  // Downloads AUrl into ADestination; any exception means the download failed.
  void Get(const rtl::String& AUrl, rtl::TStream* ADestination);
  void SendRequest(const rtl::String& AMethod, const rtl::String& AUrl, const rtl::TStringList& ARequestHeader,
                   rtl::TStream* ARequestBody, rtl::TStringList* AResponseHeader, rtl::TStream* AResponseBody);
  void SendRequest(const rtl::String& AMethod, const rtl::String& AUrl, TclHttpRequest* ARequest,
                   rtl::TStringList* AResponseHeader, rtl::TStream* AResponseBody);
  void DoGet(const rtl::String& AUrl, TclHttpRequest* ARequest, rtl::TStringList* AResponseHeader,
             rtl::TStream* ADestination);
  void DoHead(const rtl::String& AUrl, rtl::TStringList* AResponseHeader);
  void DoPut(const rtl::String& AUrl, const rtl::String& AContentType, rtl::TStream* ASource,
             rtl::TStringList* AResponseHeader, rtl::TStream* AResponseBody);
  void DoPost(const rtl::String& AUrl, TclHttpRequest* ARequest, rtl::TStringList* AResponseHeader,
              rtl::TStream* AResponseBody);
  void DoDelete(const rtl::String& AUrl, rtl::TStringList* AResponseHeader, rtl::TStream* AResponseBody);

  // Read-only state of the last response head.
  TclUrlParser& Url() const { return *FUrl; }
  int StatusCode() const { return FStatusCode; }
  const rtl::String& StatusText() const { return FStatusText; }
  TclHttpVersion ResponseVersion() const { return FResponseVersion; }
  TclHttpResponseHeader& ResponseHeader() const { return *FResponseHeader; }
  TclCookieList& ResponseCookies() const { return *FResponseCookies; }

  // Settings; a setter that changes a value raises OnChanged.
  TclHttpRequest* Request() const { return FRequest; }
  // The request is not owned; the caller keeps it alive or unassigns it before freeing it.
  void SetRequest(TclHttpRequest* AValue);
  TclHttpVersion HttpVersion() const { return FHttpVersion; }
  void SetHttpVersion(TclHttpVersion AValue);
  const rtl::String& UserName() const { return FUserName; }
  void SetUserName(const rtl::String& AValue);
  const rtl::String& Password() const { return FPassword; }
  void SetPassword(const rtl::String& AValue);
  const rtl::String& Authorization() const { return FAuthorization; }
  void SetAuthorization(const rtl::String& AValue);
  TclAuthorizationType AuthorizationType() const { return FAuthorizationType; }
  void SetAuthorizationType(TclAuthorizationType AValue);
  const rtl::String& UserAgent() const { return FUserAgent; }
  void SetUserAgent(const rtl::String& AValue);
  bool KeepConnection() const { return FKeepConnection; }
  void SetKeepConnection(bool AValue);
  bool AllowCaching() const { return FAllowCaching; }
  void SetAllowCaching(bool AValue);
  bool AllowRedirects() const { return FAllowRedirects; }
  void SetAllowRedirects(bool AValue);
  bool AllowCookies() const { return FAllowCookies; }
  void SetAllowCookies(bool AValue);
  bool AllowCompression() const { return FAllowCompression; }
  void SetAllowCompression(bool AValue);
  TclHttpProxySettings& ProxySettings() const { return *FProxySettings; }
  void SetProxySettings(const TclHttpProxySettings& AValue) { FProxySettings->Assign(&AValue); }
  int MaxRedirects() const { return FMaxRedirects; }
  void SetMaxRedirects(int AValue);
  int MaxAuthRetries() const { return FMaxAuthRetries; }
  void SetMaxAuthRetries(int AValue);
  // Not owned; the client hears of the store's destruction and forgets it.
  TclCookieManager* CookieManager() const { return FCookieManager; }
  void SetCookieManager(TclCookieManager* AValue);
  bool SilentHTTP() const { return FSilentHTTP; }
  void SetSilentHTTP(bool AValue);
  bool Expect100Continue() const { return FExpect100Continue; }
  void SetExpect100Continue(bool AValue);
  const rtl::String& CharSet() const { return FCharSet; }
  void SetCharSet(const rtl::String& AValue);

  TclHttpRequestEvent OnSendRequest;
  TclHttpHeaderEvent OnReceiveHeader;
  TclHttpResponseEvent OnReceiveResponse;
  TclHttpProgressEvent OnSendProgress;
  TclHttpProgressEvent OnReceiveProgress;
  TclHttpRedirectEvent OnRedirect;
  // Raised before every request that is not a tunnel's CONNECT, also after a redirect, so the
  // proxy can follow the URL (a redirect from http to https, or to an exempt host). Unassigned,
  // the settings stay as they are.
  TclHttpSelectProxyEvent OnSelectProxy;

 protected:
  int GetDefaultPort() const override { return 80; }
  void OpenConnection(const rtl::String& AServer, int APort) override;
  virtual rtl::String GetRedirectMethod(int AStatusCode, const rtl::String& AMethod);

  virtual void DoSendRequest(const rtl::String& AMethod, const rtl::String& AUrl, const rtl::TStringList& AHeader);
  virtual void DoReceiveHeader(const rtl::String& AMethod, const rtl::String& AUrl, const rtl::TStringList& AHeader,
                               TclCookieList& ACookies, bool& Cancel);
  virtual void DoReceiveResponse(const rtl::String& AMethod, const rtl::String& AUrl,
                                 const rtl::TStringList& AHeader, TclCookieList& ACookies);
  virtual void DoSendProgress(int64_t ABytesProceed, int64_t ATotalBytes);
  virtual void DoReceiveProgress(int64_t ABytesProceed, int64_t ATotalBytes);
  virtual void DoRedirect(const rtl::TStringList& ARequestHeader, int AStatusCode, const rtl::TStringList& AResponseText,
                          rtl::String& AMethod, bool& CanRedirect, bool& Handled);
  virtual void DoSelectProxy(const TclUrlParser& AUrl);

  // The exchange on the wire.
  TclHttpRoute GetRoute() const;
  void PrepareRequestHeader(TclHttpRoute ARoute, rtl::TStringList& AHeader, rtl::TStream& ABody);
  void SendRequestHeader(TclHttpRoute ARoute, rtl::TStringList& AHeader, rtl::TStream& ABody);
  void SendRequestBody(rtl::TStream& ABody);
  bool ReadResponseHeader(rtl::TStringList& AHeader, rtl::TMemoryStream& ABuffer);
  int64_t GetResponseLength();
  void ReadResponseBody(rtl::TStringList& AHeader, rtl::TMemoryStream& ABuffer, rtl::TStream* ADestination,
                        int64_t ARemaining);
  void ReadResponseText(rtl::TStringList& AHeader, rtl::TMemoryStream& ABuffer, rtl::TStringList& AText,
                        int64_t ARemaining);
  void WriteResponseText(const rtl::TStringList& AText, rtl::TStream* ADestination);

 private:
  bool HasProxy() const { return !FProxySettings->Server().empty(); }
  TclHttpRequest* TakeRequest();
  TclCookieManager* CookieStore();
  // The request cycle: exchanges until a final answer, following redirects and answering
  // challenges on the way. Its steps share the cycle's state (TCycle, clHttp.cpp).
  struct TCycle;
  enum TExchange { exAnswered, exSendAgain, exEnded };
  void RequestCycle(const rtl::String& AMethod, const rtl::TStringList& AHeader, rtl::TStream* ABody,
                    rtl::TStringList& AResponseHeader, rtl::TStream* AResponseBody);
  // One exchange: the request out, the response head in. exSendAgain when a kept connection
  // turned out to be gone and the request goes out again on a new one.
  TExchange Exchange(TCycle& ACycle);
  // The steps after a response head; each answers whether the request goes out again.
  bool FollowRedirect(TCycle& ACycle);
  // ATokenAnswered: the request answered carried our answer to the NTLM or Negotiate token.
  bool AnswerServerChallenge(TCycle& ACycle, bool ATokenAnswered);
  bool AnswerProxyChallenge(TCycle& ACycle, bool ATokenAnswered);
  bool RefusedHandshake(TCycle& ACycle, const TclHttpAuthorization& A, bool ATokenAnswered, bool& ATokenAnswer);
  bool TakeFinalResponse(TCycle& ACycle);
  // NTLM and Negotiate: their handshake starts again on a new connection, once; false when the
  // request failed instead (silently).
  bool StartHandshakeAgain(TCycle& ACycle);
  // Raises EclHttpError for the response (AMessage, or the status line when empty); when
  // SilentHTTP, writes the response text to the caller's body instead.
  void FailRequest(TCycle& ACycle, const rtl::String& AMessage = rtl::String());
  bool IsKeepAlive(TclHttpRoute ARoute) const;
  bool Redirect(rtl::TStringList& AHeader, const rtl::TStringList& AResponseText, rtl::String& ANewMethod);
  // Puts the answer of the scheme chosen for AChallenge into AHeader; nullptr when none answers.
  TclHttpAuthorization* Authorize(const rtl::String& AUserName, const rtl::String& APassword,
                                  const rtl::String& AFieldName, const rtl::TStringList& AChallenge,
                                  rtl::TStringList& AHeader);
  void PreemptiveAuthorize(const rtl::String& AUserName, const rtl::String& APassword, const rtl::String& AFieldName,
                           rtl::TStringList& AHeader);
  [[noreturn]] void RaiseHttpError(const rtl::TStringList& AResponseHeader, const rtl::TStringList& AText);
  [[noreturn]] void RaiseRedirectRefused(const rtl::String& AScheme, const rtl::TStringList& AText);
  // Asks OnSelectProxy again for the current URL; when the HTTP proxy changed, the old proxy's
  // credentials leave AHeader and the new one's preemptive credentials take their place.
  void SelectProxy(rtl::TStringList& AHeader);
  void OpenForRequest(TclHttpRoute ARoute);
  void SetupTunnel();
  void CheckConnectionOpen();
  // Message framing: the length and transfer-coding fields, the responses without a body, and
  // the body's way from the connection through its decoders into ADestination.
  void ReadFramingFields(rtl::TStringList& AHeader);
  bool HasNoBody() const;
  void ReceiveBody(rtl::TMemoryStream& ABuffer, rtl::TStream* ADestination, int64_t ARemaining);
  void ReadUntilClose(rtl::TStream* ADestination);

  rtl::String FCharSet;
  std::unique_ptr<TclUrlParser> FUrl;
  TclHttpVersion FHttpVersion = hvHttp1_1;
  rtl::String FUserName;
  rtl::String FPassword;
  int FStatusCode = 0;
  rtl::String FStatusText;
  rtl::String FUserAgent;
  TclAuthorizationType FAuthorizationType = atAutoDetect;
  bool FKeepConnection = true;
  bool FAllowCaching = true;
  bool FAllowRedirects = true;
  std::unique_ptr<TclHttpProxySettings> FProxySettings;
  int FMaxRedirects = 15;
  int FMaxAuthRetries = 5;
  TclCookieManager* FCookieManager = nullptr;
  std::unique_ptr<TclCookieManager> FOwnCookieManager;
  bool FAllowCookies = true;
  bool FAllowCompression = true;
  TclHttpRequest* FRequest = nullptr;
  std::unique_ptr<TclHttpResponseHeader> FResponseHeader;
  rtl::String FMethod;
  TclHttpVersion FResponseVersion = hvHttp1_0;
  std::unique_ptr<TclHttpRequest> FOwnRequest;
  bool FProgressHandled = false;
  std::unique_ptr<TclCookieList> FResponseCookies;
  rtl::String FOldProxyServer;
  int FOldProxyPort = 0;
  TclFirewallSettings FOldFirewall;  // the SOCKS settings the connection was opened with
  bool FSilentHTTP = false;
  rtl::String FAuthorization;
  bool FExpect100Continue = false;
  bool FUpgradeAsked = false;                   // the request carries "Upgrade": 101 may answer it
  std::vector<rtl::String> FTransferCodings;    // of the last response, lower case, as applied
  std::vector<rtl::String> FContentCodings;     // the same for its content
};

// The default user agent text.
extern const char16_t* const DefaultUserAgent;  // "Mozilla/4.0 (compatible; Tamber Internet Suite)"

}  // namespace netlib
