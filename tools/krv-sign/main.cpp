// krv-sign keygen KEYFILE | sign KEYFILE ARCHIVE | verify PUBKEY ARCHIVE
// The publisher's side of signed updates: an Ed25519 key, and ARCHIVE.sig (the signed statement
// of the archive's name, length and SHA-512 digest, platform/crypto/Statement.h). Exit code: 0
// done (verify: "OK"), 1 failed with a one-line reason on stderr, 2 the command line was wrong.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Files.h"
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
[[noreturn]] void FailErrno(const std::string& AWhat) { Fail(AWhat + ": " + std::strerror(errno)); }

bool WriteAll(int AFd, const void* AData, size_t ASize) {
  auto* p = static_cast<const char*>(AData);
  while (ASize > 0) {
    ssize_t n = ::write(AFd, p, ASize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    ASize -= size_t(n);
  }
  return true;
}

// Closes a file just written; when writing it (AOk false, errno telling why) or closing it failed,
// or when AFd is -1 (a later step failed), removes APath and fails naming AName.
void CloseWritten(int AFd, bool AOk, const std::string& APath, const std::string& AName) {
  int e = errno;
  if (AFd >= 0 && ::close(AFd) != 0 && AOk) {
    AOk = false;
    e = errno;
  }
  if (AOk && AFd >= 0) return;
  ::unlink(APath.c_str());
  errno = e;
  FailErrno("cannot write " + AName);
}

// A private key is never written over: losing the old one would orphan every edition built
// with its public half.
int Keygen(const std::string& AKeyFile) {
  platform::TEd25519KeyPair pair = platform::Ed25519GenerateKey();
  int fd = ::open(AKeyFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) Fail(AKeyFile + " exists; a key file is never overwritten");
  if (fd < 0) FailErrno("cannot create " + AKeyFile);
  // The umask can only take bits away; make it exactly owner read and write.
  bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, pair.PrivateKeyPem.data(), pair.PrivateKeyPem.size()) &&
            ::fsync(fd) == 0;
  ::explicit_bzero(pair.PrivateKeyPem.data(), pair.PrivateKeyPem.size());
  CloseWritten(fd, ok, AKeyFile, AKeyFile);
  std::printf("%s\n", platform::EncodePublicKey(pair.PublicKey).c_str());
  return 0;
}

std::string ReadKeyFile(const std::string& AKeyFile) {
  int fd = ::open(AKeyFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) FailErrno("cannot open " + AKeyFile);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    Fail(AKeyFile + " is not a regular file");
  }
  std::string pem;
  char buf[4096];
  pem.reserve(65536 + sizeof(buf));  // no reallocation leaves a copy of the key behind
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pem.append(buf, size_t(n));
    if (pem.size() > 65536) break;  // not a key; the signing step says so
  }
  ::explicit_bzero(buf, sizeof(buf));
  ::close(fd);
  return pem;
}

// ARCHIVE.sig appears whole or not at all: written beside it under a temporary name, then renamed.
void WriteSignature(const std::string& ASigFile, const std::string& AText) {
  std::string temp = ASigFile + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) FailErrno("cannot create a file beside " + ASigFile);
  bool ok = ::fchmod(fd, 0644 & ~platform::ProcessUmask()) == 0 &&
            WriteAll(fd, AText.data(), AText.size()) && ::fsync(fd) == 0;
  CloseWritten(fd, ok, temp, ASigFile);
  if (::rename(temp.c_str(), ASigFile.c_str()) != 0) CloseWritten(-1, false, temp, ASigFile);
}

int Sign(const std::string& AKeyFile, const std::string& AArchive) {
  std::string pem = ReadKeyFile(AKeyFile);
  platform::TEd25519PublicKey publicKey;
  std::string text;
  try {
    text = platform::SignArchive(pem, rtl::S(AArchive), &publicKey);
  } catch (const platform::ESignatureError& e) {
    ::explicit_bzero(pem.data(), pem.size());
    Fail(AKeyFile + ": " + rtl::U8(e.Message()));
  }
  ::explicit_bzero(pem.data(), pem.size());
  WriteSignature(AArchive + ".sig", text);
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
  std::vector<std::string> args(argv + 1, argv + argc);
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
