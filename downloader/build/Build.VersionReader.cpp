#include "downloader/build/Build.VersionReader.h"

#include <cstring>

#include "platform/VersionInfo.h"
#include "rtl/Classes.h"
#include "rtl/Exception.h"

namespace downloader {

namespace {

constexpr size_t kFixedFileInfoSize = 52;  // VS_FIXEDFILEINFO

[[noreturn]] void NoVersionInfo() {
  throw rtl::EResNotFound(u"No version info resource attached to file !");
}

}  // namespace

TVersionReader::TVersionReader() {
  _info.Init();
  TVersionReader::InitRevisionInfo();
}

void TVersionReader::InitRevisionInfo() {
  _info.RevisionInfo.RepoUUID = RepoUUID;
  _info.RevisionInfo.Branch = u"Trunk";
}

void TVersionReader::SetInfo(const TVersionInfo& Value) { _info = Value; }

const rtl::TMemIniFile* TVersionReader::GetSettings() { return nullptr; }

rtl::String TVersionReader::ToString() { return Print(false); }

rtl::String TVersionReader::ToExtString() { return Print(true); }

bool TVersionReader::ExtendedInfoSetting() {
  const rtl::TMemIniFile* settings = GetSettings();
  if (settings != nullptr && !_settingsLoaded) {
    _settingsLoaded = true;
    // The runtime's ReadBool: an integer, non-zero is true; anything else keeps the default.
    rtl::String v = settings->ReadString(u"Program", u"ExtendedInfo", rtl::String());
    _extendedInfoSetting = rtl::StrToIntDef(v, 0) != 0;
  }
  return _extendedInfoSetting;
}

rtl::String TVersionReader::Print(bool Extended) {
  if (_fallbackMode) return _info.ToString(bnfStandard);
  // The setting is consulted before the label, so it is loaded on the first print.
  bool longForm = Extended || ExtendedInfoSetting() ||
                  (_info.BuildLabel != blRelease && _info.BuildLabel != blPatch);
  return _info.ToString(longForm ? bnfKorvelLong : bnfStandard);
}

TVersionInfo TVersionReader::GetVersionFromFile(const rtl::String& aFileName) {
  uint32_t handle = 0;
  uint32_t size = platform::GetFileVersionInfoSizeW(aFileName, &handle);
  if (size == 0) NoVersionInfo();
  rtl::Bytes buffer(size);
  if (!platform::GetFileVersionInfoW(aFileName, handle, size, buffer.data())) NoVersionInfo();

  const void* p = nullptr;
  uint32_t len = 0;
  if (!platform::VerQueryValueW(buffer.data(), u"\\", &p, &len) || len != kFixedFileInfoSize) NoVersionInfo();
  uint8_t fixed[kFixedFileInfoSize];
  std::memcpy(fixed, p, sizeof fixed);

  TVersionInfo result;
  if (platform::VerQueryValueW(buffer.data(), u"\\StringFileInfo\\040904E4\\TVERSION", &p, &len)) {
    // The text ends at its zero or at the end of the value, whichever comes first, and never
    // beyond the buffer.
    const auto* chars = static_cast<const uint8_t*>(p);
    size_t avail = (buffer.data() + buffer.size() - chars) / 2;
    size_t n = std::min<size_t>(len, avail);
    rtl::String text;
    for (size_t i = 0; i < n; ++i) {
      char16_t c = static_cast<char16_t>(chars[2 * i] | (chars[2 * i + 1] << 8));
      if (c == 0) break;
      text.push_back(c);
    }
    rtl::TStringList fields;
    fields.Delimiter = u',';
    fields.SetDelimitedText(text);
    if (fields.Count() != 2)
      throw rtl::Exception(rtl::Format(u"Wrong TVERSION format: '%s'", {text}));
    result.Create(fields[0]);
    result.BuildLabel = static_cast<TBuildLabel>(rtl::StrToInt(fields[1]) & 0xFF);
    return result;
  }

  auto dword = [&](size_t at) {
    return static_cast<uint32_t>(fixed[at] | (fixed[at + 1] << 8) | (fixed[at + 2] << 16)) |
           (static_cast<uint32_t>(fixed[at + 3]) << 24);
  };
  uint32_t productMS = dword(16), productLS = dword(20);
  result.Init();
  result.Major = static_cast<int32_t>(productMS >> 16);
  result.Minor = static_cast<int32_t>(productMS & 0xFFFF);
  result.Release = static_cast<int32_t>(productLS >> 16);
  result.Build = static_cast<int32_t>(productLS & 0xFFFF);
  return result;
}

}  // namespace downloader
