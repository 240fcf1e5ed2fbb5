#include "netlib/http/clResumableDownload.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "netlib/http/clHeaderFieldList.h"
#include "netlib/transport/clSocketUtils.h"
#include "platform/gui/MessageLoop.h"
#include "rtl/DateUtils.h"

namespace netlib {

namespace {

namespace gui = platform::gui;

// The longest pause between reconnects, as curl caps its own.
constexpr int MaxPauseMs = 600000;

// Whether an element of the comma-separated values, trimmed, satisfies APredicate.
template <class P>
bool AnyElement(const std::vector<rtl::String>& AValues, P APredicate) {
  for (const rtl::String& v : AValues) {
    size_t start = 0;
    for (;;) {
      size_t comma = v.find(u',', start);
      if (APredicate(rtl::Trim(
              std::u16string_view(v).substr(start, comma == rtl::String::npos ? rtl::String::npos : comma - start))))
        return true;
      if (comma == rtl::String::npos) break;
      start = comma + 1;
    }
  }
  return false;
}

}  // namespace

bool ParseContentRange(std::u16string_view AValue, int64_t& AFirst, int64_t& ALast, int64_t& ALength) {
  rtl::String v = rtl::Trim(AValue);
  if (v.size() < 6 || !rtl::SameText(std::u16string_view(v).substr(0, 5), u"bytes") || v[5] != u' ') return false;
  std::u16string_view rest = std::u16string_view(v).substr(6);
  while (!rest.empty() && rest.front() == u' ') rest.remove_prefix(1);
  size_t slash = rest.find(u'/');
  if (slash == std::u16string_view::npos) return false;
  std::u16string_view range = rest.substr(0, slash), length = rest.substr(slash + 1);
  ALength = -1;
  if (length != u"*" && !ParseDecimal(length, ALength)) return false;
  if (range == u"*") {
    // Only a 416 says that, and it must name the length.
    AFirst = ALast = -1;
    return ALength >= 0;
  }
  size_t dash = range.find(u'-');
  if (dash == std::u16string_view::npos || !ParseDecimal(range.substr(0, dash), AFirst) ||
      !ParseDecimal(range.substr(dash + 1), ALast) || ALast < AFirst || (ALength >= 0 && ALast >= ALength))
    return false;
  return true;
}

TclResumeHead::TclResumeHead(const rtl::TStringList& AHead) {
  rtl::TStringList lines(AHead);
  TclHeaderFieldList fields;
  fields.Parse(0, &lines);
  const rtl::TStringList& names = fields.FieldList();
  for (int i = 0; i < names.Count(); ++i) {
    const rtl::String& n = names[i];
    std::vector<rtl::String>* to = n == u"content-range"       ? &ContentRange
                                   : n == u"content-length"    ? &ContentLength
                                   : n == u"transfer-encoding" ? &TransferEncoding
                                   : n == u"content-encoding"  ? &ContentEncoding
                                   : n == u"etag"              ? &ETag
                                   : n == u"last-modified"     ? &LastModified
                                   : n == u"accept-ranges"     ? &AcceptRanges
                                                               : nullptr;
    if (to) to->push_back(fields.GetFieldValue(i));
  }
}

bool TclResumeHead::Coded() const {
  return AnyElement(ContentEncoding, [](const rtl::String& e) { return !e.empty() && !rtl::SameText(e, u"identity"); });
}

bool TclResumeHead::RangesRefused() const {
  return AnyElement(AcceptRanges, [](const rtl::String& e) { return rtl::SameText(e, u"none"); });
}

int64_t TclResumeHead::WholeLength() const {
  int64_t length = -1;
  if (ContentLength.size() != 1 || !TransferEncoding.empty() || Coded() ||
      !ParseDecimal(rtl::Trim(ContentLength[0]), length))
    return -1;
  return length;
}

rtl::String TclResumeHead::Validator(bool& AIsETag) const {
  AIsETag = !ETag.empty();
  if (ETag.size() == 1 && !ETag[0].empty() && ETag[0][0] == u'"') return ETag[0];
  if (ETag.empty() && LastModified.size() == 1) return LastModified[0];
  return {};
}

rtl::String TclResumeHead::CheckPartial(int64_t AFrom, int64_t& ALength, const rtl::String& AValidator,
                                        bool AValidatorIsETag) const {
  int64_t first = 0, last = 0, length = 0;
  if (ContentRange.size() != 1) return u"The partial response (206) has no single Content-Range";
  if (!ParseContentRange(ContentRange[0], first, last, length) || first < 0 || length < 0)
    return u"The partial response (206) has an unusable Content-Range: " + ContentRange[0].substr(0, 80);
  if (first != AFrom)
    return u"The partial response (206) starts at byte " + rtl::IntToStr(first) + u", not at byte " +
           rtl::IntToStr(AFrom);
  if (ALength >= 0 && length != ALength)
    return u"The partial response (206) is of a resource of " + rtl::IntToStr(length) + u" bytes, not " +
           rtl::IntToStr(ALength);
  if (last != length - 1) return u"The partial response (206) ends before the end of the resource";
  int64_t declared = -1;
  if (ContentLength.size() != 1 || !ParseDecimal(rtl::Trim(ContentLength[0]), declared) ||
      declared != last - first + 1 || !TransferEncoding.empty())
    return u"The partial response (206) is not framed by a Content-Length of its range";
  if (Coded()) return u"The partial response (206) has a content coding";
  if (!AValidator.empty()) {
    const std::vector<rtl::String>& theirs = AValidatorIsETag ? ETag : LastModified;
    if (theirs.size() != 1) return u"The partial response (206) does not name the version it is of";
    if (theirs[0] != AValidator) return u"The partial response (206) is of another version of the resource";
  }
  ALength = length;
  return {};
}

int TclResumableDownload::DefaultPause(int ANumber) {
  if (ANumber < 1) return 0;
  if (ANumber > 10) return MaxPauseMs;
  return std::min(MaxPauseMs, 1000 << (ANumber - 1));
}

void TclResumableDownload::Pause(int AMs) {
  if (AMs <= 0) return;
  gui::TWaitHandle handle;
  uint32_t count = 0;
  if (gui::TEvent* abortEvent = FHttp.Connection().AbortEvent()) {
    // The close that ended the broken transfer signalled it; only an abort from now on counts.
    abortEvent->Reset();
    handle = gui::TWaitHandle(*abortEvent);
    count = 1;
  }
  const uint64_t start = rtl::GetTickCount64();
  for (;;) {
    uint64_t elapsed = rtl::GetTickCount64() - start;
    if (elapsed >= uint64_t(AMs)) return;
    uint32_t r = gui::MsgWaitForMultipleObjects(&handle, count, uint32_t(uint64_t(AMs) - elapsed));
    if (count > 0 && r == gui::WAIT_OBJECT_0) RaiseSocketError(AbortedCode);
    if (r == gui::WAIT_OBJECT_0 + count)
      gui::ProcessMessages();
    else if (r == gui::WAIT_TIMEOUT)
      return;
    else
      RaiseSocketError(platform::WsaGetLastError());
  }
}

// One Get: what the destination holds, and the client's head and progress events routed through
// the checks for as long as it runs.
class TclResumeTransfer {
 public:
  enum TOutcome { oNone, oBody, oRefused, oComplete };

