#include "rtl/Classes.h"

#include <algorithm>
#include <cstring>

#include "rtl/Ansi.h"

namespace rtl {

// ---------------------------------------------------------------------------------------------
// TStream

int64_t TStream::Size() {
  int64_t pos = Seek(0, soCurrent);
  int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::SetSize(int64_t) {}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    int64_t n = Read(p, count);
    if (n <= 0) throw EReadError(u"Stream read error");
    p += n;
    count -= n;
  }
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  while (count > 0) {
    int64_t n = Write(p, count);
    if (n <= 0) throw EWriteError(u"Stream write error");
    p += n;
    count -= n;
  }
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  int64_t result = count;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(count, 1), 1 << 20)));
  while (count > 0) {
    int64_t n = std::min<int64_t>(count, static_cast<int64_t>(buf.size()));
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    count -= n;
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// TMemoryStream

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || FPosition >= Size()) return 0;
  int64_t n = std::min<int64_t>(count, Size() - FPosition);
  std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = FPosition + count;
  if (end > Size()) {
    if (static_cast<size_t>(end) > FData.capacity()) FData.reserve(std::max<size_t>(static_cast<size_t>(end), FData.capacity() * 2));
    FData.resize(static_cast<size_t>(end));
  }
  std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
  FPosition = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : (origin == soCurrent ? FPosition : Size());
  int64_t p = base + offset;
  if (p < 0) return -1;
  FPosition = p;
  return FPosition;
}

void TMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) newSize = 0;
  FData.resize(static_cast<size_t>(newSize));
  if (FPosition > newSize) FPosition = newSize;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  int64_t n = source.Size();
  SetSize(n);
  if (n > 0) source.ReadBuffer(FData.data(), n);
  FPosition = 0;
}

void TMemoryStream::SaveToStream(TStream& dest) {
  if (!FData.empty()) dest.WriteBuffer(FData.data(), Size());
}

void TMemoryStream::LoadFromFile(const String& fileName) {
  TFileStream f(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(f);
}

void TMemoryStream::SaveToFile(const String& fileName) {
  TFileStream f(fileName, fmCreate);
  SaveToStream(f);
}

// ---------------------------------------------------------------------------------------------
// TStringList

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count())
    throw EListError(Format(u"List index out of bounds (%d)", {index}));
}

const String& TStringList::Get(int index) const {
  CheckIndex(index);
  return FItems[static_cast<size_t>(index)];
}

void TStringList::Put(int index, const String& s) {
  CheckIndex(index);
  Changing();
  FItems[static_cast<size_t>(index)] = s;
  Changed();
}

void* TStringList::Objects(int index) const {
  CheckIndex(index);
  return FObjects[static_cast<size_t>(index)];
}

void TStringList::PutObject(int index, void* object) {
  CheckIndex(index);
  Changing();
  FObjects[static_cast<size_t>(index)] = object;
  Changed();
}

int TStringList::Add(const String& s) { return AddObject(s, nullptr); }

int TStringList::AddObject(const String& s, void* object) {
  int index = Count();
  InsertObject(index, s, object);
  return index;
}

void TStringList::Insert(int index, const String& s) { InsertObject(index, s, nullptr); }

void TStringList::InsertObject(int index, const String& s, void* object) {
  if (index < 0 || index > Count()) throw EListError(Format(u"List index out of bounds (%d)", {index}));
  Changing();
  FItems.insert(FItems.begin() + index, s);
  FObjects.insert(FObjects.begin() + index, object);
  Changed();
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  Changing();
  FItems.erase(FItems.begin() + index);
  FObjects.erase(FObjects.begin() + index);
  Changed();
}

void TStringList::Clear() {
  if (FItems.empty()) return;
  Changing();
  FItems.clear();
  FObjects.clear();
  Changed();
}

void TStringList::Exchange(int a, int b) {
  CheckIndex(a);
  CheckIndex(b);
  Changing();
  std::swap(FItems[static_cast<size_t>(a)], FItems[static_cast<size_t>(b)]);
  std::swap(FObjects[static_cast<size_t>(a)], FObjects[static_cast<size_t>(b)]);
  Changed();
}

