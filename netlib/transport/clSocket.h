// The message-pumping wait, the host resolvers, the network stream and the connection chain
// TclSocket - TclConnection - TclSyncConnection - TclTcpConnection - TclTcpClientConnection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "netlib/transport/clIpAddress.h"
#include "netlib/transport/clSocketUtils.h"
#include "netlib/text/clUtils.h"
#include "platform/Sockets.h"
#include "platform/gui/MessageLoop.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace netlib {

enum TclNetworkStreamAction { saNone, saRead, saWrite };

using TNotifyEvent = std::function<void(void* Sender)>;
using TclProgressEvent = std::function<void(void* Sender, int64_t ABytesProceed, int64_t ATotalBytes)>;

// Waits for the socket event (or the abort event) while dispatching the thread's messages.
// True when the socket event was signalled; false when the abort event was, or when messages
// were handled. Raises "Timeout error occured" (-1) when the wait runs out, or once messages
// have kept it busy for more than ATimeOut since AStartTicks; -1 means no time-out.
bool WaitForSocketEvent(const platform::gui::TWaitHandle& ASocketEvent, platform::gui::TEvent* AAbortEvent,
                        uint64_t AStartTicks, int ATimeOut);
bool WaitForSocketEvent(platform::TSocketEvent* ASocketEvent, platform::gui::TEvent* AAbortEvent,
                        uint64_t AStartTicks, int ATimeOut);
bool WaitForSocketEvent(platform::gui::TEvent& AEvent, platform::gui::TEvent* AAbortEvent, uint64_t AStartTicks,
                        int ATimeOut);

// --- host resolution ------------------------------------------------------------------------------

class TclHostResolver {
 public:
  virtual ~TclHostResolver() = default;
  virtual rtl::String ResolveIP(const rtl::String& AHostName) = 0;
  virtual void ResolveIPList(const rtl::String& AHostName, rtl::TStringList& AList) = 0;
  // Through TclHostResolver6 when the address functions are available, else TclHostResolver4.
  static rtl::String GetIPAddress(const rtl::String& AHostName);
};

// IPv4 only: the lookup runs on a worker and completes through a hidden window on this thread.
class TclHostResolver4 : public TclHostResolver {
 public:
  TclHostResolver4();
  ~TclHostResolver4() override;
  rtl::String ResolveIP(const rtl::String& AHostName) override;
  void ResolveIPList(const rtl::String& AHostName, rtl::TStringList& AList) override;

  static constexpr uint32_t LookupCompletedMessage = 3134;
  static constexpr int LookupTimeOut = 5000;
  // Milliseconds a lookup may take (LookupTimeOut unless changed).
  int TimeOut() const { return FTimeOut; }
  void SetTimeOut(int AValue) { FTimeOut = AValue; }

 private:
  std::vector<uint32_t> Lookup(const rtl::String& AHostName);
  int FTimeOut = LookupTimeOut;
  int FAsyncError = 0;
  uintptr_t FLookupHandle = 0;
  std::unique_ptr<platform::gui::TEvent> FCompleted;
};

class TclHostResolver6 : public TclHostResolver {
 public:
  rtl::String ResolveIP(const rtl::String& AHostName) override;
  void ResolveIPList(const rtl::String& AHostName, rtl::TStringList& AList) override;
};

// The IPv4 lookup behind TclHostResolver4: a worker resolves AName and posts AMsg to AWnd with
// WParam the handle and the error code in the high 16 bits of LParam. The addresses (network
// order) go to *AResult, which must live until the request completed or was cancelled; after
// CancelAsyncRequest the worker touches neither the list nor the window. 0 when no worker could
// be started (last error set).
uintptr_t AsyncGetHostByName(platform::gui::HWND AWnd, uint32_t AMsg, const std::string& AName,
                             std::vector<uint32_t>* AResult);
// Detaches the caller from the request; answers false for an unknown (already finished) handle.
bool CancelAsyncRequest(uintptr_t AHandle);

// --- network stream ------------------------------------------------------------------------------

class TclConnection;

class TclNetworkStream {
 public:
  TclNetworkStream();
  virtual ~TclNetworkStream();
  TclNetworkStream(const TclNetworkStream&) = delete;
  TclNetworkStream& operator=(const TclNetworkStream&) = delete;

