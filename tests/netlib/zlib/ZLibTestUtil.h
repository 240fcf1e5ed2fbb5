// Helpers of the zlib tests: sample data, external encoders run at test time, a bit writer for
// hand-made deflate data, and a driver that feeds a gzip stream in chosen pieces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zlibtest {

using Bytes = std::vector<uint8_t>;

// Deterministic sample data: text-like (compressible) or mixed binary.
Bytes SampleText(size_t size, uint32_t seed);
Bytes SampleBinary(size_t size, uint32_t seed);

// A fresh folder for files made by the external programs.
std::string TempDir();
void WriteFile(const std::string& path, const Bytes& data);
Bytes ReadFile(const std::string& path);
// Runs a shell command; fails the calling test (and answers false) when it exits non-zero.
bool Run(const std::string& command);
// Compresses data with the command, which reads the file named by {in} and writes to {out}.
Bytes Encode(const std::string& commandTemplate, const Bytes& data);
// Runs a python3 script that writes its result to the file named by argv[1].
Bytes Python(const std::string& script);

// Writes bits least significant first, as deflate does; Code writes a Huffman code most
// significant bit first.
struct TBitWriter {
  Bytes out;
  uint64_t acc = 0;
  int count = 0;
  void Bits(uint32_t value, int n);
  void Code(uint32_t code, int len);
  void AlignByte();
  Bytes Finish();
};

// Canonical codes of RFC 1951 3.2.2 for the lengths.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lens);

struct TDecodeResult {
  Bytes out;
  int32_t error = 0;          // EclZLibError code, 0 for none
  bool boundary = false;      // IsAtMemberBoundary after the last write
};

// Writes data into a TclGZipInflateStream in pieces: sizes cycle through `pieces` (0 = the
// rest at once). With a lendLimit the destination lends the stream its memory, up to that many
// bytes of output in all.
TDecodeResult GunzipPieces(const Bytes& data, const std::vector<size_t>& pieces, size_t lendLimit = 0);
TDecodeResult Gunzip(const Bytes& data);
TDecodeResult GunzipRandom(const Bytes& data, uint32_t seed, size_t maxPiece, size_t lendLimit = 0);

// zlib's one-shot answers, the reference for hand-made data.
struct TZlibResult {
  Bytes out;
  bool accepted = false;
  bool error = false;
};
TZlibResult ZlibInflate(const Bytes& data, bool raw);

}  // namespace zlibtest
