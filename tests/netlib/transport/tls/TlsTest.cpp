// The TLS network stream through the TCP client: handshake and verification against a loopback
// TLS peer and an authority made at test time, the ways of starting TLS, closing, and hostile
// peers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "../AbortTimer.h"
#include "TlsTestUtil.h"
#include "netlib/transport/clTcpClientTls.h"
#include "rtl/Classes.h"

using namespace netlib;
using namespace tls_test;

namespace {

class TClient : public TclTcpClientTls {
 public:
  int DefaultPort = 7;
  rtl::String NameOverride;  // the name the certificate must carry, when it differs from Server
  int Opens = 0, Closes = 0;
  TClient() {
    OnOpen = [this](void*) { ++Opens; };
    OnClose = [this](void*) { ++Closes; };
    SetTimeOut(3000);
  }
  TclTlsNetworkStream* Tls() { return dynamic_cast<TclTlsNetworkStream*>(Connection().NetworkStreamOrNull()); }

 protected:
  int GetDefaultPort() const override { return DefaultPort; }
  std::unique_ptr<TclNetworkStream> CreateTlsNetworkStream() override {
    auto s = TclTcpClientTls::CreateTlsNetworkStream();
    if (!NameOverride.empty()) static_cast<TclTlsNetworkStream*>(s.get())->TargetName = NameOverride;
    return s;
  }
};

struct TFailure {
  std::string ClassName = "none";
  int Code = 0;
  std::string Message;
};

template <class F>
TFailure Attempt(F f) {
  TFailure r;
  try {
    f();
  } catch (const EclSocketError& e) {
    r = {e.ClassName(), e.ErrorCode(), rtl::U8(e.Message())};
  }
  return r;
}

// Implicit TLS to APort on AServer, trusting the test's authority.
void Aim(TClient& c, int APort, const rtl::String& AServer = u"127.0.0.1") {
  c.SetServer(AServer);
  c.SetPort(APort);
  c.SetUseTLS(ctImplicit);
  c.SetCAFile(rtl::S(TPki::Get().CaFile));
}

std::string ReadText(TClient& c, size_t AAtLeast) {
  rtl::TMemoryStream m;
  for (int i = 0; i < 50 && m.Size() < int64_t(AAtLeast) && c.Active(); ++i) c.Connection().ReadData(&m);
  return std::string(reinterpret_cast<const char*>(m.Memory()), size_t(m.Size()));
}

// Opens, sends "x" to an echo peer, checks the answer and closes: what failed, if anything.
TFailure EchoOnce(TClient& c) {
  return Attempt([&] {
    c.Open();
    c.Connection().WriteString(u"x\r\n");
    EXPECT_EQ(ReadText(c, 7), "got:x\r\n");
    c.Close();
  });
}

// An echo peer: answers "got:" and the line, then reads to the end and notes whether the end
// was our closing message.
struct TEchoPeer {
  std::atomic<bool> SawCloseNotify{false};
  std::atomic<bool> HandshakeOk{false};
  TLoopbackServer Server;
  explicit TEchoPeer(const TKeyPair& AIdentity, bool AIpv6 = false, const TKeyPair* AChain = nullptr)
      : Server(
            [this, &AIdentity, AChain](int& fd) {
              TServerTls t(fd, AIdentity, false, AChain);
              if (!t.Accept()) return;
              HandshakeOk = true;
              std::string line = t.ReadUntil("\r\n");
              t.Send("got:" + line);
              SawCloseNotify = t.ReadToCloseNotify();
            },
            AIpv6, 5000) {}
};

TEST(Tls, ImplicitTlsCarriesDataAndSendsOurClosingMessage) {
  TPki& pki = TPki::Get();
  for (bool ipv6 : {false, true}) {
    TEchoPeer peer(*pki.Good, ipv6);
    TClient c;
    Aim(c, peer.Server.Port(), peer.Server.Host());
    int verifyCalls = 0;
    c.OnVerifyServer = [&](void* sender, const TclCertificateInfo& cert, int code, const rtl::String&, bool& ok) {
      ++verifyCalls;
      EXPECT_EQ(sender, &c);
      EXPECT_EQ(code, 0);
      EXPECT_TRUE(ok);
      EXPECT_NE(cert.Subject.find(u"CN=localhost"), rtl::String::npos) << rtl::U8(cert.Subject);
      EXPECT_NE(cert.Issuer.find(u"CN=KRV Test CA"), rtl::String::npos);
      EXPECT_EQ(cert.Sha256Fingerprint.size(), 95u);
      EXPECT_EQ(cert.Pem.rfind(u"-----BEGIN CERTIFICATE-----", 0), 0u);
      EXPECT_EQ(cert.ValidFrom.size(), 19u);
    };
    c.Open();
    ASSERT_TRUE(c.Active());
    EXPECT_TRUE(c.IsTls());
    EXPECT_EQ(verifyCalls, 1);
    EXPECT_EQ(rtl::U8(c.Tls()->Protocol()).rfind("TLSv1.", 0), 0u);
    EXPECT_EQ(c.Tls()->PeerCertificate().Sha256Fingerprint.size(), 95u);
    c.Connection().WriteString(u"hello over tls\r\n");
    EXPECT_EQ(ReadText(c, 20), "got:hello over tls\r\n");
    c.Close();
    EXPECT_FALSE(c.Active());
    peer.Server.Join();
    EXPECT_TRUE(peer.SawCloseNotify) << "ipv6 " << ipv6;
    EXPECT_EQ(c.Opens, 1);
    EXPECT_EQ(c.Closes, 1);
  }
}

// Which certificates are taken, with which settings.
TEST(Tls, ServerVerification) {
  TPki& pki = TPki::Get();
  enum THandler { hNone, hAccept, hRefuse };
  struct TCase {
    const char* Name;
    const TKeyPair* Identity;
    const TKeyPair* Chain;   // sent after the identity
    const char16_t* Target;  // nullptr: the address connected to
    bool TrustCa;
    TclCertificateVerifyFlags Flags;
    THandler Handler;
    int ExpectCode;          // 0: accepted
    const char* ExpectText;  // in the refusal's message
  } cases[] = {
      {"trusted ca, address in the certificate", pki.Good.get(), nullptr, nullptr, true, {}, hNone, 0, ""},
      {"trusted ca, dns name", pki.Good.get(), nullptr, u"localhost", true, {}, hNone, 0, ""},
      {"unknown authority", pki.Good.get(), nullptr, nullptr, false, {}, hNone, -10, "local issuer"},
      {"unknown authority switched off", pki.Good.get(), nullptr, nullptr, false, {vfIgnoreUnknownAuthority}, hNone, 0,
       ""},
      {"unknown authority accepted by the handler", pki.Good.get(), nullptr, nullptr, false, {}, hAccept, 0, ""},
      {"self-signed", pki.SelfSigned.get(), nullptr, nullptr, true, {}, hNone, -10, "self-signed"},
      {"self-signed switched off", pki.SelfSigned.get(), nullptr, nullptr, true, {cfIgnoreUnknownAuthority}, hNone, 0,
       ""},
      {"address not in the certificate", pki.NameOnly.get(), nullptr, nullptr, true, {}, hNone, -10,
       "IP address mismatch"},
      {"wrong host name", pki.Good.get(), nullptr, u"other.invalid", true, {}, hNone, -10, "hostname mismatch"},
      {"wrong host name switched off", pki.Good.get(), nullptr, u"other.invalid", true, {cfIgnoreCommonNameInvalid},
       hNone, 0, ""},
      {"wrong host name accepted by the handler", pki.NameOnly.get(), nullptr, nullptr, true, {}, hAccept, 0, ""},
      {"expired", pki.Expired.get(), nullptr, nullptr, true, {}, hNone, -10, "expired"},
      {"expired switched off", pki.Expired.get(), nullptr, nullptr, true, {cfIgnoreDateInvalid}, hNone, 0, ""},
      {"name switched off does not cover the authority", pki.Good.get(), nullptr, nullptr, false,
       {cfIgnoreCommonNameInvalid}, hNone, -10, "local issuer"},
      {"good certificate refused by the handler", pki.Good.get(), nullptr, nullptr, true, {}, hRefuse, -10, "handler"},
      {"certificate for clients only", pki.ClientOnly.get(), nullptr, nullptr, true, {}, hNone, -10,
       "unsuitable certificate purpose"},
      {"certificate for clients only, usage switched off", pki.ClientOnly.get(), nullptr, nullptr, true,
       {cfIgnoreWrongUsage}, hNone, 0, ""},
      // A certificate that is no CA cannot sign another, whatever is switched off.
      {"signed by a leaf", pki.SignedByLeaf.get(), pki.Leaf.get(), nullptr, true, {}, hNone, -10,
       "invalid CA certificate"},
      {"signed by a leaf, usage switched off", pki.SignedByLeaf.get(), pki.Leaf.get(), nullptr, true,
       {cfIgnoreWrongUsage}, hNone, -10, "invalid CA certificate"},
  };
  for (const TCase& t : cases) {
    TEchoPeer peer(*t.Identity, false, t.Chain);
    TClient c;
    c.SetServer(peer.Server.Host());
    c.SetPort(peer.Server.Port());
    c.SetUseTLS(ctImplicit);
    if (t.Target) c.NameOverride = t.Target;
    if (t.TrustCa) c.SetCAFile(rtl::S(pki.CaFile));
    c.SetCertificateFlags(t.Flags);
    int seenCode = -1;
    if (t.Handler != hNone)
      c.OnVerifyServer = [&](void*, const TclCertificateInfo&, int code, const rtl::String&, bool& ok) {
        seenCode = code;
        ok = t.Handler == hAccept;
      };
    TFailure f = EchoOnce(c);
    EXPECT_EQ(f.Code, t.ExpectCode) << t.Name << ": " << f.Message;
    if (t.ExpectCode) {
      EXPECT_EQ(f.ClassName, "EclTlsCertificateError") << t.Name;
      EXPECT_NE(f.Message.find(t.ExpectText), std::string::npos) << t.Name << ": " << f.Message;
      EXPECT_FALSE(c.Active()) << t.Name;
      EXPECT_EQ(c.Opens, 0) << t.Name;
    }
    if (t.Handler == hAccept) {
      EXPECT_NE(seenCode, 0) << t.Name;
    }
    if (t.Handler == hRefuse) {
      EXPECT_EQ(seenCode, 0) << t.Name;
    }
  }
}

// Trusted stores are kept between connections: a CA file that appears, changes or goes away
// between two connections must count as it is at the second.
TEST(Tls, CaFileIsTakenAsItIsAtEachConnection) {
  TPki& pki = TPki::Get();
  std::string file = std::string(KRV_BINARY_DIR) + "/tls-test-changing-ca-" + std::to_string(::getpid()) + ".pem";
  auto put = [&](const std::string& pem) {
    FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fwrite(pem.data(), 1, pem.size(), f);
    std::fclose(f);
  };
  auto connect = [&] {
    TEchoPeer peer(*pki.Good);
    TClient c;
    Aim(c, peer.Server.Port(), peer.Server.Host());
    c.SetCAFile(rtl::S(file));
    return EchoOnce(c);
  };
  std::remove(file.c_str());
  TFailure missing = connect();
  EXPECT_EQ(missing.Code, TlsProtocolErrorCode) << missing.Message;
  EXPECT_EQ(missing.Message.rfind("TLS error: ", 0), 0u) << missing.Message;
  put(PemOf(pki.Ca->Cert));
  EXPECT_EQ(connect().Code, 0);
  EXPECT_EQ(connect().Code, 0);
  put(PemOf(pki.SelfSigned->Cert));  // another authority: the server's issuer is no longer trusted
  TFailure other = connect();
  EXPECT_EQ(other.Code, -10) << other.Message;
  EXPECT_NE(other.Message.find("local issuer"), std::string::npos) << other.Message;
  put(PemOf(pki.Ca->Cert));
  EXPECT_EQ(connect().Code, 0);
  std::remove(file.c_str());
}

// Automatic mode speaks TLS only off the default port; the plain peer answers in clear text.
TEST(Tls, AutomaticModeChoosesTlsOffTheDefaultPort) {
  TPki& pki = TPki::Get();
  TLoopbackServer plain([](int& fd) {
    char buf[64];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) TLoopbackServer::SendText(fd, "plain:" + std::string(buf, size_t(n)));
    TLoopbackServer::ReadToEnd(fd);
  });
  TEchoPeer tls(*pki.Good);
  for (bool onDefault : {true, false}) {
    TClient c;
    c.DefaultPort = plain.Port();
    c.SetServer(u"127.0.0.1");
    c.SetPort(onDefault ? plain.Port() : tls.Server.Port());
    c.SetUseTLS(ctAutomatic);
    c.SetCAFile(rtl::S(pki.CaFile));
    c.Open();
    EXPECT_EQ(c.IsTls(), !onDefault);
    c.Connection().WriteString(u"hi\r\n");
    EXPECT_EQ(ReadText(c, onDefault ? 10 : 8), onDefault ? "plain:hi\r\n" : "got:hi\r\n");
    c.Close();
  }
}

