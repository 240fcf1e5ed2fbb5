// Numeric address literals held as one socket address with its port, and their text forms.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Sockets.h"
#include "rtl/SysUtils.h"

namespace netlib {

class TclIPAddress {
 public:
  virtual ~TclIPAddress() = default;

  bool IsIpV6() const { return GetIsIpV6(); }
  const platform::TSocketAddress* Address() const { return GetAddress(); }
  int AddressFamily() const { return GetAddressFamily(); }  // 2, 23, or 0 when unset
  int AddressLength() const { return GetAddressLength(); }
  int Port() const { return GetPort(); }

  virtual void Clear() = 0;
  virtual bool Parse(const rtl::String& AHost) = 0;
  virtual void None(int AddrFamily) = 0;
  virtual void Any(int AddrFamily) = 0;
  // A negative port raises "Invalid port number" (-3); otherwise the low 16 bits are kept.
  virtual void SetPort(int Value);
  virtual rtl::String ToString() const = 0;

  // The first of the IPv6-capable and the IPv4 class that parses AHost; "Invalid host address"
  // (-2) when neither does.
  static std::unique_ptr<TclIPAddress> CreateIpAddress(const rtl::String& AHost);
  static std::unique_ptr<TclIPAddress> CreateNone(int AddrFamily);
  static std::unique_ptr<TclIPAddress> CreateAny(int AddrFamily);
  static std::unique_ptr<TclIPAddress> CreateBindingIpAddress(const rtl::String& AHost, int AddrFamily);
  static bool IsHostIP(const rtl::String& AHost);

 protected:
  virtual bool GetIsIpV6() const = 0;
  virtual const platform::TSocketAddress* GetAddress() const = 0;
  virtual int GetAddressFamily() const = 0;
  virtual int GetAddressLength() const = 0;
  virtual int GetPort() const = 0;
};

class TclIPAddress4 : public TclIPAddress {
 public:
  TclIPAddress4() { Clear(); }
  void Clear() override;
  bool Parse(const rtl::String& AHost) override;
  void None(int AddrFamily) override;
  void Any(int AddrFamily) override;
  void SetPort(int Value) override;
  rtl::String ToString() const override;

 protected:
  bool GetIsIpV6() const override { return false; }
  const platform::TSocketAddress* GetAddress() const override { return &FSockAddr; }
  int GetAddressFamily() const override { return FSockAddr.Family; }
  int GetAddressLength() const override { return 16; }
  int GetPort() const override { return FSockAddr.Port; }

 private:
  platform::TSocketAddress FSockAddr;
};

class TclIPAddress6 : public TclIPAddress {
 public:
  TclIPAddress6() = default;
  ~TclIPAddress6() override;
  TclIPAddress6(const TclIPAddress6&) = delete;
  TclIPAddress6& operator=(const TclIPAddress6&) = delete;
  void Clear() override;
  bool Parse(const rtl::String& AHost) override;
  void None(int AddrFamily) override;
  void Any(int AddrFamily) override;
  void SetPort(int Value) override;
  rtl::String ToString() const override;

 protected:
  bool GetIsIpV6() const override;
  const platform::TSocketAddress* GetAddress() const override;
  int GetAddressFamily() const override;
  int GetAddressLength() const override;
  int GetPort() const override;

 private:
  platform::TAddressInfo* FAddrInfo = nullptr;
};

// The text forms shared with the resolvers: dotted decimal of the four bytes in network order.
rtl::String IPv4ToText(const uint8_t* ABytes);
// Upper-case groups without leading zeros; only the first run of zero groups is shortened.
rtl::String IPv6ToText(const uint8_t (&ABytes)[16]);
// The address text of a socket address of either family ("" for another family).
rtl::String SockAddrToText(const platform::TSocketAddress& AAddr);
// The platform's text for address literals: the system code page, or false when the text cannot
// be carried there (characters it lacks, embedded zeros).
bool HostToSystemText(const rtl::String& AHost, std::string& AText);

}  // namespace netlib
