// The run-time binding of the socket functions: the platform's replaceable function table, checked
// once for the functions the transport cannot do without, and the question whether the
// protocol-independent address functions are there (which picks the address and resolver classes).
#pragma once

#include <netdb.h>

namespace netlib {

// Checks that every required function is bound; a missing one raises rtl::Exception with the
// system's text (not an EclSocketError). Called by every wrapper below before its first use.
void LoadWinSock2();
// True when getaddrinfo and freeaddrinfo are both bound (and not forced off).
bool AddressInfoAvailable();
// Tests force the address functions off so that the IPv4-only classes run.
void SetAddressInfoForcedOff(bool AForcedOff);
bool AddressInfoForcedOff();

// getaddrinfo with its result as a platform code; 11003 without calling anything when the
// address functions are unavailable.
int GetAddrInfo(const char* ANode, const char* AService, const addrinfo* AHints, addrinfo** AResult);
// Does nothing when the functions are unavailable or the list is null.
void FreeAddrInfo(addrinfo* AInfo);

}  // namespace netlib
