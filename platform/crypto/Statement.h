// The signed statement of an update archive: what the publisher vouches for is not only the
// archive's digest but its file name (which carries the build) and its exact length, so that an
// older signed build, another edition's signed archive or a longer body cannot pass as this one.
//
// "<archive>.sig" is text, at most MaxSignatureFileSize bytes, LF line ends, nothing else:
//
//   korvel-signed-archive v1
//   file: dlKorvelFA_SQL_KO_KO_1001820.7z
//   length: 1234567
//   sha512: <128 lowercase hexadecimal digits>
//   signature: <base64 of the 64-byte pure Ed25519 signature over the four lines above>
//
// The signed bytes are the first four lines exactly as they stand, each with its LF.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/crypto/Signature.h"

namespace platform {

// A signature file is never larger: no server makes a verifier read more.
constexpr size_t MaxSignatureFileSize = 4096;
// The most a file name in a statement may take, in bytes.
constexpr size_t MaxStatementNameSize = 255;

struct TArchiveStatement {
  std::string FileName;  // UTF-8, a plain name: no "/" or "\", no control characters
  int64_t Length = 0;
  TSha512Digest Digest{};
};

// The four signed lines of a statement. ESignatureError when the name cannot stand in one.
std::string StatementText(const TArchiveStatement& AStatement);
// The whole signature file: the statement and its signature line.
std::string SignatureFileText(const TArchiveStatement& AStatement, const TEd25519Signature& ASignature);

// A signature file read strictly: every line in its place, nothing before, between or after.
// ESignatureError with the reason (the earlier 64-byte form is named as such).
struct TSignedStatement {
  TArchiveStatement Statement;
  std::string SignedText;  // the bytes the signature covers
  TEd25519Signature Signature{};
};
TSignedStatement ParseSignatureFile(std::string_view ABytes);

// Parses and checks the signature with the publisher's key. ESignatureError when it is not the
// key's signature over the statement, or the file is no statement.
TArchiveStatement VerifySignatureFile(std::string_view ABytes, const TEd25519PublicKey& AKey);

// The publisher's side: the statement of a regular file (its name, length and SHA-512, read once)
// signed with the PEM private key. APublicKey receives the signing key's public half.
std::string SignArchive(std::string_view APrivateKeyPem, const rtl::String& AArchivePath,
                        TEd25519PublicKey* APublicKey = nullptr);

// A signature file's bytes: a regular file of at most MaxSignatureFileSize bytes.
std::string ReadSignatureFile(const rtl::String& AFileName);

// The name as it can be shown: C0 controls, DEL and bytes that are not UTF-8 as \xNN.
std::string PrintableName(std::string_view AName);

}  // namespace platform
