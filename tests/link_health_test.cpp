// Link health over real sockets: why an attempt failed or a connection
// ended (each reason once, before its state, and as the host's OnLog line),
// a peer that stops reading, a silent peer that must stay connected, the
// keep-alive tuning, and (Linux, root) a server that vanishes without FIN.
//
// The limits are shortened per object so that the suite stays quick. Setting
// KELVO_LINK_HEALTH_DEFAULTS=1 runs the vanished and stalled peers with the
// real defaults instead and prints how long each took (minutes, not for CI).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelvo/im_client_network.h"
#include "kelvo/kelvo_core.h"
#include "nimbo2/tcp_client_socks5.h"
#include "support/loopback_server.h"
#include "support/socks5_proxy.h"
#include "support/veth_namespace.h"
#include "support/waiting_sink.h"

namespace kelvo {
namespace test {
namespace {

using Nimbo2::LinkHealthLimits;
using Nimbo2::LinkNote;
using Nimbo2::LinkReason;
using Nimbo2::TCPClient_Socks5;
using Clock = std::chrono::steady_clock;
using States = std::vector<uint32_t>;

bool WithDefaults() { return std::getenv("KELVO_LINK_HEALTH_DEFAULTS") != nullptr; }

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Nimbo2::tagProxyInfo LocalProxy(uint16_t port) {
  Nimbo2::tagProxyInfo info{};
  info.address = 0x7F000001;
  info.port = port;
  return info;
}

// The target named to the fake proxies; they never dial it.
constexpr uint16_t kFarPort = 9;
constexpr uint32_t kLoopback = 0x7F000001;

uint16_t ClosedPort() {
  LoopbackServer gone;
  return gone.port();
}

// ---------------------------------------------------------------------------
// Reasons, as the network library hands them over.

TEST(LinkHealth, EveryFailureAndLossHandsOverOneReasonBeforeItsState) {
  struct Row {
    const char* name;
    // Prepares the peer; returns the port to dial and, through the proxy
    // port, whether to go through a proxy. Keeps what it made in `keep`.
    std::function<void(std::shared_ptr<void>& keep, uint16_t& port, uint16_t& proxy)> setUp;
    // Once connected, what the server does (null: the attempt fails).
    std::function<void(LoopbackServer&)> afterUp;
    uint32_t state;
    LinkReason reason;
    uint32_t value;
  };
  const auto direct = [](uint16_t port) {
    return [port](std::shared_ptr<void>&, uint16_t& p, uint16_t&) { p = port; };
  };
  const auto proxied = [](FakeSocks5Script script) {
    return [script](std::shared_ptr<void>& keep, uint16_t& p, uint16_t& proxy) {
      auto fake = std::make_shared<FakeSocks5Proxy>(script);
      proxy = fake->port();
      p = kFarPort;
      keep = fake;
    };
  };
  const auto server = [](std::shared_ptr<void>& keep, uint16_t& p, uint16_t&) {
    auto s = std::make_shared<LoopbackServer>();
    p = s->port();
    keep = s;
  };
  const std::vector<uint8_t> failure5 = {5, 5, 0, 1, 0, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> failure1 = {5, 1, 0, 1, 0, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> badType = {5, 0, 0, 9, 0, 0, 0, 0, 0, 0};
  Row rows[] = {
      {"refused", direct(ClosedPort()), nullptr, 0, LinkReason::kRefused, 0},
      {"SYN never answered: timed out",
       [](std::shared_ptr<void>& keep, uint16_t& p, uint16_t&) {
         auto s = std::make_shared<LoopbackServer>(0);
         if (!s->Saturate()) ADD_FAILURE() << "could not saturate the listener";
         p = s->port();
         keep = s;
       },
       nullptr, 0, LinkReason::kTimedOut, 300},
      {"no proxy listening: refused",
       [](std::shared_ptr<void>&, uint16_t& p, uint16_t& proxy) {
         p = kFarPort;
         proxy = ClosedPort();
       },
       nullptr, 0, LinkReason::kRefused, 0},
      {"proxy accepts no method", proxied({{5, 0xFF}, false, {}, {}}), nullptr, 0,
       LinkReason::kProxyMethodRefused, 0xFF},
      {"proxy picks a method we did not offer", proxied({{5, 2}, false, {}, {}}), nullptr, 0,
       LinkReason::kProxyMethodRefused, 2},
      {"proxy failure reply 5", proxied({{5, 0}, false, failure5, {}}), nullptr, 0,
       LinkReason::kProxyFailureReply, 5},
      {"proxy failure reply 1", proxied({{5, 0}, false, failure1, {}}), nullptr, 0,
       LinkReason::kProxyFailureReply, 1},
      {"proxy closes the handshake", proxied({{5, 0}, true, {}, {}}), nullptr, 0,
       LinkReason::kProxyClosed, 0},
      {"proxy answers as version 4", proxied({{4, 0}, false, {}, {}}), nullptr, 0,
       LinkReason::kProxyBadReply, 4},
      {"proxy reply of an unknown address type", proxied({{5, 0}, false, badType, {}}), nullptr,
       0, LinkReason::kProxyBadReply, 9},
      {"proxy stalls after the greeting: timed out", proxied({{}, false, {}, {}}), nullptr, 0,
       LinkReason::kTimedOut, 300},
      {"server closes", server, [](LoopbackServer& s) { s.Close(); }, 2,
       LinkReason::kClosedByPeer, 0},
      {"server resets", server, [](LoopbackServer& s) { s.Reset(); }, 2, LinkReason::kResetByPeer,
       0},
      {"server sends a length below the header", server,
       [](LoopbackServer& s) { s.Send(ByteVec{2, 0, 0, 0}); }, 2, LinkReason::kFramingError, 0},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::shared_ptr<void> keep;
    uint16_t port = 0, proxyPort = 0;
    row.setUp(keep, port, proxyPort);
    NotingWorker worker;
    {
      TCPClient_Socks5 client(&worker);
      client.SetLinkNoteWorker(&worker);
      client.SetConnectTimeoutMs(300);
      if (proxyPort != 0) {
        Nimbo2::tagProxyInfo info = LocalProxy(proxyPort);
        client.SetProxyServer(info);
      }
      ASSERT_TRUE(client.Connect(LoopbackAddress(port)));
      if (row.afterUp) {
        auto* s = static_cast<LoopbackServer*>(keep.get());
        ASSERT_TRUE(s->Accept());
        ASSERT_TRUE(worker.WaitStates(1));
        row.afterUp(*s);
        ASSERT_TRUE(worker.WaitStates(2));
      } else {
        ASSERT_TRUE(worker.WaitStates(1));
      }
    }
    const States expected = row.afterUp ? States{1, 2} : States{0};
    EXPECT_EQ(worker.States(), expected);
    const std::vector<LinkNote> notes = worker.Notes();
    ASSERT_EQ(notes.size(), 1u) << "one reason per failure or loss";
    EXPECT_EQ(worker.StatesBefore()[0], expected.size() - 1) << "the reason comes before its state";
    const LinkNote& n = notes[0];
    EXPECT_EQ(n.state, row.state);
    EXPECT_EQ(n.reason, row.reason);
    EXPECT_EQ(n.value, row.value);
    EXPECT_EQ(n.address, kLoopback);
    EXPECT_EQ(n.port, port);
    EXPECT_EQ(n.viaProxy, proxyPort != 0);
    EXPECT_EQ(n.proxyPort, proxyPort);
    EXPECT_EQ(n.proxyAddress, proxyPort != 0 ? kLoopback : 0u);
  }
}

// ---------------------------------------------------------------------------
// The same reasons as the host reads them.

IImClient* NewClient() {
  return static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION));
}

struct ClientDeleter {
  void operator()(IImClient* c) const { c->Release(); }
};

TEST(LinkHealth, TheHostReadsOneLogLineBeforeTheState) {
  const std::string head = "QueryInterface(IID_IImClientSink,16843008)\n";
  struct Row {
    const char* name;
    FakeSocks5Script proxy;  // used when `viaProxy`
    bool viaProxy;
    bool serverCloses;       // direct: connect, then the server closes
    std::string line;        // the OnLog text, with the ports as {P} and {X}
    std::string state;
    const char* host = nullptr;       // IImClientNetwork::ConnectTo this host instead
    const char* proxyHost = nullptr;  // ... through SetProxy(proxyHost)
  } rows[] = {
      {"refused", {}, false, false, "connect to 127.0.0.1:{P} failed: connection refused",
       "OnConnect(0)"},
      {"proxy failure reply 5", {{5, 0}, false, {5, 5, 0, 1, 0, 0, 0, 0, 0, 0}, {}}, true, false,
       "connect to 127.0.0.1:9 via proxy 127.0.0.1:{X} failed: proxy failure reply 5 "
       "(connection refused)",
       "OnConnect(0)"},
      {"proxy reply code with no meaning", {{5, 0}, false, {5, 0x2A, 0, 1, 0, 0, 0, 0, 0, 0}, {}},
       true, false,
       "connect to 127.0.0.1:9 via proxy 127.0.0.1:{X} failed: proxy failure reply 42 "
       "(unassigned code)",
       "OnConnect(0)"},
      {"proxy accepts no method", {{5, 0xFF}, false, {}, {}}, true, false,
       "connect to 127.0.0.1:9 via proxy 127.0.0.1:{X} failed: proxy refused the "
       "no-authentication method (method byte 0xFF)",
       "OnConnect(0)"},
      {"proxy closes the handshake", {{5, 0}, true, {}, {}}, true, false,
       "connect to 127.0.0.1:9 via proxy 127.0.0.1:{X} failed: proxy closed the connection "
       "during the handshake",
       "OnConnect(0)"},
      {"server closes", {}, false, true, "connection to 127.0.0.1:{P} lost: connection closed by peer",
       "OnConnect(1)\nOnClose(0)"},
      {"a name that does not resolve", {}, false, false,
       "connect to kelvo-test.invalid:{P} failed: cannot resolve \\x27kelvo-test.invalid\\x27: "
       "no such name",
       "OnConnect(0)", "kelvo-test.invalid"},
      {"no address of a name answers", {}, false, false,
       "connect to localhost:{P} failed: no address of \\x27localhost\\x27 answered: "
       "connection refused",
       "OnConnect(0)", "localhost"},
      {"an IPv6 address refuses", {}, false, false,
       "connect to [::1]:{P} failed: connection refused", "OnConnect(0)", "::1"},
      {"a proxy by name refuses the target", {{5, 0}, false, {5, 5, 0, 1, 0, 0, 0, 0, 0, 0}, {}},
       true, false,
       "connect to im.example.com:9 via proxy localhost:{X} failed: proxy failure reply 5 "
       "(connection refused)",
       "OnConnect(0)", "im.example.com", "localhost"},
      {"a proxy's name that does not resolve", {}, true, false,
       "connect to im.example.com:9 via proxy proxy.invalid:{X} failed: cannot resolve "
       "\\x27proxy.invalid\\x27: no such name",
       "OnConnect(0)", "im.example.com", "proxy.invalid"},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<FakeSocks5Proxy> proxy;
    std::unique_ptr<LoopbackServer> server;
    ServerAddress address{};
    address.serverIp = kLoopback;
    if (row.viaProxy) {
      proxy = std::make_unique<FakeSocks5Proxy>(row.proxy);
      address.serverPort = kFarPort;
      address.proxyIp = kLoopback;
      address.proxyPort = proxy->port();
    } else if (row.serverCloses) {
      server = std::make_unique<LoopbackServer>();
      address.serverPort = server->port();
    } else {
      address.serverPort = ClosedPort();
    }
    std::string line = "ImServerClient: " + row.line + "\\x0a";
    const auto put = [&line](const std::string& key, unsigned value) {
      const std::size_t at = line.find(key);
      if (at != std::string::npos) line.replace(at, key.size(), std::to_string(value));
    };
    put("{P}", address.serverPort);
    put("{X}", address.proxyPort);
    std::string expected = head;
    if (row.serverCloses) {
      expected += "OnConnect(1)\nOnLog('" + line + "')\nOnClose(0)\n";
    } else {
      expected += "OnLog('" + line + "')\n" + row.state + "\n";
    }

    WaitingSink sink;
    std::unique_ptr<IImClient, ClientDeleter> client(NewClient());
    ASSERT_TRUE(client->SetSink(&sink));
    if (row.host != nullptr) {
      auto* const net = static_cast<IImClientNetwork*>(
          client->QueryInterface(IID_IImClientNetwork, IM_NETWORK_INTERFACE_VERSION));
      ASSERT_NE(net, nullptr);
      if (row.proxyHost != nullptr) {
        ASSERT_TRUE(net->SetProxy(row.proxyHost, address.proxyPort));
      }
      ASSERT_TRUE(net->ConnectTo(row.host, address.serverPort));
    } else {
      ASSERT_TRUE(client->Connect(&address));
    }
    if (row.serverCloses) {
      ASSERT_TRUE(server->Accept());
      ASSERT_TRUE(sink.WaitFor("OnConnect"));
      server->Close();
      ASSERT_TRUE(sink.WaitFor("OnClose"));
    } else {
      ASSERT_TRUE(sink.WaitFor("OnConnect"));
    }
    client.reset();
    EXPECT_EQ(sink.log, expected);
  }
}

TEST(LinkHealth, AReconnectFromInsideTheLogLineSilencesTheStaleFailure) {
  // The host reacts to the reason at once with a new attempt: the failure
  // the line explained belongs to the old attempt and must not reach it.
  LoopbackServer server;
  WaitingSink sink;
  std::unique_ptr<IImClient, ClientDeleter> client(NewClient());
  ASSERT_TRUE(client->SetSink(&sink));
  ServerAddress good{};
  good.serverIp = kLoopback;
  good.serverPort = server.port();
  bool retried = false;
  sink.hook = [&](const std::string& name) {
    if (name == "OnLog" && !retried) {
      retried = true;
      EXPECT_TRUE(client->Connect(&good));
    }
  };
  ServerAddress refused = good;
  refused.serverPort = ClosedPort();
  ASSERT_TRUE(client->Connect(&refused));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(sink.WaitFor("OnConnect"));
  client.reset();
  const std::vector<std::string> names = sink.Names();
  EXPECT_EQ(names, (std::vector<std::string>{"QueryInterface", "OnLog", "OnConnect"}));
  EXPECT_NE(sink.log.find("OnConnect(1)"), std::string::npos) << sink.log;
}

// ---------------------------------------------------------------------------
// Health limits against live peers.

// Short limits for the suite: a dead idle link in 3 s, stalls in 1.5 s.
LinkHealthLimits ShortLimits() {
  LinkHealthLimits l;
  l.keepAliveIdleMs = 1000;
  l.keepAliveIntervalMs = 1000;
  l.keepAliveProbes = 2;
  l.sendStallMs = 1500;
  return l;
}

struct Up {
  LoopbackServer server;
  NotingWorker worker;
  std::unique_ptr<TCPClient_Socks5> client = std::make_unique<TCPClient_Socks5>(&worker);

