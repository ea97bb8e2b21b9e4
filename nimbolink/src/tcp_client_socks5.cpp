// TCPClient_Socks5 on standalone Asio.
//
// Threads. Each client runs one I/O thread, started by the first Connect and
// kept until destruction; it is also the message thread: every worker call
// happens there. Host threads only take the short internal mutex and post
// work to the thread; they never wait for it (except the destructor, which
// joins when it is not itself running on the thread).
//
// Epochs. Every Connect and every close bumps `epoch`. A connection (Conn)
// remembers the epoch it was started under, and every completion handler
// first checks that its Conn is still the live one; a handler of an
// abandoned or closed connection drops out without a word. This is what makes
// CloseSocket/Connect from any thread, at any moment, race-free.
//
// Lifetime. The thread holds its own shared_ptr to Impl, so when the worker
// destroys the client from inside one of its calls, the thread unwinds
// through memory that is still alive (Impl, and the Conn held by the running
// handler, whose read buffer is the one the worker was handed). Handlers
// queued in the io_context capture Impl by plain pointer: they live inside
// Impl's io_context and are destroyed with it, never run after it.
//
// The worker is never called with `mu` held: it has its own lock and calls
// back into SendMsg/CloseSocket/Connect, from this thread or from others.
//
// Currency. Messages and connection-state reports are delivered inside the
// worker's batch (its lock, when it registered one), and whether the
// connection is still current is decided there, after the worker's lock is
// taken: a CloseSocket or Connect made under that lock, before the delivery
// got it, silences the delivery. A report carries the epoch its event left
// behind; any later Connect or close makes it stale.
//
// Unloading. A client destroyed on its own message thread (the worker
// releasing itself from a callback) leaves that thread running our code for
// a moment after the worker is gone. KeepModuleLoaded() pins the module that
// holds this code, so a host that unloads it right after cannot pull the code
// from under the thread.
#include "nimbo2/tcp_client_socks5.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <asio.hpp>

#if defined(__linux__)
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif
#if defined(_WIN32)
#include <windows.h>
#include <mstcpip.h>
#include <ws2tcpip.h>
#else
#include <dlfcn.h>
#endif

#include "nimbo2/framer.h"
#include "nimbo2/recorder.h"

namespace Nimbo2 {

namespace {

using asio::ip::tcp;

enum : int { kIdle = 0, kConnecting = 1, kUp = 2 };

// SOCKS5 (RFC 1928) constants used by the handshake.
constexpr uint8_t kSocksVersion = 5;
constexpr uint8_t kMethodNoAuth = 0;
constexpr uint8_t kCmdConnect = 1;
constexpr uint8_t kAtypIpv4 = 1;
constexpr uint8_t kAtypDomain = 3;
constexpr uint8_t kAtypIpv6 = 4;

constexpr auto kTickInterval = std::chrono::seconds(1);

uint32_t SteadyMs() {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

tcp::endpoint Endpoint(uint32_t hostOrderAddress, uint16_t hostOrderPort) {
  return tcp::endpoint(asio::ip::address_v4(hostOrderAddress), hostOrderPort);
}

// Runs a run of worker calls inside the worker's batch (its lock). Ends the
// batch however the run ends, also when a worker call throws: a batch left
// open would keep the worker's lock taken for good.
struct BatchScope {
  BatchWorker* batch;
  explicit BatchScope(BatchWorker* b) : batch(b) {
    if (batch) batch->BeginMessages();
  }
  ~BatchScope() {
    if (batch) batch->EndMessages();
  }
  BatchScope(const BatchScope&) = delete;
  BatchScope& operator=(const BatchScope&) = delete;
};

// The health limits one connection runs with, defaults filled in.
struct Health {
  uint32_t idleMs, intervalMs, probes, unacknowledgedMs, stallMs;
};

Health Resolve(const LinkHealthLimits& l) {
  Health h;
  h.idleMs = l.keepAliveIdleMs ? l.keepAliveIdleMs : kKeepAliveIdleMs;
  h.intervalMs = l.keepAliveIntervalMs ? l.keepAliveIntervalMs : kKeepAliveIntervalMs;
  h.probes = l.keepAliveProbes ? l.keepAliveProbes : kKeepAliveProbes;
  // Where TCP_USER_TIMEOUT is set, Linux ends a keep-alive once it has run
  // that long with a probe out, whatever the count: the default makes the
  // two the same moment.
  h.unacknowledgedMs =
      l.unacknowledgedMs ? l.unacknowledgedMs : h.idleMs + h.intervalMs * h.probes;
  h.stallMs = l.sendStallMs ? l.sendStallMs : kSendStallMs;
  return h;
}

#if defined(_WIN32)
// Winsock option numbers that MinGW's headers lack (ws2ipdef.h).
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif
#endif

// Tunes keep-alive and the unacknowledged-data limit, so that a dead peer
// behind a silent NAT is noticed in under a minute instead of hours (the
// systems' defaults: a first probe after 2 hours; retransmissions for about
// 15 minutes). Returns the LinkTuning bits that took.
uint32_t TuneSocket(tcp::socket& socket, const Health& h) {
  uint32_t tuned = 0;
  asio::error_code ec;
  socket.set_option(tcp::no_delay(true), ec);
  socket.set_option(asio::socket_base::keep_alive(true), ec);
  if (ec) return tuned;
#if defined(__linux__)
  const int fd = socket.native_handle();
  const int idle = static_cast<int>(std::max<uint32_t>(1, h.idleMs / 1000));
  const int interval = static_cast<int>(std::max<uint32_t>(1, h.intervalMs / 1000));
  const int count = static_cast<int>(h.probes);
  const unsigned user = h.unacknowledgedMs;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
      ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0)
    tuned |= kTunedKeepAlive;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0)
    tuned |= kTunedProbeCount;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user, sizeof user) == 0)
    tuned |= kTunedUnacknowledged;
