// The 7-Zip library's binary interface. On Linux x86-64 (7z.so): IUnknown without a virtual
// destructor, plain calling convention, 4-byte wchar_t strings, its own 16-byte PROPVARIANT. On
// Windows (7z.dll): COM's, with stdcall methods, UTF-16 strings and the system's PROPVARIANT
// and BSTR (oleaut32).
// Never give these structs a virtual destructor: g++ would add two slots and shift every method.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// COM's calling convention for methods and exports: stdcall on Windows (the x64 compilers take
// it as their one convention, 32-bit ones need it), the plain one on Linux.
#ifdef _WIN32
#define SEVENZIP_STDCALL __stdcall
#else
#define SEVENZIP_STDCALL
#endif

namespace sevenzip {

using HRESULT = int32_t;
using PROPID = uint32_t;
using VARTYPE = uint16_t;
using BSTR = wchar_t*;
#ifdef _WIN32
static_assert(sizeof(wchar_t) == 2, "the library's strings are UTF-16 code units");
#else
static_assert(sizeof(wchar_t) == 4, "the library's strings are UTF-32 code units");
#endif

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// Every identifier of the library shares the prefix 23170F69-40C1-278A-.
constexpr GUID MakeLibraryGuid(uint16_t groupHi, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5,
                               uint8_t b6, uint8_t b7) {
  return GUID{0x23170F69, 0x40C1, 0x278A,
              {uint8_t(groupHi >> 8), uint8_t(groupHi & 0xFF), b2, b3, b4, b5, b6, b7}};
}
// Interfaces: 23170F69-40C1-278A-0000-00GG00II0000.
constexpr GUID InterfaceGuid(uint8_t group, uint8_t id) {
  return MakeLibraryGuid(0x0000, 0x00, group, 0x00, id, 0x00, 0x00);
}

constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID CLSID_CFormat7z = MakeLibraryGuid(0x1000, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00);
constexpr GUID IID_IInArchive = InterfaceGuid(0x06, 0x60);
constexpr GUID IID_IOutArchive = InterfaceGuid(0x06, 0xA0);
constexpr GUID IID_ISetProperties = InterfaceGuid(0x06, 0x03);
constexpr GUID IID_IArchiveOpenCallback = InterfaceGuid(0x06, 0x10);
constexpr GUID IID_IProgress = InterfaceGuid(0x00, 0x05);
constexpr GUID IID_IArchiveExtractCallback = InterfaceGuid(0x06, 0x20);
constexpr GUID IID_ICryptoGetTextPassword = InterfaceGuid(0x05, 0x10);
constexpr GUID IID_ISequentialInStream = InterfaceGuid(0x03, 0x01);
constexpr GUID IID_ISequentialOutStream = InterfaceGuid(0x03, 0x02);
constexpr GUID IID_IInStream = InterfaceGuid(0x03, 0x03);
constexpr GUID IID_IOutStream = InterfaceGuid(0x03, 0x04);
constexpr GUID IID_IStreamGetSize = InterfaceGuid(0x03, 0x06);

// VARIANT types and PROPVARIANT: 16 bytes on Linux; on Windows the system's layout, whose union
// holds a counted array (a count and a pointer), 24 bytes on x64.
enum : VARTYPE {
  VT_EMPTY = 0,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_BOOL = 11,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_FILETIME = 64,
};

struct FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
};

struct PROPVARIANT {
  VARTYPE vt;
  uint16_t wReserved1, wReserved2, wReserved3;
  union {
    int32_t lVal;
    uint32_t ulVal;
    int64_t hVal;
    uint64_t uhVal;
    int16_t boolVal;
    BSTR bstrVal;
    FILETIME filetime;
#ifdef _WIN32
    struct {
      uint32_t cElems;
      void* pElems;
    } ca;
#endif
  };
};
#ifdef _WIN32
static_assert(sizeof(PROPVARIANT) == 8 + 2 * sizeof(void*), "the system's PROPVARIANT layout");
#else
static_assert(sizeof(PROPVARIANT) == 16, "PROPVARIANT layout");
#endif
static_assert(offsetof(PROPVARIANT, uhVal) == 8, "PROPVARIANT layout");

// Item and archive property identifiers used here.
enum : PROPID {
  kpidPath = 3,
  kpidIsDir = 6,
  kpidSize = 7,
  kpidAttrib = 9,
  kpidMTime = 12,
  kpidPhySize = 44,
  kpidErrorFlags = 71,
};
constexpr uint32_t kpv_ErrorFlags_UnexpectedEnd = 1u << 5;

// Ask-extract modes and item results.
enum : int32_t { kExtract = 0, kTest = 1, kSkip = 2 };
enum : int32_t {
  kOK = 0,
  kUnsupportedMethod = 1,
  kDataError = 2,
  kCRCError = 3,
  kUnavailable = 4,
  kUnexpectedEnd = 5,
  kDataAfterEnd = 6,
  kIsNotArc = 7,
  kHeadersError = 8,
  kWrongPassword = 9,
};

