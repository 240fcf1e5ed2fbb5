// The download that resumes after a break (TclResumableDownload) against the range server: what
// each reconnect asks for, which answers continue the destination and which start it again, and
// that the destination is only ever appended to or rewound whole.
#include <filesystem>

#include "RangeTestServer.h"
#include "TestUtil.h"
#include "netlib/http/clResumableDownload.h"
#include "platform/gui/MessageLoop.h"
#include "rtl/BufferedStream.h"

using namespace netlib;
using namespace krvtest;

namespace {

namespace gui = platform::gui;

std::string Bytes(size_t ASize, uint32_t ASeed) {
  std::string data(ASize, '\0');
  for (size_t i = 0; i < ASize; ++i) data[i] = static_cast<char>(((i + ASeed) * 2654435761u) >> 13);
  return data;
}

const std::string Content = Bytes(300000, 1);
const std::string Changed = Bytes(300000, 7);  // the same size: only the validator tells them apart
const std::string Short = Bytes(50000, 3);

// Records every operation on the destination that is not a plain forward write: the contract
// with the streams in front of the file (a hasher among them) is that the only way back is
// Seek(0, soBeginning) followed by SetSize(0).
class TContractStream : public rtl::TStream {
 public:
  explicit TContractStream(rtl::TStream& ATarget) : FTarget(ATarget) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* ABuffer, int64_t ACount) override { return FTarget.Write(ABuffer, ACount); }
  int64_t Seek(int64_t AOffset, rtl::TSeekOrigin AOrigin) override {
    if (!(AOffset == 0 && AOrigin == rtl::soCurrent))
      Log.push_back("seek " + std::to_string(AOffset) + (AOrigin == rtl::soBeginning ? " begin" : " other"));
    return FTarget.Seek(AOffset, AOrigin);
  }
  void SetSize(int64_t ASize) override {
    Log.push_back("size " + std::to_string(ASize));
    FTarget.SetSize(ASize);
  }
  std::vector<std::string> Log;

 private:
  rtl::TStream& FTarget;
};

// A file written through a small write buffer (so bytes are held in it when the connection
// breaks) behind the contract recorder.
class TFileDestination {
 public:
  explicit TFileDestination(const std::string& AInitial = "")
      : FPath(UniqueTempPath("resume")) {
    {
      rtl::TFileStream f(W(FPath), rtl::fmCreate);
      if (!AInitial.empty()) f.WriteBuffer(AInitial.data(), int64_t(AInitial.size()));
    }
    File = std::make_unique<rtl::TFileStream>(W(FPath), rtl::fmOpenReadWrite);
    File->Seek(0, rtl::soEnd);
    Buffer = std::make_unique<rtl::TBufferedWriteStream>(*File, 16384);
    Contract = std::make_unique<TContractStream>(*Buffer);
  }
  ~TFileDestination() {
    Contract.reset();
    Buffer.reset();
    File.reset();
    std::filesystem::remove(FPath);
  }
  std::string Contents() {
    Buffer->Flush();
    std::string s(size_t(File->Size()), '\0');
    File->Seek(0, rtl::soBeginning);
    if (!s.empty()) File->ReadBuffer(s.data(), int64_t(s.size()));
    return s;
  }
  std::unique_ptr<rtl::TFileStream> File;
  std::unique_ptr<rtl::TBufferedWriteStream> Buffer;
  std::unique_ptr<TContractStream> Contract;

 private:
  std::string FPath;
};

// The byte a Range field asks from; -1 when there is none.
int64_t RangeFrom(const std::string& AHead) {
  std::string v = TRangeTestServer::Field(AHead, "Range");
  if (v.size() < 8 || v.compare(0, 6, "bytes=") != 0) return -1;
  return std::stoll(v.substr(6));
}

// Pauses that keep the tests short; the schedule itself is tested on its own.
void Quick(TclResumableDownload& ADownload) {
  ADownload.SetPauseSchedule([](int) { return 10; });
}

}  // namespace

