// TSevenZip: extracts or tests a 7z archive through the 7-Zip library, reporting every failure by
// an error code, a fixed English text and the OnMessage event.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/Files.h"
#include "platform/gui/Forms.h"
#include "rtl/DateUtils.h"
#include "rtl/Exception.h"
#include "sevenzip/CallerGate.h"
#include "sevenzip/SevenZipLibrary.h"

namespace sevenzip {

class TSevenZip;

enum TCompressType { LZMA, PPMD };
enum TCompressStrength { SAVE, FAST, NORMAL, MAXIMUM, ULTRA };
enum AddOptsEnum { AddRecurseDirs, AddSolid, AddStoreOnlyFilename, AddIncludeDriveLetter, AddEncryptFilename };
enum ExtractOptsEnum { ExtractNoPath = 0, ExtractOverwrite = 1 };
using AddOpts = uint8_t;      // bit i set = AddOptsEnum i
using ExtractOpts = uint8_t;  // bit 0 ExtractNoPath, bit 1 ExtractOverwrite
constexpr uint8_t OptBit(int e) { return static_cast<uint8_t>(1u << e); }
using TLZMAStrength = uint8_t;  // 0..27
using TPPMDSize = uint8_t;      // 2..32
using TPPMDMem = uint8_t;       // 1..31

// One open file of a stream.
struct TFiles {
  rtl::String Name;
  platform::TFileHandle Handle = platform::INVALID_FILE_HANDLE;
  int64_t Size = 0;
  bool OnRemovableDrive = false;
};
using TArrayOfFiles = std::vector<TFiles>;

// The optional selection of entries to extract (indices or stored names).
struct TWideStringList_ {
  std::vector<rtl::String> WStrings;
  uint32_t Count = 0;
  void Clear() {
    WStrings.clear();
    Count = 0;
  }
  void Add(const rtl::String& s) {
    WStrings.push_back(s);
    Count = static_cast<uint32_t>(WStrings.size());
  }
};

using T7zMessageEvent = std::function<void(TSevenZip* Sender, int32_t ErrCode, const rtl::String& Message,
                                           const rtl::String& Filename)>;
using T7zPreProgressEvent = std::function<void(TSevenZip* Sender, int64_t MaxProgress)>;
using T7zProgressEvent = std::function<void(TSevenZip* Sender, const rtl::String& Filename, int64_t FilePosArc,
                                            int64_t FilePosFile)>;
using T7zExtractfileEvent = std::function<void(TSevenZip* Sender, const rtl::String& Filename, int64_t Filesize)>;
using T7zSetNewNameEvent = std::function<void(TSevenZip* Sender, uint32_t FileIndex, rtl::String& OldFileName)>;
using T7zExtractOverwrite = std::function<void(TSevenZip* Sender, const rtl::String& FileName, bool& DoOverwrite)>;
using TOpenVolume = std::function<void(rtl::String& arcFileName, bool Removable, bool& Cancel)>;
using T7zListfileEvent =
    std::function<void(TSevenZip* Sender, const rtl::String& Filename, int64_t Fileindex, int64_t FileSizeU,
                       int64_t FileSizeP, int64_t Fileattr, int64_t Filecrc, const rtl::String& Filemethod,
                       double FileTime)>;
using T7zAddFileEvent = std::function<void(TSevenZip* Sender, const rtl::String& Filename, int64_t Filesize)>;

// The file-open dialog the volume prompts show; answers false when cancelled.
struct TBrowseRequest {
  rtl::String Title;
  rtl::String FilterDescription;
  rtl::String FilterPattern;
  int FilterIndex = 1;
  rtl::String InitialDir;
};
using TBrowseForFileFunc = std::function<bool(const TBrowseRequest& request, rtl::String& fileName)>;
// Replaces the dialog (tests script it); an empty function restores the platform's dialog.
void SetBrowseForFileHandler(TBrowseForFileFunc f);
// The dialog in use: the platform's file-open dialog unless replaced.
bool RunBrowseForFile(const TBrowseRequest& request, rtl::String& fileName);

// Error codes and their texts, indexed by code.
enum : int32_t {
  SZ_SUCCESS = 0,
  SZ_FILE_NOT_FOUND = 1,
  SZ_DATA_ERROR = 2,
  SZ_CRC_ERROR = 3,
  SZ_UNSUPPORTED_METHOD = 4,
  SZ_INDEX_OUT_OF_RANGE = 5,
  SZ_USER_CANCELED = 6,
  SZ_NOT_SFX = 7,
  SZ_SFXMODULE_ERROR = 8,
  SZ_SFX_CREATE_ERROR = 9,
  SZ_NO_FILES_TO_ADD = 10,
  SZ_COULD_NOT_CREATE_FILE = 11,
};
extern const char16_t* const c7zipResMsg[12];

// A non-visual component: an owner, when given, frees it.
class TSevenZip : public platform::gui::TComponent {
 public:
  // Binds the library; raises rtl::Exception with the two-line text when it can't.
  explicit TSevenZip(platform::gui::TComponent* AOwner = nullptr);
  ~TSevenZip() override;
  TSevenZip(const TSevenZip&) = delete;
  TSevenZip& operator=(const TSevenZip&) = delete;

