#include "netlib/transport/clWinSock2.h"

#include <atomic>

#include "platform/LastError.h"
#include "platform/Sockets.h"
#include "rtl/Exception.h"

namespace netlib {

namespace {
std::atomic<bool> gForcedOff{false};
}

void LoadWinSock2() {
  const platform::TSocketFunctions& f = platform::SocketFunctions();
  const bool bound = f.WSACreateEvent && f.WSACloseEvent && f.WSAEventSelect && f.WSAEnumNetworkEvents &&
                     f.connect && f.getsockname && f.bind && f.accept && f.recv && f.recvfrom && f.sendto;
  if (!bound) {
    platform::SetLastErrorValue(platform::ERROR_PROC_NOT_FOUND);
    throw rtl::Exception(rtl::Trim(platform::WindowsErrorMessage(platform::ERROR_PROC_NOT_FOUND)));
  }
}

bool AddressInfoAvailable() {
  const platform::TSocketFunctions& f = platform::SocketFunctions();
  return !gForcedOff.load() && f.getaddrinfo != nullptr && f.freeaddrinfo != nullptr;
}

void SetAddressInfoForcedOff(bool AForcedOff) { gForcedOff.store(AForcedOff); }
bool AddressInfoForcedOff() { return gForcedOff.load(); }

int GetAddrInfo(const char* ANode, const char* AService, const platform::TAddressInfo* AHints,
                platform::TAddressInfo** AResult) {
  if (AResult) *AResult = nullptr;
  if (!AddressInfoAvailable()) return platform::WSANO_RECOVERY;
  return platform::GetAddressInfo(ANode, AService, AHints, AResult);
}

void FreeAddrInfo(platform::TAddressInfo* AInfo) {
  // A list obtained before the functions were forced off is still released.
  if (!AInfo) return;
  platform::FreeAddressInfo(AInfo);
}

}  // namespace netlib