// Each case: the server's plan, what every request asked for (Range from, If-Range), how often
// the destination was rewound, and the copy that must result.
TEST(ResumableDownload, BreaksAndAnswersOfTheServer) {
  const std::string etag0 = TRangeTestServer::ETagOf(0, Content.size());
  const std::string lm0 = TRangeTestServer::LastModifiedOf(0);
  struct TAsk {
    int64_t Lo, Hi;  // the Range's first byte lies in [Lo, Hi]; -1: no Range
    std::string IfRange;
  };
  struct TCase {
    const char* Name;
    std::vector<TRangeAnswer> Plan;
    TRangeServerOptions Options;
    std::vector<TAsk> Asks;
    int Restarts;
    std::string Result;      // the copy; empty: the download fails
    const char* LastReason;  // why the last new request was made
  } cases[] = {
      {"never breaks", {}, {}, {{-1, -1, ""}}, 0, Content, nullptr},
      {"closed at 30%, reset at 70%",
       {{.CutAt = 90000}, {.CutAt = 210000, .Cut = ckReset}},
       {},
       {{-1, -1, ""}, {90000, 90000, etag0}, {90001, 210000, etag0}},
       0,
       Content,
       "forcibly closed"},
      {"stalls at 50% (time-out)",
       {{.CutAt = 150000, .Cut = ckStall}},
       {},
       {{-1, -1, ""}, {150000, 150000, etag0}},
       0,
       Content,
       "Timeout"},
      {"ignores ranges: restart from zero",
       {{.CutAt = 90000}, {.IgnoreRange = true}},
       {},
       {{-1, -1, ""}, {90000, 90000, etag0}},
       1,
       Content,
       "closed before the response was complete"},
      {"changed between attempts: the new version whole",
       {{.CutAt = 90000}, {.NewContent = Changed}},
       {},
       {{-1, -1, ""}, {90000, 90000, etag0}},
       1,
       Changed,
       "closed before the response was complete"},
      {"a 206 of another version is refused",
       {{.CutAt = 90000}, {.NewContent = Changed, .IgnoreIfRange = true}},
       {},
       {{-1, -1, ""}, {90000, 90000, etag0}, {-1, -1, ""}},
       1,
       Changed,
       "(206) is of another version"},
      {"a 206 from another byte is refused",
       {{.CutAt = 90000}, {.RangeShift = -100}},
       {},
       {{-1, -1, ""}, {90000, 90000, etag0}, {-1, -1, ""}},
       1,
       Content,
       "(206) starts at byte 89900, not at byte 90000"},
      {"a 206 of another length is refused",
       {{.CutAt = 90000}, {.LengthDelta = 1}},
       {},
       {{-1, -1, ""}, {90000, 90000, etag0}, {-1, -1, ""}},
       1,
       Content,
       "(206) is of a resource of 300001 bytes, not 300000"},
      {"a 206 without the validator is refused",
       {{.CutAt = 90000}, {.DropValidators = true}},
       {},
       {{-1, -1, ""}, {90000, 90000, etag0}, {-1, -1, ""}},
       1,
       Content,
       "(206) does not name the version"},
      {"416: one whole restart",
       {{.CutAt = 90000}, {.NewContent = Short, .IgnoreIfRange = true}},
       {},
       {{-1, -1, ""}, {90000, 90000, etag0}, {-1, -1, ""}},
       1,
       Short,
       "(416)"},
      {"Accept-Ranges: none: no range is asked",
       {{.CutAt = 90000}},
       {.AcceptRangesNone = true},
       {{-1, -1, ""}, {-1, -1, ""}},
       1,
       Content,
       "closed before the response was complete"},
      {"no validator: no range is asked",
       {{.CutAt = 90000}},
       {.ETag = false, .LastModified = false},
       {{-1, -1, ""}, {-1, -1, ""}},
       1,
       Content,
       "closed before the response was complete"},
      {"a weak ETag only: no range is asked",
       {{.CutAt = 90000}},
       {.WeakETag = true},
       {{-1, -1, ""}, {-1, -1, ""}},
       1,
       Content,
       "closed before the response was complete"},
      {"Last-Modified only: it is the validator",
       {{.CutAt = 90000}},
       {.ETag = false},
       {{-1, -1, ""}, {90000, 90000, lm0}},
       0,
       Content,
       "closed before the response was complete"},
      {"a break on every attempt fails after three reconnects",
       {{.CutAt = 30000}, {.CutAt = 60000}, {.CutAt = 90000}, {.CutAt = 120000}},
       {},
       {{-1, -1, ""}, {30000, 30000, etag0}, {60000, 60000, etag0}, {90000, 90000, etag0}},
       0,
       "",
       "closed before the response was complete"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRangeTestServer server(Content, c.Plan, c.Options);
    ASSERT_TRUE(server.Running());
    TclHttp http;
    http.SetTimeOut(c.Plan.empty() || c.Plan[0].Cut != ckStall ? 5000 : 500);
    TFileDestination dest;
    TclResumableDownload download(http);
    Quick(download);
    std::vector<std::string> reasons;
    download.OnReconnect = [&](TclResumableDownload*, const rtl::String& AReason, int64_t, int) {
      reasons.push_back(Str(AReason));
    };
    TOutcome outcome = Attempt([&] { download.Get(W(server.Url()), *dest.Contract); });
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), c.Asks.size());
    for (size_t i = 0; i < requests.size(); ++i) {
      SCOPED_TRACE(i);
      int64_t from = RangeFrom(requests[i]);
      EXPECT_GE(from, c.Asks[i].Lo);
      EXPECT_LE(from, c.Asks[i].Hi);
      EXPECT_EQ(TRangeTestServer::Field(requests[i], "If-Range"), c.Asks[i].IfRange);
      EXPECT_EQ(TRangeTestServer::Field(requests[i], "Accept-Encoding"), from < 0 ? "gzip" : "identity");
    }
    EXPECT_EQ(download.Requests(), int(c.Asks.size()));
    if (c.LastReason) {
      ASSERT_FALSE(reasons.empty());
      EXPECT_NE(reasons.back().find(c.LastReason), std::string::npos) << reasons.back();
    } else {
      EXPECT_TRUE(reasons.empty());
    }
    EXPECT_EQ(download.Restarts(), c.Restarts);
    // The only way back is the whole rewind, once per restart.
    std::vector<std::string> rewinds;
    for (int i = 0; i < c.Restarts; ++i) rewinds.insert(rewinds.end(), {"seek 0 begin", "size 0"});
    EXPECT_EQ(dest.Contract->Log, rewinds);
    std::string copy = dest.Contents();
    if (c.Result.empty()) {
      EXPECT_EQ(outcome.ClassName, "EclSocketError");
      // What arrived is still the start of the resource, never anything else.
      EXPECT_EQ(copy, Content.substr(0, copy.size()));
    } else {
      EXPECT_EQ(outcome.ClassName, "none") << outcome.Message;
      EXPECT_TRUE(copy == c.Result) << "size " << copy.size();
    }
  }
}

