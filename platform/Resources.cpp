// The read-only stream over a resource; finding it is each operating system's own.
#include "platform/Resources.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace platform {

TResourceStream::TResourceStream(std::u16string_view name, std::u16string_view type) {
  const TResourceEntry* e = FindResource(type, name);
  if (e == nullptr) throw rtl::EResNotFound(rtl::Format(u"Resource %s not found", {name}));
  FData = e->Data;
  FSize = e->Size;
  FLanguage = e->Language;
}

int64_t TResourceStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || FPosition >= static_cast<int64_t>(FSize)) return 0;
  int64_t n = std::min<int64_t>(count, static_cast<int64_t>(FSize) - FPosition);
  std::memcpy(buffer, FData + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TResourceStream::Write(const void*, int64_t) {
  throw rtl::EStreamError(u"Can't write to a read-only resource stream");
}

int64_t TResourceStream::Seek(int64_t offset, rtl::TSeekOrigin origin) {
  int64_t base = origin == rtl::soBeginning ? 0 : origin == rtl::soCurrent ? FPosition
                                                                            : static_cast<int64_t>(FSize);
  // Past the end is allowed (reads then answer 0); before the start is not.
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target)) target = offset < 0 ? 0 : INT64_MAX;
  if (target < 0) target = 0;
  FPosition = target;
  return FPosition;
}

void TResourceStream::SetSize(int64_t) {
  throw rtl::EStreamError(u"Can't write to a read-only resource stream");
}

}  // namespace platform
