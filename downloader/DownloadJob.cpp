#include "downloader/DownloadJob.h"

#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "downloader/ExtractJob.h"
#include "downloader/Utils.h"
#include "netlib/http/clHttp.h"
#include "netlib/http/clProxyApply.h"
#include "netlib/http/clResumableDownload.h"
#include "platform/LastError.h"
#include "platform/crypto/Sha512Stream.h"
#include "platform/crypto/Statement.h"
#include "rtl/BufferedStream.h"
#include "rtl/Classes.h"

namespace downloader {

namespace {
rtl::String& HostValue() {
  static rtl::String host;
  return host;
}
TUpdateEdition& EditionValue() {
  static TUpdateEdition edition;
  return edition;
}
}  // namespace

const rtl::String& UpdateHost() { return HostValue(); }
void SetUpdateHost(const rtl::String& host) { HostValue() = host; }
const TUpdateEdition& UpdateEdition() { return EditionValue(); }
void SetUpdateEdition(const TUpdateEdition& AEdition) { EditionValue() = AEdition; }

rtl::String DownloadUrl(const rtl::String& Host, const rtl::String& TargetPrefix, const rtl::String& Localization,
                        const rtl::String& Version, bool Https) {
  return FileUrl(Host, ArchiveName(TargetPrefix, Localization, Version), Https);
}

rtl::String FileUrl(const rtl::String& Host, const rtl::String& RemoteName, bool Https) {
  return (Https ? u"https://" : u"http://") + Host + u"/mainweb/upgrade/GETFILE.ASP?FNM=" + RemoteName +
         u"&XE3=1&VER=600000";
}

namespace {

// Whatever makes the archive one the publisher did not sign.
class ENotSigned : public rtl::Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "ENotSigned"; }
};

// A file we keep open: the stream writes through it and leaves it open.
class TOpenFileStream : public rtl::THandleStream {
 public:
  explicit TOpenFileStream(platform::TFileHandle AHandle) : THandleStream(static_cast<intptr_t>(AHandle)) {}
  ~TOpenFileStream() override { FHandle = -1; }
};

// The body of the signature request: at most MaxSignatureFileSize bytes, and no server makes us
// read more. A transfer that starts again from zero starts the body again.
class TSignatureBody : public rtl::TStream {
 public:
  explicit TSignatureBody(const rtl::String& AName) : FName(AName) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* ABuffer, int64_t ACount) override {
    if (ACount <= 0) return 0;
    if (uint64_t(ACount) > platform::MaxSignatureFileSize - FBytes.size())
      throw ENotSigned(FName + u" is larger than " + rtl::IntToStr(int64_t(platform::MaxSignatureFileSize)) +
                       u" bytes, which no signature file is");
    FBytes.append(static_cast<const char*>(ABuffer), size_t(ACount));
    return ACount;
  }
  int64_t Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) override {
    if (AOrigin == rtl::soBeginning && AOffset == 0) return 0;
    if ((AOrigin == rtl::soCurrent || AOrigin == rtl::soEnd) && AOffset == 0) return int64_t(FBytes.size());
    throw rtl::EStreamError(u"The signature is read in order");
  }
  void SetSize(int64_t ANewSize) override {
    if (ANewSize != 0) throw rtl::EStreamError(u"The signature is read in order");
    FBytes.clear();
  }
  int64_t Size() override { return int64_t(FBytes.size()); }
  const std::string& Bytes() const { return FBytes; }

 private:
  rtl::String FName;
  std::string FBytes;
};

// Every edition bounds its transfers from below; an https edition trusts its own authorities
// when it names them, and never follows a redirect off https: the answer would come over a path
// whose server nobody verified.
void PrepareClient(netlib::TclHttp& AHttp, const TUpdateEdition& AEdition) {
  AHttp.Connection().SpeedFloor().Set(AEdition.SpeedLimit, AEdition.SpeedTime);
  if (!AEdition.Https) return;
  if (!AEdition.CAFile.empty()) AHttp.SetCAFile(AEdition.CAFile);
  AHttp.OnRedirect = [](netlib::TclHttp* Sender, const rtl::TStringList&, int AStatusCode,
                        const netlib::TclHttpResponseHeader& AResponseHeader, const rtl::TStringList&, rtl::String&,
                        bool&, bool&) {
    rtl::String target = netlib::TclUrlParser::CombineUrl(AResponseHeader.Location(), Sender->Url().AbsoluteUri(),
                                                          Sender->CharSet());
    if (!rtl::StartsText(u"https://", target))
      throw netlib::EclHttpError(u"The redirect to \"" + AResponseHeader.Location().substr(0, 200) +
                                     u"\" was refused: the update is fetched over https only",
                                 AStatusCode, u"");
  };
}

