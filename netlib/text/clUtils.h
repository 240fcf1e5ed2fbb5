// Small text, byte and date routines shared by the HTTP client, cookies, the IDN translator and
// the transport.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include "rtl/Classes.h"
#include "rtl/DateUtils.h"
#include "rtl/SysUtils.h"

namespace netlib {

// Gives a field, or a property through its setter, another value for the life of the scope and
// puts the old one back on every way out:
//   TclValueScope silent(http, &TclHttp::SilentHTTP, &TclHttp::SetSilentHTTP, false);
//   TclValueScope version(FHttpVersion, hvHttp1_0);
template <typename T>
class TclValueScope {
 public:
  TclValueScope(T& AField, T AValue) : FField(&AField), FSaved(std::exchange(AField, std::move(AValue))) {}
  template <typename TObject, typename TOwner, typename TGetResult>
  TclValueScope(TObject& AObject, TGetResult (TOwner::*AGet)() const, void (TOwner::*ASet)(T), T AValue)
      : FSaved((static_cast<TOwner&>(AObject).*AGet)()),
        FSetter([&AOwner = static_cast<TOwner&>(AObject), ASet](T AOld) { (AOwner.*ASet)(std::move(AOld)); }) {
    (static_cast<TOwner&>(AObject).*ASet)(std::move(AValue));
  }
  ~TclValueScope() {
    if (FField)
      *FField = std::move(FSaved);
    else
      FSetter(std::move(FSaved));
  }
  TclValueScope(const TclValueScope&) = delete;
  TclValueScope& operator=(const TclValueScope&) = delete;

 private:
  T* FField = nullptr;
  T FSaved;
  std::function<void(T)> FSetter;
};

// A set of characters 0..255; characters above 255 are never members.
class TSysCharSet {
 public:
  TSysCharSet() = default;
  TSysCharSet(std::initializer_list<rtl::Char> chars) { for (rtl::Char c : chars) Include(c); }
  explicit TSysCharSet(std::u16string_view chars) { for (rtl::Char c : chars) Include(c); }
  void Include(rtl::Char c) { if (c < 256) FBits.set(c); }
  void Exclude(rtl::Char c) { if (c < 256) FBits.reset(c); }
  bool Contains(rtl::Char c) const { return c < 256 && FBits.test(c); }

 private:
  std::bitset<256> FBits;
};

// Refills AList with the items of AText separated by ADelimiter; see docs/text.md for blanks
// and tabs. Two adjacent delimiters and a trailing delimiter give empty items.
void SplitToList(std::u16string_view AText, rtl::TStringList& AList, rtl::Char ADelimiter);

// Words are maximal runs of characters outside ADelimiters.
int CountWords(std::u16string_view AText, const TSysCharSet& ADelimiters);
// 1-based position of word N, 0 when there is none (or it starts beyond position 65535).
int WordStart(int N, std::u16string_view AText, const TSysCharSet& ADelimiters);
// Word N, "" when there is none.
rtl::String GetWord(int N, std::u16string_view AText, const TSysCharSet& ADelimiters);

// "" gives AOpen + AClose; a text starting with AOpen or ending with AClose is returned as it is.
rtl::String QuoteText(std::u16string_view AText, rtl::Char AOpen, rtl::Char AClose);
inline rtl::String QuoteText(std::u16string_view AText, rtl::Char AQuote = u'"') {
  return QuoteText(AText, AQuote, AQuote);
}

// 0-based index of the first occurrence of APattern among the bytes AStart .. AEnd - 1 of
// ABuffer, -1 when absent. The range is clipped to the buffer.
int FindBytes(const rtl::Bytes& APattern, const rtl::Bytes& ABuffer, int AStart, int AEnd);
int64_t FindBytes(const uint8_t* APattern, size_t APatternSize, const uint8_t* ABuffer, size_t ABufferSize,
                  int64_t AStart, int64_t AEnd);

// 1-based position of the right-most occurrence of AText in AWithin starting at or before
// ACount (-1: anywhere), ASCII case ignored; 0 when absent.
int FindLastText(std::u16string_view AText, std::u16string_view AWithin, int ACount = -1);

// 0-based index of the first name equal to AName ignoring ASCII case, -1 when absent.
int IndexOfName(std::u16string_view AName, const std::vector<rtl::String>& ANames);
int IndexOfName(std::u16string_view AName, std::initializer_list<std::u16string_view> ANames);

// Progress of a batched load or save: bytes done, total bytes.
using TclStringsProgressEvent = std::function<void(void* ASender, int64_t ABytesProceed, int64_t ATotalBytes)>;

// Loads and saves a string list through a character set.
class TclStringsUtils {
 public:
  explicit TclStringsUtils(rtl::TStringList* AList, std::u16string_view ACharSet = u"");