// Without a break the request is the one a plain Get sends, byte for byte.
TEST(ResumableDownload, ADownloadThatNeverBreaksSendsThePlainRequest) {
  std::string plain, resumable;
  {
    TRangeTestServer server(Content);
    TclHttp http;
    rtl::TMemoryStream body;
    http.Get(W(server.Url()), &body);
    plain = server.Requests().at(0);
  }
  {
    TRangeTestServer server(Content);
    TclHttp http;
    TFileDestination dest;
    TclResumableDownload(http).Get(W(server.Url()), *dest.Contract);
    resumable = server.Requests().at(0);
    EXPECT_TRUE(dest.Contents() == Content);
  }
  auto withoutHost = [](std::string h) {
    return h.erase(h.find("Host:"), h.find("\r\n", h.find("Host:")) - h.find("Host:"));
  };
  EXPECT_EQ(withoutHost(resumable), withoutHost(plain));
}

// A file of an earlier run (krv-fetch -C -): the first request asks for the rest without a
// validator; the answers continue it, start it again, or find it complete.
TEST(ResumableDownload, ContinuesACopyOfAnEarlierRun) {
  struct TCase {
    const char* Name;
    std::string Initial;
    std::vector<TRangeAnswer> Plan;
    int Requests, Restarts;
  } cases[] = {
      {"the rest", Content.substr(0, 100000), {}, 1, 0},
      {"the rest, broken and resumed", Content.substr(0, 100000), {{.CutAt = 200000}}, 2, 0},
      {"a server without ranges: the whole again", Content.substr(0, 100000), {{.IgnoreRange = true}}, 1, 1},
      {"already complete (416 for its length)", Content, {}, 1, 0},
      {"longer than the resource: the whole again", Content + "tail", {}, 2, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRangeTestServer server(Content, c.Plan);
    TclHttp http;
    http.SetTimeOut(5000);
    TFileDestination dest(c.Initial);
    TclResumableDownload download(http);
    Quick(download);
    TOutcome outcome =
        Attempt([&] { download.Get(W(server.Url()), *dest.Contract, nullptr, int64_t(c.Initial.size())); });
    EXPECT_EQ(outcome.ClassName, "none") << outcome.Message;
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), size_t(c.Requests));
    EXPECT_EQ(RangeFrom(requests[0]), int64_t(c.Initial.size()));
    EXPECT_EQ(TRangeTestServer::Field(requests[0], "If-Range"), "") << "no validator is known yet";
    if (c.Requests > 1 && c.Restarts == 0) {
      EXPECT_EQ(TRangeTestServer::Field(requests[1], "If-Range"), TRangeTestServer::ETagOf(0, Content.size()));
    }
    EXPECT_EQ(download.Restarts(), c.Restarts);
    EXPECT_TRUE(dest.Contents() == Content);
  }
}

