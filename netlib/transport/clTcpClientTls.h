// The TCP client with the switch that decides when its stream speaks TLS.
#pragma once

#include <set>

#include "netlib/transport/clTcpClient.h"
#include "netlib/transport/tls/clTlsNetworkStream.h"

namespace netlib {

enum TclClientTlsMode { ctNone, ctAutomatic, ctImplicit, ctExplicit };
enum TclTlsFlag { tfUseSSL2, tfUseSSL3, tfUseTLS, tfUseTLS11, tfUseTLS12 };
using TclTlsFlags = std::set<TclTlsFlag>;
// Code of the error raised when the TLS module cannot be loaded.
constexpr int TlsNotAvailableCode = 10045;  // the platform's "operation not supported"

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
  // Trusted authorities in PEM (a file, a hashed folder); both empty: the system's store.
  const rtl::String& CAFile() const { return FCAFile; }
  void SetCAFile(const rtl::String& AValue);
  const rtl::String& CAPath() const { return FCAPath; }
  void SetCAPath(const rtl::String& AValue);
  // Raised with the component as sender.
  TclGetCertificateEvent OnGetCertificate;
  TclVerifyServerEvent OnVerifyServer;
  // True when the connection's current stream speaks TLS.
  bool IsTls() const;

  // Turns the open plain connection into a TLS connection; on failure the component is closed
  // and the first error propagates.
  virtual void StartTls();

  // The stream choice for the current settings: true for TLS.
  bool WantsTlsStream() const;

 protected:
  std::unique_ptr<TclNetworkStream> CreateNetworkStream() override;
  // A TLS stream configured from the settings and aimed at Server; raises EclSocketError
  // (TlsNotAvailableCode) when the TLS module cannot be loaded.
  virtual std::unique_ptr<TclNetworkStream> CreateTlsNetworkStream();

 private:
  TclClientTlsMode FUseTLS = ctNone;
  TclTlsFlags FTLSFlags{tfUseTLS};
  TclCertificateVerifyFlags FCertificateFlags;
  rtl::String FCSP;
  rtl::String FCAFile;
  rtl::String FCAPath;
};

}  // namespace netlib
