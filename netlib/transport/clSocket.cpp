#include "netlib/transport/clSocket.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "netlib/text/clCallbackWindow.h"
#include "netlib/text/clTranslator.h"
#include "netlib/transport/clPause.h"
#include "netlib/transport/clWinSock2.h"
#include "platform/LastError.h"
#include "rtl/DateUtils.h"

namespace netlib {

namespace gui = platform::gui;
using platform::TNetworkEvents;

// --- the wait ----------------------------------------------------------------------------------------

bool WaitForSocketEvent(const gui::TWaitHandle& ASocketEvent, gui::TEvent* AAbortEvent, uint64_t AStartTicks,
                        int ATimeOut) {
  gui::TWaitHandle handles[2] = {ASocketEvent};
  uint32_t count = 1;
  if (AAbortEvent) handles[count++] = gui::TWaitHandle(*AAbortEvent);
  // Each call gets the full time-out; messages are checked against the start tick below.
  uint32_t r = gui::MsgWaitForMultipleObjects(handles, count, ATimeOut < 0 ? gui::INFINITE : uint32_t(ATimeOut));
  if (r == gui::WAIT_FAILED) RaiseSocketError(platform::WsaGetLastError());
  if (r == gui::WAIT_TIMEOUT) RaiseSocketError(TimeoutOccured, TimeoutOccuredCode);
  if (r == gui::WAIT_OBJECT_0 + count) {
    auto expired = [&] { return ATimeOut >= 0 && rtl::GetTickCount64() - AStartTicks > uint64_t(ATimeOut); };
    while (gui::ProcessOneMessage()) {
      if (expired()) RaiseSocketError(TimeoutOccured, TimeoutOccuredCode);
    }
    if (expired()) RaiseSocketError(TimeoutOccured, TimeoutOccuredCode);
    return false;
  }
  return r == gui::WAIT_OBJECT_0;
}

bool WaitForSocketEvent(platform::TSocketEvent* ASocketEvent, gui::TEvent* AAbortEvent, uint64_t AStartTicks,
                        int ATimeOut) {
  return WaitForSocketEvent(gui::TWaitHandle(ASocketEvent), AAbortEvent, AStartTicks, ATimeOut);
}

bool WaitForSocketEvent(gui::TEvent& AEvent, gui::TEvent* AAbortEvent, uint64_t AStartTicks, int ATimeOut) {
  return WaitForSocketEvent(gui::TWaitHandle(AEvent), AAbortEvent, AStartTicks, ATimeOut);
}

// --- the pause -----------------------------------------------------------------------------------

TclPauseEnd PauseDispatching(int AMs, gui::TEvent* AAbortEvent, gui::TEvent* AWakeEvent,
                             const std::function<bool()>& AStopped) {
  gui::TWaitHandle handles[2];
  uint32_t count = 0, abortIndex = 2, wakeIndex = 2;
  if (AAbortEvent) {
    abortIndex = count;
    handles[count++] = gui::TWaitHandle(*AAbortEvent);
  }
  if (AWakeEvent) {
    wakeIndex = count;
    handles[count++] = gui::TWaitHandle(*AWakeEvent);
  }
  const uint64_t start = rtl::GetTickCount64();
  for (;;) {
    const uint64_t elapsed = rtl::GetTickCount64() - start;
    if (AMs <= 0 || elapsed >= uint64_t(AMs)) return TclPauseEnd::Elapsed;
    const uint32_t r = gui::MsgWaitForMultipleObjects(handles, count, uint32_t(uint64_t(AMs) - elapsed));
    if (r == gui::WAIT_TIMEOUT) return TclPauseEnd::Elapsed;
    if (r == gui::WAIT_OBJECT_0 + abortIndex) return TclPauseEnd::Aborted;
    if (r == gui::WAIT_OBJECT_0 + wakeIndex) return TclPauseEnd::Woken;
    if (r != gui::WAIT_OBJECT_0 + count) return TclPauseEnd::Failed;
    gui::ProcessMessages();
    if (AStopped && AStopped()) return TclPauseEnd::Aborted;
  }
}

// --- asynchronous IPv4 lookup ------------------------------------------------------------------------

namespace {

struct TLookupRequest {
  std::mutex Lock;
  bool Cancelled = false;
  gui::HWND Wnd = nullptr;
  uint32_t Msg = 0;
  std::vector<uint32_t>* Result = nullptr;
};

std::mutex gLookupLock;
std::map<uintptr_t, std::shared_ptr<TLookupRequest>>& Lookups() {
  static auto* lookups = new std::map<uintptr_t, std::shared_ptr<TLookupRequest>>();
  return *lookups;
}
std::atomic<uintptr_t> gNextLookup{1};

void RunLookup(uintptr_t handle, std::shared_ptr<TLookupRequest> req, std::string name) {
  std::vector<uint32_t> found;
  int error = 0;
  platform::TAddressInfo hints;
  hints.Family = platform::WSA_AF_INET;
  hints.SocketType = platform::WSA_SOCK_STREAM;
  platform::TAddressInfo* list = nullptr;
  if (name.empty()) {
    error = platform::WSAHOST_NOT_FOUND;
  } else {
    error = platform::GetAddressInfo(name.c_str(), nullptr, &hints, &list);
    for (platform::TAddressInfo* p = list; !error && p; p = p->Next) {
      if (p->Address.Family != platform::WSA_AF_INET) continue;
      uint32_t address;
      std::memcpy(&address, p->Address.Address, 4);
      found.push_back(address);
    }
    platform::FreeAddressInfo(list);
    if (!error && found.empty()) error = platform::WSANO_DATA;
  }
  // Everything under the request's lock, the unregistering last: a cancel that still finds the
  // request either comes first (nothing is touched) or waits until the list is written and the
  // message posted; one that no longer finds it comes after the worker is done with both.
  std::lock_guard<std::mutex> lock(req->Lock);
  if (!req->Cancelled) {
    if (!error && req->Result) *req->Result = std::move(found);
    gui::PostMessage(req->Wnd, req->Msg, handle, static_cast<intptr_t>(uint32_t(error & 0xFFFF) << 16));
    req->Cancelled = true;
  }
  std::lock_guard<std::mutex> registry(gLookupLock);
  Lookups().erase(handle);
}

}  // namespace

uintptr_t AsyncGetHostByName(gui::HWND AWnd, uint32_t AMsg, const std::string& AName, std::vector<uint32_t>* AResult) {
  auto req = std::make_shared<TLookupRequest>();
  req->Wnd = AWnd;
  req->Msg = AMsg;
  req->Result = AResult;
  uintptr_t handle = gNextLookup.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(gLookupLock);
    Lookups()[handle] = req;
  }
  try {
    std::thread(RunLookup, handle, req, AName).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(gLookupLock);
    Lookups().erase(handle);
    platform::WsaSetLastError(platform::WSAENOBUFS);
    return 0;
  }
  return handle;
}

