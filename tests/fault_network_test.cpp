// Faults on the wire against TCPClient_Socks5 alone: peers that reset in the
// middle of a message, accept and then say nothing, drip a stream one byte
// per segment, split a message over many delayed segments, send maximal
// messages back to back, and SOCKS5 proxies that go wrong in the ways the
// proxy suite does not script (refused, reset or closed at each step of the
// handshake, a reply dripped byte by byte, a stall inside the reply's
// address).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "nimbo2/tcp_client_socks5.h"
#include "support/loopback_server.h"

namespace kelvo {
namespace test {
namespace {

using Nimbo2::TCPClient_Socks5;
using Nimbo2::tagProxyInfo;
using States = std::vector<uint32_t>;
using Clock = std::chrono::steady_clock;

ByteVec Concat(const std::vector<ByteVec>& messages) {
  ByteVec all;
  for (const ByteVec& m : messages) all.insert(all.end(), m.begin(), m.end());
  return all;
}

// Every write of the test peer leaves as its own segment.
void NoDelay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A small deterministic generator, so that a failing split can be replayed.
struct Lcg {
  uint32_t state;
  uint32_t Next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
};

// A connected client and its server side.
struct Connected {
  LoopbackServer server;
  RecordingWorker worker;
  std::unique_ptr<TCPClient_Socks5> client = std::make_unique<TCPClient_Socks5>(&worker);