#elif defined(_WIN32)
  const SOCKET s = socket.native_handle();
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = h.idleMs;
  values.keepaliveinterval = h.intervalMs;
  DWORD returned = 0;
  if (::WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                 nullptr) == 0)
    tuned |= kTunedKeepAlive;
  // Windows 10 1703 and later take a probe count and a retransmission
  // limit; older systems refuse both and keep 10 probes (our default) and
  // their own limit. The send-stall watchdog does not depend on either.
  const DWORD count = h.probes;
  if (::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count),
                   sizeof count) == 0)
    tuned |= kTunedProbeCount;
  const DWORD maxrt = std::max<uint32_t>(1, h.unacknowledgedMs / 1000);
  if (::setsockopt(s, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&maxrt),
                   sizeof maxrt) == 0)
    tuned |= kTunedUnacknowledged;
#else
  (void)h;
#endif
  return tuned;
}

// Bytes the system holds that the peer has not acknowledged yet, or -1 where
// that cannot be asked.
long UnacknowledgedBytes(tcp::socket& socket) {
#if defined(__linux__)
  int n = 0;
  if (::ioctl(socket.native_handle(), SIOCOUTQ, &n) == 0) return n;
#else
  (void)socket;
#endif
  return -1;
}

// The reason for an I/O error on an up connection or a connect attempt.
// A timeout is told apart by the caller.
LinkReason ReasonFor(const asio::error_code& ec) {
  if (ec == asio::error::eof) return LinkReason::kClosedByPeer;
  if (ec == asio::error::connection_refused) return LinkReason::kRefused;
  if (ec == asio::error::connection_reset || ec == asio::error::connection_aborted ||
      ec == asio::error::broken_pipe)
    return LinkReason::kResetByPeer;
  if (ec == asio::error::network_unreachable || ec == asio::error::host_unreachable ||
      ec == asio::error::network_down)
    return LinkReason::kUnreachable;
  // Windows ends a connection whose keep-alive went unanswered with
  // WSAENETRESET; Linux says ETIMEDOUT for both of its limits.
  if (ec == asio::error::timed_out || ec == asio::error::network_reset)
    return LinkReason::kTimedOut;
  return LinkReason::kOtherError;
}

}  // namespace

// One connection attempt and, if it succeeds, the connection. Touched only on
// the I/O thread.
struct Conn {
  Conn(asio::io_context& io, uint64_t e) : socket(io), timer(io), tick(io), epoch(e) {}

  tcp::socket socket;
  asio::steady_timer timer;  // connect + handshake deadline
  asio::steady_timer tick;   // OnTick while up
  const uint64_t epoch;
  tcp::endpoint target;
  bool viaProxy = false;
  tcp::endpoint proxyAt;
  uint32_t timeoutMs = 0;
  Health health{};
  std::chrono::steady_clock::time_point started;
  // Send progress, for the stall watchdog: whether a write is under way and
  // when the peer last took bytes of it (or the write began).
  bool writing_now = false;
  std::size_t written = 0;
  std::chrono::steady_clock::time_point progressAt;
  // Sampled on every tick: the system held unacknowledged bytes, so a
  // timeout that follows is the unacknowledged-data limit, not keep-alive.
  bool unackedAtTick = false;
  long unackedBytes = -1;  // at the last tick; -1: the system cannot tell
  uint8_t handshake[4 + 255 + 2];  // largest SOCKS5 reply tail (domain)
  Framer framer;
  std::vector<uint8_t> writing;  // the one write in flight
};

struct TCPClient_Socks5::Impl {
  explicit Impl(MsgWorker* w) : worker(w) {}

  // --- Any thread, under mu. ---
  std::mutex mu;
  MsgWorker* worker;
  BatchWorker* batch = nullptr;  // set before the thread starts
  LinkNoteWorker* notes = nullptr;  // likewise
  bool stopped = false;
  int state = kIdle;
  uint64_t epoch = 0;
  bool haveProxy = false;
  tagProxyInfo proxy{};
  uint32_t timeoutMs = kConnectTimeoutMs;
  LinkHealthLimits limits{};
  std::vector<uint8_t> pending;  // accepted by SendMsg, not yet handed to a write
  std::size_t queued = 0;        // pending + the write in flight
  bool writeScheduled = false;   // a write is in flight or posted
  std::thread thread;
  std::thread::id threadId;