// A plain exchange first, then TLS on the same connection.
TEST(Tls, StartTlsOnAnOpenPlainConnection) {
  TPki& pki = TPki::Get();
  std::atomic<bool> sawCloseNotify{false};
  TLoopbackServer server([&](int& fd) {
    char buf[64];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0 || std::string(buf, size_t(n)) != "STARTTLS\r\n") return;
    TLoopbackServer::SendText(fd, "OK\r\n");
    TServerTls t(fd, *pki.Good);
    if (!t.Accept()) return;
    std::string line = t.ReadUntil("\r\n");
    t.Send("got:" + line);
    sawCloseNotify = t.ReadToCloseNotify();
  });
  TClient c;
  c.SetServer(u"127.0.0.1");
  c.SetPort(server.Port());
  c.SetCAFile(rtl::S(pki.CaFile));
  c.Open();
  EXPECT_FALSE(c.IsTls());
  c.Connection().WriteString(u"STARTTLS\r\n");
  EXPECT_EQ(ReadText(c, 4), "OK\r\n");
  c.StartTls();
  EXPECT_EQ(c.UseTLS(), ctExplicit);
  EXPECT_TRUE(c.IsTls());
  EXPECT_EQ(c.Connection().NetworkStream()->PeerPort(), server.Port());
  c.Connection().WriteString(u"inside\r\n");
  EXPECT_EQ(ReadText(c, 12), "got:inside\r\n");
  c.Close();
  server.Join();
  EXPECT_TRUE(sawCloseNotify);
}