  TclConnection* Connection() const { return FConnection; }
  TclNetworkStreamAction NextAction() const { return FNextAction; }
  bool HasReadData() const { return FHasReadData; }
  void SetHasReadData(bool AValue) { FHasReadData = AValue; }
  const rtl::String& PeerIP() const { return FPeerIP; }
  int PeerPort() const { return FPeerPort; }
  const rtl::String& IP() const { return FIP; }
  int Port() const { return FPort; }
  int64_t BytesProceed() const { return FBytesProceed; }
  // The peer closed the connection and the stream holds nothing more for the caller: only then
  // may the connection close. A layered stream that still holds decoded bytes answers false.
  virtual bool NeedClose() const { return FNeedClose && FReadPos == FReadEnd; }
  // The connection saw the peer's close (the socket has ended).
  virtual void MarkPeerClosed() { FNeedClose = true; }
  // Whether this stream speaks TLS (the plain stream does not).
  virtual bool IsTls() const { return false; }

  virtual int GetBatchSize();
  virtual void SetConnection(TclConnection* AConnection);
  virtual void Assign(const TclNetworkStream& ASource);
  virtual bool Connect(TclIPAddress& Addr_, int APort);
  virtual void ConnectEnd();
  virtual void Bind(TclIPAddress& Addr_, int APort);
  virtual void Bind(TclIPAddress& Addr_, int APortBegin, int APortEnd);
  virtual void Broadcast();
  virtual void Listen();
  virtual void Accept();
  virtual void AcceptEnd();
  virtual void Close(bool ANotifyPeer);
  virtual void StreamReady();
  virtual bool Read(rtl::TStream* AData);
  virtual bool Write(rtl::TStream* AData);
  // One datagram into AData; the sender becomes the peer.
  virtual bool ReadFrom(rtl::TStream* AData);
  // One datagram of at most a batch from AData to Addr_ at APort.
  virtual bool WriteTo(rtl::TStream* AData, TclIPAddress& Addr_, int APort);
  virtual int ReadBuf(void* ABuffer, int ALength);
  virtual int WriteBuf(const void* ABuffer, int ALength);
  virtual int GetReadBatchSize() { return GetBatchSize(); }
  virtual int GetWriteBatchSize() { return GetBatchSize(); }
  virtual bool IsProceedLimit();
  virtual void InitProgress() { FBytesProceed = 0; }
  virtual void UpdateProgress(int64_t ABytesProceed);
  virtual void OpenClientSession() {}
  virtual void OpenServerSession() {}

  // Bytes a read may take from the socket at once. Without a throttle the socket is read in
  // pieces of up to ReadAheadSize (never past the read limit), which the caller still receives
  // batch by batch; a receive per batch cost as much as the rest of the download at 8 KiB.
  // Larger pieces fall out of the cache before they are handed over, and cost more than they save.
  static constexpr int ReadAheadSize = 64 * 1024;
  // Received bytes not yet handed to the caller (only an abort leaves some behind).
  size_t HeldBytes() const { return FReadEnd - FReadPos; }

  void CreateEndPoint(TclIPAddress& Addr, int APort) { Addr.SetPort(APort); }
  void SetPeerInfo(const rtl::String& AIP, int APort);
  void ClearNextAction() { FNextAction = saNone; }
  void SetNextAction(TclNetworkStreamAction Action);

 protected:
  // recv and send followed by the throttle's pause; the last socket error survives the pause.
  int ThrottledRecv(void* ABuffer, int ALength);
  int ThrottledSend(const void* ABuffer, int ALength);
  // The throttle's pause after a receive or send that asked for ALength bytes (0 without one).
  int ThrottlePause(int ALength);
  void Sleep(int AMilliseconds);
  bool StopTest();
  // Whether a receive of this stream answered 0 (or the connection saw the close), whatever the
  // stream still holds.
  bool SocketEnded() const { return FNeedClose; }
  platform::TSocket SocketHandle() const;
  TclConnection& RequireConnection() const;
  void RefreshLocalAddress();
  // How much the next receive may ask for when the caller takes ABatch bytes at a time: more
  // than a batch only for a stream that counts its own bytes (a layered stream's handshake
  // counts apart and reads batch by batch).
  virtual int GetReceiveSize(int ABatch);
  // The read buffer with room for at least ASize bytes (its content is not kept).
  uint8_t* ReadBuffer(size_t ASize);
  // A new connection starts with nothing received.
  void DropHeldBytes();

