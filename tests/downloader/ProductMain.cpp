// A stand-in for the product: records its arguments and current directory, each followed by a
// zero byte, on the descriptor named by KRV_PRODUCT_FD, then ends.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
  const char* fdText = std::getenv("KRV_PRODUCT_FD");
  if (fdText == nullptr) return 0;
  int fd = std::atoi(fdText);
  char cwd[PATH_MAX];
  std::string record = ::getcwd(cwd, sizeof cwd) ? cwd : "?";
  record.push_back('\0');
  for (int i = 1; i < argc; ++i) {
    record += argv[i];
    record.push_back('\0');
  }
  const char* p = record.data();
  size_t left = record.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) return 1;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}
