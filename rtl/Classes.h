// Streams and the string list.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace rtl {

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes; answers how many were read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes up to count bytes; answers how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Answers the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  virtual void SetSize(int64_t newSize);

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soBeginning); }
  // All or nothing: EReadError "Stream read error" / EWriteError "Stream write error".
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source's position; count 0 copies the whole source from its start.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// File open modes.
enum : uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareCompat = 0x0000,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyRead = 0x0030,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFF00,
};

// A stream over an open file of the system that it owns: a descriptor on POSIX, a HANDLE on
// Windows, held as a number; -1 is no file.
class THandleStream : public TStream {
 public:
  explicit THandleStream(intptr_t handle) : FHandle(handle) {}
  ~THandleStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  intptr_t Handle() const { return FHandle; }

 protected:
  intptr_t FHandle;
};

// fmCreate creates or truncates. The share modes keep other openers out where the system has
// sharing modes, and are advisory locks (flock) on POSIX.
// Raises EFCreateError "Cannot create file "%s". %s" or EFOpenError "Cannot open file "%s". %s".
class TFileStream : public THandleStream {
 public:
  TFileStream(const String& fileName, uint16_t mode, uint32_t rights = 0666);
  const String& FileName() const { return FFileName; }

 private:
  String FFileName;
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t newSize) override;

  uint8_t* Memory() { return FData.data(); }
  const uint8_t* Memory() const { return FData.data(); }
  void Clear() { FData.clear(); FPosition = 0; }
  void LoadFromStream(TStream& source);
  void SaveToStream(TStream& dest);
  void LoadFromFile(const String& fileName);
  void SaveToFile(const String& fileName);

 protected:
  Bytes FData;
  int64_t FPosition = 0;
};

// A memory stream initialised with bytes; Bytes() answers its whole content.
class TBytesStream : public TMemoryStream {
 public:
  TBytesStream() = default;
  explicit TBytesStream(Bytes data) { FData = std::move(data); }
  const Bytes& GetBytes() const { return FData; }
};

// Ordered lines with name=value access. Look-ups ignore ASCII letter case unless CaseSensitive.
class TStringList {
 public:
  TStringList() = default;
  TStringList(const TStringList& other) { Assign(other); }
  TStringList& operator=(const TStringList& other) { Assign(other); return *this; }
  virtual ~TStringList() = default;

  int Count() const { return static_cast<int>(FItems.size()); }
  const String& operator[](int index) const { return Get(index); }
  const String& Get(int index) const;  // EListError "List index out of bounds (%d)"
  void Put(int index, const String& s);
  void* Objects(int index) const;
  void PutObject(int index, void* object);

  int Add(const String& s);
  int AddObject(const String& s, void* object);
  void Insert(int index, const String& s);
  void InsertObject(int index, const String& s, void* object);
  void Delete(int index);
  void Clear();
  void Exchange(int index1, int index2);
  void Move(int curIndex, int newIndex);
  void AddStrings(const TStringList& strings);
  void Assign(const TStringList& source);
  bool Equals(const TStringList& other) const;

  // Every line followed by CR LF.
  String Text() const;
  // Splits at CR LF, CR or LF; a final line break adds no empty line.
  void SetText(std::u16string_view text);

  // Delimited text: leading blanks skipped, a part ends at the delimiter or any character with
  // code 32 or below, quoted parts may hold either, a final delimiter adds an empty part.
  String DelimitedText() const;
  void SetDelimitedText(std::u16string_view text);
  String CommaText() const;
  void SetCommaText(std::u16string_view text);
  Char Delimiter = u',';
  Char QuoteChar = u'"';
  Char NameValueSeparator = u'=';
  bool StrictDelimiter = false;
  bool CaseSensitive = false;

  String Names(int index) const;          // "" for a line without separator
  String ValueFromIndex(int index) const;
  String Values(std::u16string_view name) const;
  // An empty value deletes the line, as the runtime does.
  void SetValue(std::u16string_view name, const String& value);
  int IndexOf(std::u16string_view s) const;
  int IndexOfName(std::u16string_view name) const;
  int IndexOfObject(const void* object) const;

  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return FUpdateCount; }
  std::function<void(TStringList*)> OnChange;
  std::function<void(TStringList*)> OnChanging;

  // A byte-order mark selects UTF-8 or UTF-16; without one the ANSI code page (Windows-1252) applies.
  void LoadFromStream(TStream& stream);
  void LoadFromFile(const String& fileName);
  // Writes the text in the ANSI code page, without a byte-order mark.
  void SaveToStream(TStream& stream) const;
  void SaveToFile(const String& fileName) const;

  std::vector<String>::const_iterator begin() const { return FItems.begin(); }
  std::vector<String>::const_iterator end() const { return FItems.end(); }

 protected:
  void Changing();
  void Changed();

 private:
  void CheckIndex(int index) const;
  std::vector<String> FItems;
  std::vector<void*> FObjects;
  int FUpdateCount = 0;
};

// Decodes bytes by their byte-order mark, Windows-1252 without one.
String DecodeTextWithBom(const uint8_t* data, size_t size);

}  // namespace rtl