  TclResumeTransfer(TclResumableDownload& AOwner, rtl::TStream& ADestination, int64_t AOffset)
      : FOwner(AOwner),
        FHttp(AOwner.FHttp),
        FDestination(ADestination),
        FSink(ADestination, Offset, AOwner.FMaxLength),
        FSavedHead(std::move(FHttp.OnReceiveHeader)),
        FSavedProgress(FHttp.OnReceiveProgress),
        Offset(AOffset) {
    FHttp.OnReceiveHeader = [this](TclHttp* ASender, const rtl::String& AMethod, const rtl::String& AUrl,
                                   const rtl::TStringList& AHead, TclCookieList& ACookies, bool& Cancel) {
      if (FSavedHead) FSavedHead(ASender, AMethod, AUrl, AHead, ACookies, Cancel);
      if (!Cancel && !rtl::SameText(AMethod, u"CONNECT")) Cancel = !TakeHead(AHead);
    };
    // Progress counts the whole resource, not only the part this response brings.
    if (FSavedProgress)
      FHttp.OnReceiveProgress = [this](TclHttp* ASender, int64_t ABytes, int64_t ATotal) {
        FSavedProgress(ASender, ABytes + FProgressBase, ATotal < 0 ? ATotal : ATotal + FProgressBase);
      };
  }
  ~TclResumeTransfer() {
    FHttp.OnReceiveHeader = std::move(FSavedHead);
    FHttp.OnReceiveProgress = std::move(FSavedProgress);
  }
  TclResumeTransfer(const TclResumeTransfer&) = delete;
  TclResumeTransfer& operator=(const TclResumeTransfer&) = delete;

