// The gzip stream over arbitrary bytes: one write and many small writes must give the same
// outcome (the same error code, or none), the same member-boundary answer, and the same output
// for a complete body (else the same output as far as both got). The small writes once more
// into a destination that lends its memory (up to a limit) must give the same outcome.
//
// First byte seeds the write sizes and the lending limit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <vector>

#include "netlib/zlib/clZLibBase.h"
#include "netlib/zlib/clZLibStreams.h"

namespace {

struct TResult {
  std::vector<uint8_t> out;
  int32_t error = 0;
  bool boundary = false;
};

constexpr size_t kCap = size_t(1) << 23;

// A destination that refuses to grow without bound (deflate expands up to about 1000 times).
class TCappedSink : public rtl::TStream {
 public:
  std::vector<uint8_t> data;
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* b, int64_t n) override {
    if (data.size() + static_cast<size_t>(n) > kCap) throw rtl::EWriteError("cap");
    data.insert(data.end(), static_cast<const uint8_t*>(b), static_cast<const uint8_t*>(b) + n);
    return n;
  }
  int64_t Seek(int64_t, rtl::TSeekOrigin) override { return static_cast<int64_t>(data.size()); }
};

// Lends its memory, a fresh block of the exact room each time, up to a limit of output.
class TLendingSink : public TCappedSink, public netlib::IclDirectOutput {
 public:
  explicit TLendingSink(size_t ALimit) : FLimit(ALimit) {}
  uint8_t* DirectSpace(size_t AMin, size_t& ARoom) override {
    if (data.size() + AMin > std::min(FLimit, kCap)) return nullptr;
    ARoom = AMin + data.size() + data.size() % 3000;
    // The history the decoder reads back must lie right before the room.
    FBlock.reset(new uint8_t[data.size() + ARoom]);
    std::copy(data.begin(), data.end(), FBlock.get());
    return FBlock.get() + data.size();
  }
  void DirectCommit(size_t ACount) override {
    const uint8_t* p = FBlock.get() + data.size();
    data.insert(data.end(), p, p + ACount);
  }

 private:
  size_t FLimit;
  std::unique_ptr<uint8_t[]> FBlock;
};

TResult Run(const uint8_t* data, size_t size, uint32_t seed, bool whole, size_t lendLimit, bool& capped) {
  TResult r;
  TLendingSink sink(lendLimit);
  netlib::TclGZipInflateStream s(&sink);
  try {
    size_t pos = 0;
    while (pos < size) {
      seed = seed * 1103515245u + 12345u;
      size_t n = whole ? size : 1 + (seed >> 16) % 9;
      if (n > size - pos) n = size - pos;
      if (s.Write(data + pos, static_cast<int64_t>(n)) != static_cast<int64_t>(n)) std::abort();
      pos += n;
    }
    if (s.Position() != static_cast<int64_t>(size)) std::abort();
  } catch (const netlib::EclZLibError& e) {
    r.error = e.ErrorCode();
  } catch (const rtl::EWriteError&) {
    capped = true;
  }
  r.out = sink.data;
  r.boundary = s.IsAtMemberBoundary();
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  bool capped = false;
  TResult a = Run(data + 1, size - 1, data[0], true, 0, capped);
  TResult b = Run(data + 1, size - 1, data[0], false, 0, capped);
  TResult c = Run(data + 1, size - 1, data[0], false, data[0] & 1 ? SIZE_MAX : data[0] * 131u, capped);
  if (capped) return 0;
  // Decoding stops at the end of each loan too, so before an error or the end of a cut body
  // either run may have delivered more of the same output.
  size_t common = std::min(b.out.size(), c.out.size());
  bool agree = b.error || !b.boundary ? std::equal(b.out.begin(), b.out.begin() + common, c.out.begin())
                                      : c.out == b.out;
  if (c.error != b.error || !agree || c.boundary != b.boundary) {
    std::fprintf(stderr, "lent memory changed the outcome: errors %d/%d, output %zu/%zu\n", c.error, b.error,
                 c.out.size(), b.out.size());
    std::abort();
  }
  // A body that stops inside a member may leave different amounts of output held back.
  bool prefix = std::equal(a.out.begin(), a.out.begin() + std::min(a.out.size(), b.out.size()),
                           b.out.begin());
  // A lone last byte of a write is held back, so a run that ends inside a member may not have
  // reached an error the other run found in its last bytes.
  bool same;
  if (a.error != b.error)
    same = prefix && ((a.error == 0 && !a.boundary) || (b.error == 0 && !b.boundary));
  else
    same = a.error ? prefix : a.boundary == b.boundary && (a.boundary ? a.out == b.out : prefix);
  if (!same) {
    std::fprintf(stderr, "split changed the outcome: errors %d/%d, output %zu/%zu, boundary %d/%d\n",
                 a.error, b.error, a.out.size(), b.out.size(), a.boundary, b.boundary);
    std::abort();
  }
  return 0;
}
