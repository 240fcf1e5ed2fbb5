#include "netlib/transport/clTcpClientTls.h"

namespace netlib {

const char16_t* const TlsNotAvailable = u"The TLS network stream is not available in this build";

TclTcpClientTls::TclTcpClientTls() = default;

void TclTcpClientTls::SetUseTLS(TclClientTlsMode AValue) {
  if (FUseTLS == AValue) return;
  FUseTLS = AValue;
  DoChanged();
}

void TclTcpClientTls::SetTLSFlags(const TclTlsFlags& AValue) {
  if (FTLSFlags == AValue) return;
  FTLSFlags = AValue;
  DoChanged();
}

void TclTcpClientTls::SetCertificateFlags(const TclCertificateVerifyFlags& AValue) {
  if (FCertificateFlags == AValue) return;
  FCertificateFlags = AValue;
  DoChanged();
}

void TclTcpClientTls::SetCSP(const rtl::String& AValue) {
  if (FCSP == AValue) return;
  FCSP = AValue;
  DoChanged();
}

bool TclTcpClientTls::IsTls() const {
  TclNetworkStream* stream = Connection().NetworkStreamOrNull();
  return stream && stream->IsTls();
}

bool TclTcpClientTls::WantsTlsStream() const {
  switch (FUseTLS) {
    case ctAutomatic: return Port() != GetDefaultPort();
    case ctImplicit: return true;
    case ctNone:
    case ctExplicit:
    default: return false;
  }
}

std::unique_ptr<TclNetworkStream> TclTcpClientTls::CreateNetworkStream() {
  if (WantsTlsStream()) return CreateTlsNetworkStream();
  return TclTcpClient::CreateNetworkStream();
}

std::unique_ptr<TclNetworkStream> TclTcpClientTls::CreateTlsNetworkStream() {
  RaiseSocketError(TlsNotAvailable, TlsNotAvailableCode);
}

void TclTcpClientTls::StartTls() {
  if (FUseTLS == ctNone) SetUseTLS(ctExplicit);
  try {
    Connection().SetNetworkStream(CreateTlsNetworkStream());
    Connection().OpenSession();
  } catch (...) {
    try {
      Close();
    } catch (const EclSocketError&) {
    }
    throw;
  }
}

}  // namespace netlib
