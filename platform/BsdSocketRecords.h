// The BSD socket records (sockaddr, addrinfo) as ours, for the two socket backends: Winsock and
// the C library lay them out alike. Included by platform/posix/ and platform/win32/ after their
// own system headers, which declare the records; nothing else includes it.
#pragma once

#include <cstring>
#include <new>

#include "platform/Sockets.h"

namespace platform::bsd {

inline int NativeFamily(int family) {
  switch (family) {
    case WSA_AF_UNSPEC: return AF_UNSPEC;
    case WSA_AF_INET: return AF_INET;
    case WSA_AF_INET6: return AF_INET6;
    default: return -1;
  }
}

// Our record as the system's; false (WSAEAFNOSUPPORT) for a family it cannot carry.
template <class TLength>
bool ToNative(const TSocketAddress& a, sockaddr_storage& ss, TLength& len) {
  std::memset(&ss, 0, sizeof ss);
  if (a.Family == WSA_AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&ss);
    in->sin_family = AF_INET;
    in->sin_port = htons(a.Port);
    std::memcpy(&in->sin_addr, a.Address, 4);
    len = sizeof(sockaddr_in);
    return true;
  }
  if (a.Family == WSA_AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(a.Port);
    in6->sin6_flowinfo = htonl(a.FlowInfo);
    std::memcpy(&in6->sin6_addr, a.Address, 16);
    in6->sin6_scope_id = a.ScopeId;
    len = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

// The system's record as ours; false for another family or a record shorter than its family
// needs (nothing is trusted beyond len).
template <class TLength>
bool FromNative(const sockaddr* sa, TLength len, TSocketAddress& a) {
  a = TSocketAddress();
  if (!sa || len < TLength(sizeof(sa->sa_family))) return false;
  if (sa->sa_family == AF_INET && len >= TLength(sizeof(sockaddr_in))) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    a.Family = WSA_AF_INET;
    a.Port = ntohs(in->sin_port);
    std::memcpy(a.Address, &in->sin_addr, 4);
    return true;
  }
  if (sa->sa_family == AF_INET6 && len >= TLength(sizeof(sockaddr_in6))) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    a.Family = WSA_AF_INET6;
    a.Port = ntohs(in6->sin6_port);
    a.FlowInfo = ntohl(in6->sin6_flowinfo);
    std::memcpy(a.Address, &in6->sin6_addr, 16);
    a.ScopeId = in6->sin6_scope_id;
    return true;
  }
  return false;
}

inline void FreeAddressList(TAddressInfo* list) {
  while (list) {
    TAddressInfo* next = list->Next;
    delete list;
    list = next;
  }
}

// The hints of a question as the system's; false (WSAEAFNOSUPPORT) for an unknown family.
inline bool HintsToNative(const TAddressInfo& hints, addrinfo& native) {
  int family = NativeFamily(hints.Family);
  if (family < 0) return false;
  native.ai_family = family;
  native.ai_flags = (hints.Flags & WSA_AI_PASSIVE ? AI_PASSIVE : 0) |
                    (hints.Flags & WSA_AI_CANONNAME ? AI_CANONNAME : 0) |
                    (hints.Flags & WSA_AI_NUMERICHOST ? AI_NUMERICHOST : 0);
  native.ai_socktype = hints.SocketType == WSA_SOCK_STREAM ? SOCK_STREAM
                       : hints.SocketType == WSA_SOCK_DGRAM ? SOCK_DGRAM
                                                            : 0;
  native.ai_protocol = hints.Protocol;
  return true;
}

// The system's answer as ours, which it then frees: entries of other families, or whose address
// is shorter than their family needs, are left out and the order of the others is kept. 0, or
// WSANO_DATA when no entry is left, or WSA_NOT_ENOUGH_MEMORY.
inline int AddressListFromNative(addrinfo* list, TAddressInfo** result) {
  TAddressInfo* first = nullptr;
  TAddressInfo** tail = &first;
  for (addrinfo* p = list; p; p = p->ai_next) {
    TSocketAddress address;
    if (!FromNative(p->ai_addr, p->ai_addrlen, address)) continue;
    auto* entry = new (std::nothrow) TAddressInfo();
    if (!entry) {
      FreeAddressList(first);
      ::freeaddrinfo(list);
      return WSA_NOT_ENOUGH_MEMORY;
    }
    entry->Family = address.Family;
    entry->SocketType = p->ai_socktype == SOCK_STREAM ? WSA_SOCK_STREAM : p->ai_socktype == SOCK_DGRAM ? WSA_SOCK_DGRAM : 0;
    entry->Protocol = p->ai_protocol;
    entry->Address = address;
    *tail = entry;
    tail = &entry->Next;
  }
  ::freeaddrinfo(list);
  if (!first) return WSANO_DATA;
  if (result)
    *result = first;
  else
    FreeAddressList(first);
  return 0;
}

}  // namespace platform::bsd
