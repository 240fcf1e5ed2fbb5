#include "netlib/text/clUtils.h"

#include <algorithm>

#include "netlib/text/clTranslator.h"

namespace netlib {

namespace {

// Suspends a list's change notifications for one operation, on every path.
class TUpdateGuard {
 public:
  explicit TUpdateGuard(rtl::TStringList& AList) : FList(AList) { FList.BeginUpdate(); }
  ~TUpdateGuard() { FList.EndUpdate(); }
  TUpdateGuard(const TUpdateGuard&) = delete;
  TUpdateGuard& operator=(const TUpdateGuard&) = delete;

 private:
  rtl::TStringList& FList;
};

// Every control character is skipped between items; the tab and NUL included, so an item
// that ends at one of them never leaves the loop standing still.
bool IsBlank(rtl::Char c) { return c < 32; }

rtl::Bytes ReadToEnd(rtl::TStream& ASource) {
  rtl::Bytes data;
  uint8_t buf[16384];
  for (;;) {
    int64_t n = ASource.Read(buf, sizeof(buf));
    if (n <= 0) break;
    data.insert(data.end(), buf, buf + n);
  }
  return data;
}

}  // namespace

void SplitToList(std::u16string_view AText, rtl::TStringList& AList, rtl::Char ADelimiter) {
  TUpdateGuard guard(AList);
  AList.Clear();
  const bool delimiterUsable = ADelimiter < 256;
  auto isDelimiter = [&](rtl::Char c) { return delimiterUsable && c == ADelimiter; };
  const size_t n = AText.size();
  size_t i = 0;
  while (i < n && IsBlank(AText[i]) && !isDelimiter(AText[i])) ++i;
  while (i < n) {
    size_t start = i;
    while (i < n && !isDelimiter(AText[i]) && AText[i] >= 32) ++i;
    AList.Add(rtl::String(AText.substr(start, i - start)));
    while (i < n && IsBlank(AText[i]) && !isDelimiter(AText[i])) ++i;
    if (i < n && isDelimiter(AText[i])) {
      bool last = i + 1 == n;
      ++i;
      while (i < n && IsBlank(AText[i]) && !isDelimiter(AText[i])) ++i;
      if (last) AList.Add(rtl::String());
    }
  }
}

int CountWords(std::u16string_view AText, const TSysCharSet& ADelimiters) {
  int count = 0;
  size_t i = 0;
  const size_t n = AText.size();
  while (i < n) {
    while (i < n && ADelimiters.Contains(AText[i])) ++i;
    if (i < n) ++count;
    while (i < n && !ADelimiters.Contains(AText[i])) ++i;
  }
  return count;
}

int WordStart(int N, std::u16string_view AText, const TSysCharSet& ADelimiters) {
  if (N <= 0) return 0;
  int count = 0;
  size_t i = 0;
  const size_t n = AText.size();
  while (i < n) {
    while (i < n && ADelimiters.Contains(AText[i])) ++i;
    if (i >= n) break;
    // Positions are 16-bit: a word that starts beyond 65535 is not found.
    if (i + 1 > 65535) return 0;
    if (++count == N) return static_cast<int>(i + 1);
    while (i < n && !ADelimiters.Contains(AText[i])) ++i;
  }
  return 0;
}

rtl::String GetWord(int N, std::u16string_view AText, const TSysCharSet& ADelimiters) {
  int start = WordStart(N, AText, ADelimiters);
  if (start == 0) return rtl::String();
  size_t i = static_cast<size_t>(start - 1);
  size_t end = i;
  while (end < AText.size() && !ADelimiters.Contains(AText[end])) ++end;
  return rtl::String(AText.substr(i, end - i));
}

rtl::String QuoteText(std::u16string_view AText, rtl::Char AOpen, rtl::Char AClose) {
  rtl::String r;
  if (AText.empty()) {
    r.push_back(AOpen);
    r.push_back(AClose);
    return r;
  }
  if (AText.front() == AOpen || AText.back() == AClose) return rtl::String(AText);
  r.reserve(AText.size() + 2);
  r.push_back(AOpen);
  r.append(AText);
  r.push_back(AClose);
  return r;
}

int64_t FindBytes(const uint8_t* APattern, size_t APatternSize, const uint8_t* ABuffer, size_t ABufferSize,
                  int64_t AStart, int64_t AEnd) {
  if (!APattern || !ABuffer || APatternSize == 0) return -1;
  if (AStart < 0) AStart = 0;
  if (AEnd > static_cast<int64_t>(ABufferSize)) AEnd = static_cast<int64_t>(ABufferSize);
  if (AEnd - 1 < AStart || static_cast<int64_t>(APatternSize) > AEnd - AStart) return -1;
  const uint8_t* first = ABuffer + AStart;
  const uint8_t* last = ABuffer + AEnd;
  const uint8_t* hit = std::search(first, last, APattern, APattern + APatternSize);
  return hit == last ? -1 : hit - ABuffer;
}

int FindBytes(const rtl::Bytes& APattern, const rtl::Bytes& ABuffer, int AStart, int AEnd) {
  return static_cast<int>(FindBytes(APattern.data(), APattern.size(), ABuffer.data(), ABuffer.size(), AStart, AEnd));
}

int FindLastText(std::u16string_view AText, std::u16string_view AWithin, int ACount) {
  if (AText.empty() || AText.size() > AWithin.size()) return 0;
  const int lastFit = static_cast<int>(AWithin.size() - AText.size()) + 1;
  int start = ACount == -1 ? lastFit : std::min(ACount, lastFit);
  for (int p = start; p >= 1; --p)
    if (rtl::SameText(AWithin.substr(static_cast<size_t>(p - 1), AText.size()), AText)) return p;
  return 0;
}

int IndexOfName(std::u16string_view AName, const std::vector<rtl::String>& ANames) {
  for (size_t i = 0; i < ANames.size(); ++i)
    if (rtl::SameText(ANames[i], AName)) return static_cast<int>(i);
  return -1;
}

int IndexOfName(std::u16string_view AName, std::initializer_list<std::u16string_view> ANames) {
  int i = 0;
  for (std::u16string_view n : ANames) {
    if (rtl::SameText(n, AName)) return i;
    ++i;
  }
  return -1;
}

// --- TclStringsUtils --------------------------------------------------------------------------

TclStringsUtils::TclStringsUtils(rtl::TStringList* AList, std::u16string_view ACharSet)
    : FList(AList), FCharSet(ACharSet) {}

int TclStringsUtils::FindInStrings(const rtl::TStringList& AList, std::u16string_view AValue) {
  for (int i = 0; i < AList.Count(); ++i)
    if (rtl::SameText(AList[i], AValue)) return i;
  return -1;
}

void TclStringsUtils::SaveStrings(const rtl::TStringList& AList, rtl::TStream& ADestination,
                                  std::u16string_view ACharSet) {
  rtl::String text = AList.Text();
  if (text.empty()) return;
  rtl::Bytes bytes = TclTranslator::GetBytes(text, ACharSet);
  ADestination.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

void TclStringsUtils::LoadStrings(rtl::TStream& ASource, rtl::TStringList& AList, std::u16string_view ACharSet) {
  TUpdateGuard guard(AList);
  rtl::Bytes bytes = ReadToEnd(ASource);
  if (bytes.empty()) return;
  AList.SetText(TclTranslator::GetString(bytes, ACharSet));
}

int TclStringsUtils::FindInStrings(std::u16string_view AValue) const {
  return FList ? FindInStrings(*FList, AValue) : -1;
}

void TclStringsUtils::DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}

void TclStringsUtils::SaveStrings(rtl::TStream& ADestination) {
  if (!FList) throw rtl::EArgumentException(u"No string list to save");
  rtl::String text = FList->Text();
  if (text.empty()) return;
  rtl::Bytes bytes = TclTranslator::GetBytes(text, FCharSet);
  const int64_t total = static_cast<int64_t>(bytes.size());
  const int64_t batch = FBatchSize > 0 ? FBatchSize : total;
  for (int64_t done = 0; done < total;) {
    int64_t n = std::min(batch, total - done);
    ADestination.WriteBuffer(bytes.data() + done, n);
    done += n;
    DoProgress(done, total);
  }
}

void TclStringsUtils::LoadStrings(rtl::TStream& ASource) {
  if (!FList) throw rtl::EArgumentException(u"No string list to load");
  TUpdateGuard guard(*FList);
  int64_t total = ASource.Size() - ASource.Position();
  if (total < 0) total = 0;
  rtl::Bytes bytes;
  if (FBatchSize > 0) {
    // The buffer stays small whatever the batch size; progress fires once per batch.
    std::vector<uint8_t> buf(static_cast<size_t>(std::min(FBatchSize, 1 << 20)));
    int64_t sinceProgress = 0;
    auto report = [&] {
      DoProgress(static_cast<int64_t>(bytes.size()), std::max(total, static_cast<int64_t>(bytes.size())));
      sinceProgress = 0;
    };
    for (;;) {
      int64_t want = std::min<int64_t>(static_cast<int64_t>(buf.size()), FBatchSize - sinceProgress);
      int64_t n = ASource.Read(buf.data(), want);
      if (n <= 0) break;
      bytes.insert(bytes.end(), buf.begin(), buf.begin() + n);
      sinceProgress += n;
      if (sinceProgress >= FBatchSize) report();
    }
    if (sinceProgress > 0) report();
  } else {
    bytes = ReadToEnd(ASource);
    if (!bytes.empty()) DoProgress(static_cast<int64_t>(bytes.size()), static_cast<int64_t>(bytes.size()));
  }
  if (bytes.empty()) return;
  FList->SetText(TclTranslator::GetString(bytes, FCharSet));
}

// --- Dates --------------------------------------------------------------------------------------

namespace {

// Cuts the text before the next space off s (and the space), then trims what is left.
// Answers false, leaving s alone, when no space follows.
bool TakeField(rtl::String& s, rtl::String& field) {
  int p = rtl::Pos(u" ", s);
  if (p == 0) return false;
  field = rtl::Copy(s, 1, p - 1);
  s = rtl::Trim(rtl::Copy(s, p + 1));
  return true;
}

int ToIntOrZero(std::u16string_view s) { return rtl::StrToIntDef(s, 0); }

}  // namespace

rtl::TDateTime ParseInternetDate(std::u16string_view AValue) {
  static const std::initializer_list<std::u16string_view> kMonths = {
      u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun", u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
  rtl::String s = rtl::Trim(AValue);
  int p = rtl::Pos(u",", s);
  if (p > 0) s = rtl::Trim(rtl::Copy(s, p + 2));  // the weekday, its comma and one separator

  int day = 0, month = 0, year = 0;
  rtl::String field;
  if (TakeField(s, field)) day = rtl::StrToInt(field);

  p = rtl::Pos(u" ", s);
  if (p > 0) {
    int m = IndexOfName(rtl::Copy(s, 1, p - 1), kMonths);
    if (m >= 0) {
      month = m + 1;
      s = rtl::Trim(rtl::Copy(s, p + 1));
    } else {
      // An unknown month name: this month, and the field is read again as the year.
      int y, d;
      rtl::DecodeDate(rtl::Now(), y, month, d);
    }
  }

  if (TakeField(s, field)) {
    year = rtl::StrToInt(field);
    // Two-digit years as cookies carry them: 70-99 are 1970-1999, 0-69 are 2000-2069.
    if (year >= 0 && year < 100) year += year >= 70 ? 1900 : 2000;
  }

  rtl::TDateTime time = 0;
  if (TakeField(s, field)) {
    rtl::String t = rtl::UpperCase(field);
    bool pm = false, am = false;
    if (int q = rtl::Pos(u"PM", t); q > 0) {
      pm = true;
      t = rtl::Copy(t, 1, q - 1);
    } else if (int q2 = rtl::Pos(u"AM", t); q2 > 0) {
      am = true;
      t = rtl::Copy(t, 1, q2 - 1);
    }
    int parts[3] = {0, 0, 0};
    int k = 0;
    size_t start = 0;
    for (size_t i = 0; i <= t.size() && k < 3; ++i) {
      if (i == t.size() || t[i] == u':') {
        parts[k++] = ToIntOrZero(rtl::Trim(std::u16string_view(t).substr(start, i - start)));
        start = i + 1;
      }
    }
    int hour = parts[0];
    if (pm && hour < 12) hour += 12;
    if (am && hour == 12) hour = 0;
    time = rtl::EncodeTime(hour, parts[1], parts[2], 0);
  }

  if (day == 0 || month == 0 || year == 0) return 0;

  rtl::TDateTime offset = 0;
  p = rtl::Pos(u" ", s);
  rtl::String zone = p > 0 ? rtl::Copy(s, 1, p - 1) : s;
  if (zone.size() >= 5 && (zone[0] == u'+' || zone[0] == u'-')) {
    int hh = ToIntOrZero(rtl::Copy(zone, 2, 2));
    int mm = ToIntOrZero(rtl::Copy(zone, 4, 2));
    if (!rtl::TryEncodeTime(hh, mm, 0, 0, offset)) offset = 0;
    if (zone[0] == u'-') offset = -offset;
  }
  return rtl::UTCToLocal(rtl::EncodeDate(year, month, day) + time - offset);
}

void PutWordBE(uint16_t AValue, rtl::Bytes& ABytes, int& AIndex) {
  if (AIndex < 0) throw rtl::EArgumentException(rtl::Format(u"Index out of range (%d)", {AIndex}));
  size_t i = static_cast<size_t>(AIndex);
  if (ABytes.size() < i + 2) ABytes.resize(i + 2);
  ABytes[i] = static_cast<uint8_t>(AValue >> 8);
  ABytes[i + 1] = static_cast<uint8_t>(AValue & 0xFF);
  AIndex += 2;
}

}  // namespace netlib
