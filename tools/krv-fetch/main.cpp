// krv-fetch: downloads each URL in turn with one HTTP client, so keep-alive and cookies carry
// over from one URL to the next.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "netlib/http/clHttp.h"
#include "netlib/http/clProxyApply.h"
#include "netlib/http/clResumableDownload.h"
#include "netlib/zlib/clZLibBase.h"
#include "rtl/Ansi.h"
#include "rtl/BufferedStream.h"
#include "rtl/Classes.h"
#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

using namespace netlib;

namespace rtl {
RTL_EXCEPTION_CLASS(EUsageError, Exception);
}

namespace {

using rtl::EUsageError;

const char* const Usage =
    "usage: krv-fetch [options] URL [URL...]\n"
    "  -o FILE                 write the next URL's body to FILE (default: standard output)\n"
    "  -u USER:PASS            credentials for the server\n"
    "  --basic                 send Basic credentials with the first request\n"
    "  --proxy HOST:PORT       HTTP proxy\n"
    "  --proxy-user USER:PASS  credentials for the proxy\n"
    "  --proxy-basic           send Basic proxy credentials with the first request\n"
    "  --socks4 HOST:PORT      SOCKS 4 server\n"
    "  --socks5 HOST:PORT      SOCKS 5 server\n"
    "  --socks-user USER:PASS  credentials for the SOCKS server\n"
    "  --socks-local-resolve   resolve target names here, not on the SOCKS server\n"
    "  --http1.0               speak HTTP/1.0\n"
    "  --no-keepalive          close the connection after each response\n"
    "  --no-redirects          fail on a redirect\n"
    "  --max-redirects N       follow at most N redirects (0: no limit)\n"
    "  --no-compression        do not ask for gzip\n"
    "  --no-cookies            neither store nor send cookies\n"
    "  --silent-http           write error pages to the output instead of failing\n"
    "  --timeout MS            network time-out in milliseconds\n"
    "  --batch-size N          bytes per read and write\n"
    "  --bits-per-sec N        throttle the transfer\n"
    "  --cacert FILE           certificate authorities for TLS\n"
    "  --insecure              do not check the server's certificate\n"
    "  -X METHOD               request method\n"
    "  -d DATA                 request body (POST unless -X says otherwise)\n"
    "  -d @FILE, --data-binary @FILE\n"
    "                          the file's bytes as the request body, streamed from the file\n"
    "  --data-binary DATA      request body, as -d\n"
    "  -H \"Name: value\"        add a request field (replaces one of that name)\n"
    "  -I                      send HEAD and print the response head\n"
    "  -C -                    continue an -o file: ask only for the bytes after its end\n"
    "  --retry N               when the connection breaks in the body, reconnect up to N times\n"
    "                          (pauses 1, 2, 4 ... s) and ask for the rest\n"
    "  --noproxy LIST          hosts that go direct (replaces no_proxy; \"*\": all)\n"
    "  --speed-limit BYTES     a transfer slower than BYTES a second for --speed-time seconds\n"
    "                          is broken off (resumed with --retry)\n"
    "  --speed-time SECONDS    the window of --speed-limit (default 30; alone: a limit of 1)\n"
    "  --max-filesize BYTES    refuse a GET download larger than BYTES (k, M, G: 1024s):\n"
    "                          before it starts when its length is announced, else when it passes\n"
    "  -v                      request and response heads to standard error\n"
    "  --progress              a progress bar on standard error\n";

// The request body of -d @FILE: the file's bytes, read piece by piece as they are sent. Its size
// is taken when it is opened, because the request announces it before the first byte; a file
// that shrinks while it is sent fails the request instead of leaving the server waiting, and one
// that grows sends only the announced bytes.
// Standard output, in binary mode: the C library's stream, flushed and checked as written.
class TStandardOutput : public rtl::TStream {
 public:
  TStandardOutput() { rtl::UseBinaryStandardOutput(); }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* AData, int64_t ACount) override {
    if (ACount <= 0) return 0;
    if (std::fwrite(AData, 1, size_t(ACount), stdout) != size_t(ACount) || std::fflush(stdout) != 0)
      throw rtl::EWriteError(u"Cannot write to standard output");
    return ACount;
  }
  int64_t Seek(int64_t, rtl::TSeekOrigin) override { return 0; }
};