  // Lock-free mirrors for the per-message checks of the delivery loop.
  std::atomic<uint64_t> liveEpoch{0};
  std::atomic<bool> halted{false};

  std::atomic<uint64_t> bytesIn{0}, bytesOut{0}, messagesIn{0};
  std::atomic<uint32_t> tuning{0};

  // PauseReading/ResumeReading. `parked`: the connection whose next read
  // was held back by a pause (I/O thread only).
  std::atomic<bool> readPaused{false};

  // KELVO_RECORD: inbound stream recording, used on the I/O thread only.
  const std::unique_ptr<Recorder> recorder = Recorder::FromEnvironment();

  // --- I/O thread. ---
  std::optional<asio::io_context> io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard;
  std::shared_ptr<Conn> conn;
  std::shared_ptr<Conn> parked;

  // Caller holds mu.
  uint64_t BumpEpochLocked() {
    liveEpoch.store(++epoch, std::memory_order_release);
    return epoch;
  }
  void DropQueueLocked() {
    pending.clear();
    queued = 0;
    writeScheduled = false;
  }
  bool Live(const Conn& c) const {
    return !halted.load(std::memory_order_acquire) &&
           liveEpoch.load(std::memory_order_acquire) == c.epoch;
  }

  // Epoch value for a report the caller asked for (CloseSocket(true)): it is
  // delivered whatever came after it, unless the client is being destroyed.
  // Real epochs start at 1.
  static constexpr uint64_t kRequested = 0;

  // Current under the worker's lock: nothing closed, reconnected or
  // destroyed since epoch `e` was the live one.
  bool Current(uint64_t e) const {
    if (e == kRequested) return !halted.load(std::memory_order_acquire);
    return !halted.load(std::memory_order_acquire) &&
           liveEpoch.load(std::memory_order_acquire) == e;
  }

  void Run();
  void CloseConn(const std::shared_ptr<Conn>& c);
  void Report(uint32_t state, uint64_t e, const LinkNote* note = nullptr);
  LinkNote Note(const Conn& c, uint32_t state, LinkReason reason, uint32_t value) const;

  void StartAttempt(uint64_t e, tcp::endpoint target, bool viaProxy, tcp::endpoint proxyAt,
                    uint32_t timeoutMs, Health health);
  void OnTcpConnected(const std::shared_ptr<Conn>& c);
  void SocksGreet(const std::shared_ptr<Conn>& c);
  void SocksRequest(const std::shared_ptr<Conn>& c);
  void SocksReplyTail(const std::shared_ptr<Conn>& c, std::size_t n);
  void Established(const std::shared_ptr<Conn>& c);
  void Fail(const std::shared_ptr<Conn>& c, LinkReason reason, uint32_t value = 0);
  void FailIo(const std::shared_ptr<Conn>& c, const asio::error_code& ec);
  void FailHandshake(const std::shared_ptr<Conn>& c, const asio::error_code& ec);
  void Lost(const std::shared_ptr<Conn>& c, LinkReason reason, uint32_t value = 0);
  void LostIo(const std::shared_ptr<Conn>& c, const asio::error_code& ec);
  bool Stalled(Conn& c) const;

  void StartRead(const std::shared_ptr<Conn>& c);
  void ReadOrPark(const std::shared_ptr<Conn>& c);
  void OnRead(const std::shared_ptr<Conn>& c, const asio::error_code& ec, std::size_t n);
  void StartTick(const std::shared_ptr<Conn>& c);
  void StartWrite(uint64_t e);
  void WriteNext(const std::shared_ptr<Conn>& c);
};

// ---------------------------------------------------------------------------
// The I/O thread.

void TCPClient_Socks5::Impl::Run() {
  MsgWorker* w = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!stopped) w = worker;
  }
  if (w) {
    try {
      w->MsgThreadBegin();
    } catch (...) {
    }
  }
  // Worker calls are guarded where they are made; this catch is the last
  // line, so that the thread outlives anything as it must.
  for (;;) {
    try {
      io->run();
      break;
    } catch (...) {
    }
  }
  // A destructor on another thread is joining and its worker is still alive;
  // a destructor on this thread cleared `worker` because it is not.
  {
    std::lock_guard<std::mutex> lock(mu);
    w = worker;
  }
  if (w) {
    try {
      w->MsgThreadEnd();
    } catch (...) {
    }
  }
}

void TCPClient_Socks5::Impl::CloseConn(const std::shared_ptr<Conn>& c) {
  if (!c) return;
  asio::error_code ec;
  c->timer.cancel();
  c->tick.cancel();
  c->socket.shutdown(tcp::socket::shutdown_both, ec);
  c->socket.close(ec);
  if (conn == c) conn.reset();
  if (parked == c) parked.reset();
}