// The peer sends in pieces and ends with its closing message: everything arrives, the
// connection closes without an error. Read limits and progress count the plain bytes.
TEST(Tls, PeerCloseReadLimitAndProgress) {
  TPki& pki = TPki::Get();
  std::string big = transport_test::Pattern(300000, 7);
  TLoopbackServer server([&](int& fd) {
    TServerTls t(fd, *pki.Good);
    if (!t.Accept()) return;
    t.ReadUntil("\r\n");
    t.Send(big.substr(0, 1000));
    TLoopbackServer::SleepMs(50);
    t.Send(big.substr(1000, 100000));
    TLoopbackServer::SleepMs(50);
    t.Send(big.substr(101000));
    t.Shutdown();
    TLoopbackServer::SleepMs(200);
  });
  TClient c;
  Aim(c, server.Port());
  c.Open();
  int64_t lastProgress = 0;
  c.Connection().OnProgress = [&](void*, int64_t done, int64_t) { lastProgress = done; };
  c.Connection().WriteString(u"go\r\n");
  rtl::TMemoryStream m;
  c.Connection().InitProgress(0, 0);
  c.Connection().SetBytesToProceed(100);
  c.Connection().ReadData(&m);
  EXPECT_EQ(m.Size(), 100);
  EXPECT_EQ(lastProgress, 100);
  c.Connection().SetBytesToProceed(-1);
  c.Connection().SetIsReadUntilClose(true);
  c.Connection().ReadData(&m);
  EXPECT_FALSE(c.Active());
  EXPECT_TRUE(c.Tls()->PeerClosed());
  ASSERT_EQ(m.Size(), int64_t(big.size()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Memory()), big.size()), big);
  EXPECT_EQ(lastProgress, int64_t(big.size()));
}

