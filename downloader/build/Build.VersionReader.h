// Reads a TVersionInfo from an executable's version resource and prints a held version.
#pragma once

#include "downloader/build/Build.Types.h"
#include "rtl/IniFiles.h"

namespace downloader {

class TVersionReader {
 public:
  // Holds the empty release 0.0.0.0 with the fixed origin.
  TVersionReader();
  virtual ~TVersionReader() = default;

  virtual void InitRevisionInfo();
  virtual void SetInfo(const TVersionInfo& Value);
  // The settings consulted for "ExtendedInfo" in section "Program"; none here.
  virtual const rtl::TMemIniFile* GetSettings();
  virtual rtl::String ToString();
  // The long form, whatever the label and the setting say.
  rtl::String ToExtString();
  TVersionInfo GetInfo() const { return _info; }

  // "TVERSION" of string table "040904E4" when present, else the product version of the fixed
  // part. Raises rtl::EResNotFound "No version info resource attached to file !" when the file
  // has no readable version block, and passes the record parser's exceptions on.
  static TVersionInfo GetVersionFromFile(const rtl::String& aFileName);

  // The repository identifier InitRevisionInfo sets.
  static constexpr const char16_t* RepoUUID = u"7c3e9f52-1b84-4d6a-a0c5-92e7f1d34b68";

 private:
  rtl::String Print(bool Extended);
  bool ExtendedInfoSetting();

  TVersionInfo _info;
  bool _fallbackMode = false;
  bool _settingsLoaded = false;
  bool _extendedInfoSetting = false;
};

}  // namespace downloader
