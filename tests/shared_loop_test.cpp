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
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <poll.h>
#include <pthread.h>
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

TEST(SharedLoop, TheLoopCanBeChangedOnceAConnectionHasEnded) {
  struct Row {
    const char* name;
    uint32_t from, to;
    bool serverHangsUp;  // else the host closes
  };
  const Row rows[] = {
      {"own to shared after Close", 0, 1, false},
      {"shared to own after Close", 1, 0, false},
      {"own to shared after the server hung up", 0, 1, true},
      {"shared to own after the server hung up", 1, 0, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LoopbackServer server;
    Bot b(0);
    ASSERT_TRUE(b.engine->UseSharedLoop(row.from));
    // The thread each OnConnect came on.
    std::mutex mu;
    std::vector<std::string> threads;
    b.sink.onCall = [&](const std::string& name) {
      if (name == "OnConnect") {
        std::string thread = "?";
#if defined(__linux__)
        char buf[16] = {};
        pthread_getname_np(pthread_self(), buf, sizeof buf);
        thread = buf;
#endif
        std::lock_guard<std::mutex> lock(mu);
        threads.push_back(thread);
      }
      b.sink.Called(name);  // counted once the thread is noted
    };
    ASSERT_TRUE(b.im->SetSink(&b.sink));
    const ServerAddress at = At(server.port());
    ASSERT_TRUE(b.im->Connect(&at));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(Eventually([&] { return b.sink.connected.load() == 1; }));
    EXPECT_FALSE(b.engine->UseSharedLoop(row.to)) << "while the connection is up";
    if (row.serverHangsUp) {
      server.Close();
      ASSERT_TRUE(Eventually([&] { return b.sink.closed.load() == 1; }));
    } else {
      ASSERT_TRUE(b.im->Close());
    }
    EXPECT_TRUE(b.engine->UseSharedLoop(row.to)) << "refused after the connection ended";
    ASSERT_TRUE(b.im->Connect(&at));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(Eventually([&] { return b.sink.connected.load() == 2; }));
#if defined(__linux__)
    std::lock_guard<std::mutex> lock(mu);
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_EQ(threads[1].rfind(row.to == 1 ? "kelvo-loop-" : "kelvo-net", 0), 0u)
        << "the next connection runs on " << threads[1];
#endif
  }
}

// Accepts every connection and writes chats to each as fast as it takes
// them, without ever blocking on one, until it is destroyed.
class Flood {
 public:
  Flood() : listen_(4096), thread_([this] { Run(); }) {}
  ~Flood() {
    stop_ = true;
    thread_.join();
    for (SocketHandle s : conns_) CloseSocketHandle(s);
  }
  uint16_t port() const { return listen_.port(); }

 private:
  void Run() {
    Bytes burst;
    for (int i = 0; i < 64; ++i) {
      const Bytes m = Chat(0, 0);
      burst.insert(burst.end(), m.begin(), m.end());
    }
    while (!stop_) {
      if (listen_.Accept(1ms)) {
        const SocketHandle s = listen_.Release();
        SetNonBlocking(s);
        conns_.push_back(s);
      }
      for (std::size_t i = 0; i < conns_.size();) {
        const long n = SendBytes(conns_[i], burst.data(), burst.size());
        if (n < 0 && !WouldBlock()) {
          CloseSocketHandle(conns_[i]);
          conns_[i] = conns_.back();
          conns_.pop_back();
          continue;
        }
        ++i;
      }
    }
  }
  LoopbackServer listen_;
  std::vector<SocketHandle> conns_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(SharedLoop, ReleasingPumpModeClientsWhileAnotherThreadPumpsThemIsSafe) {
  // Pump-mode clients on the shared loop under a flooding peer; one thread
  // waits for and pumps their events one at a time while this one releases
  // clients at random and puts new ones in their place. A client released
  // while the pumper holds, or is about to take, its turn must not be
  // touched after it is gone (ASan and TSan watch).
  constexpr int kClients = 24;
  constexpr int kRounds = 1000;
  Flood flood;
  Bot probe(999);  // never connected: its face outlives every client
  ASSERT_TRUE(probe.engine->UseSharedLoop(1));
  const ServerAddress at = At(flood.port());
  auto make = [&](int i) {
    auto b = std::make_unique<Bot>(static_cast<uint32_t>(i));
    EXPECT_TRUE(b->engine->UseSharedLoop(1));
    EXPECT_TRUE(b->pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
    EXPECT_TRUE(b->im->SetSink(&b->sink));
    EXPECT_TRUE(b->im->Connect(&at));
    return b;
  };
  std::vector<std::unique_ptr<Bot>> bots;
  for (int i = 0; i < kClients; ++i) bots.push_back(make(i));
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> pumped{0};
  std::thread pumper([&] {
    while (!stop) {
      probe.engine->WaitSharedLoop(2);
      pumped += probe.engine->PumpSharedLoop(1);
    }
  });
  ASSERT_TRUE(Eventually([&] { return pumped.load() > 0; }, 10s));
  std::mt19937 rng(7);
  // Bounded in time too: beside a CPU hog the pumper serves slowly.
  const auto end = Clock::now() + 10s;
  for (int round = 0; round < kRounds && Clock::now() < end; ++round) {
    const std::size_t i = rng() % kClients;
    bots[i].reset();
    bots[i] = make(static_cast<int>(i));
    // The pumper serves a few events between two releases.
    const uint64_t seen = pumped.load();
    for (const auto end = Clock::now() + 1s; pumped.load() < seen + 2 && Clock::now() < end;) {
      std::this_thread::yield();
    }
  }
  const uint64_t before = pumped.load();
  EXPECT_TRUE(Eventually([&] { return pumped.load() > before; }, 10s))
      << "the pump stopped serving the clients that are left";
  stop = true;
  pumper.join();
  bots.clear();
}

}  // namespace
}  // namespace test
}  // namespace kelvo