void TStringList::Move(int cur, int dst) {
  if (cur == dst) return;
  CheckIndex(cur);
  CheckIndex(dst);
  BeginUpdate();
  String s = FItems[static_cast<size_t>(cur)];
  void* o = FObjects[static_cast<size_t>(cur)];
  Delete(cur);
  InsertObject(dst, s, o);
  EndUpdate();
}

void TStringList::AddStrings(const TStringList& strings) {
  if (&strings == this) {
    TStringList copy(strings);
    AddStrings(copy);
    return;
  }
  BeginUpdate();
  for (int i = 0; i < strings.Count(); ++i) AddObject(strings.FItems[static_cast<size_t>(i)], strings.FObjects[static_cast<size_t>(i)]);
  EndUpdate();
}

void TStringList::Assign(const TStringList& source) {
  if (&source == this) return;
  BeginUpdate();
  Clear();
  Delimiter = source.Delimiter;
  QuoteChar = source.QuoteChar;
  NameValueSeparator = source.NameValueSeparator;
  StrictDelimiter = source.StrictDelimiter;
  AddStrings(source);
  EndUpdate();
}

bool TStringList::Equals(const TStringList& other) const { return FItems == other.FItems; }

String TStringList::Text() const {
  size_t len = 0;
  for (auto& s : FItems) len += s.size() + 2;
  String r;
  r.reserve(len);
  for (auto& s : FItems) {
    r += s;
    r += u"\r\n";
  }
  return r;
}

void TStringList::SetText(std::u16string_view text) {
  BeginUpdate();
  Clear();
  size_t i = 0, n = text.size();
  while (i < n) {
    size_t j = i;
    while (j < n && text[j] != u'\r' && text[j] != u'\n') ++j;
    Add(String(text.substr(i, j - i)));
    if (j < n && text[j] == u'\r') ++j;
    if (j < n && text[j] == u'\n') ++j;
    i = j;
  }
  EndUpdate();
}

String TStringList::DelimitedText() const {
  String r;
  for (int i = 0; i < Count(); ++i) {
    const String& s = FItems[static_cast<size_t>(i)];
    bool quote = s.empty() && Count() == 1;
    if (!StrictDelimiter)
      for (Char c : s)
        if (c <= u' ' || c == Delimiter || c == QuoteChar) { quote = true; break; }
    if (StrictDelimiter)
      for (Char c : s)
        if (c == Delimiter || c == QuoteChar) { quote = true; break; }
    if (quote) {
      r.push_back(QuoteChar);
      for (Char c : s) {
        if (c == QuoteChar) r.push_back(QuoteChar);
        r.push_back(c);
      }
      r.push_back(QuoteChar);
    } else {
      r += s;
    }
    if (i + 1 < Count()) r.push_back(Delimiter);
  }
  return r;
}

void TStringList::SetDelimitedText(std::u16string_view text) {
  // A NUL ends the text, as it ends the runtime's character pointer.
  size_t nul = text.find(u'\0');
  if (nul != std::u16string_view::npos) text = text.substr(0, nul);
  const size_t n = text.size();
  auto blank = [&](size_t i) { return i < n && text[i] >= 1 && text[i] <= u' ' && !StrictDelimiter; };
  BeginUpdate();
  Clear();
  size_t p = 0;
  while (blank(p)) ++p;
  while (p < n) {
    String s;
    if (text[p] == QuoteChar) {
      ++p;
      while (p < n) {
        if (text[p] == QuoteChar) {
          if (p + 1 < n && text[p + 1] == QuoteChar) { s.push_back(QuoteChar); p += 2; continue; }
          ++p;
          break;
        }
        s.push_back(text[p++]);
      }
    } else {
      size_t start = p;
      while (p < n && (StrictDelimiter ? true : text[p] > u' ') && text[p] != Delimiter) ++p;
      s.assign(text.substr(start, p - start));
    }
    Add(s);
    while (blank(p)) ++p;
    if (p < n && text[p] == Delimiter) {
      if (p + 1 == n) Add(String());
      do ++p; while (blank(p));
    }
  }
  EndUpdate();
}

