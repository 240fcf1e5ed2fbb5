// A write-through stream that hashes what passes on to its target: the digest of a download is
// ready when the download ends, without a second pass over the file and without holding it in
// memory. The hashing runs on a worker thread fed with a few pieces of a fixed size, so it
// overlaps the receiving instead of following it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/crypto/Signature.h"
#include "rtl/Classes.h"

namespace platform {

class TSha512WriteStream : public rtl::TStream {
 public:
  // Pieces handed to the worker: it lags at most PieceCount * Sha512PieceSize bytes behind.
  static constexpr size_t PieceCount = 4;

  // The target must stand at its start: the digest covers the bytes from position 0.
  // ESignatureError when the signature module cannot be loaded, EStreamError for a target
  // elsewhere.
  explicit TSha512WriteStream(rtl::TStream& ATarget);
  ~TSha512WriteStream() override;

  int64_t Read(void* ABuffer, int64_t ACount) override;  // writes only: nothing to read
  // Writes to the target first; only what the target took is hashed.
  int64_t Write(const void* ABuffer, int64_t ACount) override;
  // The bytes are hashed in order, so the stream only moves forward by writing. A move to 0 (a
  // transfer that starts again) starts the digest again; a move to the current end (a transfer
  // that goes on where it stopped) changes nothing; any other move raises EStreamError.
  int64_t Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) override;
  int64_t Size() override;
  // 0 empties the target and starts the digest again at position 0; the current end is passed
  // on; any other size raises EStreamError.
  void SetSize(int64_t ANewSize) override;

  // The digest of everything written from position 0 on, once the worker has caught up. Ends the
  // stream: later writes raise EStreamError.
  TSha512Digest Digest();

 private:
  void StartAgain();
  void Submit();                 // hands the piece being filled to the worker
  void WaitForWorker(size_t AQueuedAtMost);
  void RaiseWorkerError();
  void Work();

  rtl::TStream& FTarget;
  TSha512 FHash;  // the worker's between Submit and the wait for it; the writer's when it is idle
  std::unique_ptr<uint8_t[]> FPieces[PieceCount];
  size_t FSizes[PieceCount] = {};
  size_t FFill = 0;  // the piece being filled: always the one after those handed over
  int64_t FPosition = 0;
  bool FEnded = false;

  std::mutex FLock;
  std::condition_variable FWorkReady, FPieceDone;
  size_t FHead = 0;    // the oldest piece handed over
  size_t FQueued = 0;  // pieces handed over and not hashed yet; the one after them is being filled
  bool FStop = false;
  std::exception_ptr FWorkerError;
  std::thread FWorker;
};

}  // namespace platform
