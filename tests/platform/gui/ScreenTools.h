// Shell and ImageMagick helpers the screenshot tests share.
#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace krvtest {

// Runs a shell command and answers its output without the trailing blanks and line breaks.
inline std::string ShellOutput(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  std::array<char, 512> buf;
  while (fgets(buf.data(), buf.size(), p)) out += buf.data();
  int s = pclose(p);
  if (status) *status = s;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

struct TBox {
  int W = 0, H = 0, X = 0, Y = 0;
};

// ImageMagick's "-trim info:" geometry "WxH+X+Y" of the page: the box of what is not background.
inline bool TrimBox(const std::string& imageExpr, TBox& box) {
  std::string s = ShellOutput("/usr/bin/convert " + imageExpr + " -trim -format '%w %h %X %Y' info: 2>/dev/null");
  return std::sscanf(s.c_str(), "%d %d %d %d", &box.W, &box.H, &box.X, &box.Y) == 4;
}

// How many pixels of the image lie within fuzz (a percentage) of the colour, or -1.
inline long PixelsNear(const std::string& image, const std::string& colour, int fuzz) {
  std::string s = ShellOutput("/usr/bin/convert '" + image + "' -fuzz " + std::to_string(fuzz) + "% -fill black +opaque '" +
                              colour + "' -fill white -opaque '" + colour + "' -format '%[fx:round(mean*w*h)]' info: 2>/dev/null");
  return s.empty() ? -1 : std::atol(s.c_str());
}

}  // namespace krvtest
