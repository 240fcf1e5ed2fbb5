// krv-fetch: downloads each URL in turn with one HTTP client, so keep-alive and cookies carry
// over from one URL to the next.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "netlib/http/clHttp.h"
#include "netlib/zlib/clZLibBase.h"
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
    "  -v                      request and response heads to standard error\n"
    "  --progress              a progress bar on standard error\n";

struct TOptions {
  std::vector<std::string> Urls, Outputs;
  std::string User, ProxyUser, SocksUser, Method, Data, CaCert;
  bool HasData = false, Basic = false, ProxyBasic = false, Verbose = false, Progress = false;
};

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
      if (access(AOptions.CaCert.c_str(), R_OK) != 0) throw EUsageError(rtl::S("--cacert: cannot read " + AOptions.CaCert));
      AHttp.SetCAFile(rtl::S(AOptions.CaCert));
    } else if (arg == "--insecure") {
      AHttp.SetCertificateFlags({cfIgnoreCommonNameInvalid, cfIgnoreDateInvalid, cfIgnoreUnknownAuthority,
                                 cfIgnoreRevocation, cfIgnoreWrongUsage});
    } else if (arg == "-X") {
      AOptions.Method = value();
      if (AOptions.Method.empty() || AOptions.Method.find_first_of(" \r\n\t") != std::string::npos)
        throw EUsageError(u"-X: invalid method");
    } else if (arg == "-d") {
      AOptions.Data = value();
      AOptions.HasData = true;
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
}

void PrintLines(const char* APrefix, const rtl::TStringList& ALines) {
  for (const rtl::String& line : ALines)
    if (!line.empty()) fprintf(stderr, "%s %s\n", APrefix, rtl::U8(line).c_str());
  fprintf(stderr, "%s\n", APrefix);
}

void Fetch(TclHttp& AHttp, const TOptions& AOptions, const std::string& AUrl, rtl::TStream& ADestination) {
  rtl::String url = rtl::S(AUrl);
  if (!AOptions.HasData && AOptions.Method.empty()) {
    AHttp.Get(url, &ADestination);
    return;
  }
  TclHttpRequest request;
  if (AOptions.HasData) request.Header()->SetContentType(u"application/x-www-form-urlencoded");
  rtl::TStringList header(request.HeaderSource());
  rtl::TBytesStream body(rtl::Bytes(AOptions.Data.begin(), AOptions.Data.end()));
  rtl::String method = AOptions.Method.empty() ? rtl::String(u"POST") : rtl::S(AOptions.Method);
  AHttp.SendRequest(method, url, header, AOptions.HasData ? &body : nullptr, nullptr, &ADestination);
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
  for (size_t i = 0; i < options.Urls.size(); ++i) {
    if (i < options.Outputs.size()) {
      auto file = std::make_unique<rtl::TFileStream>(rtl::S(options.Outputs[i]), rtl::fmCreate);
      try {
        rtl::TBufferedWriteStream out(*file);
        Fetch(http, options, options.Urls[i], out);
        out.Flush();  // a write that fails here fails the download
      } catch (...) {
        // No partial file is left behind for a download that failed; only a regular file is
        // removed ("-o /dev/null" must survive a failure).
        file.reset();
        struct stat st {};
        if (stat(options.Outputs[i].c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(options.Outputs[i].c_str());
        if (options.Progress) fputc('\n', stderr);
        throw;
      }
    } else {
      int fd = dup(1);
      if (fd < 0) throw EUsageError(u"cannot write to standard output");
      rtl::THandleStream out(fd);
      Fetch(http, options, options.Urls[i], out);
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