// Calls OnConnectState without holding mu, inside the worker's batch, and
// only when epoch `e` (the one the event left behind) is still current once
// the worker's lock is held (or `e` is kRequested). The note that explains
// the report goes first, under the same check; should the worker close or
// reconnect while it reads the note, the report is stale and dropped. The
// worker may destroy the client from inside; callers check Live() before
// touching anything afterwards.
void TCPClient_Socks5::Impl::Report(uint32_t newState, uint64_t e, const LinkNote* note) {
  MsgWorker* w;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (stopped) return;
    w = worker;
  }
  if (!w) return;
  BatchScope scope(batch);
  if (!Current(e)) return;
  if (note != nullptr && notes != nullptr) {
    try {
      notes->OnLinkNote(*note);
    } catch (...) {
      // A note is a diagnostic: losing it must not lose the report.
    }
    if (!Current(e)) return;
  }
  try {
    w->OnConnectState(newState);
  } catch (...) {
    // The worker's business; the connection goes on.
  }
}

LinkNote TCPClient_Socks5::Impl::Note(const Conn& c, uint32_t newState, LinkReason reason,
                                      uint32_t value) const {
  LinkNote n{};
  n.state = newState;
  n.reason = reason;
  n.value = value;
  n.address = c.target.address().to_v4().to_uint();
  n.port = c.target.port();
  n.viaProxy = c.viaProxy;
  if (c.viaProxy) {
    n.proxyAddress = c.proxyAt.address().to_v4().to_uint();
    n.proxyPort = c.proxyAt.port();
  }
  return n;
}

void TCPClient_Socks5::Impl::StartAttempt(uint64_t e, tcp::endpoint target, bool viaProxy,
                                          tcp::endpoint proxyAt, uint32_t timeout,
                                          Health health) {
  if (halted.load() || liveEpoch.load() != e) return;  // abandoned before it began
  CloseConn(conn);
  std::shared_ptr<Conn> c;
  try {
    c = std::make_shared<Conn>(*io, e);
  } catch (...) {
    // Out of memory: fail the attempt like an unreachable server.
    uint64_t failed;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (stopped || epoch != e || state != kConnecting) return;
      state = kIdle;
      failed = BumpEpochLocked();
    }
    LinkNote note{};
    note.state = kConnectFailed;
    note.reason = LinkReason::kOutOfMemory;
    note.address = target.address().to_v4().to_uint();
    note.port = target.port();
    note.viaProxy = viaProxy;
    if (viaProxy) {
      note.proxyAddress = proxyAt.address().to_v4().to_uint();
      note.proxyPort = proxyAt.port();
    }
    Report(kConnectFailed, failed, &note);
    return;
  }
  conn = c;
  c->target = target;
  c->viaProxy = viaProxy;
  c->proxyAt = proxyAt;
  c->timeoutMs = timeout;
  c->health = health;
  c->started = std::chrono::steady_clock::now();
  c->timer.expires_after(std::chrono::milliseconds(timeout));
  c->timer.async_wait([this, c](const asio::error_code& ec) {
    if (!ec) Fail(c, LinkReason::kTimedOut, c->timeoutMs);
  });
  c->socket.async_connect(viaProxy ? proxyAt : target, [this, c](const asio::error_code& ec) {
    if (!Live(*c)) return;
    if (ec) {
      FailIo(c, ec);
      return;
    }
    OnTcpConnected(c);
  });
}

void TCPClient_Socks5::Impl::OnTcpConnected(const std::shared_ptr<Conn>& c) {
  tuning.store(TuneSocket(c->socket, c->health), std::memory_order_relaxed);
  if (c->viaProxy) {
    SocksGreet(c);
  } else {
    Established(c);
  }
}

// Greeting: version 5, one method, "no authentication". The reply must pick
// exactly that method; 0xFF (none acceptable) or anything else fails.
void TCPClient_Socks5::Impl::SocksGreet(const std::shared_ptr<Conn>& c) {
  c->handshake[0] = kSocksVersion;
  c->handshake[1] = 1;
  c->handshake[2] = kMethodNoAuth;
  asio::async_write(c->socket, asio::buffer(c->handshake, 3),
                    [this, c](const asio::error_code& ec, std::size_t) {
                      if (!Live(*c)) return;
                      if (ec) return FailHandshake(c, ec);
                      asio::async_read(
                          c->socket, asio::buffer(c->handshake, 2),
                          [this, c](const asio::error_code& ec2, std::size_t) {
                            if (!Live(*c)) return;
                            if (ec2) return FailHandshake(c, ec2);
                            if (c->handshake[0] != kSocksVersion)
                              return Fail(c, LinkReason::kProxyBadReply, c->handshake[0]);
                            if (c->handshake[1] != kMethodNoAuth)
                              return Fail(c, LinkReason::kProxyMethodRefused, c->handshake[1]);
                            SocksRequest(c);
                          });
                    });
}

