// Pump mode (IImClientPump) over real loopback sockets: callbacks only inside
// Pump and on its thread, the queue's bound holding a flooding server back,
// Close/Release/Connect with events queued, Pump from inside a callback, the
// mode rules, and the same sink calls as the network-thread mode for the same
// bytes (a replayed session and the fuzz sequence corpus).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/im_server_client.h"
#include "gtest/gtest.h"
#include "harness.h"
#include "kelvo/im_client_network.h"
#include "kelvo/im_client_pump.h"
#include "kelvo/kelvo_core.h"
#include "support/loopback_server.h"
#include "support/recording_sink.h"
#include "support/waiting_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using test::Msg;
using Clock = std::chrono::steady_clock;

struct Client {
  IImClient* im = static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION));
  IImClientPump* pump =
      im ? static_cast<IImClientPump*>(im->QueryInterface(IID_IImClientPump, IM_PUMP_INTERFACE_VERSION))
         : nullptr;
  void Release() {
    if (im) im->Release();
    im = nullptr;
    pump = nullptr;
  }
  ~Client() { Release(); }
};

ServerAddress To(uint16_t port) {
  ServerAddress a{};
  a.serverIp = 0x7F000001;
  a.serverPort = port;
  return a;
}

test::Bytes Concat(const std::vector<test::Bytes>& parts) {
  test::Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

test::Bytes Friend(uint32_t id) {
  return Msg(47).U8(22).U32(id).Zeros(3).U8(2).Zeros(8).Raw("amy").Zeros(2).Build();
}
test::Bytes Presence(uint32_t id, uint8_t state) { return Msg(61).U32(id).U8(state).Zeros(4).Build(); }

// Waits (bounded) until `n` events are queued.
bool AwaitPending(IImClientPump* pump, uint32_t n, std::chrono::milliseconds limit = 5s) {
  const auto end = Clock::now() + limit;
  while (pump->PendingEvents() < n) {
    if (Clock::now() > end) return false;
    pump->WaitForEvents(50);
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Pumps (bounded) until the sink has seen `name` `times` times.
bool PumpUntil(IImClientPump* pump, test::WaitingSink& sink, const std::string& name, int times = 1,
               std::chrono::milliseconds limit = 5s) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    pump->WaitForEvents(20);
    pump->Pump(1000);
    if (sink.WaitFor(name, times, 0ms)) return true;
  }
  return false;
}

// The OnLog line that comes before OnClose when the server closes.
std::string ClosedByPeer(uint16_t port) {
  return "OnLog('ImServerClient: connection to 127.0.0.1:" + std::to_string(port) +
         " lost: connection closed by peer\\x0a')\n";
}

TEST(PumpTest, InterfaceVersionsAndModeRules) {
  Client c;
  ASSERT_NE(c.pump, nullptr);
  // Version 1.0, any build and revision; the client's own 1.1 line is not this one's.
  const struct {
    uint32_t version;
    bool accepted;
  } versions[] = {{0x01000000, true}, {0x0100FF07, true}, {0x01010100, false},
                  {0x02000000, false}, {0x00000000, false}};
  for (const auto& v : versions) {
    EXPECT_EQ(c.im->QueryInterface(IID_IImClientPump, v.version) != nullptr, v.accepted)
        << std::hex << v.version;
  }
  // The face answers for the client object.
  EXPECT_TRUE(c.pump->IsValid());
  EXPECT_EQ(c.pump->QueryInterface(IID_IImClient, IM_INTERFACE_VERSION), static_cast<void*>(c.im));
  EXPECT_EQ(c.pump->QueryInterface(IID_IImClientPump, IM_PUMP_INTERFACE_VERSION),
            static_cast<void*>(c.pump));

  EXPECT_EQ(c.pump->GetDeliveryMode(), KELVO_DELIVERY_NETWORK_THREAD);
  EXPECT_FALSE(c.pump->SetDeliveryMode(7));
  EXPECT_EQ(c.pump->Pump(100), 0u) << "nothing to pump in network-thread mode";
  EXPECT_TRUE(c.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
  EXPECT_TRUE(c.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP)) << "the current mode again";

  test::LoopbackServer server;
  test::WaitingSink sink;
  ASSERT_TRUE(c.im->SetSink(&sink));
  const ServerAddress at = To(server.port());
  ASSERT_TRUE(c.im->Connect(&at));
  EXPECT_FALSE(c.pump->SetDeliveryMode(KELVO_DELIVERY_NETWORK_THREAD)) << "while connecting";
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(AwaitPending(c.pump, 1));
  EXPECT_FALSE(c.pump->SetDeliveryMode(KELVO_DELIVERY_NETWORK_THREAD)) << "while connected";
  server.Close();
  ASSERT_TRUE(AwaitPending(c.pump, 3));  // OnConnect, the closure's reason, OnClose
  EXPECT_FALSE(c.pump->SetDeliveryMode(KELVO_DELIVERY_NETWORK_THREAD)) << "with events queued";
  EXPECT_EQ(c.pump->Pump(100), 3u);
  EXPECT_TRUE(c.pump->SetDeliveryMode(KELVO_DELIVERY_NETWORK_THREAD));
  EXPECT_EQ(c.pump->GetDeliveryMode(), KELVO_DELIVERY_NETWORK_THREAD);
  EXPECT_EQ(sink.Take(), "QueryInterface(IID_IImClientSink,16843008)\nOnConnect(1)\n" +
                             ClosedByPeer(server.port()) + "OnClose(0)\n");
  // Release through the pump face ends the client (ASan sees a leak or a
  // double end otherwise).
  c.pump->Release();
  c.im = nullptr;
}

TEST(PumpTest, CallbacksRunOnlyInsidePumpOnThePumpingThread) {
  Client c;
  ASSERT_TRUE(c.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
  test::LoopbackServer server;
  test::WaitingSink sink;
  std::atomic<bool> pumping{false};
  std::atomic<int> outside{0}, elsewhere{0};
  const std::thread::id me = std::this_thread::get_id();
  ASSERT_TRUE(c.im->SetSink(&sink));
  sink.Take();
  sink.hook = [&](const std::string&) {
    if (!pumping.load()) ++outside;
    if (std::this_thread::get_id() != me) ++elsewhere;
  };
  const ServerAddress at = To(server.port());
  ASSERT_TRUE(c.im->Connect(&at));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(server.Send(Concat({Friend(100), Presence(100, 2), Presence(100, 1)})));
  server.Close();
  // OnConnect, three messages, the closure's reason, OnClose: queued, not
  // delivered.
  ASSERT_TRUE(AwaitPending(c.pump, 6));
  UserRecord u{};
  EXPECT_FALSE(c.im->GetUser(100, &u)) << "the tables change only inside Pump";
  EXPECT_EQ(sink.log, "");

  pumping = true;
  EXPECT_EQ(c.pump->Pump(2), 2u);  // OnConnect, the user list
  EXPECT_TRUE(c.im->GetUser(100, &u));
  EXPECT_EQ(c.pump->PendingEvents(), 4u);
  // One event of a run of two presence messages: the run stops at the
  // count asked for.
  EXPECT_EQ(c.pump->Pump(1), 1u);
  EXPECT_EQ(c.pump->PendingEvents(), 3u);
  EXPECT_EQ(c.pump->Pump(100), 3u);
  EXPECT_EQ(c.pump->Pump(100), 0u);
  pumping = false;
  EXPECT_EQ(sink.Take(), "OnConnect(1)\nOnOnlineStateChanged(100)\nOnOnlineStateChanged(100)\n" +
                             ClosedByPeer(server.port()) + "OnClose(0)\n");
  EXPECT_EQ(outside.load(), 0);
  EXPECT_EQ(elsewhere.load(), 0);
  EXPECT_FALSE(c.im->GetUser(100, &u)) << "the closure emptied the roster when pumped";
}

TEST(PumpTest, QueueBoundHoldsAFloodingServerBackAndLosesNothing) {
  Client c;
  ASSERT_TRUE(c.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
  test::LoopbackServer server;
  test::WaitingSink sink;
  ASSERT_TRUE(c.im->SetSink(&sink));
  const ServerAddress at = To(server.port());
  ASSERT_TRUE(c.im->Connect(&at));
  ASSERT_TRUE(server.Accept());
  // Far more than the queue and both sockets' buffers hold.
  constexpr uint32_t kMessages = 120000;  // 268 bytes each: ~31 MiB
  std::atomic<uint32_t> sent{0};
  std::thread flood([&] {
    for (uint32_t i = 0; i < kMessages; i += 64) {
      std::vector<test::Bytes> chunk;
      for (uint32_t k = i; k < i + 64 && k < kMessages; ++k) chunk.push_back(Msg(62).U32(1).U8(0).PadTo(268).Build());
      if (!server.Send(Concat(chunk))) return;
      sent = i + 64 < kMessages ? i + 64 : kMessages;
    }
  });
  // The host does not pump: the server's writes stall short of the end.
  uint32_t last = 0;
  const auto end = Clock::now() + 20s;
  for (;;) {
    std::this_thread::sleep_for(300ms);
    const uint32_t now = sent.load();
    if (now == last || Clock::now() > end) break;
    last = now;
  }
  EXPECT_LT(sent.load(), kMessages) << "the server's writes should block";
  const uint32_t queued = c.pump->PendingEvents();
  EXPECT_GT(queued, 0u);
  // The messages wait in place (no per-event head); the report of the
  // connection coming up is one event more.
  EXPECT_LE((queued - 1) * 268u, KELVO_PUMP_QUEUE_BYTES);
  EXPECT_EQ(sink.log, "QueryInterface(IID_IImClientSink,16843008)\n");

  // Now the host pumps: everything arrives, once, in order.
  uint32_t chats = 0;
  const auto stop = Clock::now() + 120s;
  while (chats < kMessages && Clock::now() < stop) {
    c.pump->WaitForEvents(50);
    c.pump->Pump(4096);
    const std::string lines = sink.Take();
    for (std::size_t p = lines.find("OnChatMessage("); p != std::string::npos;
         p = lines.find("OnChatMessage(", p + 1)) {
      ++chats;
    }
  }
  flood.join();
  EXPECT_EQ(chats, kMessages);
  EXPECT_EQ(sent.load(), kMessages);
}

TEST(PumpTest, ReadingResumesAfterAFullQueueWhileAnotherThreadKeepsCallingIn) {
  // The queue fills and empties again and again while a second host thread
  // calls in a tight loop: every pause of reading ends once the host has
  // taken half of what waits, and the two threads' turns at the lock must
  // not cost a scheduler wake-up per message (beside a CPU hog that made
  // 20,000 chats take up to 30 s).
  Client c;
  ASSERT_TRUE(c.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
  test::LoopbackServer server;
  test::RecordingSink sink;
  std::atomic<uint32_t> chats{0};
  sink.onCall = [&](const std::string& name) {
    if (name == "OnChatMessage") chats.fetch_add(1, std::memory_order_relaxed);
    sink.log.clear();
  };
  ASSERT_TRUE(c.im->SetSink(&sink));
  const ServerAddress at = To(server.port());
  ASSERT_TRUE(c.im->Connect(&at));
  ASSERT_TRUE(server.Accept());
  // 64-byte chats: the queue holds exactly KELVO_PUMP_QUEUE_BYTES / 64.
  constexpr uint32_t kChats = 20000, kBatch = 500;
  const test::Bytes chat =
      Msg(73).U32(7).Zeros(5).U8(1).U8(2).U8(3).Zeros(7).Raw(std::string(40, 'c')).U8(0).Build();
  ASSERT_EQ(chat.size(), 64u);
  std::vector<test::Bytes> parts(kBatch, chat);
  const test::Bytes batch = Concat(parts);
  std::atomic<bool> done{false};
  std::thread sender([&] {
    for (uint32_t i = 0; i < kChats / kBatch && !done; ++i) {
      if (!server.Send(batch)) return;
    }
  });
  std::thread busy([&] {
    UserRecord u{};
    while (!done) {
      c.im->GetUser(1, &u);
      (void)c.pump->PendingEvents();
      (void)c.im->GetMyInfo();
    }
  });
  const auto end = Clock::now() + 30s;
  while (chats.load() < kChats && Clock::now() < end) {
    c.pump->WaitForEvents(20);
    c.pump->Pump(64);
  }
  done = true;
  busy.join();
  EXPECT_EQ(chats.load(), kChats) << "reading stopped after a full queue";
  // Wakes a sender blocked in its write, should the client have stopped.
  ::shutdown(server.connection(), 2);
  sender.join();
}

TEST(PumpTest, CloseReleaseAndReconnectDiscardWhatIsQueued) {
  test::LoopbackServer server;
  const ServerAddress at = To(server.port());
  const test::Bytes stream = Concat({Friend(100), Presence(100, 2)});
  for (const char* how : {"Close", "Connect", "Release"}) {
    SCOPED_TRACE(how);
    Client c;
    ASSERT_TRUE(c.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
    test::WaitingSink sink;
    ASSERT_TRUE(c.im->SetSink(&sink));
    sink.Take();
    ASSERT_TRUE(c.im->Connect(&at));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(server.Send(stream));
    server.Close();
    ASSERT_TRUE(AwaitPending(c.pump, 4));  // OnConnect, 2 messages, OnClose
    if (std::string(how) == "Release") {
      c.Release();
      EXPECT_EQ(sink.log, "") << "nothing after Release";
      continue;
    }
    if (std::string(how) == "Close") {
      EXPECT_TRUE(c.im->Close());
    } else {
      // The lost connection's events go with it; the new one's come through.
      ASSERT_TRUE(c.im->Connect(&at));
      ASSERT_TRUE(server.Accept());
      ASSERT_TRUE(server.Send(Friend(200)));
      ASSERT_TRUE(AwaitPending(c.pump, 2));
    }
    c.pump->Pump(100);
    EXPECT_EQ(sink.Take(), std::string(how) == "Close" ? "" : "OnConnect(1)\n")
        << "no event of the discarded connection";
    UserRecord u{};
    EXPECT_FALSE(c.im->GetUser(100, &u));
    EXPECT_EQ(c.im->GetUser(200, &u), std::string(how) == "Connect");
  }
}

TEST(PumpTest, PumpFromInsideACallbackDoesNothingAndCallbacksMayCloseOrRelease) {
  test::LoopbackServer server;
  const ServerAddress at = To(server.port());
  for (const char* inside : {"Pump", "Close", "Release"}) {
    SCOPED_TRACE(inside);
    Client c;
    ASSERT_TRUE(c.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
    test::WaitingSink sink;
    IImClientPump* pump = c.pump;
    IImClient* im = c.im;
    std::vector<uint32_t> nested;
    sink.hook = [&](const std::string& name) {
      if (name != "OnOnlineStateChanged") return;
      const std::string what = inside;
      if (what == "Pump") nested.push_back(pump->Pump(100));
      if (what == "Pump") {
        const auto t0 = Clock::now();
        pump->WaitForEvents(2000);
        nested.push_back(Clock::now() - t0 < 1s ? 1u : 0u);
      }
      if (what == "Close") im->Close();
      if (what == "Release") im->Release();
    };
    ASSERT_TRUE(c.im->SetSink(&sink));
    sink.Take();
    ASSERT_TRUE(c.im->Connect(&at));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(server.Send(Concat({Friend(100), Presence(100, 2), Presence(100, 3)})));
    ASSERT_TRUE(AwaitPending(c.pump, 4));
    const uint32_t ran = c.pump->Pump(100);
    if (std::string(inside) == "Pump") {
      EXPECT_EQ(ran, 4u);
      EXPECT_EQ(nested, (std::vector<uint32_t>{0, 1, 0, 1})) << "no nesting; the wait returns at once";
      EXPECT_EQ(sink.Take(), "OnConnect(1)\nOnOnlineStateChanged(100)\nOnOnlineStateChanged(100)\n");
    } else {
      // The first presence closes or releases: the second is never delivered.
      EXPECT_EQ(ran, 3u);
      EXPECT_EQ(sink.Take(), "OnConnect(1)\nOnOnlineStateChanged(100)\n");
      if (std::string(inside) == "Release") c.im = nullptr, c.pump = nullptr;
    }
  }
}

// The login's progress as the host reads it (IImClientNetwork), step by
// step in pump mode: the state is that of the events pumped so far. The
// settling second is judged on a clock the test moves.
std::atomic<int64_t> fakeNowMs{0};
ClientLock::Clock::time_point FakeNow() {
  return ClientLock::Clock::time_point(std::chrono::milliseconds(fakeNowMs.load()));
}

struct LoginStep {
  enum Op { kSend, kPump, kLogin, kClose, kServerClose, kReconnect, kAdvanceMs } op;
  uint32_t state;      // GetLoginState after the step
  uint32_t n = 0;      // kPump: events; kAdvanceMs: milliseconds
  test::Bytes bytes{};  // kSend
};
LoginStep Send(std::vector<test::Bytes> parts, uint32_t state) {
  return {LoginStep::kSend, state, 0, Concat(parts)};
}
LoginStep PumpN(uint32_t n, uint32_t state) { return {LoginStep::kPump, state, n}; }
LoginStep Do(LoginStep::Op op, uint32_t state) { return {op, state}; }
LoginStep Advance(uint32_t ms, uint32_t state) { return {LoginStep::kAdvanceMs, state, ms}; }

TEST(PumpTest, LoginStateFollowsTheLoginAsPumped) {
  constexpr uint32_t N = KELVO_LOGIN_NONE, W = KELVO_LOGIN_WAITING, L = KELVO_LOGIN_LOADING,
                     C = KELVO_LOGIN_COMPLETE;
  // As kelvo-server answers a login: server info, login ok, own data, the
  // group list, the user list (empty when there are no friends).
  const test::Bytes info = Msg(45).Fill(7, 0).Build();
  const test::Bytes ok = Msg(51).Fill(4, 0).Build();
  const test::Bytes mine = Msg(48).U32(1001).PadTo(56).Build();
  const test::Bytes groups = Msg(46).U8(10).U16(1).U16(0).U8(1).U16(0).Raw("g").U8(0).Build();
  const test::Bytes noFriends = Msg(47).Build();
  const test::Bytes refused = Msg(52).U16(0).Text("no", 256).Build();
  const test::Bytes logout = Msg(53).Fill(6, 0).Build();
  const auto loaded = [&] {
    return std::vector<LoginStep>{Do(LoginStep::kLogin, W),
                                  Send({info, ok, mine, groups, Friend(100)}, W), PumpN(5, C)};
  };
  const auto plus = [](std::vector<LoginStep> a, const std::vector<LoginStep>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Row {
    const char* name;
    std::vector<LoginStep> steps;
  };
  const std::vector<Row> rows = {
      {"the reference server's order, one event at a time",
       {Do(LoginStep::kLogin, W), Send({info, ok, mine, groups, Friend(100), Presence(100, 2)}, W),
        PumpN(1, W), PumpN(1, L), PumpN(1, L), PumpN(1, L), PumpN(1, C), PumpN(1, C),
        Advance(5000, C)}},
      {"an empty friend list counts",
       {Do(LoginStep::kLogin, W), Send({ok, noFriends, groups, mine}, W), PumpN(4, C)}},
      // No list of some kind: complete one second after the last of the
      // login's messages, not after the answer. No answer: no settling.
      {"no friend list settles a second after the last message",
       {Do(LoginStep::kLogin, W), Advance(5000, W), Send({ok}, W), PumpN(1, L), Advance(900, L),
        Send({mine, groups}, L), PumpN(2, L), Advance(999, L), Advance(1, C)}},
      {"refused", {Do(LoginStep::kLogin, W), Send({refused}, W), PumpN(1, N)}},
      {"logged out", plus(loaded(), {Send({logout}, C), PumpN(1, N)})},
      {"Close while loading",
       {Do(LoginStep::kLogin, W), Send({ok}, W), PumpN(1, L), Do(LoginStep::kClose, N)}},
      {"lost: loading until the end is pumped",
       {Do(LoginStep::kLogin, W), Send({ok}, W), PumpN(1, L), Do(LoginStep::kServerClose, L),
        PumpN(2, N)}},
      // The loss is never delivered: the new connection replaces it.
      {"Connect over an unpumped loss",
       {Do(LoginStep::kLogin, W), Send({ok, mine}, W), PumpN(2, L), Do(LoginStep::kServerClose, L),
        Do(LoginStep::kReconnect, N), PumpN(1, N)}},
      // Nothing of the new connection pumped yet when its Login goes out.
      {"Login before OnConnect is pumped",
       {Do(LoginStep::kClose, N), Do(LoginStep::kReconnect, N), Do(LoginStep::kLogin, W),
        Send({ok}, W), PumpN(2, L)}},
      // What was left of the first login's data does not count for the
      // second, nor does what server info emptied.
      {"a second Login starts over",
       plus(loaded(), {Do(LoginStep::kLogin, W), Send({Friend(100), ok, mine}, W), PumpN(3, L),
                       Send({groups, info, Friend(100)}, L), PumpN(3, L), Send({groups}, L),
                       PumpN(1, C)})},
  };
  test::LoopbackServer server;
  const ServerAddress at = To(server.port());
  const uint8_t password[16] = {};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Client c;
    ASSERT_TRUE(c.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
    auto* net = static_cast<IImClientNetwork*>(
        c.im->QueryInterface(IID_IImClientNetwork, IM_NETWORK_INTERFACE_VERSION));
    ASSERT_NE(net, nullptr);
    fakeNowMs = 1000000;
    static_cast<ImServerClient*>(c.im)->SetLoginClock(&FakeNow);
    test::WaitingSink sink;
    std::vector<uint32_t> insideAnswer;
    sink.hook = [&](const std::string& name) {
      if (name == "OnLoginResult") insideAnswer.push_back(net->GetLoginState());
    };
    ASSERT_TRUE(c.im->SetSink(&sink));
    ASSERT_TRUE(c.im->Connect(&at));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(AwaitPending(c.pump, 1));
    ASSERT_EQ(c.pump->Pump(1), 1u);
    EXPECT_EQ(net->GetLoginState(), N) << "connected, no login";
    std::size_t index = 0;
    for (const LoginStep& step : row.steps) {
      SCOPED_TRACE("step " + std::to_string(index++));
      switch (step.op) {
        case LoginStep::kSend: ASSERT_TRUE(server.Send(step.bytes)); break;
        case LoginStep::kPump:
          ASSERT_TRUE(AwaitPending(c.pump, step.n));
          ASSERT_EQ(c.pump->Pump(step.n), step.n);
          break;
        case LoginStep::kLogin: ASSERT_TRUE(c.im->Login(1001, password, nullptr)); break;
        case LoginStep::kClose: ASSERT_TRUE(c.im->Close()); break;
        case LoginStep::kServerClose:
          // Everything sent so far, the reason and OnClose wait unpumped.
          server.Close();
          ASSERT_TRUE(AwaitPending(c.pump, 2));
          break;
        case LoginStep::kReconnect:
          ASSERT_TRUE(c.im->Connect(&at));
          ASSERT_TRUE(server.Accept());
          ASSERT_TRUE(AwaitPending(c.pump, 1));  // up, its OnConnect unpumped
          break;
        case LoginStep::kAdvanceMs: fakeNowMs += step.n; break;
      }
      EXPECT_EQ(net->GetLoginState(), step.state);
    }
    // Inside OnLoginResult(1) the data is still to come; a refusal has
    // already ended the login.
    const uint32_t expected = sink.log.find("OnLoginResult(0") == std::string::npos ? L : N;
    for (uint32_t seen : insideAnswer) EXPECT_EQ(seen, expected);
  }
}

// What the sink hears from one byte stream, delivered over a real socket in
// either mode, until the server's close is reported.
std::string SinkCallsFor(const test::Bytes& stream, bool pump) {
  test::LoopbackServer server;
  Client c;
  test::WaitingSink sink;
  if (pump) {
    EXPECT_TRUE(c.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
  }
  EXPECT_TRUE(c.im->SetSink(&sink));
  const ServerAddress at = To(server.port());
  EXPECT_TRUE(c.im->Connect(&at));
  EXPECT_TRUE(server.Accept());
  EXPECT_TRUE(server.Send(stream));
  server.Close();
  if (pump) {
    EXPECT_TRUE(PumpUntil(c.pump, sink, "OnClose"));
  } else {
    EXPECT_TRUE(sink.WaitFor("OnClose"));
  }
  c.Release();
  // The closure's reason names the server's port, which differs per run.
  std::string calls = sink.Take();
  const std::string port = ":" + std::to_string(server.port());
  for (std::size_t at = calls.find(port); at != std::string::npos; at = calls.find(port, at)) {
    calls.replace(at, port.size(), ":PORT");
  }
  return calls;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The records of a sequence input as the messages Harness::Deliver makes of
// them (length word forced, padded or cut).
test::Bytes StreamOf(const std::vector<uint8_t>& input) {
  test::Bytes out;
  std::size_t pos = 1;
  while (pos + 2 <= input.size()) {
    std::size_t n = static_cast<std::size_t>(input[pos] | (input[pos + 1] << 8));
    pos += 2;
    if (n > input.size() - pos) n = input.size() - pos;
    std::size_t length = n >= 2 ? ((input[pos] | (input[pos + 1] << 8)) & 0x7FFF) : n;
    if (length < 4) length = 4;
    test::Bytes m(length, 0);
    for (std::size_t i = 0; i < n && i < length; ++i) m[i] = input[pos + i];
    m[0] = static_cast<uint8_t>(length);
    m[1] = static_cast<uint8_t>((m[1] & 0x80) | ((length >> 8) & 0x7F));
    out.insert(out.end(), m.begin(), m.end());
    pos += n;
  }
  return out;
}

const char* const kCorpus[] = {"recorded_demo_alice", "seed_00_00", "seed_00_3f", "seed_01_00",
                               "seed_01_3f",          "seed_02_00", "seed_02_3f"};

TEST(PumpTest, SameSinkCallsInBothModesForARecordedSessionOverSockets) {
  const auto input = ReadFile(std::string(KELVO_SEQUENCE_CORPUS) + "/recorded_demo_alice");
  ASSERT_GT(input.size(), 100u);
  const test::Bytes stream = StreamOf(input);
  const std::string network = SinkCallsFor(stream, false);
  EXPECT_NE(network.find("OnLoginResult"), std::string::npos) << network;
  EXPECT_EQ(SinkCallsFor(stream, true), network);
}

TEST(PumpTest, SameSinkCallsInBothModesForTheSequenceCorpus) {
  // The fuzz harness's sink calls back into the client (lookups,
  // enumerations, Close, Release) as its mode byte says; an observer
  // records what it is told.
  for (const char* name : kCorpus) {
    SCOPED_TRACE(name);
    const auto input = ReadFile(std::string(KELVO_SEQUENCE_CORPUS) + "/" + name);
    ASSERT_FALSE(input.empty());
    std::string calls[2];
    for (int pump = 0; pump < 2; ++pump) {
      test::RecordingSink observer;
      {
        fuzz::Harness harness(input[0], pump == 1, &observer);
        std::size_t pos = 1;
        for (int count = 0; count < 64 && pos + 2 <= input.size(); ++count) {
          std::size_t n = static_cast<std::size_t>(input[pos] | (input[pos + 1] << 8));
          pos += 2;
          if (n > input.size() - pos) n = input.size() - pos;
          harness.Deliver(input.data() + pos, n);
          pos += n;
          if (harness.client() == nullptr) break;
        }
      }
      calls[pump] = observer.Take();
    }
    EXPECT_FALSE(calls[0].empty());
    EXPECT_EQ(calls[1], calls[0]);
  }
}

}  // namespace
}  // namespace kelvo