bool CancelAsyncRequest(uintptr_t AHandle) {
  std::shared_ptr<TLookupRequest> req;
  {
    std::lock_guard<std::mutex> lock(gLookupLock);
    auto it = Lookups().find(AHandle);
    if (it == Lookups().end()) return false;
    req = it->second;
    Lookups().erase(it);
  }
  std::lock_guard<std::mutex> lock(req->Lock);
  req->Cancelled = true;
  return true;
}

// --- resolvers -----------------------------------------------------------------------------------------

rtl::String TclHostResolver::GetIPAddress(const rtl::String& AHostName) {
  std::unique_ptr<TclHostResolver> resolver;
  if (AddressInfoAvailable())
    resolver = std::make_unique<TclHostResolver6>();
  else
    resolver = std::make_unique<TclHostResolver4>();
  return resolver->ResolveIP(AHostName);
}

TclHostResolver4::TclHostResolver4() = default;
TclHostResolver4::~TclHostResolver4() = default;

std::vector<uint32_t> TclHostResolver4::Lookup(const rtl::String& AHostName) {
  std::vector<uint32_t> result;
  std::string name;
  // A name the system code page cannot carry cannot be found.
  if (!HostToSystemText(AHostName, name)) RaiseSocketError(platform::WSAHOST_NOT_FOUND);
  FCompleted = std::make_unique<gui::TEvent>(false, false);
  gui::HWND wnd = AllocateCallbackWindow([this](gui::TMessage& m) {
    if (m.Msg == LookupCompletedMessage && FLookupHandle != 0 && m.WParam == FLookupHandle) {
      FAsyncError = static_cast<int>((uint32_t(m.LParam) >> 16) & 0xFFFF);
      FCompleted->Set();
    }
  });
  if (!wnd) RaiseSocketError(static_cast<int>(platform::GetLastErrorValue()));
  struct TCleanup {
    TclHostResolver4* Self;
    gui::HWND Wnd;
    ~TCleanup() {
      // Detach a lookup still running before the window and the list go away.
      if (Self->FLookupHandle) CancelAsyncRequest(Self->FLookupHandle);
      Self->FLookupHandle = 0;
      gui::RemovePendingMessages(Wnd);
      ReleaseCallbackWindow(Wnd);
      Self->FCompleted.reset();
    }
  } cleanup{this, wnd};
  FAsyncError = 0;
  FLookupHandle = AsyncGetHostByName(wnd, LookupCompletedMessage, name, &result);
  if (FLookupHandle == 0) RaiseSocketError(platform::WsaGetLastError());
  // One start for the whole lookup: restarting it after every dispatched message would let a
  // window timer (the main window's marquee) keep a hanging lookup alive for ever.
  uint64_t start = rtl::GetTickCount64();
  while (!WaitForSocketEvent(*FCompleted, nullptr, start, FTimeOut)) {
  }
  FLookupHandle = 0;
  if (FAsyncError != 0) RaiseSocketError(FAsyncError);
  return result;
}

rtl::String TclHostResolver4::ResolveIP(const rtl::String& AHostName) {
  if (TclIPAddress::IsHostIP(AHostName)) return AHostName;
  std::vector<uint32_t> list = Lookup(AHostName);
  if (list.empty()) return rtl::String();
  return IPv4ToText(reinterpret_cast<const uint8_t*>(&list[0]));
}

void TclHostResolver4::ResolveIPList(const rtl::String& AHostName, rtl::TStringList& AList) {
  AList.Clear();
  if (TclIPAddress::IsHostIP(AHostName)) {
    AList.Add(AHostName);
    return;
  }
  for (uint32_t v : Lookup(AHostName)) AList.Add(IPv4ToText(reinterpret_cast<const uint8_t*>(&v)));
}

namespace {

struct TAddrInfoList {
  platform::TAddressInfo* List = nullptr;
  ~TAddrInfoList() { FreeAddrInfo(List); }
};

void LookupAll(const rtl::String& AHostName, TAddrInfoList& AList) {
  std::string name;
  if (!HostToSystemText(AHostName, name)) RaiseSocketError(platform::WSAHOST_NOT_FOUND);
  platform::TAddressInfo hints;
  int r = GetAddrInfo(name.c_str(), nullptr, &hints, &AList.List);
  if (r != 0) RaiseSocketError(r);
}

}  // namespace