  // Extracts (false) or tests (true) SZFileName into ExtrBaseDir: -1 when the component fails
  // before the library gets the work, otherwise the library's result (0 success).
  int32_t Extract(bool TestArchive = false);
  int32_t GetIndexByFilename(const rtl::String& FileToExtract);
  bool SFXCheck(const rtl::String& Fn);
  void SetSFXCreate(bool Value);
  void SetVolumeSize(int32_t Value);
  void SetLastError(int32_t Value) { FLastError = Value; }

  // Properties.
  int32_t ErrCode() const { return FErrCode; }
  void SetErrCode(int32_t v) { FErrCode = v; }
  int32_t LastError() const { return FLastError; }
  intptr_t Handle() const { return FHandle; }
  void SetHandle(intptr_t v) { FHandle = v; }
  const rtl::String& ExtrBaseDir() const { return FExtrBaseDir; }
  void SetExtrBaseDir(const rtl::String& v) { FExtrBaseDir = v; }
  const rtl::String& SZFileName() const { return FSevenZipFileName; }
  void SetSZFileName(const rtl::String& v) { FSevenZipFileName = v; }
  const rtl::String& SevenZipComment() const { return FComment; }
  void SetSevenZipComment(const rtl::String& v) { FComment = v; }
  const rtl::String& AddRootDir() const { return FRootDir; }
  void SetAddRootDir(const rtl::String& v) { FRootDir = v; }
  TWideStringList_& Files() { return Ffiles; }
  AddOpts AddOptions() const { return FAddOptions; }
  void SetAddOptions(AddOpts v) { FAddOptions = v; }
  ExtractOpts ExtractOptions() const { return FExtractOptions; }
  void SetExtractOptions(ExtractOpts v) { FExtractOptions = v; }
  int32_t NumberOfFiles() const { return FNumberOfFiles; }
  void SetNumberOfFiles(int32_t v) { FNumberOfFiles = v; }
  bool IsSFX() const { return FIsSFX; }
  void SetIsSFX(bool v) { FIsSFX = v; }
  int64_t SFXOffset() const { return FSFXOffset; }
  void SetSFXOffset(int64_t v) { FSFXOffset = v; }
  bool SFXCreate() const { return FSFXCreate; }
  const rtl::String& SFXModule() const { return FSFXModule; }
  void SetSFXModule(const rtl::String& v) { FSFXModule = v; }
  TCompressType LZMACompressType() const { return FCompresstype; }
  void SetLZMACompressType(TCompressType v) { FCompresstype = v; }
  TCompressStrength LZMACompressStrength() const { return FCompstrength; }
  void SetLZMACompressStrength(TCompressStrength v) { FCompstrength = v; }
  TLZMAStrength LZMAStrength() const { return FLZMAStrength; }
  void SetLZMAStrength(TLZMAStrength v) { FLZMAStrength = v; }
  TPPMDSize LPPMDsize() const { return FPPMDSize; }
  void SetLPPMDsize(TPPMDSize v) { FPPMDSize = v; }
  TPPMDMem LPPMDmem() const { return FPPMDMem; }
  void SetLPPMDmem(TPPMDMem v) { FPPMDMem = v; }
  int32_t VolumeSize() const { return FVolumeSize; }
  const rtl::String& Password() const { return FPassword; }
  void SetPassword(const rtl::String& v) { FPassword = v; }
  const std::vector<rtl::String>& NamesOfVolumesWritten() const { return FNamesOfVolumesWritten; }
  // The cancel request; no operation of this component raises it, a handler may.
  bool MainCancel() const { return FMainCancel; }
  void SetMainCancel(bool v) { FMainCancel = v; }
  // An archive already open (not owned; it must stay open while Extract runs): read through this
  // descriptor instead of SZFileName, which then only names it in reports. One file: no volumes
  // are looked for and no dialog is shown. INVALID_HANDLE_VALUE (the default): SZFileName is
  // opened.
  platform::TFileHandle SZFileHandle() const { return FSZFileHandle; }
  void SetSZFileHandle(platform::TFileHandle v) { FSZFileHandle = v; }
  // The extraction folder already open (not owned): items are made beneath this descriptor, never
  // through a path that another program could swap, and ExtrBaseDir only names them in reports.
  platform::TFileHandle ExtrBaseHandle() const { return FExtrBaseHandle; }
  void SetExtrBaseHandle(platform::TFileHandle v) { FExtrBaseHandle = v; }
  // Threads the library may decode with; 0 leaves it its own choice. Each extra LZMA2 decoding
  // thread buffers a whole block (four dictionaries), so a caller short of memory asks for 1.
  uint32_t DecoderThreads() const { return FDecoderThreads; }
  void SetDecoderThreads(uint32_t v) { FDecoderThreads = v; }
  // Bytes the library's decoders may take (its "memuse"); 0 leaves its own limit. The parallel
  // LZMA2 decoder then runs only as many threads as blocks fit in it: an archive of small blocks
  // (a small dictionary) decodes in parallel, one of large blocks on one thread.
  uint64_t DecoderMemoryLimit() const { return FDecoderMemoryLimit; }
  void SetDecoderMemoryLimit(uint64_t v) { FDecoderMemoryLimit = v; }

