#include "netlib/http/clHeaderFieldList.h"

#include <algorithm>
#include <cstdint>

namespace netlib {

namespace {

bool IsContinuation(const rtl::String& line) {
  return !line.empty() && (line[0] == u'\t' || line[0] == u' ');
}

}  // namespace

const TSysCharSet& TclHeaderFieldList::GetQuoteChars() const {
  static const TSysCharSet set{u'"', u'\''};
  return set;
}

const TSysCharSet& TclHeaderFieldList::GetItemDelimiters() const {
  static const TSysCharSet set{u',', u';'};
  return set;
}

const TSysCharSet& TclHeaderFieldList::GetFoldingBreakChars() const {
  static const TSysCharSet set{u'"', u'\'', u'(', u')', u',', u';', u'<', u'>'};
  return set;
}

const TSysCharSet& TclHeaderFieldList::GetBlankChars() const {
  static const TSysCharSet set{u'\t', u'\n', u'\r', u' '};
  return set;
}

void TclHeaderFieldList::CheckAttached() const { rtl::Assert(FSource != nullptr); }

int TclHeaderFieldList::FieldLine(int AIndex) const {
  return static_cast<int>(reinterpret_cast<intptr_t>(FFieldList.Objects(AIndex)));
}

int TclHeaderFieldList::Parse(int AStartFrom, rtl::TStringList* ASource) {
  rtl::Assert(ASource != nullptr);
  FFieldList.Clear();
  FSource = ASource;
  FHeaderStart = std::clamp(AStartFrom, 0, ASource->Count());
  int i = FHeaderStart;
  for (; i < ASource->Count(); ++i) {
    const rtl::String& line = (*ASource)[i];
    if (line.empty()) break;
    if (IsContinuation(line)) continue;
    size_t colon = line.find(u':');
    if (colon != rtl::String::npos)
      FFieldList.AddObject(rtl::LowerCase(std::u16string_view(line).substr(0, colon)),
                           reinterpret_cast<void*>(static_cast<intptr_t>(i)));
  }
  FHeaderEnd = i;
  return FHeaderEnd;
}

int TclHeaderFieldList::GetFieldIndex(const rtl::String& AName) const {
  rtl::String name = rtl::LowerCase(AName);
  for (int i = 0; i < FFieldList.Count(); ++i)
    if (FFieldList[i] == name) return i;
  return -1;
}

int TclHeaderFieldList::GetFieldStart(int AIndex) const {
  if (AIndex < 0 || AIndex >= FFieldList.Count()) return -1;
  return FieldLine(AIndex);
}

int TclHeaderFieldList::GetFieldEnd(int AIndex) const {
  int start = GetFieldStart(AIndex);
  if (start < 0 || FSource == nullptr) return -1;
  int i = start + 1;
  while (i < FSource->Count() && IsContinuation((*FSource)[i])) ++i;
  return i - 1;
}

rtl::String TclHeaderFieldList::GetFieldName(int AIndex) const {
  int start = GetFieldStart(AIndex);
  if (start < 0 || FSource == nullptr || start >= FSource->Count()) return {};
  return (*FSource)[start].substr(0, FFieldList[AIndex].size());
}

rtl::String TclHeaderFieldList::GetRawFieldValue(int AIndex) {
  int start = GetFieldStart(AIndex);
  if (start < 0 || start >= FSource->Count()) return {};
  const rtl::String& line = (*FSource)[start];
  size_t skip = std::min(line.size(), FFieldList[AIndex].size() + 1);
  rtl::String value = line.substr(skip);
  if (!value.empty() && (value[0] == u'\t' || value[0] == u' ')) value.erase(0, 1);
  for (int i = start + 1; i < FSource->Count() && IsContinuation((*FSource)[i]); ++i) {
    const rtl::String& next = (*FSource)[i];
    // One leading tab is the fold itself; a leading space belongs to the value.
    value += next[0] == u'\t' ? next.substr(1) : next;
  }
  return value;
}

rtl::String TclHeaderFieldList::GetFieldValue(int AIndex) {
  CheckAttached();
  return rtl::Trim(GetRawFieldValue(AIndex));
}

rtl::String TclHeaderFieldList::GetFieldValue(const rtl::String& AName) {
  CheckAttached();
  return GetFieldValue(GetFieldIndex(AName));
}

bool TclHeaderFieldList::FindItem(const rtl::String& ASource, const rtl::String& AItemName,
                                  TclItemPos& APos) {
  const int size = static_cast<int>(ASource.size());
  if (AItemName.empty()) {
    if (ASource.empty()) return false;
    APos.ItemStart = 0;
    APos.ValueStart = 0;
  } else {
    rtl::String lower = rtl::LowerCase(ASource);
    const TSysCharSet& blanks = GetBlankChars();
    size_t from = 0;
    for (;;) {
      size_t p = lower.find(AItemName, from);
      if (p == rtl::String::npos) return false;
      size_t j = p + AItemName.size();
      while (j < lower.size() && blanks.Contains(lower[j])) ++j;
      if (j < lower.size() && lower[j] == u'=') {
        APos.ItemStart = static_cast<int>(p);
        APos.ValueStart = static_cast<int>(j + 1);
        break;
      }
      from = j;
    }
  }
  const TSysCharSet& quotes = GetQuoteChars();
  const TSysCharSet& delimiters = GetItemDelimiters();
  rtl::Char quote = 0;
  int end = size;
  for (int i = APos.ValueStart; i < size; ++i) {
    rtl::Char c = ASource[i];
    if (quote == 0) {
      if (quotes.Contains(c)) {
        quote = c;
      } else if (delimiters.Contains(c)) {
        end = i;
        break;
      }
    } else if (c == quote) {
      end = i + 1;
      break;
    }
  }
  APos.ValueEnd = end;
  return true;
}

rtl::String TclHeaderFieldList::GetFieldValueItem(const rtl::String& ASource,
                                                  const rtl::String& AItemName) {
  TclItemPos pos;
  if (!FindItem(ASource, AItemName, pos)) return {};
  rtl::String value = rtl::Trim(std::u16string_view(ASource).substr(pos.ValueStart, pos.ValueEnd - pos.ValueStart));
  const TSysCharSet& quotes = GetQuoteChars();
  if (!value.empty() && quotes.Contains(value.front()) && quotes.Contains(value.back()))
    value = value.size() >= 2 ? value.substr(1, value.size() - 2) : rtl::String();
  return value;
}

rtl::String TclHeaderFieldList::RemoveItem(const rtl::String& ASource, const rtl::String& AItemName) {
  TclItemPos pos;
  if (!FindItem(ASource, AItemName, pos)) return ASource;
  const TSysCharSet& blanks = GetBlankChars();
  const TSysCharSet& delimiters = GetItemDelimiters();
  int from = pos.ItemStart, to = pos.ValueEnd;
  int after = to;
  while (after < static_cast<int>(ASource.size()) && blanks.Contains(ASource[after])) ++after;
  if (after < static_cast<int>(ASource.size()) && delimiters.Contains(ASource[after])) {
    // "a=1; b=2" without "a": the delimiter after it and the blanks that follow go too.
    to = after + 1;
    while (to < static_cast<int>(ASource.size()) && blanks.Contains(ASource[to])) ++to;
  } else {
    // The last item: the delimiter before it goes.
    int before = from;
    while (before > 0 && blanks.Contains(ASource[before - 1])) --before;
    if (before > 0 && delimiters.Contains(ASource[before - 1])) from = before - 1;
  }
  rtl::String result = ASource;
  result.erase(from, to - from);
  return result;
}

rtl::String TclHeaderFieldList::ClearItem(const rtl::String& ASource, const rtl::String& AItemName) {
  TclItemPos pos;
  if (!FindItem(ASource, AItemName, pos)) return ASource;
  rtl::String result = ASource;
  result.erase(pos.ValueStart, pos.ValueEnd - pos.ValueStart);
  return result;
}

std::vector<rtl::String> TclHeaderFieldList::FoldLine(const rtl::String& ALine, int AMinBreak) const {
  std::vector<rtl::String> pieces;
  rtl::String rest = ALine;
  const TSysCharSet& breaks = GetFoldingBreakChars();
  const TSysCharSet& quotes = GetQuoteChars();
  int minBreak = AMinBreak;
  while (FCharsPerLine > 0 && static_cast<int>(rest.size()) > FCharsPerLine) {
    // Break positions p: the piece is rest[0, p), the continuation "\t" + rest[p, end).
    int best = -1, firstOver = -1;
    rtl::Char quote = 0;
    for (int i = 0; i < static_cast<int>(rest.size()); ++i) {
      rtl::Char c = rest[i];
      bool outside = quote == 0;
      if (quote == 0 && quotes.Contains(c)) quote = c;
      else if (quote != 0 && c == quote) quote = 0;
      int p = -1;
      if (outside && (c == u' ' || c == u'\t')) p = i;                  // before a blank
      else if (quote == 0 && breaks.Contains(c)) p = i + 1;            // after a break character
      if (p <= minBreak || p >= static_cast<int>(rest.size())) continue;
      if (p <= FCharsPerLine) best = p;
      else if (firstOver < 0) firstOver = p;
    }
    int p = best >= 0 ? best : firstOver;
    if (p < 0) break;  // no place to break: the line stays long
    pieces.push_back(rest.substr(0, p));
    rest = u"\t" + rest.substr(p);
    minBreak = 1;  // a continuation keeps its tab and at least one character
  }
  pieces.push_back(rest);
  return pieces;
}

int TclHeaderFieldList::InsertFolded(int AIndex, const rtl::String& ALine) {
  // A line break inside a line would split the header on the wire.
  rtl::Assert(ALine.find_first_of(u"\r\n") == rtl::String::npos);
  if (ALine.empty()) return AIndex;
  size_t colon = ALine.find(u':');
  if (FCharsPerLine > 0 && colon != rtl::String::npos && !IsContinuation(ALine)) {
    for (const rtl::String& piece : FoldLine(ALine, static_cast<int>(colon) + 2))
      FSource->Insert(AIndex++, piece);
  } else {
    FSource->Insert(AIndex++, ALine);
  }
  return AIndex;
}

int TclHeaderFieldList::InsertFieldLine(int AIndex, const rtl::String& ALine) {
  CheckAttached();
  int index = std::clamp(AIndex, 0, FHeaderEnd);
  if (InsertFolded(index, ALine) == index) return FHeaderEnd;
  return Parse(FHeaderStart, FSource);
}

int TclHeaderFieldList::InsertLines(int AIndex, const rtl::TStringList& ALines) {
  CheckAttached();
  for (const rtl::String& line : ALines) rtl::Assert(line.find_first_of(u"\r\n") == rtl::String::npos);
  int index = std::clamp(AIndex, 0, FHeaderEnd);
  for (const rtl::String& line : ALines) FSource->Insert(index++, line);
  return Parse(FHeaderStart, FSource);
}

void TclHeaderFieldList::InsertFieldItem(int AFieldIndex, const rtl::String& AItemName, bool ANewLine,
                                         const rtl::String& AValue) {
  CheckAttached();
  int last = GetFieldEnd(AFieldIndex);
  if (last < 0 || last >= FSource->Count()) return;
  rtl::Assert(AItemName.find_first_of(u"\r\n") == rtl::String::npos &&
              AValue.find_first_of(u"\r\n") == rtl::String::npos);
  rtl::String item = GetItemNameValuePair(AItemName, AValue);
  rtl::String line = (*FSource)[last];
  rtl::String trimmed = rtl::Trim(line);
  if (!trimmed.empty() && trimmed.back() != u':' && trimmed.back() != FItemDelimiter) line += FItemDelimiter;

  std::vector<rtl::String> pieces;
  if (!ANewLine) {
    rtl::String joined = line + u" " + item;
    if (FCharsPerLine > 0) {
      bool first = last == FieldLine(AFieldIndex);
      pieces = FoldLine(joined, first ? static_cast<int>(FFieldList[AFieldIndex].size()) + 2 : 1);
    } else {
      pieces.push_back(joined);
    }
  } else {
    pieces.push_back(line);
    rtl::String next = u"\t" + item;
    if (FCharsPerLine > 0) {
      for (const rtl::String& piece : FoldLine(next, 1)) pieces.push_back(piece);
    } else {
      pieces.push_back(next);
    }
  }
  FSource->Put(last, pieces[0]);
  for (size_t i = 1; i < pieces.size(); ++i) FSource->Insert(last + static_cast<int>(i), pieces[i]);
  // New lines move the fields below them: the index must follow.
  if (pieces.size() > 1) Parse(FHeaderStart, FSource);
}

void TclHeaderFieldList::RemoveFieldLines(int AFieldIndex) {
  int start = GetFieldStart(AFieldIndex);
  if (start < 0 || start >= FSource->Count()) return;
  FSource->Delete(start);
  while (start < FSource->Count() && IsContinuation((*FSource)[start])) FSource->Delete(start);
}

void TclHeaderFieldList::AddField(const rtl::String& AName, const rtl::String& AValue) {
  CheckAttached();
  if (!AValue.empty()) InsertFieldLine(FHeaderEnd, GetNameValuePair(AName, AValue));
}

void TclHeaderFieldList::AddEmptyField(const rtl::String& AName) {
  CheckAttached();
  InsertFieldLine(FHeaderEnd, GetNameValuePair(AName, u""));
}

void TclHeaderFieldList::AddFieldIfNotExist(const rtl::String& AName, const rtl::String& AValue) {
  CheckAttached();
  if (GetFieldIndex(AName) < 0) AddField(AName, AValue);
}

void TclHeaderFieldList::AddFields(const rtl::TStringList& AFields) {
  CheckAttached();
  // The same as inserting each line at the header end in turn, but indexed once: a head of
  // thousands of lines must not cost a re-index per line.
  int index = FHeaderEnd;
  try {
    for (const rtl::String& line : AFields) index = InsertFolded(index, line);
  } catch (...) {
    Parse(FHeaderStart, FSource);
    throw;
  }
  if (index != FHeaderEnd) Parse(FHeaderStart, FSource);
}

void TclHeaderFieldList::AddFieldItem(const rtl::String& AFieldName, const rtl::String& AItemName,
                                      const rtl::String& AValue, bool ANewLine) {
  CheckAttached();
  AddFieldItem(GetFieldIndex(AFieldName), AItemName, AValue, ANewLine);
}

void TclHeaderFieldList::AddFieldItem(int AFieldIndex, const rtl::String& AItemName,
                                      const rtl::String& AValue, bool ANewLine) {
  CheckAttached();
  rtl::String value = rtl::Trim(AValue);
  if (!value.empty()) InsertFieldItem(AFieldIndex, AItemName, ANewLine, value);
}

void TclHeaderFieldList::AddQuotedFieldItem(const rtl::String& AFieldName, const rtl::String& AItemName,
                                            const rtl::String& AValue, bool ANewLine) {
  AddFieldItem(AFieldName, AItemName, QuoteText(AValue, u'"'), ANewLine);
}

void TclHeaderFieldList::AddQuotedFieldItem(int AFieldIndex, const rtl::String& AItemName,
                                            const rtl::String& AValue, bool ANewLine) {
  AddFieldItem(AFieldIndex, AItemName, QuoteText(AValue, u'"'), ANewLine);
}

void TclHeaderFieldList::RemoveField(const rtl::String& AName) {
  CheckAttached();
  RemoveField(GetFieldIndex(AName));
}

void TclHeaderFieldList::RemoveField(int AIndex) {
  CheckAttached();
  if (AIndex < 0 || AIndex >= FFieldList.Count()) return;
  RemoveFieldLines(AIndex);
  Parse(FHeaderStart, FSource);
}

void TclHeaderFieldList::SetField(const rtl::String& AName, const rtl::String& AValue) {
  CheckAttached();
  for (int i = GetFieldIndex(AName); i >= 0; i = GetFieldIndex(AName)) RemoveField(i);
  AddField(AName, AValue);
}

rtl::String TclHeaderFieldList::GetNameValuePair(const rtl::String& AName, const rtl::String& AValue) {
  rtl::String result = AName + u":";
  if (!AValue.empty()) result += u" " + AValue;
  return result;
}

rtl::String TclHeaderFieldList::GetItemNameValuePair(const rtl::String& AItemName,
                                                     const rtl::String& AValue) {
  rtl::String result = AItemName;
  if (!AItemName.empty() && AItemName.back() != u'=') result += u'=';
  return result + AValue;
}

void SetField(rtl::TStringList& ALines, const rtl::String& AName, const rtl::String& AValue) {
  while (ALines.Count() > 0 && ALines[ALines.Count() - 1].empty()) ALines.Delete(ALines.Count() - 1);
  TclHeaderFieldList fields;
  fields.Parse(0, &ALines);
  fields.SetField(AName, AValue);
}

}  // namespace netlib