rtl::String TclHostResolver6::ResolveIP(const rtl::String& AHostName) {
  if (TclIPAddress::IsHostIP(AHostName)) return AHostName;
  TAddrInfoList list;
  LookupAll(AHostName, list);
  for (platform::TAddressInfo* p = list.List; p; p = p->Next)
    if (p->Address.Family == platform::WSA_AF_INET) return SockAddrToText(p->Address);
  return list.List ? SockAddrToText(list.List->Address) : rtl::String();
}

void TclHostResolver6::ResolveIPList(const rtl::String& AHostName, rtl::TStringList& AList) {
  AList.Clear();
  if (TclIPAddress::IsHostIP(AHostName)) {
    AList.Add(AHostName);
    return;
  }
  TAddrInfoList list;
  LookupAll(AHostName, list);
  for (platform::TAddressInfo* p = list.List; p; p = p->Next) {
    rtl::String text = SockAddrToText(p->Address);
    // getaddrinfo answers one entry per socket type; list each address once.
    if (!text.empty() && AList.IndexOf(text) < 0) AList.Add(text);
  }
}

// --- network stream ---------------------------------------------------------------------------------

TclNetworkStream::TclNetworkStream() : FSleepEvent(std::make_unique<gui::TEvent>(false, false)) {}
TclNetworkStream::~TclNetworkStream() = default;

TclConnection& TclNetworkStream::RequireConnection() const {
  rtl::Assert(FConnection != nullptr, u"The network stream has no connection");
  return *FConnection;
}

platform::TSocket TclNetworkStream::SocketHandle() const { return RequireConnection().Socket().Socket(); }

int TclNetworkStream::GetBatchSize() {
  TclConnection& c = RequireConnection();
  if (c.BatchSize() < 1) RaiseSocketError(InvalidBatchSize, InvalidBatchSizeCode);
  int64_t limit = c.BytesToProceed();
  if (limit >= 0 && limit >= FBytesProceed && limit - FBytesProceed < c.BatchSize())
    return static_cast<int>(limit - FBytesProceed);
  return c.BatchSize();
}

void TclNetworkStream::SetConnection(TclConnection* AConnection) { FConnection = AConnection; }

void TclNetworkStream::Assign(const TclNetworkStream& ASource) {
  FPeerIP = ASource.FPeerIP;
  FPeerPort = ASource.FPeerPort;
  FIP = ASource.FIP;
  FPort = ASource.FPort;
  FHasReadData = ASource.FHasReadData;
}

void TclNetworkStream::SetNextAction(TclNetworkStreamAction Action) {
  if (FNextAction == saNone) FNextAction = Action;
}

void TclNetworkStream::SetPeerInfo(const rtl::String& AIP, int APort) {
  FPeerIP = AIP;
  FPeerPort = APort;
  if (FConnection) FConnection->SetPeerInfo(AIP, APort);
}

bool TclNetworkStream::IsProceedLimit() {
  int64_t limit = RequireConnection().BytesToProceed();
  return limit >= 0 && FBytesProceed >= limit;
}

void TclNetworkStream::UpdateProgress(int64_t ABytesProceed) {
  FBytesProceed += ABytesProceed;
  RequireConnection().Progress(ABytesProceed);
}

bool TclNetworkStream::StopTest() { return RequireConnection().IsAborted() || IsProceedLimit(); }

void TclNetworkStream::Sleep(int AMilliseconds) {
  TclConnection& c = RequireConnection();
  if (AMilliseconds <= 0 || c.IsAborted()) return;
  // An abort ends the pause; the loops then stop through their stop test.
  PauseDispatching(AMilliseconds, c.AbortEvent(), FSleepEvent.get(), [&c] { return c.IsAborted(); });
}

namespace {
// (length x 8000) / bits per second in 64 bits, so large batches cannot wrap into no pause.
int PauseMs(int ALength, int ABitsPerSec) {
  int64_t ms = (int64_t(ALength < 0 ? 0 : ALength) * 8000) / ABitsPerSec;
  return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}
}  // namespace

int TclNetworkStream::ThrottlePause(int ALength) {
  int bps = RequireConnection().BitsPerSec();
  return bps > 0 ? PauseMs(ALength, bps) : 0;
}

int TclNetworkStream::ThrottledRecv(void* ABuffer, int ALength) {
  int r = platform::Recv(SocketHandle(), ABuffer, ALength);
  if (int pause = ThrottlePause(ALength)) {
    int err = platform::WsaGetLastError();
    Sleep(pause);
    platform::WsaSetLastError(err);
  }
  return r;
}

int TclNetworkStream::ThrottledSend(const void* ABuffer, int ALength) {
  int r = platform::Send(SocketHandle(), ABuffer, ALength);
  if (int pause = ThrottlePause(ALength)) {
    int err = platform::WsaGetLastError();
    Sleep(pause);
    platform::WsaSetLastError(err);
  }
  return r;
}

void TclNetworkStream::DropHeldBytes() {
  FReadPos = FReadEnd = 0;
  FReceiveSize = 0;
}

bool TclNetworkStream::Connect(TclIPAddress& Addr_, int APort) {
  FNeedClose = false;
  DropHeldBytes();
  ClearNextAction();
  CreateEndPoint(Addr_, APort);
  int r = platform::Connect(SocketHandle(), *Addr_.Address());
  if (r == platform::SOCKET_ERROR && platform::WsaGetLastError() != platform::WSAEWOULDBLOCK)
    RaiseSocketError(platform::WsaGetLastError());
  SetPeerInfo(Addr_.ToString(), Addr_.Port());
  OpenClientSession();
  return r == 0;
}

