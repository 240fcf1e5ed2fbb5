// krv-demo-product: the demo's stand-in for the product. Reports its folder and arguments (one
// a line) on stdout, or appended to the file named by KRV_DEMO_RECORD when that is set (the
// product is started detached, so a file is what the demo can wait for).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

int main(int argc, char** argv) {
  std::error_code error;
  const std::filesystem::path cwd = std::filesystem::current_path(error);
  std::string text = "KorvelFA 10.0.18.20 started in " + (error ? std::string("?") : cwd.string()) + " with " +
                     std::to_string(argc - 1) + " argument(s):\n";
  for (int i = 1; i < argc; ++i) text += "  [" + std::string(argv[i]) + "]\n";
  const char* record = std::getenv("KRV_DEMO_RECORD");
  FILE* f = record ? std::fopen(record, "a") : stdout;
  if (f == nullptr) return 1;
  std::fputs(text.c_str(), f);
  if (f != stdout) std::fclose(f);
  return 0;
}
