#include "netlib/zlib/clZLibStreams.h"

#include <cstring>

#include "netlib/zlib/clZLibBase.h"

namespace netlib {
namespace {

constexpr uint8_t kFlagHeaderCrc = 2, kFlagExtra = 4, kFlagName = 8, kFlagComment = 16;
constexpr size_t kMaxPiece = size_t(1) << 30;  // the decoder takes 32-bit lengths
// Room asked of a destination that lends its memory: a few KiB beyond the decoder's minimum, so
// that a block of fixed size falls back to writes for little of its end.
constexpr size_t kDirectRoom = 4096 + TclInflater::OutputRoomMin;

uint32_t ReadLE32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A write-only decoding stream's position is the count of bytes written: the only valid target.
int64_t SeekWritten(uint64_t AWritten, int64_t AOffset, rtl::TSeekOrigin AOrigin) {
  int64_t current = static_cast<int64_t>(AWritten);
  int64_t target = AOrigin == rtl::soBeginning ? AOffset : current + AOffset;
  if (target != current) RaiseZLibError(ZLIB_ERR_INVALID_STREAM_OP);
  return current;
}

}  // namespace

TclGZipInflateStream::TclGZipInflateStream(rtl::TStream* ADestination)
    : FDestination(ADestination), FDirect(dynamic_cast<IclDirectOutput*>(ADestination)) {
  rtl::Assert(ADestination != nullptr, u"TclGZipInflateStream needs a destination");
  FInflater.SetKeepAdler(false);  // the trailer's CRC-32 is the check here
  StartMember();
}

TclGZipInflateStream::~TclGZipInflateStream() = default;

void TclGZipInflateStream::StartMember() {
  FInflater.Reset();
  FDirectMode = FDirect ? dmStart : dmOff;
  FFileCrc.Reset();
  FFileSize = 0;
  FRawDataSize = 0;
  FRawBytesSize = 0;
  FIsContent = false;
  FIsTrailer = false;
  FHeaderStep = hsFixed;
  FHeaderPos = 0;
  FHeaderFlags = 0;
  FHeaderSkip = 0;
}

bool TclGZipInflateStream::IsAtMemberBoundary() const {
  if (FTotalWritten == 0 || FIgnoreRest) return true;
  return FCheckMagic && !FIsContent && FHeaderStep == hsFixed && FHeaderPos == 0;
}

int64_t TclGZipInflateStream::Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) {
  return SeekWritten(FTotalWritten, AOffset, AOrigin);
}

int64_t TclGZipInflateStream::Write(const void* ABuffer, int64_t ACount) {
  if (ACount < 0 || (!ABuffer && ACount > 0)) RaiseZLibError(ZLIB_ERR_ARGUMENT_RANGE);
  if (FFailure) std::rethrow_exception(FFailure);
  FTotalWritten += static_cast<uint64_t>(ACount);
  try {
    WriteImpl(static_cast<const uint8_t*>(ABuffer), static_cast<size_t>(ACount));
  } catch (...) {
    // The decoder's state is not resumable past a failure; keep reporting it.
    FFailure = std::current_exception();
    throw;
  }
  return ACount;
}

void TclGZipInflateStream::WriteImpl(const uint8_t* ABuffer, size_t ACount) {
  size_t p = 0;
  while (p < ACount) {
    if (FIgnoreRest) return;
    if (!FIsContent) {
      if (!ParseHeader(ABuffer, p, ACount)) return;
      FIsContent = true;
      FRawDataSize = 0;
      FRawBytesSize = 0;
    }
    if (!FIsTrailer) {
      if (!DecodeContent(ABuffer, p, ACount)) return;
      FIsTrailer = true;
    }
    if (!ReadTrailer(ABuffer, p, ACount)) return;
    // A complete member: what follows may start the next one.
    FCheckMagic = true;
    StartMember();
  }
}

TclGZipInflateStream::THeaderStep TclGZipInflateStream::NextHeaderStep(THeaderStep AAfter) const {
  switch (AAfter) {
    case hsFixed:
      if (FHeaderFlags & kFlagExtra) return hsExtraLen;
      [[fallthrough]];
    case hsExtraLen:
    case hsExtra:
      if (FHeaderFlags & kFlagName) return hsName;
      [[fallthrough]];
    case hsName:
      if (FHeaderFlags & kFlagComment) return hsComment;
      [[fallthrough]];
    case hsComment:
      if (FHeaderFlags & kFlagHeaderCrc) return hsHeaderCrc;
      [[fallthrough]];
    default:
      return hsDone;
  }
}