void TclNetworkStream::RefreshLocalAddress() {
  TclConnection& c = RequireConnection();
  if (!c.Active()) return;
  platform::TSocketAddress local;
  if (platform::GetSockName(SocketHandle(), &local) != 0) RaiseSocketError(platform::WsaGetLastError());
  FIP = SockAddrToText(local);
  FPort = local.Port;
  c.SetLocalInfo(FIP, FPort);
}

void TclNetworkStream::ConnectEnd() { RefreshLocalAddress(); }
void TclNetworkStream::AcceptEnd() { RefreshLocalAddress(); }

void TclNetworkStream::Bind(TclIPAddress& Addr_, int APort) {
  CreateEndPoint(Addr_, APort);
  if (platform::Bind(SocketHandle(), *Addr_.Address()) != 0)
    RaiseSocketError(platform::WsaGetLastError());
}

void TclNetworkStream::Bind(TclIPAddress& Addr_, int APortBegin, int APortEnd) {
  if (APortBegin < 1 || APortEnd < APortBegin) RaiseSocketError(InvalidPort, InvalidPortCode);
  for (int port = APortBegin; port <= APortEnd; ++port) {
    CreateEndPoint(Addr_, port);
    if (platform::Bind(SocketHandle(), *Addr_.Address()) == 0) return;
    int err = platform::WsaGetLastError();
    if ((err != platform::WSAEADDRINUSE && err != platform::WSAEACCES) || port == APortEnd) RaiseSocketError(err);
  }
}

void TclNetworkStream::Broadcast() {
  if (RequireConnection().Socket().AddressFamily() == platform::WSA_AF_INET6)
    RaiseSocketError(InvalidAddressFamily, InvalidAddressFamilyCode);
  int on = 1;
  if (platform::SetSockOpt(SocketHandle(), platform::WSA_SOL_SOCKET, platform::WSA_SO_BROADCAST, &on, sizeof(on)) != 0)
    RaiseSocketError(platform::WsaGetLastError());
}

void TclNetworkStream::Listen() {
  FNeedClose = false;
  ClearNextAction();
  unsigned long nonBlocking = 1;
  if (platform::IoctlSocket(SocketHandle(), platform::WSA_FIONBIO, &nonBlocking) != 0 ||
      platform::Listen(SocketHandle(), 1) != 0)
    RaiseSocketError(platform::WsaGetLastError());
  platform::TSocketAddress local;
  if (platform::GetSockName(SocketHandle(), &local) != 0) RaiseSocketError(platform::WsaGetLastError());
  FPort = local.Port;
}

void TclNetworkStream::Accept() {
  FNeedClose = false;
  DropHeldBytes();
  ClearNextAction();
  TclConnection& c = RequireConnection();
  platform::TSocketAddress peer;
  platform::TSocket s = platform::Accept(SocketHandle(), &peer);
  if (s == platform::INVALID_SOCKET) RaiseSocketError(platform::WsaGetLastError());
  int family = c.Socket().AddressFamily();
  c.Socket().Close();  // the accepted socket replaces the listening one
  c.Socket().SetSocket(s, family);
  SetPeerInfo(SockAddrToText(peer), peer.Port);
  OpenServerSession();
}

void TclNetworkStream::Close(bool ANotifyPeer) { ClearNextAction(); }

void TclNetworkStream::StreamReady() { RequireConnection().DoReady(); }

uint8_t* TclNetworkStream::ReadBuffer(size_t ASize) {
  if (ASize > FReadCapacity) {
    try {
      FReadBuffer.reset(new uint8_t[ASize]);
    } catch (const std::bad_alloc&) {
      RaiseSocketError(platform::WSA_NOT_ENOUGH_MEMORY);
    }
    FReadCapacity = ASize;
  }
  return FReadBuffer.get();
}

int TclNetworkStream::GetReceiveSize(int ABatch) {
  TclConnection& c = RequireConnection();
  // A throttled stream pauses after every receive for the length asked: one batch at a time.
  if (c.BitsPerSec() > 0) return ABatch;
  int64_t size = ReadAheadSize;
  // Never past the read limit: what follows belongs to whoever reads next.
  int64_t limit = c.BytesToProceed();
  if (limit >= 0 && limit - FBytesProceed < size) size = limit - FBytesProceed;
  return size < ABatch ? ABatch : static_cast<int>(size);
}

