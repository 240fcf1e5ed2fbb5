#include "netlib/transport/clTcpClient.h"

#include "netlib/text/clCallbackWindow.h"
#include "netlib/transport/clSocks.h"
#include "platform/LastError.h"

namespace netlib {

namespace gui = platform::gui;

TclTcpClient::TclTcpClient() {
  StartSocketLibrary();
  try {
    FConnection = std::make_unique<TclTcpClientConnection>();
  } catch (...) {
    StopSocketLibrary();
    throw;
  }
  FConnection->SetBatchSize(8192);
  FConnection->SetTimeOut(60000);
  FConnection->SetBitsPerSec(0);
}

TclTcpClient::~TclTcpClient() {
  try {
    Close();
  } catch (const rtl::Exception&) {
  }
  StopKeepAliveTimer();
  if (FTimerHwnd) ReleaseCallbackWindow(FTimerHwnd);
  FTimerHwnd = nullptr;
  FConnection.reset();
  StopSocketLibrary();
}

void TclTcpClient::SetServer(const rtl::String& AValue) {
  if (FServer == AValue) return;
  FServer = AValue;
  DoChanged();
}

void TclTcpClient::SetPort(int AValue) {
  if (Port() == AValue) return;
  FPort = AValue;
  FPortSet = true;
  DoChanged();
}

void TclTcpClient::SetLocalBinding(const rtl::String& AValue) {
  if (LocalBinding() == AValue) return;
  FConnection->SetLocalBinding(AValue);
  DoChanged();
}

void TclTcpClient::SetBatchSize(int AValue) {
  if (BatchSize() == AValue) return;
  FConnection->SetBatchSize(AValue);
  DoChanged();
}

void TclTcpClient::SetTimeOut(int AValue) {
  if (TimeOut() == AValue) return;
  FConnection->SetTimeOut(AValue);
  DoChanged();
}

void TclTcpClient::SetBitsPerSec(int AValue) {
  if (BitsPerSec() == AValue) return;
  FConnection->SetBitsPerSec(AValue);
  DoChanged();
}

void TclTcpClient::SetKeepAlive(int AValue) {
  if (FKeepAlive == AValue) return;
  FKeepAlive = AValue;
  DoChanged();
}

void TclTcpClient::DoChanged() {
  if (OnChanged) OnChanged(this);
}

void TclTcpClient::DoOpen() {
  if (OnOpen) OnOpen(this);
}

void TclTcpClient::DoClose() {
  if (OnClose) OnClose(this);
}

std::unique_ptr<TclNetworkStream> TclTcpClient::CreateNetworkStream() { return std::make_unique<TclNetworkStream>(); }

std::unique_ptr<TclNetworkStream> TclTcpClient::WrapNetworkStream(std::unique_ptr<TclNetworkStream> AStream,
                                                                 rtl::String& AConnectHost, int& AConnectPort) {
  const TclFirewallSettings& fw = FFirewallSettings;
  if (fw.Server().empty()) return AStream;
  std::unique_ptr<TclSocksNetworkStream> socks;
  if (fw.FirewallType() == ftSocks5)
    socks = std::make_unique<TclSocks5NetworkStream>(std::move(AStream));
  else
    socks = std::make_unique<TclSocks4NetworkStream>(std::move(AStream));
  socks->SetTargetPort(AConnectPort);
  socks->SetUserName(fw.UserName());
  socks->SetPassword(fw.Password());
  socks->SetTargetServer(fw.NeedResolveIP() ? AConnectHost : TclHostResolver::GetIPAddress(AConnectHost));
  AConnectHost = fw.Server();
  AConnectPort = fw.Port();
  return socks;
}

void TclTcpClient::OpenConnection(const rtl::String& AServer, int APort) {
  FConnection->SetNetworkStream(nullptr);
  std::unique_ptr<TclNetworkStream> stream = CreateNetworkStream();
  rtl::String host = AServer;
  int port = APort;
  FConnection->SetNetworkStream(WrapNetworkStream(std::move(stream), host, port));
  // Resolved on every open; nothing is cached.
  FConnection->Open(TclHostResolver::GetIPAddress(host), port);
}

void TclTcpClient::InternalOpen() {
  if (BatchSize() < 1) RaiseSocketError(InvalidBatchSize, InvalidBatchSizeCode);
  OpenConnection(Server(), Port());
}

void TclTcpClient::InternalClose(bool ANotifyPeer) {
  FConnection->Abort();
  FConnection->Close(ANotifyPeer);
}

void TclTcpClient::Open() {
  if (Active()) return;
  try {
    InternalOpen();
    StartKeepAliveTimer();
    DoOpen();
  } catch (...) {
    StopKeepAliveTimer();
    try {
      InternalClose(false);
    } catch (const EclSocketError&) {
    }
    throw;
  }
}

void TclTcpClient::Close() {
  StopKeepAliveTimer();
  bool wasActive = Active();
  InternalClose(true);
  if (wasActive) DoClose();
}

void TclTcpClient::StartKeepAliveTimer() {
  std::lock_guard<rtl::TCriticalSection> lock(FAccessor);
  if (FKeepAlive <= 0) return;
  if (!FTimerHwnd) {
    FTimerHwnd = AllocateCallbackWindow([this](gui::TMessage& m) { TimerWndProc(m); });
    if (!FTimerHwnd) RaiseSocketError(static_cast<int>(platform::GetLastErrorValue()));
  }
  if (!gui::SetTimer(FTimerHwnd, 1, static_cast<uint32_t>(FKeepAlive)))
    RaiseSocketError(static_cast<int>(platform::GetLastErrorValue()));
  FTimerEnabled = true;
}

void TclTcpClient::StopKeepAliveTimer() {
  std::lock_guard<rtl::TCriticalSection> lock(FAccessor);
  if (FTimerHwnd && FTimerEnabled) {
    gui::KillTimer(FTimerHwnd, 1);
    FTimerEnabled = false;
  }
}

void TclTcpClient::TimerWndProc(gui::TMessage& AMessage) {
  if (AMessage.Msg != gui::WM_TIMER) return;
  StopKeepAliveTimer();
  try {
    DoKeepAlive();
  } catch (...) {
  }
  StartKeepAliveTimer();
}

}  // namespace netlib
