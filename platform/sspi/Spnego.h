// SPNEGO (RFC 4178) tokens carrying NTLM: the client's NegTokenInit and NegTokenResp, and the
// server's NegTokenResp read back. DER written and read here; every length is bounds-checked.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace platform::sspi {

using SpnegoBytes = std::vector<uint8_t>;

// The NTLMSSP mechanism 1.3.6.1.4.1.311.2.2.10, DER content octets.
extern const SpnegoBytes kNtlmMechOid;

enum class SpnegoNegState { Absent = -1, AcceptCompleted = 0, AcceptIncomplete = 1, Reject = 2, RequestMic = 3 };

struct SpnegoResp {
  SpnegoNegState NegState = SpnegoNegState::Absent;
  std::optional<SpnegoBytes> SupportedMech;  // OID content octets
  std::optional<SpnegoBytes> ResponseToken;
  std::optional<SpnegoBytes> MechListMic;
};

// GSS initial context token: [APPLICATION 0] { SPNEGO OID, [0] NegTokenInit { mechTypes
// (NTLMSSP), mechToken } }.
SpnegoBytes BuildSpnegoInit(const SpnegoBytes& mechToken);
// [1] NegTokenResp with the fields that are present (the client sends only responseToken).
SpnegoBytes BuildSpnegoResp(const SpnegoResp& resp);
std::optional<SpnegoResp> ParseSpnegoResp(const uint8_t* data, size_t size);

// For a server reading the client's first token: the mechanism list and the mechanism token.
struct SpnegoInit {
  std::vector<SpnegoBytes> MechTypes;
  std::optional<SpnegoBytes> MechToken;
};
std::optional<SpnegoInit> ParseSpnegoInit(const uint8_t* data, size_t size);

// DER helpers shared with the tests' server.
void DerAppend(SpnegoBytes& out, uint8_t tag, const SpnegoBytes& content);

}  // namespace platform::sspi
