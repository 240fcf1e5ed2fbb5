// Version blocks read from PE files made here by binutils for mingw-w64 and from our own programs
// (ELF on Linux, PE on Windows), the three queries, the reader that turns them into a
// TVersionInfo, and the launcher's version gate.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "downloader/Utils.h"
#include "downloader/build/Build.VersionReader.h"
#include "platform/LastError.h"
#include "platform/VersionInfo.h"
#include "rtl/Exception.h"
#include "TestUtil.h"

using namespace downloader;
using krvtest::MakePe;
using krvtest::Table;
using krvtest::TTempDir;
using krvtest::VersionRc;
using rtl::String;

namespace {

const char16_t kNoVersionInfo[] = u"No version info resource attached to file !";

rtl::Bytes Block(const std::string& file) {
  uint32_t handle = 99;
  uint32_t size = platform::GetFileVersionInfoSizeW(rtl::S(file), &handle);
  EXPECT_EQ(handle, 0u);
  rtl::Bytes block(size);
  if (size) {
    EXPECT_TRUE(platform::GetFileVersionInfoW(rtl::S(file), handle, size, block.data()));
  }
  // The block's own length: Windows asks for a larger buffer than the block.
  if (block.size() >= 2) block.resize(std::min<size_t>(block.size(), block[0] | (block[1] << 8)));
  return block;
}

String Text(const rtl::Bytes& block, std::u16string_view path) {
  const void* p = nullptr;
  uint32_t len = 0;
  if (!platform::VerQueryValueW(block.data(), path, &p, &len)) return u"<none>";
  const auto* c = static_cast<const uint8_t*>(p);
  String s;
  for (uint32_t i = 0; i < len && (c[2 * i] | c[2 * i + 1]); ++i) s.push_back(static_cast<char16_t>(c[2 * i] | (c[2 * i + 1] << 8)));
  return s;
}

class PeFiles : public ::testing::Test {
 protected:
  TTempDir dir;
};

struct ReadCase {
  const char* name;
  std::string rc;
  bool pe32;
  const char16_t* standardLong;  // bnfStandardLong of the result
  int label;
};

TEST_F(PeFiles, GetVersionFromFileReadsTheResource) {
  const std::string other = Table("040904B0", "      VALUE \"TVERSION\", \"99.0.0.0.1,0\"\n");
  const ReadCase cases[] = {
      {"product_only64", VersionRc("10,0,18,20"), false, u"10.0.18.20.0", blRelease},
      {"product_only32", VersionRc("10,0,18,20"), true, u"10.0.18.20.0", blRelease},
      {"product_zero_build", VersionRc("10,0,18,0"), false, u"10.0.18.0.0", blRelease},
      {"prerelease", VersionRc("1,0,0,0", Table("040904E4", "      VALUE \"TVERSION\", \"10.0.18.20.4567,1\"\n")),
       false, u"10.0.18.20.4567", blPreRelease},
      {"alpha", VersionRc("1,0,0,0", Table("040904E4", "      VALUE \"TVERSION\", \"10.0.18.20.4567,0\"\n")), true,
       u"10.0.18.20.4567", blAlpha},
      {"label7", VersionRc("1,0,0,0", Table("040904E4", "      VALUE \"TVERSION\", \"10.0.18.20,7\"\n")), false,
       u"10.0.18.20.0", 7},
      {"label258", VersionRc("1,0,0,0", Table("040904E4", "      VALUE \"TVERSION\", \"10.0.18.0, 258\"\n")), false,
       u"10.0.18.0.0", 2},
      {"other_table_only", VersionRc("10,0,18,20", other), false, u"10.0.18.20.0", blRelease},
      {"both_tables",
       VersionRc("1,0,0,0", other + Table("040904E4", "      VALUE \"TVERSION\", \"10.0.0.2,4\"\n")), false,
       u"10.0.0.2.0", blPatch},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string exe = MakePe(dir, c.name, c.rc, c.pe32);
    TVersionInfo v = TVersionReader::GetVersionFromFile(rtl::S(exe));
    EXPECT_EQ(v.ToString(bnfStandardLong), String(c.standardLong));
    EXPECT_EQ(static_cast<int>(v.BuildLabel), c.label);
    EXPECT_TRUE(v.RevisionInfo.RepoUUID.empty());
  }
}

TEST_F(PeFiles, BadTVersionValuesPassTheParserErrorsOn) {
  struct Case {
    const char* name;
    const char* value;
    const char* className;
    const char16_t* message;
  };
  const Case cases[] = {
      {"three_parts", "10.0.18,1", "Exception", u"Wrong build number format!"},
      {"bad_part", "10.0.x.1,1", "EConvertError", u"'x' is not a valid integer value"},
      {"bad_label", "10.0.18.20,x", "EConvertError", u"'x' is not a valid integer value"},
      {"three_fields", "10.0.18.20,1,2", "Exception", u"Wrong TVERSION format: '10.0.18.20,1,2'"},
      {"one_field", "10.0.18.20", "Exception", u"Wrong TVERSION format: '10.0.18.20'"},
      {"empty", "", "Exception", u"Wrong TVERSION format: ''"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string exe = MakePe(
        dir, c.name, VersionRc("10,0,18,20", Table("040904E4", std::string("      VALUE \"TVERSION\", \"") + c.value + "\"\n")));
    try {
      TVersionReader::GetVersionFromFile(rtl::S(exe));
      ADD_FAILURE() << "no exception";
    } catch (const rtl::Exception& e) {
      EXPECT_STREQ(e.ClassName(), c.className);
      EXPECT_EQ(e.Message(), String(c.message));
    }
  }
}

TEST_F(PeFiles, FilesWithoutAReadableBlock) {
  // A PE with resources but no version, one without any resource section, a text file, a
  // folder, a FIFO (must not wait for a writer) and a missing file.
  std::string noVersion = MakePe(dir, "rcdata", "1 RCDATA { \"hello\" }\n");
  ASSERT_TRUE(krvtest::Shell("printf '' | x86_64-w64-mingw32-as -o '" + (dir / "empty.o") +
                             "' && x86_64-w64-mingw32-ld -o '" + (dir / "bare.exe") + "' '" + (dir / "empty.o") +
                             "' 2>/dev/null"));
  krvtest::WriteFile(dir / "text.txt", "MZ but nothing else");
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
#endif
  struct Case {
    std::string file;
    uint32_t error;
  };
  const Case cases[] = {
      {noVersion, platform::ERROR_RESOURCE_TYPE_NOT_FOUND},
      {dir / "bare.exe", platform::ERROR_RESOURCE_TYPE_NOT_FOUND},
      {dir / "text.txt", platform::ERROR_BAD_EXE_FORMAT},
      {dir.Path().string(), platform::ERROR_ACCESS_DENIED},
      {dir / "fifo", platform::ERROR_ACCESS_DENIED},
      {dir / "missing.exe", platform::ERROR_FILE_NOT_FOUND},
      {dir / "missing/x.exe", platform::ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(platform::GetFileVersionInfoSizeW(rtl::S(c.file), nullptr), 0u);
#ifndef _WIN32
    // Windows answers with the system's own numbers (Wine: 1812 for a PE without resources,
    // where Windows answers 1813).
    EXPECT_EQ(platform::GetLastErrorValue(), c.error);
#endif
    try {
      TVersionReader::GetVersionFromFile(rtl::S(c.file));
      ADD_FAILURE() << "no exception";
    } catch (const rtl::EResNotFound& e) {
      EXPECT_EQ(e.Message(), String(kNoVersionInfo));
    }
  }
}

// Byte offset of the UTF-16 key "VS_VERSION_INFO" in a file.
size_t KeyOffset(const std::string& bytes) {
  std::string key;
  for (char c : std::string("VS_VERSION_INFO")) key += std::string{c, '\0'};
  return bytes.find(key);
}

TEST_F(PeFiles, BrokenResources) {
  std::string good = krvtest::ReadFile(MakePe(dir, "good", VersionRc("10,0,0,2")));
  size_t key = KeyOffset(good);
  ASSERT_NE(key, std::string::npos);
  size_t node = key - 6;
  struct Case {
    const char* name;
    std::string bytes;
  };
  auto patched = [&](size_t at, uint16_t v) {
    std::string b = good;
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
    return b;
  };
  const Case cases[] = {
      {"fixed part of 40 bytes", patched(node + 2, 40)},
      {"fixed part of 60 bytes", patched(node + 2, 60)},
      {"length beyond the resource", patched(node, 0xFFFF)},
      {"length below a header", patched(node, 4)},
      {"key without its zero", [&] {
         std::string b = patched(node, 20);  // the node ends inside its key
         return b;
       }()},
      {"cut inside the block", good.substr(0, key + 10)},
      {"cut inside the headers", good.substr(0, 100)},
      {"no PE header", patched(0x3C, 0x7FF0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = dir / "broken.exe";
    krvtest::WriteFile(file, c.bytes);
    try {
      TVersionReader::GetVersionFromFile(rtl::S(file));
      ADD_FAILURE() << "no exception";
    } catch (const rtl::EResNotFound& e) {
      EXPECT_EQ(e.Message(), String(kNoVersionInfo));
    }
  }
}

TEST_F(PeFiles, Queries) {
  std::string exe = MakePe(dir, "queries",
                           VersionRc("10,0,18,20",
                                     Table("040904E4", "      VALUE \"TVERSION\", \"10.0.18.20.4567,1\"\n"
                                                       "      VALUE \"Empty\", \"\"\n"
                                                       "      VALUE \"Name\", \"Čšž €\"\n"),
                                     "1,2,3,4"));
  rtl::Bytes block = Block(exe);
  ASSERT_FALSE(block.empty());
  const void* p;
  uint32_t len;
  ASSERT_TRUE(platform::VerQueryValueW(block.data(), u"\\", &p, &len));
  ASSERT_EQ(len, 52u);
  uint32_t fixed[13];
  std::memcpy(fixed, p, sizeof fixed);
  EXPECT_EQ(fixed[0], 0xFEEF04BDu);
  EXPECT_EQ(fixed[2], 0x00010002u);   // file version 1.2
  EXPECT_EQ(fixed[3], 0x00030004u);   // .3.4
  EXPECT_EQ(fixed[4], 0x000A0000u);   // product version 10.0
  EXPECT_EQ(fixed[5], 0x00120014u);   // .18.20
  EXPECT_EQ(Text(block, u"\\StringFileInfo\\040904E4\\TVERSION"), u"10.0.18.20.4567,1");
  EXPECT_EQ(Text(block, u"\\stringfileinfo\\040904e4\\tversion"), u"10.0.18.20.4567,1");
  EXPECT_EQ(Text(block, u"\\StringFileInfo\\040904E4\\Name"), u"Čšž €");
  EXPECT_EQ(Text(block, u"\\StringFileInfo\\040904E4\\Empty"), u"");
  EXPECT_EQ(Text(block, u"\\StringFileInfo\\040904E4\\Missing"), u"<none>");
  EXPECT_EQ(Text(block, u"\\StringFileInfo\\040904B0\\TVERSION"), u"<none>");
  EXPECT_EQ(Text(block, u"\\StringFileInfo\\040904E4\\TVERSION\\deeper"), u"<none>");
  ASSERT_TRUE(platform::VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &p, &len));
  ASSERT_EQ(len, 4u);
  const auto* t = static_cast<const uint8_t*>(p);
  EXPECT_EQ(t[0] | (t[1] << 8), 0x0409);
  EXPECT_EQ(t[2] | (t[3] << 8), 1252);
  // A buffer smaller than the block is refused rather than cut.
  rtl::Bytes small(block.size() - 1);
  EXPECT_FALSE(platform::GetFileVersionInfoW(rtl::S(exe), 0, static_cast<uint32_t>(small.size()), small.data()));
  EXPECT_EQ(platform::GetLastErrorValue(), platform::ERROR_INSUFFICIENT_BUFFER);
}

// The data of the RT_VERSION resource in a .res file (the format windres -O res writes).
rtl::Bytes VersionFromRes(const std::string& res) {
  size_t p = 0;
  auto u32 = [&](size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(res[at]) | static_cast<uint8_t>(res[at + 1]) << 8 |
                                                          static_cast<uint8_t>(res[at + 2]) << 16 |
                                                          static_cast<uint32_t>(static_cast<uint8_t>(res[at + 3])) << 24); };
  while (p + 16 <= res.size()) {
    uint32_t dataSize = u32(p), headerSize = u32(p + 4);
    // TYPE is 0xFFFF followed by the number for numeric types.
    bool version = static_cast<uint8_t>(res[p + 8]) == 0xFF && static_cast<uint8_t>(res[p + 9]) == 0xFF &&
                   static_cast<uint8_t>(res[p + 10]) == 16 && res[p + 11] == 0;
    if (version && dataSize > 0) return rtl::Bytes(res.begin() + p + headerSize, res.begin() + p + headerSize + dataSize);
    p += (headerSize + dataSize + 3) & ~3u;
  }
  return {};
}

TEST(ElfVersionBlock, ReadsBackAsWindresWritesIt) {
  TTempDir dir;
  // The same values as krv_test_product_10002 in tests/downloader/CMakeLists.txt.
  const std::string rc =
      "1 VERSIONINFO\nFILEVERSION 1,2,3,4\nPRODUCTVERSION 10,0,0,2\nFILEFLAGSMASK 0x3F\nFILEFLAGS 0\n"
      "FILEOS 0x40004\nFILETYPE 1\nFILESUBTYPE 0\nBEGIN\n"
      "  BLOCK \"StringFileInfo\"\n  BEGIN\n"
      "    BLOCK \"040904E4\"\n    BEGIN\n"
      "      VALUE \"CompanyName\", \"Korvel\"\n"
      "      VALUE \"FileDescription\", \"Korvel test product – Čšž €\"\n"
      "      VALUE \"ProductVersion\", \"10.0.0.2\"\n"
      "      VALUE \"Empty\", \"\"\n"
      "    END\n"
      "    BLOCK \"042404E2\"\n    BEGIN\n"
      "      VALUE \"Comments\", \"Preizkus 😀\"\n"
      "    END\n  END\n"
      "  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", 0x0409, 1252, 0x0424, 1250\n  END\nEND\n";
  krvtest::WriteFile(dir / "p.rc", rc);
  ASSERT_TRUE(krvtest::Shell("x86_64-w64-mingw32-windres --preprocessor=cpp -c 65001 -O res -i '" + (dir / "p.rc") +
                             "' -o '" + (dir / "p.res") + "'"));
  rtl::Bytes expected = VersionFromRes(krvtest::ReadFile(dir / "p.res"));
  ASSERT_FALSE(expected.empty());
  rtl::Bytes ours = Block(KRV_PRODUCT_10002);
  EXPECT_EQ(ours, expected);
  EXPECT_EQ(Text(ours, u"\\StringFileInfo\\042404E2\\Comments"), u"Preizkus 😀");
}

TEST(ElfVersionBlock, OurProgramsCarryTheirVersions) {
  TVersionInfo d = TVersionReader::GetVersionFromFile(rtl::S(KRV_DOWNLOADER_EXE));
  EXPECT_EQ(d.ToString(bnfStandardLong), u"1.0.0.0.0");
  EXPECT_EQ(d.BuildLabel, blRelease);
  rtl::Bytes block = Block(KRV_DOWNLOADER_EXE);
  EXPECT_EQ(Text(block, u"\\StringFileInfo\\040904E4\\TVERSION"), u"<none>");
  EXPECT_EQ(Text(block, u"\\StringFileInfo\\040904E4\\FileVersion"), u"1.0.0.0");
  const void* p;
  uint32_t len;
  ASSERT_TRUE(platform::VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &p, &len));
  ASSERT_EQ(len, 4u);
  EXPECT_EQ(std::memcmp(p, "\x09\x04\xE4\x04", 4), 0);

  EXPECT_EQ(TVersionReader::GetVersionFromFile(rtl::S(KRV_PRODUCT_10002)).ToString(bnfStandard), u"10.0.0.2");
  EXPECT_EQ(TVersionReader::GetVersionFromFile(rtl::S(KRV_PRODUCT_10001)).ToString(bnfStandard), u"10.0.0.1");
  EXPECT_THROW(TVersionReader::GetVersionFromFile(rtl::S(KRV_PRODUCT_NOVER)), rtl::EResNotFound);
}

// A reader whose settings source the test controls.
class TSettingsReader : public TVersionReader {
 public:
  const rtl::TMemIniFile* GetSettings() override {
    ++calls;
    return settings;
  }
  const rtl::TMemIniFile* settings = nullptr;
  int calls = 0;
};

rtl::TMemIniFile Ini(const char16_t* text) {
  rtl::TStringList lines;
  lines.SetText(text);
  return rtl::TMemIniFile(lines);
}

TEST(VersionReaderPrint, LabelsAndTheExtendedInfoSetting) {
  TVersionReader plain;
  EXPECT_EQ(plain.ToString(), u"0.0.0.0");
  EXPECT_EQ(plain.GetInfo().RevisionInfo.RepoUUID, String(TVersionReader::RepoUUID));
  EXPECT_EQ(plain.GetInfo().RevisionInfo.Branch, u"Trunk");
  EXPECT_EQ(String(TVersionReader::RepoUUID).size(), 36u);

  TVersionInfo release(u"10.0.18.20");
  release.BuildLabel = blRelease;
  TVersionInfo pre = release;
  pre.BuildLabel = blPreRelease;
  pre.Revision = 4567;

  struct Case {
    const char* name;
    TVersionInfo info;
    const char16_t* ini;  // nullptr: no settings source
    const char16_t* printed;
  };
  const Case cases[] = {
      {"release", release, nullptr, u"10.0.18.20"},
      {"prerelease", pre, nullptr, u"Prerelease 10.0.18.20 rev. 4567"},
      {"release, ExtendedInfo=1", release, u"[Program]\nExtendedInfo=1", u"10.0.18.20 rev. 0"},
      {"release, ExtendedInfo=0", release, u"[Program]\nExtendedInfo=0", u"10.0.18.20"},
      {"release, ExtendedInfo=true (not an integer)", release, u"[Program]\nExtendedInfo=true", u"10.0.18.20"},
      {"release, other section", release, u"[Other]\nExtendedInfo=1", u"10.0.18.20"},
      {"release, case", release, u"[program]\nextendedinfo=5", u"10.0.18.20 rev. 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSettingsReader r;
    rtl::TMemIniFile ini = c.ini ? Ini(c.ini) : rtl::TMemIniFile();
    if (c.ini) r.settings = &ini;
    r.SetInfo(c.info);
    EXPECT_EQ(r.ToString(), String(c.printed));
    // The setting is consulted before the label is looked at.
    EXPECT_EQ(r.calls, 1);
  }
}

TEST(VersionReaderPrint, TheSettingIsReadOnceAndOnlyFromASource) {
  TVersionInfo release(u"10.0.18.20");
  release.BuildLabel = blRelease;
  TSettingsReader r;
  r.SetInfo(release);
  EXPECT_EQ(r.ToString(), u"10.0.18.20");  // no source: false, and not marked as loaded
  rtl::TMemIniFile on = Ini(u"[Program]\nExtendedInfo=1");
  r.settings = &on;
  EXPECT_EQ(r.ToString(), u"10.0.18.20 rev. 0");  // read now
  rtl::TMemIniFile off = Ini(u"[Program]\nExtendedInfo=0");
  r.settings = &off;
  EXPECT_EQ(r.ToString(), u"10.0.18.20 rev. 0");  // remembered, not read again
  EXPECT_EQ(r.ToExtString(), u"10.0.18.20 rev. 0");
  TVersionReader plain;
  plain.SetInfo(release);
  EXPECT_EQ(plain.ToExtString(), u"10.0.18.20 rev. 0");
}

}  // namespace

namespace {

// A minimal ELF image: header, section-name table, the block as ".versioninfo" (or NOBITS), and
// three section headers, in either class and byte order; the count and the name-table index can
// be moved into section 0 as large files do.
struct TElfLayout {
  bool is64, big;
  bool extendedCount = false, extendedIndex = false, nobits = false;
  int64_t sizeDelta = 0;  // added to the section's size
};

rtl::Bytes MakeElf(const TElfLayout& s, const rtl::Bytes& block) {
  rtl::Bytes img(s.is64 ? 64 : 52, 0);
  auto put = [&](size_t at, uint64_t v, int n) {
    if (img.size() < at + n) img.resize(at + n, 0);
    for (int i = 0; i < n; ++i) img[at + (s.big ? n - 1 - i : i)] = static_cast<uint8_t>(v >> (8 * i));
  };
  const char names[] = "\0.shstrtab\0.versioninfo";
  size_t strOff = img.size();
  img.insert(img.end(), names, names + sizeof names);
  while (img.size() % 4) img.push_back(0);
  size_t blockOff = img.size();
  img.insert(img.end(), block.begin(), block.end());
  while (img.size() % 8) img.push_back(0);
  size_t shoff = img.size();
  const int ent = s.is64 ? 64 : 40;
  img.resize(shoff + 3 * ent, 0);
  std::memcpy(img.data(), "\x7F" "ELF", 4);
  img[4] = s.is64 ? 2 : 1;
  img[5] = s.big ? 2 : 1;
  img[6] = 1;
  if (s.is64) {
    put(40, shoff, 8), put(58, ent, 2), put(60, s.extendedCount ? 0 : 3, 2), put(62, s.extendedIndex ? 0xFFFF : 1, 2);
  } else {
    put(32, shoff, 4), put(46, ent, 2), put(48, s.extendedCount ? 0 : 3, 2), put(50, s.extendedIndex ? 0xFFFF : 1, 2);
  }
  auto section = [&](int i, uint32_t name, uint32_t type, uint64_t off, uint64_t size, uint32_t link) {
    size_t b = shoff + i * ent;
    put(b, name, 4), put(b + 4, type, 4);
    if (s.is64) put(b + 24, off, 8), put(b + 32, size, 8), put(b + 40, link, 4);
    else put(b + 16, off, 4), put(b + 20, size, 4), put(b + 24, link, 4);
  };
  section(0, 0, 0, 0, s.extendedCount ? 3 : 0, s.extendedIndex ? 1 : 0);
  section(1, 1, 3, strOff, sizeof names, 0);
  section(2, 11, s.nobits ? 8 : 1, blockOff, block.size() + s.sizeDelta, 0);
  return img;
}

TEST(ElfVersionBlock, ClassesByteOrdersAndLargeFileFields) {
  rtl::Bytes block = Block(KRV_PRODUCT_10002);
  ASSERT_FALSE(block.empty());
  struct Case {
    const char* name;
    TElfLayout layout;
    uint32_t error;  // 0: the block is found
  };
  const Case cases[] = {
      {"ELF64 LE", {true, false}, 0},
      {"ELF64 BE", {true, true}, 0},
      {"ELF32 LE", {false, false}, 0},
      {"ELF32 BE", {false, true}, 0},
      {"count in section 0", {true, false, true}, 0},
      {"name index in section 0", {false, true, false, true}, 0},
      {"both in section 0", {true, true, true, true}, 0},
      {"NOBITS", {true, false, false, false, true}, platform::ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"section shorter than the block", {true, false, false, false, false, -2}, platform::ERROR_RESOURCE_DATA_NOT_FOUND},
      {"section longer than the block", {false, false, false, false, false, 8}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rtl::Bytes img = MakeElf(c.layout, block);
    uint32_t error = 12345;
    rtl::Bytes found = platform::VersionBlockFromImage(img.data(), img.size(), error);
    EXPECT_EQ(error, c.error);
    if (c.error == 0) {
      EXPECT_EQ(found, block);
    } else {
      EXPECT_TRUE(found.empty());
    }
    // Cut anywhere, the image gives an error and never a read past its end.
    for (size_t cut = 0; cut < img.size(); cut += 7) {
      rtl::Bytes part(img.begin(), img.begin() + cut);
      uint32_t e = 0;
      rtl::Bytes r = platform::VersionBlockFromImage(part.data(), part.size(), e);
      EXPECT_TRUE(r.empty() || r == block);
      EXPECT_EQ(r.empty(), e != 0);
    }
  }
}

// The launcher's version gate over files of each kind.
TEST(NeedsUpdate, VersionGate) {
  TTempDir dir;
  auto tv = [](const char* value) {
    return krvtest::Table("040904E4", std::string("      VALUE \"TVERSION\", \"") + value + "\"\n");
  };
  struct Case {
    const char* name;
    std::string rc;  // empty: no file at all
    bool needsUpdate;
  };
  const Case cases[] = {
      {"10.0.0.1 is not newer", VersionRc("10,0,0,1"), true},
      {"10.0.0.2", VersionRc("10,0,0,2"), false},
      {"10.0.18.20", VersionRc("10,0,18,20"), false},
      {"9.10.0.0 (9100000)", VersionRc("9,10,0,0"), false},
      {"9.9.99.99 (999999)", VersionRc("9,9,99,99"), true},
      {"100.100.100.100 does not fit", VersionRc("100,100,100,100"), true},
      {"no version resource", "1 RCDATA { \"x\" }\n", true},
      {"no file", "", true},
      {"alpha 10.0.0.0 rev 5", VersionRc("1,0,0,0", tv("10.0.0.0.5,0")), false},
      {"alpha 10.0.0.0 rev 0", VersionRc("1,0,0,0", tv("10.0.0.0,0")), true},
      {"alpha 10.0.0.2", VersionRc("1,0,0,0", tv("10.0.0.2,0")), false},
      {"prerelease 10.0.0.2", VersionRc("1,0,0,0", tv("10.0.0.2,1")), false},
      {"unknown label", VersionRc("1,0,0,0", tv("10.0.18.20,5")), true},
      {"label outside the enumeration", VersionRc("1,0,0,0", tv("10.0.18.20,7")), true},
      {"broken TVERSION", VersionRc("10,0,18,20", tv("x")), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = dir / "missing.exe";
    if (!c.rc.empty()) file = MakePe(dir, "gate", c.rc);
    EXPECT_EQ(downloader::NeedsUpdate(rtl::S(file)), c.needsUpdate);
  }
}

}  // namespace
