// The connection's state machine: connect, the SOCKS5 and TLS handshakes,
// up, closing and done, with the deadlines of each phase and the stall
// watchdog; and how an attempt fails or a connection is lost.
#include "engine.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Nimbo2 {

namespace {

constexpr auto kTick = std::chrono::seconds(1);
// While a TCP connect is pending its outcome is also asked for this often:
// WSAPoll before Windows 10 2004 reports no event for a refused connect, so
// a refusal would otherwise read as a timeout.
constexpr auto kConnectCheck = std::chrono::milliseconds(250);
// A connect the poller flagged with an error that the system gave no code
// for: read as a reset, as the peer's doing.
constexpr int kErrorWithoutCode = -2;

uint32_t MsSince(Clock::time_point t) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

}  // namespace

Conn::Conn(std::shared_ptr<ClientState> owner, std::shared_ptr<Loop> loop, uint64_t epoch,
           const Attempt& attempt)
    : owner_(std::move(owner)), loop_(std::move(loop)), epoch_(epoch), attempt_(attempt) {}

Conn::~Conn() {
  if (resolution_) resolution_->Abandon();
  for (const Racer& r : racers_) net::Close(r.fd);
  net::Close(fd_);
}

void Conn::OnOps(uint32_t ops) {
  if (ops & Loop::kStart) Start();
  if ((ops & Loop::kResolved) && phase_ == Phase::kResolving) Resolved();
  if (phase_ == Phase::kDone) return;
  if (ops & Loop::kClose) {
    if (phase_ != Phase::kUp && phase_ != Phase::kClosing) {
      Finish();  // an attempt nobody waits for any more
      return;
    }
    if (phase_ == Phase::kUp) {
      phase_ = Phase::kClosing;
      lingerUntil_ = Clock::now() + std::chrono::milliseconds(kLingerMs);
    }
  }
  if (ops & Loop::kNotifyClosed) owner_->Notify(nullptr);
  if ((ops & Loop::kResume) && phase_ == Phase::kUp) {
    // Decrypted bytes may wait inside the session, with nothing new on the
    // socket to wake us for them.
    if (tls_ && !DrainPlain()) return;
    // What waited on the socket while reading was paused is read now, not
    // when the poller reports it: a poller that reports readiness only as
    // it arrives (Wine's WSAPoll, for a socket that was not read meanwhile)
    // would never report it again, and the connection would stop reading
    // for good.
    ReadSome(false, false);
  }
  if (phase_ == Phase::kUp && (ops & Loop::kWantWrite) && tickAt_ == Clock::time_point{}) {
    // Bytes wait: the stall watchdog runs until they are out.
    progressAt_ = Clock::now();
    uint64_t acked = 0;
    if (net::BytesAcked(fd_, &acked)) ackedAtTick_ = acked;
    queuedAtTick_ = ~std::size_t{0};
    tickAt_ = progressAt_ + kTick;
  }
  SetInterest();
  Rearm();
}

void Conn::Start() {
  if (attempt_.startDelayMs == 0) return Begin();
  // Nothing is opened while waiting: the attempt is a deadline and no more,
  // and a close (kClose, or the loop stopping) simply finishes it.
  phase_ = Phase::kWaiting;
  waitUntil_ = Clock::now() + std::chrono::milliseconds(attempt_.startDelayMs);
  Rearm();
}

