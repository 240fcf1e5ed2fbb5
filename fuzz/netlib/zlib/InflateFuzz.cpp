// Differential target: arbitrary bytes through TclInflater (raw or zlib mode, fed in pieces) and
// through zlib's inflate must agree on whether the data is accepted, on the output up to the
// first error, and on the number of input bytes a complete stream used.
//
// First byte: bit 0 selects the zlib wrapper, bits 1-7 seed the piece and output-buffer sizes
// and whether the output is taken in place (as the gzip stream takes it), copied out, or decoded
// into memory lent in blocks of random room that move on every loan (and at times taken back).
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "netlib/zlib/clInflate.h"
#include "netlib/zlib/clZLibBase.h"

namespace {

constexpr size_t kMaxOut = size_t(1) << 22;

struct TOutcome {
  std::vector<uint8_t> out;
  bool accepted = false;   // end of stream reached (and trailer checked)
  bool needDict = false;
  bool error = false;
  bool capped = false;     // output limit hit; acceptance not compared
  uint64_t totalIn = 0;
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "differential mismatch: %s\n", what);
  std::abort();
}

TOutcome RunOurs(const uint8_t* data, size_t size, bool wrapped, uint32_t seed) {
  TOutcome r;
  netlib::TclInflater inf(!wrapped);
  std::vector<uint8_t> buf(1 + seed % 70000);
  const bool inPlace = (seed & 4) != 0;
  bool lending = (seed & 8) != 0;
  std::unique_ptr<uint8_t[]> block;
  size_t used = 0;
  auto next = [&seed] { seed = seed * 1103515245u + 12345u; return seed >> 16; };
  auto lend = [&] {
    if (next() % 16 == 0) {
      inf.ReleaseOutputMemory();
      lending = false;
      return;
    }
    size_t room = netlib::TclInflater::OutputRoomMin + next() % 5000;
    std::unique_ptr<uint8_t[]> moved(new uint8_t[used + room]);
    std::copy(block.get(), block.get() + used, moved.get());
    block = std::move(moved);
    inf.SetOutputMemory(block.get() + used, room);
  };
  if (lending) lend();
  auto take = [&]() -> size_t {
    if (lending && inf.IsNeedingOutputRoom()) lend();
    const uint8_t* at = buf.data();
    size_t n = lending || inPlace ? inf.InflateInPlace(at) : size_t(inf.Inflate(buf.data(), 0, static_cast<int32_t>(buf.size())));
    if (lending && n) {
      if (at != block.get() + used) Fail("output outside the lent memory");
      used += n;
    }
    r.out.insert(r.out.end(), at, at + n);
    return n;
  };
  auto drain = [&]() -> bool {
    for (;;) {
      size_t n = take();
      if (r.out.size() > kMaxOut) return false;
      if (n == 0 || inf.IsNeedingDictionary()) return true;
    }
  };
  try {
    size_t pos = 0;
    bool whole = (seed & 3) == 0;
    while (pos < size && !inf.IsFinished() && !inf.IsNeedingDictionary()) {
      size_t piece = whole ? size - pos : 1 + next() % 37;
      if (piece > size - pos) piece = size - pos;
      inf.SetInput(data + pos, 0, static_cast<int32_t>(piece));
      pos += piece;
      while (!inf.IsNeedingInput() && !inf.IsFinished() && !inf.IsNeedingDictionary()) {
        size_t n = take();
        if (r.out.size() > kMaxOut) {
          r.capped = true;
          return r;
        }
        if (n == 0) break;
      }
      if (!inf.IsNeedingInput() && !inf.IsFinished() && !inf.IsNeedingDictionary())
        break;  // stalled with input left: reported below as not accepted
    }
    if (!drain()) {
      r.capped = true;
      return r;
    }
    // Lengths never go negative and the totals add up.
    if (inf.RemainingInput() < 0 || inf.TotalOut() != static_cast<int64_t>(r.out.size()))
      Fail("counters");
  } catch (const netlib::EclZLibError& e) {
    if (e.ErrorCode() >= -100 || e.ErrorCode() < -129) Fail("unexpected error code");
    r.error = true;
    return r;
  }
  r.accepted = inf.IsFinished();
  r.needDict = inf.IsNeedingDictionary();
  r.totalIn = static_cast<uint64_t>(inf.TotalIn());
  return r;
}

TOutcome RunZlib(const uint8_t* data, size_t size, bool wrapped) {
  TOutcome r;
  z_stream zs{};
  if (inflateInit2(&zs, wrapped ? 15 : -15) != Z_OK) std::abort();
  std::vector<uint8_t> buf(65536);
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  for (;;) {
    zs.next_out = buf.data();
    zs.avail_out = static_cast<uInt>(buf.size());
    int ret = inflate(&zs, Z_NO_FLUSH);
    r.out.insert(r.out.end(), buf.begin(), buf.begin() + (buf.size() - zs.avail_out));
    if (r.out.size() > kMaxOut) {
      r.capped = true;
      break;
    }
    if (ret == Z_STREAM_END) {
      r.accepted = true;
      break;
    }
    if (ret == Z_NEED_DICT) {
      r.needDict = true;
      break;
    }
    if (ret == Z_DATA_ERROR || ret == Z_MEM_ERROR || ret == Z_STREAM_ERROR) {
      r.error = true;
      break;
    }
    if (ret == Z_BUF_ERROR || (zs.avail_in == 0 && zs.avail_out != 0)) break;  // needs more input
  }
  r.totalIn = zs.total_in;
  inflateEnd(&zs);
  return r;
}

bool IsPrefix(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  // Not memcmp: an empty vector's data() may be null, which memcmp must never get.
  return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  bool wrapped = data[0] & 1;
  uint32_t seed = data[0] >> 1;
  TOutcome ours = RunOurs(data + 1, size - 1, wrapped, seed * 2654435761u);
  TOutcome ref = RunZlib(data + 1, size - 1, wrapped);
  if (ours.capped || ref.capped) {
    if (!IsPrefix(ours.out, ref.out) && !IsPrefix(ref.out, ours.out)) Fail("capped output");
    return 0;
  }
  if (ours.accepted != ref.accepted) Fail("acceptance");
  if (ours.needDict != ref.needDict) Fail("dictionary request");
  if (ref.error && !ours.error) Fail("zlib rejects data we took");
  if (ours.accepted) {
    if (ours.out != ref.out) Fail("output of accepted data");
    if (ours.totalIn != ref.totalIn) Fail("input used by accepted data");
  } else if (ours.error) {
    if (!IsPrefix(ours.out, ref.out)) Fail("output before the error");
  } else {
    if (ours.out != ref.out) Fail("output of incomplete data");
  }
  return 0;
}