// The ten fixed bytes (magic, method, flags, time, extra flags, system) are skipped apart from
// the flags; the magic is looked at only after a first member, to tell a next member from
// trailing garbage. The optional fields follow in their RFC 1952 order; the header CRC is skipped.
bool TclGZipInflateStream::ParseHeader(const uint8_t* ABuffer, size_t& APos, size_t ACount) {
  while (FHeaderStep != hsDone) {
    if (APos >= ACount) return false;
    switch (FHeaderStep) {
      case hsFixed: {
        uint8_t b = ABuffer[APos++];
        if (FCheckMagic && ((FHeaderPos == 0 && b != 0x1F) || (FHeaderPos == 1 && b != 0x8B))) {
          FIgnoreRest = true;
          return false;
        }
        if (FHeaderPos == 3) FHeaderFlags = b;
        if (++FHeaderPos == 10) {
          FHeaderPos = 0;
          FHeaderStep = NextHeaderStep(hsFixed);
        }
        break;
      }
      case hsExtraLen:
        FHeaderSkip |= uint32_t(ABuffer[APos++]) << (8 * FHeaderPos);
        if (++FHeaderPos == 2) {
          FHeaderPos = 0;
          FHeaderStep = FHeaderSkip ? hsExtra : NextHeaderStep(hsExtra);
        }
        break;
      case hsExtra: {
        size_t n = ACount - APos < FHeaderSkip ? ACount - APos : FHeaderSkip;
        APos += n;
        FHeaderSkip -= static_cast<uint32_t>(n);
        if (FHeaderSkip == 0) FHeaderStep = NextHeaderStep(hsExtra);
        break;
      }
      case hsName:
      case hsComment: {
        const void* zero = std::memchr(ABuffer + APos, 0, ACount - APos);
        if (!zero) {
          APos = ACount;
          return false;
        }
        APos = static_cast<size_t>(static_cast<const uint8_t*>(zero) - ABuffer) + 1;
        FHeaderStep = NextHeaderStep(FHeaderStep);
        break;
      }
      case hsHeaderCrc:
        ++APos;
        if (++FHeaderPos == 2) {
          FHeaderPos = 0;
          FHeaderStep = hsDone;
        }
        break;
      case hsDone:
        break;
    }
  }
  return true;
}

// The decoder is always handed at least two bytes: a lone last byte of a write is held back and
// joined with the first byte (or the only two bytes) of the next write.
bool TclGZipInflateStream::DecodeContent(const uint8_t* ABuffer, size_t& APos, size_t ACount) {
  size_t avail = ACount - APos;
  if (FRawBytesSize > 0) {
    if (avail == 0) return false;
    size_t take = avail == 2 ? 2 : 1;
    std::memcpy(FRawBytes + FRawBytesSize, ABuffer + APos, take);
    size_t joined = FRawBytesSize + take;
    FRawBytesSize = 0;
    APos += take;
    size_t used;
    if (DecodePiece(FRawBytes, joined, used)) {
      // The trailer starts inside the joined piece.
      std::memcpy(FRawData, FRawBytes + used, joined - used);
      FRawDataSize = joined - used;
      return true;
    }
    avail = ACount - APos;
    if (avail == 0) return false;
  } else if (avail == 1) {
    FRawBytes[0] = ABuffer[APos];
    FRawBytesSize = 1;
    APos = ACount;
    return false;
  } else if (avail == 0) {
    return false;
  }
  size_t used;
  bool finished = DecodePiece(ABuffer + APos, avail, used);
  APos += finished ? used : avail;
  return finished;
}

bool TclGZipInflateStream::DecodePiece(const uint8_t* AData, size_t ALen, size_t& AUsed) {
  size_t done = 0;
  while (done < ALen) {
    size_t piece = ALen - done;
    if (piece > kMaxPiece + 1) piece = kMaxPiece;  // never leaves a lone byte behind
    FInflater.SetInput(AData + done, 0, static_cast<int32_t>(piece));
    while (FInflater.RemainingInput() > 0 && !FInflater.IsNeedingInput() && !FInflater.IsFinished()) {
      OfferDirectRoom();
      const uint8_t* out;
      size_t n = FInflater.InflateInPlace(out);
      if (FDirectMode == dmOn) {
        // Already in the destination's memory.
        if (n) FDirect->DirectCommit(n);
        FFileCrc.Update(out, n);
      } else {
        // Straight from the decoder's window, in the rounds of the output buffer it replaces.
        for (size_t done = 0; done < n;) {
          size_t round = n - done < kOutputRound ? n - done : kOutputRound;
          FDestination->WriteBuffer(out + done, static_cast<int64_t>(round));
          FFileCrc.Update(out + done, round);  // while the round is still in the cache
          done += round;
        }
      }
      FFileSize += static_cast<uint32_t>(n);
      if (FInflater.IsNeedingDictionary()) RaiseZLibError(ZLIB_ERR_NEED_DICTIONARY);
      if (n == 0) break;  // nothing more to do with this input
    }
    if (FInflater.IsFinished()) {
      int64_t remaining = FInflater.RemainingInput();
      if (remaining > static_cast<int64_t>(piece)) remaining = static_cast<int64_t>(piece);
      AUsed = done + piece - static_cast<size_t>(remaining);
      return true;
    }
    done += piece;
  }
  AUsed = ALen;
  return false;
}