void Conn::Begin() {
  started_ = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closing_) {
      phase_ = Phase::kDone;
      return;
    }
  }
  if (attempt_.security.tls) {
    std::string why;
    std::unique_ptr<TlsSession> session = TlsSession::Create(attempt_.security.tlsConfig, &why);
    if (!session) return Fail(LinkReason::kTls, 0, why);
    std::lock_guard<std::mutex> lock(mu_);
    tls_ = std::move(session);
  }
  // The first hop: the proxy when there is one, else the server; by
  // address, by literal, or by a name resolved first.
  const std::string& host = attempt_.viaProxy ? attempt_.proxyHost : attempt_.host;
  const HostKind kind = attempt_.viaProxy ? attempt_.proxyHostKind : attempt_.hostKind;
  const uint16_t port = attempt_.viaProxy ? attempt_.proxyPort : attempt_.port;
  if (host.empty() || kind == HostKind::kIpv4) {
    // A literal was read into the address when the attempt was made.
    candidates_.push_back(
        net::Address::Ipv4(attempt_.viaProxy ? attempt_.proxyIp : attempt_.ip, port));
  } else if (kind == HostKind::kIpv6) {
    net::Address a;
    a.family = net::Address::kIpv6;
    a.port = port;
    std::memcpy(a.ip, attempt_.viaProxy ? attempt_.proxyIp6 : attempt_.ip6, sizeof a.ip);
    candidates_.push_back(a);
  } else {
    phase_ = Phase::kResolving;
    std::weak_ptr<Conn> self = weak_from_this();
    int error = 0;
    // The answer reaches the loop as posted work; the callback holds the
    // attempt only while it posts, and finds it gone when it was closed.
    resolution_ = Resolution::Start(
        host, port,
        [self] {
          if (std::shared_ptr<Conn> c = self.lock()) c->loop().Post(c, Loop::kResolved);
        },
        &error);
    if (!resolution_) return FailIo(error);
    return Rearm();
  }
  StartNextAddress();
}

void Conn::Resolved() {
  std::vector<net::Address> addresses;
  std::string why;
  const bool ok = resolution_->Result(&addresses, &why);
  resolution_.reset();
  if (!ok) return Fail(LinkReason::kUnresolved, 0, why);
  candidates_ = InterleaveFamilies(addresses);
  StartNextAddress();
}

const std::string* Conn::HopName() const {
  if (attempt_.viaProxy) {
    return attempt_.proxyHostKind == HostKind::kName ? &attempt_.proxyHost : nullptr;
  }
  return attempt_.hostKind == HostKind::kName ? &attempt_.host : nullptr;
}

// RFC 8305: one address at a time, the next one when the last has not
// answered within the delay, or at once when it failed; every connect
// started stays in the race until it fails or another wins.
void Conn::StartNextAddress() {
  while (nextCandidate_ < candidates_.size()) {
    const net::Address to = candidates_[nextCandidate_++];
    int error = 0;
    const net::Socket s = net::OpenTcp(to.family, &error);
    if (s == net::kNoSocket) {
      lastConnectError_ = error;
      continue;
    }
    error = net::StartConnect(s, to);
    if (error == 0 && !loop_->Watch(this, s, Poller::kOut, &error) && error == 0) error = -1;
    if (error != 0) {
      net::Close(s);
      lastConnectError_ = error;
      continue;
    }
    racers_.push_back(Racer{s, to});
    const auto now = Clock::now();
    if (phase_ != Phase::kConnecting) {
      phase_ = Phase::kConnecting;
      connectCheckAt_ = now + kConnectCheck;
    }
    nextAddressAt_ = now + std::chrono::milliseconds(attempt_.nextAddressDelayMs);
    return Rearm();
  }
  if (!racers_.empty()) return Rearm();
  everyAddressFailed_ = HopName() != nullptr;
  if (lastConnectError_ == kErrorWithoutCode) return Fail(LinkReason::kResetByPeer);
  FailIo(lastConnectError_);
}

void Conn::DropRacer(std::size_t i) {
  loop_->Unwatch(this, racers_[i].fd);
  net::Close(racers_[i].fd);
  racers_.erase(racers_.begin() + static_cast<std::ptrdiff_t>(i));
}

void Conn::Win(std::size_t i) {
  const Racer won = racers_[i];
  racers_.erase(racers_.begin() + static_cast<std::ptrdiff_t>(i));
  while (!racers_.empty()) DropRacer(racers_.size() - 1);
  {
    std::lock_guard<std::mutex> lock(mu_);
    fd_ = won.fd;
  }
  watched_ = true;
  interest_ = Poller::kOut;
  Connected();
  // The handshakes' deadline replaces the connect's checks.
  if (phase_ == Phase::kProxy || phase_ == Phase::kTls) Rearm();
}

