// An index over a caller's list of header lines in "Name: value" form: finds fields, reads
// values with folded continuation lines joined, reads and adds "item=value" parameters, and
// edits the caller's lines in place (every edit re-indexes).
#pragma once

#include <vector>

#include "netlib/text/clUtils.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace netlib {

// Where an item sits inside a value (0-based): its name, and its value from ValueStart up to
// (not including) ValueEnd.
struct TclItemPos {
  int ItemStart = 0;
  int ValueStart = 0;
  int ValueEnd = 0;
};

class TclHeaderFieldList {
 public:
  TclHeaderFieldList() = default;
  virtual ~TclHeaderFieldList() = default;
  TclHeaderFieldList(const TclHeaderFieldList&) = delete;
  TclHeaderFieldList& operator=(const TclHeaderFieldList&) = delete;

  // One entry per field in line order: the lower-cased name, with its first line's index in
  // Source as the entry's object (see FieldLine).
  const rtl::TStringList& FieldList() const { return FFieldList; }
  rtl::TStringList* Source() const { return FSource; }
  int HeaderStart() const { return FHeaderStart; }
  int HeaderEnd() const { return FHeaderEnd; }
  // 0: added fields and items stay on one line; above 0: longer lines are folded onto
  // continuation lines that start with a tab, so that values read back unchanged.
  int CharsPerLine() const { return FCharsPerLine; }
  void SetCharsPerLine(int Value) { FCharsPerLine = Value; }
  rtl::Char ItemDelimiter() const { return FItemDelimiter; }
  void SetItemDelimiter(rtl::Char Value) { FItemDelimiter = Value; }

  // Attaches to ASource (kept alive by the caller) and indexes it from line AStartFrom up to the
  // first empty line; answers HeaderEnd.
  virtual int Parse(int AStartFrom, rtl::TStringList* ASource);
  // The value, continuation lines joined, trimmed; "" for an absent field.
  virtual rtl::String GetFieldValue(int AIndex);
  rtl::String GetFieldValue(const rtl::String& AName);
  // The value of the item AItemName (lower case) inside the value ASource, outer quotes removed;
  // with an empty AItemName the value's first item.
  virtual rtl::String GetFieldValueItem(const rtl::String& ASource, const rtl::String& AItemName);

  int GetFieldIndex(const rtl::String& AName) const;
  int GetFieldStart(int AIndex) const;
  int GetFieldEnd(int AIndex) const;
  rtl::String GetFieldName(int AIndex) const;

  // Nothing for an empty value.
  void AddField(const rtl::String& AName, const rtl::String& AValue);
  void AddEmptyField(const rtl::String& AName);
  void AddFieldIfNotExist(const rtl::String& AName, const rtl::String& AValue);
  void AddFields(const rtl::TStringList& AFields);
  // Nothing for a value that is empty once trimmed, or for an absent field.
  void AddFieldItem(const rtl::String& AFieldName, const rtl::String& AItemName,
                    const rtl::String& AValue, bool ANewLine = false);
  void AddFieldItem(int AFieldIndex, const rtl::String& AItemName, const rtl::String& AValue,
                    bool ANewLine = false);
  // The value in double quotes first (QuoteText): "" for an empty value.
  void AddQuotedFieldItem(const rtl::String& AFieldName, const rtl::String& AItemName,
                          const rtl::String& AValue, bool ANewLine = false);
  void AddQuotedFieldItem(int AFieldIndex, const rtl::String& AItemName, const rtl::String& AValue,
                          bool ANewLine = false);
  void RemoveField(const rtl::String& AName);
  void RemoveField(int AIndex);
  // Replaces every field AName by one "AName: AValue" at the end of the header (only removes
  // them for an empty value).
  void SetField(const rtl::String& AName, const rtl::String& AValue);

  // "Name:" and, for a value, a space and the value.
  static rtl::String GetNameValuePair(const rtl::String& AName, const rtl::String& AValue);
  // "item=value"; no "=" after an empty name or one that already ends with "=".
  static rtl::String GetItemNameValuePair(const rtl::String& AItemName, const rtl::String& AValue);

  // Items inside a value (no caller in the HTTP client): the value without the item and its
  // delimiter, and the value with the item's own value emptied ("name=" kept).
  virtual rtl::String RemoveItem(const rtl::String& ASource, const rtl::String& AItemName);
  virtual rtl::String ClearItem(const rtl::String& ASource, const rtl::String& AItemName);
  // Inserts lines at AIndex (clamped into the header) and re-indexes; answers HeaderEnd.
  virtual int InsertLines(int AIndex, const rtl::TStringList& ALines);

 protected:
  virtual const TSysCharSet& GetQuoteChars() const;
  virtual const TSysCharSet& GetItemDelimiters() const;
  virtual const TSysCharSet& GetFoldingBreakChars() const;
  virtual const TSysCharSet& GetBlankChars() const;
  virtual rtl::String GetRawFieldValue(int AIndex);
  virtual bool FindItem(const rtl::String& ASource, const rtl::String& AItemName, TclItemPos& APos);
  // Inserts one line (folded when CharsPerLine is positive) and re-indexes; answers HeaderEnd.
  // A line with a carriage return or a line feed is a programming error (EAssertionFailed).
  virtual int InsertFieldLine(int AIndex, const rtl::String& ALine);
  virtual void InsertFieldItem(int AFieldIndex, const rtl::String& AItemName, bool ANewLine,
                               const rtl::String& AValue);
  virtual void RemoveFieldLines(int AFieldIndex);

  // Inserts ALine (folded when CharsPerLine is positive) at AIndex without re-indexing; answers
  // the index after the inserted lines. Asserts that the line holds no CR or LF.
  int InsertFolded(int AIndex, const rtl::String& ALine);
  // The line index stored with FieldList entry AIndex.
  int FieldLine(int AIndex) const;
  // Splits a line into pieces of at most CharsPerLine characters where it can: after a folding
  // break character or before a blank, outside quotes, never inside the first AMinBreak
  // characters. Every piece after the first starts with a tab.
  std::vector<rtl::String> FoldLine(const rtl::String& ALine, int AMinBreak) const;
  void CheckAttached() const;

 private:
  rtl::TStringList FFieldList;
  rtl::TStringList* FSource = nullptr;
  int FHeaderStart = 0;
  int FHeaderEnd = 0;
  int FCharsPerLine = 0;
  rtl::Char FItemDelimiter = u';';
};

// SetField on a head given as lines ("Name: value", possibly ended by an empty line).
void SetField(rtl::TStringList& ALines, const rtl::String& AName, const rtl::String& AValue);

}  // namespace netlib
