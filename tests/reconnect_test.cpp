// Reconnection after a loss (IImClientNetwork::SetReconnect), over real
// sockets on 127.0.0.1: who starts a series and who ends it, each attempt
// reported once, the attempt limit, the re-login with the host's values in
// every way a client can run, and the draw of the delays.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/im_server_client.h"
#include "kelvo/im_client_engine.h"
#include "kelvo/im_client_network.h"
#include "kelvo/im_client_pump.h"
#include "kelvo/kelvo_core.h"
#include "protocol/request_layouts.h"
#include "support/loopback_server.h"
#include "support/waiting_sink.h"
#include "transport/reconnect.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::WaitingSink;

ServerAddress To(uint16_t port) {
  ServerAddress a{};
  a.serverIp = 0x7F000001;
  a.serverPort = port;
  return a;
}

IImClientNetwork* NetworkOf(IImClient* client) {
  return static_cast<IImClientNetwork*>(
      client->QueryInterface(IID_IImClientNetwork, IM_NETWORK_INTERFACE_VERSION));
}

IImClientPump* PumpOf(IImClient* client) {
  return static_cast<IImClientPump*>(
      client->QueryInterface(IID_IImClientPump, IM_PUMP_INTERFACE_VERSION));
}

// A client of the module with a sink and a policy, in one of the ways a
// host runs it. In pump mode the test thread pumps while it waits.
struct Host {
  enum Mode { kOwnThread, kSharedLoop, kPump };

  // `seed` 0: the module's own client, drawing from the system's random
  // source; otherwise a client whose draws start from `seed`.
  explicit Host(const KelvoReconnectPolicy& policy, Mode m = kOwnThread, uint64_t seed = 0)
      : mode(m) {
    if (seed == 0) {
      client = static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION));
    } else {
      auto* seeded = new ImServerClient();
      seeded->SeedReconnectDraws(seed);
      client = seeded;
    }
    if (mode == kSharedLoop) {
      auto* engine = static_cast<IImClientEngine*>(
          client->QueryInterface(IID_IImClientEngine, IM_ENGINE_INTERFACE_VERSION));
      EXPECT_TRUE(engine->UseSharedLoop(1));
    }
    if (mode == kPump) {
      EXPECT_TRUE(PumpOf(client)->SetDeliveryMode(KELVO_DELIVERY_PUMP));
    }
    EXPECT_TRUE(client->SetSink(&sink));
    EXPECT_TRUE(NetworkOf(client)->SetReconnect(&policy));
  }
  ~Host() {
    if (client != nullptr) client->Release();
  }

  bool WaitFor(const std::string& name, int times = 1) {
    if (mode != kPump) return sink.WaitFor(name, times);
    IImClientPump* pump = PumpOf(client);
    const auto until = Clock::now() + 5s;
    while (sink.CountOf(name) < times && Clock::now() < until) {
      pump->WaitForEvents(50);
      pump->Pump(UINT32_MAX);
    }
    return sink.CountOf(name) >= times;
  }

  // Connects to `server` and waits until the host has heard OnConnect(1).
  bool ConnectTo(test::LoopbackServer& server) {
    const ServerAddress address = To(server.port());
    return client->Connect(&address) && server.Accept() && WaitFor("OnConnect");
  }

  Mode mode;
  WaitingSink sink;
  IImClient* client = nullptr;
};

