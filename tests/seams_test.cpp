// Where two mechanisms meet: the life protocol and the event wait, pump mode
// and exceptions, Close and a report the library has already decided, the
// read pause and the stall watchdog, what the peer acknowledges and the
// watchdog, the delivery mode and a report in flight, two pumping threads,
// and what a request accepted just before Close or Release becomes.
//
// Every case drives the client through the public interface against a
// loopback peer of its own. Where a case must catch the client in a given
// state (a thread asleep in WaitForEvents, the network thread queued for the
// lock) it watches the client's counters instead of sleeping.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "core/im_server_client.h"
#include "kelvo/im_client_pump.h"
#include "kelvo/kelvo_core.h"
#include "nimbo2/tcp_client_socks5.h"
#include "support/loopback_server.h"
#include "support/process_watch.h"
#include "support/test_socket.h"
#include "support/veth_namespace.h"
#include "support/waiting_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

ServerAddress At(uint16_t port) {
  ServerAddress a{};
  a.serverIp = 0x7F000001;
  a.serverPort = port;
  return a;
}

uint16_t ClosedPort() {
  LoopbackServer gone;
  return gone.port();
}

// A client made as a host makes it, with its pump face.
struct Host {
  IImClient* im = static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION));
  IImClientPump* pump = static_cast<IImClientPump*>(
      im->QueryInterface(IID_IImClientPump, IM_PUMP_INTERFACE_VERSION));
  ImServerClient* inside() { return static_cast<ImServerClient*>(im); }
  void Release() {
    if (im != nullptr) im->Release();
    im = nullptr;
  }
  ~Host() { Release(); }
};

// A client whose socket client runs with short health limits.
ImServerClient* WithLimits(const Nimbo2::LinkHealthLimits& limits) {
  return new ImServerClient([limits](Nimbo2::MsgWorker* worker) {
    auto* socket = new Nimbo2::TCPClient_Socks5(worker);
    socket->SetLinkHealthLimits(limits);
    return socket;
  });
}

std::string Text200() { return std::string(200, 'a'); }

Bytes Chat(uint32_t sender, const std::string& text) {
  return Msg(73).U32(sender).Zeros(5).U8(1).U8(2).U8(3).Zeros(7).Raw(text).U8(0).Build();
}
Bytes Presence(uint32_t id, uint8_t state) { return Msg(61).U32(id).U8(state).Zeros(4).Build(); }