// The peer sends its data and closes at once; the caller reads with a limit, as the HTTP head
// reader does. Every byte arrives before the close, over TLS as over plain TCP.
TEST(Tls, ReadLimitAfterThePeersCloseLosesNothing) {
  TPki& pki = TPki::Get();
  const std::string payload = transport_test::Pattern(12000, 21);
  struct TCase {
    const char* Name;
    bool Tls;
    bool CloseNotify;
    size_t Record;  // the size of each record the server writes; 0: one record
    bool Close;     // else the peer stays, and every byte must come without a socket event
  } cases[] = {
      {"plain", false, false, 0, true},
      {"tls, closing message", true, true, 0, true},
      {"tls, no closing message", true, false, 0, true},
      {"tls, records as long as the limit, closing message", true, true, 1000, true},
      {"tls, records as long as the limit, peer stays", true, false, 1000, false},
  };
  for (const TCase& t : cases) {
    std::atomic<bool> done{false};
    TLoopbackServer server([&](int& fd) {
      if (!t.Tls) {
        TLoopbackServer::SendText(fd, payload);
        return;
      }
      TServerTls s(fd, *pki.Good);
      if (!s.Accept()) return;
      if (t.Record == 0) s.Send(payload);
      for (size_t at = 0; t.Record && at < payload.size(); at += t.Record) s.Send(payload.substr(at, t.Record));
      if (t.CloseNotify) s.Shutdown();
      if (!t.Close) {
        for (int i = 0; i < 500 && !done; ++i) TLoopbackServer::SleepMs(10);
      }
    });
    TClient c;
    Aim(c, server.Port());
    c.SetUseTLS(t.Tls ? ctImplicit : ctNone);
    c.SetBatchSize(1000);
    c.Open();
    if (t.Close) server.Join();  // the data and the close are all on their way before the first read
    TLoopbackServer::SleepMs(50);
    rtl::TMemoryStream m;
    TFailure f = Attempt([&] {
      for (int i = 0; i < 100 && c.Active() && (t.Close || m.Size() < int64_t(payload.size())); ++i) {
        c.Connection().InitProgress(0, 0);
        c.Connection().SetBytesToProceed(1000);
        c.Connection().ReadData(&m);
        EXPECT_LE(c.Connection().BytesProceed(), 1000) << t.Name;
      }
    });
    done = true;
    EXPECT_EQ(f.ClassName, "none") << t.Name << ": " << f.Message;
    EXPECT_EQ(c.Active(), !t.Close) << t.Name;
    ASSERT_EQ(m.Size(), int64_t(payload.size())) << t.Name;
    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(m.Memory()), payload.size()) == payload) << t.Name;
    if (t.Tls) {
      EXPECT_EQ(c.Tls()->PeerClosed(), t.CloseNotify) << t.Name;
    }
    c.Close();
  }
}