class TUploadFile : public rtl::TStream {
 public:
  explicit TUploadFile(const std::string& AOption, const std::string& APath)
      : FPath(APath), FFile(rtl::S(APath), rtl::fmOpenRead) {
    if (!rtl::FileExists(rtl::S(APath))) throw EUsageError(rtl::S(AOption + ": not a regular file: " + APath));
    FSize = FFile.Seek(0, rtl::soEnd);
    FFile.Seek(0, rtl::soBeginning);
  }
  int64_t Read(void* ABuffer, int64_t ACount) override {
    int64_t n = FFile.Read(ABuffer, std::min(ACount, FSize - FPosition));
    if (n <= 0 && ACount > 0 && FPosition < FSize)
      throw rtl::EReadError(rtl::S("Cannot read \"" + FPath + "\" after " + std::to_string(FPosition) + " of " +
                                   std::to_string(FSize) + " bytes: the file became shorter or unreadable"));
    FPosition += std::max<int64_t>(n, 0);
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) override {
    int64_t base = AOrigin == rtl::soBeginning ? 0 : AOrigin == rtl::soCurrent ? FPosition : FSize;
    FPosition = std::clamp<int64_t>(base + AOffset, 0, FSize);
    FFile.Seek(FPosition, rtl::soBeginning);
    return FPosition;
  }
  int64_t Size() override { return FSize; }

 private:
  std::string FPath;
  rtl::TFileStream FFile;
  int64_t FSize = 0, FPosition = 0;
};

struct TOptions {
  std::vector<std::string> Urls, Outputs;
  std::string User, ProxyUser, SocksUser, Method, Data, CaCert;
  std::unique_ptr<TUploadFile> DataFile;
  std::vector<std::pair<rtl::String, rtl::String>> Fields;  // from -H, in order
  bool HasData = false, Head = false, Basic = false, ProxyBasic = false, Verbose = false, Progress = false;
  bool Continue = false, ExplicitProxy = false;
  int Retries = 0;
  int64_t SpeedLimit = 0, MaxFileSize = -1;
  int SpeedTime = 0;
  std::optional<std::string> NoProxy;
  // Resumed and bounded downloads go through TclResumableDownload.
  bool Resumable() const { return Continue || Retries > 0 || MaxFileSize >= 0; }
};

bool IsTokenChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// "Name: value" of -H. The client frames the message itself, so the fields that carry the
// framing (and Host, taken from the URL) are not ours to set; CR or LF would start a field or a
// request of the caller's making.
std::pair<rtl::String, rtl::String> ParseField(const std::string& AText) {
  size_t colon = AText.find(':');
  std::string name = AText.substr(0, colon == std::string::npos ? 0 : colon);
  if (name.empty() || !std::all_of(name.begin(), name.end(), IsTokenChar))
    throw EUsageError(u"-H: expected \"Name: value\"");
  std::string value = AText.substr(colon + 1);
  if (value.find_first_of("\r\n") != std::string::npos)
    throw EUsageError(rtl::S("-H: the field " + name + " contains CR or LF"));
  if (std::any_of(value.begin(), value.end(), [](char c) { return (c >= 0 && c < 0x20 && c != '\t') || c == 0x7f; }))
    throw EUsageError(rtl::S("-H: the field " + name + " contains a control character"));
  rtl::String trimmed = rtl::Trim(rtl::S(value));
  if (trimmed.empty()) throw EUsageError(rtl::S("-H: the field " + name + " has no value"));
  for (const char16_t* own : {u"Host", u"Content-Length", u"Transfer-Encoding"})
    if (rtl::SameText(rtl::S(name), own))
      throw EUsageError(rtl::S("-H: " + name + " is set by krv-fetch itself"));
  return {rtl::S(name), trimmed};
}

