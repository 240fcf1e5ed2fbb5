// Arbitrary response bytes through the client's response head and body reading. The connection
// is a real loopback connect (to a listener of this program), but its stream serves the fuzz
// input from memory and swallows what the client writes, so no peer is needed and nothing waits.
// The first input byte chooses the size of the pieces the input arrives in.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "netlib/http/clHttp.h"
#include "netlib/zlib/clZLibBase.h"
#include "tests/TestSockets.h"

using namespace netlib;

namespace {

struct TInput {
  const uint8_t* Data = nullptr;
  size_t Size = 0, Pos = 0, Piece = 1;
};
TInput Input;

class TMemoryNetworkStream : public TclNetworkStream {
 public:
  TMemoryNetworkStream() { SetHasReadData(true); }
  bool Read(rtl::TStream* AData) override {
    ClearNextAction();
    if (!AData) return true;
    bool untilClose = static_cast<TclTcpConnection*>(Connection())->IsReadUntilClose();
    do {
      size_t left = Input.Size - Input.Pos;
      if (left == 0) break;
      int batch = GetReadBatchSize();
      if (batch <= 0) break;
      size_t n = std::min({left, Input.Piece, size_t(batch)});
      AData->WriteBuffer(Input.Data + Input.Pos, int64_t(n));
      Input.Pos += n;
      UpdateProgress(int64_t(n));
    } while (untilClose && !IsProceedLimit());
    // The input's end is the peer's close; until then the next read goes straight here.
    if (Input.Pos >= Input.Size) {
      // The stream's own read of the shut-down socket sees the zero-length receive that marks
      // the peer's close.
      platform::Shutdown(SocketHandle(), 0);
      TclNetworkStream::Read(AData);
    }
    SetHasReadData(true);
    return true;
  }
  bool Write(rtl::TStream* AData) override {
    ClearNextAction();
    if (AData) AData->SetPosition(AData->Size());
    SetHasReadData(true);
    return true;
  }
};

class TFuzzClient : public TclHttp {
 protected:
  std::unique_ptr<TclNetworkStream> CreateNetworkStream() override { return std::make_unique<TMemoryNetworkStream>(); }
};

int Port = -1;

int Listener() {
  static int s = [] {
    int l = tsock::Open(false, true);
    Port = tsock::BindLoopback(l);
    tsock::Listen(l, 64);
    return l;
  }();
  return s;
}

int ListenerPort() {
  Listener();
  return Port;
}

void DrainAccepts() {
  while (tsock::PollOne(Listener(), tsock::In, 0)) {
    int c = tsock::Accept(Listener());
    if (c < 0) return;
    tsock::Close(c);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const std::string url = "http://127.0.0.1:" + std::to_string(ListenerPort()) + "/f";
  Input = TInput{data + 1, size - 1, 0, size_t(data[0] % 64) + 1};
  {
    TFuzzClient http;
    http.SetTimeOut(1000);
    http.SetBatchSize(64);
    http.SetAllowRedirects(false);  // a Location could name any host
    http.SetSilentHTTP(data[0] & 0x80);
    rtl::TMemoryStream body;
    try {
      http.Get(rtl::S(url), &body);
    } catch (const rtl::Exception& e) {
      if (getenv("KRV_FUZZ_VERBOSE")) fprintf(stderr, "%s: %s\n", e.ClassName(), rtl::U8(e.Message()).c_str());
    }
    if (getenv("KRV_FUZZ_VERBOSE")) fprintf(stderr, "status %d, %lld body bytes\n", http.StatusCode(), (long long)body.Size());
  }
  DrainAccepts();
  return 0;
}
