// krv-sign keygen KEYFILE | sign KEYFILE ARCHIVE | verify PUBKEY ARCHIVE
// The publisher's side of signed updates: an Ed25519 key, and ARCHIVE.sig (the signed statement
// of the archive's name, length and SHA-512 digest, platform/crypto/Statement.h). Exit code: 0
// done (verify: "OK"), 1 failed with a one-line reason on stderr, 2 the command line was wrong.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/crypto/Signature.h"
#include "platform/crypto/Statement.h"
#include "rtl/SysUtils.h"

namespace {

constexpr char kUsage[] =
    "usage: krv-sign keygen KEYFILE          new Ed25519 private key (PEM); prints the public key\n"
    "       krv-sign sign KEYFILE ARCHIVE    writes ARCHIVE.sig (name, length, SHA-512, signature)\n"
    "       krv-sign verify PUBKEY ARCHIVE   checks ARCHIVE.sig against the base64 public key\n";

struct EFailed {
  std::string Reason;
};

[[noreturn]] void Fail(const std::string& AReason) { throw EFailed{AReason}; }
// AWhat and the reason the last platform call gave.
[[noreturn]] void FailSystem(const std::string& AWhat) {
  Fail(AWhat + ": " + rtl::U8(platform::WindowsErrorMessage(platform::GetLastErrorValue())));
}

// A file that appears whole under its name or not at all: written beside it under a temporary
// name, flushed, then renamed. The temporary file goes with the object when that did not happen.
class TNewFile {
 public:
  // The folder of APath must exist; AMode is the file's permission bits (through the umask).
  TNewFile(const std::string& APath, uint32_t AMode) : FPath(APath) {
    const rtl::String path = rtl::S(APath), folder = rtl::ExtractFilePath(path);
    FName = rtl::U8(rtl::ExtractFileName(path));
    // A bare name is in the current folder; "/" stays itself.
    FFolder.Reset(platform::OpenFolder(folder.empty()      ? rtl::String(u".")
                                       : folder.size() > 1 ? rtl::ExcludeTrailingPathDelimiter(folder)
                                                           : folder));
    if (!FFolder.Valid()) FailSystem("cannot create " + APath);
    FFile.Reset(platform::CreateTempFileIn(FFolder.Get(), platform::FILE_ATTRIBUTE_UNIX_EXTENSION | ((0100000u | AMode) << 16),
                                           FTempName, "." + FName + ".", ".tmp"));
    if (!FFile.Valid()) FailSystem("cannot create a file beside " + APath);
  }
  ~TNewFile() {
    FFile.Reset();
    if (!FTempName.empty()) platform::DeleteIn(FFolder.Get(), FTempName);
  }
  void Write(const void* AData, size_t ASize) {
    uint32_t done = 0;
    if (!platform::WriteFileAt(FFile.Get(), FWritten, AData, uint32_t(ASize), &done) || done != ASize)
      FailSystem("cannot write " + FPath);
    FWritten += done;
  }
  // Gives the file its name: over an existing one, or (AReplace false) only where none is.
  void Commit(bool AReplace, const std::string& AExists) {
    if (!platform::SyncFile(FFile.Get()) || !platform::CloseHandle(FFile.Release())) FailSystem("cannot write " + FPath);
    if (!platform::RenameIn(FFolder.Get(), FTempName, FFolder.Get(), FName,
                            AReplace ? platform::TRenameMode::Replace : platform::TRenameMode::NoReplace)) {
      if (!AReplace && platform::GetLastErrorValue() == platform::ERROR_ALREADY_EXISTS) Fail(AExists);
      FailSystem("cannot write " + FPath);
    }
    FTempName.clear();
  }

