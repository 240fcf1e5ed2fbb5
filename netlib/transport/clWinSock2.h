// The run-time binding of the socket functions: the platform's table of bound functions
// (platform::SocketFunctions), which the platform fills and only tests replace. This module checks
// the table for the functions the transport cannot do without, and answers whether the
// protocol-independent address functions are there (which picks the address and resolver classes).
#pragma once

#include "platform/Sockets.h"

namespace netlib {

// Checks that every required function is bound; a missing one raises rtl::Exception with the
// system's text (not an EclSocketError). StartSocketLibrary calls it, so every TCP client checks
// the table when it is created, before any socket is made.
void LoadWinSock2();
// True when getaddrinfo and freeaddrinfo are both bound (and not forced off).
bool AddressInfoAvailable();
// Tests force the address functions off so that the IPv4-only classes run.
void SetAddressInfoForcedOff(bool AForcedOff);
bool AddressInfoForcedOff();

// getaddrinfo with its result as a platform code; 11003 without calling anything when the
// address functions are unavailable.
int GetAddrInfo(const char* ANode, const char* AService, const platform::TAddressInfo* AHints,
                platform::TAddressInfo** AResult);
// Does nothing when the functions are unavailable or the list is null.
void FreeAddrInfo(platform::TAddressInfo* AInfo);

}  // namespace netlib
