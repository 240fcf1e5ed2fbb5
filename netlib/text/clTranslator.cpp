#include "netlib/text/clTranslator.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "platform/Encoding.h"
#include "rtl/Ansi.h"

namespace netlib {

namespace {

// An empty or unresolvable name selects the ANSI code page.
std::unique_ptr<platform::TEncoding> ResolveEncoding(std::u16string_view ACharSet) {
  rtl::String name = rtl::Trim(ACharSet);
  if (name.empty()) return platform::TEncoding::Default();
  std::unique_ptr<platform::TEncoding> e = platform::TEncoding::TryGetEncoding(name);
  return e ? std::move(e) : platform::TEncoding::Default();
}

// The encoding of a name, resolved once per thread: resolving opens two system converters, which
// cost more than a request head's whole conversion. The encodings reset their converters on every
// call, and each thread has its own. Names come from servers, so the cache is bounded; a returned
// reference is good until the next call.
const platform::TEncoding& CachedEncoding(std::u16string_view ACharSet) {
  constexpr size_t MaxNames = 16;
  thread_local std::map<rtl::String, std::unique_ptr<platform::TEncoding>, std::less<>> cache;
  auto found = cache.find(ACharSet);
  if (found != cache.end()) return *found->second;
  if (cache.size() >= MaxNames) cache.clear();
  return *cache.emplace(rtl::String(ACharSet), ResolveEncoding(ACharSet)).first->second;
}

bool IsUtf8(std::u16string_view ACharSet) { return rtl::SameText(rtl::Trim(ACharSet), u"utf-8"); }

// The bytes the fallback produces when the platform conversion failed.
rtl::Bytes FallbackBytes(std::u16string_view AText, std::u16string_view ACharSet) {
  rtl::Bytes ansi = rtl::StringToAnsi(AText);
  if (IsUtf8(ACharSet)) return TclTranslator::TranslateToUtf8Bytes(rtl::AnsiToString(ansi));
  return TclTranslator::TranslateTo(ACharSet, ansi);
}

rtl::String FallbackString(const uint8_t* ABytes, size_t ACount, std::u16string_view ACharSet) {
  // The bytes stand for themselves here (one code unit per byte), so the library's codec sees
  // exactly what arrived.
  if (IsUtf8(ACharSet)) return TclTranslator::TranslateFromUtf8(ABytes, ACount);
  return rtl::AnsiToString(TclTranslator::TranslateFrom(ACharSet, rtl::Bytes(ABytes, ABytes + ACount)));
}

rtl::Bytes ByteStringToBytes(std::u16string_view s) {
  rtl::Bytes b(s.size());
  for (size_t i = 0; i < s.size(); ++i) b[i] = s[i] > 0xFF ? uint8_t('?') : static_cast<uint8_t>(s[i]);
  return b;
}

rtl::String BytesToByteString(const rtl::Bytes& b) { return rtl::String(b.begin(), b.end()); }

rtl::Bytes TranslateBytes(std::u16string_view ACharSet, const rtl::Bytes& ASource, bool ATo) {
  rtl::Bytes out(ASource);
  if (const TclCharSetTable* table = FindFallbackCharSet(ACharSet)) {
    const uint8_t* map = ATo ? table->ToTable : table->FromTable;
    for (uint8_t& b : out) b = map[b];
  }
  return out;
}

void TranslateStreams(std::u16string_view ACharSet, rtl::TStream& ASource, rtl::TStream& ADestination, bool ATo) {
  const TclCharSetTable* table = FindFallbackCharSet(ACharSet);
  if (&ASource == &ADestination) {
    // One stream for both: translate it in place rather than overtake the reading.
    int64_t pos = ASource.Position();
    ASource.SetPosition(0);
    rtl::Bytes data;
    uint8_t chunk[8192];
    for (int64_t n; (n = ASource.Read(chunk, sizeof(chunk))) > 0;) data.insert(data.end(), chunk, chunk + n);
    data = TranslateBytes(ACharSet, data, ATo);
    ASource.SetPosition(0);
    ASource.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    ASource.SetPosition(pos);
    return;
  }
  int64_t sourcePos = ASource.Position();
  int64_t destPos = ADestination.Position();
  ASource.SetPosition(0);
  ADestination.SetPosition(0);
  uint8_t buf[8192];
  for (;;) {
    int64_t n = ASource.Read(buf, sizeof(buf));
    if (n <= 0) break;
    if (table) {
      const uint8_t* map = ATo ? table->ToTable : table->FromTable;
      for (int64_t i = 0; i < n; ++i) buf[i] = map[buf[i]];
    }
    ADestination.WriteBuffer(buf, n);
  }
  ASource.SetPosition(sourcePos);
  ADestination.SetPosition(destPos);
}

// The library's lenient UTF-8 decoder over code units of any width; positions at or past the
// end read as 0, so nothing beyond the input is ever touched.
template <typename Unit>
rtl::String DecodeUtf8(const Unit* src, size_t count) {
  // Never more characters than units: write into a buffer of that size, then cut it.
  rtl::String out(count, u'\0');
  size_t o = 0;
  auto at = [&](size_t i) -> uint32_t { return i < count ? static_cast<uint32_t>(src[i]) : 0u; };
  auto isCont = [](uint32_t c) { return c >= 0x80 && c <= 0xBF; };
  // A bad continuation: one character for the lead and the offending unit together.
  auto bad = [](uint32_t c) { return c == 0x20 ? u' ' : u'\u20AC'; };
  auto put = [&](char16_t ch) { out[o++] = ch; };
  size_t i = 0;
  while (i < count) {
    uint32_t c = at(i);
    if (c < 0x80) {
      put(static_cast<char16_t>(c));
      i += 1;
      continue;
    }
    uint32_t c2 = at(i + 1);
    if (!isCont(c2)) {
      put(bad(c2));
      i += 2;
      continue;
    }
    if (c & 0x20) {
      uint32_t c3 = at(i + 2);
      if (!isCont(c3)) {
        put(bad(c3));
        i += 3;
        continue;
      }
      put(static_cast<char16_t>(((c & 0x0F) << 12) | ((c2 & 0x3F) << 6) | (c3 & 0x3F)));
      i += 3;
    } else {
      put(static_cast<char16_t>(((c & 0x1F) << 6) | (c2 & 0x3F)));
      i += 2;
    }
  }
  out.resize(o);
  return out;
}

}  // namespace

const TclCharSetTable* FindFallbackCharSet(std::u16string_view ACharSet) {
  for (const TclCharSetTable& t : FallbackCharSets)
    if (rtl::SameText(t.Name, ACharSet)) return &t;
  return nullptr;
}

int TclTranslator::GetByteCount(std::u16string_view AText, std::u16string_view ACharSet) {
  try {
    return CachedEncoding(ACharSet).GetByteCount(AText);
  } catch (const rtl::EEncodingError&) {
    return static_cast<int>(FallbackBytes(AText, ACharSet).size());
  }
}

rtl::Bytes TclTranslator::GetBytes(std::u16string_view AText, std::u16string_view ACharSet) {
  try {
    return CachedEncoding(ACharSet).GetBytes(AText);
  } catch (const rtl::EEncodingError&) {
    return FallbackBytes(AText, ACharSet);
  }
}

int TclTranslator::GetBytes(std::u16string_view AText, uint8_t* ABytes, int AByteCount,
                            std::u16string_view ACharSet) {
  if (!ABytes || AByteCount <= 0) return 0;
  try {
    return CachedEncoding(ACharSet).GetBytes(AText, ABytes, AByteCount);
  } catch (const rtl::EEncodingError&) {
    rtl::Bytes b = FallbackBytes(AText, ACharSet);
    size_t n = std::min(b.size(), static_cast<size_t>(AByteCount));
    if (n) std::memcpy(ABytes, b.data(), n);
    return static_cast<int>(n);
  }
}

rtl::String TclTranslator::GetString(const uint8_t* ABytes, int ACount, std::u16string_view ACharSet) {
  if (ACount <= 0 || !ABytes) return rtl::String();
  size_t count = static_cast<size_t>(ACount);
  // One terminating zero byte, not more.
  if (ABytes[count - 1] == 0) --count;
  try {
    return CachedEncoding(ACharSet).GetString(ABytes, count);
  } catch (const rtl::EEncodingError&) {
    return FallbackString(ABytes, count, ACharSet);
  }
}

rtl::String TclTranslator::GetString(const rtl::Bytes& ABytes, int AIndex, int ACount, std::u16string_view ACharSet) {
  if (ACount <= 0) return rtl::String();
  if (AIndex < 0 || static_cast<size_t>(AIndex) > ABytes.size() ||
      static_cast<size_t>(ACount) > ABytes.size() - static_cast<size_t>(AIndex))
    throw rtl::EConvertError(rtl::Format(u"Byte range %d..%d lies outside the %d bytes given",
                                         {AIndex, static_cast<int64_t>(AIndex) + ACount - 1,
                                          static_cast<int64_t>(ABytes.size())}));
  return GetString(ABytes.data() + AIndex, ACount, ACharSet);
}

rtl::String TclTranslator::GetString(const rtl::Bytes& ABytes, std::u16string_view ACharSet) {
  if (ABytes.size() > 0x7FFFFFFF) throw rtl::EConvertError(u"Byte array too large to convert");
  return GetString(ABytes.data(), static_cast<int>(ABytes.size()), ACharSet);
}

void TclTranslator::TranslateTo(std::u16string_view ACharSet, rtl::TStream& ASource, rtl::TStream& ADestination) {
  TranslateStreams(ACharSet, ASource, ADestination, true);
}

void TclTranslator::TranslateFrom(std::u16string_view ACharSet, rtl::TStream& ASource, rtl::TStream& ADestination) {
  TranslateStreams(ACharSet, ASource, ADestination, false);
}

rtl::Bytes TclTranslator::TranslateTo(std::u16string_view ACharSet, const rtl::Bytes& ASource) {
  return TranslateBytes(ACharSet, ASource, true);
}

rtl::Bytes TclTranslator::TranslateFrom(std::u16string_view ACharSet, const rtl::Bytes& ASource) {
  return TranslateBytes(ACharSet, ASource, false);
}

rtl::String TclTranslator::TranslateTo(std::u16string_view ACharSet, std::u16string_view ASource) {
  return BytesToByteString(TranslateBytes(ACharSet, ByteStringToBytes(ASource), true));
}

rtl::String TclTranslator::TranslateFrom(std::u16string_view ACharSet, std::u16string_view ASource) {
  return BytesToByteString(TranslateBytes(ACharSet, ByteStringToBytes(ASource), false));
}

rtl::Bytes TclTranslator::TranslateToUtf8Bytes(std::u16string_view ASource) {
  rtl::Bytes out;
  out.reserve(ASource.size());
  for (char16_t c : ASource) {
    if (c <= 0x7F) {
      out.push_back(static_cast<uint8_t>(c));
    } else if (c <= 0x7FF) {
      out.push_back(static_cast<uint8_t>(0xC0 | (c >> 6)));
      out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    } else {
      // Surrogate halves too: each its own three-byte sequence.
      out.push_back(static_cast<uint8_t>(0xE0 | (c >> 12)));
      out.push_back(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

rtl::String TclTranslator::TranslateToUtf8(std::u16string_view ASource) {
  return BytesToByteString(TranslateToUtf8Bytes(ASource));
}

rtl::String TclTranslator::TranslateFromUtf8(const uint8_t* ASource, size_t ACount) {
  if (!ASource) return rtl::String();
  return DecodeUtf8(ASource, ACount);
}

rtl::String TclTranslator::TranslateFromUtf8(std::u16string_view ASource) {
  return DecodeUtf8(ASource.data(), ASource.size());
}

}  // namespace netlib