// Standard output cannot be taken back: a download that would have to start again fails, and
// nothing more is written.
TEST(ResumableDownload, AnOutputThatCannotRewindIsNeverRewound) {
  TRangeTestServer server(Content, {{.CutAt = 90000}}, {.AcceptRangesNone = true});
  TclHttp http;
  TFileDestination dest;
  TclResumableDownload download(http);
  Quick(download);
  download.SetCanRewind(false);
  TOutcome outcome = Attempt([&] { download.Get(W(server.Url()), *dest.Contract); });
  EXPECT_EQ(outcome.ClassName, "EclResumeError");
  EXPECT_EQ(outcome.Code, ResumeNotPossibleCode);
  EXPECT_TRUE(dest.Contract->Log.empty());
  EXPECT_TRUE(dest.Contents() == Content.substr(0, 90000));
}

// Progress speaks of the whole resource, also while the rest arrives in a 206.
TEST(ResumableDownload, ProgressCountsTheWholeResource) {
  TRangeTestServer server(Content, {{.CutAt = 90000}});
  TclHttp http;
  int64_t lastBytes = 0, lastTotal = 0, lowest = INT64_MAX;
  bool resumed = false;
  http.OnReceiveProgress = [&](TclHttp*, int64_t ABytes, int64_t ATotal) {
    if (resumed) lowest = std::min(lowest, ABytes);
    lastBytes = ABytes;
    lastTotal = ATotal;
  };
  TFileDestination dest;
  TclResumableDownload download(http);
  Quick(download);
  download.OnReconnect = [&](TclResumableDownload*, const rtl::String&, int64_t AFrom, int) {
    EXPECT_EQ(AFrom, 90000);
    resumed = true;
  };
  download.Get(W(server.Url()), *dest.Contract);
  EXPECT_TRUE(resumed);
  EXPECT_GE(lowest, 90000);
  EXPECT_EQ(lastBytes, int64_t(Content.size()));
  EXPECT_EQ(lastTotal, int64_t(Content.size()));
  EXPECT_FALSE(http.OnReceiveHeader) << "the client's own handlers are back";
}