 private:
  TclConnection* FConnection = nullptr;
  std::unique_ptr<platform::gui::TEvent> FSleepEvent;
  TclNetworkStreamAction FNextAction = saNone;
  rtl::String FIP;
  int FPort = 0;
  rtl::String FPeerIP;
  int FPeerPort = 0;
  bool FHasReadData = false;
  int64_t FBytesProceed = 0;
  bool FNeedClose = false;
  // Kept across Read calls. It starts at the batch size and doubles, up to ReadAheadSize, while
  // receives fill it: small answers never pay for a large buffer.
  std::unique_ptr<uint8_t[]> FReadBuffer;
  size_t FReadCapacity = 0;
  size_t FReadPos = 0, FReadEnd = 0;  // the received bytes the caller has not taken yet
  int FReceiveSize = 0;               // what the next receive may ask for beyond a batch
  std::vector<uint8_t> FWriteBuffer;  // kept across Write calls; grows only with what is sent
};

// --- the speed floor ---------------------------------------------------------------------------------

// A transfer that moves fewer than Limit bytes a second over a whole window of Seconds is broken,
// as curl's --speed-limit and --speed-time mean it: a peer that drips a byte now and then can no
// longer hold the connection for days. The window slides in tenths; the rate is checked over at
// least a whole window, so a slow but live link is never cut short.
class TclSpeedFloor {
 public:
  static constexpr int Slots = 10;

  // Limit 0 or Seconds 0: no floor.
  void Set(int64_t ALimit, int ASeconds);
  int64_t Limit() const { return FLimit; }
  int Seconds() const { return FSeconds; }
  bool Enabled() const { return FLimit > 0 && FSeconds > 0; }
  // The window starts again (a new connection, a new request).
  void Restart(uint64_t ANow);
  void Add(int64_t ABytes, uint64_t ANow);
  // The bytes of the last whole window fell short of Limit * Seconds.
  bool Expired(uint64_t ANow);
  // Milliseconds until Expired can next change its answer (at least 1); -1 without a floor.
  int MsUntilCheck(uint64_t ANow) const;
  // "The transfer was slower than <Limit> bytes a second for <Seconds> seconds".
  rtl::String Reason() const;

 private:
  void Advance(uint64_t ANow);
  uint64_t SlotMs() const;

  int64_t FLimit = 0;
  int FSeconds = 0;
  uint64_t FStart = 0;
  uint64_t FSlot = 0;  // the slot the latest bytes went to, counted from FStart
  int64_t FBytes[Slots + 1] = {};
};

// --- connections ---------------------------------------------------------------------------------

class TclSocket {
 public:
  virtual ~TclSocket();
  platform::TSocket Socket() const { return FSocket; }
  int AddressFamily() const { return FAddressFamily; }
  // Shuts the socket down in both directions and closes it; results ignored.
  virtual void Close();
  virtual void SetSocket(platform::TSocket ASocket, int AddressFamily);

 private:
  int FAddressFamily = 0;
  platform::TSocket FSocket = platform::INVALID_SOCKET;
};

class TclConnection {
 public:
  TclConnection();
  virtual ~TclConnection();
  TclConnection(const TclConnection&) = delete;
  TclConnection& operator=(const TclConnection&) = delete;

  bool Active() const { return FActive_; }
  bool IsAborted() const { return FIsAborted; }
  TclSocket& Socket() { return *FSocket; }
  // Raises "NetworkStream is required" (-5) when there is none.
  TclNetworkStream* NetworkStream() const;
  TclNetworkStream* NetworkStreamOrNull() const { return FNetworkStream.get(); }
  // Takes ownership; a replacement first copies the old stream's addresses.
  void SetNetworkStream(std::unique_ptr<TclNetworkStream> AStream);
  int BatchSize() const { return FBatchSize; }
  void SetBatchSize(int AValue) { FBatchSize = AValue; }
  int BitsPerSec() const { return FBitsPerSec; }
  void SetBitsPerSec(int AValue) { FBitsPerSec = AValue; }
  int64_t BytesProceed() const { return FTotalBytesProceed; }
  int64_t TotalBytes() const { return FTotalBytes; }
  int64_t BytesToProceed() const { return FBytesToProceed; }
  void SetBytesToProceed(int64_t AValue) { FBytesToProceed = AValue; }
  const rtl::String& IP() const { return FIP; }
  int Port() const { return FPort; }
  const rtl::String& PeerIP() const { return FPeerIP; }
  int PeerPort() const { return FPeerPort; }
  void SetLocalInfo(const rtl::String& AIP, int APort) { FIP = AIP; FPort = APort; }
  void SetPeerInfo(const rtl::String& AIP, int APort) { FPeerIP = AIP; FPeerPort = APort; }

