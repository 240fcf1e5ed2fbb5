#include "netlib/transport/clIpAddress.h"

#include <arpa/inet.h>

#include <cstring>

#include "netlib/transport/clSocketUtils.h"
#include "netlib/transport/clWinSock2.h"
#include "platform/Sockets.h"
#include "rtl/Ansi.h"

namespace netlib {

using platform::WSA_AF_INET;
using platform::WSA_AF_INET6;

bool HostToSystemText(const rtl::String& AHost, std::string& AText) {
  AText.clear();
  for (rtl::Char c : AHost) {
    uint8_t b = 0;
    // A zero would cut the text short behind the caller's back; an unmappable character would
    // become "?" and could only fail later.
    if (c == 0 || !rtl::AnsiCharToByte(c, b)) return false;
    AText.push_back(static_cast<char>(b));
  }
  return true;
}

rtl::String IPv4ToText(const in_addr& AAddr) {
  const auto* b = reinterpret_cast<const uint8_t*>(&AAddr.s_addr);
  return rtl::Format(u"%d.%d.%d.%d", {b[0], b[1], b[2], b[3]});
}

rtl::String IPv6ToText(const uint8_t (&ABytes)[16]) {
  static const char16_t kHex[] = u"0123456789ABCDEF";
  auto group = [&](int i) {
    unsigned v = (ABytes[2 * i] << 8) | ABytes[2 * i + 1];
    rtl::String s;
    do {
      s.insert(s.begin(), kHex[v & 0xF]);
      v >>= 4;
    } while (v);
    return s;
  };
  rtl::String text;
  int heldBack = 0;
  bool canShorten = true;
  for (int i = 0; i < 8; ++i) {
    bool zero = ABytes[2 * i] == 0 && ABytes[2 * i + 1] == 0;
    if (canShorten && zero) {
      ++heldBack;
      continue;
    }
    if (heldBack == 1) {
      if (!text.empty()) text += u':';
      text += u"0:";
      text += group(i);
      canShorten = false;
    } else if (heldBack >= 2) {
      text += u"::";
      text += group(i);
      canShorten = false;
    } else {
      if (!text.empty()) text += u':';
      text += group(i);
    }
    heldBack = 0;
  }
  if (heldBack == 1)
    text += u":0";
  else if (heldBack >= 2)
    text += u"::";
  return text;
}

rtl::String SockAddrToText(const sockaddr* AAddr) {
  if (!AAddr) return rtl::String();
  if (AAddr->sa_family == AF_INET) return IPv4ToText(reinterpret_cast<const sockaddr_in*>(AAddr)->sin_addr);
  if (AAddr->sa_family == AF_INET6) {
    uint8_t bytes[16];
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in6*>(AAddr)->sin6_addr, 16);
    return IPv6ToText(bytes);
  }
  return rtl::String();
}

// --- TclIPAddress ------------------------------------------------------------------------------

void TclIPAddress::SetPort(int Value) {
  if (Value < 0) RaiseSocketError(InvalidPort, InvalidPortCode);
}

std::unique_ptr<TclIPAddress> TclIPAddress::CreateIpAddress(const rtl::String& AHost) {
  auto v6 = std::make_unique<TclIPAddress6>();
  if (v6->Parse(AHost)) return v6;
  auto v4 = std::make_unique<TclIPAddress4>();
  if (v4->Parse(AHost)) return v4;
  RaiseSocketError(InvalidAddress, InvalidAddressCode);
}

static std::unique_ptr<TclIPAddress> NewForFamilies() {
  if (AddressInfoAvailable()) return std::make_unique<TclIPAddress6>();
  return std::make_unique<TclIPAddress4>();
}

std::unique_ptr<TclIPAddress> TclIPAddress::CreateNone(int AddrFamily) {
  auto result = NewForFamilies();
  result->None(AddrFamily);
  return result;
}

std::unique_ptr<TclIPAddress> TclIPAddress::CreateAny(int AddrFamily) {
  auto result = NewForFamilies();
  result->Any(AddrFamily);
  return result;
}

std::unique_ptr<TclIPAddress> TclIPAddress::CreateBindingIpAddress(const rtl::String& AHost, int AddrFamily) {
  if (!AHost.empty()) return CreateIpAddress(AHost);
  return CreateAny(AddrFamily);
}

bool TclIPAddress::IsHostIP(const rtl::String& AHost) {
  if (AHost.empty()) return false;
  if (TclIPAddress6().Parse(AHost)) return true;
  return TclIPAddress4().Parse(AHost);
}

// --- TclIPAddress4 -----------------------------------------------------------------------------

void TclIPAddress4::Clear() { std::memset(&FSockAddr, 0, sizeof(FSockAddr)); }

bool TclIPAddress4::Parse(const rtl::String& AHost) {
  Clear();
  std::string text;
  if (!HostToSystemText(AHost, text)) return false;
  in_addr_t addr = ::inet_addr(text.c_str());
  if (addr == INADDR_NONE) return false;
  FSockAddr.sin_family = AF_INET;
  FSockAddr.sin_addr.s_addr = addr;
  return true;
}

