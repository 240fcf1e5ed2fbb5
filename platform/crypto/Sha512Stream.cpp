#include "platform/crypto/Sha512Stream.h"

#include <algorithm>
#include <cstring>

namespace platform {

TSha512WriteStream::TSha512WriteStream(rtl::TStream& ATarget) : FTarget(ATarget) {
  if (FTarget.Position() != 0)
    throw rtl::EStreamError(u"A hashed download must start at the beginning of its file");
  for (auto& piece : FPieces) piece.reset(new uint8_t[Sha512PieceSize]);
  FWorker = std::thread([this] { Work(); });
}

TSha512WriteStream::~TSha512WriteStream() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FStop = true;
  }
  FWorkReady.notify_one();
  FWorker.join();
}

void TSha512WriteStream::Work() {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    FWorkReady.wait(lock, [this] { return FStop || FQueued > 0; });
    if (FStop) return;
    const size_t piece = FHead;
    lock.unlock();
    // The pieces handed over stay untouched by the writer until they are counted off below.
    try {
      FHash.Update(FPieces[piece].get(), FSizes[piece]);
    } catch (...) {
      lock.lock();
      if (!FWorkerError) FWorkerError = std::current_exception();
      lock.unlock();
    }
    lock.lock();
    FHead = (FHead + 1) % PieceCount;
    --FQueued;
    FPieceDone.notify_one();
  }
}

void TSha512WriteStream::WaitForWorker(size_t AQueuedAtMost) {
  std::unique_lock<std::mutex> lock(FLock);
  FPieceDone.wait(lock, [&] { return FQueued <= AQueuedAtMost; });
}

void TSha512WriteStream::RaiseWorkerError() {
  std::exception_ptr error;
  {
    std::lock_guard<std::mutex> lock(FLock);
    error = FWorkerError;
  }
  if (error) std::rethrow_exception(error);
}

void TSha512WriteStream::Submit() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    ++FQueued;
  }
  FWorkReady.notify_one();
  // The next piece must be free before it is filled: while every piece waits, the worker sets
  // the pace.
  WaitForWorker(PieceCount - 1);
  FFill = (FFill + 1) % PieceCount;
  FSizes[FFill] = 0;
  RaiseWorkerError();
}

int64_t TSha512WriteStream::Read(void*, int64_t) { return 0; }

int64_t TSha512WriteStream::Write(const void* ABuffer, int64_t ACount) {
  if (FEnded) throw rtl::EStreamError(u"The download's digest was already taken");
  if (ACount <= 0) return 0;
  const int64_t written = FTarget.Write(ABuffer, ACount);
  const auto* p = static_cast<const uint8_t*>(ABuffer);
  for (int64_t left = std::max<int64_t>(written, 0); left > 0;) {
    const size_t n = std::min<size_t>(size_t(left), Sha512PieceSize - FSizes[FFill]);
    std::memcpy(FPieces[FFill].get() + FSizes[FFill], p, n);
    FSizes[FFill] += n;
    p += n;
    left -= int64_t(n);
    if (FSizes[FFill] == Sha512PieceSize) Submit();
  }
  if (written > 0) FPosition += written;
  return written;
}

void TSha512WriteStream::StartAgain() {
  WaitForWorker(0);
  RaiseWorkerError();
  FHash.Final();  // the worker is idle: the context is ours, and Final starts a new message
  FSizes[FFill] = 0;
  FPosition = 0;
}

int64_t TSha512WriteStream::Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) {
  if (AOrigin == rtl::soCurrent && AOffset == 0) return FPosition;
  const int64_t to = AOrigin == rtl::soBeginning ? AOffset
                     : AOrigin == rtl::soCurrent ? FPosition + AOffset
                                                 : FTarget.Size() + AOffset;
  if (to == 0) {
    FTarget.Seek(0, rtl::soBeginning);
    StartAgain();
    return 0;
  }
  if (to != FPosition)
    throw rtl::EStreamError(u"A hashed download is written in order: it cannot move from " +
                            rtl::IntToStr(FPosition) + u" to " + rtl::IntToStr(to));
  FTarget.Seek(to, rtl::soBeginning);
  return FPosition;
}

int64_t TSha512WriteStream::Size() { return FTarget.Size(); }

void TSha512WriteStream::SetSize(int64_t ANewSize) {
  if (ANewSize != 0 && ANewSize != FPosition)
    throw rtl::EStreamError(u"A hashed download cannot be cut to " + rtl::IntToStr(ANewSize) + u" bytes: " +
                            rtl::IntToStr(FPosition) + u" were written");
  FTarget.SetSize(ANewSize);
  if (ANewSize == 0) {
    FTarget.Seek(0, rtl::soBeginning);
    StartAgain();
  }
}

TSha512Digest TSha512WriteStream::Digest() {
  if (FEnded) throw rtl::EStreamError(u"The download's digest was already taken");
  FEnded = true;
  if (FSizes[FFill] > 0) Submit();
  WaitForWorker(0);
  RaiseWorkerError();
  return FHash.Final();
}

}  // namespace platform
