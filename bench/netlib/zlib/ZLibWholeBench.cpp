// Whole-buffer gzip decoding of real data against libdeflate: headers, Python sources and shared
// libraries of this machine (8 MiB each), compressed here by gzip -6 and -9, pigz and zopfli.
// Ours is TclGZipInflateStream handed the whole file in one write, decoding into the memory of a
// sink that lends it; the reference is libdeflate_gzip_decompress into a buffer of the decoded
// size. Both outputs are checked against the original before the timing, which is CPU time.
#include <libdeflate.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "netlib/zlib/clChecksum.h"
#include "netlib/zlib/clZLibStreams.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kCorpusSize = size_t(8) << 20;

std::vector<uint8_t> ReadFile(const fs::path& APath) {
  std::ifstream f(APath, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The regular files under ARoot whose names pass AWanted, in path order, joined up to kCorpusSize.
template <class F>
std::vector<uint8_t> Collect(const fs::path& ARoot, F AWanted) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(ARoot, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec) && !it->is_symlink(ec) && AWanted(it->path())) files.push_back(it->path());
  std::sort(files.begin(), files.end());
  std::vector<uint8_t> out;
  for (const fs::path& p : files) {
    std::vector<uint8_t> b = ReadFile(p);
    out.insert(out.end(), b.begin(), b.end());
    if (out.size() >= kCorpusSize) break;
  }
  if (out.size() > kCorpusSize) out.resize(kCorpusSize);
  return out;
}

// A memory sink of fixed capacity, as libdeflate's output buffer, which it lends to the stream
// to decode into.
class TSink : public rtl::TStream, public netlib::IclDirectOutput {
 public:
  explicit TSink(std::vector<uint8_t>& ABuffer) : FBuffer(ABuffer) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* ABuffer, int64_t ACount) override {
    if (FUsed + size_t(ACount) > FBuffer.size()) std::abort();
    std::memcpy(FBuffer.data() + FUsed, ABuffer, size_t(ACount));
    FUsed += size_t(ACount);
    return ACount;
  }
  int64_t Seek(int64_t, rtl::TSeekOrigin) override { return int64_t(FUsed); }
  size_t Used() const { return FUsed; }
  uint8_t* DirectSpace(size_t AMin, size_t& ARoom) override {
    ARoom = FBuffer.size() - FUsed;
    return ARoom >= AMin ? FBuffer.data() + FUsed : nullptr;
  }
  void DirectCommit(size_t ACount) override {
    if (FUsed + ACount > FBuffer.size()) std::abort();
    FUsed += ACount;
  }

 private:
  std::vector<uint8_t>& FBuffer;
  size_t FUsed = 0;
};

size_t DecodeOurs(const std::vector<uint8_t>& AGz, std::vector<uint8_t>& AOut) {
  TSink sink(AOut);
  netlib::TclGZipInflateStream s(&sink);
  s.Write(AGz.data(), int64_t(AGz.size()));
  if (!s.IsAtMemberBoundary()) std::abort();
  return sink.Used();
}

size_t DecodeLibdeflate(libdeflate_decompressor* ADecompressor, const std::vector<uint8_t>& AGz,
                        std::vector<uint8_t>& AOut) {
  size_t n = 0;
  if (libdeflate_gzip_decompress(ADecompressor, AGz.data(), AGz.size(), AOut.data(), AOut.size(), &n) !=
      LIBDEFLATE_SUCCESS)
    std::abort();
  return n;
}

// CPU time of this thread, in ms: on a shared machine a decode's wall time also counts the other
// programs' turns, which swamps differences of a few percent.
double CpuMs(const std::function<void()>& AWork) {
  timespec t0, t1;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
  AWork();
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
  return double(t1.tv_sec - t0.tv_sec) * 1e3 + double(t1.tv_nsec - t0.tv_nsec) / 1e6;
}

