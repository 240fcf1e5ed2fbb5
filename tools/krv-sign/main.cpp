// krv-sign keygen KEYFILE | sign KEYFILE ARCHIVE | verify PUBKEY ARCHIVE
// The publisher's side of signed updates: an Ed25519 key, and ARCHIVE.sig (the signed statement
// of the archive's name, length and SHA-512 digest, platform/crypto/Statement.h). Exit code: 0
// done (verify: "OK"), 1 failed with a one-line reason on stderr, 2 the command line was wrong.
#include <cstdio>
#include <string>
#include <vector>

#include "KeyFiles.h"
#include "platform/crypto/Signature.h"
#include "platform/crypto/Statement.h"
#include "rtl/SysUtils.h"

namespace {

using krvsign::EFailed;
using krvsign::Fail;

constexpr char kUsage[] =
    "usage: krv-sign keygen KEYFILE          new Ed25519 private key (PEM); prints the public key\n"
    "       krv-sign sign KEYFILE ARCHIVE    writes ARCHIVE.sig (name, length, SHA-512, signature)\n"
    "       krv-sign verify PUBKEY ARCHIVE   checks ARCHIVE.sig against the base64 public key\n";

// A private key is never written over: losing the old one would orphan every edition built
// with its public half.
int Keygen(const std::string& AKeyFile) {
  platform::TEd25519KeyPair pair = platform::Ed25519GenerateKey();
  try {
    krvsign::WriteNewKeyFile(AKeyFile, pair.PrivateKeyPem);
  } catch (...) {
    krvsign::Wipe(pair.PrivateKeyPem.data(), pair.PrivateKeyPem.size());
    throw;
  }
  krvsign::Wipe(pair.PrivateKeyPem.data(), pair.PrivateKeyPem.size());
  std::printf("%s\n", platform::EncodePublicKey(pair.PublicKey).c_str());
  return 0;
}

int Sign(const std::string& AKeyFile, const std::string& AArchive) {
  std::string pem = krvsign::ReadKeyFile(AKeyFile);
  platform::TEd25519PublicKey publicKey;
  std::string text;
  try {
    text = platform::SignArchive(pem, rtl::S(AArchive), &publicKey);
  } catch (const platform::ESignatureError& e) {
    krvsign::Wipe(pem.data(), pem.size());
    Fail(AKeyFile + ": " + rtl::U8(e.Message()));
  }
  krvsign::Wipe(pem.data(), pem.size());
  krvsign::WriteReplacing(AArchive + ".sig", text);
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
  krvsign::UseBinaryOutput();
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
