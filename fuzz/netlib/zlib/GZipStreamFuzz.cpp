// The gzip stream over arbitrary bytes: one write and many small writes must give the same
// outcome (the same error code, or none), the same member-boundary answer, and the same output
// for a complete body (else the same output as far as both got).
//
// First byte seeds the write sizes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

#include "netlib/zlib/clZLibBase.h"
#include "netlib/zlib/clZLibStreams.h"

namespace {

struct TResult {
  std::vector<uint8_t> out;
  int32_t error = 0;
  bool boundary = false;
};

// A destination that refuses to grow without bound (deflate expands up to about 1000 times).
class TCappedSink : public rtl::TStream {
 public:
  std::vector<uint8_t> data;
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* b, int64_t n) override {
    if (data.size() + static_cast<size_t>(n) > (size_t(1) << 23)) throw rtl::EWriteError("cap");
    data.insert(data.end(), static_cast<const uint8_t*>(b), static_cast<const uint8_t*>(b) + n);
    return n;
  }
  int64_t Seek(int64_t, rtl::TSeekOrigin) override { return static_cast<int64_t>(data.size()); }
};

TResult Run(const uint8_t* data, size_t size, uint32_t seed, bool whole, bool& capped) {
  TResult r;
  TCappedSink sink;
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
  TResult a = Run(data + 1, size - 1, data[0], true, capped);
  TResult b = Run(data + 1, size - 1, data[0], false, capped);
  if (capped) return 0;
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