  // The request about to be sent: the whole resource (AFrom -1) or the bytes from AFrom on.
  void Begin(int64_t AFrom) {
    FAskedFrom = AFrom;
    Outcome = oNone;
    Refusal.clear();
    RefusalFinal = false;
    FProgressBase = 0;
  }
  void Send(const rtl::String& AUrl, const rtl::TStringList* AHeader, bool AQuiet) {
    if (FAskedFrom < 0 && !AHeader && !AQuiet) {
      FHttp.Get(AUrl, &FSink);  // the plain download, as it always was
      return;
    }
    rtl::TStringList lines;
    if (AHeader) {
      lines.Assign(*AHeader);
    } else if (TclHttpRequest* request = FHttp.Request()) {
      lines.Assign(request->HeaderSource());
    } else {
      TclHttpRequest own;
      if (!FHttp.CharSet().empty()) own.Header()->SetCharSet(FHttp.CharSet());
      lines.Assign(own.HeaderSource());
    }
    if (FAskedFrom >= 0) {
      while (lines.Count() > 0 && lines[lines.Count() - 1].empty()) lines.Delete(lines.Count() - 1);
      TclHeaderFieldList fields;
      fields.Parse(0, &lines);
      for (const char16_t* name : {u"Range", u"If-Range", u"Accept-Encoding"})
        while (fields.GetFieldIndex(name) >= 0) fields.RemoveField(name);
      fields.AddField(u"Range", u"bytes=" + rtl::IntToStr(FAskedFrom) + u"-");
      if (!Validator.empty()) fields.AddField(u"If-Range", Validator);
      // The range counts in the bytes of the copy already held, which came without a coding.
      fields.AddField(u"Accept-Encoding", u"identity");
    }
    // An error page must never land in the middle of the file: after a break, or for a range,
    // an error status fails the request instead.
    const bool silent = FHttp.SilentHTTP();
    if (AQuiet) FHttp.SetSilentHTTP(false);
    try {
      FHttp.SendRequest(u"GET", AUrl, lines, nullptr, nullptr, &FSink);
    } catch (...) {
      FHttp.SetSilentHTTP(silent);
      throw;
    }
    FHttp.SetSilentHTTP(silent);
  }

  // Whether the bytes held can be continued with a range.
  bool CanContinue() const { return Offset > 0 && Resumable && !RangesRefused; }

  TOutcome Outcome = oNone;
  rtl::String Refusal;
  bool RefusalFinal = false;
  int RefusalCode = ResumeNotPossibleCode;

 private:
  // Counts what the destination took; the body only goes forward.
  class TSink : public rtl::TStream {
   public:
    TSink(rtl::TStream& ATarget, int64_t& AOffset, int64_t AMax) : FTarget(ATarget), FOffset(AOffset), FMax(AMax) {}
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
      if (FMax >= 0 && ACount > FMax - FOffset) throw EclResumeError(TooLarge(FMax), ResumeTooLargeCode);
      int64_t n = FTarget.Write(ABuffer, ACount);
      if (n > 0) FOffset += n;
      return n;
    }
    int64_t Seek(int64_t, rtl::TSeekOrigin) override { return FOffset; }
    int64_t Size() override { return FOffset; }

   private:
    rtl::TStream& FTarget;
    int64_t& FOffset;
    int64_t FMax;
  };

  static rtl::String TooLarge(int64_t AMax) {
    return u"The resource is larger than the " + rtl::IntToStr(AMax) + u" bytes the download may take";
  }

  bool Refuse(const rtl::String& AWhy, bool AFinal = false, int ACode = ResumeNotPossibleCode) {
    Outcome = oRefused;
    Refusal = AWhy;
    RefusalFinal = AFinal;
    RefusalCode = ACode;
    return false;
  }

