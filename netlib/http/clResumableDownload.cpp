#include "netlib/http/clResumableDownload.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "netlib/http/clHeaderFieldList.h"
#include "netlib/text/clUtils.h"
#include "netlib/transport/clPause.h"
#include "netlib/transport/clSocketUtils.h"
#include "platform/gui/MessageLoop.h"
#include "rtl/DateUtils.h"

namespace netlib {

namespace {

namespace gui = platform::gui;

// The longest pause between reconnects, as curl caps its own.
constexpr int MaxPauseMs = 600000;

// Whether an element of the fields' lists (quoted commas kept inside their element) satisfies
// APredicate; each element without its parameters and the blanks around it.
template <class P>
bool AnyElement(const std::vector<rtl::String>& AValues, P APredicate) {
  auto isBlank = [](char16_t c) { return c <= 32; };  // as rtl::Trim takes them
  return std::any_of(AValues.begin(), AValues.end(), [&](const rtl::String& AValue) {
    return VisitListElements(AValue, isBlank,
                             [&](std::u16string_view e) { return APredicate(rtl::Trim(e.substr(0, e.find(u';')))); });
  });
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
    std::vector<rtl::String>* to = n == u"content-range"       ? &FContentRange
                                   : n == u"content-length"    ? &FContentLength
                                   : n == u"transfer-encoding" ? &FTransferEncoding
                                   : n == u"content-encoding"  ? &FContentEncoding
                                   : n == u"etag"              ? &FETag
                                   : n == u"last-modified"     ? &FLastModified
                                   : n == u"accept-ranges"     ? &FAcceptRanges
                                                               : nullptr;
    if (to) to->push_back(fields.GetFieldValue(i));
  }
}

bool TclResumeHead::Coded() const {
  return AnyElement(FContentEncoding, [](const rtl::String& e) { return !e.empty() && !rtl::SameText(e, u"identity"); });
}

bool TclResumeHead::RangesRefused() const {
  return AnyElement(FAcceptRanges, [](const rtl::String& e) { return rtl::SameText(e, u"none"); });
}

int64_t TclResumeHead::WholeLength() const {
  int64_t length = -1;
  if (FContentLength.size() != 1 || !FTransferEncoding.empty() || Coded() ||
      !ParseDecimal(rtl::Trim(FContentLength[0]), length))
    return -1;
  return length;
}

rtl::String TclResumeHead::Validator(bool& AIsETag) const {
  AIsETag = !FETag.empty();
  if (FETag.size() == 1 && !FETag[0].empty() && FETag[0][0] == u'"') return FETag[0];
  if (FETag.empty() && FLastModified.size() == 1) return FLastModified[0];
  return {};
}

rtl::String TclResumeHead::CheckPartial(int64_t AFrom, int64_t& ALength, const rtl::String& AValidator,
                                        bool AValidatorIsETag) const {
  int64_t first = 0, last = 0, length = 0;
  if (FContentRange.size() != 1) return u"The partial response (206) has no single Content-Range";
  if (!ParseContentRange(FContentRange[0], first, last, length) || first < 0 || length < 0)
    return u"The partial response (206) has an unusable Content-Range: " + FContentRange[0].substr(0, 80);
  if (first != AFrom)
    return u"The partial response (206) starts at byte " + rtl::IntToStr(first) + u", not at byte " +
           rtl::IntToStr(AFrom);
  if (ALength >= 0 && length != ALength)
    return u"The partial response (206) is of a resource of " + rtl::IntToStr(length) + u" bytes, not " +
           rtl::IntToStr(ALength);
  if (last != length - 1) return u"The partial response (206) ends before the end of the resource";
  int64_t declared = -1;
  if (FContentLength.size() != 1 || !ParseDecimal(rtl::Trim(FContentLength[0]), declared) ||
      declared != last - first + 1 || !FTransferEncoding.empty())
    return u"The partial response (206) is not framed by a Content-Length of its range";
  if (Coded()) return u"The partial response (206) has a content coding";
  if (!AValidator.empty()) {
    const std::vector<rtl::String>& theirs = AValidatorIsETag ? FETag : FLastModified;
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
  gui::TEvent* abortEvent = FHttp.Connection().AbortEvent();
  // The close that ended the broken transfer signalled it; only an abort from now on counts.
  if (abortEvent) abortEvent->Reset();
  switch (PauseDispatching(AMs, abortEvent)) {
    case TclPauseEnd::Aborted: RaiseSocketError(AbortedCode);
    case TclPauseEnd::Failed: RaiseSocketError(platform::WsaGetLastError());
    default: return;
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
        FSink(ADestination, FOffset, AOwner.FMaxLength),
        FSavedHead(std::move(FHttp.OnReceiveHeader)),
        FSavedProgress(FHttp.OnReceiveProgress),
        FOffset(AOffset) {
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
    FOutcome = oNone;
    FRefusal.clear();
    FRefusalFinal = false;
    FProgressBase = 0;
  }
  // AFailOnErrorStatus: an error status fails the request even when the client would take its
  // page as the body (SilentHTTP).
  void Send(const rtl::String& AUrl, const rtl::TStringList* AHeader, bool AFailOnErrorStatus) {
    if (FAskedFrom < 0 && !AHeader && !AFailOnErrorStatus) {
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
      SetField(lines, u"Range", u"bytes=" + rtl::IntToStr(FAskedFrom) + u"-");
      SetField(lines, u"If-Range", FValidator);  // none without a validator
      // The range counts in the bytes of the copy already held, which came without a coding.
      SetField(lines, u"Accept-Encoding", u"identity");
    }
    // An error page must never land in the middle of the file: after a break, or for a range,
    // an error status fails the request instead.
    TclValueScope silent(FHttp, &TclHttp::SilentHTTP, &TclHttp::SetSilentHTTP,
                         FHttp.SilentHTTP() && !AFailOnErrorStatus);
    FHttp.SendRequest(u"GET", AUrl, lines, nullptr, nullptr, &FSink);
  }

  // Whether the bytes held can be continued with a range.
  bool CanContinue() const { return FOffset > 0 && FResumable && !FRangesRefused; }
  // Ranges do not work with this server for this resource: whole copies from now on.
  void RefuseRanges() { FRangesRefused = true; }

  TOutcome Outcome() const { return FOutcome; }
  // Bytes of the resource the destination holds.
  int64_t Offset() const { return FOffset; }
  // Why the last response was refused, and whether no other request can do better.
  const rtl::String& Refusal() const { return FRefusal; }
  bool RefusalFinal() const { return FRefusalFinal; }
  int RefusalCode() const { return FRefusalCode; }

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
    FOutcome = oRefused;
    FRefusal = AWhy;
    FRefusalFinal = AFinal;
    FRefusalCode = ACode;
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
      rtl::String why = f.CheckPartial(FAskedFrom, FLength, FValidator, FValidatorIsETag);
      if (!why.empty()) return Refuse(why);
      // Continuing a file of an earlier run: the version is this response's from now on.
      if (FValidator.empty()) FValidator = f.Validator(FValidatorIsETag);
      FProgressBase = FOffset;
    } else {
      // A whole copy: what the destination holds goes first.
      if (FOffset > 0) {
        if (!FOwner.FCanRewind)
          return Refuse(u"The server sent the whole resource again, and the output cannot start again from zero", true);
        FDestination.Seek(0, rtl::soBeginning);
        FDestination.SetSize(0);
        FOffset = 0;
        ++FOwner.FRestarts;
      }
      FLength = f.WholeLength();
      FValidator = f.Validator(FValidatorIsETag);
      FRangesRefused = FRangesRefused || f.RangesRefused();
    }
    const int64_t max = FOwner.FMaxLength;
    if (max >= 0 && FLength > max)
      return Refuse(u"The resource is " + rtl::IntToStr(FLength) + u" bytes, more than the " + rtl::IntToStr(max) +
                        u" bytes the download may take",
                    true, ResumeTooLargeCode);
    FResumable = FLength >= 0 && !FValidator.empty();
    FOutcome = oBody;
    return true;
  }

  // A 416 to a range from the end of a complete copy means there is nothing more to fetch;
  // any other 416 means the range was wrong, and the whole resource is fetched again.
  bool TakeUnsatisfiable(const TclResumeHead& f) {
    int64_t first = 0, last = 0, length = -1;
    if (FOffset > 0 && f.ContentRange().size() == 1 && ParseContentRange(f.ContentRange()[0], first, last, length) &&
        first < 0 && length == FOffset && (FLength < 0 || FLength == length)) {
      FOutcome = oComplete;
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
  int64_t FOffset;         // bytes of the resource the destination holds
  int64_t FLength = -1;    // the length of the version they belong to, -1 unknown
  rtl::String FValidator;  // its ETag or Last-Modified; empty: unknown
  bool FValidatorIsETag = false;
  bool FResumable = false;
  bool FRangesRefused = false;
  TOutcome FOutcome = oNone;
  rtl::String FRefusal;
  bool FRefusalFinal = false;
  int FRefusalCode = ResumeNotPossibleCode;
};

void TclResumableDownload::Get(const rtl::String& AUrl, rtl::TStream& ADestination, const rtl::TStringList* AHeader,
                               int64_t AContinueFrom) {
  FRequests = FReconnects = FRestarts = 0;
  TclResumeTransfer t(*this, ADestination, std::max<int64_t>(AContinueFrom, 0));
  bool ranged = t.Offset() > 0;
  bool reconnect = false;
  for (;;) {
    t.Begin(ranged ? t.Offset() : -1);
    ++FRequests;
    try {
      t.Send(AUrl, AHeader, reconnect || ranged);
    } catch (const EclSocketError& e) {
      // An abort is the caller's wish; an error of the protocol in the body is no break.
      if (e.ErrorCode() == AbortedCode || dynamic_cast<const EclResumeError*>(&e)) throw;
      const bool broke = t.Outcome() == TclResumeTransfer::oBody && !dynamic_cast<const EclHttpError*>(&e);
      if ((!broke && !reconnect) || FReconnects >= FRetries) throw;
      ++FReconnects;
      reconnect = true;
      ranged = t.CanContinue();
      const int pause = FPauseSchedule ? FPauseSchedule(FReconnects) : DefaultPause(FReconnects);
      if (OnReconnect) OnReconnect(this, e.Message(), ranged ? t.Offset() : -1, pause);
      Pause(pause);
      continue;
    }
    if (t.Outcome() == TclResumeTransfer::oRefused) {
      if (t.RefusalFinal()) throw EclResumeError(t.Refusal(), t.RefusalCode());
      // One whole copy instead, at once.
      t.RefuseRanges();
      ranged = false;
      if (OnReconnect) OnReconnect(this, t.Refusal(), -1, 0);
      continue;
    }
    return;
  }
}

}  // namespace netlib