// Keeps 127.0.0.1:`port` bound without listening: a connect there is
// refused, and the port is never picked as a connection's own (a connect
// to a free port of the ephemeral range can meet itself and come up).
class PortHolder {
 public:
  explicit PortHolder(uint16_t port) : s_(::socket(AF_INET, SOCK_STREAM, 0)) {
    const int on = 1;
    // The closed server's connection may still wait out its TIME_WAIT.
    test::SetOption(s_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in at = test::LoopbackAddress(port);
    bound_ = ::bind(s_, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
  }
  ~PortHolder() { test::CloseSocketHandle(s_); }
  bool bound() const { return bound_; }

 private:
  test::SocketHandle s_;
  bool bound_ = false;
};

// A seed whose first draw under `bound` lies in [low, high].
uint64_t SeedDrawing(uint32_t bound, uint32_t low, uint32_t high) {
  for (uint64_t seed = 1;; ++seed) {
    Reconnection r;
    r.Seed(seed);
    const uint32_t d = r.DrawMs(bound);
    if (d >= low && d <= high) return seed;
  }
}

TEST(ReconnectTest, PolicyValuesOutOfTheirRangesAreRefused) {
  struct Row {
    KelvoReconnectPolicy policy;
    bool taken;
  } rows[] = {
      {{0, 10, 200, 0, 0}, false},    // no first delay
      {{10, 9, 200, 0, 0}, false},    // the cap below the first delay
      {{10, 10, 99, 0, 0}, false},    // a bound that shrinks
      {{10, 10, 1001, 0, 0}, false},  // more than tenfold
      {{10, 10, 200, 0, 2}, false},   // relogin is 0 or 1
      {{1, 1, 100, 0, 1}, true},
      {{10, 0xFFFFFFFF, 1000, 0xFFFFFFFF, 0}, true},
  };
  IImClient* client = static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION));
  IImClientNetwork* net = NetworkOf(client);
  ASSERT_NE(net, nullptr);
  for (const Row& row : rows) {
    EXPECT_EQ(net->SetReconnect(&row.policy), row.taken)
        << row.policy.firstDelayMs << "," << row.policy.maxDelayMs << ","
        << row.policy.factorPercent << "," << row.policy.relogin;
  }
  EXPECT_TRUE(net->SetReconnect(nullptr));
  client->Release();
}

TEST(ReconnectTest, BoundsGrowByTheFactorUpToTheCapAndDrawsCoverThem) {
  const KelvoReconnectPolicy doubling{500, 30000, 200, 0, 0};
  EXPECT_EQ(Reconnection::BoundMs(doubling, 0), 500u);
  EXPECT_EQ(Reconnection::BoundMs(doubling, 1), 1000u);
  EXPECT_EQ(Reconnection::BoundMs(doubling, 5), 16000u);
  EXPECT_EQ(Reconnection::BoundMs(doubling, 6), 30000u);
  EXPECT_EQ(Reconnection::BoundMs(doubling, 0xFFFFFFFF), 30000u);
  EXPECT_EQ(Reconnection::BoundMs({100, 1000, 150, 0, 0}, 2), 225u);
  EXPECT_EQ(Reconnection::BoundMs({700, 5000, 100, 0, 0}, 1000), 700u);
  // Tenfold up to the largest cap: no overflow on the way.
  EXPECT_EQ(Reconnection::BoundMs({3, 0xFFFFFFFF, 1000, 0, 0}, 9), 3000000000u);
  EXPECT_EQ(Reconnection::BoundMs({3, 0xFFFFFFFF, 1000, 0, 0}, 10), 0xFFFFFFFFu);

  // Full jitter: every draw within [0, bound], and the whole range used.
  Reconnection r;
  r.Seed(42);
  uint32_t low = UINT32_MAX, high = 0;
  for (int i = 0; i < 2000; ++i) {
    const uint32_t d = r.DrawMs(1000);
    ASSERT_LE(d, 1000u);
    low = std::min(low, d);
    high = std::max(high, d);
  }
  EXPECT_LT(low, 50u);
  EXPECT_GT(high, 950u);
  EXPECT_EQ(r.DrawMs(0), 0u);
  // Clients seeded apart draw apart.
  Reconnection a, b;
  a.Seed(1);
  b.Seed(2);
  std::vector<uint32_t> fromA, fromB;
  for (int i = 0; i < 8; ++i) {
    fromA.push_back(a.DrawMs(100000));
    fromB.push_back(b.DrawMs(100000));
  }
  EXPECT_NE(fromA, fromB);
}

