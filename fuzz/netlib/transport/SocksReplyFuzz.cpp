// SOCKS replies from outside: arbitrary bytes, cut into arbitrary pieces, fed to the SOCKS 4 and
// SOCKS 5 handshakes. Every outcome must be the tunnel or EclSocksFirewallError, a read that is
// asked for must always take bytes, and both must agree with a plain model of the protocol.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "netlib/transport/clSocks.h"

using namespace netlib;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

template <typename Base>
class TExposed : public Base {
 public:
  using Base::Base;
  rtl::Bytes Request() { return this->BuildRequest(); }
};

// Bytes the handshake must consume from R (size N) and whether it must succeed.
struct TModel {
  bool Ok = false;
  size_t Consumed = 0;
};

TModel Model(bool socks5, bool withUser, const uint8_t* r, size_t n) {
  TModel m;
  if (!socks5) {
    if (n < 8) return m;
    m.Consumed = 8;
    m.Ok = r[0] == 0 && r[1] == 90;
    return m;
  }
  size_t at = 0;
  if (n < 2 || r[0] != 5 || (r[1] != 0 && r[1] != 2)) return m;
  at = 2;
  if (r[1] == 2) {
    if (n < 4 || r[2] != 1 || r[3] != 0) return m;
    at = 4;
  }
  (void)withUser;
  if (n < at + 5 || r[at] != 5 || r[at + 1] != 0) return m;
  size_t full;
  switch (r[at + 3]) {
    case 1: full = 10; break;
    case 4: full = 22; break;
    case 3: full = 7 + r[at + 4]; break;
    default: return m;
  }
  if (n < at + full) return m;
  m.Consumed = at + full;
  m.Ok = true;
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool socks5 = data[0] & 1;
  const bool withUser = data[0] & 2;
  const bool literal = data[0] & 4;
  uint32_t seed = data[1];
  const uint8_t* reply = data + 2;
  const size_t n = size - 2;

  std::unique_ptr<TclSocksNetworkStream> s;
  if (socks5)
    s = std::make_unique<TExposed<TclSocks5NetworkStream>>(std::make_unique<TclNetworkStream>());
  else
    s = std::make_unique<TExposed<TclSocks4NetworkStream>>(std::make_unique<TclNetworkStream>());
  s->SetTargetServer(literal ? u"10.1.2.3" : u"target.test");
  s->SetTargetPort(443);
  if (withUser) {
    s->SetUserName(u"user");
    s->SetPassword(u"secret");
  }

  size_t at = 0;
  bool ok = false;
  try {
    while (s->State() != csData) {
      if (s->NextAction() == saWrite) {
        rtl::Bytes req = socks5 ? static_cast<TExposed<TclSocks5NetworkStream>*>(s.get())->Request()
                                : static_cast<TExposed<TclSocks4NetworkStream>*>(s.get())->Request();
        Check(!req.empty());
        s->ClearNextAction();
        s->SetNextAction(saRead);
        continue;
      }
      Check(s->NextAction() == saRead);
      if (at == n) break;  // the peer has nothing more: the real stream would wait and time out
      seed = seed * 1103515245u + 12345u;
      size_t piece = 1 + (seed >> 16) % 24;
      if (piece > n - at) piece = n - at;
      int taken = s->TakeReply(reply + at, int(piece));
      // A read that is asked for always makes progress and never takes more than it was given.
      Check(taken > 0 && size_t(taken) <= piece);
      at += size_t(taken);
    }
    ok = s->State() == csData;
  } catch (const EclSocksFirewallError& e) {
    Check(!e.Message().empty());
    Check(e.ErrorCode() >= 0 && e.ErrorCode() <= 255);
  }
  TModel m = Model(socks5, withUser, reply, n);
  Check(ok == m.Ok);
  if (ok) Check(at == m.Consumed);
  return 0;
}