  // Index of the first entry equal to AValue ignoring ASCII case, -1 when absent.
  static int FindInStrings(const rtl::TStringList& AList, std::u16string_view AValue);
  // Writes the list's text (every line followed by CR LF) in the set; nothing for an empty list.
  static void SaveStrings(const rtl::TStringList& AList, rtl::TStream& ADestination, std::u16string_view ACharSet);
  // Reads from the stream's position to its end and sets the list's text; no bytes leave the
  // list as it is.
  static void LoadStrings(rtl::TStream& ASource, rtl::TStringList& AList, std::u16string_view ACharSet);

  // The same through this object's list and set. With a batch size above 0 the bytes are moved
  // in batches of that size and OnProgress fires after each.
  int FindInStrings(std::u16string_view AValue) const;
  void SaveStrings(rtl::TStream& ADestination);
  void LoadStrings(rtl::TStream& ASource);

  int BatchSize() const { return FBatchSize; }
  void SetBatchSize(int AValue) { FBatchSize = AValue < 0 ? 0 : AValue; }
  const rtl::String& CharSet() const { return FCharSet; }
  void SetCharSet(std::u16string_view AValue) { FCharSet = rtl::String(AValue); }
  rtl::TStringList* List() const { return FList; }
  TclStringsProgressEvent OnProgress;

 protected:
  void DoProgress(int64_t ABytesProceed, int64_t ATotalBytes);

 private:
  rtl::TStringList* FList;  // not owned
  int FBatchSize = 0;
  rtl::String FCharSet;
};

// An Internet date ("Wed, 09 Jun 2021 10:18:14 GMT", "+0200" offsets, Netscape cookie forms)
// as local time; 0 when day, month or year is missing. Two-digit years: 70-99 are 1970-1999,
// 0-69 are 2000-2069. A non-numeric day or year, or an impossible date or time, raises
// rtl::EConvertError.
rtl::TDateTime ParseInternetDate(std::u16string_view AValue);

// Stores AValue big-endian at AIndex (high byte first) and advances AIndex by 2; the array grows
// when it is too short. A negative index raises rtl::EArgumentException.
void PutWordBE(uint16_t AValue, rtl::Bytes& ABytes, int& AIndex);

// Calls AVisit with each element of a comma-separated field value, without the characters
// AIsBlank names around it, empty ones included, until it answers true; a comma inside double
// quotes (a parameter's quoted value, with backslash escapes) does not separate. True when
// AVisit did. The elements are views into AValue.
template <class B, class F>
bool VisitListElements(std::u16string_view AValue, B AIsBlank, F AVisit) {
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i <= AValue.size(); ++i) {
    if (i < AValue.size()) {
      char16_t c = AValue[i];
      if (quoted && c == u'\\' && i + 1 < AValue.size()) {
        ++i;
        continue;
      }
      if (c == u'"') quoted = !quoted;
      if (quoted || c != u',') continue;
    }
    size_t b = start, e = i;
    while (b < e && AIsBlank(AValue[b])) ++b;
    while (e > b && AIsBlank(AValue[e - 1])) --e;
    if (AVisit(AValue.substr(b, e - b))) return true;
    start = i + 1;
  }
  return false;
}

}  // namespace netlib