bool TclNetworkStream::Read(rtl::TStream* AData) {
  ClearNextAction();
  if (!AData) return true;
  bool result = true;
  try {
    for (;;) {
      int batch = GetReadBatchSize();
      if (batch <= 0) break;
      if (FReadPos == FReadEnd) {
        // Ask for as much as the last receives suggest is waiting, within the receive size.
        int ask = GetReceiveSize(batch);
        if (ask > batch && ask > FReceiveSize) ask = FReceiveSize > batch ? FReceiveSize : batch;
        int received = ThrottledRecv(ReadBuffer(static_cast<size_t>(ask)), ask);
        if (received < 0) {
          result = false;
          int err = platform::WsaGetLastError();
          if (err != platform::WSAEWOULDBLOCK) RaiseSocketError(err);
          break;
        }
        if (received == 0) {
          FNeedClose = true;
          break;
        }
        FReadPos = 0;
        FReadEnd = static_cast<size_t>(received);
        // A full receive: more is likely waiting, so the next one may ask for twice as much.
        if (received == ask && ask < ReadAheadSize) FReceiveSize = 2 * ask;
      }
      // The caller sees the bytes batch by batch, as if each batch had been one receive.
      size_t n = FReadEnd - FReadPos;
      if (n > static_cast<size_t>(batch)) n = static_cast<size_t>(batch);
      const uint8_t* piece = FReadBuffer.get() + FReadPos;
      FReadPos += n;
      AData->WriteBuffer(piece, static_cast<int64_t>(n));
      UpdateProgress(static_cast<int64_t>(n));
      if (StopTest()) break;
    }
  } catch (...) {
    if (FReadPos != FReadEnd) FHasReadData = true;
    throw;
  }
  // Bytes an abort left behind go out with the next read, which must not wait for the socket.
  if (FReadPos != FReadEnd) FHasReadData = true;
  return result;
}

bool TclNetworkStream::Write(rtl::TStream* AData) {
  ClearNextAction();
  if (!AData || AData->Position() >= AData->Size()) return true;
  for (;;) {
    int64_t left = AData->Size() - AData->Position();
    int batch = GetWriteBatchSize();
    int chunk = static_cast<int>(std::min<int64_t>(batch, left));
    // The read limit can cut the batch to nothing; that ends the pass like the stop test.
    if (chunk <= 0) return true;
    // Grown to what is sent, not to the batch: zeroing a whole batch for a request head of a
    // few hundred bytes cost more than sending it.
    if (static_cast<size_t>(chunk) > FWriteBuffer.size()) {
      try {
        FWriteBuffer.resize(static_cast<size_t>(chunk));
      } catch (const std::bad_alloc&) {
        RaiseSocketError(platform::WSA_NOT_ENOUGH_MEMORY);
      }
    }
    chunk = static_cast<int>(AData->Read(FWriteBuffer.data(), chunk));
    if (chunk <= 0) return true;
    int sent = ThrottledSend(FWriteBuffer.data(), chunk);
    if (sent < 0) {
      int err = platform::WsaGetLastError();
      if (err != platform::WSAEWOULDBLOCK) RaiseSocketError(err);
      AData->Seek(-chunk, rtl::soCurrent);
      return false;
    }
    if (sent < chunk) AData->Seek(-(chunk - sent), rtl::soCurrent);
    UpdateProgress(sent);
    if (AData->Position() >= AData->Size() || StopTest()) return true;
  }
}

bool TclNetworkStream::ReadFrom(rtl::TStream* AData) {
  ClearNextAction();
  if (!AData) return true;
  int batch = GetReadBatchSize();
  if (batch <= 0) return true;
  uint8_t* buffer = ReadBuffer(static_cast<size_t>(batch));
  platform::TSocketAddress from;
  int r = platform::RecvFrom(SocketHandle(), buffer, batch, &from);
  if (r < 0) {
    int err = platform::WsaGetLastError();
    if (err != platform::WSAEWOULDBLOCK) RaiseSocketError(err);
    return false;
  }
  AData->WriteBuffer(buffer, r);
  UpdateProgress(r);
  SetPeerInfo(SockAddrToText(from), from.Port);
  return true;
}

bool TclNetworkStream::WriteTo(rtl::TStream* AData, TclIPAddress& Addr_, int APort) {
  ClearNextAction();
  if (!AData || AData->Position() >= AData->Size()) return true;
  int chunk = static_cast<int>(std::min<int64_t>(GetWriteBatchSize(), AData->Size() - AData->Position()));
  if (chunk <= 0) return true;
  std::vector<uint8_t> buffer(static_cast<size_t>(chunk));
  chunk = static_cast<int>(AData->Read(buffer.data(), chunk));
  CreateEndPoint(Addr_, APort);
  int r = platform::SendTo(SocketHandle(), buffer.data(), chunk, *Addr_.Address());
  if (r < 0) {
    int err = platform::WsaGetLastError();
    if (err != platform::WSAEWOULDBLOCK) RaiseSocketError(err);
    AData->Seek(-chunk, rtl::soCurrent);
    return false;
  }
  UpdateProgress(r);
  SetPeerInfo(Addr_.ToString(), Addr_.Port());
  return true;
}

int TclNetworkStream::ReadBuf(void* ABuffer, int ALength) { return ThrottledRecv(ABuffer, ALength); }
int TclNetworkStream::WriteBuf(const void* ABuffer, int ALength) { return ThrottledSend(ABuffer, ALength); }

// --- TclSocket --------------------------------------------------------------------------------------

TclSocket::~TclSocket() { Close(); }

void TclSocket::Close() {
  if (FSocket != platform::INVALID_SOCKET) {
    platform::Shutdown(FSocket, 2);
    platform::CloseSocket(FSocket);
  }
  FSocket = platform::INVALID_SOCKET;
  FAddressFamily = 0;
}

void TclSocket::SetSocket(platform::TSocket ASocket, int AddressFamily) {
  FSocket = ASocket;
  FAddressFamily = ASocket == platform::INVALID_SOCKET ? 0 : AddressFamily;
}

// --- TclConnection ----------------------------------------------------------------------------------

TclConnection::TclConnection() : FSocket(std::make_unique<TclSocket>()) {}

TclConnection::~TclConnection() {
  FActive_ = false;
  FSocket->Close();
}

TclNetworkStream* TclConnection::NetworkStream() const {
  if (!FNetworkStream) RaiseSocketError(NetworkStreamRequired, NetworkStreamRequiredCode);
  return FNetworkStream.get();
}

