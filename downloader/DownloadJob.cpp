#include "downloader/DownloadJob.h"

#include <cstring>
#include <exception>
#include <memory>

#include "downloader/Utils.h"
#include "netlib/http/clHttp.h"
#include "netlib/http/clProxyApply.h"
#include "netlib/http/clResumableDownload.h"
#include "platform/crypto/Sha512Stream.h"
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

rtl::String ArchiveName(const rtl::String& Prefix, const rtl::String& Localization, const rtl::String& Version) {
  return rtl::Format(u"%s_SQL_%s_%s_%s.7z", {Prefix, Localization, Localization, Version});
}

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

// The body of the signature request: a signature is 64 bytes, and no server makes us read more.
class TSignatureBody : public rtl::TStream {
 public:
  explicit TSignatureBody(const rtl::String& AName) : FName(AName) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* ABuffer, int64_t ACount) override {
    if (ACount <= 0) return 0;
    if (ACount > int64_t(FBytes.size()) - FSize)
      throw ENotSigned(FName + u" is larger than 64 bytes, a signature is 64");
    std::memcpy(FBytes.data() + FSize, ABuffer, size_t(ACount));
    FSize += ACount;
    return ACount;
  }
  int64_t Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) override {
    if (AOrigin == rtl::soCurrent && AOffset == 0) return FSize;
    throw rtl::EStreamError(u"The signature is read in one go");
  }
  int64_t Size() override { return FSize; }
  const platform::TEd25519Signature& Bytes() const { return FBytes; }

 private:
  rtl::String FName;
  platform::TEd25519Signature FBytes{};
  int64_t FSize = 0;
};

// An https edition trusts its own authorities when it names them, and never follows a redirect
// off https: the answer would come over a path whose server nobody verified.
void PrepareClient(netlib::TclHttp& AHttp, const TUpdateEdition& AEdition) {
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

// The verification step of a signed edition, once the archive is complete: its signature comes
// with the same request for "<archive name>.sig" and must be the publisher's over the digest
// taken while the archive arrived. ENotSigned tells why it is not.
void CheckSignature(netlib::TclHttp& AHttp, const rtl::String& ARemoteName, const platform::TSha512Digest& ADigest,
                    const platform::TEd25519PublicKey& AKey, bool AHttps) {
  const rtl::String name = ARemoteName + u".sig";
  const rtl::String url = FileUrl(UpdateHost(), name, AHttps);
  WriteLog(url);
  TSignatureBody body(name);
  try {
    AHttp.Get(url, &body);
  } catch (const netlib::EclHttpError& e) {
    // The server answered, and has no signature to give.
    if (e.ErrorCode() >= 400) throw ENotSigned(name + u" could not be fetched: " + e.Message());
    throw;
  }
  if (body.Size() != int64_t(body.Bytes().size()))
    throw ENotSigned(name + u" is " + rtl::IntToStr(body.Size()) + u" bytes, a signature is 64");
  if (!platform::Ed25519Verify(AKey, ADigest.data(), ADigest.size(), body.Bytes()))
    throw ENotSigned(u"the signature does not match: " + ARemoteName + u" was altered or signed by another key");
}

}  // namespace

bool DownloadArchive(const rtl::String& TargetPrefix, const rtl::String& Localization, const rtl::String& Version,
                     const rtl::String& Folder, TDownloadFailure* AFailure) {
  const TUpdateEdition& edition = UpdateEdition();
  const rtl::String localPath = ArchiveName(Folder + DestinationPrefix, Localization, Version);
  const rtl::String remoteName = ArchiveName(TargetPrefix, Localization, Version);
  // Not guarded: a file that cannot be created is the caller's exception.
  auto file = std::make_unique<rtl::TFileStream>(localPath, rtl::fmCreate | rtl::fmShareExclusive);
  TDownloadFailure failure = dfNone;
  std::exception_ptr proxyError;
  {
    auto http = std::make_unique<netlib::TclHttp>();
    PrepareClient(*http, edition);
    // The machine's proxy settings, decided for each request's URL as curl decides them.
    netlib::UseEnvironmentProxy(*http);
    try {
      rtl::String url = FileUrl(UpdateHost(), remoteName, edition.Https);
      WriteLog(url);
      // Streamed: the body goes into the file as it arrives, gathered into large writes; the
      // last of them is part of the download, so a full disk fails it. A connection that breaks
      // in the body is resumed where it broke.
      rtl::TBufferedWriteStream out(*file);
      // A signed edition hashes the body on its way into the file; a transfer that starts again
      // from zero starts the digest again, one that resumes carries it on.
      rtl::TStream* body = &out;
      std::unique_ptr<platform::TSha512WriteStream> hashed;
      if (edition.PublicKey) body = (hashed = std::make_unique<platform::TSha512WriteStream>(out)).get();
      netlib::TclResumableDownload(*http).Get(url, *body);
      out.Flush();
      WriteLog(u"Transfer complete");
      if (hashed) {
        // What is checked must be what is extracted: the file holds exactly the hashed bytes.
        if (file->Size() != hashed->Position())
          throw rtl::EStreamError(u"The archive file holds " + rtl::IntToStr(file->Size()) + u" bytes, " +
                                  rtl::IntToStr(hashed->Position()) + u" were received");
        CheckSignature(*http, remoteName, hashed->Digest(), *edition.PublicKey, edition.Https);
      }
    } catch (const ENotSigned& e) {
      failure = dfNotSigned;
      WriteLog(remoteName + u" is not signed by the publisher: " + e.Message());
    } catch (const netlib::EclProxyEnvironmentError&) {
      // A proxy variable that cannot be used is the machine's fault, not the server's: the
      // caller shows its own message, which names the variable.
      failure = dfTransfer;
      proxyError = std::current_exception();
    } catch (const rtl::Exception& e) {
      failure = dfTransfer;
      WriteLog(e.Diagnostic());
    } catch (...) {
      failure = dfTransfer;
    }
  }  // the component first, then the file
  file.reset();
  if (failure != dfNone) {
    WriteLog(u"Download from ftp failed.");
    if (rtl::FileExists(localPath)) rtl::DeleteFile(localPath);
  }
  if (proxyError) std::rethrow_exception(proxyError);
  if (AFailure) *AFailure = failure;
  return failure == dfNone;
}

}  // namespace downloader
