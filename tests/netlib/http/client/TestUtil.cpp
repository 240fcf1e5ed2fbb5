// The client tests' helpers that run host programs (<windows.h> stays out of the tests' headers).
#include "TestUtil.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>

#include "tests/HostCommand.h"

namespace krvtest {

std::string UniqueTempPath(const std::string& AName) {
  static const std::string process = std::to_string(std::random_device{}());
  static std::atomic<int> n{0};
  return std::string(KRV_BINARY_DIR) + "/client-" + process + "-" + std::to_string(n++) + "-" + AName;
}

std::string Gzip(const std::string& AData) {
  const std::string in = UniqueTempPath("gzip-in"), out = in + ".gz";
  {
    std::ofstream f(in, std::ios::binary);
    f.write(AData.data(), std::streamsize(AData.size()));
  }
  EXPECT_EQ(RunHostCommand("gzip -n -c '" + in + "' > '" + out + "'"), 0);
  std::ifstream f(out, std::ios::binary);
  std::string made((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  f.close();
  std::remove(in.c_str());
  std::remove(out.c_str());
  return made;
}

}  // namespace krvtest