// Abort ends the handshake and the transfers at once with the abort error, also where the stream
// asks its connection for one more read (an incomplete record) or write.
TEST(Tls, AbortEndsTheHandshakeAndTheTransfersSoon) {
  TPki& pki = TPki::Get();
  const std::string big = transport_test::Pattern(32 << 20, 22);
  enum TStep { sHandshake, sReadRecord, sWrite, sThrottle };
  struct TCase {
    const char* Name;
    TStep Step;
  } cases[] = {
      {"handshake the server never answers", sHandshake},
      {"read of a record that never completes", sReadRecord},
      {"write to a peer that does not read", sWrite},
      {"the throttle's pause after a receive", sThrottle},
  };
  for (const TCase& t : cases) {
    std::atomic<bool> done{false};
    TLoopbackServer server([&](int& fd) {
      auto hold = [&] {
        for (int i = 0; i < 2000 && !done; ++i) TLoopbackServer::SleepMs(10);
      };
      if (t.Step == sHandshake) {
        char buf[4096];
        ::recv(fd, buf, sizeof buf, 0);
        hold();
        return;
      }
      TServerTls s(fd, *pki.Good);
      if (!s.Accept()) return;
      if (t.Step == sReadRecord) TLoopbackServer::SendText(fd, std::string("\x17\x03\x03\x01\x00", 5) + std::string(40, 'B'));
      if (t.Step == sThrottle) s.Send("hi");
      hold();
    });
    TClient c;
    Aim(c, server.Port());
    c.SetTimeOut(5000);
    if (t.Step != sHandshake) c.Open();
    if (t.Step == sThrottle) {
      TLoopbackServer::SleepMs(50);
      c.SetBitsPerSec(13516);  // 10 s after each receive of a record's worth
    }
    rtl::TMemoryStream m;
    if (t.Step == sWrite) {
      m.WriteBuffer(big.data(), int64_t(big.size()));
      m.SetPosition(0);
    }
    TFailure f;
    int64_t afterAbort;
    {
      transport_test::TAbortTimer abortTimer(c.Connection(), 150);
      f = Attempt([&] {
        if (t.Step == sHandshake)
          c.Open();
        else if (t.Step == sReadRecord || t.Step == sThrottle)
          c.Connection().ReadData(&m);
        else
          c.Connection().WriteData(&m);
      });
      afterAbort = abortTimer.MsSinceAbort();
    }
    std::printf("  %s: back %lld ms after the abort\n", t.Name, static_cast<long long>(afterAbort));
    EXPECT_EQ(f.Code, AbortedCode) << t.Name << ": " << f.Message;
    EXPECT_GE(afterAbort, 0) << t.Name;
    EXPECT_LT(afterAbort, 1000) << t.Name;
    if (t.Step == sHandshake) {
      EXPECT_FALSE(c.Active()) << t.Name;
    }
    done = true;
    c.Close();
    EXPECT_FALSE(c.Active()) << t.Name;
  }
}

