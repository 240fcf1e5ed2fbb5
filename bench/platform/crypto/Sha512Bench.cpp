// The streaming SHA-512 the downloader runs over a signed update as it arrives: TSha512 (through
// the module) fed 1 GiB in pieces, against libcrypto's own EVP_DigestUpdate called directly
// over the same bytes in 64 MiB calls. The ratio is the cost of the module boundary and of the
// per-piece calls; the reference's figure is what SHA-512 itself costs on this machine.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "platform/crypto/Signature.h"

namespace {

constexpr size_t kBuffer = size_t(64) << 20;  // larger than any cache, so memory is read as from a download
constexpr int kRounds = 16;                   // 1 GiB in all

std::vector<uint8_t> MakeData() {
  std::vector<uint8_t> data(kBuffer);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (auto& b : data) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    b = uint8_t(x >> 56);
  }
  return data;
}

}  // namespace

int main() {
  const std::vector<uint8_t> data = MakeData();
  platform::TSha512Digest ours{}, reference{};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const double gib = double(kBuffer) * kRounds / double(1u << 30);
  for (size_t piece : {platform::Sha512PieceSize, size_t(16384)}) {
    krvbench::CompareTime(
        "sha512_stream_" + std::to_string(piece / 1024) + "k_pieces",
        [&] {
          platform::TSha512 hash;
          for (int r = 0; r < kRounds; ++r)
            for (size_t at = 0; at < kBuffer; at += piece) hash.Update(data.data() + at, piece);
          ours = hash.Final();
        },
        [&] {
          EVP_DigestInit_ex(ctx, EVP_sha512(), nullptr);
          for (int r = 0; r < kRounds; ++r) EVP_DigestUpdate(ctx, data.data(), kBuffer);
          EVP_DigestFinal_ex(ctx, reference.data(), nullptr);
        },
        5, 1.0 / gib, "s/GiB");
    if (ours != reference) {
      std::fprintf(stderr, "digests differ\n");
      return 1;
    }
  }
  EVP_MD_CTX_free(ctx);
  return 0;
}