void Conn::CheckRacers(bool error) {
  bool dropped = false;
  for (std::size_t i = 0; i < racers_.size();) {
    const int e = net::ConnectOutcome(racers_[i].fd);
    if (e != 0) {
      lastConnectError_ = e;
      DropRacer(i);
      dropped = true;
      continue;
    }
    if (net::ConnectedNow(racers_[i].fd)) return Win(i);
    ++i;
  }
  // An error the system gave no code for: the oldest connect is the one
  // that has had the time to fail.
  if (error && !dropped && !racers_.empty()) {
    lastConnectError_ = kErrorWithoutCode;
    DropRacer(0);
    dropped = true;
  }
  if (dropped || Clock::now() >= nextAddressAt_) return StartNextAddress();
  Rearm();
}

void Conn::OnReady(uint32_t ready) {
  switch (phase_) {
    case Phase::kConnecting:
      return CheckRacers((ready & Poller::kError) != 0);
    case Phase::kProxy:
      return ProxyStep();
    case Phase::kTls:
      if (ready & Poller::kOut) Flush();
      if (phase_ == Phase::kTls && (ready & (Poller::kIn | Poller::kError))) TlsHandshake();
      return;
    case Phase::kUp:
      if (ready & (Poller::kIn | Poller::kError)) {
        ReadSome((ready & Poller::kError) != 0, (ready & Poller::kFault) != 0);
      }
      if (phase_ == Phase::kUp && (ready & Poller::kOut)) Flush();
      return;
    case Phase::kClosing:
      if (ready & Poller::kOut) Flush();
      if (phase_ == Phase::kClosing && (ready & (Poller::kIn | Poller::kError))) Drain();
      return;
    default:
      return;
  }
}

void Conn::OnDeadline() {
  switch (phase_) {
    case Phase::kWaiting:
      return Begin();
    case Phase::kResolving:
      if (Clock::now() < started_ + std::chrono::milliseconds(attempt_.timeoutMs)) return Rearm();
      return Fail(LinkReason::kUnresolved, 0,
                  "no answer within " + std::to_string(attempt_.timeoutMs) + " ms");
    case Phase::kConnecting:
      if (Clock::now() < started_ + std::chrono::milliseconds(attempt_.timeoutMs)) {
        while (connectCheckAt_ <= Clock::now()) connectCheckAt_ += kConnectCheck;
        return CheckRacers(false);
      }
      everyAddressFailed_ = HopName() != nullptr;
      return Fail(LinkReason::kTimedOut, attempt_.timeoutMs);
    case Phase::kProxy:
    case Phase::kTls:
      // The timer may be the pending connect's short check, set before the
      // socket came up: only the attempt's own limit ends it.
      if (Clock::now() < started_ + std::chrono::milliseconds(attempt_.timeoutMs)) return Rearm();
      return Fail(LinkReason::kTimedOut, attempt_.timeoutMs);
    case Phase::kUp:
      return Tick();
    case Phase::kClosing:
      return Finish();
    default:
      return;
  }
}

bool Conn::OnStopping() {
  if (phase_ == Phase::kDone) return false;
  bool closing;
  bool flushing;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing = closing_;
    flushing = !sendQueue_.empty();
  }
  // Closed just before the stop, its kClose not run yet: it closes now.
  if (phase_ == Phase::kUp && closing) {
    phase_ = Phase::kClosing;
    lingerUntil_ = Clock::now() + std::chrono::milliseconds(kLingerMs);
    SetInterest();
    Rearm();
  }
  if (phase_ == Phase::kClosing) {
    if (flushing) return true;
    // Our FIN is out; what the peer still sends is read and dropped before
    // the close, so the close sends no reset over data in flight.
    Drain();
    if (phase_ != Phase::kDone) Finish();
    return false;
  }
  Finish();
  return false;
}

void Conn::Connected() {
  owner_->tuning.store(net::Tune(fd_, attempt_.health), std::memory_order_relaxed);
  if (!attempt_.viaProxy) return StartTlsOrEstablish();
  phase_ = Phase::kProxy;
  // A name goes to the proxy as such, for the proxy to resolve.
  Socks5Target target = Socks5Target::Ipv4(attempt_.ip);
  if (attempt_.hostKind == HostKind::kName) {
    target = Socks5Target::Domain(attempt_.host);
  } else if (attempt_.hostKind == HostKind::kIpv6) {
    target = Socks5Target::Ipv6(attempt_.ip6);
  }
  socks_ = std::make_unique<Socks5Handshake>(std::move(target), attempt_.port,
                                             attempt_.security.proxyUsername,
                                             attempt_.security.proxyPassword);
  std::vector<uint8_t> out;
  socks_->Start(&out);
  int error = 0;
  if (net::Send(fd_, out.data(), out.size(), &error) != static_cast<long>(out.size()))
    return error != 0 ? FailIo(error) : Fail(LinkReason::kProxyClosed);
  interest_ = Poller::kIn;
  loop_->Interest(this, fd_, interest_);
}