  TclProgressEvent OnProgress;
  TNotifyEvent OnReady;

  // The least rate a read may keep up (off unless set); kept across sockets.
  TclSpeedFloor& SpeedFloor() { return FSpeedFloor; }

  void InitProgress(int64_t ABytesProceed, int64_t ATotalBytes);
  // The stream's progress step.
  void Progress(int64_t ACount);
  void CreateSocket(int AddrFamily, int AStruct, int AProtocol);
  virtual void DoReady();

  virtual void Close(bool ANotifyPeer);
  virtual bool ReadData(rtl::TStream* AData) = 0;
  virtual bool WriteData(rtl::TStream* AData) = 0;
  virtual void DispatchNextAction() {}
  // Ends the transfer or open in progress: the call raises the abort error (10004) soon after.
  virtual void Abort();
  // Signalled by Abort (none here): a stream's pause waits on it too.
  virtual platform::gui::TEvent* AbortEvent() const { return nullptr; }

 protected:
  virtual void ReleaseResources() {}
  // The abort error, unless the connection is closing (a close after an abort is no error).
  void CheckAborted() const;
  virtual void DoProgress(int64_t ABytesProceed, int64_t ATotalBytes);
  void SetActive(bool AValue) { FActive_ = AValue; }
  // Step 3 of Close: inactive, socket shut down and closed.
  void CloseSocket();

 private:
  std::unique_ptr<TclSocket> FSocket;
  TclSpeedFloor FSpeedFloor;
  int FBatchSize = 8192;
  int FBitsPerSec = 0;
  bool FIsAborted = false;
  bool FClosing = false;  // a layered stream's closing message is being sent
  std::unique_ptr<TclNetworkStream> FNetworkStream;
  bool FActive_ = false;
  int64_t FTotalBytesProceed = 0;
  int64_t FTotalBytes = 0;
  int64_t FBytesToProceed = -1;
  rtl::String FIP;
  int FPort = 0;
  rtl::String FPeerIP;
  int FPeerPort = 0;
};

class TclSyncConnection : public TclConnection {
 public:
  TclSyncConnection();
  ~TclSyncConnection() override;

  int TimeOut() const { return FTimeOut; }
  void SetTimeOut(int AValue) { FTimeOut = AValue; }
  platform::TSocketEvent* SocketEvent() const { return FSocketEvent; }
  const rtl::String& LocalBinding() const { return FLocalBinding; }
  void SetLocalBinding(const rtl::String& AValue) { FLocalBinding = AValue; }

  // The text in "us-ascii" / in the named set; an empty text writes nothing.
  void WriteString(const rtl::String& AString);
  void WriteString(const rtl::String& AString, const rtl::String& ACharSet);
  void Abort() override;
  platform::gui::TEvent* AbortEvent() const override { return FAbortEvent.get(); }

 protected:
  void ReleaseResources() override;
  void StartIdlePeriod();
  bool WaitForEvent();
  // WaitForEvent of a read: also ends the wait when the speed floor's window is due, and raises
  // WSAETIMEDOUT with the floor's reason once the transfer fell below it.
  bool WaitForReadEvent();
  void SelectEvents(long AMask);
  void EnumEvents(platform::TNetworkEvents& AEvents);

  uint64_t FTimeOutTicks = 0;

 private:
  int FTimeOut = 5000;
  platform::TSocketEvent* FSocketEvent = nullptr;
  std::unique_ptr<platform::gui::TEvent> FAbortEvent;
  rtl::String FLocalBinding;
};

class TclTcpConnection : public TclSyncConnection {
 public:
  ~TclTcpConnection() override;
  bool IsReadUntilClose() const { return FIsReadUntilClose; }
  void SetIsReadUntilClose(bool AValue) { FIsReadUntilClose = AValue; }

  bool ReadData(rtl::TStream* AData) override;
  bool WriteData(rtl::TStream* AData) override;
  void DispatchNextAction() override;

 protected:
  void ReadLoop(rtl::TStream* AData);
  void WriteLoop(rtl::TStream* AData);
  bool FIsReadUntilClose = false;
};

class TclTcpClientConnection : public TclTcpConnection {
 public:
  // AIP is an address literal; names are resolved by the caller.
  void Open(const rtl::String& AIP, int APort);
  void OpenSession();

 private:
  // Closes the socket and raises the abort error.
  [[noreturn]] void CloseAborted();
  void RunHandshake();
};

}  // namespace netlib