struct IUnknown {
  virtual HRESULT SEVENZIP_STDCALL QueryInterface(const GUID& iid, void** out) = 0;
  virtual uint32_t SEVENZIP_STDCALL AddRef() = 0;
  virtual uint32_t SEVENZIP_STDCALL Release() = 0;
};

struct ISequentialInStream : IUnknown {
  virtual HRESULT SEVENZIP_STDCALL Read(void* data, uint32_t size, uint32_t* processedSize) = 0;
};
struct IInStream : ISequentialInStream {
  virtual HRESULT SEVENZIP_STDCALL Seek(int64_t offset, uint32_t seekOrigin, uint64_t* newPosition) = 0;
};
struct IStreamGetSize : IUnknown {
  virtual HRESULT SEVENZIP_STDCALL GetSize(uint64_t* size) = 0;
};
struct ISequentialOutStream : IUnknown {
  virtual HRESULT SEVENZIP_STDCALL Write(const void* data, uint32_t size, uint32_t* processedSize) = 0;
};
struct IOutStream : ISequentialOutStream {
  virtual HRESULT SEVENZIP_STDCALL Seek(int64_t offset, uint32_t seekOrigin, uint64_t* newPosition) = 0;
  virtual HRESULT SEVENZIP_STDCALL SetSize(uint64_t newSize) = 0;
};

struct IProgress : IUnknown {
  virtual HRESULT SEVENZIP_STDCALL SetTotal(uint64_t total) = 0;
  virtual HRESULT SEVENZIP_STDCALL SetCompleted(const uint64_t* completeValue) = 0;
};
struct IArchiveOpenCallback : IUnknown {
  virtual HRESULT SEVENZIP_STDCALL SetTotal(const uint64_t* files, const uint64_t* bytes) = 0;
  virtual HRESULT SEVENZIP_STDCALL SetCompleted(const uint64_t* files, const uint64_t* bytes) = 0;
};
struct IArchiveExtractCallback : IProgress {
  virtual HRESULT SEVENZIP_STDCALL GetStream(uint32_t index, ISequentialOutStream** outStream, int32_t askExtractMode) = 0;
  virtual HRESULT SEVENZIP_STDCALL PrepareOperation(int32_t askExtractMode) = 0;
  virtual HRESULT SEVENZIP_STDCALL SetOperationResult(int32_t opRes) = 0;
};
struct ICryptoGetTextPassword : IUnknown {
  virtual HRESULT SEVENZIP_STDCALL CryptoGetTextPassword(BSTR* password) = 0;
};

struct IInArchive : IUnknown {
  virtual HRESULT SEVENZIP_STDCALL Open(IInStream* stream, const uint64_t* maxCheckStartPosition,
                       IArchiveOpenCallback* openCallback) = 0;
  virtual HRESULT SEVENZIP_STDCALL Close() = 0;
  virtual HRESULT SEVENZIP_STDCALL GetNumberOfItems(uint32_t* numItems) = 0;
  virtual HRESULT SEVENZIP_STDCALL GetProperty(uint32_t index, PROPID propID, PROPVARIANT* value) = 0;
  virtual HRESULT SEVENZIP_STDCALL Extract(const uint32_t* indices, uint32_t numItems, int32_t testMode,
                          IArchiveExtractCallback* extractCallback) = 0;
  virtual HRESULT SEVENZIP_STDCALL GetArchiveProperty(PROPID propID, PROPVARIANT* value) = 0;
  virtual HRESULT SEVENZIP_STDCALL GetNumberOfProperties(uint32_t* numProps) = 0;
  virtual HRESULT SEVENZIP_STDCALL GetPropertyInfo(uint32_t index, BSTR* name, PROPID* propID, VARTYPE* varType) = 0;
  virtual HRESULT SEVENZIP_STDCALL GetNumberOfArchiveProperties(uint32_t* numProps) = 0;
  virtual HRESULT SEVENZIP_STDCALL GetArchivePropertyInfo(uint32_t index, BSTR* name, PROPID* propID, VARTYPE* varType) = 0;
};

struct ISetProperties : IUnknown {
  virtual HRESULT SEVENZIP_STDCALL SetProperties(const wchar_t* const* names, const PROPVARIANT* values, uint32_t numProps) = 0;
};

// The library's exports.
using TCreateObjectFunc = HRESULT(SEVENZIP_STDCALL*)(const GUID* clsid, const GUID* iid, void** out);
using TGetModulePropFunc = HRESULT(SEVENZIP_STDCALL*)(PROPID propID, PROPVARIANT* value);
// The string and variant functions of the library's heap: on Linux its own exports, on Windows
// the system's (oleaut32) through the platform layer.
using TSysAllocStringFunc = BSTR (*)(const wchar_t* s);
using TSysFreeStringFunc = void (*)(BSTR s);
using TVariantClearFunc = HRESULT (*)(PROPVARIANT* v);

}  // namespace sevenzip