// A signed edition's first request: "<archive name>.sig", the publisher's signed statement of
// the archive's name, length and digest. It must be the publisher's and name this very archive
// before a byte of the archive is fetched. ENotSigned tells why it is not.
platform::TArchiveStatement FetchStatement(netlib::TclHttp& AHttp, const rtl::String& ARemoteName,
                                           const platform::TEd25519PublicKey& AKey, bool AHttps) {
  const rtl::String name = ARemoteName + u".sig";
  const rtl::String url = FileUrl(UpdateHost(), name, AHttps);
  WriteLog(url);
  TSignatureBody body(name);
  try {
    netlib::TclResumableDownload download(AHttp);
    download.SetMaxLength(int64_t(platform::MaxSignatureFileSize));
    download.Get(url, body);
  } catch (const netlib::EclHttpError& e) {
    // The server answered, and has no signature to give.
    if (e.ErrorCode() >= 400) throw ENotSigned(name + u" could not be fetched: " + e.Message());
    throw;
  } catch (const netlib::EclResumeError& e) {
    if (e.ErrorCode() != netlib::ResumeTooLargeCode) throw;
    throw ENotSigned(name + u" is larger than " + rtl::IntToStr(int64_t(platform::MaxSignatureFileSize)) +
                     u" bytes, which no signature file is");
  }
  platform::TArchiveStatement statement;
  try {
    statement = platform::VerifySignatureFile(body.Bytes(), AKey);
  } catch (const platform::ESignatureError& e) {
    throw ENotSigned(name + u": " + e.Message());
  }
  // A valid statement about another file (an older build, another edition) is no statement
  // about this one.
  if (statement.FileName != rtl::U8(ARemoteName))
    throw ENotSigned(u"the signature names \"" + rtl::S(platform::PrintableName(statement.FileName)) +
                     u"\", not " + ARemoteName);
  return statement;
}

// The archive's body into the open file: hashed on its way in a signed edition and held to the
// signed length, bounded by the edition's largest archive otherwise.
void FetchArchive(netlib::TclHttp& AHttp, const TUpdateEdition& AEdition, const rtl::String& ARemoteName,
                  platform::TFileHandle AFile, const platform::TArchiveStatement* AStatement) {
  rtl::String url = FileUrl(UpdateHost(), ARemoteName, AEdition.Https);
  WriteLog(url);
  TOpenFileStream file(AFile);
  // Streamed: the body goes into the file as it arrives, gathered into large writes; the last of
  // them is part of the download, so a full disk fails it. A connection that breaks in the body
  // is resumed where it broke.
  rtl::TBufferedWriteStream out(file);
  // A transfer that starts again from zero starts the digest again, one that resumes carries it on.
  rtl::TStream* body = &out;
  std::unique_ptr<platform::TSha512WriteStream> hashed;
  if (AStatement) body = (hashed = std::make_unique<platform::TSha512WriteStream>(out)).get();
  netlib::TclResumableDownload download(AHttp);
  download.SetMaxLength(AStatement ? AStatement->Length : AEdition.MaxBytes);
  try {
    download.Get(url, *body);
  } catch (const netlib::EclResumeError& e) {
    // More bytes than the publisher signed: not the publisher's archive, whatever else it is.
    if (AStatement && e.ErrorCode() == netlib::ResumeTooLargeCode)
      throw ENotSigned(ARemoteName + u" is longer than the " + rtl::IntToStr(AStatement->Length) +
                       u" bytes the publisher signed");
    throw;
  }
  out.Flush();
  WriteLog(u"Transfer complete");
  if (!hashed) return;
  // What is checked must be what is extracted: the file holds exactly the hashed bytes, as many
  // as were signed, with the signed digest.
  const int64_t held = platform::GetFileSizeOfHandle(AFile);
  if (held != hashed->Position())
    throw rtl::EStreamError(u"The archive file holds " + rtl::IntToStr(held) + u" bytes, " +
                            rtl::IntToStr(hashed->Position()) + u" were received");
  if (held != AStatement->Length)
    throw ENotSigned(ARemoteName + u" is " + rtl::IntToStr(held) + u" bytes, the publisher signed " +
                     rtl::IntToStr(AStatement->Length));
  if (hashed->Digest() != AStatement->Digest)
    throw ENotSigned(u"the digest does not match: " + ARemoteName + u" was altered or is not the one signed");
}

