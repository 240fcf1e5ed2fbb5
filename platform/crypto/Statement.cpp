#include "platform/crypto/Statement.h"

#include <cstdio>

namespace platform {

namespace {

constexpr std::string_view kMagic = "korvel-signed-archive v1";

[[noreturn]] void Raise(const rtl::String& AText) { throw ESignatureError(AText); }

// Length of the UTF-8 sequence at AText[i], 0 when it is not one (overlong forms, surrogates and
// values past U+10FFFF included).
size_t Utf8SequenceAt(std::string_view AText, size_t i) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(AText[k]); };
  uint8_t c = b(i);
  size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || i + n > AText.size()) return 0;
  uint32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b(i + k) & 0x3F);
  }
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// Why AName cannot be the file name of a statement; empty when it can.
rtl::String NameProblem(std::string_view AName) {
  if (AName.empty()) return u"the file name is empty";
  if (AName.size() > MaxStatementNameSize) return u"the file name is longer than 255 bytes";
  if (AName == "." || AName == "..") return u"the file name is \"" + rtl::S(std::string(AName)) + u"\"";
  for (size_t i = 0; i < AName.size();) {
    uint8_t c = static_cast<uint8_t>(AName[i]);
    if (c < 0x20 || c == 0x7F) return u"the file name holds a control character";
    if (c == '/' || c == '\\') return u"the file name holds a folder separator";
    size_t n = Utf8SequenceAt(AName, i);
    if (n == 0) return u"the file name is not UTF-8";
    i += n;
  }
  return {};
}

std::string Hex(const uint8_t* AData, size_t ASize) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < ASize; ++i) {
    out += kDigits[AData[i] >> 4];
    out += kDigits[AData[i] & 15];
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case is not the canonical form
}

// Takes the next line (without its LF) that must start with AKey; the reasons name the line.
std::string_view TakeLine(std::string_view& ARest, std::string_view AKey, int ANumber) {
  size_t lf = ARest.find('\n');
  if (lf == std::string_view::npos)
    Raise(u"the signature file ends before line " + rtl::IntToStr(ANumber) + u" is complete");
  std::string_view line = ARest.substr(0, lf);
  ARest.remove_prefix(lf + 1);
  if (line.substr(0, AKey.size()) != AKey)
    Raise(u"line " + rtl::IntToStr(ANumber) + u" of the signature file does not start with \"" +
          rtl::S(std::string(AKey)) + u"\"");
  return line.substr(AKey.size());
}

}  // namespace

std::string PrintableName(std::string_view AName) {
  std::string out;
  for (size_t i = 0; i < AName.size();) {
    uint8_t c = static_cast<uint8_t>(AName[i]);
    size_t n = Utf8SequenceAt(AName, i);
    if (c < 0x20 || c == 0x7F || c == '\\' || n == 0) {
      char esc[8];
      std::snprintf(esc, sizeof esc, c == '\\' ? "\\\\" : "\\x%02X", c);
      out += esc;
      ++i;
      continue;
    }
    out.append(AName.substr(i, n));
    i += n;
  }
  return out;
}

std::string StatementText(const TArchiveStatement& AStatement) {
  rtl::String problem = NameProblem(AStatement.FileName);
  if (!problem.empty()) Raise(problem + u": " + rtl::S(PrintableName(AStatement.FileName)));
  if (AStatement.Length < 0) Raise(u"the length is negative");
  return std::string(kMagic) + "\nfile: " + AStatement.FileName + "\nlength: " + std::to_string(AStatement.Length) +
         "\nsha512: " + Hex(AStatement.Digest.data(), AStatement.Digest.size()) + "\n";
}

std::string SignatureFileText(const TArchiveStatement& AStatement, const TEd25519Signature& ASignature) {
  return StatementText(AStatement) + "signature: " + EncodeBase64(ASignature.data(), ASignature.size()) + "\n";
}

TSignedStatement ParseSignatureFile(std::string_view ABytes) {
  if (ABytes.size() > MaxSignatureFileSize)
    Raise(u"the signature file is larger than " + rtl::IntToStr(int64_t(MaxSignatureFileSize)) + u" bytes");
  if (ABytes.size() == sizeof(TEd25519Signature) && ABytes.substr(0, kMagic.size()) != kMagic)
    Raise(u"the signature file is in the earlier 64-byte form, which names neither the archive nor its length "
          u"and is no longer accepted: sign the archive again with krv-sign");
  TSignedStatement result;
  std::string_view rest = ABytes;
  if (rest.substr(0, kMagic.size() + 1) != std::string(kMagic) + "\n")
    Raise(u"line 1 of the signature file is not \"" + rtl::S(std::string(kMagic)) + u"\"");
  rest.remove_prefix(kMagic.size() + 1);

  std::string_view name = TakeLine(rest, "file: ", 2);
  rtl::String problem = NameProblem(name);
  if (!problem.empty()) Raise(problem);
  result.Statement.FileName = std::string(name);

  std::string_view length = TakeLine(rest, "length: ", 3);
  if (length.empty() || length.size() > 18 || (length.size() > 1 && length[0] == '0'))
    Raise(u"the length is not a decimal number of at most 18 digits without leading zeros");
  int64_t value = 0;
  for (char c : length) {
    if (c < '0' || c > '9') Raise(u"the length is not a decimal number");
    value = value * 10 + (c - '0');
  }
  result.Statement.Length = value;

  std::string_view digest = TakeLine(rest, "sha512: ", 4);
  if (digest.size() != 2 * result.Statement.Digest.size())
    Raise(u"the digest is not 128 hexadecimal digits");
  for (size_t i = 0; i < result.Statement.Digest.size(); ++i) {
    int hi = HexValue(digest[2 * i]), lo = HexValue(digest[2 * i + 1]);
    if (hi < 0 || lo < 0) Raise(u"the digest is not 128 lower-case hexadecimal digits");
    result.Statement.Digest[i] = uint8_t(hi << 4 | lo);
  }
  result.SignedText = std::string(ABytes.substr(0, ABytes.size() - rest.size()));

  std::string_view signature = TakeLine(rest, "signature: ", 5);
  if (!rest.empty()) Raise(u"the signature file goes on after its signature line");
  // Strict: the canonical text only (DecodeSignatureText would allow blanks around it).
  if (signature.size() != 88 || signature.find_first_of(" \t\r") != std::string_view::npos)
    Raise(u"the signature is not the 88-character base64 text of 64 bytes");
  result.Signature = DecodeSignatureText(signature);
  return result;
}

TArchiveStatement VerifySignatureFile(std::string_view ABytes, const TEd25519PublicKey& AKey) {
  TSignedStatement s = ParseSignatureFile(ABytes);
  if (!Ed25519Verify(AKey, s.SignedText.data(), s.SignedText.size(), s.Signature))
    Raise(u"the signature does not match: the statement was altered or signed by another key");
  return s.Statement;
}

std::string SignArchive(std::string_view APrivateKeyPem, const rtl::String& AArchivePath,
                        TEd25519PublicKey* APublicKey) {
  TArchiveStatement statement;
  statement.FileName = rtl::U8(rtl::ExtractFileName(AArchivePath));
  statement.Digest = Sha512OfFile(AArchivePath, &statement.Length);
  const std::string text = StatementText(statement);
  return SignatureFileText(statement, Ed25519Sign(APrivateKeyPem, text.data(), text.size(), APublicKey));
}

std::string ReadSignatureFile(const rtl::String& AFileName) { return ReadSmallFile(AFileName, MaxSignatureFileSize); }

}  // namespace platform
