// The component base of the client protocols: published connection settings, one connection,
// name resolution, the stream choice, open and close with their events, and the keep-alive timer.
#pragma once

#include <memory>

#include "netlib/transport/clFirewallUtils.h"
#include "netlib/transport/clSocket.h"
#include "platform/gui/MessageLoop.h"
#include "rtl/SyncObjs.h"

namespace netlib {

class TclTcpClient {
 public:
  TclTcpClient();
  virtual ~TclTcpClient();
  TclTcpClient(const TclTcpClient&) = delete;
  TclTcpClient& operator=(const TclTcpClient&) = delete;

  // Published settings; a setter that changes a value raises OnChanged.
  const rtl::String& Server() const { return FServer; }
  void SetServer(const rtl::String& AValue);
  int Port() const { return FPortSet ? FPort : GetDefaultPort(); }
  void SetPort(int AValue);
  const rtl::String& LocalBinding() const { return FConnection->LocalBinding(); }
  void SetLocalBinding(const rtl::String& AValue);
  int BatchSize() const { return FConnection->BatchSize(); }
  void SetBatchSize(int AValue);
  int TimeOut() const { return FConnection->TimeOut(); }
  void SetTimeOut(int AValue);
  int BitsPerSec() const { return FConnection->BitsPerSec(); }
  void SetBitsPerSec(int AValue);
  int KeepAlive() const { return FKeepAlive; }
  // Does not restart a running timer.
  void SetKeepAlive(int AValue);

  TclFirewallSettings& FirewallSettings() { return FFirewallSettings; }
  const TclFirewallSettings& FirewallSettings() const { return FFirewallSettings; }
  // Copies the values.
  void SetFirewallSettings(const TclFirewallSettings& AValue) { FFirewallSettings.Assign(AValue); }

  TclTcpClientConnection& Connection() const { return *FConnection; }
  bool Active() const { return FConnection->Active(); }

  TNotifyEvent OnChanged;
  TNotifyEvent OnOpen;
  TNotifyEvent OnClose;

  // Opens when not active. On failure the connection is closed, OnClose is not raised and the
  // first error propagates.
  void Open();
  // Closes and notifies the peer; OnClose only when the connection was active.
  void Close();

 protected:
  virtual std::unique_ptr<TclNetworkStream> CreateNetworkStream();
  virtual int GetDefaultPort() const = 0;
  virtual void OpenConnection(const rtl::String& AServer, int APort);
  virtual void InternalOpen();
  virtual void InternalClose(bool ANotifyPeer);
  virtual void DoKeepAlive() {}
  virtual void DoChanged();
  virtual void DoOpen();
  virtual void DoClose();
  // With a firewall server set, wraps the new stream in a SOCKS stream aimed at the given host and
  // port and redirects the connection to the firewall; otherwise answers the stream unchanged.
  virtual std::unique_ptr<TclNetworkStream> WrapNetworkStream(std::unique_ptr<TclNetworkStream> AStream,
                                                              rtl::String& AConnectHost, int& AConnectPort);

  void StartKeepAliveTimer();
  void StopKeepAliveTimer();

 private:
  void TimerWndProc(platform::gui::TMessage& AMessage);

  rtl::String FServer;
  int FPort = 0;
  bool FPortSet = false;
  int FKeepAlive = 0;
  TclFirewallSettings FFirewallSettings;
  std::unique_ptr<TclTcpClientConnection> FConnection;
  platform::gui::HWND FTimerHwnd = nullptr;
  rtl::TCriticalSection FAccessor;
  bool FTimerEnabled = false;
};

}  // namespace netlib