const std::string kDownloadSuffix = ".download";
std::string TempPrefix(const std::string& ALocalName) { return "." + ALocalName + "."; }

// Temporary files of runs that were killed: ours, since the lock is ours now.
void RemoveLeftovers(platform::TFileHandle AFolder, const std::string& ALocalName) {
  std::vector<platform::TFolderEntry> entries;
  if (!platform::ListFolder(AFolder, entries)) return;
  const std::string prefix = TempPrefix(ALocalName);
  for (const auto& [n, kind] : entries)
    if (kind == platform::TEntryKind::File && n.size() > prefix.size() + kDownloadSuffix.size() &&
        n.compare(0, prefix.size(), prefix) == 0 &&
        n.compare(n.size() - kDownloadSuffix.size(), kDownloadSuffix.size(), kDownloadSuffix) == 0)
      platform::DeleteIn(AFolder, n);
}

}  // namespace

TDownloadedArchive::~TDownloadedArchive() {
  if (FHandle != platform::INVALID_FILE_HANDLE) platform::CloseHandle(FHandle);
  if (!FTempName.empty()) platform::DeleteIn(FFolder, FTempName);
}

bool TDownloadedArchive::TakeName(const std::string& AName) {
  // Only our own file takes the name (another user may have put theirs under the temporary
  // one), by a plain rename: what stands at the name (an old archive, a link someone planted)
  // is replaced as an entry, never followed.
  if (FTempName.empty() || !platform::SameFileIn(FFolder, FTempName, FHandle) ||
      !platform::RenameIn(FFolder, FTempName, FFolder, AName))
    return false;
  FTempName.clear();
  return true;
}

void CheckArchivePlace(platform::TFileHandle AFolder, const rtl::String& ALocalPath) {
  platform::TEntryKind kind = platform::EntryKindIn(AFolder, rtl::U8(rtl::ExtractFileName(ALocalPath)));
  if (kind != platform::TEntryKind::None && kind != platform::TEntryKind::File && kind != platform::TEntryKind::Link)
    throw rtl::EFCreateError(rtl::Format(u"Cannot create file \"%s\". %s",
                                         {ALocalPath, platform::WindowsErrorMessage(platform::ERROR_ACCESS_DENIED)}));
}