// CONNECT to the IPv4 target, then the fixed head of the reply:
// VER REP RSV ATYP.
void TCPClient_Socks5::Impl::SocksRequest(const std::shared_ptr<Conn>& c) {
  const uint32_t ip = c->target.address().to_v4().to_uint();
  const uint16_t port = c->target.port();
  uint8_t* m = c->handshake;
  m[0] = kSocksVersion;
  m[1] = kCmdConnect;
  m[2] = 0;
  m[3] = kAtypIpv4;
  m[4] = static_cast<uint8_t>(ip >> 24);
  m[5] = static_cast<uint8_t>(ip >> 16);
  m[6] = static_cast<uint8_t>(ip >> 8);
  m[7] = static_cast<uint8_t>(ip);
  m[8] = static_cast<uint8_t>(port >> 8);
  m[9] = static_cast<uint8_t>(port);
  asio::async_write(
      c->socket, asio::buffer(c->handshake, 10),
      [this, c](const asio::error_code& ec, std::size_t) {
        if (!Live(*c)) return;
        if (ec) return FailHandshake(c, ec);
        asio::async_read(c->socket, asio::buffer(c->handshake, 4),
                         [this, c](const asio::error_code& ec2, std::size_t) {
                           if (!Live(*c)) return;
                           const uint8_t* r = c->handshake;
                           if (ec2) return FailHandshake(c, ec2);
                           if (r[0] != kSocksVersion)
                             return Fail(c, LinkReason::kProxyBadReply, r[0]);
                           if (r[1] != 0) return Fail(c, LinkReason::kProxyFailureReply, r[1]);
                           switch (r[3]) {
                             case kAtypIpv4:
                               return SocksReplyTail(c, 4 + 2);
                             case kAtypIpv6:
                               return SocksReplyTail(c, 16 + 2);
                             case kAtypDomain:
                               // One length byte first; the name and port follow.
                               return asio::async_read(
                                   c->socket, asio::buffer(c->handshake, 1),
                                   [this, c](const asio::error_code& ec3, std::size_t) {
                                     if (!Live(*c)) return;
                                     if (ec3) return FailHandshake(c, ec3);
                                     SocksReplyTail(c, std::size_t{c->handshake[0]} + 2);
                                   });
                             default:
                               return Fail(c, LinkReason::kProxyBadReply, r[3]);
                           }
                         });
      });
}

// Reads exactly the bound address and port the proxy reports (unused), so the
// first byte after them is the first byte from the server.
void TCPClient_Socks5::Impl::SocksReplyTail(const std::shared_ptr<Conn>& c, std::size_t n) {
  asio::async_read(c->socket, asio::buffer(c->handshake, n),
                   [this, c](const asio::error_code& ec, std::size_t) {
                     if (!Live(*c)) return;
                     if (ec) return FailHandshake(c, ec);
                     Established(c);
                   });
}

void TCPClient_Socks5::Impl::Established(const std::shared_ptr<Conn>& c) {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (stopped || epoch != c->epoch || state != kConnecting) return;
    state = kUp;
    DropQueueLocked();
  }
  c->timer.cancel();
  if (recorder) recorder->Connected();
  Report(kConnected, c->epoch);
  if (!Live(*c)) return;  // closed or destroyed inside OnConnectState
  ReadOrPark(c);
  StartTick(c);
}

void TCPClient_Socks5::Impl::Fail(const std::shared_ptr<Conn>& c, LinkReason reason,
                                  uint32_t value) {
  uint64_t after;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (stopped || epoch != c->epoch || state != kConnecting) return;
    state = kIdle;
    after = BumpEpochLocked();
  }
  CloseConn(c);
  const LinkNote note = Note(*c, kConnectFailed, reason, value);
  Report(kConnectFailed, after, &note);
}

// A connect that the system gave up on itself (before our deadline) says
// how long it took.
void TCPClient_Socks5::Impl::FailIo(const std::shared_ptr<Conn>& c, const asio::error_code& ec) {
  const LinkReason reason = ReasonFor(ec);
  uint32_t value = 0;
  if (reason == LinkReason::kTimedOut) {
    value = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - c->started)
                                      .count());
  } else if (reason == LinkReason::kOtherError) {
    value = static_cast<uint32_t>(ec.value());
  }
  Fail(c, reason, value);
}

// During the handshake the peer is the proxy: its close or reset is the
// proxy giving up on us, whatever it did to the target.
void TCPClient_Socks5::Impl::FailHandshake(const std::shared_ptr<Conn>& c,
                                           const asio::error_code& ec) {
  const LinkReason reason = ReasonFor(ec);
  if (reason == LinkReason::kClosedByPeer || reason == LinkReason::kResetByPeer) {
    Fail(c, LinkReason::kProxyClosed);
  } else {
    FailIo(c, ec);
  }
}

