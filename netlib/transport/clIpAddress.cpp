#include "netlib/transport/clIpAddress.h"

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

rtl::String IPv4ToText(const uint8_t* ABytes) {
  return rtl::Format(u"%d.%d.%d.%d", {ABytes[0], ABytes[1], ABytes[2], ABytes[3]});
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

rtl::String SockAddrToText(const platform::TSocketAddress& AAddr) {
  if (AAddr.Family == WSA_AF_INET) return IPv4ToText(AAddr.Address);
  if (AAddr.Family == WSA_AF_INET6) return IPv6ToText(AAddr.Address);
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

void TclIPAddress4::Clear() { FSockAddr = platform::TSocketAddress(); }

bool TclIPAddress4::Parse(const rtl::String& AHost) {
  Clear();
  std::string text;
  uint8_t address[4];
  if (!HostToSystemText(AHost, text) || !platform::InetAddr(text.c_str(), address)) return false;
  FSockAddr.Family = WSA_AF_INET;
  std::memcpy(FSockAddr.Address, address, 4);
  return true;
}

void TclIPAddress4::None(int AddrFamily) {
  if (AddrFamily != WSA_AF_INET) RaiseSocketError(InvalidAddressFamily, InvalidAddressFamilyCode);
  Clear();
  FSockAddr.Family = WSA_AF_INET;
}

void TclIPAddress4::Any(int AddrFamily) { None(AddrFamily); }  // 0.0.0.0

void TclIPAddress4::SetPort(int Value) {
  TclIPAddress::SetPort(Value);
  FSockAddr.Port = static_cast<uint16_t>(Value & 0xFFFF);
}

rtl::String TclIPAddress4::ToString() const {
  if (FSockAddr.Family != WSA_AF_INET) return rtl::String();
  return IPv4ToText(FSockAddr.Address);
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
  platform::TAddressInfo hints;
  hints.Flags = platform::WSA_AI_NUMERICHOST;
  platform::TAddressInfo* list = nullptr;
  if (GetAddrInfo(text.c_str(), nullptr, &hints, &list) != 0) return false;
  // A list whose first entry holds an address of neither family is no usable literal.
  if (!list || (list->Address.Family != WSA_AF_INET && list->Address.Family != WSA_AF_INET6)) {
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
  if (AddrFamily == WSA_AF_INET && FAddrInfo && FAddrInfo->Address.Family == WSA_AF_INET)
    std::memset(FAddrInfo->Address.Address, 0, 4);
}

void TclIPAddress6::SetPort(int Value) {
  TclIPAddress::SetPort(Value);
  int family = GetAddressFamily();
  if (family != WSA_AF_INET && family != WSA_AF_INET6) RaiseSocketError(InvalidAddress, InvalidAddressCode);
  FAddrInfo->Address.Port = static_cast<uint16_t>(Value & 0xFFFF);
}

bool TclIPAddress6::GetIsIpV6() const { return GetAddressFamily() == WSA_AF_INET6; }

const platform::TSocketAddress* TclIPAddress6::GetAddress() const { return FAddrInfo ? &FAddrInfo->Address : nullptr; }

int TclIPAddress6::GetAddressFamily() const { return FAddrInfo ? FAddrInfo->Address.Family : 0; }

int TclIPAddress6::GetAddressLength() const { return FAddrInfo ? FAddrInfo->Address.Length() : 0; }

int TclIPAddress6::GetPort() const {
  int family = GetAddressFamily();
  return family == WSA_AF_INET || family == WSA_AF_INET6 ? FAddrInfo->Address.Port : 0;
}

rtl::String TclIPAddress6::ToString() const { return FAddrInfo ? SockAddrToText(FAddrInfo->Address) : rtl::String(); }

}  // namespace netlib
