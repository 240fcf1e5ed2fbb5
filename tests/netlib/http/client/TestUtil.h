// Helpers shared by the client tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "HttpTestServer.h"
#include "netlib/http/clHttp.h"
#include "netlib/zlib/clZLibBase.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace krvtest {

inline std::string Str(const rtl::String& s) { return rtl::U8(s); }
inline rtl::String W(const std::string& s) { return rtl::S(s); }

inline std::string Contents(rtl::TMemoryStream& m) {
  return std::string(reinterpret_cast<const char*>(m.Memory()), size_t(m.Size()));
}

// A client with short time-outs, so a failing test ends quickly.
inline void Quick(netlib::TclHttp& AHttp) { AHttp.SetTimeOut(3000); }

// The exception's class and code, or "none" when AAction returns normally.
struct TOutcome {
  std::string ClassName = "none";
  int Code = 0;
  std::string Message;
};

inline TOutcome Attempt(const std::function<void()>& AAction) {
  TOutcome r;
  try {
    AAction();
  } catch (const netlib::EclSocketError& e) {
    r = {e.ClassName(), e.ErrorCode(), Str(e.Message())};
  } catch (const netlib::EclZLibError& e) {
    r = {e.ClassName(), e.ErrorCode(), Str(e.Message())};
  } catch (const rtl::Exception& e) {
    r = {e.ClassName(), 0, Str(e.Message())};
  }
  return r;
}

// What the client got for one request to a server that answers it with AReply: the outcome, the
// body written to the caller's stream, the status code and whether the connection stayed open.
struct TReplyResult {
  TOutcome Outcome;
  std::string Body;
  int Status = 0;
  bool Active = false;
};

// A reply that must fail: the exception's class and code.
struct TFailingReply {
  const char* Name;
  std::string Reply;
  std::string Class;
  int Code;
};

inline TReplyResult AnswerWith(const std::string& AReply, const std::string& AMethod = "GET", bool ASilent = false,
                               const std::vector<std::string>& AHeader = {}) {
  THttpTestServer server({{AReply}});
  netlib::TclHttp http;
  Quick(http);
  http.SetSilentHTTP(ASilent);
  rtl::TMemoryStream body;
  rtl::TStringList header;
  for (const std::string& line : AHeader) header.Add(W(line));
  TReplyResult r;
  r.Outcome = Attempt([&] { http.SendRequest(W(AMethod), W(server.Url()), header, nullptr, nullptr, &body); });
  r.Body = Contents(body);
  r.Status = http.StatusCode();
  r.Active = http.Active();
  return r;
}

// A name of its own for a temporary file: the test programs that use these run at the same time.
std::string UniqueTempPath(const std::string& AName);
// The bytes gzip makes of AData (gzip -n), produced by the real program of the host.
std::string Gzip(const std::string& AData);

inline std::string Chunked(const std::string& AData, size_t APiece, const std::string& ATrailer = "") {
  std::string r;
  char size[32];
  for (size_t i = 0; i < AData.size(); i += APiece) {
    std::string part = AData.substr(i, APiece);
    snprintf(size, sizeof size, "%zx\r\n", part.size());
    r += size + part + "\r\n";
  }
  return r + "0\r\n" + ATrailer + "\r\n";
}

inline std::string Ok(const std::string& ABody, const std::string& AExtra = "") {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(ABody.size()) + "\r\n" + AExtra + "\r\n" + ABody;
}

inline std::string Redirect(int AStatus, const std::string& ALocation, const std::string& AExtra = "") {
  return "HTTP/1.1 " + std::to_string(AStatus) + " Moved\r\nLocation: " + ALocation + "\r\n" + AExtra +
         "Content-Length: 9\r\n\r\nmoved-txt";
}

inline std::string RequestLine(const std::string& ARequest) { return ARequest.substr(0, ARequest.find("\r\n")); }
inline bool Has(const std::string& ARequest, const std::string& AText) { return ARequest.find(AText) != std::string::npos; }

}  // namespace krvtest
