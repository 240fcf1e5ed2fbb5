// Ed25519 private keys in the form OpenSSL writes and reads them: PEM ("-----BEGIN PRIVATE
// KEY-----") around the PKCS#8 PrivateKeyInfo of RFC 8410, which holds the key's 32-byte seed.
// For engines whose library knows only the raw seed (libgcrypt on Windows); keys made by either
// build, or by `openssl genpkey -algorithm ed25519`, serve both.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

using TEd25519Seed = std::array<uint8_t, 32>;

// The unencrypted PrivateKeyInfo of the seed in PEM, byte for byte what OpenSSL writes.
std::string Ed25519PrivateKeyPem(const TEd25519Seed& ASeed);

// The seed of the first private key in APem (other PEM blocks and text around them are skipped,
// as OpenSSL skips them). False with the reason in AReason: "the private key is encrypted;
// signing needs it unencrypted", "the private key is <kind>, not Ed25519" (OpenSSL's names: RSA,
// EC, ED448, ...), or "no unencrypted PEM private key" for anything else.
bool ReadEd25519PrivateKeyPem(std::string_view APem, TEd25519Seed& ASeed, std::string& AReason);

}  // namespace platform