void TCPClient_Socks5::Impl::Lost(const std::shared_ptr<Conn>& c, LinkReason reason,
                                  uint32_t value) {
  uint64_t after;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (stopped || epoch != c->epoch || state != kUp) return;
    state = kIdle;
    after = BumpEpochLocked();
    DropQueueLocked();
  }
  CloseConn(c);
  if (recorder) recorder->Closed();
  const LinkNote note = Note(*c, kConnectionClosed, reason, value);
  Report(kConnectionClosed, after, &note);
}

// A system timeout on an up connection is one of our two limits: the
// unacknowledged-data one when the last tick saw bytes waiting for their
// acknowledgement (or, where that cannot be asked, a write under way), else
// keep-alive.
//
// An up connection does not end on a route or neighbour failure by itself;
// when one of the two limits expires, Linux reports the last such failure
// (the link went down, the neighbour stopped answering) instead of
// ETIMEDOUT. So "unreachable" there is a timeout as well.
void TCPClient_Socks5::Impl::LostIo(const std::shared_ptr<Conn>& c, const asio::error_code& ec) {
  LinkReason reason = ReasonFor(ec);
  uint32_t value = 0;
  if (reason == LinkReason::kTimedOut || reason == LinkReason::kUnreachable) {
    if (c->unackedAtTick || c->writing_now) {
      reason = LinkReason::kUnacknowledged;
      value = c->health.unacknowledgedMs;
    } else {
      reason = LinkReason::kKeepAliveTimeout;
      value = c->health.probes;
    }
  } else if (reason == LinkReason::kRefused || reason == LinkReason::kOtherError) {
    reason = LinkReason::kOtherError;
    value = static_cast<uint32_t>(ec.value());
  }
  Lost(c, reason, value);
}

// Bytes wait and the peer has taken none of them for the stall limit.
bool TCPClient_Socks5::Impl::Stalled(Conn& c) const {
  return c.writing_now && std::chrono::steady_clock::now() - c.progressAt >=
                              std::chrono::milliseconds(c.health.stallMs);
}

// ---------------------------------------------------------------------------
// Reading and delivery.

void TCPClient_Socks5::Impl::StartRead(const std::shared_ptr<Conn>& c) {
  c->socket.async_read_some(
      asio::buffer(c->framer.ReadPtr(), c->framer.ReadSpace()),
      [this, c](const asio::error_code& ec, std::size_t n) { OnRead(c, ec, n); });
}

void TCPClient_Socks5::Impl::OnRead(const std::shared_ptr<Conn>& c, const asio::error_code& ec,
                                    std::size_t n) {
  if (!Live(*c)) return;
  if (ec) return LostIo(c, ec);  // EOF, reset, timeout or any other I/O error
  bytesIn.fetch_add(n, std::memory_order_relaxed);
  c->framer.Commit(n);
  // `w` stays valid while Live(): only a destructor clears it, and that
  // halts first. The message pointer lives in c->framer, which `c` keeps
  // alive even when the worker destroys the client inside HandleMessage.
  // Counted once per read: an atomic add per message costs more than the rest
  // of the loop.
  MsgWorker* const w = worker;
  const uint64_t e = c->epoch;
  uint64_t delivered = 0;
  Framer::Status status;
  {
    // The worker may destroy the client in EndMessages (a release deferred
    // to the end of the batch); Live() says so below.
    BatchScope scope(batch);
    BatchWorker* const between = batch;
    status = c->framer.Drain([&](uint8_t* message, std::size_t length) {
      // Before every message but the first, a thread waiting for the
      // worker's lock may get in; whatever it did (Close, Connect, the
      // worker's destruction) is seen by the check that follows.
      if (between != nullptr && delivered != 0) between->BetweenMessages();
      if (!Current(e)) return false;
      ++delivered;
      if (recorder) recorder->Message(message, length);  // before the worker edits it
      try {
        w->HandleMessage(message, static_cast<uint32_t>(length), 0, 0);
      } catch (...) {
        // The worker's business; the next message is delivered as usual.
      }
      return true;
    });
  }
  messagesIn.fetch_add(delivered, std::memory_order_relaxed);
  if (status == Framer::Status::kStopped || !Live(*c)) return;  // closed or destroyed
  if (status == Framer::Status::kBadLength) return Lost(c, LinkReason::kFramingError);
  ReadOrPark(c);
}

// A pause takes effect here, between two reads: the worker may have asked
// for it while the read just delivered was being handed over.
void TCPClient_Socks5::Impl::ReadOrPark(const std::shared_ptr<Conn>& c) {
  if (readPaused.load(std::memory_order_acquire)) {
    parked = c;
    return;
  }
  StartRead(c);
}

