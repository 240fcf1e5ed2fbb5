// A loopback HTTP server, or HTTP proxy, of the tests that works the NTLM (or Negotiate)
// handshake itself and checks the NTLMv2 proof with the password it knows. The client's provider
// is ours on Linux and the system's (secur32) on Windows; the server reads both with our message
// code, SPNEGO-wrapped or raw NTLM in Negotiate (as Wine sends it). Runs on both systems.
#pragma once

#include <map>
#include <mutex>

#include "../AnsweringServer.h"
#include "SspiTestUtil.h"
#include "netlib/auth/clEncoder.h"

namespace krvtest {

using namespace sspitest;
using netlib::TclEncoder;

// A loopback HTTP server, or with AProxy an HTTP proxy (407, Proxy-Authenticate), that grants its
// resource only after an NTLM handshake on one connection whose NTLMv2 proof matches the password.
class TNtlmServer {
 public:
  // AGranted answers the request once the handshake holds; AOffer, when given, is the only
  // challenge offered (a scheme the client may not speak).
  TNtlmServer(std::u16string AUser, std::u16string ADomain, std::u16string APassword, bool AOfferNegotiate,
              bool AProxy = false, std::string AGranted = "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\ngranted",
              std::string AOffer = "")
      : FUser(std::move(AUser)), FDomain(std::move(ADomain)), FPassword(std::move(APassword)),
        FOfferNegotiate(AOfferNegotiate), FProxy(AProxy), FGranted(std::move(AGranted)), FOffer(std::move(AOffer)) {}
  int Port() const { return FServer.Port(); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(Port()) + "/secret"; }
  // "<connection>:<event>" in order: none, negotiate, challenge-sent, granted, denied, bad.
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(FLock);
    return FEvents;
  }
  // The request lines and the MsvAvTargetName of each AUTHENTICATE, in order.
  std::vector<std::string> RequestLines() {
    std::lock_guard<std::mutex> g(FLock);
    return FRequestLines;
  }
  std::vector<std::u16string> TargetNames() {
    std::lock_guard<std::mutex> g(FLock);
    return FTargetNames;
  }

 private:
  void Event(int AConn, const std::string& AWhat) {
    std::lock_guard<std::mutex> g(FLock);
    FEvents.push_back(std::to_string(AConn) + ":" + AWhat);
  }

  static std::string Header(const std::string& ARequest, const std::string& AName) {
    std::string lower = ARequest;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const size_t p = lower.find("\r\n" + AName + ":");
    if (p == std::string::npos) return "";
    size_t v = p + 3 + AName.size();
    while (v < ARequest.size() && ARequest[v] == ' ') ++v;
    return ARequest.substr(v, ARequest.find("\r\n", v) - v);
  }

  std::string Unauthorized(const std::string& AExtra) {
    const std::string field = FProxy ? "Proxy-Authenticate: " : "WWW-Authenticate: ";
    std::string r = FProxy ? "HTTP/1.1 407 Proxy Authentication Required\r\n" : "HTTP/1.1 401 Unauthorized\r\n";
    if (!AExtra.empty())
      r += field + AExtra + "\r\n";
    else if (!FOffer.empty())
      r += field + FOffer + "\r\n";
    else {
      if (FOfferNegotiate) r += field + "Negotiate\r\n";
      r += field + "NTLM\r\n";
    }
    return r + "Content-Length: 4\r\n\r\ndeny";
  }

  std::string Answer(int AConn, const std::string& ARequest) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FRequestLines.push_back(ARequest.substr(0, ARequest.find("\r\n")));
    }
    const std::string auth = Header(ARequest, FProxy ? "proxy-authorization" : "authorization");
    if (auth.empty()) {
      Event(AConn, "none");
      return Unauthorized("");
    }
    const size_t space = auth.find(' ');
    const std::string scheme = auth.substr(0, space);
    const bool negotiate = scheme == "Negotiate";
    if (space == std::string::npos || (scheme != "NTLM" && !negotiate)) {
      Event(AConn, "bad");
      return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    }
    const std::u16string b64(auth.begin() + space + 1, auth.end());
    Bytes token = TclEncoder::DecodeBase64(b64);
    // Negotiate carries NTLM in SPNEGO (Windows) or bare (Wine); the answer takes the same form.
    bool wrapped = false;
    if (negotiate) token = NtlmOf(token, &wrapped);
    if (token.size() >= 16 && NtlmTypeOf(token) == 1) {
      Event(AConn, "negotiate");
      FChallenged[AConn] = true;
      Bytes out = BuildNtlmChallenge(GrantedFlags(token), kServerChallenge, Utf16LE(u"SRVDOM"),
                                     BuildAvPairs({{MsvAvNbDomainName, Utf16LE(u"SRVDOM")},
                                                   {MsvAvNbComputerName, Utf16LE(u"SRV")},
                                                   {MsvAvTimestamp, Bytes{1, 2, 3, 4, 5, 6, 7, 1}}}));
      if (wrapped) {
        SpnegoResp r;
        r.NegState = SpnegoNegState::AcceptIncomplete;
        r.SupportedMech = kNtlmMechOid;
        r.ResponseToken = out;
        out = BuildSpnegoResp(r);
      }
      return Unauthorized(scheme + " " + rtl::U8(TclEncoder::EncodeBase64(out.data(), out.size())));
    }
    const auto f = ParseNtlmAuthenticate(token.data(), token.size());
    if (!f || !FChallenged[AConn]) {
      Event(AConn, "bad");
      return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    }
    FChallenged[AConn] = false;
    {
      std::lock_guard<std::mutex> g(FLock);
      FTargetNames.push_back(TargetNameOf(*f));
    }
    const bool ok = ServerAccepts(*f, kServerChallenge, FUser, FDomain, FPassword);
    Event(AConn, ok ? "granted" : "denied");
    if (ok) return FGranted;
    return Unauthorized("");
  }

  static constexpr NtlmChallenge8 kServerChallenge = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  std::u16string FUser, FDomain, FPassword;
  bool FOfferNegotiate, FProxy;
  std::string FGranted, FOffer;
  std::map<int, bool> FChallenged;  // by connection: NTLM authenticates the connection
  std::mutex FLock;
  std::vector<std::string> FEvents, FRequestLines;
  std::vector<std::u16string> FTargetNames;
  // Last: it answers on its own thread from when it is made until it is gone.
  TAnsweringServer FServer{[this](int AConn, const std::string& AHead) { return Answer(AConn, AHead); }};
};

// The connection of the first event named AWhat, or "" when none.
inline std::string ConnOf(const std::vector<std::string>& AEvents, const std::string& AWhat) {
  for (const std::string& e : AEvents)
    if (e.substr(e.find(':') + 1) == AWhat) return e.substr(0, e.find(':'));
  return "";
}
inline int Count(const std::vector<std::string>& AEvents, const std::string& AWhat) {
  int n = 0;
  for (const std::string& e : AEvents) n += e.substr(e.find(':') + 1) == AWhat;
  return n;
}
inline std::string Joined(const std::vector<std::string>& AEvents) {
  std::string s;
  for (const std::string& e : AEvents) s += e + " ";
  return s;
}

}  // namespace krvtest
