// Strings, conversions and small runtime helpers shared by every layer.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace rtl {

// UTF-16 code units, exactly as the behaviour is described on code units.
using String = std::u16string;
using Char = char16_t;
using Bytes = std::vector<uint8_t>;

// --- UTF-8 at the operating-system boundary ---------------------------------------------------
// Invalid UTF-8 becomes U+FFFD per maximal bad subsequence; nothing is dropped silently.
String Utf8ToString(std::string_view s);
// Unpaired surrogates become U+FFFD.
std::string StringToUtf8(std::u16string_view s);
// Short form for literals and OS strings.
inline String S(std::string_view utf8) { return Utf8ToString(utf8); }
inline std::string U8(std::u16string_view s) { return StringToUtf8(s); }

// --- Trimming: every character with code 32 or below counts as blank --------------------------
String Trim(std::u16string_view s);
String TrimLeft(std::u16string_view s);
String TrimRight(std::u16string_view s);

// --- Case ---------------------------------------------------------------------------------------
String UpperCase(std::u16string_view s);      // ASCII letters only
String LowerCase(std::u16string_view s);      // ASCII letters only
String AnsiUpperCase(std::u16string_view s);  // full Unicode simple case mapping
String AnsiLowerCase(std::u16string_view s);
Char UpCaseAscii(Char c);
Char LowCaseAscii(Char c);

int CompareStr(std::u16string_view a, std::u16string_view b);   // ordinal, <0, 0, >0
int CompareText(std::u16string_view a, std::u16string_view b);  // ASCII case-insensitive
bool SameText(std::u16string_view a, std::u16string_view b);
bool SameStr(std::u16string_view a, std::u16string_view b);
bool StartsText(std::u16string_view prefix, std::u16string_view s);
bool EndsText(std::u16string_view suffix, std::u16string_view s);
bool StartsStr(std::u16string_view prefix, std::u16string_view s);
bool EndsStr(std::u16string_view suffix, std::u16string_view s);

// --- 1-based positions, as the described algorithms count -------------------------------------
// Position of sub in s at or after offset, 0 when absent (or when sub is empty).
int Pos(std::u16string_view sub, std::u16string_view s, int offset = 1);
// Up to count characters from 1-based index; out-of-range arguments are clamped.
String Copy(std::u16string_view s, int index, int count = 0x7FFFFFFF);
void Delete(String& s, int index, int count);
void Insert(std::u16string_view sub, String& s, int index);
enum TReplaceFlag : unsigned { rfReplaceAll = 1, rfIgnoreCase = 2 };
String StringReplace(std::u16string_view s, std::u16string_view oldPattern, std::u16string_view newPattern,
                     unsigned flags);
String StringOfChar(Char c, int count);

// --- Integers ---------------------------------------------------------------------------------
String IntToStr(int64_t v);
String UIntToStr(uint64_t v);
String IntToHex(uint64_t v, int digits);  // upper case, at least `digits` digits
// Leading blanks, a sign, then decimal digits or a "$", "x", "X", "0x", "0X" hexadecimal prefix.
// Raise EConvertError "'%s' is not a valid integer value" on anything else or out of range.
int32_t StrToInt(std::u16string_view s);
int64_t StrToInt64(std::u16string_view s);
int32_t StrToIntDef(std::u16string_view s, int32_t def);
int64_t StrToInt64Def(std::u16string_view s, int64_t def);
bool TryStrToInt(std::u16string_view s, int32_t& v);
bool TryStrToInt64(std::u16string_view s, int64_t& v);