void TCPClient_Socks5::Impl::StartTick(const std::shared_ptr<Conn>& c) {
  c->tick.expires_after(kTickInterval);
  c->tick.async_wait([this, c](const asio::error_code& ec) {
    if (ec || !Live(*c)) return;
    // The system wakes a blocked write only once a good part of its buffer
    // is free, so a slow reader can go long without our write moving. Where
    // the system says how much it still holds, less than at the last tick
    // means the peer took some: progress too.
    const long unacked = UnacknowledgedBytes(c->socket);
    if (unacked >= 0 && c->unackedBytes >= 0 && unacked < c->unackedBytes)
      c->progressAt = std::chrono::steady_clock::now();
    c->unackedBytes = unacked;
    c->unackedAtTick = unacked > 0;
    if (Stalled(*c)) return Lost(c, LinkReason::kSendStall, c->health.stallMs);
    MsgWorker* w;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (stopped) return;
      w = worker;
    }
    if (w) {
      try {
        w->OnTick(SteadyMs());
      } catch (...) {
      }
    }
    if (!Live(*c)) return;
    StartTick(c);
  });
}

// ---------------------------------------------------------------------------
// Writing: SendMsg appends to `pending`; one write at a time takes all of
// it (the buffers swap, so no allocation once both have grown).

void TCPClient_Socks5::Impl::StartWrite(uint64_t e) {
  const std::shared_ptr<Conn> c = conn;
  if (!c || c->epoch != e || !Live(*c)) return;
  WriteNext(c);
}

void TCPClient_Socks5::Impl::WriteNext(const std::shared_ptr<Conn>& c) {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (stopped || epoch != c->epoch) return;
    if (pending.empty()) {
      writeScheduled = false;
      return;
    }
    c->writing.clear();
    c->writing.swap(pending);
  }
  // The stall clock starts with the write and restarts whenever the system
  // takes part of it: a slow reader makes progress, a peer that stopped
  // reading does not.
  c->writing_now = true;
  c->written = 0;
  c->progressAt = std::chrono::steady_clock::now();
  Conn* const raw = c.get();
  asio::async_write(c->socket, asio::buffer(c->writing),
                    [raw](const asio::error_code& ec, std::size_t transferred) -> std::size_t {
                      if (transferred != raw->written) {
                        raw->written = transferred;
                        raw->progressAt = std::chrono::steady_clock::now();
                      }
                      return ec ? 0 : Framer::kReadChunk;
                    },
                    [this, c](const asio::error_code& ec, std::size_t n) {
                      c->writing_now = false;
                      if (!Live(*c)) return;
                      if (ec) return LostIo(c, ec);
                      bytesOut.fetch_add(n, std::memory_order_relaxed);
                      {
                        std::lock_guard<std::mutex> lock(mu);
                        if (epoch != c->epoch) return;
                        queued -= c->writing.size();
                      }
                      WriteNext(c);
                    });
}

// ---------------------------------------------------------------------------
// The public face.

TCPClient_Socks5::TCPClient_Socks5(MsgWorker* worker) : impl_(std::make_shared<Impl>(worker)) {}

TCPClient_Socks5::~TCPClient_Socks5() {
  Impl* const d = impl_.get();
  bool onThread = false;
  bool started = false;
  {
    std::lock_guard<std::mutex> lock(d->mu);
    d->stopped = true;
    d->halted.store(true, std::memory_order_release);
    d->state = kIdle;
    d->BumpEpochLocked();
    d->DropQueueLocked();
    started = d->thread.joinable();
    onThread = started && d->threadId == std::this_thread::get_id();
    // On the thread the worker is being destroyed (it deleted us from one of
    // its calls): forget it, so not even MsgThreadEnd reaches it.
    if (onThread) d->worker = nullptr;
  }
  if (!started) return;  // nothing was ever opened
  if (onThread) {
    // The thread goes on running this module's code after the caller
    // returns: the module must stay loaded.
    KeepModuleLoaded();
    d->CloseConn(d->conn);
    d->io->stop();
    d->thread.detach();  // the thread's own shared_ptr keeps Impl alive
    return;
  }
  d->io->stop();
  d->thread.join();
  std::lock_guard<std::mutex> lock(d->mu);
  d->worker = nullptr;
}

void TCPClient_Socks5::SetProxyServer(tagProxyInfo& info) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->proxy = info;
  impl_->haveProxy = true;
}

void TCPClient_Socks5::CancelProxyServer() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->haveProxy = false;
}

void TCPClient_Socks5::SetConnectTimeoutMs(uint32_t ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->timeoutMs = ms ? ms : kConnectTimeoutMs;
}

void TCPClient_Socks5::SetLinkHealthLimits(const LinkHealthLimits& limits) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->limits = limits;
}

uint32_t TCPClient_Socks5::LinkTuningApplied() const {
  return impl_->tuning.load(std::memory_order_relaxed);
}