// As krvbench::CompareTime (alternating, after a warm-up, medians), on CPU time.
void CompareCpuTime(const std::string& AName, const std::function<void()>& AOurs,
                    const std::function<void()>& AReference, int ARuns) {
  std::vector<double> ours, reference;
  AOurs();
  AReference();
  for (int i = 0; i < ARuns; ++i) {
    ours.push_back(CpuMs(AOurs));
    reference.push_back(CpuMs(AReference));
  }
  krvbench::Report(AName, krvbench::Median(ours), krvbench::Median(reference), "ms CPU");
}

// Compresses AData with the shell command ACommand, given the file's name, in ADir.
std::vector<uint8_t> Compress(const fs::path& ADir, const std::string& AName, const std::vector<uint8_t>& AData,
                              const std::string& ACommand) {
  fs::path in = ADir / (AName + ".bin"), out = ADir / (AName + ".gz");
  {
    std::ofstream f(in, std::ios::binary);
    f.write(reinterpret_cast<const char*>(AData.data()), std::streamsize(AData.size()));
  }
  std::string cmd = ACommand + " '" + in.string() + "' > '" + out.string() + "'";
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "bench_zlib_whole: '%s' failed\n", ACommand.c_str());
    std::exit(1);
  }
  fs::remove(in);
  return ReadFile(out);
}

// Python's own library (/usr/lib/python3.N), the newest there is.
fs::path PythonLibrary() {
  fs::path best;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator("/usr/lib", ec)) {
    std::string n = e.path().filename().string();
    if (n.rfind("python3.", 0) == 0 && e.is_directory(ec) && (best.empty() || n > best.filename().string()))
      best = e.path();
  }
  return best;
}

}  // namespace

// Arguments, both optional: a part of the figures' names to run only those, and the number of
// timed runs (1 under callgrind, say).
int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 11;
  fs::path dir = fs::temp_directory_path() / ("krv-bench-zlib-whole-" + std::to_string(getpid()));
  fs::create_directories(dir);
  struct TCorpus {
    const char* name;
    std::vector<uint8_t> data;
  } corpora[] = {
      {"headers", Collect("/usr/include", [](const fs::path& p) { return p.extension() == ".h"; })},
      {"sources", Collect(PythonLibrary(), [](const fs::path& p) { return p.extension() == ".py"; })},
      {"libraries", Collect("/usr/lib/x86_64-linux-gnu", [](const fs::path& p) {
         return p.filename().string().find(".so") != std::string::npos;
       })},
  };
  // zopfli with one iteration: its output is zopfli's kind of data (long blocks, near-optimal
  // parses), made in seconds instead of minutes.
  const struct {
    const char* name;
    const char* command;
  } compressors[] = {{"gzip6", "gzip -6 -c"}, {"gzip9", "gzip -9 -c"}, {"pigz", "pigz -6 -c"},
                     {"zopfli", "zopfli --i1 -c"}};
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  int status = 0;
  for (TCorpus& c : corpora) {
    if (c.data.size() < (size_t(1) << 20)) {
      std::printf("bench_zlib_whole: %s skipped (only %zu bytes found)\n", c.name, c.data.size());
      continue;
    }
    for (const auto& z : compressors) {
      std::string name = std::string("zlib_whole_") + c.name + "_" + z.name;
      if (name.find(only) == std::string::npos) continue;
      std::vector<uint8_t> gz = Compress(dir, name, c.data, z.command);
      std::vector<uint8_t> ours(c.data.size()), reference(c.data.size());
      if (DecodeOurs(gz, ours) != c.data.size() || ours != c.data ||
          DecodeLibdeflate(d, gz, reference) != c.data.size() || reference != c.data) {
        std::fprintf(stderr, "%s: a decoder's output differs from the original\n", name.c_str());
        status = 1;
        continue;
      }
      std::fprintf(stderr, "%s: %zu -> %zu bytes\n", name.c_str(), c.data.size(), gz.size());
      CompareCpuTime(name, [&] { DecodeOurs(gz, ours); }, [&] { DecodeLibdeflate(d, gz, reference); }, runs);
    }
  }
  libdeflate_free_decompressor(d);
  fs::remove_all(dir);
  return status;
}
