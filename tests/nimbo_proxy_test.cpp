// Connecting through SOCKS5: a real proxy (microsocks) end to end, and a
// scripted one for every way a handshake can go wrong or be shaped.
#if !defined(_WIN32)
#include <arpa/inet.h>  // Winsock comes with the socket client's header
#endif
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "nimbo2/tcp_client_socks5.h"
#include "support/loopback_server.h"
#include "support/socks5_proxy.h"

namespace kelvo {
namespace test {
namespace {

using Nimbo2::TCPClient_Socks5;
using Nimbo2::tagProxyInfo;
using States = std::vector<uint32_t>;

tagProxyInfo LocalProxy(uint16_t port) {
  tagProxyInfo info{};
  info.address = INADDR_LOOPBACK;  // host byte order
  info.port = port;
  info.param = 0xDEADBEEF;  // opaque: must not disturb anything
  return info;
}

// 10.1.2.3:8080 — only ever named to the proxy, never dialled.
sockaddr_in FarTarget() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(8080);
  a.sin_addr.s_addr = htonl(0x0A010203);
  return a;
}
const ByteVec kGreeting = {5, 1, 0};
const ByteVec kRequest = {5, 1, 0, 1, 10, 1, 2, 3, 0x1F, 0x90};

TEST(NimboProxy, ConnectsAndExchangesThroughMicrosocks) {
  auto proxy = std::make_unique<MicrosocksProxy>();
  if (!proxy->Start()) GTEST_SKIP() << proxy->error();
  LoopbackServer server;
  RecordingWorker worker;
  TCPClient_Socks5 client(&worker);
  tagProxyInfo info = LocalProxy(proxy->port());
  client.SetProxyServer(info);
  ASSERT_TRUE(client.Connect(server.Address()));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(worker.WaitStates(1));
  ASSERT_EQ(worker.States(), States{1});

  const std::vector<ByteVec> down = {Frame(4, 1), Frame(300, 2, 9), Frame(0x7FFF, 3)};
  for (const ByteVec& m : down) ASSERT_TRUE(server.Send(m));
  ASSERT_TRUE(worker.WaitMessages(down.size()));
  EXPECT_EQ(worker.Messages(), down);
  const ByteVec up = Frame(77, 4, 3);
  ASSERT_TRUE(client.SendMsg(nullptr, const_cast<uint8_t*>(up.data()), 77));
  ByteVec got;
  ASSERT_TRUE(server.Read(up.size(), &got));
  EXPECT_EQ(got, up);

  // Withdrawn: with the proxy gone, the next connection must go direct.
  EXPECT_TRUE(client.CloseSocket(false));
  proxy.reset();
  client.CancelProxyServer();
  ASSERT_TRUE(client.Connect(server.Address()));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(worker.WaitStates(2));
  EXPECT_EQ(worker.States(), (States{1, 1}));
}

TEST(NimboProxy, HandshakeFailuresAreFailedAttempts) {
  struct Row {
    const char* name;
    FakeSocks5Script script;
    bool reachesRequest;
  } rows[] = {
      {"CONNECT refused (reply code 5)",
       {{5, 0}, false, {5, 5, 0, 1, 0, 0, 0, 0, 0, 0}, {}}, true},
      {"no acceptable method (0xFF)", {{5, 0xFF}, false, {}, {}}, false},
      {"method reply of another version", {{4, 0}, false, {}, {}}, false},
      {"a method we did not offer", {{5, 2}, false, {}, {}}, false},
      {"reply with an unknown address type",
       {{5, 0}, false, {5, 0, 0, 9, 0, 0, 0, 0, 0, 0}, {}}, true},
      {"proxy closes during the handshake", {{5, 0}, true, {}, {}}, false},
      {"proxy stalls after the greeting", {{}, false, {}, {}}, false},
      {"proxy stalls after the request", {{5, 0}, false, {}, {}}, true},
      {"reply cut short, then silence", {{5, 0}, false, {5, 0, 0, 1, 127}, {}}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSocks5Proxy proxy(row.script);
    RecordingWorker worker;
    {
      TCPClient_Socks5 client(&worker);
      client.SetConnectTimeoutMs(300);
      tagProxyInfo info = LocalProxy(proxy.port());
      client.SetProxyServer(info);
      ASSERT_TRUE(client.Connect(FarTarget()));
      ASSERT_TRUE(worker.WaitStates(1));
      EXPECT_EQ(client.GetConnectState(), 0);
    }
    EXPECT_EQ(worker.States(), States{0});
    EXPECT_EQ(proxy.Greeting(), kGreeting);
    EXPECT_EQ(proxy.Request(), row.reachesRequest ? kRequest : ByteVec{});
  }
}

TEST(NimboProxy, ASlowProxyWithinTheAttemptsLimitIsNotATimeout) {
  // The pending connect is checked on a short timer; once the socket is up,
  // that timer's next firing must not be taken for the attempt's end. A
  // proxy (or, alike, a TLS server) that answers a second later is slow,
  // not gone.
  LoopbackServer proxy;
  RecordingWorker worker;
  TCPClient_Socks5 client(&worker);
  tagProxyInfo info = LocalProxy(proxy.port());
  client.SetProxyServer(info);
  ASSERT_TRUE(client.Connect(FarTarget()));
  ASSERT_TRUE(proxy.Accept());
  ByteVec got;
  ASSERT_TRUE(proxy.Read(kGreeting.size(), &got));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  ASSERT_TRUE(proxy.Send(ByteVec{5, 0}));
  got.clear();
  ASSERT_TRUE(proxy.Read(kRequest.size(), &got));
  EXPECT_EQ(got, kRequest);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  ASSERT_TRUE(proxy.Send(ByteVec{5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90}));
  ASSERT_TRUE(worker.WaitStates(1));
  EXPECT_EQ(worker.States(), States{1});
}

TEST(NimboProxy, ReadsExactlyTheReplysBoundAddress) {
  // Whatever the address type of the reply, the first byte after it is the
  // server's: a message sent right behind the reply must arrive intact.
  const ByteVec message = Frame(20, 7, 1);
  struct Row {
    const char* name;
    ByteVec reply;
  } rows[] = {
      {"IPv4", {5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90}},
      {"IPv6", {5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x1F, 0x90}},
      {"domain", {5, 0, 0, 3, 9, 'l', 'o', 'c', 'a', 'l', 'h', 'o', 's', 't', 0x1F, 0x90}},
      {"empty domain", {5, 0, 0, 3, 0, 0x1F, 0x90}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSocks5Proxy proxy({{5, 0}, false, row.reply, message});
    RecordingWorker worker;
    TCPClient_Socks5 client(&worker);
    tagProxyInfo info = LocalProxy(proxy.port());
    client.SetProxyServer(info);
    ASSERT_TRUE(client.Connect(FarTarget()));
    ASSERT_TRUE(worker.WaitStates(1));
    EXPECT_EQ(worker.States(), States{1});
    ASSERT_TRUE(worker.WaitMessages(1));
    EXPECT_EQ(worker.Messages(), std::vector<ByteVec>{message});
    EXPECT_EQ(proxy.Request(), kRequest);
  }
}

// By name: the server's name goes to the proxy as a domain name (ATYP 3),
// an IPv6 literal as an IPv6 address (ATYP 4), an IPv4 one as before; the
// proxy's own name is resolved here.
TEST(NimboProxy, NamesTheTargetAsItWasGiven) {
  struct Row {
    const char* name;
    const char* proxyHost;
    const char* target;
    ByteVec request;
  } rows[] = {
      {"a name", "127.0.0.1", "im.example.com",
       {5, 1, 0, 3, 14, 'i', 'm', '.', 'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'c', 'o', 'm', 0x1F,
        0x90}},
      {"an IPv6 literal", "127.0.0.1", "[2001:db8::7]",
       {5, 1, 0, 4, 0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0x1F, 0x90}},
      {"an IPv4 literal", "127.0.0.1", "10.1.2.3", kRequest},
      // ::1 refuses (the fake proxy listens on 127.0.0.1 only), 127.0.0.1 answers.
      {"the proxy by name", "localhost", "im.example.com",
       {5, 1, 0, 3, 14, 'i', 'm', '.', 'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'c', 'o', 'm', 0x1F,
        0x90}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSocks5Proxy proxy({});
    RecordingWorker worker;
    TCPClient_Socks5 client(&worker);
    ASSERT_TRUE(client.SetProxyHost(row.proxyHost, proxy.port()));
    ASSERT_TRUE(client.ConnectTo(row.target, 8080));
    ASSERT_TRUE(worker.WaitStates(1));
    EXPECT_EQ(worker.States(), States{1});
    EXPECT_EQ(proxy.Greeting(), kGreeting);
    EXPECT_EQ(proxy.Request(), row.request);
  }
}

// Real proxies resolve the name themselves and reach IPv6 targets.
TEST(NimboProxy, NamesAndIpv6ThroughMicrosocksAndDante) {
  auto microsocks = std::make_unique<MicrosocksProxy>();
  auto dante = std::make_unique<DanteProxy>();
  const bool haveMicrosocks = microsocks->Start();
  const bool haveDante = dante->Start();
  if (!haveMicrosocks && !haveDante) GTEST_SKIP() << microsocks->error() << "; " << dante->error();
  LoopbackServer four;
  LoopbackServer six(16, true);
  if (!six.listening()) GTEST_SKIP() << "no ::1 on this machine: IPv6 through a proxy not tested";
  struct Proxy {
    const char* name;
    bool running;
    uint16_t port;
    std::string why;
  } proxies[] = {{"microsocks", haveMicrosocks, microsocks->port(), microsocks->error()},
                 {"danted", haveDante, dante->port(), dante->error()}};
  struct Target {
    const char* host;
    LoopbackServer* server;
  } targets[] = {{"localhost", &four}, {"::1", &six}, {"[::1]", &six}};
  for (const Proxy& proxy : proxies) {
    if (!proxy.running) {
      std::printf("  %s not tested: %s\n", proxy.name, proxy.why.c_str());
      ADD_FAILURE() << proxy.name << ": " << proxy.why;
      continue;
    }
    for (const Target& target : targets) {
      SCOPED_TRACE(std::string(proxy.name) + " to " + target.host);
      RecordingWorker worker;
      TCPClient_Socks5 client(&worker);
      ASSERT_TRUE(client.SetProxyHost("localhost", proxy.port));
      ASSERT_TRUE(client.ConnectTo(target.host, target.server->port()));
      ASSERT_TRUE(target.server->Accept());
      ASSERT_TRUE(worker.WaitStates(1));
      EXPECT_EQ(worker.States(), States{1});
      const ByteVec down = Frame(40, 5, 2);
      ASSERT_TRUE(target.server->Send(down));
      ASSERT_TRUE(worker.WaitMessages(1));
      EXPECT_EQ(worker.Messages(), std::vector<ByteVec>{down});
    }
  }
}

}  // namespace
}  // namespace test
}  // namespace kelvo
