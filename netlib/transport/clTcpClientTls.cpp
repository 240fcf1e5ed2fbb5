#include "netlib/transport/clTcpClientTls.h"

namespace netlib {

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

void TclTcpClientTls::SetCAFile(const rtl::String& AValue) {
  if (FCAFile == AValue) return;
  FCAFile = AValue;
  DoChanged();
}

void TclTcpClientTls::SetCAPath(const rtl::String& AValue) {
  if (FCAPath == AValue) return;
  FCAPath = AValue;
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
  TlsApi();  // a missing module fails here, before any connection is made
  auto stream = std::make_unique<TclTlsNetworkStream>();
  stream->Sender = this;
  // TLSFlags need no translation: TLS 1.2 and 1.3 are always on and older protocols never are.
  stream->TargetName = Server();
  if (stream->TargetName.size() > 2 && stream->TargetName.front() == u'[' && stream->TargetName.back() == u']')
    stream->TargetName = stream->TargetName.substr(1, stream->TargetName.size() - 2);
  stream->CAFile = FCAFile;
  stream->CAPath = FCAPath;
  stream->CertificateFlags = FCertificateFlags;
  stream->CSP = FCSP;
  stream->OnGetCertificate = OnGetCertificate;
  stream->OnVerifyServer = OnVerifyServer;
  return stream;
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
