// TMyStreamReader: the seekable input stream the library reads an archive through. It serves one
// file, or the numbered volumes of a split archive as one stream, asking for missing volumes
// through OnOpenVolume or the file-open dialog.
#pragma once

#include "sevenzip/SevenZipCallbacks.h"

namespace sevenzip {

class TMyStreamReader : public TInterfacedObject, public IInStream, public IStreamGetSize {
 public:
  TMyStreamReader(TSevenZip* Owner, const rtl::String& sz, bool asArchive);
  // One archive already open, read through ABorrowed (not closed here), named sz in reports: its
  // size is the file's, and no volume is ever looked for.
  TMyStreamReader(TSevenZip* Owner, const rtl::String& sz, platform::TFileHandle ABorrowed);
  ~TMyStreamReader() override;
  SEVENZIP_IUNKNOWN_IMPL
  HRESULT SEVENZIP_STDCALL Read(void* data, uint32_t size, uint32_t* processedSize) override;
  HRESULT SEVENZIP_STDCALL Seek(int64_t offset, uint32_t seekOrigin, uint64_t* newPosition) override;
  HRESULT SEVENZIP_STDCALL GetSize(uint64_t* size) override;

  // After the library reported an unexpected end at `needed` bytes of archive: asks for the
  // missing volume(s) until the stream offers that many, and rewinds. False when the user gave up
  // or nothing more could be found.
  bool ProvideMissingVolumes(int64_t needed);
  // Bytes of archive the stream offers from its start position (0 while unknown).
  int64_t OfferedSize() const { return arcSize > FStart ? arcSize - FStart : 0; }
  bool Multivolume() const { return FMultivolume; }
  int VolumeCount() const { return static_cast<int>(Files.size()); }
  int32_t MyLastErrorValue() const { return MyLastError; }

  // Internal steps, public for tests.
  bool OpenVolume(int Index);
  bool OpenLastVolume();
  bool BrowseForFile(const rtl::String& Title, rtl::String& Name);

 private:
  bool IsOwnerSFX() const;
  // Answers the size when it is asked for: the total of the volumes present when the first file
  // is a first volume and its next one exists, else the first file's size.
  void LearnSize();
  // Appends the consecutively numbered volumes that exist after the last entry.
  void AppendExistingVolumes();
  int64_t KnownTotal() const;
  HRESULT ReadVolumes(void* data, uint32_t size, uint32_t* processedSize);
  void CloseVolume(TFiles& f);

  TSevenZip* FSevenZip;
  rtl::String arcName;
  int64_t arcPosition = 0;
  int64_t arcSize = 0;
  TArrayOfFiles Files;
  TOpenVolume FOnOpenVolume;
  bool FArchive = true;
  int32_t MyLastError = 0;
  bool FMultivolume = false;
  int64_t FStart = 0;
  bool FSizeTold = false;
  bool FBorrowed = false;
};

}  // namespace sevenzip