void TclIPAddress4::None(int AddrFamily) {
  if (AddrFamily != WSA_AF_INET) RaiseSocketError(InvalidAddressFamily, InvalidAddressFamilyCode);
  Clear();
  FSockAddr.sin_family = AF_INET;
}

void TclIPAddress4::Any(int AddrFamily) {
  None(AddrFamily);
  FSockAddr.sin_addr.s_addr = htonl(INADDR_ANY);
}

void TclIPAddress4::SetPort(int Value) {
  TclIPAddress::SetPort(Value);
  FSockAddr.sin_port = htons(static_cast<uint16_t>(Value & 0xFFFF));
}

int TclIPAddress4::GetAddressFamily() const { return platform::WsaAddressFamily(FSockAddr.sin_family); }

int TclIPAddress4::GetPort() const { return ntohs(FSockAddr.sin_port); }

rtl::String TclIPAddress4::ToString() const {
  if (FSockAddr.sin_family != AF_INET) return rtl::String();
  return IPv4ToText(FSockAddr.sin_addr);
}

// --- TclIPAddress6 -----------------------------------------------------------------------------

TclIPAddress6::~TclIPAddress6() { Clear(); }

void TclIPAddress6::Clear() {
  FreeAddrInfo(FAddrInfo);
  FAddrInfo = nullptr;
}

bool TclIPAddress6::Parse(const rtl::String& AHost) {
  Clear();
  if (!AddressInfoAvailable()) return false;
  std::string text;
  if (!HostToSystemText(AHost, text)) return false;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (GetAddrInfo(text.c_str(), nullptr, &hints, &list) != 0) return false;
  // A list whose first entry lacks an address of either family is no usable literal.
  if (!list || !list->ai_addr ||
      (list->ai_family == AF_INET && list->ai_addrlen < sizeof(sockaddr_in)) ||
      (list->ai_family == AF_INET6 && list->ai_addrlen < sizeof(sockaddr_in6))) {
    FreeAddrInfo(list);
    return false;
  }
  FAddrInfo = list;
  return true;
}

void TclIPAddress6::None(int AddrFamily) {
  if (AddrFamily != WSA_AF_INET && AddrFamily != WSA_AF_INET6)
    RaiseSocketError(InvalidAddressFamily, InvalidAddressFamilyCode);
  if (!Parse(AddrFamily == WSA_AF_INET6 ? u"::" : u"0.0.0.0")) RaiseSocketError(InvalidAddress, InvalidAddressCode);
}

void TclIPAddress6::Any(int AddrFamily) {
  None(AddrFamily);
  if (AddrFamily == WSA_AF_INET && FAddrInfo && FAddrInfo->ai_family == AF_INET)
    reinterpret_cast<sockaddr_in*>(FAddrInfo->ai_addr)->sin_addr.s_addr = htonl(INADDR_ANY);
}

void TclIPAddress6::SetPort(int Value) {
  TclIPAddress::SetPort(Value);
  int family = GetAddressFamily();
  if (family != WSA_AF_INET && family != WSA_AF_INET6) RaiseSocketError(InvalidAddress, InvalidAddressCode);
  uint16_t port = htons(static_cast<uint16_t>(Value & 0xFFFF));
  if (family == WSA_AF_INET)
    reinterpret_cast<sockaddr_in*>(FAddrInfo->ai_addr)->sin_port = port;
  else
    reinterpret_cast<sockaddr_in6*>(FAddrInfo->ai_addr)->sin6_port = port;
}

bool TclIPAddress6::GetIsIpV6() const { return GetAddressFamily() == WSA_AF_INET6; }

const sockaddr* TclIPAddress6::GetAddress() const { return FAddrInfo ? FAddrInfo->ai_addr : nullptr; }

int TclIPAddress6::GetAddressFamily() const {
  return FAddrInfo ? platform::WsaAddressFamily(FAddrInfo->ai_family) : 0;
}

int TclIPAddress6::GetAddressLength() const { return FAddrInfo ? static_cast<int>(FAddrInfo->ai_addrlen) : 0; }

int TclIPAddress6::GetPort() const {
  switch (GetAddressFamily()) {
    case WSA_AF_INET: return ntohs(reinterpret_cast<const sockaddr_in*>(FAddrInfo->ai_addr)->sin_port);
    case WSA_AF_INET6: return ntohs(reinterpret_cast<const sockaddr_in6*>(FAddrInfo->ai_addr)->sin6_port);
    default: return 0;
  }
}

rtl::String TclIPAddress6::ToString() const {
  // Decided by the entry's family, whose length Parse checked.
  switch (GetAddressFamily()) {
    case WSA_AF_INET: return IPv4ToText(reinterpret_cast<const sockaddr_in*>(FAddrInfo->ai_addr)->sin_addr);
    case WSA_AF_INET6: {
      uint8_t bytes[16];
      std::memcpy(bytes, &reinterpret_cast<const sockaddr_in6*>(FAddrInfo->ai_addr)->sin6_addr, 16);
      return IPv6ToText(bytes);
    }
    default: return rtl::String();
  }
}

}  // namespace netlib