// --- Format -----------------------------------------------------------------------------------
// One argument of Format: an integer, an unsigned integer, a float or a string.
struct TVarRec {
  enum Kind { vtInt, vtUInt, vtFloat, vtString } kind;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
  String s;
  TVarRec(int v) : kind(vtInt), i(v) {}
  TVarRec(long v) : kind(vtInt), i(v) {}
  TVarRec(long long v) : kind(vtInt), i(v) {}
  TVarRec(unsigned v) : kind(vtUInt), u(v) {}
  TVarRec(unsigned long v) : kind(vtUInt), u(v) {}
  TVarRec(unsigned long long v) : kind(vtUInt), u(v) {}
  TVarRec(double v) : kind(vtFloat), d(v) {}
  TVarRec(const String& v) : kind(vtString), s(v) {}
  TVarRec(std::u16string_view v) : kind(vtString), s(v) {}
  TVarRec(const char16_t* v) : kind(vtString), s(v) {}
  TVarRec(const char* utf8) : kind(vtString), s(Utf8ToString(utf8)) {}
  TVarRec(const std::string& utf8) : kind(vtString), s(Utf8ToString(utf8)) {}
};
// The runtime's Format: "%" ["-"] [width] ["." precision] type, types d u x X s f e g n and "%%".
// A width or precision of "*" takes the next argument. Raises EConvertError for a pattern that
// does not fit its arguments.
String Format(std::u16string_view fmt, std::initializer_list<TVarRec> args);
String Format(std::u16string_view fmt, const std::vector<TVarRec>& args);

// --- Paths (UTF-16 inside) -------------------------------------------------------------------
// Each system's own: on POSIX "/" is the only separator (a backslash or ":" is part of a name);
// on Windows the backslash is the separator, "/" is accepted as one, and ":" ends a drive
// ("C:file" names file on drive C). Functions that split a name treat every separator of the
// system alike.
#ifdef _WIN32
constexpr Char PathDelim = u'\\';
constexpr Char DriveDelim = u':';
#else
constexpr Char PathDelim = u'/';
#endif
// Whether c separates folders in a path of this system.
constexpr bool IsPathDelimiter(Char c) {
#ifdef _WIN32
  return c == u'\\' || c == u'/';
#else
  return c == u'/';
#endif
}
String IncludeTrailingPathDelimiter(std::u16string_view path);
String ExcludeTrailingPathDelimiter(std::u16string_view path);
String ExtractFilePath(std::u16string_view fileName);  // with the trailing separator (or drive)
String ExtractFileDir(std::u16string_view fileName);   // without it, except for a root
String ExtractFileName(std::u16string_view fileName);
String ExtractFileExt(std::u16string_view fileName);   // with the dot, "" when none
String ChangeFileExt(std::u16string_view fileName, std::u16string_view ext);
// Whether the path names one place whatever the current folder: "/x" on POSIX; on Windows a
// drive with its root ("C:/x" with either separator) or a UNC path ("//server/share/x");
// "/x" and "C:x" there depend on the current drive or folder.
bool IsAbsolutePath(std::u16string_view path);

// --- Files and the process (false/-1 on failure; GetLastOSError tells why) --------------------
bool FileExists(std::u16string_view fileName);       // a regular file (or a link to one)
bool DirectoryExists(std::u16string_view dirName);
bool DeleteFile(std::u16string_view fileName);
bool RenameFile(std::u16string_view oldName, std::u16string_view newName);
bool CreateDir(std::u16string_view dirName);
bool ForceDirectories(std::u16string_view dirName);
bool RemoveDir(std::u16string_view dirName);
int64_t FileSizeOf(std::u16string_view fileName);    // -1 when it cannot be read
String GetCurrentDir();
String ExpandFileName(std::u16string_view fileName);  // absolute, "." and ".." folded
// The arguments as the system hands them over: argv on POSIX (UTF-8); on Windows the process's
// own UTF-16 command line split by CommandLineToArgvW (the ANSI argv of main would garble what
// the code page cannot hold), with or without a call of SetCommandLine.
String ParamStr(int index);
int ParamCount();
void SetCommandLine(int argc, char** argv);           // called by main()
// Standard output and error as bytes, written as they are (Windows' C runtime would write "\n" as
// "\r\n"); for the tools whose output is compared or piped. Nothing to do on POSIX.
void UseBinaryStandardOutput();
String GetModuleFileName();                           // the running executable's path
// The running executable's path as the system tells it, never taken from the arguments; empty
// when the system does not say.
String ExecutablePath();
String GetEnvironmentVariable(std::u16string_view name);  // "" when not set
// Whether the variable is set (possibly to ""); its value in value.
bool TryGetEnvironmentVariable(std::u16string_view name, String& value);

// The operating system's code of the calling thread's last failure (errno on POSIX, the
// thread's last-error value on Windows), and its text.
int GetLastOSError();
String SysErrorMessage(int code);

}  // namespace rtl
