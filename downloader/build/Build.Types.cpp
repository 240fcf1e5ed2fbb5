#include "downloader/build/Build.Types.h"

#include "rtl/Classes.h"
#include "rtl/Exception.h"

namespace downloader {

namespace {

// Decimal text with "0" in front of a number below 10.
rtl::String TwoDigits(int32_t v) {
  rtl::String s = rtl::IntToStr(v);
  return v < 10 ? u"0" + s : s;
}

bool Released(TBuildLabel l) { return l >= blPreRelease && l <= blPatch; }

}  // namespace

rtl::String BuildLabelText(TBuildLabel label) {
  switch (label) {
    case blAlpha: return u"Alpha";
    case blPreRelease: return u"Prerelease";
    case blRelease: return u"Release";
    case blPrePatch: return u"Prepatch";
    case blPatch: return u"Patch";
    default: return u"?";  // blUnknown and any stored value beyond it
  }
}

TVersionInfo::TVersionInfo(int32_t aBuildNumber) {
  if (aBuildNumber < 0)
    throw rtl::EConvertError(rtl::Format(u"'%d' is not a valid build number", {aBuildNumber}));
  Build = aBuildNumber % 100;
  Release = aBuildNumber / 100 % 100;
  Minor = aBuildNumber / 10000 % 10;
  Major = aBuildNumber / 100000;
  Revision = 0;
  BuildLabel = Build != 0 ? blPatch : blRelease;
}

void TVersionInfo::Create(std::u16string_view aBuildNumber) {
  rtl::TStringList parts;
  parts.Delimiter = u'.';
  parts.SetDelimitedText(aBuildNumber);
  if (parts.Count() < 4) throw rtl::Exception(u"Wrong build number format!");
  Major = rtl::StrToInt(parts[0]);
  Minor = rtl::StrToInt(parts[1]);
  Release = rtl::StrToInt(parts[2]);
  Build = rtl::StrToInt(parts[3]);
  Revision = parts.Count() == 5 ? static_cast<uint32_t>(rtl::StrToInt(parts[4])) : 0;
  BuildLabel = Build != 0 ? blPatch : blRelease;
}

void TVersionInfo::Init() {
  Major = Minor = Release = Build = 0;
  Revision = 0;
  BuildLabel = blRelease;
}

rtl::String TVersionInfo::ToString(TBuildNumberFormat aFormat) const {
  using rtl::IntToStr;
  rtl::String standard = IntToStr(Major) + u"." + IntToStr(Minor) + u"." + IntToStr(Release) + u"." + IntToStr(Build);
  switch (aFormat) {
    case bnfNone:
    case bnfKorvel6:
      return IntToStr(Major) + IntToStr(Minor) + TwoDigits(Release) + TwoDigits(Build);
    case bnfStandard:
      return standard;
    case bnfStandardLong:
      return standard + u"." + rtl::UIntToStr(Revision);
    case bnfKorvel:
      return IntToStr(Major) + IntToStr(Minor) + TwoDigits(Release) + u"." + TwoDigits(Build);
    case bnfKorvelLong: {
      rtl::String s = standard + u" rev. " + rtl::UIntToStr(Revision);
      if (BuildLabel != blRelease && BuildLabel != blPatch) s = BuildLabelText(BuildLabel) + u" " + s;
      return s;
    }
  }
  return rtl::String();
}

int32_t TVersionInfo::BuildNumber() const { return rtl::StrToInt(ToString(bnfNone)); }

bool TVersionInfo::AlphaNewer(const TVersionInfo& x, const TVersionInfo& y) {
  rtl::Assert(x.BuildLabel == blAlpha,
              rtl::Format(u"%s (%s, line %d)", {u"First argument must be Alpha", u"Build.Types.cpp", __LINE__}));
  if (x.BuildNumber() > y.BuildNumber()) return true;
  return x.Major == y.Major && x.Minor == y.Minor && x.Release == y.Release && x.Revision > y.Revision;
}

bool TVersionInfo::GreaterThan(const TVersionInfo& a, const TVersionInfo& b) {
  // Both numbers first: a number out of range raises whatever the labels are.
  int32_t na = a.BuildNumber();
  int32_t nb = b.BuildNumber();
  if (Released(a.BuildLabel) && Released(b.BuildLabel)) return na > nb;
  if (a.BuildLabel == blAlpha && Released(b.BuildLabel)) return AlphaNewer(a, b);
  if (Released(a.BuildLabel) && b.BuildLabel == blAlpha) return !AlphaNewer(b, a);
  if (a.BuildLabel == blAlpha && b.BuildLabel == blAlpha) return AlphaNewer(a, b);
  return false;  // blUnknown, or a stored value outside the enumeration, on either side
}

bool operator==(const TVersionInfo& a, const TVersionInfo& b) {
  return a.Major == b.Major && a.Minor == b.Minor && a.Release == b.Release && a.Build == b.Build &&
         a.Revision == b.Revision && a.BuildLabel == b.BuildLabel;
}

}  // namespace downloader