int ParseNumber(const std::string& AOption, const std::string& AText, int AMin) {
  int64_t v = 0;
  if (AText.empty() || AText.size() > 10) throw EUsageError(rtl::S(AOption + ": not a number: " + AText));
  for (char c : AText) {
    if (c < '0' || c > '9') throw EUsageError(rtl::S(AOption + ": not a number: " + AText));
    v = v * 10 + (c - '0');
  }
  if (v < AMin || v > INT32_MAX) throw EUsageError(rtl::S(AOption + ": out of range: " + AText));
  return static_cast<int>(v);
}

// A byte count as curl reads one: digits, then optionally k, M or G (powers of 1024).
int64_t ParseBytes(const std::string& AOption, const std::string& AText) {
  std::string digits = AText;
  int shift = 0;
  if (!digits.empty()) {
    char unit = digits.back();
    shift = unit == 'k' || unit == 'K' ? 10 : unit == 'm' || unit == 'M' ? 20 : unit == 'g' || unit == 'G' ? 30 : 0;
    if (shift) digits.pop_back();
  }
  if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789") != std::string::npos)
    throw EUsageError(rtl::S(AOption + ": not a number of bytes: " + AText));
  return std::stoll(digits) << shift;
}

void SplitHostPort(const std::string& AOption, const std::string& AText, rtl::String& AHost, int& APort) {
  size_t colon = AText.rfind(':');
  if (colon == std::string::npos || colon == 0) throw EUsageError(rtl::S(AOption + ": expected HOST:PORT: " + AText));
  std::string host = AText.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  APort = ParseNumber(AOption, AText.substr(colon + 1), 1);
  if (APort > 65535) throw EUsageError(rtl::S(AOption + ": port out of range: " + AText));
  AHost = rtl::S(host);
}

void SplitCredentials(const std::string& AOption, const std::string& AText, rtl::String& AUser, rtl::String& APassword) {
  size_t colon = AText.find(':');
  if (colon == std::string::npos) throw EUsageError(rtl::S(AOption + ": expected USER:PASS"));
  AUser = rtl::S(AText.substr(0, colon));
  APassword = rtl::S(AText.substr(colon + 1));
}

