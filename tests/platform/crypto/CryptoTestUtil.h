// Helpers of the signature tests: a scratch folder, files, hex, and programs run through the shell
// (krv-sign, the openssl command as the independent implementation).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace cryptotest {

namespace fs = std::filesystem;

inline std::string Quote(const std::string& s) {
  std::string r = "'";
  for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

inline void WriteFile(const std::string& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Deterministic bytes that do not repeat (a linear congruential generator).
inline std::string PseudoRandom(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint64_t x = seed * 2862933555777941757ULL + 3037000493ULL;
  for (size_t i = 0; i < size; ++i) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    s[i] = char(x >> 56);
  }
  return s;
}

class TScratch {
 public:
  TScratch() {
    char tmpl[] = "/tmp/krv-sign-XXXXXX";
    FRoot = ::mkdtemp(tmpl);
  }
  ~TScratch() {
    std::error_code ec;
    fs::remove_all(FRoot, ec);
  }
  std::string operator/(const std::string& name) const { return FRoot + "/" + name; }
  const std::string& Root() const { return FRoot; }

 private:
  std::string FRoot;
};

struct TResult {
  int Code = -1;
  std::string Out, Err;
};

// Runs a shell command line (bounded: a hang is a failure, not a stuck suite), stdin empty.
inline TResult Shell(const TScratch& AScratch, const std::string& ACommand) {
  const std::string out = AScratch / ".out", err = AScratch / ".err";
  int rc = std::system(("timeout 120 " + ACommand + " </dev/null >" + Quote(out) + " 2>" + Quote(err)).c_str());
  TResult r;
  r.Code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.Out = ReadFile(out);
  r.Err = ReadFile(err);
  return r;
}

}  // namespace cryptotest