void TclConnection::SetNetworkStream(std::unique_ptr<TclNetworkStream> AStream) {
  if (AStream.get() == FNetworkStream.get()) return;
  if (AStream && FNetworkStream) AStream->Assign(*FNetworkStream);
  FNetworkStream = std::move(AStream);
  if (FNetworkStream) FNetworkStream->SetConnection(this);
}

void TclConnection::InitProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  FTotalBytesProceed = ABytesProceed;
  if (FNetworkStream) FNetworkStream->InitProgress();
  FTotalBytes = ATotalBytes;
}

void TclConnection::Progress(int64_t ACount) {
  FTotalBytesProceed += ACount;
  if (FSpeedFloor.Enabled()) FSpeedFloor.Add(ACount, rtl::GetTickCount64());
  DoProgress(FTotalBytesProceed, FTotalBytes);
}

void TclConnection::DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}

void TclConnection::DoReady() {
  if (OnReady) OnReady(this);
}

void TclConnection::CreateSocket(int AddrFamily, int AStruct, int AProtocol) {
  FIsAborted = false;
  // An abort signalled for the previous socket (the client aborts before every close) must not
  // wake the first wait of this one.
  if (gui::TEvent* abortEvent = AbortEvent()) abortEvent->Reset();
  rtl::Assert(FSocket->Socket() == platform::INVALID_SOCKET, u"The connection already holds a socket");
  platform::TSocket s = platform::Socket(AddrFamily, AStruct, AProtocol);
  if (s == platform::INVALID_SOCKET) RaiseSocketError(platform::WsaGetLastError());
  FSocket->SetSocket(s, AddrFamily);
  FSpeedFloor.Restart(rtl::GetTickCount64());
}

void TclConnection::CloseSocket() {
  FActive_ = false;
  FSocket->Close();
}

void TclConnection::Close(bool ANotifyPeer) {
  TclValueScope closing(FClosing, true);
  try {
    if (FActive_ && FNetworkStream) {
      FNetworkStream->Close(ANotifyPeer);
      if (ANotifyPeer) DispatchNextAction();
      // A layered stream that still has something to say keeps the socket open for it.
      if (FActive_ && FNetworkStream && FNetworkStream->NextAction() != saNone) return;
    }
  } catch (...) {
    CloseSocket();
    throw;
  }
  CloseSocket();
}

void TclConnection::Abort() { FIsAborted = true; }

void TclConnection::CheckAborted() const {
  if (FIsAborted && !FClosing) RaiseSocketError(AbortedCode);
}

// --- TclSyncConnection ------------------------------------------------------------------------------

TclSyncConnection::TclSyncConnection() : FAbortEvent(std::make_unique<gui::TEvent>(false, false)) {
  FSocketEvent = platform::WsaCreateEvent();
  if (!FSocketEvent) RaiseSocketError(platform::WsaGetLastError());
}

TclSyncConnection::~TclSyncConnection() { ReleaseResources(); }

void TclSyncConnection::ReleaseResources() {
  if (FSocketEvent) platform::WsaCloseEvent(FSocketEvent);
  FSocketEvent = nullptr;
}

void TclSyncConnection::Abort() {
  TclConnection::Abort();
  FAbortEvent->Set();
}

void TclSyncConnection::StartIdlePeriod() { FTimeOutTicks = rtl::GetTickCount64(); }

bool TclSyncConnection::WaitForEvent() {
  return WaitForSocketEvent(FSocketEvent, FAbortEvent.get(), FTimeOutTicks, FTimeOut);
}

bool TclSyncConnection::WaitForReadEvent() {
  TclSpeedFloor& floor = SpeedFloor();
  if (!floor.Enabled()) return WaitForEvent();
  const uint64_t now = rtl::GetTickCount64();
  if (floor.Expired(now)) RaiseSocketError(floor.Reason(), platform::WSAETIMEDOUT);
  const int untilCheck = floor.MsUntilCheck(now);
  if (FTimeOut >= 0 && FTimeOut - int64_t(now - FTimeOutTicks) <= untilCheck) return WaitForEvent();
  try {
    return WaitForSocketEvent(FSocketEvent, FAbortEvent.get(), now, untilCheck);
  } catch (const EclSocketError& e) {
    // The floor's turn came, not the idle time-out: the caller waits again after the check.
    if (e.ErrorCode() != TimeoutOccuredCode) throw;
    if (FTimeOut >= 0 && rtl::GetTickCount64() - FTimeOutTicks > uint64_t(FTimeOut)) throw;
    return false;
  }
}

// --- TclSpeedFloor -----------------------------------------------------------------------------------

void TclSpeedFloor::Set(int64_t ALimit, int ASeconds) {
  FLimit = ALimit > 0 ? ALimit : 0;
  FSeconds = ASeconds > 0 ? ASeconds : 0;
}

uint64_t TclSpeedFloor::SlotMs() const { return std::max<uint64_t>(1, uint64_t(FSeconds) * 1000 / Slots); }

void TclSpeedFloor::Restart(uint64_t ANow) {
  FStart = ANow;
  FSlot = 0;
  std::fill(std::begin(FBytes), std::end(FBytes), 0);
}

void TclSpeedFloor::Advance(uint64_t ANow) {
  const uint64_t slot = ANow > FStart ? (ANow - FStart) / SlotMs() : 0;
  // The slots passed over since the last bytes held none.
  for (uint64_t k = FSlot + 1; k <= slot && k <= FSlot + Slots + 1; ++k) FBytes[k % (Slots + 1)] = 0;
  if (slot > FSlot) FSlot = slot;
}

