// Message framing against servers that misbehave: interim responses, where the head ends,
// repeated lengths, transfer-coding lists, the bytes after chunk data, and the cap on bodies
// read into memory. What the server sent is what the caller gets, or a clear error.
#ifndef _WIN32
#include <malloc.h>
#endif
#include <zlib.h>

#include <fstream>

#include "TestUtil.h"

using namespace netlib;
using namespace krvtest;

namespace {

// zlib data (RFC 1950), or raw deflate data when ARaw.
std::string Deflate(const std::string& AData, bool ARaw) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, ARaw ? -15 : 15, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(AData.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(AData.data()));
  z.avail_in = uInt(AData.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A gzip file of about 1 KB per MiB that decodes to AMiB mebibytes of "A": one MiB compressed
// once and ended by a full flush (so it needs no history) repeated, then an empty last block.
std::string GzipBomb(int AMiB) {
  std::string block(1 << 20, 'A'), piece(1 << 16, '\0'), tail(64, '\0');
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  z.next_in = reinterpret_cast<Bytef*>(block.data());
  z.avail_in = uInt(block.size());
  z.next_out = reinterpret_cast<Bytef*>(piece.data());
  z.avail_out = uInt(piece.size());
  deflate(&z, Z_FULL_FLUSH);
  piece.resize(piece.size() - z.avail_out);
  z.next_out = reinterpret_cast<Bytef*>(tail.data());
  z.avail_out = uInt(tail.size());
  deflate(&z, Z_FINISH);
  tail.resize(tail.size() - z.avail_out);
  deflateEnd(&z);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(block.data()), uInt(block.size())), total = crc32(0, nullptr, 0);
  std::string gz("\x1f\x8b\x08\0\0\0\0\0\x02\x03", 10);
  for (int i = 0; i < AMiB; ++i) {
    gz += piece;
    total = crc32_combine(total, crc, z_off_t(block.size()));
  }
  gz += tail;
  uint32_t size = uint32_t(uint64_t(AMiB) << 20);
  for (uint32_t v : {uint32_t(total), size})
    for (int b = 0; b < 4; ++b) gz += char((v >> (8 * b)) & 0xFF);
  return gz;
}

std::string Chunked200(const std::string& ACodings, const std::string& AWire, const std::string& AExtra = "") {
  return "HTTP/1.1 200 OK\r\nTransfer-Encoding: " + ACodings + "\r\n" + AExtra + "\r\n" + AWire;
}

std::string Content200(const std::string& ACodings, const std::string& ABody) {
  return "HTTP/1.1 200 OK\r\nContent-Encoding: " + ACodings + "\r\nContent-Length: " + std::to_string(ABody.size()) +
         "\r\n\r\n" + ABody;
}

// Each case is one scripted reply and the body and status the caller must get.
TEST(Framing, WhatTheServerSentIsWhatTheCallerGets) {
  const std::string text = "framed text, framed text, framed text";
  const std::string gz = Gzip(text);
  const std::string ok2 = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  struct TCase {
    const char* Name;
    std::string Reply;
    std::string Body;
    int Status;
    std::vector<std::string> Header = {};
  } cases[] = {
      // Interim responses are skipped, whatever their code and wherever the reads split them.
      {"103 early hints", "HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n" + ok2, "ok", 200},
      {"102 and 103 in their own reads",
       "HTTP/1.1 102 Processing\r\n\r\n" + Split + "HTTP/1.1 103 Early Hints\r\n\r\n" + Split + ok2, "ok", 200},
      {"101 asked for", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", "", 101,
       {"Upgrade: websocket", "Connection: Upgrade"}},
      // The head ends at its first empty line, however the lines end.
      {"LF head with CR LF CR LF in the body", "HTTP/1.1 200 OK\nContent-Length: 8\n\nab\r\n\r\ncd", "ab\r\n\r\ncd", 200},
      {"LF line, then a CR LF empty line", "HTTP/1.1 200 OK\nContent-Length: 2\n\r\nok", "ok", 200},
      {"terminator split after its first LF", "HTTP/1.1 200 OK\nContent-Length: 2\n" + Split + "\r\nok", "ok", 200},
      {"terminator split after its CR", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r" + Split + "\nok", "ok", 200},
      // Repeated lengths that agree mean one length.
      {"equal lengths in one field", "HTTP/1.1 200 OK\r\nContent-Length: 3, 3\r\n\r\nabc", "abc", 200},
      {"equal length fields", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc", "abc", 200},
      // Transfer codings, decoded in the reverse of the order they were applied.
      {"gzip, chunked", Chunked200("gzip, chunked", Chunked(gz, 7)), text, 200},
      {"two fields, gzip then chunked",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(gz, 5), text, 200},
      {"zlib deflate, chunked", Chunked200("deflate, chunked", Chunked(Deflate(text, false), 3)), text, 200},
      {"raw deflate, chunked", Chunked200("Deflate , Chunked", Chunked(Deflate(text, true), 1)), text, 200},
      {"identity and parameters", Chunked200("identity, chunked;x=\"a,b\"", Chunked(text, 9)), text, 200},
      {"deflate then bytes it ignores", Chunked200("deflate", Deflate(text, false) + "junk"), text, 200},
      {"gzip alone reads until close", Chunked200("gzip", gz.substr(0, 9) + Split + gz.substr(9)), text, 200},
      {"chunked not last reads until close", Chunked200("chunked, gzip", Gzip(Chunked(text, 4))), text, 200},
      {"codings framed by chunked beside a length", Chunked200("chunked", Chunked(text, 6), "Content-Length: 3\r\n"), text,
       200},
      {"304 with chunked has no body", "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", "", 304},
      // Content codings, undone from the last applied for as long as they are gzip.
      {"gzip twice", Content200("gzip, gzip", Gzip(gz)), text, 200},
      {"x-gzip in a second field", "HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\nContent-Encoding: x-gzip\r\n"
                                   "Content-Length: " + std::to_string(gz.size()) + "\r\n\r\n" + gz, text, 200},
      {"a coding we cannot undo after gzip", Content200("gzip, br", "\x8b\x02\x80" "brotli"), "\x8b\x02\x80" "brotli", 200},
      {"gzip after a coding we cannot undo", Content200("br, gzip", Gzip("\x8b\x02\x80" "brotli")), "\x8b\x02\x80" "brotli",
       200},
      {"a name that merely holds gzip", Content200("x-gzipped", text), text, 200},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TReplyResult r = AnswerWith(c.Reply, "GET", true, c.Header);
    EXPECT_EQ(r.Outcome.ClassName, "none") << r.Outcome.Message;
    EXPECT_EQ(r.Body, c.Body);
    EXPECT_EQ(r.Status, c.Status);
    // After a switch of protocols the connection is not used for HTTP again.
    if (c.Status == 101) { EXPECT_FALSE(r.Active); }
  }
}

TEST(Framing, BadFramingFailsClearly) {
  const std::string zlib = Deflate("deflated text", false);
  const std::string gz = Gzip("gzip text");
  TFailingReply cases[] = {
      {"101 nobody asked for", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n", "EclHttpError",
       HttpUnexpectedSwitchCode},
      {"two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 5\r\n\r\nabcde", "EclHttpError",
       HttpConflictingContentLengthCode},
      {"two lengths in one field", "HTTP/1.1 200 OK\r\nContent-Length: 3, 5\r\n\r\nabcde", "EclHttpError",
       HttpConflictingContentLengthCode},
      {"an empty length beside one", "HTTP/1.1 200 OK\r\nContent-Length:\r\nContent-Length: 2\r\n\r\nab", "EclHttpError",
       HttpInvalidContentLengthCode},
      {"unknown coding", Chunked200("br, chunked", Chunked("xyz", 3)), "EclHttpError", HttpUnsupportedTransferCodingCode},
      {"compress coding", Chunked200("compress", "\x1f\x9d\x90"), "EclHttpError", HttpUnsupportedTransferCodingCode},
      {"bytes after chunk data", Chunked200("chunked", "3\r\nabcXX\r\n0\r\n\r\n"), "EclStreamError", 0},
      {"LF alone after chunk data", Chunked200("chunked", "3\r\nabc\n0\r\n\r\n"), "EclStreamError", 0},
      {"CR alone after chunk data", Chunked200("chunked", "3\r\nabc\r0\r\n\r\n"), "EclStreamError", 0},
      {"deflate with a wrong checksum", Chunked200("deflate, chunked", Chunked(zlib.substr(0, zlib.size() - 1) + "?", 4)),
       "EclZLibError", ZLIB_ERR_ADLER_MISMATCH},
      {"deflate cut before its end", Chunked200("deflate", zlib.substr(0, zlib.size() - 3)), "EclZLibError",
       ZLibTruncatedDeflateCode},
      {"gzip cut inside chunked", Chunked200("gzip, chunked", Chunked(gz.substr(0, gz.size() - 2), 4)), "EclZLibError",
       ZLibTruncatedMemberCode},
      {"chunked inside a coding cut", Chunked200("chunked, gzip", Gzip("5\r\nab")), "EclStreamError", 0},
  };
  for (const TFailingReply& c : cases) {
    SCOPED_TRACE(c.Name);
    TReplyResult r = AnswerWith(c.Reply);
    EXPECT_EQ(r.Outcome.ClassName, c.Class) << r.Outcome.Message;
    EXPECT_EQ(r.Outcome.Code, c.Code) << r.Outcome.Message;
    EXPECT_FALSE(r.Active);
  }
}

// A body framed both by chunked coding and by a length leaves a connection nobody may trust.
TEST(Framing, LengthBesideCodingsClosesTheConnection) {
  THttpTestServer server({{Chunked200("chunked", Chunked("one", 3), "Content-Length: 99\r\n"), Ok("junk")}, {Ok("two")}});
  TclHttp http;
  Quick(http);
  rtl::TMemoryStream one, two;
  http.Get(W(server.Url("/1")), &one);
  http.Get(W(server.Url("/2")), &two);
  EXPECT_EQ(Contents(one), "one");
  EXPECT_EQ(Contents(two), "two");
  EXPECT_EQ(server.Connections(), 2);
}

// Redirect, challenge and error pages are read into memory: at most 1 MiB of them is kept, and
// the rest is not waited for.
TEST(TextCap, PagesReadIntoMemoryKeepOneMebibyte) {
  const std::string big(3 << 20, 'p');
  {
    SCOPED_TRACE("404 with a length");
    THttpTestServer server({{"HTTP/1.1 404 Not Found\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big}});
    TclHttp http;
    Quick(http);
    std::string text;
    try {
      http.Get(W(server.Url()), nullptr);
      ADD_FAILURE() << "no error";
    } catch (const EclHttpError& e) {
      EXPECT_EQ(e.ErrorCode(), 404);
      text = Str(e.ResponseText());
    }
    // The first mebibyte, as one line.
    EXPECT_EQ(text.size(), size_t(MaxResponseTextSize) + 2);
    EXPECT_EQ(text.find_first_not_of('p'), size_t(MaxResponseTextSize));
    EXPECT_FALSE(http.Active());
  }
  {
    SCOPED_TRACE("302 chunked, then the target on a new connection");
    THttpTestServer server(
        {{"HTTP/1.1 302 Found\r\nLocation: /final\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(big, 65536), Ok("late")},
         {Ok("final")}});
    TclHttp http;
    Quick(http);
    size_t redirectText = 0;
    http.OnRedirect = [&](TclHttp*, const rtl::TStringList&, int, const TclHttpResponseHeader&,
                          const rtl::TStringList& AText, rtl::String&, bool&, bool&) { redirectText = AText.Text().size(); };
    rtl::TMemoryStream body;
    http.Get(W(server.Url("/start")), &body);
    EXPECT_EQ(Contents(body), "final");
    EXPECT_EQ(redirectText, size_t(MaxResponseTextSize) + 2);
    EXPECT_EQ(server.Connections(), 2);
  }
  {
    SCOPED_TRACE("HTTP/1.0 404 read until a close that does not come");
    THttpTestServer server({{"HTTP/1.0 404 Not Found\r\n\r\n" + big, Ok("never asked")}});
    TclHttp http;
    Quick(http);
    TOutcome r = Attempt([&] { http.Get(W(server.Url()), nullptr); });
    EXPECT_EQ(r.ClassName, "EclHttpError") << r.Message;
    EXPECT_EQ(r.Code, 404);
  }
}

#ifndef _WIN32  // the kernel's resident high-water mark, which a process can reset
long StatusKiB(const char* AField) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.compare(0, strlen(AField), AField) == 0) return std::atol(line.c_str() + strlen(AField));
  return -1;
}

// The figure: peak memory while a 1 MB gzip body that decodes to 1 GiB comes with a 404 and with
// a 302. The peak is the process's high-water mark, reset just before the request, after the
// allocator has given back what it held free (which a request could otherwise reuse unseen).
TEST(TextCap, PeakMemoryUnderAGzipBomb) {
#if defined(KRV_SANITIZE)
  GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine make the resident size meaningless";
#endif
  const std::string bomb = GzipBomb(1024);
  ASSERT_LT(bomb.size(), size_t(1200000));
  for (int status : {404, 302}) {
    SCOPED_TRACE(status);
    std::string reply = "HTTP/1.1 " + std::to_string(status) + " Bomb\r\nLocation: /final\r\nContent-Encoding: gzip\r\n" +
                        "Content-Length: " + std::to_string(bomb.size()) + "\r\n\r\n" + bomb;
    THttpTestServer server({{reply}, {Ok("final")}});
    TclHttp http;
    Quick(http);
    rtl::TMemoryStream body;
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM to the present resident size
    long before = StatusKiB("VmRSS:");
    TOutcome r = Attempt([&] { http.Get(W(server.Url()), &body); });
    long peak = StatusKiB("VmHWM:") - before;
    std::printf("peak memory with a 1 GiB gzip bomb under %d: %.1f MiB\n", status, peak / 1024.0);
    RecordProperty("peak_kib_" + std::to_string(status), std::to_string(peak));
    EXPECT_LT(peak, 64 * 1024);
    if (status == 302) {
      EXPECT_EQ(r.ClassName, "none") << r.Message;
      EXPECT_EQ(Contents(body), "final");
    } else {
      EXPECT_EQ(r.Code, 404) << r.Message;
    }
  }
}
#endif

}  // namespace