String TStringList::CommaText() const {
  TStringList copy;
  copy.Assign(*this);
  copy.Delimiter = u',';
  copy.QuoteChar = u'"';
  return copy.DelimitedText();
}

void TStringList::SetCommaText(std::u16string_view text) {
  Char d = Delimiter, q = QuoteChar;
  Delimiter = u',';
  QuoteChar = u'"';
  SetDelimitedText(text);
  Delimiter = d;
  QuoteChar = q;
}

String TStringList::Names(int index) const {
  const String& s = Get(index);
  size_t p = s.find(NameValueSeparator);
  return p == String::npos ? String() : s.substr(0, p);
}

String TStringList::ValueFromIndex(int index) const {
  const String& s = Get(index);
  size_t p = s.find(NameValueSeparator);
  return p == String::npos ? String() : s.substr(p + 1);
}

String TStringList::Values(std::u16string_view name) const {
  int i = IndexOfName(name);
  return i < 0 ? String() : ValueFromIndex(i);
}

void TStringList::SetValue(std::u16string_view name, const String& value) {
  int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  String line = String(name) + NameValueSeparator + value;
  if (i < 0) Add(line);
  else Put(i, line);
}

int TStringList::IndexOf(std::u16string_view s) const {
  for (int i = 0; i < Count(); ++i) {
    const String& item = FItems[static_cast<size_t>(i)];
    if (CaseSensitive ? item == s : SameText(item, s)) return i;
  }
  return -1;
}

int TStringList::IndexOfName(std::u16string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const String& item = FItems[static_cast<size_t>(i)];
    size_t p = item.find(NameValueSeparator);
    if (p == String::npos) continue;
    std::u16string_view n(item.data(), p);
    if (CaseSensitive ? n == name : SameText(n, name)) return i;
  }
  return -1;
}

int TStringList::IndexOfObject(const void* object) const {
  for (int i = 0; i < Count(); ++i)
    if (FObjects[static_cast<size_t>(i)] == object) return i;
  return -1;
}

void TStringList::BeginUpdate() {
  if (FUpdateCount == 0) Changing();
  ++FUpdateCount;
}

void TStringList::EndUpdate() {
  if (FUpdateCount <= 0) return;
  --FUpdateCount;
  if (FUpdateCount == 0) Changed();
}

void TStringList::Changing() {
  if (FUpdateCount == 0 && OnChanging) OnChanging(this);
}

void TStringList::Changed() {
  if (FUpdateCount == 0 && OnChange) OnChange(this);
}

String DecodeTextWithBom(const uint8_t* d, size_t n) {
  if (n >= 3 && d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF)
    return Utf8ToString(std::string_view(reinterpret_cast<const char*>(d + 3), n - 3));
  if (n >= 2 && ((d[0] == 0xFF && d[1] == 0xFE) || (d[0] == 0xFE && d[1] == 0xFF))) {
    bool le = d[0] == 0xFF;
    String r;
    r.reserve((n - 2) / 2);
    for (size_t i = 2; i + 1 < n; i += 2)
      r.push_back(le ? static_cast<Char>(d[i] | (d[i + 1] << 8)) : static_cast<Char>((d[i] << 8) | d[i + 1]));
    return r;
  }
  return AnsiToString(d, n);
}

void TStringList::LoadFromStream(TStream& stream) {
  int64_t size = stream.Size() - stream.Position();
  Bytes buf(static_cast<size_t>(std::max<int64_t>(size, 0)));
  int64_t got = buf.empty() ? 0 : stream.Read(buf.data(), static_cast<int64_t>(buf.size()));
  buf.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));
  BeginUpdate();
  SetText(DecodeTextWithBom(buf.data(), buf.size()));
  EndUpdate();
}

void TStringList::LoadFromFile(const String& fileName) {
  TFileStream f(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(f);
}

void TStringList::SaveToStream(TStream& stream) const {
  Bytes b = StringToAnsi(Text());
  if (!b.empty()) stream.WriteBuffer(b.data(), static_cast<int64_t>(b.size()));
}

void TStringList::SaveToFile(const String& fileName) const {
  TFileStream f(fileName, fmCreate);
  SaveToStream(f);
}

}  // namespace rtl
