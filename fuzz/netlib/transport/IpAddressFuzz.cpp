// Address literals from outside (URLs, settings): parsing never fails other than with
// "Invalid host address", and every text we write parses back to the same address.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "netlib/transport/clIpAddress.h"
#include "netlib/transport/clSocketUtils.h"

// The system's inet_pton is the oracle (after our headers: <windows.h> defines macros they use).
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

using namespace netlib;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void LiteralRoundTrip(const uint8_t* data, size_t size) {
  rtl::String text = rtl::Utf8ToString(std::string_view(reinterpret_cast<const char*>(data), size));
  std::unique_ptr<TclIPAddress> a;
  try {
    a = TclIPAddress::CreateIpAddress(text);
  } catch (const EclSocketError& e) {
    Check(e.ErrorCode() == InvalidAddressCode);
    Check(!TclIPAddress::IsHostIP(text) || text == u"255.255.255.255");
    return;
  }
  Check(TclIPAddress::IsHostIP(text));
  Check(a->AddressFamily() == 2 || a->AddressFamily() == 23);
  rtl::String back = a->ToString();
  Check(!back.empty());
  auto b = TclIPAddress::CreateIpAddress(back);
  Check(b->AddressFamily() == a->AddressFamily());
  Check(b->AddressLength() == a->AddressLength());
  Check(std::memcmp(a->Address()->Address, b->Address()->Address, a->AddressFamily() == 2 ? 4 : 16) == 0);
  a->SetPort(static_cast<int>(size * 977));
  Check(a->Port() == static_cast<int>((size * 977) & 0xFFFF));
}

void TextOfBytes(const uint8_t* data, size_t size) {
  uint8_t bytes[16] = {};
  std::memcpy(bytes, data, size < 16 ? size : 16);
  rtl::String text = IPv6ToText(bytes);
  Check(text.size() >= 2 && text.size() <= 39);
  in6_addr parsed;
  Check(inet_pton(AF_INET6, rtl::U8(text).c_str(), &parsed) == 1);
  Check(std::memcmp(&parsed, bytes, 16) == 0);
  uint8_t ours[16];
  Check(platform::ParseAddressLiteral(rtl::U8(text).c_str(), ours) == 16 && std::memcmp(ours, bytes, 16) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1)
    TextOfBytes(data + 1, size - 1);
  else
    LiteralRoundTrip(data + 1, size - 1);
  return 0;
}
