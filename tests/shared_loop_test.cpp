// Clients on the shared network loop (IImClientEngine): a few hundred at
// once, each with its own sink. Per client the threading contract holds
// (callbacks one at a time, in stream order); a slow callback holds up only
// the clients of its own loop thread; closing, reconnecting or releasing one
// client leaves the rest alone; one thread pumps every pump-mode client; and
// the loop's threads, and no more, serve them all.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <poll.h>
#endif

#include "kelvo/im_client_engine.h"
#include "kelvo/im_client_pump.h"
#include "kelvo/kelvo_core.h"
#include "support/loopback_server.h"
#include "support/process_watch.h"
#include "support/recording_sink.h"
#include "support/test_socket.h"
#include "support/wire.h"

namespace kelvo {
namespace test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Accepts every connection on one port and keeps them, in accept order.
class Crowd {
 public:
  Crowd() : listen_(std::make_unique<LoopbackServer>(4096)) {}
  uint16_t port() const { return listen_->port(); }
  // Accepts until `n` are held (bounded).
  bool AcceptUntil(std::size_t n) {
    while (conns_.size() < n) {
      if (!listen_->Accept(5s)) return false;
      // The fixture keeps one accepted socket; take it over.
      conns_.push_back(listen_->Release());
    }
    return true;
  }
  bool Send(std::size_t i, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const long n = SendBytes(conns_[i], bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  void Close(std::size_t i) {
    CloseSocketHandle(conns_[i]);
    conns_[i] = kNoSocket;
  }
  ~Crowd() {
    for (SocketHandle s : conns_) {
      if (s != kNoSocket) CloseSocketHandle(s);
    }
  }

 private:
  std::unique_ptr<LoopbackServer> listen_;
  std::vector<SocketHandle> conns_;
};

// A chat whose text says who it is for and its number.
Bytes Chat(uint32_t who, uint32_t seq) {
  const std::string text = std::to_string(who) + "/" + std::to_string(seq);
  return Msg(73).U32(who).Zeros(5).U8(1).U8(2).U8(3).Zeros(7).Raw(text).U8(0).Build();
}

// Checks the contract from inside: a callback of this client never overlaps
// another of its own, and chats come in their order.
class CrowdSink : public RecordingSink {
 public:
  explicit CrowdSink(uint32_t who) : who_(who) {
    onCall = [this](const std::string& name) { Called(name); };
  }
  void KELVO_CALL OnChatMessage(MessageKind, uint32_t sender, const char* text, uint8_t, uint8_t,
                                uint8_t) override {
    if (inside_.exchange(true)) overlaps.fetch_add(1);
    const std::string want = std::to_string(who_) + "/" + std::to_string(chats.load());
    if (sender != who_ || want != text) disorders.fetch_add(1);
    if (hook) hook();
    thread = std::this_thread::get_id();
    chats.fetch_add(1);
    inside_ = false;
  }
  void Called(const std::string& name) {
    if (name == "OnConnect") connected.fetch_add(1);
    if (name == "OnClose") closed.fetch_add(1);
  }
  std::function<void()> hook;
  std::atomic<int> chats{0}, overlaps{0}, disorders{0}, connected{0}, closed{0};
  std::thread::id thread;

 private:
  const uint32_t who_;
  std::atomic<bool> inside_{false};
};

struct Bot {
  explicit Bot(uint32_t who) : sink(who) {
    im = static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION));
    engine = static_cast<IImClientEngine*>(
        im->QueryInterface(IID_IImClientEngine, IM_ENGINE_INTERFACE_VERSION));
    pump = static_cast<IImClientPump*>(im->QueryInterface(IID_IImClientPump, IM_PUMP_INTERFACE_VERSION));
  }
  ~Bot() {
    if (im) im->Release();
  }
  IImClient* im;
  IImClientEngine* engine;
  IImClientPump* pump;
  CrowdSink sink;
};

ServerAddress At(uint16_t port) {
  ServerAddress a{};
  a.serverIp = 0x7F000001;
  a.serverPort = port;
  return a;
}

// `n` clients on the shared loop, connected to `crowd` (in that order).
std::vector<std::unique_ptr<Bot>> Connect(Crowd& crowd, uint32_t n, bool pumpMode) {
  std::vector<std::unique_ptr<Bot>> bots;
  const ServerAddress at = At(crowd.port());
  for (uint32_t i = 0; i < n; ++i) {
    bots.push_back(std::make_unique<Bot>(i));
    Bot& b = *bots.back();
    EXPECT_NE(b.engine, nullptr);
    EXPECT_TRUE(b.engine->UseSharedLoop(1));
    if (pumpMode) {
      EXPECT_TRUE(b.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
    }
    EXPECT_TRUE(b.im->SetSink(&b.sink));
    EXPECT_TRUE(b.im->Connect(&at));
    EXPECT_TRUE(crowd.AcceptUntil(i + 1));
  }
  return bots;
}

TEST(SharedLoop, InterfaceRules) {
  Bot b(0);
  ASSERT_NE(b.engine, nullptr);
  EXPECT_EQ(b.im->QueryInterface(IID_IImClientEngine, 0x01000105), static_cast<void*>(b.engine));
  EXPECT_EQ(b.im->QueryInterface(IID_IImClientEngine, 0x01010000), nullptr);
  EXPECT_EQ(b.engine->QueryInterface(IID_IImClient, IM_INTERFACE_VERSION), static_cast<void*>(b.im));
  EXPECT_FALSE(b.engine->UseSharedLoop(2));
  EXPECT_FALSE(b.engine->SetSharedLoopThreads(65));
  EXPECT_EQ(b.engine->SharedLoopWaitHandle(), -1) << "not running yet";
  EXPECT_TRUE(b.engine->UseSharedLoop(1));
  EXPECT_TRUE(b.engine->UseSharedLoop(1)) << "the current setting again";
  LoopbackServer server;
  const ServerAddress at = At(server.port());
  ASSERT_TRUE(b.im->Connect(&at));
  ASSERT_TRUE(server.Accept());
  EXPECT_FALSE(b.engine->UseSharedLoop(0)) << "while a connection exists";
  EXPECT_FALSE(b.engine->SetSharedLoopThreads(3)) << "while the loop runs";
  b.im->Release();
  b.im = nullptr;
}

TEST(SharedLoop, HundredsOfClientsEachGetTheirOwnMessagesInOrderOneCallbackAtATime) {
  constexpr uint32_t kClients = 300, kChats = 40;
  Crowd crowd;
#if defined(__linux__)
  const int threadsBefore = LoopThreads();
  const int fdsBefore = OpenDescriptors();
#endif
  auto bots = Connect(crowd, kClients, false);
  ASSERT_TRUE(Eventually([&] {
    for (auto& b : bots) {
      if (b->sink.connected == 0) return false;
    }
    return true;
  }, 10s));
#if defined(__linux__)
  const unsigned loops = std::max(1u, std::thread::hardware_concurrency()) + 1;
  EXPECT_LE(LoopThreads() - threadsBefore, static_cast<int>(loops)) << "threads grew with the clients";
  // One socket per client (and the server's end of it, in this process),
  // plus a poller and a wake-up channel per loop thread.
  EXPECT_LE(OpenDescriptors() - fdsBefore, static_cast<int>(2 * kClients + 2 * loops + 2));
#endif
  // Interleaved across clients, in order per client.
  for (uint32_t seq = 0; seq < kChats; ++seq) {
    for (uint32_t i = 0; i < kClients; ++i) ASSERT_TRUE(crowd.Send(i, Chat(i, seq)));
  }
  ASSERT_TRUE(Eventually([&] {
    for (auto& b : bots) {
      if (b->sink.chats < static_cast<int>(kChats)) return false;
    }
    return true;
  }, 10s));
  for (auto& b : bots) {
    EXPECT_EQ(b->sink.overlaps, 0);
    EXPECT_EQ(b->sink.disorders, 0);
    EXPECT_EQ(b->sink.chats, static_cast<int>(kChats));
  }
}

TEST(SharedLoop, ASlowCallbackHoldsUpOnlyTheClientsOfItsLoopThread) {
  Crowd crowd;
  Bot probe(999);
  ASSERT_TRUE(probe.engine->SetSharedLoopThreads(2));
  constexpr uint32_t kClients = 20;
  auto bots = Connect(crowd, kClients, false);
  std::atomic<bool> release{false};
  std::atomic<bool> stuck{false};
  bots[0]->sink.hook = [&] {
    stuck = true;
    Eventually([&] { return release.load(); }, 10s);
  };
  ASSERT_TRUE(crowd.Send(0, Chat(0, 0)));
  ASSERT_TRUE(Eventually([&] { return stuck.load(); }, 10s));
  for (uint32_t i = 1; i < kClients; ++i) ASSERT_TRUE(crowd.Send(i, Chat(i, 0)));
  // The clients of the other loop thread get theirs while client 0's
  // callback still runs; those of client 0's thread wait for it.
  int served = 0;
  Eventually([&] {
    served = 0;
    for (uint32_t i = 1; i < kClients; ++i) served += bots[i]->sink.chats.load();
    return served >= static_cast<int>(kClients / 2) - 1;
  }, 5s);
  EXPECT_GE(served, static_cast<int>(kClients / 2) - 1);
  EXPECT_LT(served, static_cast<int>(kClients - 1)) << "nothing shares the slow client's thread?";
  release = true;
  ASSERT_TRUE(Eventually([&] {
    for (uint32_t i = 0; i < kClients; ++i) {
      if (bots[i]->sink.chats == 0) return false;
    }
    return true;
  }, 10s));
}

TEST(SharedLoop, CloseReconnectAndReleaseOfOneClientLeaveTheOthersAlone) {
  constexpr uint32_t kClients = 100, kChats = 20;
  Crowd crowd;
  auto bots = Connect(crowd, kClients, false);
  ASSERT_TRUE(Eventually([&] {
    for (auto& b : bots) {
      if (b->sink.connected == 0) return false;
    }
    return true;
  }, 10s));
  std::atomic<bool> done{false};
  std::thread churn([&] {
    // Client 0 closes and reconnects over and over; client 1 goes away.
    const ServerAddress at = At(crowd.port());
    bots[1]->im->Release();
    bots[1]->im = nullptr;
    for (int k = 0; k < 20 && !done; ++k) {
      bots[0]->im->Close();
      bots[0]->im->Connect(&at);
      std::this_thread::sleep_for(2ms);
    }
  });
  bool sent = true;
  for (uint32_t seq = 0; seq < kChats && sent; ++seq) {
    for (uint32_t i = 2; i < kClients && sent; ++i) sent = crowd.Send(i, Chat(i, seq));
  }
  const bool all = sent && Eventually([&] {
    for (uint32_t i = 2; i < kClients; ++i) {
      if (bots[i]->sink.chats < static_cast<int>(kChats)) return false;
    }
    return true;
  }, 10s);
  done = true;
  churn.join();
  ASSERT_TRUE(sent);
  ASSERT_TRUE(all) << "the others stopped hearing while one client churned";
  for (uint32_t i = 2; i < kClients; ++i) {
    EXPECT_EQ(bots[i]->sink.disorders, 0);
    EXPECT_EQ(bots[i]->sink.closed, 0);
  }
}

TEST(SharedLoop, OneThreadPumpsEveryPumpModeClient) {
  constexpr uint32_t kClients = 200, kChats = 10;
  Crowd crowd;
  auto bots = Connect(crowd, kClients, true);
  IImClientEngine* engine = bots[0]->engine;
  const int64_t handle = engine->SharedLoopWaitHandle();
#if defined(__linux__)
  EXPECT_GE(handle, 0) << "the loop runs: a handle to poll";
#else
  (void)handle;
#endif
  for (uint32_t seq = 0; seq < kChats; ++seq) {
    for (uint32_t i = 0; i < kClients; ++i) ASSERT_TRUE(crowd.Send(i, Chat(i, seq)));
  }
  const std::thread::id me = std::this_thread::get_id();
  const auto end = Clock::now() + 20s;
  bool all = false;
  while (!all && Clock::now() < end) {
#if defined(__linux__)
    pollfd p{};
    p.fd = static_cast<int>(handle);
    p.events = POLLIN;
    ::poll(&p, 1, 50);
#else
    engine->WaitSharedLoop(50);
#endif
    engine->PumpSharedLoop(1000);
    all = true;
    for (auto& b : bots) all = all && b->sink.chats == static_cast<int>(kChats);
  }
  ASSERT_TRUE(all);
  for (auto& b : bots) {
    EXPECT_EQ(b->sink.disorders, 0);
    EXPECT_EQ(b->sink.thread, me) << "a callback ran off the pumping thread";
  }
  EXPECT_EQ(engine->PumpSharedLoop(1000), 0u) << "nothing left";
  EXPECT_FALSE(engine->WaitSharedLoop(0));
}

}  // namespace
}  // namespace test
}  // namespace kelvo