TEST(ReconnectTest, EachAttemptIsReportedOnceUntilTheLimit) {
  // The first attempt waits 30 ms or more: time enough to hold the port.
  Host host({50, 50, 100, 3, 0}, Host::kOwnThread, SeedDrawing(50, 30, 50));
  auto server = std::make_unique<test::LoopbackServer>();
  const uint16_t port = server->port();
  ASSERT_TRUE(host.ConnectTo(*server));
  server.reset();  // the connection and the listener go: every attempt is refused
  PortHolder holder(port);
  ASSERT_TRUE(holder.bound());
  ASSERT_TRUE(host.WaitFor("OnConnect", 4));
  // The limit's end: no fifth attempt (it would follow within 50 ms).
  EXPECT_FALSE(host.sink.WaitFor("OnConnect", 5, 500ms));
  EXPECT_EQ(host.sink.Names(),
            (std::vector<std::string>{"QueryInterface", "OnConnect", "OnLog", "OnClose", "OnLog",
                                      "OnConnect", "OnLog", "OnConnect", "OnLog", "OnConnect"}));
  const std::string refused =
      "OnLog('ImServerClient: connect to 127.0.0.1:" + std::to_string(port) + " failed: ";
  std::size_t lines = 0;
  for (std::size_t at = host.sink.log.find(refused); at != std::string::npos;
       at = host.sink.log.find(refused, at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 3u) << host.sink.log;
  EXPECT_EQ(host.sink.log.find("OnConnect(1)"), host.sink.log.rfind("OnConnect(1)"));
}

class ReloginTest : public ::testing::TestWithParam<Host::Mode> {};

TEST_P(ReloginTest, TheServerDroppingIsFollowedByTheSameLoginAfterTheDrawnDelay) {
  const uint32_t kBound = 400;
  // Seeded to wait at least 150 ms: the attempt must not come before its
  // delay (the lower bound is what a loaded machine cannot blur).
  const uint64_t seed = SeedDrawing(kBound, 150, kBound);
  Reconnection same;
  same.Seed(seed);
  const uint32_t delay = same.DrawMs(kBound);
  // Before the host, whose network thread runs the hook that sets it.
  std::atomic<int64_t> closedAt{0};
  Host host({kBound, kBound, 100, 0, 1}, GetParam(), seed);
  IImClient* const client = host.client;

  host.sink.hook = [&](const std::string& name) {
    if (name == "OnClose") closedAt = Clock::now().time_since_epoch().count();
  };
  test::LoopbackServer server;
  ASSERT_TRUE(host.ConnectTo(server));
  uint8_t password[16], extra[33];
  for (int i = 0; i < 16; ++i) password[i] = static_cast<uint8_t>(0xA0 + i);
  for (int i = 0; i < 33; ++i) extra[i] = static_cast<uint8_t>(i + 1);
  ASSERT_TRUE(client->Login(1001, password, extra));
  test::ByteVec first, again;
  ASSERT_TRUE(server.Read(request::kLoginSize, &first));

  server.Close();
  ASSERT_TRUE(host.WaitFor("OnClose"));
  ASSERT_TRUE(server.Accept());
  const int64_t acceptedAt = Clock::now().time_since_epoch().count();
  EXPECT_GE(std::chrono::nanoseconds(acceptedAt - closedAt.load()),
            std::chrono::milliseconds(delay));
  ASSERT_TRUE(host.WaitFor("OnConnect", 2));
  ASSERT_TRUE(server.Read(request::kLoginSize, &again));
  EXPECT_EQ(again, first);
  EXPECT_EQ(host.sink.Names(), (std::vector<std::string>{"QueryInterface", "OnConnect", "OnLog",
                                                         "OnClose", "OnConnect"}));
}

std::string ModeName(const ::testing::TestParamInfo<Host::Mode>& info) {
  static const char* const kNames[] = {"OwnThread", "SharedLoop", "Pump"};
  return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Modes, ReloginTest,
                         ::testing::Values(Host::kOwnThread, Host::kSharedLoop, Host::kPump),
                         ModeName);

TEST(ReconnectTest, NothingIsRetriedAfterTheHostsCloseNorAfterAFirstAttemptThatFailed) {
  enum How { kCloseWhileUp, kCloseInOnClose, kCloseInTheReasonLine };
  for (How how : {kCloseWhileUp, kCloseInOnClose, kCloseInTheReasonLine}) {
    SCOPED_TRACE(how);
    // Before the host: its network thread runs the hook, which reads this,
    // until the host is gone.
    const std::string when = how == kCloseInOnClose ? "OnClose" : "OnLog";
    Host host({1, 1, 100, 0, 0});
    test::LoopbackServer server;
    ASSERT_TRUE(host.ConnectTo(server));
    if (how == kCloseWhileUp) {
      EXPECT_TRUE(host.client->Close());
    } else {
      host.sink.hook = [&](const std::string& name) {
        if (name == when) host.client->Close();
      };
      server.Close();
      ASSERT_TRUE(host.sink.WaitFor(when));
    }
    // A retry would come within a millisecond or two.
    EXPECT_FALSE(server.Accept(500ms));
    EXPECT_EQ(host.sink.CountOf("OnConnect"), 1);
  }
  uint16_t closedPort;
  {
    test::LoopbackServer gone;
    closedPort = gone.port();
  }
  Host host({1, 1, 100, 0, 0});
  const ServerAddress address = To(closedPort);
  ASSERT_TRUE(host.client->Connect(&address));
  ASSERT_TRUE(host.sink.WaitFor("OnConnect"));
  EXPECT_FALSE(host.sink.WaitFor("OnConnect", 2, 500ms)) << host.sink.log;
}

TEST(ReconnectTest, EndingTheSeriesDuringItsDelayDropsTheWaitingAttempt) {
  enum How { kClose, kConnect, kTurnedOff, kRelease };
  const uint32_t kBound = 120000;
  for (How how : {kClose, kConnect, kTurnedOff, kRelease}) {
    SCOPED_TRACE(how);
    // Seeded to wait at least a minute: the attempt is still waiting while
    // the host ends the series.
    auto* raw = new ImServerClient();
    raw->SeedReconnectDraws(SeedDrawing(kBound, 60000, kBound));
    WaitingSink sink;
    ASSERT_TRUE(raw->SetSink(&sink));
    const KelvoReconnectPolicy policy{kBound, kBound, 100, 0, 0};
    ASSERT_TRUE(NetworkOf(raw)->SetReconnect(&policy));
    test::LoopbackServer server;
    const ServerAddress address = To(server.port());
    ASSERT_TRUE(raw->Connect(&address));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(sink.WaitFor("OnConnect"));
    server.Close();
    ASSERT_TRUE(sink.WaitFor("OnClose"));
    IImClientPump* pump = PumpOf(raw);
    // The waiting attempt is an attempt under way.
    EXPECT_FALSE(pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
    if (how == kRelease) {
      raw->Release();  // with an attempt waiting on its loop
      continue;
    }
    if (how == kClose) {
      EXPECT_TRUE(raw->Close());
    }
    if (how == kTurnedOff) {
      EXPECT_TRUE(NetworkOf(raw)->SetReconnect(nullptr));
    }
    if (how == kConnect) {
      // The host's own Connect replaces the waiting attempt instead of
      // being refused because of it.
      ASSERT_TRUE(raw->Connect(&address));
      ASSERT_TRUE(server.Accept());
      ASSERT_TRUE(sink.WaitFor("OnConnect", 2));
      EXPECT_TRUE(raw->Close());
    }
    EXPECT_TRUE(pump->SetDeliveryMode(KELVO_DELIVERY_PUMP)) << "no connection is left";
    const std::vector<std::string> before = sink.Names();
    EXPECT_EQ(before.back(), how == kConnect ? "OnConnect" : "OnClose");
    raw->Release();
    EXPECT_EQ(sink.Names(), before);
  }
}

}  // namespace
}  // namespace kelvo
