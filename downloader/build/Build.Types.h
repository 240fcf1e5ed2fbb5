// The version record: four dotted numbers, a revision, the build's origin and its label, with
// the integer build number the version gate compares.
#pragma once

#include <cstdint>
#include <string_view>

#include "rtl/SysUtils.h"

namespace downloader {

enum TBuildLabel : uint8_t { blAlpha, blPreRelease, blRelease, blPrePatch, blPatch, blUnknown };

enum TBuildNumberFormat { bnfNone, bnfStandard, bnfStandardLong, bnfKorvel, bnfKorvelLong, bnfKorvel6 };

// "Alpha", "Prerelease", "Release", "Prepatch", "Patch"; "?" for blUnknown and for any value
// outside the enumeration.
rtl::String BuildLabelText(TBuildLabel label);

struct TRevisionInfo {
  rtl::String RepoUUID;
  rtl::String Branch;
};

struct TVersionInfo {
  int32_t Major = 0;
  int32_t Minor = 0;
  int32_t Release = 0;
  int32_t Build = 0;
  uint32_t Revision = 0;
  TRevisionInfo RevisionInfo;
  TBuildLabel BuildLabel = blAlpha;  // zero, as in a new record

  TVersionInfo() = default;
  // Parses "Major.Minor.Release.Build[.Revision]". Raises rtl::Exception "Wrong build number
  // format!" for fewer than four parts and rtl::EConvertError for a part that is no integer.
  explicit TVersionInfo(std::u16string_view aBuildNumber) { Create(aBuildNumber); }
  // From a build number: the last two digits are Build, the two before them Release, the digit
  // before those Minor and what remains Major (so 1001820 gives 10.0.18.20); the inverse of
  // the build number for every Minor below 10. Raises rtl::EConvertError for a negative number.
  explicit TVersionInfo(int32_t aBuildNumber);

  // The parse above into this record; on an error the record may be partly filled.
  void Create(std::u16string_view aBuildNumber);
  void Init();
  rtl::String ToString(TBuildNumberFormat aFormat) const;
  // The build number: the bnfNone text as a signed 32-bit integer; rtl::EConvertError when
  // it does not fit.
  int32_t BuildNumber() const;
  explicit operator int32_t() const { return BuildNumber(); }

  // Whether a is newer than b, by labels and build numbers. Raises rtl::EConvertError when
  // either build number does not fit.
  static bool GreaterThan(const TVersionInfo& a, const TVersionInfo& b);
  // The rule for an alpha x against y; x must be an alpha (rtl::EAssertionFailed otherwise).
  static bool AlphaNewer(const TVersionInfo& x, const TVersionInfo& y);
};

// Greater-than is the rule above; less-than is the same rule with the arguments swapped.
// Equality compares the version itself (the four numbers, the revision and the label) and not
// the build's origin; >= and <= are "greater (less) or equal", so two versions the rule cannot
// order (a release and a pre-release of one build number, or anything unknown) are neither.
inline bool operator>(const TVersionInfo& a, const TVersionInfo& b) { return TVersionInfo::GreaterThan(a, b); }
inline bool operator<(const TVersionInfo& a, const TVersionInfo& b) { return TVersionInfo::GreaterThan(b, a); }
bool operator==(const TVersionInfo& a, const TVersionInfo& b);
inline bool operator!=(const TVersionInfo& a, const TVersionInfo& b) { return !(a == b); }
inline bool operator>=(const TVersionInfo& a, const TVersionInfo& b) { return a == b || a > b; }
inline bool operator<=(const TVersionInfo& a, const TVersionInfo& b) { return a == b || a < b; }

}  // namespace downloader
