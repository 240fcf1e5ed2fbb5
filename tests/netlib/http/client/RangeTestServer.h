// A loopback file server for the resumed-download tests: one resource, answered with byte ranges,
// If-Range and validators as a real file server answers them, one request per connection. A plan
// says, request by request, how to break or bend the answer: cut it at a byte of the resource
// (close, reset, or stall until the client gives up), replace the resource first (a new
// version), ignore Range or If-Range, or send a 206 that lies about its range. Every request
// head is recorded. Accepts, receives and sends are bounded in time.
#pragma once

#include "../../../TestSockets.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace krvtest {

enum TCutKind { ckClose, ckReset, ckStall };

// What the server does with one request; requests after the plan get plain answers.
struct TRangeAnswer {
  int64_t CutAt = -1;  // the answer ends before the resource's byte CutAt goes out
  TCutKind Cut = ckClose;
  std::string NewContent{};     // when not empty: the resource from this answer on (a new version)
  bool IgnoreRange = false;     // the whole resource (200) whatever the request asks
  bool IgnoreIfRange = false;   // a 206 even when If-Range names another version
  int64_t RangeShift = 0;       // a 206 that starts this many bytes off the byte asked for
  int64_t LengthDelta = 0;      // a 206 whose Content-Range names a length off by this
  bool DropValidators = false;  // this answer carries no ETag and no Last-Modified
};

struct TRangeServerOptions {
  bool ETag = true;
  bool WeakETag = false;
  bool LastModified = true;
  bool AcceptRangesNone = false;  // says "Accept-Ranges: none" and never serves a range
  int Port = 0;                   // 0: the system chooses
  // A second file, served whole to requests whose target ends with SideSuffix (a signature
  // beside the archive); they take no answer of the plan and are not recorded.
  std::string SideSuffix{}, SideContent{};
};