bool TCPClient_Socks5::Connect(sockaddr_in address) {
  Impl* const d = impl_.get();
  try {
    const tcp::endpoint target =
        Endpoint(ntohl(address.sin_addr.s_addr), ntohs(address.sin_port));
    std::lock_guard<std::mutex> lock(d->mu);
    if (d->stopped || d->state != kIdle) return false;
    if (!d->thread.joinable()) {
      d->io.emplace(1);
      d->guard.emplace(asio::make_work_guard(*d->io));
      std::shared_ptr<Impl> self = impl_;
      d->thread = std::thread([self] { self->Run(); });
      d->threadId = d->thread.get_id();
    }
    const bool viaProxy = d->haveProxy;
    const tcp::endpoint proxyAt = Endpoint(d->proxy.address, d->proxy.port);
    const uint32_t timeout = d->timeoutMs;
    const Health health = Resolve(d->limits);
    const uint64_t e = d->BumpEpochLocked();
    d->state = kConnecting;
    asio::post(*d->io, [d, e, target, viaProxy, proxyAt, timeout, health] {
      d->StartAttempt(e, target, viaProxy, proxyAt, timeout, health);
    });
    return true;
  } catch (...) {
    // Thread creation or allocation failed; whatever was set up stays for a
    // later attempt, and this one did not start.
    std::lock_guard<std::mutex> lock(d->mu);
    if (d->state == kConnecting) {
      d->state = kIdle;
      d->BumpEpochLocked();
    }
    return false;
  }
}

bool TCPClient_Socks5::SendMsg(void*, void* msg, int len) {
  if (msg == nullptr || len < kMinMessageLength || len > kMaxMessageLength) return false;
  Impl* const d = impl_.get();
  const std::size_t n = static_cast<std::size_t>(len);
  try {
    std::lock_guard<std::mutex> lock(d->mu);
    if (d->stopped || d->state != kUp) return false;
    if (d->queued + n > kSendQueueLimitBytes) return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(msg);
    d->pending.insert(d->pending.end(), bytes, bytes + n);
    d->queued += n;
    if (!d->writeScheduled) {
      d->writeScheduled = true;
      const uint64_t e = d->epoch;
      asio::post(*d->io, [d, e] { d->StartWrite(e); });
    }
    return true;
  } catch (...) {
    return false;
  }
}

bool TCPClient_Socks5::CloseSocket(bool notify) {
  Impl* const d = impl_.get();
  uint64_t e;
  bool report;
  {
    std::lock_guard<std::mutex> lock(d->mu);
    if (d->stopped || d->state == kIdle) return true;
    report = notify && d->state == kUp;
    d->state = kIdle;
    e = d->BumpEpochLocked();
    d->DropQueueLocked();
  }
  // The socket belongs to the I/O thread; it is closed there. Handlers of
  // the old connection already see the new epoch and stay quiet.
  try {
    asio::post(*d->io, [d, e, report] {
      if (d->conn && d->conn->epoch < e) d->CloseConn(d->conn);
      if (report) d->Report(kConnectionClosed, Impl::kRequested);
    });
  } catch (...) {
    // Could not queue the close: the connection is already dead to every
    // handler; its socket goes with the next attempt or the destructor.
  }
  return true;
}

void TCPClient_Socks5::PauseReading() {
  impl_->readPaused.store(true, std::memory_order_release);
}

void TCPClient_Socks5::ResumeReading() {
  Impl* const d = impl_.get();
  d->readPaused.store(false, std::memory_order_release);
  // A read parked while paused starts on the I/O thread; one that was not
  // parked yet sees the flag cleared when it gets there.
  std::lock_guard<std::mutex> lock(d->mu);
  if (d->stopped || !d->thread.joinable()) return;
  try {
    asio::post(*d->io, [d] {
      std::shared_ptr<Conn> c = std::move(d->parked);
      d->parked.reset();
      if (c && d->Live(*c)) d->ReadOrPark(c);  // parks again if paused again
    });
  } catch (...) {
    // Could not queue it: the parked read stays parked until the next
    // resume or close.
  }
}

void TCPClient_Socks5::SetBatchWorker(BatchWorker* batch) { impl_->batch = batch; }

void TCPClient_Socks5::SetLinkNoteWorker(LinkNoteWorker* notes) { impl_->notes = notes; }

bool TCPClient_Socks5::OnMessageThread() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->thread.joinable() && impl_->threadId == std::this_thread::get_id();
}

void KeepModuleLoaded() {
  static std::once_flag once;
  std::call_once(once, [] {
#if defined(_WIN32)
    HMODULE self = nullptr;
    (void)::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
        reinterpret_cast<LPCWSTR>(&KeepModuleLoaded), &self);
#else
    // RTLD_NOLOAD finds the module already loaded; RTLD_NODELETE makes every
    // later dlclose leave it mapped. The handle itself is not needed.
    Dl_info info;
    if (::dladdr(reinterpret_cast<void*>(&KeepModuleLoaded), &info) != 0 &&
        info.dli_fname != nullptr) {
      (void)::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
#endif
  });
}

int TCPClient_Socks5::GetConnectState() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->state;
}

uint64_t TCPClient_Socks5::BytesReceived() const { return impl_->bytesIn.load(); }
uint64_t TCPClient_Socks5::BytesSent() const { return impl_->bytesOut.load(); }
uint64_t TCPClient_Socks5::MessagesReceived() const { return impl_->messagesIn.load(); }

}  // namespace Nimbo2
