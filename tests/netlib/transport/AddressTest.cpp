// Address literals, their texts, the error codes of the transport and the host resolvers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "netlib/transport/clIpAddress.h"
#include "netlib/transport/clSocket.h"
#include "netlib/transport/clSocketUtils.h"
#include "netlib/transport/clWinSock2.h"
#include "platform/Sockets.h"

using namespace netlib;

namespace {

// Forces the address functions off for one test.
struct TForcedOff {
  TForcedOff() { SetAddressInfoForcedOff(true); }
  ~TForcedOff() { SetAddressInfoForcedOff(false); }
};

// Replaces the platform's function table for one test.
struct TTableSwap {
  platform::TSocketFunctions Old;
  explicit TTableSwap(const platform::TSocketFunctions& t) : Old(platform::ReplaceSocketFunctions(t)) {}
  ~TTableSwap() { platform::ReplaceSocketFunctions(Old); }
};

template <typename F>
int CodeOf(F f) {
  try {
    f();
  } catch (const EclSocketError& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(SocketUtils, RaiseSocketErrorCarriesTheSystemText) {
  try {
    RaiseSocketError(10038);
    FAIL() << "no exception";
  } catch (const EclSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10038);
    EXPECT_EQ(rtl::U8(e.Message()), "An operation was attempted on something that is not a socket.");
    EXPECT_STREQ(e.ClassName(), "EclSocketError");
  }
}

TEST(SocketUtils, LibraryCodesAndTheirMessages) {
  struct {
    int code;
    const char* text;
  } cases[] = {
      {-1, "Timeout error occured"},   {-2, "Invalid host address"},
      {-3, "Invalid port number"},     {-4, "Invalid Batch Size"},
      {-5, "NetworkStream is required"}, {-6, "The connection to the server is not active"},
      {-7, "Invalid address family"},
  };
  for (const auto& c : cases) EXPECT_EQ(rtl::U8(LibraryErrorMessage(c.code)), c.text) << c.code;
  EXPECT_EQ(LibraryErrorMessage(5), u"");
}

TEST(WinSock2Binding, ForcedOffHidesTheAddressFunctions) {
  EXPECT_TRUE(AddressInfoAvailable());
  TForcedOff off;
  EXPECT_FALSE(AddressInfoAvailable());
  platform::TAddressInfo* res = reinterpret_cast<platform::TAddressInfo*>(1);
  EXPECT_EQ(GetAddrInfo("127.0.0.1", nullptr, nullptr, &res), 11003);
  EXPECT_EQ(res, nullptr);
  FreeAddrInfo(nullptr);  // nothing to do, no crash
}

TEST(WinSock2Binding, MissingAddressFunctionsInTheTable) {
  platform::TSocketFunctions t = platform::SocketFunctions();
  t.freeaddrinfo = nullptr;
  TTableSwap swap(t);
  EXPECT_FALSE(AddressInfoAvailable());
  EXPECT_EQ(GetAddrInfo("127.0.0.1", nullptr, nullptr, nullptr), 11003);
  EXPECT_NO_THROW(LoadWinSock2());  // optional functions
}

TEST(WinSock2Binding, MissingRequiredFunctionIsNotASocketError) {
  platform::TSocketFunctions t = platform::SocketFunctions();
  t.connect = nullptr;
  TTableSwap swap(t);
  try {
    LoadWinSock2();
    FAIL() << "no exception";
  } catch (const EclSocketError&) {
    FAIL() << "an EclSocketError";
  } catch (const rtl::Exception& e) {
    EXPECT_FALSE(e.Message().empty());
  }
}

TEST(IpAddress, IPv6TextRules) {
  struct {
    uint16_t groups[8];
    const char* text;
  } cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
      {{0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, "2001:DB8::1:0:0:1"},
      {{1, 0, 2, 0, 0, 0, 3, 4}, "1:0:2:0:0:0:3:4"},
      {{0xfe80, 0, 0, 0, 0, 0, 0, 0}, "FE80::"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
      {{1, 2, 3, 4, 5, 6, 7, 0}, "1:2:3:4:5:6:7:0"},
      {{0, 1, 2, 3, 4, 5, 6, 7}, "0:1:2:3:4:5:6:7"},
      {{0xabcd, 0x0ef, 0, 0, 0, 0, 0x10, 0xffff}, "ABCD:EF::10:FFFF"},
      {{1, 2, 3, 4, 5, 6, 0, 0}, "1:2:3:4:5:6::"},
  };
  for (const auto& c : cases) {
    uint8_t bytes[16];
    for (int i = 0; i < 8; ++i) {
      bytes[2 * i] = uint8_t(c.groups[i] >> 8);
      bytes[2 * i + 1] = uint8_t(c.groups[i]);
    }
    EXPECT_EQ(rtl::U8(IPv6ToText(bytes)), c.text);
  }
}

TEST(IpAddress, ParsedLiteralsAndTheirClasses) {
  struct {
    const char16_t* text;
    int family;
    const char* back;
  } cases[] = {
      {u"127.0.0.1", 2, "127.0.0.1"},
      {u"10.0.0.1", 2, "10.0.0.1"},
      {u"::1", 23, "::1"},
      {u"2001:db8::1:0:0:1", 23, "2001:DB8::1:0:0:1"},
      {u"fe80::", 23, "FE80::"},
      {u"::ffff:127.0.0.1", 23, "::FFFF:7F00:1"},
  };
  for (const auto& c : cases) {
    auto a = TclIPAddress::CreateIpAddress(c.text);
    EXPECT_EQ(a->AddressFamily(), c.family) << rtl::U8(c.text);
    EXPECT_EQ(a->IsIpV6(), c.family == 23);
    EXPECT_EQ(a->AddressLength(), c.family == 23 ? 28 : 16);
    EXPECT_EQ(rtl::U8(a->ToString()), c.back);
    EXPECT_TRUE(TclIPAddress::IsHostIP(c.text));
  }
}

TEST(IpAddress, NonLiteralsAreInvalidHostAddresses) {
  const char16_t* bad[] = {u"localhost", u"", u"1.2.3.4.5", u"::1::2", u"256.1.1.1", u"example",
                           u"1.2.3.4\u0100", u"12:", u"255.255.255.255"};
  for (const char16_t* t : bad) {
    // The broadcast text parses as IPv6-capable input but not as the IPv4 class.
    if (rtl::String(t) == u"255.255.255.255") {
      EXPECT_FALSE(TclIPAddress4().Parse(t));
      continue;
    }
    EXPECT_EQ(CodeOf([&] { TclIPAddress::CreateIpAddress(t); }), -2) << rtl::U8(t);
    EXPECT_FALSE(TclIPAddress::IsHostIP(t)) << rtl::U8(t);
  }
  // A zero inside the text never lets the part before it pass for the whole.
  rtl::String withZero = u"127.0.0.1";
  withZero.push_back(0);
  withZero += u"junk";
  EXPECT_EQ(CodeOf([&] { TclIPAddress::CreateIpAddress(withZero); }), -2);
}

TEST(IpAddress, WithoutAddressFunctionsOnlyIPv4Parses) {
  TForcedOff off;
  EXPECT_TRUE(TclIPAddress::IsHostIP(u"10.0.0.1"));
  EXPECT_FALSE(TclIPAddress::IsHostIP(u"::1"));
  auto a = TclIPAddress::CreateIpAddress(u"10.0.0.1");
  EXPECT_EQ(a->AddressFamily(), 2);
  EXPECT_EQ(a->AddressLength(), 16);
  EXPECT_EQ(CodeOf([] { TclIPAddress::CreateIpAddress(u"::1"); }), -2);
  // The None/Any objects are of the IPv4 class then.
  EXPECT_EQ(TclIPAddress::CreateAny(2)->AddressLength(), 16);
  EXPECT_EQ(CodeOf([] { TclIPAddress::CreateNone(23); }), -7);
}

TEST(IpAddress, PortsKeepTheirLow16BitsAndRefuseNegatives) {
  for (const char16_t* host : {u"127.0.0.1", u"::1"}) {
    auto a = TclIPAddress::CreateIpAddress(host);
    a->SetPort(70000);
    EXPECT_EQ(a->Port(), 4464);
    a->SetPort(80);
    EXPECT_EQ(a->Port(), 80);
    EXPECT_EQ(CodeOf([&] { a->SetPort(-1); }), -3);
  }
  TclIPAddress4 v4;
  v4.SetPort(65535);
  EXPECT_EQ(v4.Port(), 65535);
  // An IPv6-capable object without an address cannot take a port.
  TclIPAddress6 empty;
  EXPECT_EQ(CodeOf([&] { empty.SetPort(80); }), -2);
  EXPECT_EQ(empty.Address(), nullptr);
  EXPECT_EQ(empty.AddressFamily(), 0);
  EXPECT_EQ(empty.Port(), 0);
  EXPECT_EQ(empty.ToString(), u"");
}

TEST(IpAddress, NoneAnyAndBindingAddresses) {
  struct {
    int family;
    const char* text;
    int length;
  } cases[] = {{2, "0.0.0.0", 16}, {23, "::", 28}};
  for (const auto& c : cases) {
    EXPECT_EQ(rtl::U8(TclIPAddress::CreateNone(c.family)->ToString()), c.text);
    auto any = TclIPAddress::CreateAny(c.family);
    EXPECT_EQ(rtl::U8(any->ToString()), c.text);
    EXPECT_EQ(any->AddressLength(), c.length);
    EXPECT_EQ(any->AddressFamily(), c.family);
    EXPECT_EQ(rtl::U8(TclIPAddress::CreateBindingIpAddress(u"", c.family)->ToString()), c.text);
  }
  EXPECT_EQ(rtl::U8(TclIPAddress::CreateBindingIpAddress(u"127.0.0.1", 23)->ToString()), "127.0.0.1");
  for (int family : {0, 1, 10, 24}) {
    EXPECT_EQ(CodeOf([&] { TclIPAddress::CreateNone(family); }), -7) << family;
    EXPECT_EQ(CodeOf([&] { TclIPAddress4().Any(family); }), -7) << family;
  }
}

// --- resolvers -------------------------------------------------------------------------------------

// A getaddrinfo that answers every name but "localhost" with an IPv6 entry first and an IPv4
// entry second, without any traffic.
constexpr int kOurs = 0x4000;  // marks the entries this table made
platform::TAddressInfo* MakeEntry(int family) {
  auto* ai = new platform::TAddressInfo();
  ai->Family = ai->Address.Family = family;
  ai->SocketType = platform::WSA_SOCK_STREAM;
  ai->Flags = kOurs;
  const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
  const uint8_t v4[4] = {192, 0, 2, 7};
  if (family == platform::WSA_AF_INET6)
    std::memcpy(ai->Address.Address, v6, 16);
  else
    std::memcpy(ai->Address.Address, v4, 4);
  return ai;
}

// A scripted lookup can be held until the test lets it go, so a test decides what comes first.
struct TLookupGate {
  std::mutex Lock;
  std::condition_variable Changed;
  bool Hold = false;
  bool Entered = false;
  void Close() {
    std::lock_guard<std::mutex> g(Lock);
    Hold = true;
    Entered = false;
  }
  void Open() {
    {
      std::lock_guard<std::mutex> g(Lock);
      Hold = false;
    }
    Changed.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> g(Lock);
    Entered = true;
    Changed.notify_all();
    // Bounded, so a broken test cannot hang the suite.
    Changed.wait_for(g, std::chrono::seconds(30), [&] { return !Hold; });
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> g(Lock);
    return Changed.wait_for(g, std::chrono::seconds(30), [&] { return Entered; });
  }
};
TLookupGate gGate;

// Counts the scripted lists freed; a test waits for a number of them.
struct TFreedCount {
  std::mutex Lock;
  std::condition_variable Changed;
  int Count = 0;
  void Add() {
    {
      std::lock_guard<std::mutex> g(Lock);
      ++Count;
    }
    Changed.notify_all();
  }
  int Value() {
    std::lock_guard<std::mutex> g(Lock);
    return Count;
  }
  void Reset() {
    std::lock_guard<std::mutex> g(Lock);
    Count = 0;
  }
  bool WaitFor(int AValue) {
    std::unique_lock<std::mutex> g(Lock);
    return Changed.wait_for(g, std::chrono::seconds(60), [&] { return Count >= AValue; });
  }
};
TFreedCount gScriptedFreed;

std::atomic<int> gScriptedLookups{0};
std::atomic<int> gScriptedDelayUsMax{0};  // when set: a delay from 0 to this many microseconds
int ScriptedGetAddrInfo(const char* node, const char* service, const platform::TAddressInfo* hints,
                        platform::TAddressInfo** res) {
  if (hints && (hints->Flags & platform::WSA_AI_NUMERICHOST))
    return platform::SystemSocketFunctions().getaddrinfo(node, service, hints, res);
  ++gScriptedLookups;
  gGate.Pass();
  if (int most = gScriptedDelayUsMax.load(); most > 0) {
    // Spread over the lookups themselves: each runs on a fresh worker, and a seed of the thread's
    // id repeats when the system reuses the id, which gave every lookup of a run the same delay.
    static std::atomic<unsigned> count{0};
    const unsigned mixed = (count.fetch_add(1) + 1) * 2654435761u;
    std::this_thread::sleep_for(std::chrono::microseconds((mixed >> 8) % unsigned(most + 1)));
  }
  const bool ipv4Only = hints && hints->Family == platform::WSA_AF_INET;
  if (std::strcmp(node, "both.test") == 0) {
    platform::TAddressInfo* v4 = MakeEntry(platform::WSA_AF_INET);
    if (ipv4Only) {
      *res = v4;
    } else {
      *res = MakeEntry(platform::WSA_AF_INET6);
      (*res)->Next = v4;
    }
    return 0;
  }
  if (std::strcmp(node, "v6only.test") == 0 && !ipv4Only) {
    *res = MakeEntry(platform::WSA_AF_INET6);
    return 0;
  }
  return platform::WSAHOST_NOT_FOUND;
}
void ScriptedFreeAddrInfo(platform::TAddressInfo* ai) {
  if (ai && ai->Flags != kOurs) {  // a list of the system's
    platform::SystemSocketFunctions().freeaddrinfo(ai);
    return;
  }
  while (ai) {
    platform::TAddressInfo* next = ai->Next;
    delete ai;
    ai = next;
  }
  gScriptedFreed.Add();
}
platform::TSocketFunctions ScriptedTable() {
  platform::TSocketFunctions t = platform::SystemSocketFunctions();
  t.getaddrinfo = ScriptedGetAddrInfo;
  t.freeaddrinfo = ScriptedFreeAddrInfo;
  return t;
}

TEST(HostResolver, BothFamiliesResolveToIPv4EvenWhenIPv6ComesFirst) {
  TTableSwap swap(ScriptedTable());
  EXPECT_EQ(rtl::U8(TclHostResolver::GetIPAddress(u"both.test")), "192.0.2.7");
  EXPECT_EQ(rtl::U8(TclHostResolver6().ResolveIP(u"v6only.test")), "2001:DB8::5");
  rtl::TStringList list;
  TclHostResolver6().ResolveIPList(u"both.test", list);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(rtl::U8(list[0]), "2001:DB8::5");
  EXPECT_EQ(rtl::U8(list[1]), "192.0.2.7");
}

TEST(HostResolver, LiteralsComeBackUnchangedWithoutALookup) {
  TTableSwap swap(ScriptedTable());
  gScriptedLookups = 0;
  EXPECT_EQ(TclHostResolver::GetIPAddress(u"127.0.0.1"), u"127.0.0.1");
  EXPECT_EQ(TclHostResolver6().ResolveIP(u"::1"), u"::1");
  {
    TForcedOff off;
    EXPECT_EQ(TclHostResolver4().ResolveIP(u"127.0.0.1"), u"127.0.0.1");
  }
  EXPECT_EQ(gScriptedLookups.load(), 0);
}

TEST(HostResolver, UnknownNamesRaiseHostNotFound) {
  TTableSwap swap(ScriptedTable());
  EXPECT_EQ(CodeOf([] { TclHostResolver6().ResolveIP(u"nothing.test"); }), 11001);
  TForcedOff off;
  EXPECT_EQ(CodeOf([] { TclHostResolver4().ResolveIP(u"nothing.test"); }), 11001);
  // Names the system code page cannot carry are not looked up at all.
  gScriptedLookups = 0;
  EXPECT_EQ(CodeOf([] { TclHostResolver4().ResolveIP(u"\u4e2d.test"); }), 11001);
  EXPECT_EQ(gScriptedLookups.load(), 0);
}

TEST(HostResolver, LocalhostThroughBothResolvers) {
  EXPECT_EQ(rtl::U8(TclHostResolver6().ResolveIP(u"localhost")), "127.0.0.1");
  TForcedOff off;
  EXPECT_EQ(rtl::U8(TclHostResolver::GetIPAddress(u"localhost")), "127.0.0.1");
  rtl::TStringList list;
  TclHostResolver4().ResolveIPList(u"localhost", list);
  ASSERT_GE(list.Count(), 1);
  EXPECT_EQ(rtl::U8(list[0]), "127.0.0.1");
}

TEST(HostResolver, IPv4ResolverCompletesThroughItsHiddenWindowWhileMessagesRun) {
  TTableSwap swap(ScriptedTable());
  TForcedOff off;
  // The lookup is held until a message posted to another window during it has been dispatched by
  // the resolver's wait; only that handler lets the lookup answer.
  gGate.Close();
  std::atomic<int> handled{0};
  platform::gui::HWND other = platform::gui::AllocateHWnd([&](platform::gui::TMessage& m) {
    if (m.Msg != platform::gui::WM_USER + 1) return;
    ++handled;
    gGate.Open();
  });
  std::thread poster([&] {
    if (gGate.WaitEntered()) platform::gui::PostMessage(other, platform::gui::WM_USER + 1, 0, 0);
  });
  rtl::String ip;
  int code = CodeOf([&] { ip = TclHostResolver4().ResolveIP(u"both.test"); });
  gGate.Open();
  poster.join();
  platform::gui::DeallocateHWnd(other);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(rtl::U8(ip), "192.0.2.7");
  EXPECT_EQ(handled.load(), 1);
}

TEST(HostResolver, IPv4ResolverTimesOutAndTheLateWorkerWritesNothing) {
  TTableSwap swap(ScriptedTable());
  TForcedOff off;
  gScriptedFreed.Reset();
  gGate.Close();  // the lookup answers only after its resolver has given up
  // A window timer keeps the wait busy with messages; the time-out still comes, counted from the
  // start of the lookup (counted from each message it would never come while the timer runs).
  int ticks = 0;
  platform::gui::HWND wnd = platform::gui::AllocateHWnd([&](platform::gui::TMessage& m) {
    if (m.Msg == platform::gui::WM_TIMER) ++ticks;
  });
  platform::gui::SetTimer(wnd, 1, 20);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CodeOf([] { TclHostResolver4().ResolveIP(u"both.test"); }), -1);
  auto elapsed = std::chrono::steady_clock::now() - start;
  platform::gui::DeallocateHWnd(wnd);
  EXPECT_GE(elapsed, std::chrono::milliseconds(TclHostResolver4::LookupTimeOut - 100));
  EXPECT_GT(ticks, 10);
  // The worker finishes after the resolver and its list are gone (ASan watches for writes).
  gGate.Open();
  EXPECT_TRUE(gScriptedFreed.WaitFor(1));
  EXPECT_FALSE(platform::gui::ProcessMessages());  // no late completion message for anybody
}

// Thousands of lookups whose time-out falls about when the worker finishes: whichever wins, the
// worker never writes into a list or posts to a window its caller gave up (ASan watches the
// lists, which are freed the moment the caller lets go).
TEST(HostResolver, IPv4LookupsRacingTheirTimeOutTouchNothingLater) {
  TTableSwap swap(ScriptedTable());
  TForcedOff off;
  gScriptedLookups = 0;
  gScriptedFreed.Reset();
  gScriptedDelayUsMax = 3000;
  int answered = 0, timedOut = 0, other = 0;
#ifdef _WIN32
  // Under Wine a lookup's thread and window cost about ten times what they cost on Linux.
  constexpr int kLookups = 150, kRounds = 30;
#else
  constexpr int kLookups = 1500, kRounds = 300;
#endif
  for (int i = 0; i < kLookups; ++i) {
    TclHostResolver4 r;
    r.SetTimeOut(1 + i % 2);
    try {
      if (rtl::U8(r.ResolveIP(u"both.test")) == "192.0.2.7") ++answered;
      else ++other;
    } catch (const EclSocketError& e) {
      if (e.ErrorCode() == TimeoutOccuredCode) ++timedOut;
      else ++other;
    }
  }
  // The lookup itself, many at once, given up at every moment around their completion.
  for (int round = 0; round < kRounds; ++round) {
    struct TLookup {
      platform::gui::HWND Wnd;
      std::vector<uint32_t>* List;
      uintptr_t Handle;
    };
    std::vector<TLookup> lookups;
    for (int i = 0; i < 32; ++i) {
      TLookup l{platform::gui::AllocateHWnd([](platform::gui::TMessage&) {}), new std::vector<uint32_t>, 0};
      l.Handle = AsyncGetHostByName(l.Wnd, TclHostResolver4::LookupCompletedMessage, "both.test", l.List);
      ASSERT_NE(l.Handle, 0u);
      lookups.push_back(l);
    }
    std::this_thread::sleep_for(std::chrono::microseconds((round * 7919) % 3000));
    for (TLookup& l : lookups) {
      CancelAsyncRequest(l.Handle);
      delete l.List;
      platform::gui::RemovePendingMessages(l.Wnd);
      platform::gui::DeallocateHWnd(l.Wnd);
    }
  }
  // Every worker is done with the scripted functions before the table goes back.
  const int launched = kLookups + kRounds * 32;
  EXPECT_TRUE(gScriptedFreed.WaitFor(launched));
  gScriptedDelayUsMax = 0;
  EXPECT_EQ(gScriptedLookups.load(), launched);
  EXPECT_EQ(gScriptedFreed.Value(), launched);
  EXPECT_EQ(other, 0);
  // Both outcomes happened, so the race was run from both sides.
  EXPECT_GT(answered, 0);
  EXPECT_GT(timedOut, 0);
  std::printf("  %d answered, %d timed out\n", answered, timedOut);
  EXPECT_FALSE(platform::gui::ProcessMessages());  // no late completion message for anybody
}

}  // namespace