bool DownloadArchiveTo(platform::TFileHandle AFolder, const rtl::String& AFolderPath, const rtl::String& ARemoteName,
                       const rtl::String& ALocalName, TDownloadedArchive& AArchive, TDownloadFailure* AFailure) {
  const TUpdateEdition& edition = UpdateEdition();
  const std::string localName = rtl::U8(ALocalName);
  RemoveLeftovers(AFolder, localName);
  TDownloadFailure failure = dfNone;
  std::exception_ptr proxyError;
  {
    auto http = std::make_unique<netlib::TclHttp>();
    PrepareClient(*http, edition);
    // The machine's proxy settings, decided for each request's URL as curl decides them.
    netlib::UseEnvironmentProxy(*http);
    try {
      std::optional<platform::TArchiveStatement> statement;
      if (edition.PublicKey) statement = FetchStatement(*http, ARemoteName, *edition.PublicKey, edition.Https);
      if (AArchive.FHandle == platform::INVALID_FILE_HANDLE) {
        // Not guarded: a file that cannot be made is the caller's exception. Private to us until
        // it is installed, and never anything another user planted under the name.
        std::string temp;
        platform::TFileHandle h = platform::CreateTempFileIn(
            AFolder, platform::FILE_ATTRIBUTE_UNIX_EXTENSION | (0100600u << 16), temp, TempPrefix(localName),
            kDownloadSuffix);
        if (h == platform::INVALID_FILE_HANDLE)
          throw rtl::EFCreateError(rtl::Format(u"Cannot create file \"%s\". %s",
                                               {AFolderPath + ALocalName, platform::WindowsErrorMessage(
                                                                              platform::GetLastErrorValue())}));
        AArchive.FFolder = AFolder;
        AArchive.FHandle = h;
        AArchive.FTempName = temp;
      }
      FetchArchive(*http, edition, ARemoteName, AArchive.FHandle, statement ? &*statement : nullptr);
    } catch (const ENotSigned& e) {
      failure = dfNotSigned;
      WriteLog(ARemoteName + u" is not signed by the publisher: " + e.Message());
    } catch (const netlib::EclProxyEnvironmentError&) {
      // A proxy variable that cannot be used is the machine's fault, not the server's: the
      // caller shows its own message, which names the variable.
      failure = dfTransfer;
      proxyError = std::current_exception();
    } catch (const rtl::EFCreateError&) {
      throw;
    } catch (const rtl::Exception& e) {
      failure = dfTransfer;
      WriteLog(e.Diagnostic());
    } catch (...) {
      failure = dfTransfer;
    }
  }  // the component first, then the file
  if (failure != dfNone) {
    WriteLog(u"Download from ftp failed.");
    if (AArchive.FHandle != platform::INVALID_FILE_HANDLE) platform::CloseHandle(AArchive.FHandle);
    AArchive.FHandle = platform::INVALID_FILE_HANDLE;
    if (!AArchive.FTempName.empty()) platform::DeleteIn(AFolder, AArchive.FTempName);
    AArchive.FTempName.clear();
    // As designed, no archive of that name is left after a failure.
    platform::TEntryKind kind = platform::EntryKindIn(AFolder, localName);
    if (kind == platform::TEntryKind::File || kind == platform::TEntryKind::Link) platform::DeleteIn(AFolder, localName);
  }
  if (proxyError) std::rethrow_exception(proxyError);
  if (AFailure) *AFailure = failure;
  return failure == dfNone;
}

bool DownloadArchive(const rtl::String& TargetPrefix, const rtl::String& Localization, const rtl::String& Version,
                     const rtl::String& Folder, TDownloadFailure* AFailure) {
  const rtl::String folderPath = rtl::IncludeTrailingPathDelimiter(Folder);
  const rtl::String localPath = DownloadedArchivePath(Localization, Version, folderPath);
  const rtl::String remoteName = ArchiveName(TargetPrefix, Localization, Version);
  auto fail = [&](TDownloadFailure AWhy) {
    if (AFailure) *AFailure = AWhy;
    return false;
  };
  platform::TOwnedFile folder(platform::OpenFolder(rtl::ExcludeTrailingPathDelimiter(folderPath)));
  if (!folder.Valid())
    throw rtl::EFCreateError(rtl::Format(u"Cannot create file \"%s\". %s",
                                         {localPath, platform::WindowsErrorMessage(platform::GetLastErrorValue())}));
  // Nothing of the folder is touched before its lock is ours: a second start waits here.
  platform::TOwnedFile lock(platform::LockFolder(folder.Get(), InstallLockWaitMs));
  if (!lock.Valid() && platform::GetLastErrorValue() == platform::ERROR_LOCK_VIOLATION) {
    WriteLog(AnotherUpdateMessage(folderPath));
    return fail(dfBusy);
  }
  CheckArchivePlace(folder.Get(), localPath);
  TDownloadedArchive archive;
  TDownloadFailure failure = dfNone;
  bool ok = DownloadArchiveTo(folder.Get(), folderPath, remoteName, rtl::ExtractFileName(localPath), archive, &failure);
  if (ok && !archive.TakeName(rtl::U8(rtl::ExtractFileName(localPath)))) {
    WriteLog(u"Cannot name the archive " + localPath + u": " + platform::WindowsErrorMessage(platform::GetLastErrorValue()));
    WriteLog(u"Download from ftp failed.");
    return fail(dfTransfer);
  }
  if (AFailure) *AFailure = failure;
  return ok;
}

}  // namespace downloader