  void Connect(const LinkHealthLimits& limits) {
    client->SetLinkNoteWorker(&worker);
    client->SetLinkHealthLimits(limits);
    ASSERT_TRUE(client->Connect(server.Address()));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(worker.WaitStates(1));
    ASSERT_EQ(worker.States(), States{1});
  }
};

TEST(LinkHealth, KeepAliveIsTunedAndASilentPeerStaysConnected) {
  // The protocol has no heartbeat: a live peer with nothing to say must
  // outlast every limit many times over; only unanswered probes may end it.
  Up c;
  ASSERT_NO_FATAL_FAILURE(c.Connect(ShortLimits()));
  const uint32_t tuned = c.client->LinkTuningApplied();
  EXPECT_TRUE(tuned & Nimbo2::kTunedKeepAlive) << "keep-alive timings were not taken";
#if defined(__linux__)
  EXPECT_EQ(tuned, Nimbo2::kTunedKeepAlive | Nimbo2::kTunedProbeCount |
                       Nimbo2::kTunedUnacknowledged);
#endif
  EXPECT_FALSE(c.worker.WaitStates(2, std::chrono::milliseconds(4500)))
      << "a silent, live peer was dropped";
  EXPECT_TRUE(c.worker.Notes().empty());
}

// Everything the peer can still read, until the client's end is closed.
ByteVec ReadUntilClosed(SocketHandle fd) {
  ByteVec got;
  std::vector<uint8_t> buf(64 * 1024);
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (PollSockets(&p, 1, 5000) <= 0) break;  // bounded: 5 s of silence ends it
    const long n = RecvBytes(fd, buf.data(), buf.size());
    if (n <= 0) break;
    got.insert(got.end(), buf.begin(), buf.begin() + n);
  }
  return got;
}

// Sends distinct maximal messages until SendMsg refuses; returns the
// accepted stream.
ByteVec FillUntilRefused(TCPClient_Socks5& client, Clock::time_point* refusedAt) {
  ByteVec accepted;
  const std::size_t cap = Nimbo2::kSendQueueLimitBytes + (64u << 20);
  for (uint8_t seed = 0; accepted.size() < cap; ++seed) {
    ByteVec m = Frame(0x7FFF, 1, seed);
    if (!client.SendMsg(nullptr, m.data(), static_cast<int>(m.size()))) {
      *refusedAt = Clock::now();
      break;
    }
    accepted.insert(accepted.end(), m.begin(), m.end());
  }
  return accepted;
}

TEST(LinkHealth, APeerThatStopsReadingIsDroppedWithinTheStallLimit) {
  const LinkHealthLimits limits = WithDefaults() ? LinkHealthLimits{} : ShortLimits();
  const long long bound = WithDefaults() ? Nimbo2::kSendStallMs : limits.sendStallMs;
  Up c;
  ASSERT_NO_FATAL_FAILURE(c.Connect(limits));
  Clock::time_point refusedAt{};
  const ByteVec accepted = FillUntilRefused(*c.client, &refusedAt);
  ASSERT_NE(refusedAt, Clock::time_point{}) << "SendMsg never refused";
  ASSERT_TRUE(c.worker.WaitStates(2, std::chrono::milliseconds(bound + 5000)));
  const long long took = MsSince(refusedAt);
  // The limit runs from the peer's last taken byte, which is before the
  // queue filled; the tick adds up to a second.
  EXPECT_LE(took, bound + 1500);
  if (WithDefaults()) std::printf("stalled peer: OnClose %lld ms after the queue filled\n", took);
  ASSERT_EQ(c.worker.Notes().size(), 1u);
  EXPECT_EQ(c.worker.Notes()[0].reason, LinkReason::kSendStall);
  EXPECT_EQ(c.worker.Notes()[0].value, static_cast<uint32_t>(bound));
  ByteVec m = Frame(16, 1);
  EXPECT_FALSE(c.client->SendMsg(nullptr, m.data(), 16)) << "nothing is accepted after the loss";

  // What the peer can still read is a prefix of the accepted stream, and
  // at least everything counted as sent; the queue's rest was dropped, not
  // sent later.
  const ByteVec got = ReadUntilClosed(c.server.connection());
  EXPECT_LT(got.size(), accepted.size());
  EXPECT_LE(c.client->BytesSent(), got.size()) << "bytes counted as sent that never left";
  EXPECT_TRUE(std::equal(got.begin(), got.end(), accepted.begin())) << "not a prefix";
}

TEST(LinkHealth, ASlowReaderIsNotAStall) {
  // The peer takes a little at a time: the queue stays full for far longer
  // than the limit, but the peer keeps taking bytes.
  Up c;
  ASSERT_NO_FATAL_FAILURE(c.Connect(ShortLimits()));
  Clock::time_point refusedAt{};
  ByteVec accepted = FillUntilRefused(*c.client, &refusedAt);
  ASSERT_NE(refusedAt, Clock::time_point{});
  const auto until = Clock::now() + std::chrono::milliseconds(3 * 1500);
  ByteVec got;
  while (Clock::now() < until) {
    ASSERT_TRUE(c.server.Read(16 * 1024, &got, std::chrono::seconds(2)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(c.worker.States(), States{1}) << "a peer that reads was dropped";
  EXPECT_TRUE(c.worker.Notes().empty());
  // The rest arrives whole once the peer reads at full speed (and no send
  // is left pending when the client goes).
  ASSERT_TRUE(c.server.Read(accepted.size() - got.size(), &got, std::chrono::seconds(10)));
  EXPECT_TRUE(got == accepted);
}

// ---------------------------------------------------------------------------
// A server that vanishes without FIN or RST (Linux, root).

#if defined(__linux__)
TEST(LinkHealth, AVanishedServerIsNoticedByKeepAliveOrTheUnacknowledgedLimit) {
  struct Row {
    const char* name;
    bool sendAfter;  // the client has data out when the server is gone
    LinkHealthLimits limits;
    long long boundMs;
    LinkReason reason;
  };
  LinkHealthLimits idle = ShortLimits();
  LinkHealthLimits busy;
  busy.unacknowledgedMs = 2000;  // keep-alive stays at its 20 s idle time
  Row rows[] = {
      {"idle: keep-alive", false, idle, 3000, LinkReason::kKeepAliveTimeout},
      {"data out: unacknowledged", true, busy, 2000, LinkReason::kUnacknowledged},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (WithDefaults()) {
      row.limits = LinkHealthLimits{};
      row.boundMs = Nimbo2::kUnacknowledgedMs;
    }
    VethNamespace ns;
    if (!ns.Start()) GTEST_SKIP() << "no network namespace: " << ns.error();
    ASSERT_TRUE(ns.Listen()) << ns.error();
    NotingWorker worker;
    TCPClient_Socks5 client(&worker);
    client.SetLinkNoteWorker(&worker);
    client.SetLinkHealthLimits(row.limits);
    ASSERT_TRUE(client.Connect(ns.Address()));
    // Bounded by the connect timeout (10 s), which a lost SYN's retries fit.
    ASSERT_TRUE(ns.Accept(std::chrono::seconds(12)));
    ASSERT_TRUE(worker.WaitStates(1, std::chrono::seconds(12)));
    ASSERT_EQ(worker.States(), States{1});
    ASSERT_TRUE(ns.Vanish()) << ns.error();
    const auto vanished = Clock::now();
    if (row.sendAfter) {
      ByteVec m = Frame(64, 1);
      ASSERT_TRUE(client.SendMsg(nullptr, m.data(), 64));
    }
    ASSERT_TRUE(worker.WaitStates(2, std::chrono::milliseconds(row.boundMs + 10000)))
        << "the vanished server was not noticed";
    const long long took = MsSince(vanished);
    if (WithDefaults()) std::printf("%s: OnClose %lld ms after the server vanished\n", row.name, took);
    EXPECT_GE(took, row.boundMs - 1000) << "dropped before the limit";
    EXPECT_LE(took, row.boundMs + 4000);
    ASSERT_EQ(worker.Notes().size(), 1u);
    EXPECT_EQ(worker.Notes()[0].reason, row.reason);
    EXPECT_EQ(worker.Notes()[0].state, 2u);
  }
}

TEST(LinkHealth, AServerWhoseLinkIsDownIsUnreachable) {
  // Nobody answers for the address any more: the system gives up on the
  // neighbour before our own deadline and says so.
  VethNamespace ns;
  if (!ns.Start()) GTEST_SKIP() << "no network namespace: " << ns.error();
  ASSERT_TRUE(ns.Listen()) << ns.error();
  ASSERT_TRUE(ns.Vanish()) << ns.error();
  NotingWorker worker;
  TCPClient_Socks5 client(&worker);
  client.SetLinkNoteWorker(&worker);
  client.SetConnectTimeoutMs(20000);
  ASSERT_TRUE(client.Connect(ns.Address()));
  ASSERT_TRUE(worker.WaitStates(1, std::chrono::seconds(15)));
  EXPECT_EQ(worker.States(), States{0});
  ASSERT_EQ(worker.Notes().size(), 1u);
  EXPECT_EQ(worker.Notes()[0].reason, LinkReason::kUnreachable);
}
#endif

}  // namespace
}  // namespace test
}  // namespace kelvo