// What the client offers: SNI for a name and none for an address literal, and no protocol below
// TLS 1.2 (a server that speaks only TLS 1.0 and 1.1 is refused with the TLS error).
TEST(Tls, ServerNameAndProtocolVersions) {
  TPki& pki = TPki::Get();
  struct TCase {
    const char* Name;
    rtl::String Server;
    bool Ipv6;
    bool OldProtocolsOnly;
    std::string ExpectSni;  // "-": none
  } cases[] = {
      {"host name", u"localhost", false, false, "localhost"},
      {"IPv4 literal", u"127.0.0.1", false, false, "-"},
      {"IPv6 literal", u"::1", true, false, "-"},
      {"TLS 1.0 and 1.1 only", u"localhost", false, true, ""},
  };
  for (const TCase& t : cases) {
    std::mutex lock;
    std::string sni = "not seen";
    std::atomic<bool> accepted{false};
    TLoopbackServer server(
        [&](int& fd) {
          TServerTls s(fd, *pki.Good);
          if (t.OldProtocolsOnly) {
            SSL_set_security_level(s.Ssl(), 0);
            SSL_set_min_proto_version(s.Ssl(), TLS1_VERSION);
            SSL_set_max_proto_version(s.Ssl(), TLS1_1_VERSION);
          }
          accepted = s.Accept();
          {
            std::lock_guard<std::mutex> g(lock);
            const char* name = SSL_get_servername(s.Ssl(), TLSEXT_NAMETYPE_host_name);
            sni = name ? name : "-";
          }
          if (accepted) {
            std::string line = s.ReadUntil("\r\n");
            s.Send("got:" + line);
            s.ReadToCloseNotify();
          }
        },
        t.Ipv6);
    TClient c;
    Aim(c, server.Port(), t.Server);
    SCOPED_TRACE(t.Name);
    TFailure f = EchoOnce(c);
    c.Close();
    server.Join();
    if (t.OldProtocolsOnly) {
      EXPECT_EQ(f.ClassName, "EclTlsError") << t.Name << ": " << f.Message;
      EXPECT_EQ(f.Code, TlsProtocolErrorCode) << t.Name;
      EXPECT_EQ(f.Message.rfind("TLS handshake failed: ", 0), 0u) << t.Name << ": " << f.Message;
      EXPECT_FALSE(accepted) << t.Name;
    } else {
      EXPECT_EQ(f.ClassName, "none") << t.Name << ": " << f.Message;
      EXPECT_TRUE(accepted) << t.Name;
      std::lock_guard<std::mutex> g(lock);
      EXPECT_EQ(sni, t.ExpectSni) << t.Name;
    }
  }
}

// The TLS 1.0/1.1 server of the test above does speak TLS 1.1 to a client that offers it, so its
// refusal of ours is the client's choice.
TEST(Tls, OldProtocolServerOfTheTestSpeaksTls11) {
  TPki& pki = TPki::Get();
  std::string version;
  TLoopbackServer server([&](int& fd) {
    TServerTls s(fd, *pki.Good);
    SSL_set_security_level(s.Ssl(), 0);
    SSL_set_min_proto_version(s.Ssl(), TLS1_VERSION);
    SSL_set_max_proto_version(s.Ssl(), TLS1_1_VERSION);
    if (s.Accept()) version = SSL_get_version(s.Ssl());
  });
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(server.Port()));
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_security_level(ctx, 0);
  SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_1_VERSION);
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  EXPECT_EQ(SSL_connect(ssl), 1);
  SSL_shutdown(ssl);
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  ::close(fd);
  server.Join();
  EXPECT_EQ(version, "TLSv1.1");
}

// Our closing message to a peer that reset the connection: the close still succeeds quietly.
TEST(Tls, CloseAfterThePeerVanishedRaisesNothing) {
  TPki& pki = TPki::Get();
  TLoopbackServer server([&](int& fd) {
    TServerTls t(fd, *pki.Good);
    if (t.Accept()) TLoopbackServer::Reset(fd);
  });
  TClient c;
  Aim(c, server.Port());
  c.Open();
  server.Join();
  TLoopbackServer::SleepMs(100);
  TFailure f = Attempt([&] { c.Close(); });
  EXPECT_EQ(f.ClassName, "none") << f.Message;
  EXPECT_FALSE(c.Active());
  EXPECT_EQ(c.Closes, 1);
}