// The handshake takes only its own bytes: it looks at what arrived and
// consumes exactly what it used, so the first byte after the proxy's reply
// is the first byte of the server's stream (or of TLS).
void Conn::ProxyStep() {
  std::vector<uint8_t> out;
  for (;;) {
    uint8_t buf[512];
    int error = 0;
    const long n = net::Peek(fd_, buf, sizeof buf, &error);
    if (n == 0) return Fail(LinkReason::kProxyClosed);
    if (n < 0) {
      if (net::WouldBlock(error)) return;
      if (net::ReasonFor(error) == LinkReason::kResetByPeer) return Fail(LinkReason::kProxyClosed);
      return FailIo(error);
    }
    std::size_t used = 0;
    out.clear();
    const Socks5Handshake::Status status =
        socks_->Feed(buf, static_cast<std::size_t>(n), &used, &out);
    if (used != 0 && net::Recv(fd_, buf, used, &error) != static_cast<long>(used))
      return FailIo(error);
    if (!out.empty() &&
        net::Send(fd_, out.data(), out.size(), &error) != static_cast<long>(out.size()))
      return error != 0 ? FailIo(error) : Fail(LinkReason::kProxyClosed);
    if (status == Socks5Handshake::Status::kFailed) return Fail(socks_->reason(), socks_->value());
    if (status == Socks5Handshake::Status::kDone) {
      socks_.reset();
      return StartTlsOrEstablish();
    }
  }
}

void Conn::StartTlsOrEstablish() {
  bool tls;
  {
    std::lock_guard<std::mutex> lock(mu_);
    tls = tls_ != nullptr;
    if (tls) {
      // Our ClientHello; what the socket does not take at once waits in the
      // queue like any other bytes.
      tls_->Advance();
      SendCipherLocked();
    }
  }
  if (!tls) return Established();
  phase_ = Phase::kTls;
  SetInterest();
}

void Conn::TlsHandshake() {
  uint8_t* const buf = loop_->Scratch();
  if (buf == nullptr) return Fail(LinkReason::kOutOfMemory);
  bool ended = false;
  // A handshake flight is a few kilobytes; a peer that sends more than a
  // few reads' worth before the handshake is done waits for the next turn.
  for (int read = 0; read < 4; ++read) {
    int error = 0;
    const long n = net::Recv(fd_, buf, Loop::kScratchBytes, &error);
    if (n > 0) {
      received_ += static_cast<uint64_t>(n);
      std::lock_guard<std::mutex> lock(mu_);
      tls_->FeedCipher(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) {
      ended = true;
      std::lock_guard<std::mutex> lock(mu_);
      tls_->FeedCipherEnd();
      break;
    }
    if (net::WouldBlock(error)) break;
    return FailIo(error);
  }
  TlsSession::State state;
  std::string why;
  {
    std::lock_guard<std::mutex> lock(mu_);
    state = tls_->Advance();
    // The next handshake flight, or the alert that tells the server why.
    SendCipherLocked();
    if (state == TlsSession::State::kFailed) why = tls_->FailureText();
  }
  if (state == TlsSession::State::kOpen) {
    Established();
    // Bytes that came with the end of the handshake.
    if (phase_ == Phase::kUp) DrainPlain();
    return;
  }
  if (state == TlsSession::State::kFailed) return Fail(LinkReason::kTls, 0, why);
  if (state == TlsSession::State::kClosed || ended) {
    return Fail(LinkReason::kTls, 0, "TLS handshake failed: the server closed the connection");
  }
  SetInterest();
}

void Conn::Established() {
  phase_ = Phase::kUp;
  bool closing;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing = closing_;
    if (!closing) {
      up_ = true;
      connectedReport_ = true;
    }
  }
  // Closed while the handshake ran: nobody waits for this one.
  if (closing) return Finish();
  SetInterest();
  Rearm();
  owner_->Notify(this);
}