  // The checks of a final head; false cancels the response before a byte of its body is read.
  bool TakeHead(const rtl::TStringList& AHead) {
    const int status = FHttp.StatusCode();
    if (status == 416 && FAskedFrom >= 0) return TakeUnsatisfiable(TclResumeHead(AHead));
    if (status < 200 || status > 299) return true;  // redirects, challenges, errors: the client's
    TclResumeHead f(AHead);
    if (status == 206) {
      if (FAskedFrom < 0)
        return Refuse(u"The server answered a request for the whole resource with a part of it (206)", true);
      rtl::String why = f.CheckPartial(FAskedFrom, Length, Validator, ValidatorIsETag);
      if (!why.empty()) return Refuse(why);
      // Continuing a file of an earlier run: the version is this response's from now on.
      if (Validator.empty()) Validator = f.Validator(ValidatorIsETag);
      FProgressBase = Offset;
    } else {
      // A whole copy: what the destination holds goes first.
      if (Offset > 0) {
        if (!FOwner.FCanRewind)
          return Refuse(u"The server sent the whole resource again, and the output cannot start again from zero", true);
        FDestination.Seek(0, rtl::soBeginning);
        FDestination.SetSize(0);
        Offset = 0;
        ++FOwner.FRestarts;
      }
      Length = f.WholeLength();
      Validator = f.Validator(ValidatorIsETag);
      RangesRefused = RangesRefused || f.RangesRefused();
    }
    const int64_t max = FOwner.FMaxLength;
    if (max >= 0 && Length > max)
      return Refuse(u"The resource is " + rtl::IntToStr(Length) + u" bytes, more than the " + rtl::IntToStr(max) +
                        u" bytes the download may take",
                    true, ResumeTooLargeCode);
    Resumable = Length >= 0 && !Validator.empty();
    Outcome = oBody;
    return true;
  }

  // A 416 to a range from the end of a complete copy means there is nothing more to fetch;
  // any other 416 means the range was wrong, and the whole resource is fetched again.
  bool TakeUnsatisfiable(const TclResumeHead& f) {
    int64_t first = 0, last = 0, length = -1;
    if (Offset > 0 && f.ContentRange.size() == 1 && ParseContentRange(f.ContentRange[0], first, last, length) &&
        first < 0 && length == Offset && (Length < 0 || Length == length)) {
      Outcome = oComplete;
      return false;
    }
    return Refuse(u"The server cannot send the bytes from " + rtl::IntToStr(FAskedFrom) + u" on (416)");
  }

  TclResumableDownload& FOwner;
  TclHttp& FHttp;
  rtl::TStream& FDestination;
  TSink FSink;
  TclHttpHeaderEvent FSavedHead;
  TclHttpProgressEvent FSavedProgress;
  int64_t FAskedFrom = -1;
  int64_t FProgressBase = 0;

 public:
  int64_t Offset;         // bytes of the resource the destination holds
  int64_t Length = -1;    // the length of the version they belong to, -1 unknown
  rtl::String Validator;  // its ETag or Last-Modified; empty: unknown
  bool ValidatorIsETag = false;
  bool Resumable = false;
  bool RangesRefused = false;
};

void TclResumableDownload::Get(const rtl::String& AUrl, rtl::TStream& ADestination, const rtl::TStringList* AHeader,
                               int64_t AContinueFrom) {
  FRequests = FReconnects = FRestarts = 0;
  TclResumeTransfer t(*this, ADestination, std::max<int64_t>(AContinueFrom, 0));
  bool ranged = t.Offset > 0;
  bool reconnect = false;
  for (;;) {
    t.Begin(ranged ? t.Offset : -1);
    ++FRequests;
    try {
      t.Send(AUrl, AHeader, reconnect || ranged);
    } catch (const EclSocketError& e) {
      // An abort is the caller's wish; an error of the protocol in the body is no break.
      if (e.ErrorCode() == AbortedCode || dynamic_cast<const EclResumeError*>(&e)) throw;
      const bool broke = t.Outcome == TclResumeTransfer::oBody && !dynamic_cast<const EclHttpError*>(&e);
      if ((!broke && !reconnect) || FReconnects >= FRetries) throw;
      ++FReconnects;
      reconnect = true;
      ranged = t.CanContinue();
      const int pause = FPauseSchedule ? FPauseSchedule(FReconnects) : DefaultPause(FReconnects);
      if (OnReconnect) OnReconnect(this, e.Message(), ranged ? t.Offset : -1, pause);
      Pause(pause);
      continue;
    }
    if (t.Outcome == TclResumeTransfer::oRefused) {
      if (t.RefusalFinal) throw EclResumeError(t.Refusal, t.RefusalCode);
      // Ranges do not work with this server for this resource: one whole copy instead, at once.
      t.RangesRefused = true;
      ranged = false;
      if (OnReconnect) OnReconnect(this, t.Refusal, -1, 0);
      continue;
    }
    return;
  }
}

}  // namespace netlib
