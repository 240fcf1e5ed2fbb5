// A GET download that survives a broken connection: when the connection breaks while the body
// arrives, it reconnects and asks for the rest with a byte range under the validator of what it
// already holds, so the destination is continued, never spliced from two versions. The download
// job and krv-fetch both download through it.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "netlib/http/clHttp.h"

namespace netlib {

// The download cannot go on: a response it must refuse, or a destination that cannot start
// again from zero.
class EclResumeError : public EclSocketError {
 public:
  using EclSocketError::EclSocketError;
  const char* ClassName() const noexcept override { return "EclResumeError"; }
};
constexpr int ResumeNotPossibleCode = -30;
// The resource is larger than the download may take (SetMaxLength).
constexpr int ResumeTooLargeCode = -31;

// Reconnects after a break unless told otherwise.
constexpr int DefaultResumeRetries = 3;

// Reads a Content-Range value: "bytes FIRST-LAST/LENGTH" (FIRST <= LAST < LENGTH) or, for a 416,
// "bytes */LENGTH" (AFirst and ALast -1); ALength is -1 for a "*" length. Digits only, at most 18;
// anything else is false.
bool ParseContentRange(std::u16string_view AValue, int64_t& AFirst, int64_t& ALast, int64_t& ALength);

// What one response head says about continuing a copy of its resource. Every value of each field
// is kept, so a repeated field is told from a single one.
class TclResumeHead {
 public:
  explicit TclResumeHead(const rtl::TStringList& AHead);

  // A content coding other than identity: the bytes written are decoded ones, and a range of
  // the coded ones cannot continue them.
  bool Coded() const;
  // "Accept-Ranges: none".
  bool RangesRefused() const;
  // The length of a whole body as it is written: one Content-Length, no transfer coding, no
  // content coding; -1 otherwise.
  int64_t WholeLength() const;
  // The version's validator for If-Range: the ETag when there is one, and only a strong one
  // (RFC 9110: a weak tag never goes in If-Range, nor a date beside a tag), else Last-Modified;
  // empty when there is none to use. AIsETag tells which field it came from.
  rtl::String Validator(bool& AIsETag) const;
  // Why this 206 head cannot continue a copy that holds the bytes before AFrom of a resource of
  // ALength bytes (-1: not known) in the version AValidator (empty: not known): it must be
  // exactly the rest, of the same length and version, framed by a Content-Length of its range,
  // without a coding. Empty when it continues the copy; ALength is then the resource's length.
  rtl::String CheckPartial(int64_t AFrom, int64_t& ALength, const rtl::String& AValidator, bool AValidatorIsETag) const;

  // Every value of these fields, in the order they came.
  const std::vector<rtl::String>& ContentRange() const { return FContentRange; }
  const std::vector<rtl::String>& ContentLength() const { return FContentLength; }
  const std::vector<rtl::String>& TransferEncoding() const { return FTransferEncoding; }
  const std::vector<rtl::String>& ETag() const { return FETag; }
  const std::vector<rtl::String>& LastModified() const { return FLastModified; }

 private:
  std::vector<rtl::String> FContentRange, FContentLength, FTransferEncoding, FContentEncoding, FETag, FLastModified,
      FAcceptRanges;
};

class TclResumableDownload {
 public:
  // Milliseconds to wait before reconnect ANumber (1, 2, ...).
  using TPauseSchedule = std::function<int(int ANumber)>;
  // Before each new request after the first: why, the byte the request asks from (-1: the whole
  // resource) and the pause before it.
  using TReconnectEvent =
      std::function<void(TclResumableDownload* Sender, const rtl::String& AReason, int64_t AFrom, int APauseMs)>;

  // The client is not owned; its events and settings are its caller's, and are put back after
  // each Get.
  explicit TclResumableDownload(TclHttp& AHttp) : FHttp(AHttp) {}

  // Reconnects after the connection broke in the body (DefaultResumeRetries).
  int Retries() const { return FRetries; }
  void SetRetries(int AValue) { FRetries = AValue < 0 ? 0 : AValue; }
  // 1, 2, 4 ... seconds (DefaultPause) unless set; an empty function restores the default.
  void SetPauseSchedule(TPauseSchedule ASchedule) { FPauseSchedule = std::move(ASchedule); }
  static int DefaultPause(int ANumber);
  // Whether the destination may be rewound (Seek(0, soBeginning), then SetSize(0)) to take a
  // whole new copy; standard output may not.
  bool CanRewind() const { return FCanRewind; }
  void SetCanRewind(bool AValue) { FCanRewind = AValue; }
  // The most bytes the resource may have (-1: no limit). A response that announces more is
  // refused before a byte of its body is read, and a body without an announced length is refused
  // the moment it passes the limit (nothing past it reaches the destination); either way
  // EclResumeError ResumeTooLargeCode, never a reconnect.
  int64_t MaxLength() const { return FMaxLength; }
  void SetMaxLength(int64_t AValue) { FMaxLength = AValue < 0 ? -1 : AValue; }

  // GET AUrl into ADestination, with the fields of AHeader when given (else the client's own
  // request fields). AContinueFrom > 0: ADestination already holds that many bytes of the
  // resource, positioned after them, and the first request asks for the rest. The destination is
  // only written forward; a whole new copy rewinds it first. Raises what the last request raised
  // when every reconnect failed, EclResumeError when a response cannot be taken at all.
  void Get(const rtl::String& AUrl, rtl::TStream& ADestination, const rtl::TStringList* AHeader = nullptr,
           int64_t AContinueFrom = 0);

  // Of the last Get: requests sent, reconnects after breaks, rewinds of the destination.
  int Requests() const { return FRequests; }
  int Reconnects() const { return FReconnects; }
  int Restarts() const { return FRestarts; }

  TReconnectEvent OnReconnect;

 private:
  friend class TclResumeTransfer;
  // A pause that keeps the thread's messages flowing and ends with the abort error (10004) when
  // the client's connection is aborted meanwhile.
  void Pause(int AMs);

  TclHttp& FHttp;
  int FRetries = DefaultResumeRetries;
  TPauseSchedule FPauseSchedule;
  bool FCanRewind = true;
  int64_t FMaxLength = -1;
  int FRequests = 0;
  int FReconnects = 0;
  int FRestarts = 0;
};

}  // namespace netlib