 private:
  std::string FPath, FName, FTempName;
  platform::TOwnedFile FFolder, FFile;
  int64_t FWritten = 0;
};

// A private key is never written over: losing the old one would orphan every edition built
// with its public half.
int Keygen(const std::string& AKeyFile) {
  platform::TEd25519KeyPair pair = platform::Ed25519GenerateKey();
  // Owner read and write only; no other user sees even a part of the key while it is written.
  TNewFile file(AKeyFile, 0600);
  file.Write(pair.PrivateKeyPem.data(), pair.PrivateKeyPem.size());
  platform::SecureZero(pair.PrivateKeyPem.data(), pair.PrivateKeyPem.size());
  file.Commit(false, AKeyFile + " exists; a key file is never overwritten");
  std::printf("%s\n", platform::EncodePublicKey(pair.PublicKey).c_str());
  return 0;
}

std::string ReadKeyFile(const std::string& AKeyFile) {
  platform::TOwnedFile file(platform::OpenFileForRead(rtl::S(AKeyFile)));
  if (!file.Valid()) FailSystem("cannot open " + AKeyFile);
  platform::TFileInfo info;
  if (!platform::GetFileInfo(file.Get(), info) || info.Kind != platform::TEntryKind::File)
    Fail(AKeyFile + " is not a regular file");
  std::string pem;
  char buf[4096];
  pem.reserve(65536 + sizeof(buf));  // no reallocation leaves a copy of the key behind
  uint32_t n = 0;
  while (platform::ReadFileAt(file.Get(), int64_t(pem.size()), buf, sizeof(buf), &n) && n > 0) {
    pem.append(buf, n);
    if (pem.size() > 65536) break;  // not a key; the signing step says so
  }
  platform::SecureZero(buf, sizeof(buf));
  return pem;
}

int Sign(const std::string& AKeyFile, const std::string& AArchive) {
  std::string pem = ReadKeyFile(AKeyFile);
  platform::TEd25519PublicKey publicKey;
  std::string text;
  try {
    text = platform::SignArchive(pem, rtl::S(AArchive), &publicKey);
  } catch (const platform::ESignatureError& e) {
    platform::SecureZero(pem.data(), pem.size());
    Fail(AKeyFile + ": " + rtl::U8(e.Message()));
  }
  platform::SecureZero(pem.data(), pem.size());
  // ARCHIVE.sig appears whole or not at all, and replaces the signature of an earlier archive.
  TNewFile sig(AArchive + ".sig", 0644);
  sig.Write(text.data(), text.size());
  sig.Commit(true, {});
  std::printf("%s.sig written, signed by %s\n", AArchive.c_str(), platform::EncodePublicKey(publicKey).c_str());
  return 0;
}

int Verify(const std::string& APublicKey, const std::string& AArchive) {
  platform::TEd25519PublicKey publicKey = platform::DecodePublicKey(APublicKey);
  const std::string sigFile = AArchive + ".sig";
  platform::TArchiveStatement statement;
  try {
    statement = platform::VerifySignatureFile(platform::ReadSignatureFile(rtl::S(sigFile)), publicKey);
  } catch (const platform::ESignatureError& e) {
    Fail(sigFile + ": " + rtl::U8(e.Message()));
  }
  // The statement must be about this very file: its name, its length, its bytes.
  const std::string name = rtl::U8(rtl::ExtractFileName(rtl::S(AArchive)));
  if (statement.FileName != name)
    Fail(sigFile + " is the signature of \"" + platform::PrintableName(statement.FileName) + "\", not of \"" + name + "\"");
  int64_t length = 0;
  platform::TSha512Digest digest = platform::Sha512OfFile(rtl::S(AArchive), &length);
  if (length != statement.Length)
    Fail(AArchive + " is " + std::to_string(length) + " bytes, the signature says " + std::to_string(statement.Length));
  if (digest != statement.Digest)
    Fail("the digest does not match: " + AArchive + " was altered after it was signed");
  std::printf("OK\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  rtl::UseBinaryStandardOutput();
  // The arguments as the system gave them (on Windows the UTF-16 command line), in UTF-8.
  rtl::SetCommandLine(argc, argv);
  std::vector<std::string> args;
  for (int i = 1; i <= rtl::ParamCount(); ++i) args.push_back(rtl::U8(rtl::ParamStr(i)));
  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const std::string command = args.empty() ? "" : args[0];
  const size_t wanted = command == "keygen" ? 2 : command == "sign" || command == "verify" ? 3 : 0;
  if (wanted == 0 || args.size() != wanted) {
    std::string why = args.empty()                   ? "missing command"
                      : wanted == 0                  ? "unknown command '" + command + "'"
                      : args.size() < wanted         ? "missing arguments for " + command
                                                     : "too many arguments for " + command;
    std::fprintf(stderr, "krv-sign: %s\n%s", why.c_str(), kUsage);
    return 2;
  }
  try {
    if (command == "keygen") return Keygen(args[1]);
    if (command == "sign") return Sign(args[1], args[2]);
    return Verify(args[1], args[2]);
  } catch (const EFailed& e) {
    std::fprintf(stderr, "krv-sign: %s\n", e.Reason.c_str());
  } catch (const rtl::Exception& e) {
    std::fprintf(stderr, "krv-sign: %s\n", rtl::U8(e.Message()).c_str());
  }
  return 1;
}