class TRangeTestServer {
 public:
  TRangeTestServer(std::string AContent, std::vector<TRangeAnswer> APlan = {}, TRangeServerOptions AOptions = {})
      : FContent(std::move(AContent)), FPlan(std::move(APlan)), FOptions(AOptions) {
    FListener = tsock::Open();
    tsock::SetReuseAddress(FListener);
    const int port = tsock::BindLoopback(FListener, false, FOptions.Port);
    if (port > 0 && tsock::Listen(FListener, 8) == 0) {
      FPort = port;
      FThread = std::thread([this] { Run(); });
    }
  }
  ~TRangeTestServer() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
    tsock::Close(FListener);
  }

  bool Running() const { return FPort > 0; }
  int Port() const { return FPort; }
  std::string Url(const std::string& APath = "/file") const {
    return "http://127.0.0.1:" + std::to_string(FPort) + APath;
  }
  // The request heads received so far.
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(FLock);
    return FRequests;
  }
  // The entity tag of the version the answer AVersion (0: the first) carried.
  static std::string ETagOf(int AVersion, size_t ASize) {
    return "\"v" + std::to_string(AVersion) + "-" + std::to_string(ASize) + "\"";
  }
  static std::string LastModifiedOf(int AVersion) {
    return "Mon, 0" + std::to_string(1 + AVersion % 9) + " Jan 2024 10:00:00 GMT";
  }

  // The value of field AName in a recorded head ("" when absent).
  static std::string Field(const std::string& AHead, const std::string& AName) {
    std::string lower = Lower(AHead), key = "\r\n" + Lower(AName) + ":";
    size_t p = lower.find(key);
    if (p == std::string::npos) return "";
    size_t b = AHead.find_first_not_of(' ', p + key.size()), e = AHead.find("\r\n", p + key.size());
    return AHead.substr(b, e - b);
  }

 private:
  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
  }
  static bool Wait(int ASocket, short AEvents, const std::atomic<bool>& AStop,
                   std::chrono::steady_clock::time_point ADeadline) {
    while (!AStop && std::chrono::steady_clock::now() < ADeadline) {
      if (tsock::PollOne(ASocket, AEvents, 20)) return true;
    }
    return false;
  }
  bool SendAll(int ASocket, const char* AData, size_t ASize) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ASize > 0) {
      if (!Wait(ASocket, tsock::Out, FStop, deadline)) return false;
      tsock::ssize_t n = tsock::Send(ASocket, AData, ASize, true);
      if (n < 0 && tsock::WouldBlock()) continue;
      if (n <= 0) return false;
      AData += n;
      ASize -= size_t(n);
    }
    return true;
  }
  std::string ReadHead(int ASocket) {
    std::string head;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (head.find("\r\n\r\n") == std::string::npos) {
      if (head.size() > 65536 || !Wait(ASocket, tsock::In, FStop, deadline)) return "";
      char buf[4096];
      tsock::ssize_t n = tsock::Recv(ASocket, buf, sizeof buf);
      if (n <= 0) return "";
      head.append(buf, size_t(n));
    }
    return head.substr(0, head.find("\r\n\r\n") + 2);
  }
  // "bytes=N-" only; -1 otherwise.
  static int64_t RangeStart(const std::string& AValue) {
    if (Lower(AValue.substr(0, 6)) != "bytes=" || AValue.size() < 8 || AValue.back() != '-') return -1;
    std::string digits = AValue.substr(6, AValue.size() - 7);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoll(digits);
  }
  // False when the connection is to be reset rather than closed.
  bool Answer(int s, const std::string& AHead, const TRangeAnswer& a) {
    if (!a.NewContent.empty()) {
      FContent = a.NewContent;
      ++FVersion;
    }
    const std::string etag = ETagOf(FVersion, FContent.size()), modified = LastModifiedOf(FVersion);
    const int64_t size = int64_t(FContent.size());
    std::string ifRange = Field(AHead, "If-Range");
    int64_t from = FOptions.AcceptRangesNone || a.IgnoreRange ? -1 : RangeStart(Field(AHead, "Range"));
    bool sameVersion = ifRange.empty() || (FOptions.ETag ? ifRange == etag : ifRange == modified);
    if (!sameVersion && !a.IgnoreIfRange) from = -1;
    std::string head, validators;
    if (!a.DropValidators) {
      if (FOptions.ETag) validators += "ETag: " + std::string(FOptions.WeakETag ? "W/" : "") + etag + "\r\n";
      if (FOptions.LastModified) validators += "Last-Modified: " + modified + "\r\n";
    }
    validators += FOptions.AcceptRangesNone ? "Accept-Ranges: none\r\n" : "Accept-Ranges: bytes\r\n";
    int64_t first = 0;
    if (from >= size) {
      std::string body = "out of range";
      head = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(size) +
             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + validators + "Connection: close\r\n\r\n" +
             body;
      SendAll(s, head.data(), head.size());
      return true;
    }
    if (from >= 0) {
      first = std::max<int64_t>(0, std::min<int64_t>(size - 1, from + a.RangeShift));
      head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
             std::to_string(size - 1) + "/" + std::to_string(size + a.LengthDelta) +
             "\r\nContent-Length: " + std::to_string(size - first) + "\r\n";
    } else {
      head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n";
    }
    head += validators + "Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
    if (!SendAll(s, head.data(), head.size())) return true;
    int64_t end = a.CutAt >= 0 ? std::max(first, std::min(size, a.CutAt)) : size;
    if (!SendAll(s, FContent.data() + first, size_t(end - first)) || end == size) return true;
    if (a.Cut == ckReset) return false;
    if (a.Cut == ckStall) {
      // Silent until the client gives up and closes.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      char buf[256];
      while (Wait(s, tsock::In, FStop, deadline) && tsock::Recv(s, buf, sizeof buf) > 0) {
      }
    }
    return true;
  }
  void Run() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    size_t index = 0;
    while (!FStop && std::chrono::steady_clock::now() < deadline) {
      if (!Wait(FListener, tsock::In, FStop, deadline)) break;
      int s = tsock::Accept(FListener);
      if (s < 0) continue;
      tsock::SetNoDelay(s);
      std::string head = ReadHead(s);
      bool graceful = true;
      std::string line = head.substr(0, head.find("\r\n"));
      if (!FOptions.SideSuffix.empty() && line.find(FOptions.SideSuffix + " HTTP/") != std::string::npos) {
        std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(FOptions.SideContent.size()) +
                             "\r\nConnection: close\r\n\r\n" + FOptions.SideContent;
        SendAll(s, answer.data(), answer.size());
      } else if (!head.empty()) {
        {
          std::lock_guard<std::mutex> lock(FLock);
          FRequests.push_back(head);
        }
        graceful = Answer(s, head, index < FPlan.size() ? FPlan[index] : TRangeAnswer());
        ++index;
      }
      if (graceful) {
        tsock::ShutdownSend(s);
        tsock::Close(s);
      } else {
        tsock::ResetClose(s);  // a reset goes out without a FIN before it
      }
    }
  }

  std::string FContent;
  std::vector<TRangeAnswer> FPlan;
  TRangeServerOptions FOptions;
  int FVersion = 0;
  int FListener = -1;
  int FPort = 0;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::mutex FLock;
  std::vector<std::string> FRequests;
};

}  // namespace krvtest