// A large write in both directions through small batches.
TEST(Tls, LargeTransferBothWays) {
  TPki& pki = TPki::Get();
  std::string up = transport_test::Pattern(2 << 20, 3);
  std::atomic<bool> same{false};
  TLoopbackServer server([&](int& fd) {
    TServerTls t(fd, *pki.Good);
    if (!t.Accept()) return;
    std::string got;
    char buf[65536];
    while (got.size() < up.size()) {
      int n = SSL_read(t.Ssl(), buf, sizeof buf);
      if (n <= 0) return;
      got.append(buf, size_t(n));
    }
    same = got == up;
    t.Send(got);
    t.ReadToCloseNotify();
  });
  TClient c;
  Aim(c, server.Port());
  c.SetBatchSize(1000);
  c.Open();
  rtl::TMemoryStream out;
  out.WriteBuffer(up.data(), int64_t(up.size()));
  out.SetPosition(0);
  c.Connection().WriteData(&out);
  EXPECT_EQ(out.Position(), out.Size());
  std::string back = ReadText(c, up.size());
  for (int i = 0; i < 5000 && back.size() < up.size(); ++i) back += ReadText(c, up.size() - back.size());
  EXPECT_TRUE(back == up) << back.size();
  c.Close();
  server.Join();
  EXPECT_TRUE(same);
}

TEST(Tls, ClientCertificateOnRequest) {
  TPki& pki = TPki::Get();
  std::atomic<bool> gotClient{false};
  TLoopbackServer server([&](int& fd) {
    TServerTls t(fd, *pki.Good, true);
    if (!t.Accept()) return;
    X509* peer = SSL_get1_peer_certificate(t.Ssl());
    gotClient = peer != nullptr;
    X509_free(peer);
    t.Send("hi\r\n");
    t.ReadToCloseNotify();
  });
  TClient c;
  Aim(c, server.Port());
  int asked = 0;
  c.OnGetCertificate = [&](void* sender, rtl::String& cert, rtl::String& key, bool& handled) {
    ++asked;
    EXPECT_EQ(sender, &c);
    cert = rtl::S(PemOf(pki.Client->Cert));
    key = rtl::S(PemOf(pki.Client->Key));
    handled = true;
  };
  c.Open();
  EXPECT_EQ(ReadText(c, 4), "hi\r\n");
  c.Close();
  server.Join();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(gotClient);
}

