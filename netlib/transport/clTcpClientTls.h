// The TCP client with the switch that decides when its stream speaks TLS.
#pragma once

#include <set>

#include "netlib/transport/clTcpClient.h"

namespace netlib {

enum TclClientTlsMode { ctNone, ctAutomatic, ctImplicit, ctExplicit };
enum TclTlsFlag { tfUseSSL2, tfUseSSL3, tfUseTLS, tfUseTLS11, tfUseTLS12 };
using TclTlsFlags = std::set<TclTlsFlag>;
// Certificate checks the TLS stream may be told to skip.
enum TclCertificateVerifyFlag { cfIgnoreCommonNameInvalid, cfIgnoreDateInvalid, cfIgnoreUnknownAuthority,
                                cfIgnoreRevocation, cfIgnoreWrongUsage };
using TclCertificateVerifyFlags = std::set<TclCertificateVerifyFlag>;

// Code of the error raised while no TLS stream is built into the library.
constexpr int TlsNotAvailableCode = 10045;  // the platform's "operation not supported"
extern const char16_t* const TlsNotAvailable;

class TclTcpClientTls : public TclTcpClient {
 public:
  TclTcpClientTls();

  TclClientTlsMode UseTLS() const { return FUseTLS; }
  virtual void SetUseTLS(TclClientTlsMode AValue);
  const TclTlsFlags& TLSFlags() const { return FTLSFlags; }
  void SetTLSFlags(const TclTlsFlags& AValue);
  const TclCertificateVerifyFlags& CertificateFlags() const { return FCertificateFlags; }
  void SetCertificateFlags(const TclCertificateVerifyFlags& AValue);
  const rtl::String& CSP() const { return FCSP; }
  void SetCSP(const rtl::String& AValue);
  // True when the connection's current stream speaks TLS.
  bool IsTls() const;

  // Turns the open plain connection into a TLS connection; on failure the component is closed
  // and the first error propagates.
  virtual void StartTls();

  // The stream choice for the current settings: true for TLS.
  bool WantsTlsStream() const;

 protected:
  std::unique_ptr<TclNetworkStream> CreateNetworkStream() override;
  // A TLS stream configured from the settings. Until the TLS stream exists this raises
  // EclSocketError (TlsNotAvailable, TlsNotAvailableCode).
  virtual std::unique_ptr<TclNetworkStream> CreateTlsNetworkStream();

 private:
  TclClientTlsMode FUseTLS = ctNone;
  TclTlsFlags FTLSFlags{tfUseTLS};
  TclCertificateVerifyFlags FCertificateFlags;
  rtl::String FCSP;
};

}  // namespace netlib