void Configure(int argc, char** argv, TclHttp& AHttp, TOptions& AOptions) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw EUsageError(rtl::S(arg + ": missing value"));
      return argv[++i];
    };
    rtl::String host;
    int port = 0;
    if (arg == "-h" || arg == "--help") {
      fputs(Usage, stdout);
      exit(0);
    } else if (arg == "-o") {
      AOptions.Outputs.push_back(value());
    } else if (arg == "-u") {
      rtl::String u, p;
      SplitCredentials(arg, value(), u, p);
      AHttp.SetUserName(u);
      AHttp.SetPassword(p);
    } else if (arg == "--basic") {
      AHttp.SetAuthorizationType(atBasic);
    } else if (arg == "--proxy") {
      AOptions.ExplicitProxy = true;
      SplitHostPort(arg, value(), host, port);
      AHttp.ProxySettings().SetServer(host);
      AHttp.ProxySettings().SetPort(port);
    } else if (arg == "--proxy-user") {
      rtl::String u, p;
      SplitCredentials(arg, value(), u, p);
      AHttp.ProxySettings().SetUserName(u);
      AHttp.ProxySettings().SetPassword(p);
    } else if (arg == "--proxy-basic") {
      AHttp.ProxySettings().SetAuthorizationType(atBasic);
    } else if (arg == "--socks4" || arg == "--socks5") {
      AOptions.ExplicitProxy = true;
      SplitHostPort(arg, value(), host, port);
      AHttp.FirewallSettings().SetServer(host);
      AHttp.FirewallSettings().SetPort(port);
      AHttp.FirewallSettings().SetFirewallType(arg == "--socks4" ? ftSocks4 : ftSocks5);
    } else if (arg == "--socks-user") {
      rtl::String u, p;
      SplitCredentials(arg, value(), u, p);
      AHttp.FirewallSettings().SetUserName(u);
      AHttp.FirewallSettings().SetPassword(p);
    } else if (arg == "--socks-local-resolve") {
      AHttp.FirewallSettings().SetNeedResolveIP(false);
    } else if (arg == "--http1.0") {
      AHttp.SetHttpVersion(hvHttp1_0);
    } else if (arg == "--no-keepalive") {
      AHttp.SetKeepConnection(false);
    } else if (arg == "--no-redirects") {
      AHttp.SetAllowRedirects(false);
    } else if (arg == "--max-redirects") {
      AHttp.SetMaxRedirects(ParseNumber(arg, value(), 0));
    } else if (arg == "--no-compression") {
      AHttp.SetAllowCompression(false);
    } else if (arg == "--no-cookies") {
      AHttp.SetAllowCookies(false);
    } else if (arg == "--silent-http") {
      AHttp.SetSilentHTTP(true);
    } else if (arg == "--timeout") {
      AHttp.SetTimeOut(ParseNumber(arg, value(), 1));
    } else if (arg == "--batch-size") {
      AHttp.SetBatchSize(ParseNumber(arg, value(), 1));
    } else if (arg == "--bits-per-sec") {
      AHttp.SetBitsPerSec(ParseNumber(arg, value(), 0));
    } else if (arg == "--cacert") {
      AOptions.CaCert = value();
      try {
        rtl::TFileStream probe(rtl::S(AOptions.CaCert), rtl::fmOpenRead);
      } catch (const rtl::EFOpenError&) {
        throw EUsageError(rtl::S("--cacert: cannot read " + AOptions.CaCert));
      }
      AHttp.SetCAFile(rtl::S(AOptions.CaCert));
    } else if (arg == "--insecure") {
      AHttp.SetCertificateFlags({cfIgnoreCommonNameInvalid, cfIgnoreDateInvalid, cfIgnoreUnknownAuthority,
                                 cfIgnoreRevocation, cfIgnoreWrongUsage});
    } else if (arg == "-X") {
      AOptions.Method = value();
      if (AOptions.Method.empty() || AOptions.Method.find_first_of(" \r\n\t") != std::string::npos)
        throw EUsageError(u"-X: invalid method");
    } else if (arg == "-d" || arg == "--data-binary") {
      AOptions.Data = value();
      AOptions.HasData = true;
      AOptions.DataFile.reset();
      if (AOptions.Data.size() > 1 && AOptions.Data[0] == '@')
        AOptions.DataFile = std::make_unique<TUploadFile>(arg, AOptions.Data.substr(1));
    } else if (arg == "-H") {
      AOptions.Fields.push_back(ParseField(value()));
    } else if (arg == "-I") {
      AOptions.Head = true;
    } else if (arg == "-C") {
      if (value() != "-") throw EUsageError(u"-C: only \"-C -\" (continue from the file's size) is supported");
      AOptions.Continue = true;
    } else if (arg == "--retry") {
      AOptions.Retries = ParseNumber(arg, value(), 0);
    } else if (arg == "--noproxy") {
      AOptions.NoProxy = value();
    } else if (arg == "--speed-limit") {
      AOptions.SpeedLimit = ParseBytes(arg, value());
    } else if (arg == "--speed-time") {
      AOptions.SpeedTime = ParseNumber(arg, value(), 0);
    } else if (arg == "--max-filesize") {
      AOptions.MaxFileSize = ParseBytes(arg, value());
    } else if (arg == "-v") {
      AOptions.Verbose = true;
    } else if (arg == "--progress") {
      AOptions.Progress = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw EUsageError(rtl::S("unknown option " + arg));
    } else {
      AOptions.Urls.push_back(arg);
    }
  }
  if (AOptions.Urls.empty()) throw EUsageError(u"no URL given (see --help)");
  if (AOptions.Outputs.size() > AOptions.Urls.size()) throw EUsageError(u"more -o options than URLs");
  if (AOptions.Head && (AOptions.HasData || !AOptions.Method.empty()))
    throw EUsageError(u"-I: cannot be combined with -d, --data-binary or -X");
  // As curl: a window without a limit means 1 byte a second, a limit without a window 30 s.
  if (AOptions.SpeedLimit > 0 || AOptions.SpeedTime > 0)
    AHttp.Connection().SpeedFloor().Set(AOptions.SpeedLimit > 0 ? AOptions.SpeedLimit : 1,
                                        AOptions.SpeedTime > 0 ? AOptions.SpeedTime : 30);
  if (AOptions.Resumable()) {
    const char* what = AOptions.Continue ? "-C -" : AOptions.Retries > 0 ? "--retry" : "--max-filesize";
    if (AOptions.Head || AOptions.HasData || (!AOptions.Method.empty() && AOptions.Method != "GET"))
      throw EUsageError(rtl::S(std::string(what) + ": only for GET downloads (not with -I, -d, --data-binary or -X)"));
    for (const auto& f : AOptions.Fields)
      if (rtl::SameText(f.first, u"Range") || rtl::SameText(f.first, u"If-Range"))
        throw EUsageError(rtl::S(std::string(what) + ": cannot be combined with -H \"" + rtl::U8(f.first) + ": ...\""));
  }
  // A Cookie field of the caller's goes out as given: the store would replace it.
  for (const auto& f : AOptions.Fields)
    if (rtl::SameText(f.first, u"Cookie")) AHttp.SetAllowCookies(false);
}