// The destination's memory is offered to the decoder at the start of a member and again each
// time the room there runs short; once the destination has no more, the decoder goes back to its
// own window for the rest of the member, and its output to the destination's Write.
void TclGZipInflateStream::OfferDirectRoom() {
  if (FDirectMode == dmOff || (FDirectMode == dmOn && !FInflater.IsNeedingOutputRoom())) return;
  size_t room = 0;
  uint8_t* next = FDirect->DirectSpace(kDirectRoom, room);
  if (next && room >= kDirectRoom) {
    FInflater.SetOutputMemory(next, room);
    FDirectMode = dmOn;
  } else {
    FInflater.ReleaseOutputMemory();
    FDirectMode = dmOff;
  }
}

bool TclGZipInflateStream::ReadTrailer(const uint8_t* ABuffer, size_t& APos, size_t ACount) {
  size_t n = ACount - APos;
  if (n > 8 - FRawDataSize) n = 8 - FRawDataSize;
  std::memcpy(FRawData + FRawDataSize, ABuffer + APos, n);
  FRawDataSize += n;
  APos += n;
  if (FRawDataSize < 8) return false;
  if (ReadLE32(FRawData) != FFileCrc.Value()) RaiseZLibError(ZLIB_ERR_INVALID_CRC);
  if (ReadLE32(FRawData + 4) != FFileSize) RaiseZLibError(ZLIB_ERR_INVALID_SIZE);
  return true;
}

// --- deflate ------------------------------------------------------------------------------------

TclDeflateInflateStream::TclDeflateInflateStream(rtl::TStream* ADestination) : FDestination(ADestination) {
  rtl::Assert(ADestination != nullptr, u"TclDeflateInflateStream needs a destination");
}

TclDeflateInflateStream::~TclDeflateInflateStream() = default;

int64_t TclDeflateInflateStream::Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) {
  return SeekWritten(FTotalWritten, AOffset, AOrigin);
}

int64_t TclDeflateInflateStream::Write(const void* ABuffer, int64_t ACount) {
  if (ACount < 0 || (!ABuffer && ACount > 0)) RaiseZLibError(ZLIB_ERR_ARGUMENT_RANGE);
  if (FFailure) std::rethrow_exception(FFailure);
  FTotalWritten += static_cast<uint64_t>(ACount);
  const uint8_t* data = static_cast<const uint8_t*>(ABuffer);
  size_t count = static_cast<size_t>(ACount);
  try {
    if (!FInflater && count > 0) {
      if (!FHaveFirst) {
        FFirst = *data++;
        --count;
        FHaveFirst = true;
      }
      if (count == 0) return ACount;
      // A zlib header: method 8 with a window of at most 32 KiB, the pair a multiple of 31.
      uint8_t second = *data;
      bool zlib = (FFirst & 0x0F) == 8 && (FFirst >> 4) <= 7 && ((FFirst << 8) | second) % 31 == 0;
      FInflater = std::make_unique<TclInflater>(!zlib);
      Decode(&FFirst, 1);
    }
    Decode(data, count);
  } catch (...) {
    FFailure = std::current_exception();
    throw;
  }
  return ACount;
}

void TclDeflateInflateStream::Decode(const uint8_t* AData, size_t ALen) {
  while (ALen > 0 && !FFinished) {
    size_t piece = ALen < kMaxPiece ? ALen : kMaxPiece;
    FInflater->SetInput(AData, 0, static_cast<int32_t>(piece));
    for (;;) {
      int32_t n = FInflater->Inflate(FOut, 0, sizeof(FOut));
      if (n > 0) FDestination->WriteBuffer(FOut, n);
      if (FInflater->IsNeedingDictionary()) RaiseZLibError(ZLIB_ERR_NEED_DICTIONARY);
      if (FInflater->IsFinished()) {
        FFinished = true;
        return;
      }
      // Nothing more without more input: every byte of the piece is in the decoder.
      if (n == 0) break;
    }
    AData += piece;
    ALen -= piece;
  }
}

}  // namespace netlib