// The pauses: 1, 2, 4 s by default; each keeps the thread's messages flowing, and an abort of
// the client's connection ends it at once with the abort error.
TEST(ResumableDownload, PausesPumpMessagesAndEndOnAbort) {
  EXPECT_EQ(TclResumableDownload::DefaultPause(1), 1000);
  EXPECT_EQ(TclResumableDownload::DefaultPause(2), 2000);
  EXPECT_EQ(TclResumableDownload::DefaultPause(3), 4000);
  EXPECT_EQ(TclResumableDownload::DefaultPause(40), 600000);

  for (bool abort : {false, true}) {
    SCOPED_TRACE(abort ? "aborted" : "timer ticks");
    TRangeTestServer server(Content, {{.CutAt = 90000}});
    TclHttp http;
    TFileDestination dest;
    TclResumableDownload download(http);
    download.SetPauseSchedule([&](int) { return abort ? 20000 : 400; });
    int ticks = 0;
    gui::HWND wnd = gui::AllocateHWnd([&](gui::TMessage& m) {
      if (m.Msg != gui::WM_TIMER) return;
      ++ticks;
      if (abort) http.Connection().Abort();
    });
    download.OnReconnect = [&](TclResumableDownload*, const rtl::String&, int64_t, int) { gui::SetTimer(wnd, 1, 50); };
    auto start = std::chrono::steady_clock::now();
    TOutcome outcome = Attempt([&] { download.Get(W(server.Url()), *dest.Contract); });
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    gui::DeallocateHWnd(wnd);
    EXPECT_GT(ticks, 0);
    if (abort) {
      EXPECT_EQ(outcome.Code, AbortedCode) << outcome.Message;
      EXPECT_LT(ms, 5000);
      EXPECT_EQ(server.Requests().size(), 1u);
    } else {
      EXPECT_EQ(outcome.ClassName, "none") << outcome.Message;
      EXPECT_GE(ms, 400);
      EXPECT_TRUE(dest.Contents() == Content);
    }
  }
}

// The Content-Range values a 206 or a 416 may carry; everything else is refused.
TEST(ResumableDownload, ContentRangeValues) {
  struct TCase {
    const char16_t* Value;
    bool Ok;
    int64_t First, Last, Length;
  } cases[] = {
      {u"bytes 0-9/10", true, 0, 9, 10},
      {u"BYTES  5-9/10", true, 5, 9, 10},
      {u"bytes 5-9/*", true, 5, 9, -1},
      {u"bytes */10", true, -1, -1, 10},
      {u"bytes */*", false, 0, 0, 0},
      {u"bytes 5-4/10", false, 0, 0, 0},
      {u"bytes 5-10/10", false, 0, 0, 0},
      {u"bytes -5-9/10", false, 0, 0, 0},
      {u"bytes 0x5-9/10", false, 0, 0, 0},
      {u"bytes 5 -9/10", false, 0, 0, 0},
      {u"items 0-9/10", false, 0, 0, 0},
      {u"bytes=0-9/10", false, 0, 0, 0},
      {u"bytes 0-9/1234567890123456789", false, 0, 0, 0},
      {u"bytes 0-9", false, 0, 0, 0},
      {u"", false, 0, 0, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(Str(c.Value));
    int64_t first = 0, last = 0, length = 0;
    ASSERT_EQ(ParseContentRange(c.Value, first, last, length), c.Ok);
    if (!c.Ok) continue;
    EXPECT_EQ(first, c.First);
    EXPECT_EQ(last, c.Last);
    EXPECT_EQ(length, c.Length);
  }
}