// Once a second while bytes wait to be sent.
void Conn::Tick() {
  const auto now = Clock::now();
  bool progressed = false;
  uint64_t acked = 0;
  std::size_t queued;
  bool paused;
  {
    std::lock_guard<std::mutex> lock(mu_);
    queued = sendQueue_.size() - sendOffset_;
    paused = paused_;
  }
  if (queued == 0) {
    tickAt_ = {};
    return Rearm();
  }
  if (net::BytesAcked(fd_, &acked)) {
    // What the peer acknowledged: it took bytes, however slowly.
    progressed = acked != ackedAtTick_;
    ackedAtTick_ = acked;
  } else {
    // Where the system cannot tell: the system took bytes from our queue.
    progressed = queued < queuedAtTick_;
  }
  queuedAtTick_ = queued;
  // A peer that keeps sending to us is alive, and may simply be blocked in
  // its own writes until we have read them.
  if (received_ != receivedAtTick_) progressed = true;
  receivedAtTick_ = received_;
  // Our own paused reading can be why a peer blocked in writing to us no
  // longer reads: that is not its stall.
  if (progressed || paused) progressAt_ = now;
  if (now - progressAt_ >= std::chrono::milliseconds(attempt_.health.stallMs)) {
    return Lost(LinkReason::kSendStall, attempt_.health.stallMs);
  }
  tickAt_ = now + kTick;
  Rearm();
}

LinkNote Conn::Note(uint32_t state, LinkReason reason, uint32_t value,
                    const std::string& detail) const {
  LinkNote n{};
  const std::size_t len = std::min(detail.size(), sizeof n.detail - 1);
  std::memcpy(n.detail, detail.data(), len);
  n.detail[len] = '\0';
  n.state = state;
  n.reason = reason;
  n.value = value;
  n.address = attempt_.ip;
  n.port = attempt_.port;
  n.viaProxy = attempt_.viaProxy;
  if (attempt_.viaProxy) {
    n.proxyAddress = attempt_.proxyIp;
    n.proxyPort = attempt_.proxyPort;
  }
  const auto copy = [](const std::string& text, char* out) {
    const std::size_t len = std::min(text.size(), kNoteHostMax);
    std::memcpy(out, text.data(), len);
    out[len] = '\0';
  };
  copy(attempt_.host, n.host);
  if (attempt_.viaProxy) copy(attempt_.proxyHost, n.proxyHost);
  // A name of the proxy, or one resolved here, concerns the first hop.
  n.aboutProxy = attempt_.viaProxy;
  n.everyAddressFailed = everyAddressFailed_;
  return n;
}

void Conn::Fail(LinkReason reason, uint32_t value, const std::string& detail) {
  if (phase_ == Phase::kDone) return;
  bool tell;
  {
    std::lock_guard<std::mutex> lock(mu_);
    tell = !closing_;
    ended_ = true;
    endReport_ = tell;
    endState_ = kConnectFailed;
    hasNote_ = true;
    note_ = Note(kConnectFailed, reason, value, detail);
  }
  Finish();
  if (tell) owner_->Notify(this);
}

void Conn::FailIo(int error) {
  const LinkReason reason = net::ReasonFor(error);
  uint32_t value = 0;
  if (reason == LinkReason::kTimedOut) {
    value = MsSince(started_);  // the system gave up before our deadline
  } else if (reason == LinkReason::kOtherError || reason == LinkReason::kNoDescriptors) {
    value = static_cast<uint32_t>(error);
  }
  Fail(reason, value);
}

void Conn::Lost(LinkReason reason, uint32_t value, const std::string& detail) {
  if (phase_ == Phase::kDone) return;
  bool tell;
  {
    std::lock_guard<std::mutex> lock(mu_);
    tell = !closing_;
    up_ = false;
    ended_ = true;
    endReport_ = tell;
    endState_ = kConnectionClosed;
    hasNote_ = true;
    note_ = Note(kConnectionClosed, reason, value, detail);
    sendQueue_.clear();
    sendOffset_ = 0;
  }
  Finish();
  if (tell) owner_->Notify(this);
}