// Hostile or broken peers: each ends in a clear error well within the time-out.
TEST(Tls, BadPeers) {
  TPki& pki = TPki::Get();
  const int timeOut = 800;
  using TScript = std::function<void(int&)>;
  auto afterHello = [](std::function<void(int&)> then) {
    return [then](int& fd) {
      char buf[4096];
      if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
      then(fd);
    };
  };
  auto afterHandshake = [&pki](std::function<void(int&, TServerTls&)> then) {
    return [then, &pki](int& fd) {
      TServerTls t(fd, *pki.Good);
      if (!t.Accept()) return;
      t.ReadUntil("\r\n");
      then(fd, t);
    };
  };
  struct TCase {
    const char* Name;
    TScript Script;
    bool AfterHandshake;  // the failure comes on the data read
    std::string ExpectClass;
    int ExpectCode;
    const char* ExpectText;
  } cases[] = {
      {"plain text instead of a handshake",
       afterHello([](int& fd) {
         TLoopbackServer::SendText(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
         TLoopbackServer::SleepMs(1500);
       }),
       false, "EclTlsError", -9, "TLS handshake failed"},
      {"random bytes instead of a handshake",
       afterHello([](int& fd) {
         std::string junk = transport_test::Pattern(5000, 11);
         TLoopbackServer::SendText(fd, junk);
         TLoopbackServer::SleepMs(1500);
       }),
       false, "EclTlsError", -9, "TLS handshake failed"},
      {"silent after the client's hello", afterHello([](int&) { TLoopbackServer::SleepMs(1500); }), false,
       "EclSocketError", -1, "Timeout"},
      {"a record header and then silence",
       afterHello([](int& fd) {
         TLoopbackServer::SendText(fd, std::string("\x16\x03\x03\x01\x00\x02", 6));
         TLoopbackServer::SleepMs(1500);
       }),
       false, "EclSocketError", -1, "Timeout"},
      {"closes after the client's hello", afterHello([](int&) {}), false, "EclTlsError", -9,
       "closed the connection"},
      {"resets after the client's hello", afterHello([](int& fd) { TLoopbackServer::Reset(fd); }), false,
       "EclSocketError", 10054, ""},
      {"closes without the closing message", afterHandshake([](int&, TServerTls&) {}), true, "EclTlsError", 10053,
       "without the closing message"},
      {"forged record after the handshake",
       afterHandshake([](int& fd, TServerTls&) {
         TLoopbackServer::SendText(fd, std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'A'));
         TLoopbackServer::SleepMs(1500);
       }),
       true, "EclTlsError", -9, "TLS error"},
      {"half a record and then silence",
       afterHandshake([](int& fd, TServerTls&) {
         TLoopbackServer::SendText(fd, std::string("\x17\x03\x03\x01\x00", 5) + std::string(40, 'B'));
         TLoopbackServer::SleepMs(1500);
       }),
       true, "EclSocketError", -1, "Timeout"},
  };
  for (TCase& t : cases) {
    TLoopbackServer server(t.Script);
    TClient c;
    Aim(c, server.Port());
    c.SetTimeOut(timeOut);
    auto start = std::chrono::steady_clock::now();
    TFailure f = Attempt([&] {
      c.Open();
      EXPECT_TRUE(t.AfterHandshake) << t.Name << ": the handshake succeeded";
      c.Connection().WriteString(u"go\r\n");
      rtl::TMemoryStream m;
      c.Connection().ReadData(&m);
      c.Connection().ReadData(&m);
    });
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(f.ClassName, t.ExpectClass) << t.Name << ": " << f.Message;
    EXPECT_EQ(f.Code, t.ExpectCode) << t.Name << ": " << f.Message;
    EXPECT_NE(f.Message.find(t.ExpectText), std::string::npos) << t.Name << ": " << f.Message;
    EXPECT_LT(ms, timeOut + 1000) << t.Name;
    c.Close();
    EXPECT_FALSE(c.Active()) << t.Name;
  }
}

// TLS inside a SOCKS 5 tunnel: the SOCKS server run by the test is also the TLS peer.
TEST(Tls, OverSocks5) {
  TPki& pki = TPki::Get();
  std::atomic<bool> tunnelOk{false};
  TLoopbackServer server([&](int& fd) {
    unsigned char buf[512];
    if (::recv(fd, buf, 3, MSG_WAITALL) != 3 || buf[0] != 5) return;
    TLoopbackServer::SendText(fd, std::string("\x05\x00", 2));
    // version, command, reserved, type 1, four address bytes, port
    if (::recv(fd, buf, 10, MSG_WAITALL) != 10 || buf[1] != 1 || buf[3] != 1) return;
    tunnelOk = buf[4] == 127 && buf[7] == 1;
    TLoopbackServer::SendText(fd, std::string("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10));
    TServerTls t(fd, *pki.Good);
    if (!t.Accept()) return;
    std::string line = t.ReadUntil("\r\n");
    t.Send("got:" + line);
    t.ReadToCloseNotify();
  });
  TClient c;
  Aim(c, 443);
  c.FirewallSettings().SetServer(u"127.0.0.1");
  c.FirewallSettings().SetPort(server.Port());
  c.FirewallSettings().SetFirewallType(ftSocks5);
  c.Open();
  EXPECT_TRUE(c.IsTls());
  c.Connection().WriteString(u"tunnel\r\n");
  EXPECT_EQ(ReadText(c, 12), "got:tunnel\r\n");
  c.Close();
  server.Join();
  EXPECT_TRUE(tunnelOk);
}

// Without the module the error says so, and nothing is left open.
TEST(TlsDeathTest, MissingModuleFailsClearly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::setenv("KRV_TLS_MODULE", "/nonexistent/libkrvtls.so", 1);
        TClient c;
        c.SetServer(u"127.0.0.1");
        c.SetPort(9);
        c.SetUseTLS(ctImplicit);
        TFailure f = Attempt([&] { c.Open(); });
        bool ok = f.Code == TlsNotAvailableCode && f.Message.find("not available") != std::string::npos &&
                  f.Message.find("not found") != std::string::npos && !c.Active();
        std::fprintf(stderr, "%s\n", f.Message.c_str());
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "not available");
}

}  // namespace