  // Events, fired only when assigned, always on the thread that called Extract.
  T7zProgressEvent OnProgress;
  T7zPreProgressEvent OnPreProgress;
  T7zMessageEvent OnMessage;
  T7zListfileEvent OnListfile;
  T7zExtractfileEvent OnExtractfile;
  T7zAddFileEvent OnAddfile;
  T7zSetNewNameEvent OnSetAddName;
  T7zSetNewNameEvent OnSetExtractName;
  T7zExtractOverwrite OnExtractOverwrite;
  TOpenVolume OnOpenVolume;

  // --- used by the callbacks and streams of this component --------------------------------
  IInArchive* InArchive() const { return inA; }
  const TSevenZipLibrary& Library() const { return FLibrary; }
  // Sets ErrCode and fires OnMessage (not for code 0) with the code's text.
  void ReportError(int32_t code, const rtl::String& fileName);
  // Runs an event handler on the thread that called Extract.
  void OnCallerThread(const std::function<void()>& f) { FGate.Run(f); }
  // Keeps the first exception a handler raised inside a library call; Extract rethrows it.
  void KeepException(std::exception_ptr e);

 private:
  int32_t FindItemIndex(const rtl::String& name);
  void LimitDecoderThreads();
  void RethrowKept();

  int32_t FErrCode = 0;
  std::atomic<int32_t> FLastError{0};
  intptr_t FHandle = 0;
  rtl::String FExtrBaseDir;
  rtl::String FSevenZipFileName;
  rtl::String FComment;
  rtl::String FRootDir;
  TWideStringList_ Ffiles;
  AddOpts FAddOptions = 0;
  ExtractOpts FExtractOptions = 0;
  int32_t FNumberOfFiles = -1;
  bool FIsSFX = false;
  int64_t FSFXOffset = 0;
  bool FSFXCreate = false;
  rtl::String FSFXModule = u"7z.sfx";
  TCompressType FCompresstype = LZMA;
  TCompressStrength FCompstrength = SAVE;
  TLZMAStrength FLZMAStrength = 0;
  TPPMDSize FPPMDSize = 10;
  TPPMDMem FPPMDMem = 30;
  std::atomic<bool> FMainCancel{false};
  TSevenZipLibrary FLibrary;
  int32_t FVolumeSize = 0;
  uint32_t FDecoderThreads = 0;
  uint64_t FDecoderMemoryLimit = 0;
  platform::TFileHandle FSZFileHandle = platform::INVALID_FILE_HANDLE;
  platform::TFileHandle FExtrBaseHandle = platform::INVALID_FILE_HANDLE;
  rtl::String FPassword;
  std::vector<rtl::String> FNamesOfVolumesWritten;
  IInArchive* inA = nullptr;
  IUnknown* outA = nullptr;
  ISetProperties* sp = nullptr;

  TCallerGate FGate;
  std::mutex FExceptionLock;
  std::exception_ptr FKeptException;
};

}  // namespace sevenzip