// A system timeout on an up connection is one of our two limits: the
// unacknowledged-data one when bytes of ours were still unacknowledged,
// else keep-alive. An up connection does not end on a route or neighbour
// failure by itself; when one of the two limits expires, Linux reports the
// last such failure instead of ETIMEDOUT, so "unreachable" is a timeout too.
void Conn::LostIo(int error) {
  LinkReason reason = net::ReasonFor(error);
  uint32_t value = 0;
  if (reason == LinkReason::kTimedOut || reason == LinkReason::kUnreachable) {
    bool unacked;
    uint64_t acked = 0;
    std::size_t queued;
    uint64_t handed;
    {
      std::lock_guard<std::mutex> lock(mu_);
      queued = sendQueue_.size() - sendOffset_;
      handed = handedToSystem_;
    }
    if (net::BytesAcked(fd_, &acked)) {
      unacked = queued != 0 || handed > acked;
    } else {
      unacked = queued != 0 || net::OutstandingBytes(fd_) > 0;
    }
    if (unacked) {
      reason = LinkReason::kUnacknowledged;
      value = attempt_.health.unacknowledgedMs;
    } else {
      reason = LinkReason::kKeepAliveTimeout;
      value = attempt_.health.probes;
    }
  } else if (reason == LinkReason::kRefused || reason == LinkReason::kOtherError ||
             reason == LinkReason::kNoDescriptors) {
    if (reason == LinkReason::kRefused) reason = LinkReason::kOtherError;
    value = static_cast<uint32_t>(error);
  }
  Lost(reason, value);
}

void Conn::Finish() {
  if (phase_ == Phase::kDone) return;
  phase_ = Phase::kDone;
  loop_->Deadline(this, {});
  if (resolution_) {
    resolution_->Abandon();
    resolution_.reset();
  }
  while (!racers_.empty()) DropRacer(racers_.size() - 1);
  if (watched_) {
    loop_->Unwatch(this, fd_);
    watched_ = false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  up_ = false;
  net::Close(fd_);
  fd_ = net::kNoSocket;
  sendQueue_.clear();
  sendOffset_ = 0;
}

uint32_t Conn::WantedInterest() {
  std::lock_guard<std::mutex> lock(mu_);
  const uint32_t out = sendQueue_.empty() ? 0u : uint32_t{Poller::kOut};
  switch (phase_) {
    case Phase::kConnecting: return Poller::kOut;  // the winner, until the proxy or TLS
    case Phase::kProxy: return Poller::kIn;
    case Phase::kTls: return Poller::kIn | out;
    case Phase::kUp: return (paused_ ? 0u : uint32_t{Poller::kIn}) | out;
    case Phase::kClosing: return Poller::kIn | out;
    default: return 0;
  }
}

void Conn::SetInterest() {
  if (!watched_) return;
  const uint32_t want = WantedInterest();
  if (want == interest_) return;
  interest_ = want;
  loop_->Interest(this, fd_, interest_);
}

void Conn::Rearm() {
  Clock::time_point at{};
  switch (phase_) {
    case Phase::kWaiting:
      at = waitUntil_;
      break;
    case Phase::kResolving:
      at = started_ + std::chrono::milliseconds(attempt_.timeoutMs);
      break;
    case Phase::kConnecting:
      at = std::min(started_ + std::chrono::milliseconds(attempt_.timeoutMs), connectCheckAt_);
      if (nextCandidate_ < candidates_.size()) at = std::min(at, nextAddressAt_);
      break;
    case Phase::kProxy:
    case Phase::kTls:
      at = started_ + std::chrono::milliseconds(attempt_.timeoutMs);
      break;
    case Phase::kUp:
      at = tickAt_;
      break;
    case Phase::kClosing:
      at = lingerUntil_;
      break;
    default:
      break;
  }
  if (at == deadline_ && timerSet_ == (at != Clock::time_point{})) return;
  deadline_ = at;
  loop_->Deadline(this, at);
}

}  // namespace Nimbo2