void TclSpeedFloor::Add(int64_t ABytes, uint64_t ANow) {
  if (!Enabled() || ABytes <= 0) return;
  Advance(ANow);
  FBytes[FSlot % (Slots + 1)] += ABytes;
}

bool TclSpeedFloor::Expired(uint64_t ANow) {
  if (!Enabled() || ANow < FStart + uint64_t(FSeconds) * 1000) return false;
  Advance(ANow);
  // The current slot and the whole ones before it: never less than a window.
  int64_t sum = 0;
  for (int64_t b : FBytes) sum += b;
  return sum < FLimit * FSeconds;
}

int TclSpeedFloor::MsUntilCheck(uint64_t ANow) const {
  if (!Enabled()) return -1;
  const uint64_t firstCheck = FStart + uint64_t(FSeconds) * 1000;
  if (ANow < firstCheck) return int(std::min<uint64_t>(firstCheck - ANow, INT32_MAX));
  const uint64_t next = FStart + ((ANow - FStart) / SlotMs() + 1) * SlotMs();
  return int(std::max<uint64_t>(1, next - ANow));
}

rtl::String TclSpeedFloor::Reason() const {
  return u"The transfer was slower than " + rtl::IntToStr(FLimit) + u" bytes a second for " + rtl::IntToStr(FSeconds) +
         (FSeconds == 1 ? u" second" : u" seconds");
}

void TclSyncConnection::SelectEvents(long AMask) {
  if (platform::WsaEventSelect(Socket().Socket(), FSocketEvent, AMask) != 0)
    RaiseSocketError(platform::WsaGetLastError());
}

void TclSyncConnection::EnumEvents(TNetworkEvents& AEvents) {
  if (platform::WsaEnumNetworkEvents(Socket().Socket(), FSocketEvent, &AEvents) != 0)
    RaiseSocketError(platform::WsaGetLastError());
}

void TclSyncConnection::WriteString(const rtl::String& AString) { WriteString(AString, u"us-ascii"); }

void TclSyncConnection::WriteString(const rtl::String& AString, const rtl::String& ACharSet) {
  if (AString.empty()) return;
  rtl::TBytesStream data(TclTranslator::GetBytes(AString, ACharSet));
  data.SetPosition(0);
  WriteData(&data);
  // A write that stopped short (the peer's close, an abort) has raised already; a read limit
  // that cut it is the last way to get here.
  if (data.Position() != data.Size()) RaiseSocketError(platform::WSAECONNABORTED);
}

// --- TclTcpConnection -------------------------------------------------------------------------------

TclTcpConnection::~TclTcpConnection() {
  try {
    Close(false);
  } catch (const EclSocketError&) {
  }
  CloseSocket();
}

void TclTcpConnection::ReadLoop(rtl::TStream* AData) {
  StartIdlePeriod();
  TclNetworkStream* stream = NetworkStream();
  if (stream->HasReadData()) {
    stream->SetHasReadData(false);
    stream->Read(AData);
    if (stream->NeedClose()) {
      Close(false);
      return;
    }
    if (!FIsReadUntilClose || !Active() || IsAborted() || stream->IsProceedLimit()) {
      if (!Active()) stream->ClearNextAction();
      return;
    }
  }
  for (;;) {
    if (!Active()) RaiseSocketError(platform::WSAENOTSOCK);
    // Checked before the wait too: an abort whose event an earlier wait used up, or a limit
    // already reached, must not wait for an event that may never come.
    if (IsAborted() || stream->IsProceedLimit()) return;
    if (WaitForReadEvent()) {
      TNetworkEvents ev;
      EnumEvents(ev);
      bool peerClosed = false;
      if (ev.NetworkEvents & platform::FD_CLOSE) {
        if (ev.ErrorCode[platform::FD_CLOSE_BIT] != 0) RaiseSocketError(ev.ErrorCode[platform::FD_CLOSE_BIT]);
        peerClosed = true;
        stream->MarkPeerClosed();
      }
      if (ev.NetworkEvents & platform::FD_READ) {
        if (ev.ErrorCode[platform::FD_READ_BIT] != 0) RaiseSocketError(ev.ErrorCode[platform::FD_READ_BIT]);
        stream->Read(AData);
        // A read that got what there was ends here; a close it met is seen by the next one.
        if (!FIsReadUntilClose) return;
        StartIdlePeriod();
      } else if (peerClosed && !stream->NeedClose() && !stream->IsProceedLimit()) {
        // The socket has ended, but a layered stream still holds decoded bytes: they are the
        // caller's before the connection closes.
        stream->Read(AData);
      }
      if (stream->NeedClose()) {
        Close(false);
        return;
      }
      // Bytes held back by a read limit go out with the next read; the close follows them.
      if (peerClosed) return;
    }
    if (IsAborted() || stream->IsProceedLimit()) return;
  }
}

