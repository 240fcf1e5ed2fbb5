#include "netlib/zlib/clZLibBuffer.h"

#include <cstring>

#include "netlib/zlib/clZLibBase.h"

namespace netlib {

size_t TclInflateBuffer::CopyBytes(uint8_t* ADest, size_t ALen) {
  if (FBits_in_buffer & 7) RaiseZLibError(ZLIB_ERR_NOT_BYTE_ALIGNED);
  size_t done = 0;
  while (done < ALen && FBits_in_buffer >= 8) ADest[done++] = static_cast<uint8_t>(GetBits(8));
  size_t n = ALen - done;
  if (n > AvailableBytes()) n = AvailableBytes();
  if (n) {
    std::memcpy(ADest + done, FWindow_start, n);
    FWindow_start += n;
    done += n;
  }
  return done;
}

void TclOutputWindow::WriteByte(uint8_t b) {
  if (Filled() >= WSIZE || !MakeRoom()) RaiseZLibError(ZLIB_ERR_WINDOW_FULL);
  FBase[FWindowEnd++] = b;
}

void TclOutputWindow::Repeat(size_t ALen, size_t ADist) {
  if (Filled() + ALen > WSIZE || !MakeRoom()) RaiseZLibError(ZLIB_ERR_WINDOW_FULL);
  uint8_t* out = FBase + FWindowEnd;
  const uint8_t* src = out - ADist;
  for (size_t i = 0; i < ALen; ++i) out[i] = src[i];  // overlapping copies repeat the pattern
  FWindowEnd += ALen;
}

void TclOutputWindow::Advance(size_t n) {
  if (Filled() + n > WSIZE || FWindowEnd + n > FEnd) RaiseZLibError(ZLIB_ERR_WINDOW_FULL);
  FWindowEnd += n;
}

size_t TclOutputWindow::CopyOutput(uint8_t* ADest, size_t ALen) {
  size_t n = Filled() < ALen ? Filled() : ALen;
  std::memcpy(ADest, FBase + FReadPos, n);
  FReadPos += n;
  return n;
}

void TclOutputWindow::UseExternal(uint8_t* ANext, size_t ARoom) {
  if (Filled() || (!FExternal && FWindowEnd) || ARoom < MAX_MATCH + SLACK)
    RaiseZLibError(ZLIB_ERR_INVALID_OPERATION);
  FBase = ANext - FWindowEnd;
  FEnd = FWindowEnd + ARoom - SLACK;
  FExternal = true;
}

void TclOutputWindow::UseOwn() {
  if (!FExternal) return;
  if (Filled()) RaiseZLibError(ZLIB_ERR_INVALID_OPERATION);
  size_t keep = FWindowEnd < WSIZE ? FWindowEnd : WSIZE;
  std::memcpy(FWindow.get(), FBase + FWindowEnd - keep, keep);
  FBase = FWindow.get();
  FEnd = CAPACITY - SLACK;
  FWindowEnd = FReadPos = keep;
  FExternal = false;
}

void TclOutputWindow::Slide() {
  // Everything that waits to be taken out is among the last WSIZE bytes.
  if (FWindowEnd < WSIZE || Filled() > WSIZE) RaiseZLibError(ZLIB_ERR_INVALID_OPERATION);
  size_t shift = FWindowEnd - WSIZE;
  std::memmove(FBase, FBase + shift, WSIZE);
  FWindowEnd -= shift;
  FReadPos -= shift;
}

}  // namespace netlib