  void Up() {
    ASSERT_TRUE(client->Connect(server.Address()));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(worker.WaitStates(1));
    ASSERT_EQ(worker.States(), States{1});
  }
};

// ---------------------------------------------------------------------------
// Endings in the middle of a message.

TEST(FaultNetwork, PeerEndingMidMessageReportsOneClosureAndDeliversNoPartial) {
  // A whole message first (delivered before the fault), then part of the
  // next one, then the peer goes. The partial bytes must never reach the
  // worker, and the ending is reported exactly once.
  struct Row {
    const char* name;
    std::size_t partial;  // bytes of the second message that get out
    uint16_t length;      // its announced length
    bool reset;           // RST instead of FIN
  } rows[] = {
      {"reset after one byte of the length word", 1, 100, true},
      {"reset after the length word", 2, 100, true},
      {"reset after the header", 4, 100, true},
      {"reset one byte short", 99, 100, true},
      {"reset half-way through a maximal message", 0x4000, 0x7FFF, true},
      {"reset one byte short of a maximal message", 0x7FFE, 0x7FFF, true},
      {"FIN one byte short of a maximal message", 0x7FFE, 0x7FFF, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Connected c;
    ASSERT_NO_FATAL_FAILURE(c.Up());
    const ByteVec whole = Frame(50, 1, 3);
    ASSERT_TRUE(c.server.Send(whole));
    ASSERT_TRUE(c.worker.WaitMessages(1));
    const ByteVec cut = Frame(row.length, 2, 7);
    ASSERT_TRUE(c.server.Send(cut.data(), row.partial));
    if (row.reset) {
      c.server.Reset();
    } else {
      c.server.Close();
    }
    ASSERT_TRUE(c.worker.WaitStates(2));
    EXPECT_EQ(c.client->GetConnectState(), 0);
    c.client.reset();  // joins: nothing more can be reported after this
    EXPECT_EQ(c.worker.States(), (States{1, 2}));
    EXPECT_EQ(c.worker.Messages(), std::vector<ByteVec>{whole});
  }
}

// ---------------------------------------------------------------------------
// A peer that accepts and never sends.

TEST(FaultNetwork, SilentPeerKeepsTheConnectionUpAndCloseStillWorks) {
  struct Row {
    const char* name;
    bool notify;
    States finalStates;
  } rows[] = {
      {"CloseSocket(true) reports the closure once", true, {1, 2}},
      {"CloseSocket(false) reports nothing", false, {1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Connected c;
    ASSERT_NO_FATAL_FAILURE(c.Up());
    // More than a second of silence.
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(c.worker.States(), States{1}) << "no state change on a silent peer";
    EXPECT_EQ(c.worker.MessageCount(), 0u);
    EXPECT_EQ(c.client->GetConnectState(), 2);
    // Still usable in the other direction.
    const ByteVec up = Frame(12, 5, 1);
    ASSERT_TRUE(c.client->SendMsg(nullptr, const_cast<uint8_t*>(up.data()), 12));
    ByteVec got;
    ASSERT_TRUE(c.server.Read(up.size(), &got));
    EXPECT_EQ(got, up);

    EXPECT_TRUE(c.client->CloseSocket(row.notify));
    EXPECT_TRUE(c.server.WaitPeerClosed()) << "the socket is really closed";
    if (row.notify) {
      ASSERT_TRUE(c.worker.WaitStates(2));
    }
    c.client.reset();
    EXPECT_EQ(c.worker.States(), row.finalStates);
  }
}

// ---------------------------------------------------------------------------
// Odd segmentation.

TEST(FaultNetwork, OneBytePerSegmentDeliversEveryMessageInOrder) {
  Connected c;
  ASSERT_NO_FATAL_FAILURE(c.Up());
  NoDelay(c.server.connection());
  std::vector<ByteVec> messages = {Frame(4, 1), Frame(5, 2, 1, true), Frame(0x7FFF, 3, 2)};
  for (int i = 0; i < 150; ++i) messages.push_back(Frame(4 + (i * 37) % 200, 9, i & 0xFF));
  messages.push_back(Frame(1444, 72, 9));
  const ByteVec stream = Concat(messages);
  for (std::size_t i = 0; i < stream.size(); ++i) ASSERT_TRUE(c.server.Send(&stream[i], 1));
  ASSERT_TRUE(c.worker.WaitMessages(messages.size(), 20s));
  EXPECT_EQ(c.worker.Messages(), messages);
  EXPECT_EQ(c.worker.States(), States{1});
}

TEST(FaultNetwork, MessagesSplitOverManyDelayedSegmentsArriveWhole) {
  // A maximal message in many pieces with pauses between them: nothing may
  // come out before its last byte is in, and then it comes out whole. The
  // pieces of the second half also cross into the following messages.
  Connected c;
  ASSERT_NO_FATAL_FAILURE(c.Up());
  NoDelay(c.server.connection());
  const std::vector<ByteVec> messages = {Frame(0x7FFF, 11, 5), Frame(300, 12, 6),
                                         Frame(0x7FFF, 13, 7, true), Frame(4, 14)};
  const ByteVec stream = Concat(messages);
  Lcg rng{12345};
  std::size_t sent = 0;
  // First message, all but its last byte, in pieces of 1 to 2000 bytes.
  while (sent < 0x7FFE) {
    const std::size_t piece = std::min<std::size_t>(1 + rng.Next() % 2000, 0x7FFE - sent);
    ASSERT_TRUE(c.server.Send(stream.data() + sent, piece));
    sent += piece;
    std::this_thread::sleep_for(std::chrono::milliseconds(rng.Next() % 3));
  }
  // Once the client has counted every byte, the read that brought the last
  // of them is being handled; a message sent now is written only after that
  // handler is done (one I/O thread), so when the server has it the framer
  // has seen all 0x7FFE bytes. None of them may have come out as a message.
  const auto deadline = Clock::now() + 5s;
  while (c.client->BytesReceived() < 0x7FFE && Clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(c.client->BytesReceived(), 0x7FFEu);
  const ByteVec probe = Frame(8, 1);
  ASSERT_TRUE(c.client->SendMsg(nullptr, const_cast<uint8_t*>(probe.data()), 8));
  ByteVec echo;
  ASSERT_TRUE(c.server.Read(8, &echo));
  EXPECT_EQ(c.worker.MessageCount(), 0u) << "delivered before its last byte arrived";
  while (sent < stream.size()) {
    const std::size_t piece = std::min<std::size_t>(1 + rng.Next() % 5000, stream.size() - sent);
    ASSERT_TRUE(c.server.Send(stream.data() + sent, piece));
    sent += piece;
    std::this_thread::sleep_for(std::chrono::milliseconds(rng.Next() % 3));
  }
  ASSERT_TRUE(c.worker.WaitMessages(messages.size()));
  EXPECT_EQ(c.worker.Messages(), messages);
}

TEST(FaultNetwork, MaximalMessagesBackToBackArriveWhole) {
  // Enough maximal messages to wrap the framer's buffer many times, each
  // with its own content, some with the header's flag bit set.
  Connected c;
  ASSERT_NO_FATAL_FAILURE(c.Up());
  std::vector<ByteVec> messages;
  for (int i = 0; i < 64; ++i) {
    messages.push_back(Frame(0x7FFF, static_cast<uint8_t>(i), static_cast<uint8_t>(i * 13),
                             i % 3 == 0));
  }
  const ByteVec stream = Concat(messages);
  ASSERT_TRUE(c.server.Send(stream));
  ASSERT_TRUE(c.worker.WaitMessages(messages.size(), 20s));
  const std::vector<ByteVec> got = c.worker.Messages();
  ASSERT_EQ(got.size(), messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    ASSERT_EQ(got[i].size(), 0x7FFFu) << "message " << i;
    // The worker zeroes the last byte of every message it is handed, as the
    // client's handlers do; compare all the rest.
    EXPECT_TRUE(std::equal(got[i].begin(), got[i].end() - 1, messages[i].begin()))
        << "message " << i << " differs";
  }
  EXPECT_EQ(c.worker.States(), States{1});
}

// ---------------------------------------------------------------------------
// SOCKS5 proxies that go wrong.

// A one-connection peer on 127.0.0.1 that plays a script: read so many bytes,
// write some (at once or one byte per segment), close, reset, or hold the
// connection until the client lets go of it or the test ends.
class ScriptedPeer {
 public:
  struct Step {
    enum Kind { kRead, kWrite, kDrip, kClose, kReset, kHold } kind;
    ByteVec bytes;
    std::size_t n = 0;
  };
  static Step Read(std::size_t n) { return {Step::kRead, {}, n}; }
  static Step Write(ByteVec b) { return {Step::kWrite, std::move(b), 0}; }
  static Step Drip(ByteVec b) { return {Step::kDrip, std::move(b), 0}; }
  static Step Close() { return {Step::kClose, {}, 0}; }
  static Step Reset() { return {Step::kReset, {}, 0}; }
  static Step Hold() { return {Step::kHold, {}, 0}; }

  explicit ScriptedPeer(std::vector<Step> steps) : steps_(std::move(steps)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = LoopbackAddress(0);
    socklen_t len = sizeof a;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(listen_, 4) == 0 &&
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port_ = ntohs(a.sin_port);
    }
    if (::pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { Play(); });
  }
  ~ScriptedPeer() {
    if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
    thread_.join();
    for (int fd : {listen_, conn_, wake_[0], wake_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  uint16_t port() const { return port_; }
  ByteVec Received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }
  // True once the client has closed its end while the script held on.
  bool WaitClientGone(std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return clientGone_; });
  }

 private:
  // Waits for `events` on `fd` or the wake pipe; false on wake or deadline.
  bool Wait(int fd, short events, Clock::time_point deadline) {
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p[2] = {{fd, events, 0}, {wake_[0], POLLIN, 0}};
      const int r = ::poll(p, 2, static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0 || (p[1].revents & POLLIN)) return false;
      return true;
    }
  }

  void Play() {
    const auto deadline = Clock::now() + 10s;
    if (!Wait(listen_, POLLIN, deadline)) return;
    conn_ = ::accept(listen_, nullptr, nullptr);
    if (conn_ < 0) return;
    NoDelay(conn_);
    for (const Step& step : steps_) {
      switch (step.kind) {
        case Step::kRead: {
          uint8_t buf[512];
          std::size_t left = step.n;
          while (left > 0) {
            if (!Wait(conn_, POLLIN, deadline)) return;
            const ssize_t r = ::recv(conn_, buf, std::min(left, sizeof buf), 0);
            if (r <= 0) return;
            std::lock_guard<std::mutex> lock(mu_);
            received_.insert(received_.end(), buf, buf + r);
            left -= static_cast<std::size_t>(r);
          }
          break;
        }
        case Step::kWrite:
          if (::send(conn_, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) !=
              static_cast<ssize_t>(step.bytes.size()))
            return;
          break;
        case Step::kDrip:
          for (uint8_t b : step.bytes) {
            if (::send(conn_, &b, 1, MSG_NOSIGNAL) != 1) return;
            std::this_thread::sleep_for(2ms);  // pacing, so each byte is a read of its own
          }
          break;
        case Step::kClose:
          ::close(conn_);
          conn_ = -1;
          return;
        case Step::kReset: {
          const linger l{1, 0};
          ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
          ::close(conn_);
          conn_ = -1;
          return;
        }
        case Step::kHold: {
          uint8_t buf[512];
          while (Wait(conn_, POLLIN, deadline)) {
            const ssize_t r = ::recv(conn_, buf, sizeof buf, 0);
            if (r > 0) continue;
            std::lock_guard<std::mutex> lock(mu_);
            clientGone_ = true;
            cv_.notify_all();
            return;
          }
          return;
        }
      }
    }
  }

  std::vector<Step> steps_;
  int listen_ = -1;
  int conn_ = -1;
  int wake_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::mutex mu_;
  std::condition_variable cv_;
  ByteVec received_;
  bool clientGone_ = false;
  std::thread thread_;
};

tagProxyInfo ProxyAt(uint16_t port) {
  tagProxyInfo info{};
  info.address = INADDR_LOOPBACK;
  info.port = port;
  return info;
}

// The target named to the proxy; the proxies here never dial it.
const sockaddr_in kTarget = LoopbackAddress(9);
const ByteVec kGreeting = {5, 1, 0};
const ByteVec kRequest = {5, 1, 0, 1, 127, 0, 0, 1, 0, 9};
const ByteVec kOkReply = {5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90};

TEST(FaultNetwork, NoProxyListeningIsAFailedAttempt) {
  uint16_t closedPort;
  {
    LoopbackServer gone;
    closedPort = gone.port();
  }
  RecordingWorker worker;
  TCPClient_Socks5 client(&worker);
  client.SetConnectTimeoutMs(5000);
  tagProxyInfo info = ProxyAt(closedPort);
  client.SetProxyServer(info);
  const auto start = Clock::now();
  ASSERT_TRUE(client.Connect(kTarget));
  ASSERT_TRUE(worker.WaitStates(1));
  EXPECT_EQ(worker.States(), States{0});
  EXPECT_LT(Clock::now() - start, 3s) << "a refusal must not wait for the timeout";
  // The object is free for a new attempt, here direct.
  LoopbackServer server;
  client.CancelProxyServer();
  ASSERT_TRUE(client.Connect(server.Address()));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(worker.WaitStates(2));
  EXPECT_EQ(worker.States(), (States{0, 1}));
}

TEST(FaultNetwork, ProxyFaultsDuringTheHandshakeAreFailedAttempts) {
  using P = ScriptedPeer;
  struct Row {
    const char* name;
    std::vector<P::Step> steps;
    ByteVec expectReceived;
    bool holds;  // the proxy keeps its end open: the client must drop it
  } rows[] = {
      {"closes at once, before reading anything", {P::Close()}, {}, false},
      {"resets after the greeting", {P::Read(3), P::Reset()}, kGreeting, false},
      {"closes after the CONNECT request",
       {P::Read(3), P::Write({5, 0}), P::Read(10), P::Close()}, Concat({kGreeting, kRequest}),
       false},
      {"resets after the CONNECT request",
       {P::Read(3), P::Write({5, 0}), P::Read(10), P::Reset()}, Concat({kGreeting, kRequest}),
       false},
      {"half a method reply, then closes", {P::Read(3), P::Write({5}), P::Close()}, kGreeting,
       false},
      {"reply head cut short, then closes",
       {P::Read(3), P::Write({5, 0}), P::Read(10), P::Write({5, 0, 0, 1, 127}), P::Close()},
       Concat({kGreeting, kRequest}), false},
      {"IPv6 reply cut inside the address, then closes",
       {P::Read(3), P::Write({5, 0}), P::Read(10), P::Write({5, 0, 0, 4, 0, 0, 0, 0, 0}),
        P::Close()},
       Concat({kGreeting, kRequest}), false},
      {"domain reply stalls inside the name",
       {P::Read(3), P::Write({5, 0}), P::Read(10), P::Write({5, 0, 0, 3, 9, 'l', 'o', 'c'}),
        P::Hold()},
       Concat({kGreeting, kRequest}), true},
      {"domain reply stalls before the name's length",
       {P::Read(3), P::Write({5, 0}), P::Read(10), P::Write({5, 0, 0, 3}), P::Hold()},
       Concat({kGreeting, kRequest}), true},
      {"accepts and never reads or answers", {P::Hold()}, {}, true},
      {"general failure (reply code 1)",
       {P::Read(3), P::Write({5, 0}), P::Read(10), P::Write({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}),
        P::Hold()},
       Concat({kGreeting, kRequest}), true},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedPeer proxy(row.steps);
    RecordingWorker worker;
    {
      TCPClient_Socks5 client(&worker);
      client.SetConnectTimeoutMs(400);
      tagProxyInfo info = ProxyAt(proxy.port());
      client.SetProxyServer(info);
      ASSERT_TRUE(client.Connect(kTarget));
      ASSERT_TRUE(worker.WaitStates(1));
      EXPECT_EQ(client.GetConnectState(), 0);
      if (row.holds) {
        EXPECT_TRUE(proxy.WaitClientGone()) << "the proxy socket was left open";
      }
    }
    EXPECT_EQ(worker.States(), States{0});
    EXPECT_EQ(worker.MessageCount(), 0u);
    EXPECT_EQ(proxy.Received(), row.expectReceived);
  }
}

TEST(FaultNetwork, HandshakeDrippedOneBytePerSegmentSucceeds) {
  // Every read of the handshake may come back short; each field must be
  // gathered across reads, and the server's first message right behind the
  // reply must arrive intact.
  using P = ScriptedPeer;
  const ByteVec message = Frame(40, 7, 3);
  const ByteVec domainReply = {5, 0, 0, 3, 4, 'h', 'o', 's', 't', 0x1F, 0x90};
  for (const ByteVec& reply : {kOkReply, domainReply}) {
    SCOPED_TRACE(reply[3] == 1 ? "IPv4 reply" : "domain reply");
    ScriptedPeer proxy({P::Read(3), P::Drip({5, 0}), P::Read(10), P::Drip(reply), P::Drip(message),
                        P::Hold()});
    RecordingWorker worker;
    TCPClient_Socks5 client(&worker);
    tagProxyInfo info = ProxyAt(proxy.port());
    client.SetProxyServer(info);
    ASSERT_TRUE(client.Connect(kTarget));
    ASSERT_TRUE(worker.WaitStates(1));
    EXPECT_EQ(worker.States(), States{1});
    ASSERT_TRUE(worker.WaitMessages(1));
    EXPECT_EQ(worker.Messages(), std::vector<ByteVec>{message});
    EXPECT_EQ(proxy.Received(), Concat({kGreeting, kRequest}));
  }
}

TEST(FaultNetwork, ProxyClosingRightAfterItsReplyEndsAnUpConnection) {
  using P = ScriptedPeer;
  ScriptedPeer proxy({P::Read(3), P::Write({5, 0}), P::Read(10), P::Write(kOkReply), P::Close()});
  RecordingWorker worker;
  {
    TCPClient_Socks5 client(&worker);
    tagProxyInfo info = ProxyAt(proxy.port());
    client.SetProxyServer(info);
    ASSERT_TRUE(client.Connect(kTarget));
    ASSERT_TRUE(worker.WaitStates(2));
  }
  EXPECT_EQ(worker.States(), (States{1, 2}));
  EXPECT_EQ(worker.MessageCount(), 0u);
}

}  // namespace
}  // namespace test
}  // namespace kelvo
