// The version record: parsing, formats, build numbers and the label-aware order.
#include <gtest/gtest.h>

#include "downloader/build/Build.Types.h"
#include "rtl/Exception.h"

using namespace downloader;
using rtl::String;

namespace {

TVersionInfo V(const char16_t* text, TBuildLabel label, uint32_t revision = 0) {
  TVersionInfo v(text);
  v.BuildLabel = label;
  v.Revision = revision;
  return v;
}

struct ParseCase {
  const char16_t* text;
  int32_t major, minor, release, build;
  uint32_t revision;
  TBuildLabel label;
};

TEST(VersionInfoParse, ValidTexts) {
  const ParseCase cases[] = {
      {u"10.0.0.1", 10, 0, 0, 1, 0, blPatch},
      {u"10.0.18.0", 10, 0, 18, 0, 0, blRelease},
      {u"10.0.18.20.4567", 10, 0, 18, 20, 4567, blPatch},
      {u"10.0.18.20.4567.1", 10, 0, 18, 20, 0, blPatch},  // six parts: no revision
      {u"10.0.18.20.x.1", 10, 0, 18, 20, 0, blPatch},     // parts past the fifth are not read
      {u"  1.2.3.4", 1, 2, 3, 4, 0, blPatch},             // leading blanks skipped
      {u"1 2 3 4", 1, 2, 3, 4, 0, blPatch},               // blanks separate parts too
      {u"\"1\".2.3.0", 1, 2, 3, 0, 0, blRelease},         // a quoted part
      {u"-1.0.0.0", -1, 0, 0, 0, 0, blRelease},
      {u"1.0.0.0.-1", 1, 0, 0, 0, 4294967295u, blRelease},  // the revision is stored unsigned
      {u"0.0.0.0", 0, 0, 0, 0, 0, blRelease},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(rtl::U8(c.text));
    TVersionInfo v(c.text);
    EXPECT_EQ(v.Major, c.major);
    EXPECT_EQ(v.Minor, c.minor);
    EXPECT_EQ(v.Release, c.release);
    EXPECT_EQ(v.Build, c.build);
    EXPECT_EQ(v.Revision, c.revision);
    EXPECT_EQ(v.BuildLabel, c.label);
  }
}

TEST(VersionInfoParse, BadTexts) {
  struct Case {
    const char16_t* text;
    const char* className;
    const char16_t* message;
  };
  const Case cases[] = {
      {u"10.0.18", "Exception", u"Wrong build number format!"},
      {u"", "Exception", u"Wrong build number format!"},
      {u"10", "Exception", u"Wrong build number format!"},
      {u"10.0.x.1", "EConvertError", u"'x' is not a valid integer value"},
      {u"10.0.0.1.", "EConvertError", u"'' is not a valid integer value"},  // the empty fifth part
      {u"10.0.0.99999999999", "EConvertError", u"'99999999999' is not a valid integer value"},
      {u"10..0.1", "EConvertError", u"'' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(rtl::U8(c.text));
    try {
      TVersionInfo v(c.text);
      ADD_FAILURE() << "no exception";
    } catch (const rtl::Exception& e) {
      EXPECT_STREQ(e.ClassName(), c.className);
      EXPECT_EQ(e.Message(), String(c.message));
    }
  }
}

TEST(VersionInfoParse, CreateKeepsRevisionInfoAndInitResets) {
  TVersionInfo v;
  v.RevisionInfo = {u"uuid", u"branch"};
  v.Create(u"1.2.3.4.5");
  EXPECT_EQ(v.RevisionInfo.RepoUUID, u"uuid");
  v.Init();
  EXPECT_EQ(v.Major + v.Minor + v.Release + v.Build, 0);
  EXPECT_EQ(v.Revision, 0u);
  EXPECT_EQ(v.BuildLabel, blRelease);
  EXPECT_EQ(v.RevisionInfo.Branch, u"branch");
}

TEST(VersionInfoFormat, AllFormats) {
  struct Case {
    TVersionInfo v;
    TBuildNumberFormat format;
    const char16_t* text;
  };
  const Case cases[] = {
      {V(u"10.0.18.20", blPatch, 4567), bnfNone, u"1001820"},
      {V(u"10.0.18.20", blPatch, 4567), bnfStandard, u"10.0.18.20"},
      {V(u"10.0.18.20", blPatch, 4567), bnfStandardLong, u"10.0.18.20.4567"},
      {V(u"10.0.18.20", blPatch, 4567), bnfKorvel, u"10018.20"},
      {V(u"10.0.18.20", blPatch, 4567), bnfKorvelLong, u"10.0.18.20 rev. 4567"},
      {V(u"10.0.18.20", blPatch, 4567), bnfKorvel6, u"1001820"},
      {V(u"10.0.18.20", blRelease, 4567), bnfKorvelLong, u"10.0.18.20 rev. 4567"},
      {V(u"10.0.18.20", blAlpha, 4567), bnfKorvelLong, u"Alpha 10.0.18.20 rev. 4567"},
      {V(u"10.0.18.20", blPreRelease, 1), bnfKorvelLong, u"Prerelease 10.0.18.20 rev. 1"},
      {V(u"10.0.18.20", blPrePatch, 0), bnfKorvelLong, u"Prepatch 10.0.18.20 rev. 0"},
      {V(u"10.0.18.20", blUnknown, 0), bnfKorvelLong, u"? 10.0.18.20 rev. 0"},
      // A stored label beyond the enumeration reads as unknown, never as a text out of range.
      {V(u"10.0.18.20", static_cast<TBuildLabel>(7), 0), bnfKorvelLong, u"? 10.0.18.20 rev. 0"},
      {V(u"6.0.7.123", blPatch), bnfNone, u"6007123"},  // two-digit parts may be longer
      {V(u"6.0.7.5", blPatch), bnfKorvel, u"6007.05"},
      {V(u"1.0.0.0", blRelease, 4294967295u), bnfStandardLong, u"1.0.0.0.4294967295"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(rtl::U8(c.text));
    EXPECT_EQ(c.v.ToString(c.format), String(c.text));
  }
}

TEST(VersionInfoBuildNumber, Values) {
  struct Case {
    const char16_t* text;
    int32_t number;
  };
  const Case cases[] = {
      {u"10.0.0.1", 1000001}, {u"6.0.0.0", 600000}, {u"9.10.0.0", 9100000}, {u"9.9.99.99", 999999},
      {u"10.0.18.20", 1001820}, {u"21474.8.36.47", 2147483647},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(rtl::U8(c.text));
    EXPECT_EQ(static_cast<int32_t>(TVersionInfo(c.text)), c.number);
  }
  for (const char16_t* text : {u"100.100.100.100", u"21474.8.36.48", u"1.0.-5.0"}) {
    SCOPED_TRACE(rtl::U8(text));
    EXPECT_THROW((void)static_cast<int32_t>(TVersionInfo(text)), rtl::EConvertError);
  }
}

TEST(VersionInfoOrder, GreaterThanTable) {
  struct Case {
    TVersionInfo a, b;
    bool greater;
    const char* why;
  };
  const Case cases[] = {
      {V(u"10.0.0.2", blPatch), V(u"10.0.0.1", blPatch), true, "released: build numbers"},
      {V(u"10.0.0.1", blPatch), V(u"10.0.0.1", blPatch), false, "equal numbers"},
      {V(u"10.0.18.20", blRelease), V(u"10.0.18.20", blPreRelease, 99), false, "labels play no part"},
      {V(u"10.0.18.20", blPreRelease, 99), V(u"10.0.18.20", blRelease), false, "nor revisions"},
      {V(u"9.10.0.0", blRelease), V(u"10.0.0.0", blRelease), true, "digits, not dotted parts"},
      {V(u"9.9.99.99", blPatch), V(u"10.0.0.1", blPatch), false, "999999 < 1000001"},
      {V(u"10.0.0.0", blAlpha, 5), V(u"10.0.0.1", blPatch), true, "alpha: same M.m.R, higher revision"},
      {V(u"10.0.0.0", blAlpha, 0), V(u"10.0.0.1", blPatch), false, "alpha: lower, revision not higher"},
      {V(u"10.0.0.2", blAlpha, 0), V(u"10.0.0.1", blPatch), true, "alpha: higher build number"},
      {V(u"10.0.1.0", blAlpha, 9), V(u"10.0.0.1", blPatch, 0), true, "alpha: number 1000100 > 1000001"},
      {V(u"10.0.0.0", blAlpha, 9), V(u"10.0.1.0", blPatch, 0), false, "alpha: other release, lower"},
      {V(u"10.0.0.0", blRelease), V(u"10.0.0.0", blAlpha), true, "a release beats its equal alpha"},
      {V(u"10.0.0.0", blAlpha), V(u"10.0.0.0", blRelease), false, "the alpha does not beat it"},
      {V(u"10.0.0.1", blPatch, 0), V(u"10.0.0.0", blAlpha, 5), false, "released vs newer alpha"},
      {V(u"10.0.0.0", blAlpha, 6), V(u"10.0.0.0", blAlpha, 5), true, "alphas: revision"},
      {V(u"10.0.0.0", blAlpha, 5), V(u"10.0.0.0", blAlpha, 5), false, "alphas: equal"},
      {V(u"99.0.0.0", blUnknown), V(u"1.0.0.0", blPatch), false, "unknown never greater"},
      {V(u"99.0.0.0", blPatch), V(u"1.0.0.0", blUnknown), false, "nor greater than unknown"},
      {V(u"99.0.0.0", static_cast<TBuildLabel>(7)), V(u"1.0.0.0", blPatch), false, "outside the enumeration"},
      {V(u"99.0.0.0", blAlpha), V(u"1.0.0.0", static_cast<TBuildLabel>(200)), false, "outside, right side"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.a > c.b, c.greater);
    EXPECT_EQ(TVersionInfo::GreaterThan(c.a, c.b), c.greater);
  }
}

TEST(VersionInfoOrder, ConversionErrorsRaiseWhateverTheLabels) {
  TVersionInfo big = V(u"100.100.100.100", blUnknown);
  TVersionInfo small = V(u"1.0.0.0", blPatch);
  EXPECT_THROW((void)(big > small), rtl::EConvertError);
  EXPECT_THROW((void)(small > big), rtl::EConvertError);
}

TEST(VersionInfoOrder, AlphaRuleAssertsItsFirstArgument) {
  try {
    TVersionInfo::AlphaNewer(V(u"1.0.0.0", blRelease), V(u"1.0.0.0", blAlpha));
    ADD_FAILURE() << "no assertion";
  } catch (const rtl::EAssertionFailed& e) {
    EXPECT_EQ(rtl::Copy(e.Message(), 1, 28), u"First argument must be Alpha");
    EXPECT_NE(rtl::Pos(u"Build.Types", e.Message()), 0);
  }
  EXPECT_TRUE(TVersionInfo::AlphaNewer(V(u"1.0.0.1", blAlpha), V(u"1.0.0.0", blRelease)));
}

TEST(VersionInfoOrder, OtherOperators) {
  TVersionInfo rel = V(u"10.0.18.20", blRelease);
  TVersionInfo pre = V(u"10.0.18.20", blPreRelease, 4567);
  TVersionInfo older = V(u"10.0.0.1", blPatch);
  EXPECT_TRUE(older < rel);
  EXPECT_FALSE(rel < older);
  EXPECT_TRUE(rel >= older);
  EXPECT_TRUE(older <= rel);
  EXPECT_TRUE(rel >= rel);
  EXPECT_TRUE(rel == V(u"10.0.18.20", blRelease));
  TVersionInfo otherOrigin = rel;
  otherOrigin.RevisionInfo.Branch = u"Feature";
  EXPECT_TRUE(rel == otherOrigin);  // the origin is not part of the version
  EXPECT_TRUE(rel != pre);
  // The rule cannot order these two: neither way is "or equal" true.
  EXPECT_FALSE(rel >= pre);
  EXPECT_FALSE(pre >= rel);
  EXPECT_FALSE(rel <= pre);
}

TEST(VersionInfoFromNumber, InverseOfTheBuildNumber) {
  struct Case {
    int32_t number;
    const char16_t* standard;
    TBuildLabel label;
  };
  const Case cases[] = {
      {1001820, u"10.0.18.20", blPatch}, {600000, u"6.0.0.0", blRelease}, {1000001, u"10.0.0.1", blPatch},
      {0, u"0.0.0.0", blRelease}, {2147483647, u"21474.8.36.47", blPatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    TVersionInfo v(c.number);
    EXPECT_EQ(v.ToString(bnfStandard), String(c.standard));
    EXPECT_EQ(v.BuildLabel, c.label);
    EXPECT_EQ(v.BuildNumber(), c.number);
  }
  EXPECT_THROW(TVersionInfo(-1), rtl::EConvertError);
}

TEST(VersionInfoLabels, Texts) {
  const std::pair<int, const char16_t*> cases[] = {{0, u"Alpha"},   {1, u"Prerelease"}, {2, u"Release"},
                                                   {3, u"Prepatch"}, {4, u"Patch"},      {5, u"?"},
                                                   {6, u"?"},        {255, u"?"}};
  for (auto [value, text] : cases) EXPECT_EQ(BuildLabelText(static_cast<TBuildLabel>(value)), String(text));
}

}  // namespace
