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
  const void* required[] = {
      reinterpret_cast<const void*>(f.socket),     reinterpret_cast<const void*>(f.connect),
      reinterpret_cast<const void*>(f.bind),       reinterpret_cast<const void*>(f.listen),
      reinterpret_cast<const void*>(f.accept),     reinterpret_cast<const void*>(f.recv),
      reinterpret_cast<const void*>(f.send),       reinterpret_cast<const void*>(f.recvfrom),
      reinterpret_cast<const void*>(f.sendto),     reinterpret_cast<const void*>(f.shutdown),
      reinterpret_cast<const void*>(f.close),      reinterpret_cast<const void*>(f.getsockname),
      reinterpret_cast<const void*>(f.getsockopt), reinterpret_cast<const void*>(f.setsockopt),
      reinterpret_cast<const void*>(f.bytesAvailable), reinterpret_cast<const void*>(f.poll)};
  for (const void* p : required) {
    if (!p) {
      platform::SetLastErrorValue(platform::ERROR_PROC_NOT_FOUND);
      throw rtl::Exception(rtl::Trim(platform::WindowsErrorMessage(platform::ERROR_PROC_NOT_FOUND)));
    }
  }
}

bool AddressInfoAvailable() {
  const platform::TSocketFunctions& f = platform::SocketFunctions();
  return !gForcedOff.load() && f.getaddrinfo != nullptr && f.freeaddrinfo != nullptr;
}

void SetAddressInfoForcedOff(bool AForcedOff) { gForcedOff.store(AForcedOff); }
bool AddressInfoForcedOff() { return gForcedOff.load(); }

int GetAddrInfo(const char* ANode, const char* AService, const addrinfo* AHints, addrinfo** AResult) {
  if (AResult) *AResult = nullptr;
  if (!AddressInfoAvailable()) return platform::WSANO_RECOVERY;
  return platform::GetAddrInfo(ANode, AService, AHints, AResult);
}

void FreeAddrInfo(addrinfo* AInfo) {
  // A list obtained before the functions were forced off is still released.
  if (!AInfo) return;
  platform::FreeAddrInfo(AInfo);
}

}  // namespace netlib