void TclTcpConnection::WriteLoop(rtl::TStream* AData) {
  StartIdlePeriod();
  // What we send is a new request: the peer's answer is measured from here.
  if (AData && SpeedFloor().Enabled()) SpeedFloor().Restart(rtl::GetTickCount64());
  TclNetworkStream* stream = NetworkStream();
  if (stream->Write(AData)) return;
  // A peer that has ended its side and left its answer unread will take no more: the caller's
  // bytes would wait for the time-out and then be lost, so say so now.
  auto checkPeerShutdown = [&] {
    if (AData && platform::PeerShutDownBehindUnreadBytes(Socket().Socket())) RaiseSocketError(platform::WSAECONNABORTED);
  };
  checkPeerShutdown();
  for (;;) {
    if (IsAborted()) return;
    if (WaitForEvent()) {
      TNetworkEvents ev;
      EnumEvents(ev);
      if (ev.NetworkEvents & platform::FD_PEER_SHUTDOWN) checkPeerShutdown();
      if (ev.NetworkEvents & platform::FD_READ) {
        if (ev.ErrorCode[platform::FD_READ_BIT] != 0) RaiseSocketError(ev.ErrorCode[platform::FD_READ_BIT]);
        stream->SetHasReadData(true);
      }
      if (ev.NetworkEvents & platform::FD_WRITE) {
        if (ev.ErrorCode[platform::FD_WRITE_BIT] != 0) RaiseSocketError(ev.ErrorCode[platform::FD_WRITE_BIT]);
        StartIdlePeriod();
        if (stream->Write(AData)) return;
      }
      if (ev.NetworkEvents & platform::FD_CLOSE) {
        if (ev.ErrorCode[platform::FD_CLOSE_BIT] != 0) RaiseSocketError(ev.ErrorCode[platform::FD_CLOSE_BIT]);
        stream->MarkPeerClosed();
        Close(false);
        // The caller's bytes that did not go out are lost: that is no success. (A stream's own
        // closing message to a peer that left is only a courtesy.)
        if (AData) RaiseSocketError(platform::WSAECONNABORTED);
        return;
      }
    }
    if (IsAborted() || stream->IsProceedLimit()) return;
  }
}

bool TclTcpConnection::ReadData(rtl::TStream* AData) {
  ReadLoop(AData);
  for (;;) {
    // After an abort the stream's next action is not run: its wait would see no abort event.
    if (IsAborted()) break;
    TclNetworkStreamAction a = NetworkStream()->NextAction();
    if (a == saRead)
      ReadLoop(AData);
    else if (a == saWrite)
      WriteData(nullptr);
    else
      break;
  }
  CheckAborted();
  return NetworkStream()->NextAction() == saNone;
}

bool TclTcpConnection::WriteData(rtl::TStream* AData) {
  WriteLoop(AData);
  for (;;) {
    if (IsAborted()) break;
    TclNetworkStreamAction a = NetworkStream()->NextAction();
    if (a == saRead)
      ReadData(nullptr);
    else if (a == saWrite)
      WriteLoop(nullptr);
    else
      break;
  }
  CheckAborted();
  return NetworkStream()->NextAction() == saNone;
}

void TclTcpConnection::DispatchNextAction() {
  switch (NetworkStream()->NextAction()) {
    case saRead: ReadData(nullptr); break;
    case saWrite: WriteData(nullptr); break;
    case saNone: break;
  }
}

// --- TclTcpClientConnection -------------------------------------------------------------------------

void TclTcpClientConnection::Open(const rtl::String& AIP, int APort) {
  std::unique_ptr<TclIPAddress> addr = TclIPAddress::CreateIpAddress(AIP);
  TclValueScope readUntilClose(FIsReadUntilClose, false);  // put back on every way out
  CreateSocket(addr->AddressFamily(), platform::WSA_SOCK_STREAM, platform::WSA_IPPROTO_TCP);
  SelectEvents(platform::FD_CONNECT);
  rtl::String binding = rtl::Trim(LocalBinding());
  if (!binding.empty()) {
    auto local = TclIPAddress::CreateBindingIpAddress(binding, addr->AddressFamily());
    NetworkStream()->Bind(*local, 0);
  }
  if (!NetworkStream()->Connect(*addr, APort)) {
    StartIdlePeriod();
    for (;;) {
      if (IsAborted()) break;
      if (WaitForEvent()) {
        TNetworkEvents ev;
        EnumEvents(ev);
        if (ev.NetworkEvents & platform::FD_CONNECT) {
          if (ev.ErrorCode[platform::FD_CONNECT_BIT] != 0) RaiseSocketError(ev.ErrorCode[platform::FD_CONNECT_BIT]);
          break;
        }
      }
      if (IsAborted()) break;
    }
  }
  SelectEvents(platform::FD_READ | platform::FD_WRITE | platform::FD_CLOSE | platform::FD_PEER_SHUTDOWN);
  if (IsAborted()) CloseAborted();
  SetActive(true);
  RunHandshake();
  if (!Active()) RaiseSocketError(ConnectionNotActive, ConnectionNotActiveCode);
  NetworkStream()->ConnectEnd();
  NetworkStream()->StreamReady();
}

void TclTcpClientConnection::OpenSession() {
  if (!Active()) RaiseSocketError(ConnectionNotActive, ConnectionNotActiveCode);
  TclValueScope readUntilClose(FIsReadUntilClose, false);  // put back on every way out
  NetworkStream()->OpenClientSession();
  if (IsAborted()) CloseAborted();
  RunHandshake();
  NetworkStream()->StreamReady();
}

void TclTcpClientConnection::CloseAborted() {
  try {
    Close(false);
  } catch (const EclSocketError&) {
  }
  RaiseSocketError(AbortedCode);
}

void TclTcpClientConnection::RunHandshake() {
  // A layered stream's handshake runs here; an abort ends it, and the open, with the socket closed.
  try {
    DispatchNextAction();
  } catch (const EclSocketError&) {
    if (IsAborted()) CloseAborted();
    throw;
  }
  if (IsAborted()) CloseAborted();
}

}  // namespace netlib