void PrintLines(const char* APrefix, const rtl::TStringList& ALines) {
  for (const rtl::String& line : ALines)
    if (!line.empty()) fprintf(stderr, "%s %s\n", APrefix, rtl::U8(line).c_str());
  fprintf(stderr, "%s\n", APrefix);
}

// The head as it came: its lines ended by CR LF, then the empty line.
void WriteHead(const rtl::TStringList& AHead, rtl::TStream& ADestination) {
  rtl::String text;
  for (const rtl::String& line : AHead) {
    if (line.empty()) break;
    text += line + u"\r\n";
  }
  text += u"\r\n";
  rtl::Bytes bytes = rtl::StringToAnsi(text);
  ADestination.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

// The request fields of -d and -H: the client's defaults, the form type with -d, then each -H.
rtl::TStringList RequestHeader(const TOptions& AOptions) {
  TclHttpRequest request;
  if (AOptions.HasData) request.Header()->SetContentType(u"application/x-www-form-urlencoded");
  rtl::TStringList header(request.HeaderSource());
  if (!AOptions.Fields.empty()) {
    TclHeaderFieldList fields;
    fields.Parse(0, &header);
    for (const auto& [name, value] : AOptions.Fields) {
      while (fields.GetFieldIndex(name) >= 0) fields.RemoveField(name);
      fields.AddField(name, value);
    }
  }
  return header;
}

// A download with -C - or --retry: AContinueFrom bytes are already in the destination.
void FetchResumable(TclHttp& AHttp, const TOptions& AOptions, const rtl::String& AUrl, rtl::TStream& ADestination,
                    int64_t AContinueFrom, bool ACanRewind) {
  TclResumableDownload download(AHttp);
  download.SetRetries(AOptions.Retries);
  download.SetCanRewind(ACanRewind);
  download.SetMaxLength(AOptions.MaxFileSize);
  if (AOptions.Verbose)
    download.OnReconnect = [](TclResumableDownload*, const rtl::String& AReason, int64_t AFrom, int APauseMs) {
      std::string what = AFrom < 0 ? "the whole resource" : "the bytes from " + std::to_string(AFrom) + " on";
      fprintf(stderr, "* %s; asking for %s in %d ms\n", rtl::U8(AReason).c_str(), what.c_str(), APauseMs);
    };
  if (AOptions.Fields.empty()) {
    download.Get(AUrl, ADestination, nullptr, AContinueFrom);
  } else {
    rtl::TStringList header = RequestHeader(AOptions);
    download.Get(AUrl, ADestination, &header, AContinueFrom);
  }
}

void Fetch(TclHttp& AHttp, TOptions& AOptions, const std::string& AUrl, rtl::TStream& ADestination,
           int64_t AContinueFrom, bool ACanRewind) {
  rtl::String url = rtl::S(AUrl);
  if (AOptions.Resumable()) {
    FetchResumable(AHttp, AOptions, url, ADestination, AContinueFrom, ACanRewind);
    return;
  }
  if (!AOptions.HasData && AOptions.Method.empty() && AOptions.Fields.empty() && !AOptions.Head) {
    AHttp.Get(url, &ADestination);
    return;
  }
  rtl::TStringList header = RequestHeader(AOptions);
  if (AOptions.Head) {
    rtl::TStringList head;
    AHttp.SendRequest(u"HEAD", url, header, nullptr, &head, nullptr);
    WriteHead(head, ADestination);
    return;
  }
  rtl::TBytesStream data(rtl::Bytes(AOptions.Data.begin(), AOptions.Data.end()));
  rtl::TStream* body = nullptr;
  if (AOptions.DataFile) {
    body = AOptions.DataFile.get();
    body->SetPosition(0);  // each URL sends the whole file
  } else if (AOptions.HasData) {
    body = &data;
  }
  rtl::String method = !AOptions.Method.empty() ? rtl::S(AOptions.Method) : body ? rtl::String(u"POST") : rtl::String(u"GET");
  AHttp.SendRequest(method, url, header, body, nullptr, &ADestination);
}

// The proxy of each request: an explicit --proxy or --socks option wins over the environment,
// as in curl, and --noproxy exempts hosts from either.
void ChooseProxies(TclHttp& AHttp, const TOptions& AOptions) {
  if (!AOptions.ExplicitProxy) {
    // --proxy-user, --proxy-basic and --socks-user apply to the proxy the environment names.
    TclHttpProxySettings given;
    given.Assign(&AHttp.ProxySettings());
    TclFirewallSettings givenSocks(AHttp.FirewallSettings());
    UseEnvironmentProxy(AHttp, AOptions.NoProxy);
    AHttp.OnSelectProxy = [fromEnvironment = std::move(AHttp.OnSelectProxy), user = given.UserName(),
                           password = given.Password(), basic = given.AuthorizationType() == atBasic,
                           socksUser = givenSocks.UserName(),
                           socksPassword = givenSocks.Password()](TclHttp* ASender, const TclUrlParser& AUrl) {
      fromEnvironment(ASender, AUrl);
      TclHttpProxySettings& proxy = ASender->ProxySettings();
      TclFirewallSettings& socks = ASender->FirewallSettings();
      if (!proxy.Server().empty() && !user.empty()) {
        proxy.SetUserName(user);
        proxy.SetPassword(password);
      }
      if (!proxy.Server().empty() && basic) proxy.SetAuthorizationType(atBasic);
      if (!socks.Server().empty() && !socksUser.empty()) {
        socks.SetUserName(socksUser);
        socks.SetPassword(socksPassword);
      }
    };
    return;
  }
  if (!AOptions.NoProxy) return;
  auto proxy = std::make_shared<TclHttpProxySettings>();
  proxy->Assign(&AHttp.ProxySettings());
  auto firewall = std::make_shared<TclFirewallSettings>(AHttp.FirewallSettings());
  AHttp.OnSelectProxy = [proxy, firewall, noProxy = *AOptions.NoProxy](TclHttp* ASender, const TclUrlParser& AUrl) {
    const rtl::String& host = AUrl.Host().empty() ? ASender->Server() : AUrl.Host();
    if (NoProxyMatches(noProxy, rtl::U8(host), "--noproxy")) {
      ASender->ProxySettings().Clear();
      ASender->FirewallSettings().Clear();
    } else {
      ASender->ProxySettings().Assign(proxy.get());
      ASender->FirewallSettings().Assign(*firewall);
    }
  };
}

int Main(int argc, char** argv) {
  rtl::SetCommandLine(argc, argv);
  TclHttp http;
  TOptions options;
  Configure(argc, argv, http, options);
  if (options.Verbose) {
    http.OnSendRequest = [](TclHttp*, const rtl::String&, const rtl::String&, const rtl::TStringList& h) {
      PrintLines(">", h);
    };
    http.OnReceiveHeader = [](TclHttp*, const rtl::String&, const rtl::String&, const rtl::TStringList& h,
                              TclCookieList&, bool&) { PrintLines("<", h); };
  }
  if (options.Progress) {
    http.OnReceiveProgress = [](TclHttp*, int64_t done, int64_t total) {
      if (total > 0) {
        int width = 40, filled = static_cast<int>(done >= total ? width : done * width / total);
        fprintf(stderr, "\r[%s%s] %3d%% %lld/%lld bytes", std::string(size_t(filled), '#').c_str(),
                std::string(size_t(width - filled), ' ').c_str(), static_cast<int>(done >= total ? 100 : done * 100 / total),
                static_cast<long long>(done), static_cast<long long>(total));
      } else {
        fprintf(stderr, "\r%lld bytes", static_cast<long long>(done));
      }
    };
  }
  ChooseProxies(http, options);
  for (size_t i = 0; i < options.Urls.size(); ++i) {
    if (i < options.Outputs.size()) {
      const std::string& path = options.Outputs[i];
      // -C - continues a regular file from its end; anything else starts a new one.
      const bool continueFile = options.Continue && rtl::FileExists(rtl::S(path));
      auto file = std::make_unique<rtl::TFileStream>(rtl::S(path), continueFile ? rtl::fmOpenReadWrite : rtl::fmCreate);
      const int64_t from = continueFile ? file->Seek(0, rtl::soEnd) : 0;
      rtl::TBufferedWriteStream out(*file);
      try {
        Fetch(http, options, options.Urls[i], out, from, true);
        out.Flush();  // a write that fails here fails the download
      } catch (...) {
        if (options.Continue) {
          // What arrived is the start of the resource, never a splice: it stays for the next -C -.
          try {
            out.Flush();
          } catch (...) {
          }
          file.reset();
        } else {
          // No partial file is left behind for a download that failed; only a regular file is
          // removed ("-o /dev/null" must survive a failure).
          file.reset();
          if (rtl::FileExists(rtl::S(path))) rtl::DeleteFile(rtl::S(path));
        }
        if (options.Progress) fputc('\n', stderr);
        throw;
      }
    } else {
      TStandardOutput out;
      // What went to standard output cannot be taken back: a download that would have to
      // start again from zero fails instead.
      Fetch(http, options, options.Urls[i], out, 0, false);
    }
    if (options.Progress) fputc('\n', stderr);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const EclSocketError& e) {
    fprintf(stderr, "error: %s: %s (code %d)\n", e.ClassName(), rtl::U8(e.Message()).c_str(), e.ErrorCode());
  } catch (const EclZLibError& e) {
    fprintf(stderr, "error: %s: %s (code %d)\n", e.ClassName(), rtl::U8(e.Message()).c_str(), int(e.ErrorCode()));
  } catch (const rtl::Exception& e) {
    fprintf(stderr, "error: %s: %s (code 0)\n", e.ClassName(), rtl::U8(e.Message()).c_str());
  } catch (const std::exception& e) {
    fprintf(stderr, "error: std::exception: %s (code 0)\n", e.what());
  }
  return 1;
}
