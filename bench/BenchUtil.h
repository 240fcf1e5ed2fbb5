// Pairs a measurement of ours with its reference in the same run: alternating, median of the
// runs, printed in the one line form scripts/bench.sh collects.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace krvbench {

inline double Seconds(const std::function<void()>& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline void Report(const std::string& name, double ours, double reference, const std::string& unit) {
  std::printf("bench %s: ratio %.3f (ours %.6g %s, reference %.6g %s)\n", name.c_str(),
              reference > 0 ? ours / reference : 0.0, ours, unit.c_str(), reference, unit.c_str());
  std::fflush(stdout);
}

// Times both functions `runs` times, alternating, and reports the ratio of the medians.
inline void CompareTime(const std::string& name, const std::function<void()>& ours,
                        const std::function<void()>& reference, int runs = 7, double scale = 1.0,
                        const std::string& unit = "s") {
  std::vector<double> a, b;
  ours();       // warm up both
  reference();
  for (int i = 0; i < runs; ++i) {
    a.push_back(Seconds(ours) * scale);
    b.push_back(Seconds(reference) * scale);
  }
  Report(name, Median(a), Median(b), unit);
}

// Text-like bytes: words from a small vocabulary picked by a fixed generator, so LZMA has work
// to do and every run sees the same archive.
inline void WriteContent(const std::filesystem::path& p, size_t size, uint64_t seed) {
  static const char* words[] = {"archive ", "volume ", "stream ", "header ", "block ", "extract ", "update ",
                                "version ", "kernel ", "packet ", "buffer ", "window ", "folder ", "select ",
                                "\n", "0x1F ", "42 ", "data.7z ", "{ ", "} "};
  // Written in small pieces: this process's own peak must stay far below the programs' (a child
  // started by posix_spawn reports the larger of its parent's peak and its own).
  std::ofstream out(p, std::ios::binary);
  std::string s;
  s.reserve(1 << 16);
  uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
  size_t written = 0;
  while (written < size) {
    s.clear();
    while (s.size() < (1u << 16) - 16) {
      x = x * 6364136223846793005ULL + 1442695040888963407ULL;
      if ((x >> 60) == 0)
        s.push_back(char(x >> 32));  // a sprinkle of noise
      else
        s += words[(x >> 33) % 20];
    }
    size_t n = std::min(s.size(), size - written);
    out.write(s.data(), std::streamsize(n));
    written += n;
  }
}

// A tree of total bytes: one file of half of it and about 16 KiB files in folders of 500.
inline void MakeProductTree(const std::filesystem::path& src, size_t total) {
  const size_t large = total / 2, small = 16 * 1024;
  std::filesystem::create_directories(src);
  WriteContent(src / "large.bin", large, 1);
  size_t made = large;
  for (int i = 0; made < total; ++i) {
    std::filesystem::path dir = src / ("dir" + std::to_string(i / 500));
    if (i % 500 == 0) std::filesystem::create_directories(dir);
    size_t size = std::min<size_t>(small / 2 + (size_t(i) * 2654435761u) % small, total - made);
    WriteContent(dir / ("file" + std::to_string(i) + ".txt"), size, uint64_t(i) + 2);
    made += size;
  }
}

}  // namespace krvbench
