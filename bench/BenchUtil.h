// Pairs a measurement of ours with its reference in the same run: alternating, median of the
// runs, printed in the one line form scripts/bench.sh collects.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
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

}  // namespace krvbench