// `host` in pump mode with `sink`, connected to `server` (its OnConnect
// queued, not yet pumped).
void ConnectInPumpMode(Host& host, WaitingSink& sink, LoopbackServer& server) {
  ASSERT_TRUE(host.im->SetSink(&sink));
  ASSERT_TRUE(host.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
  const ServerAddress at = At(server.port());
  ASSERT_TRUE(host.im->Connect(&at));
  ASSERT_TRUE(server.Accept());
}

// Pumps (bounded) until `name` has been seen `times` times.
bool PumpUntil(IImClientPump* pump, WaitingSink& sink, const std::string& name, int times = 1) {
  const auto end = Clock::now() + 5s;
  while (Clock::now() < end) {
    pump->WaitForEvents(20);
    pump->Pump(1000);
    if (sink.WaitFor(name, times, 0ms)) return true;
  }
  return false;
}

// Reads the accepted connection until the client's end; the bytes and
// whether it ended with FIN (not a reset).
struct Received {
  std::size_t bytes = 0;
  bool fin = false;
};

Received ReadToEnd(SocketHandle fd, std::chrono::milliseconds limit = 5s) {
  Received r;
  const auto end = Clock::now() + limit;
  static char buf[65536];
  while (Clock::now() < end) {
    pollfd p{};
    p.fd = fd;
    p.events = POLLIN;
    if (PollSockets(&p, 1, 20) <= 0) continue;
    const long n = RecvBytes(fd, buf, sizeof buf);
    if (n > 0) {
      r.bytes += static_cast<std::size_t>(n);
    } else if (n == 0) {
      r.fin = true;
      return r;
    } else if (!Interrupted()) {
      return r;  // reset: whatever it discarded never arrived
    }
  }
  return r;
}

// ---------------------------------------------------------------------------
// The life protocol and a thread asleep in WaitForEvents.

TEST(Seams, ReleaseWakesAThreadAsleepInWaitForEventsAndWaitsForItToLeave) {
  Host host;
  ASSERT_TRUE(host.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
  ImServerClient* inside = host.inside();
  std::atomic<bool> result{true};
  std::thread sleeper([&] { result = host.pump->WaitForEvents(20000); });
  ASSERT_TRUE(Eventually([&] { return inside->Sleepers() == 1; }));
  const auto start = Clock::now();
  host.Release();
  const long long releaseMs = MsSince(start);
  sleeper.join();
  EXPECT_LT(releaseMs, 5000) << "Release waited out the sleeper's timeout";
  EXPECT_FALSE(result) << "the sleeper was told of an event";
}

// ---------------------------------------------------------------------------
// Pump mode and an exception from the host's OnLog.

TEST(Seams, AThrowingOnLogInPumpModeStaysInsidePumpAndPumpingGoesOn) {
  LoopbackServer server;
  Host host;
  WaitingSink sink;
  ASSERT_TRUE(host.im->SetSink(&sink));
  ASSERT_TRUE(host.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
  bool thrown = false;
  sink.hook = [&](const std::string& name) {
    if (name == "OnLog" && !thrown) {
      thrown = true;
      throw std::runtime_error("host OnLog");
    }
  };
  const ServerAddress at = At(server.port());
  ASSERT_TRUE(host.im->Connect(&at));
  ASSERT_TRUE(server.Accept());
  // An undefined id, then two chats.
  Bytes stream = Msg(200).Build();
  for (const Bytes& m : {Chat(7, "one"), Chat(7, "two")}) stream.insert(stream.end(), m.begin(), m.end());
  ASSERT_TRUE(server.Send(stream));
  bool escaped = false;
  const auto end = Clock::now() + 5s;
  while (sink.CountOf("OnChatMessage") < 2 && Clock::now() < end) {
    try {
      host.pump->WaitForEvents(20);
      host.pump->Pump(1000);
    } catch (...) {
      escaped = true;
    }
  }
  EXPECT_FALSE(escaped) << "an exception left Pump";
  EXPECT_TRUE(thrown);
  EXPECT_EQ(sink.CountOf("OnChatMessage"), 2) << sink.log;
  ASSERT_TRUE(host.im->Close());
  EXPECT_TRUE(host.pump->SetDeliveryMode(KELVO_DELIVERY_NETWORK_THREAD))
      << "pump mode stuck after the exception";
}

// ---------------------------------------------------------------------------
// Close against a report the library has already decided.

TEST(Seams, NothingOfAnEndedConnectionReachesTheHostAfterClose) {
  struct Row {
    const char* name;
    // Runs on the host's thread inside a callback of the host's own call,
    // with the client's lock held: makes the library decide a report (a
    // loss or a failure) that then waits for the lock.
    std::function<void(Host&, LoopbackServer&)> decide;
  };
  const Row rows[] = {
      {"the server closed",
       [](Host&, LoopbackServer& server) { server.Close(); }},
      {"the attempt was refused",
       [](Host& host, LoopbackServer&) {
         const ServerAddress refused = At(ClosedPort());
         host.im->Close();
         EXPECT_TRUE(host.im->Connect(&refused));
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LoopbackServer server;
    Host host;
    WaitingSink sink;
    ASSERT_TRUE(host.im->SetSink(&sink));
    // Set before the network thread may call it; armed below.
    std::atomic<bool> armed{false};
    bool inCallback = false;
    bool queued = false;
    sink.hook = [&](const std::string& name) {
      if (!armed || name != "OnLog" || inCallback) return;
      inCallback = true;
      row.decide(host, server);
      // The network thread has seen the end and waits to report it.
      queued = Eventually([&] { return host.inside()->LockWaiters() >= 1; });
      EXPECT_TRUE(host.im->Close());
    };
    const ServerAddress at = At(server.port());
    ASSERT_TRUE(host.im->Connect(&at));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(sink.WaitFor("OnConnect"));
    armed = true;
    // Request_friend's line reaches OnLog on this thread, under the lock.
    host.im->Request_friend(0);
    ASSERT_TRUE(inCallback);
    ASSERT_TRUE(queued) << "the network thread never queued its report";
    // A host call after the queued delivery has had its turn.
    ASSERT_TRUE(Eventually([&] { return host.inside()->LockWaiters() == 0; }));
    (void)host.im->GetMyInfo();
    const std::string log = sink.Take();
    EXPECT_EQ(log.find("OnClose"), std::string::npos) << log;
    EXPECT_EQ(log.find("OnConnect(0)"), std::string::npos) << log;
    EXPECT_EQ(log.find("lost"), std::string::npos) << log;
    EXPECT_EQ(log.find("failed"), std::string::npos) << log;
  }
}

TEST(Seams, CloseInsideALossReasonLineSilencesTheLossItExplains) {
  for (uint32_t mode : {KELVO_DELIVERY_NETWORK_THREAD, KELVO_DELIVERY_PUMP}) {
    SCOPED_TRACE(mode == KELVO_DELIVERY_PUMP ? "pump" : "network thread");
    LoopbackServer server;
    Host host;
    WaitingSink sink;
    ASSERT_TRUE(host.im->SetSink(&sink));
    ASSERT_TRUE(host.pump->SetDeliveryMode(mode));
    sink.hook = [&](const std::string& name) {
      if (name == "OnLog") {
        EXPECT_TRUE(host.im->Close());
      }
    };
    const ServerAddress at = At(server.port());
    ASSERT_TRUE(host.im->Connect(&at));
    ASSERT_TRUE(server.Accept());
    server.Close();
    if (mode == KELVO_DELIVERY_PUMP) {
      ASSERT_TRUE(PumpUntil(host.pump, sink, "OnLog"));
      host.pump->Pump(1000);
    } else {
      ASSERT_TRUE(sink.WaitFor("OnLog"));
    }
    ASSERT_TRUE(Eventually([&] { return host.inside()->LockWaiters() == 0; }));
    (void)host.im->GetMyInfo();
    EXPECT_EQ(sink.CountOf("OnClose"), 0) << sink.log;
  }
}

// ---------------------------------------------------------------------------
// The delivery mode against a report in flight.

TEST(Seams, AModeSwitchInsideAFailuresReasonLineIsRefusedAndTheReportFollows) {
  Host host;
  WaitingSink sink;
  ASSERT_TRUE(host.im->SetSink(&sink));
  bool switched = true;
  std::thread::id lineThread;
  sink.hook = [&](const std::string& name) {
    if (name == "OnLog") {
      lineThread = std::this_thread::get_id();
      switched = host.pump->SetDeliveryMode(KELVO_DELIVERY_PUMP);
    }
  };
  const ServerAddress refused = At(ClosedPort());
  ASSERT_TRUE(host.im->Connect(&refused));
  ASSERT_TRUE(sink.WaitFor("OnConnect")) << "OnConnect(0) was left behind in the pump queue";
  EXPECT_FALSE(switched);
  EXPECT_EQ(host.pump->GetDeliveryMode(), KELVO_DELIVERY_NETWORK_THREAD);
  EXPECT_NE(sink.log.find("OnConnect(0)"), std::string::npos) << sink.log;
}

// ---------------------------------------------------------------------------
// Two threads pumping.

TEST(Seams, ASecondPumpReturnsAtOnceWhileAnotherThreadsCallbackRuns) {
  LoopbackServer server;
  Host host;
  WaitingSink sink;
  ASSERT_NO_FATAL_FAILURE(ConnectInPumpMode(host, sink, server));
  ASSERT_TRUE(server.Send(Presence(5, 2)));
  ASSERT_TRUE(Eventually([&] { return host.pump->PendingEvents() >= 2; }));
  std::atomic<bool> aInside{false};
  std::atomic<bool> bDone{false};
  sink.hook = [&](const std::string& name) {
    if (name != "OnConnect") return;
    aInside = true;
    // A's callback lasts until B has had its answer (bounded).
    Eventually([&] { return bDone.load(); });
  };
  uint32_t aRan = 0;
  std::thread a([&] { aRan = host.pump->Pump(1); });
  ASSERT_TRUE(Eventually([&] { return aInside.load(); }));
  const auto start = Clock::now();
  const uint32_t bRan = host.pump->Pump(100);
  const long long bMs = MsSince(start);
  bDone = true;
  a.join();
  EXPECT_EQ(bRan, 0u);
  EXPECT_LT(bMs, 1000) << "the second Pump waited for the first one's callback";
  EXPECT_EQ(aRan, 1u);
}

// A run of presence is handled in one call that ends early when a thread
// begins to wait. A thread that began to wait during the last message of one
// read's run must still get in before the next read's run: it is already
// counted when that run starts. (Pump mode, so both reads wait in the inbox;
// the first fills most of the first receive segment, so the second is a run
// of its own.)
TEST(Seams, AHostCallQueuedAtTheEndOfOneReadGetsInBeforeTheNextReadsRun) {
  LoopbackServer server;
  Host host;
  WaitingSink sink;
  ASSERT_NO_FATAL_FAILURE(ConnectInPumpMode(host, sink, server));
  ASSERT_TRUE(PumpUntil(host.pump, sink, "OnConnect"));
  // Friend 100.
  ASSERT_TRUE(server.Send(Msg(47).U8(22).U32(100).Zeros(3).U8(2).Zeros(8).Raw("amy").Zeros(2).Build()));
  ASSERT_TRUE(Eventually([&] { return host.pump->PendingEvents() >= 1; }));
  host.pump->Pump(UINT32_MAX);
  UserRecord r{};
  ASSERT_TRUE(host.im->GetUser(100, &r));

  constexpr int kFirst = 120;    // 1,560 bytes
  constexpr int kSecond = 1000;
  Bytes first;
  const Bytes down = Presence(100, 2);
  for (int i = 0; i < kFirst; ++i) first.insert(first.end(), down.begin(), down.end());
  ASSERT_TRUE(server.Send(first));
  ASSERT_TRUE(Eventually([&] { return host.pump->PendingEvents() >= kFirst; }));
  Bytes second;
  const Bytes away = Presence(100, 3);
  for (int i = 0; i < kSecond; ++i) second.insert(second.end(), away.begin(), away.end());
  ASSERT_TRUE(server.Send(second));
  ASSERT_TRUE(Eventually([&] { return host.pump->PendingEvents() >= kFirst + kSecond; }));

  std::atomic<int> changes{0};
  std::atomic<bool> go{false};
  std::atomic<int> changesWhenIn{-1};
  std::thread caller([&] {
    Eventually([&] { return go.load(); });
    // Its OnLog runs on this thread with the lock held: the count cannot
    // move on meanwhile.
    host.im->Request_friend(0);
  });
  sink.hook = [&](const std::string& name) {
    if (name == "OnLog") changesWhenIn = changes.load();
    if (name != "OnOnlineStateChanged" || ++changes != kFirst) return;
    // The first read's last message: the caller queues for the lock now.
    go = true;
    Eventually([&] { return host.inside()->LockWaiters() >= 1; });
  };
  EXPECT_EQ(host.pump->Pump(UINT32_MAX), static_cast<uint32_t>(kFirst + kSecond));
  caller.join();
  EXPECT_EQ(changes.load(), kFirst + kSecond);
  // The call gets in after the message under way and, asleep by then, at
  // most 64 more while it wakes: not after the next read's first run (a
  // segment of 2 KiB or more, over 150 messages).
  EXPECT_LE(changesWhenIn.load(), kFirst + 1 + 64) << "the call waited for the next read's run";
}

// ---------------------------------------------------------------------------
// The read pause and the stall watchdog: a pump-mode host that does not pump
// while the server, blocked on its own writes, stops reading ours.

TEST(Seams, PumpModesOwnReadPauseIsNotASendStall) {
  Nimbo2::LinkHealthLimits limits;
  limits.sendStallMs = 1000;
  LoopbackServer server;
  std::unique_ptr<ImServerClient> client(WithLimits(limits));
  auto* pump = static_cast<IImClientPump*>(
      client->QueryInterface(IID_IImClientPump, IM_PUMP_INTERFACE_VERSION));
  WaitingSink sink;
  ASSERT_TRUE(client->SetSink(&sink));
  ASSERT_TRUE(pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
  const ServerAddress at = At(server.port());
  ASSERT_TRUE(client->Connect(&at));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(PumpUntil(pump, sink, "OnConnect"));
  // The server floods (far more than the queue and the socket buffers
  // hold) and reads nothing until its flood is out.
  constexpr int kFloodChats = 40000;  // 11 MB
  std::atomic<std::size_t> serverGot{0};
  std::thread flood([&] {
    const Bytes m = Chat(7, std::string(255, 'f'));
    Bytes chunk;
    for (int i = 0; i < 100; ++i) chunk.insert(chunk.end(), m.begin(), m.end());
    for (int i = 0; i < kFloodChats / 100 && server.Send(chunk); ++i) {
    }
    serverGot = ReadToEnd(server.connection(), 30s).bytes;
  });
  std::size_t sent = 0;
  const std::string text = Text200();
  while (client->SendChatMessage(9, 0, text.c_str(), 1, 1, 1)) sent += 279;
  ASSERT_GT(sent, 0u);
  // Three stall limits without pumping.
  std::this_thread::sleep_for(3000ms);
  // Now the host pumps the whole flood, and the server gets to reading.
  const auto end = Clock::now() + 30s;
  while (sink.CountOf("OnChatMessage") < kFloodChats && sink.CountOf("OnClose") == 0 &&
         Clock::now() < end) {
    pump->WaitForEvents(20);
    pump->Pump(100000);
  }
  EXPECT_EQ(sink.CountOf("OnClose"), 0)
      << (sink.logTexts.empty() ? std::string() : sink.logTexts[0]);
  EXPECT_EQ(sink.CountOf("OnChatMessage"), kFloodChats);
  client->Close();
  flood.join();
  EXPECT_EQ(serverGot.load(), sent) << "accepted requests went missing";
}

#if defined(__linux__)
// CPU ticks the process's threads named `name` have used.
long ThreadTicks(const std::string& name) {
  long ticks = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string dir = std::string("/proc/self/task/") + e->d_name;
      char comm[32] = {};
      if (FILE* f = std::fopen((dir + "/comm").c_str(), "r")) {
        if (std::fgets(comm, sizeof comm, f) == nullptr) comm[0] = 0;
        std::fclose(f);
      }
      if (std::string(comm).rfind(name, 0) != 0) continue;
      if (FILE* f = std::fopen((dir + "/stat").c_str(), "r")) {
        char line[1024] = {};
        if (std::fgets(line, sizeof line, f) != nullptr) {
          // After the name in parentheses: fields 3 on; utime and stime are 14 and 15.
          const char* p = std::strrchr(line, ')');
          long fields[13] = {};
          if (p != nullptr &&
              std::sscanf(p + 2, "%*c %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld", &fields[0],
                          &fields[1], &fields[2], &fields[3], &fields[4], &fields[5], &fields[6],
                          &fields[7], &fields[8], &fields[9], &fields[10], &fields[11]) == 12) {
            ticks += fields[10] + fields[11];
          }
        }
        std::fclose(f);
      }
    }
    closedir(d);
  }
  return ticks;
}

// A reset while reading is paused (the queue is full, the host does not
// pump): the poller reports the error again and again, so it is decided at
// once instead of spinning the network thread until the host pumps; it is
// told after the messages that wait, as a reset.
TEST(Seams, AResetWhileReadingIsPausedIsToldAfterTheQueueWithoutSpinning) {
  LoopbackServer server;
  Host host;
  WaitingSink sink;
  ASSERT_NO_FATAL_FAILURE(ConnectInPumpMode(host, sink, server));
  const Bytes m = Chat(7, std::string(200, 'r'));
  Bytes flood;
  while (flood.size() < 3u << 20) flood.insert(flood.end(), m.begin(), m.end());
  std::thread writer([&] { server.Send(flood); });
  // The queue fills: reading stops while the server's write still blocks.
  ASSERT_TRUE(Eventually([&] { return host.pump->PendingEvents() * m.size() >= KELVO_PUMP_QUEUE_BYTES - m.size(); }));
  server.Reset();
  writer.join();
  const long before = ThreadTicks("kelvo-net");
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(ThreadTicks("kelvo-net") - before, 10) << "the network thread spun on the reset";
  ASSERT_TRUE(PumpUntil(host.pump, sink, "OnClose"));
  EXPECT_GE(sink.CountOf("OnChatMessage"), static_cast<int>(KELVO_PUMP_QUEUE_BYTES / m.size()) - 1);
  EXPECT_NE(sink.log.find("lost: connection reset by peer"), std::string::npos) << sink.log.substr(sink.log.size() > 400 ? sink.log.size() - 400 : 0);
}
#endif


#if defined(__linux__)
// ---------------------------------------------------------------------------
// The stall watchdog against what the peer acknowledges: a reader behind a
// real link (MTU 1500) that takes a little at a time, while our writes wait
// for room for seconds on end, is alive. (TCP shows a slow reader's
// progress only when its window reopens, which this kernel does once about
// half its receive buffer is free: a reader must take that much within the
// stall limit to be seen at all.)

TEST(Seams, AReaderWhoseAcknowledgementsKeepComingIsNotAStall) {
  VethNamespace ns;
  if (!ns.Start()) GTEST_SKIP() << "no network namespace: " << ns.error();
  ASSERT_TRUE(ns.Listen()) << ns.error();
  RecordingWorker worker;
  worker.keepMessages = false;
  Nimbo2::TCPClient_Socks5 client(&worker);
  Nimbo2::LinkHealthLimits limits;
  limits.sendStallMs = 3000;
  client.SetLinkHealthLimits(limits);
  ASSERT_TRUE(client.Connect(ns.Address()));
  ASSERT_TRUE(ns.Accept(5s));
  ASSERT_TRUE(worker.WaitStates(1));
  const ByteVec m = Frame(32 * 1024 - 1, 1);
  std::size_t queued = 0;
  while (client.SendMsg(nullptr, const_cast<uint8_t*>(m.data()), static_cast<int>(m.size()))) {
    queued += m.size();
  }
  // 10 KiB every 100 ms for three stall limits.
  std::size_t got = 0;
  const auto until = Clock::now() + 9s;
  static char buf[10 * 1024];
  while (Clock::now() < until && worker.States().size() == 1) {
    const ssize_t n = ::recv(ns.connection(), buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got += static_cast<std::size_t>(n);
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(worker.States(), (std::vector<uint32_t>{1}))
      << "a live reader was cut off after taking " << got << " bytes";
  EXPECT_GT(got, 0u);
  EXPECT_LT(got, queued) << "our writes never had to wait";
}
#endif

// ---------------------------------------------------------------------------
// What a request accepted just before Close or Release becomes.

TEST(Seams, RequestsAcceptedBeforeCloseOrReleaseReachTheServerBeforeOurFin) {
  struct Row {
    const char* name;
    int chats;
    bool release;
    int rounds;
  } rows[] = {
      {"one chat, Close", 1, false, 30},
      {"one chat, Release", 1, true, 30},
      {"fifty chats, Close", 50, false, 20},
      {"fifty chats, Release", 50, true, 20},
  };
  const std::string text = Text200();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int whole = 0;
    std::string first;
    for (int round = 0; round < row.rounds; ++round) {
      LoopbackServer server;
      Host host;
      WaitingSink sink;
      ASSERT_TRUE(host.im->SetSink(&sink));
      const ServerAddress at = At(server.port());
      ASSERT_TRUE(host.im->Connect(&at));
      ASSERT_TRUE(server.Accept());
      ASSERT_TRUE(sink.WaitFor("OnConnect"));
      for (int i = 0; i < row.chats; ++i) {
        ASSERT_TRUE(host.im->SendChatMessage(9, 0, text.c_str(), 1, 1, 1));
      }
      if (row.release) {
        host.Release();
      } else {
        ASSERT_TRUE(host.im->Close());
      }
      const Received got = ReadToEnd(server.connection());
      const std::size_t want = static_cast<std::size_t>(row.chats) * 279;
      if (got.bytes == want && got.fin) {
        ++whole;
      } else if (first.empty()) {
        first = "round " + std::to_string(round) + ": " + std::to_string(got.bytes) + " of " +
                std::to_string(want) + " bytes, " + (got.fin ? "FIN" : "no FIN");
      }
    }
    EXPECT_EQ(whole, row.rounds) << first;
  }
}

#if !defined(_WIN32)
// ---------------------------------------------------------------------------
// Honest reasons: no descriptors left is not out of memory.

TEST(Seams, RunningOutOfDescriptorsSaysSo) {
  LoopbackServer server;
  Host host;
  WaitingSink sink;
  ASSERT_TRUE(host.im->SetSink(&sink));
  // A first connection, so that whatever the client keeps between
  // connections exists already.
  const ServerAddress at = At(server.port());
  ASSERT_TRUE(host.im->Connect(&at));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(sink.WaitFor("OnConnect"));
  ASSERT_TRUE(host.im->Close());
  // Take every descriptor left.
  std::vector<int> taken;
  for (;;) {
    const int fd = ::dup(0);
    if (fd < 0) break;
    taken.push_back(fd);
    if (taken.size() > 200000) break;
  }
  const bool started = host.im->Connect(&at);
  bool reported = started && sink.WaitFor("OnConnect", 2);
  for (int fd : taken) ::close(fd);
  if (!started) GTEST_SKIP() << "Connect itself refused (no reason to check)";
  ASSERT_TRUE(reported);
  ASSERT_FALSE(sink.logTexts.empty());
  const std::string line = sink.logTexts.back();
  EXPECT_NE(line.find("too many open files"), std::string::npos) << line;
  EXPECT_EQ(line.find("out of memory"), std::string::npos) << line;
}
#endif

}  // namespace
}  // namespace test
}  // namespace kelvo
