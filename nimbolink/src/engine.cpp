#include "engine.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace Nimbo2 {

namespace {

constexpr auto kTick = std::chrono::seconds(1);
// While a TCP connect is pending its outcome is also asked for this often:
// WSAPoll before Windows 10 2004 reports no event for a refused connect, so
// a refusal would otherwise read as a timeout.
constexpr auto kConnectCheck = std::chrono::milliseconds(250);
constexpr int kEventsPerWait = 128;

uint32_t MsSince(Clock::time_point t) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

}  // namespace

// ---------------------------------------------------------------------------
// Loop.

std::shared_ptr<Loop> Loop::Make(bool many, int* error) {
  if (!net::Startup()) {
    *error = net::LastError();
    return nullptr;
  }
  std::shared_ptr<Loop> loop(new Loop());
  loop->poller_ = Poller::Make(many, error);
  if (!loop->poller_) return nullptr;
  if (!loop->waker_.Open(error)) return nullptr;
  if (!loop->poller_->Add(loop->waker_.handle(), nullptr, Poller::kIn, error)) return nullptr;
  return loop;
}

Loop::~Loop() = default;

bool Loop::Start(const char* name, std::shared_ptr<ClientState> owner, int* error) {
  std::shared_ptr<Loop> self = shared_from_this();
  if (!thread_.Start([self, owner] { self->Run(owner); }, kLoopStackBytes, name, error))
    return false;
  started_ = true;
  return true;
}

void Loop::Post(const std::shared_ptr<Conn>& c, uint32_t ops) {
  if (c->ops_.fetch_or(ops, std::memory_order_acq_rel) != 0) return;  // queued already
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mu_);
    wake = posted_.empty();
    posted_.push_back(c);
  }
  if (wake) waker_.Signal();
}

void Loop::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!started_ || stopping_) return;
    stopping_ = true;
  }
  waker_.Signal();
  if (OnThread()) {
    // Called from a worker call on this very thread: it returns into the
    // loop, which then ends on its own, running this module's code after
    // the caller is gone.
    KeepModuleLoaded();
    thread_.Detach();
    return;
  }
  std::unique_lock<std::mutex> lock(mu_);
  stateCv_.wait(lock, [this] { return ended_ || lingering_; });
  const bool ended = ended_;
  lock.unlock();
  if (ended) {
    thread_.Join();
  } else {
    // A closing connection still flushes what was accepted (at most
    // kLingerMs); the thread finishes it alone.
    KeepModuleLoaded();
    thread_.Detach();
  }
}

uint8_t* Loop::Scratch() {
  if (!scratch_) scratch_.reset(new (std::nothrow) uint8_t[kScratchBytes]);
  return scratch_.get();
}

bool Loop::Watch(Conn* c, net::Socket s, uint32_t interest, int* error) {
  if (!poller_->Add(s, c, interest, error)) return false;
  watched_.push_back(c->shared_from_this());
  return true;
}

void Loop::Interest(Conn* c, net::Socket s, uint32_t interest) { poller_->Modify(s, c, interest); }

void Loop::Unwatch(Conn* c, net::Socket s) {
  poller_->Remove(s);
  for (std::size_t i = 0; i < watched_.size(); ++i) {
    if (watched_[i].get() == c) {
      // Kept alive to the end of this turn: an event of the same wait may
      // still name it.
      retired_.push_back(std::move(watched_[i]));
      watched_[i] = std::move(watched_.back());
      watched_.pop_back();
      break;
    }
  }
}

void Loop::Deadline(Conn* c, Clock::time_point at) {
  if (c->timerSet_) {
    timers_.erase(c->timer_);
    c->timerSet_ = false;
  }
  if (at == Clock::time_point{}) return;
  c->timer_ = timers_.emplace(at, c);
  c->timerSet_ = true;
}

int Loop::TimeoutMs() const {
  if (timers_.empty()) return -1;
  const auto left = timers_.begin()->first - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Rounded up, so that a wake-up never comes before its deadline.
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
}

void Loop::RunPosted() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    running_.swap(posted_);
  }
  for (const std::shared_ptr<Conn>& c : running_) {
    const uint32_t ops = c->ops_.exchange(0, std::memory_order_acq_rel);
    if (ops != 0) c->OnOps(ops);
  }
  running_.clear();
}

void Loop::RunDue() {
  const auto now = Clock::now();
  while (!timers_.empty() && timers_.begin()->first <= now) {
    Conn* c = timers_.begin()->second;
    timers_.erase(timers_.begin());
    c->timerSet_ = false;
    c->OnDeadline();
  }
}

void Loop::Run(std::shared_ptr<ClientState> owner) {
  threadId_.store(std::this_thread::get_id(), std::memory_order_release);
  if (owner) owner->ThreadBegins();
  Poller::Event events[kEventsPerWait];
  for (;;) {
    const int n = poller_->Wait(events, kEventsPerWait, TimeoutMs());
    for (int i = 0; i < n; ++i) {
      if (events[i].token == nullptr) {
        waker_.Drain();
        continue;
      }
      static_cast<Conn*>(events[i].token)->OnReady(events[i].ready);
    }
    RunPosted();
    RunDue();
    retired_.clear();
    bool stopping;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping = stopping_;
    }
    if (stopping && !stopSeen_) {
      stopSeen_ = true;
      std::vector<std::shared_ptr<Conn>> all = watched_;
      bool stays = false;
      for (const std::shared_ptr<Conn>& c : all) stays |= c->OnStopping();
      retired_.clear();
      if (stays) {
        std::lock_guard<std::mutex> lock(mu_);
        lingering_ = true;
        stateCv_.notify_all();
      }
    }
    if (stopSeen_ && watched_.empty()) break;
  }
  if (owner) owner->ThreadEnds();
  // Posted work of connections that never ran goes with the loop.
  {
    std::lock_guard<std::mutex> lock(mu_);
    posted_.clear();
  }
  timers_.clear();
  std::lock_guard<std::mutex> lock(mu_);
  ended_ = true;
  stateCv_.notify_all();
}

// ---------------------------------------------------------------------------
// The shared loops.

LoopGroup& LoopGroup::Shared() {
  // Made on first use; at unload or exit it goes only when its loops have
  // stopped (a host that exits with clients running keeps them going).
  static LoopGroup* group = new LoopGroup();
  static struct Reaper {
    ~Reaper() {
      bool idle;
      {
        std::lock_guard<std::mutex> lock(group->mu_);
        idle = group->loops_.empty();
      }
      if (idle) delete group;
    }
  } reaper;
  return *group;
}

bool LoopGroup::SetThreads(uint32_t threads) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!loops_.empty() || threads > 64) return false;
  threads_ = threads;
  return true;
}

bool LoopGroup::Running() {
  std::lock_guard<std::mutex> lock(mu_);
  return !loops_.empty();
}

std::shared_ptr<Loop> LoopGroup::Acquire(int* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (loops_.empty()) {
    uint32_t n = threads_;
    if (n == 0) n = std::max(1u, std::thread::hardware_concurrency()) + 1;
    for (uint32_t i = 0; i < n; ++i) {
      std::shared_ptr<Loop> loop = Loop::Make(true, error);
      const std::string name = "kelvo-loop-" + std::to_string(i);
      if (!loop || !loop->Start(name.c_str(), nullptr, error)) {
        for (auto& l : loops_) l->Stop();
        loops_.clear();
        return nullptr;
      }
      loops_.push_back(std::move(loop));
    }
  }
  std::shared_ptr<Loop> best = loops_[0];
  for (const auto& l : loops_) {
    if (l->clients.load() < best->clients.load()) best = l;
  }
  best->clients.fetch_add(1);
  ++users_;
  return best;
}

void LoopGroup::Release(const std::shared_ptr<Loop>& loop) {
  std::vector<std::shared_ptr<Loop>> stopping;
  {
    std::lock_guard<std::mutex> lock(mu_);
    loop->clients.fetch_sub(1);
    if (--users_ > 0) return;
    stopping.swap(loops_);
  }
  for (auto& l : stopping) l->Stop();
}

// ---------------------------------------------------------------------------
// Conn.

Conn::Conn(std::shared_ptr<ClientState> owner, std::shared_ptr<Loop> loop, uint64_t epoch,
           const Attempt& attempt)
    : owner_(std::move(owner)), loop_(std::move(loop)), epoch_(epoch), attempt_(attempt) {}

Conn::~Conn() { net::Close(fd_); }

bool Conn::Send(const uint8_t* data, std::size_t n) {
  bool post;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!up_ || closing_) return false;
    if (sendQueue_.size() - sendOffset_ + n > kSendQueueLimitBytes) return false;
    if (tls_) {
      if (!tls_->WritePlain(data, n)) return false;
      post = SendCipherLocked();
    } else {
      post = SendOrQueueLocked(data, n);
    }
  }
  if (post) loop_->Post(shared_from_this(), Loop::kWantWrite);
  return true;
}

bool Conn::SendOrQueueLocked(const uint8_t* data, std::size_t n) {
  if (n == 0) return false;
  if (sendQueue_.size() != sendOffset_) {
    sendQueue_.insert(sendQueue_.end(), data, data + n);
    return false;  // the loop is already writing
  }
  // Nothing waits before these bytes: straight to the socket, on this
  // thread. Only what the socket does not take goes to the loop.
  int error = 0;
  long written = fd_ != net::kNoSocket ? net::Send(fd_, data, n, &error) : 0;
  if (written < 0) {
    // Full, or dead: the loop finds out which. A hard error is the socket's
    // own, which this send took: kept for the loop's report.
    if (!net::WouldBlock(error) && sendError_ == 0) sendError_ = error;
    written = 0;
  }
  handedToSystem_ += static_cast<uint64_t>(written);
  owner_->bytesOut.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
  if (static_cast<std::size_t>(written) == n) return false;
  sendQueue_.assign(data + written, data + n);
  sendOffset_ = 0;
  return true;
}

bool Conn::SendCipherLocked() {
  cipherOut_.clear();
  tls_->TakeCipher(&cipherOut_);
  return SendOrQueueLocked(cipherOut_.data(), cipherOut_.size());
}

void Conn::Close() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closing_) return;
    closing_ = true;
    endReport_ = false;
    if (up_) {
      up_ = false;
      // TLS: our close_notify goes after the last request.
      if (tls_) {
        tls_->Shutdown();
        SendCipherLocked();
      }
      // What the socket takes at once goes now, on the closing thread, and
      // our FIN right behind it; the loop flushes the rest.
      int error = 0;
      if (WriteQueuedLocked(&error) && sendQueue_.empty()) {
        net::ShutdownWrite(fd_);
        shutDown_ = true;
      }
    }
  }
  loop_->Post(shared_from_this(), Loop::kClose);
}

bool Conn::WriteQueuedLocked(int* error) {
  while (sendOffset_ < sendQueue_.size()) {
    const long n = net::Send(fd_, sendQueue_.data() + sendOffset_, sendQueue_.size() - sendOffset_,
                             error);
    if (n < 0) {
      if (net::WouldBlock(*error)) return true;
      // The first hard error is the one that says what happened (a reset
      // is followed by broken pipes).
      if (sendError_ == 0) sendError_ = *error;
      *error = sendError_;
      return false;
    }
    sendOffset_ += static_cast<std::size_t>(n);
    handedToSystem_ += static_cast<uint64_t>(n);
    owner_->bytesOut.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  }
  sendQueue_.clear();
  sendOffset_ = 0;
  // A burst may have grown the queue: give the memory back once it is out.
  if (sendQueue_.capacity() > 64 * 1024) std::vector<uint8_t>().swap(sendQueue_);
  return true;
}

Conn::Next Conn::PeekLocked(uint8_t** data, std::size_t* bytes, Report* report) {
  if (connectedReport_) {
    report->state = kConnected;
    report->hasNote = false;
    return Next::kConnected;
  }
  if (inbox_.Peek(data, bytes)) return Next::kMessages;
  if (endReport_) {
    report->state = endState_;
    report->hasNote = hasNote_ && !noteDelivered_;
    report->note = note_;
    return Next::kEnded;
  }
  return Next::kNothing;
}

bool Conn::ConsumeLocked(std::size_t bytes, uint32_t messages) {
  if (bytes != 0) inbox_.Consume(bytes, messages);
  inbox_.Trim();
  if (paused_ && inbox_.HeldBytes() <= attempt_.inboxLimit / 2) {
    paused_ = false;
    return true;
  }
  return false;
}

uint32_t Conn::PendingLocked() const {
  uint32_t n = inbox_.Messages();
  if (connectedReport_) ++n;
  if (endReport_) n += (hasNote_ && !noteDelivered_) ? 2 : 1;
  return n;
}

int Conn::StateLocked() const {
  if (up_) return 2;
  if (ended_ || closing_) return 0;
  return 1;
}

// --- Loop thread. ---

void Conn::OnOps(uint32_t ops) {
  if (ops & Loop::kStart) Begin();
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
  if ((ops & Loop::kResume) && phase_ == Phase::kUp && tls_) {
    // Decrypted bytes may wait inside the session, with nothing new on the
    // socket to wake us for them.
    if (!DrainPlain()) return;
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
  int error = 0;
  const net::Socket s = net::OpenTcp(&error);
  if (s == net::kNoSocket) return FailIo(error);
  {
    std::lock_guard<std::mutex> lock(mu_);
    fd_ = s;
  }
  phase_ = Phase::kConnecting;
  const uint32_t ip = attempt_.viaProxy ? attempt_.proxyIp : attempt_.ip;
  const uint16_t port = attempt_.viaProxy ? attempt_.proxyPort : attempt_.port;
  error = net::StartConnect(s, ip, port);
  if (error != 0) return FailIo(error);
  interest_ = Poller::kOut;
  if (!loop_->Watch(this, s, interest_, &error)) return FailIo(error);
  watched_ = true;
  connectCheckAt_ = started_ + kConnectCheck;
  Rearm();
}

void Conn::OnReady(uint32_t ready) {
  switch (phase_) {
    case Phase::kConnecting: {
      const int error = net::ConnectOutcome(fd_);
      if (error != 0) return FailIo(error);
      if (ready & Poller::kOut) return Connected();
      if (ready & Poller::kError) return Fail(LinkReason::kResetByPeer);
      return;
    }
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
    case Phase::kConnecting:
      if (Clock::now() < started_ + std::chrono::milliseconds(attempt_.timeoutMs)) {
        const int error = net::ConnectOutcome(fd_);
        if (error != 0) return FailIo(error);
        connectCheckAt_ += kConnectCheck;
        return Rearm();
      }
      return Fail(LinkReason::kTimedOut, attempt_.timeoutMs);
    case Phase::kProxy:
    case Phase::kTls:
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
  socks_ = std::make_unique<Socks5Handshake>(attempt_.ip, attempt_.port,
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

int Conn::SocketError() {
  const int error = net::ConnectOutcome(fd_);
  if (error != 0) return error;
  std::lock_guard<std::mutex> lock(mu_);
  return sendError_;
}

void Conn::ReadSome(bool errorSeen, bool faultSeen) {
  bool paused;
  {
    std::lock_guard<std::mutex> lock(mu_);
    paused = paused_;
  }
  if (paused) {
    // Not reading until the host has taken some of what waits. An error
    // cannot wait: the poller reports it again and again. The end is
    // decided now and told after the messages that wait.
    if (!errorSeen) return;
    const int error = SocketError();
    if (error != 0) return LostIo(error);
    if (faultSeen) return Lost(LinkReason::kResetByPeer);
    return;
  }
  if (tls_) return ReadTls();
  uint8_t* at;
  std::size_t space = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    at = inbox_.Reserve(&space);
    // No read takes the inbox past its limit.
    const std::size_t room = attempt_.inboxLimit - std::min(attempt_.inboxLimit, inbox_.HeldBytes());
    if (space > room) space = room > 0 ? room : 1;
  }
  if (at == nullptr) return Lost(LinkReason::kOutOfMemory);
  int error = 0;
  const long n = net::Recv(fd_, at, space, &error);
  const std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
  // Framed where the bytes lie, outside the lock: nobody else touches them.
  const bool whole = inbox_.Frame(got, [](uint8_t*, std::size_t) {});
  uint32_t fresh;
  bool nowPaused = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fresh = inbox_.Publish();
    if (!paused_ && inbox_.HeldBytes() >= attempt_.inboxLimit) paused_ = nowPaused = true;
  }
  if (got != 0) {
    received_ += got;
    owner_->bytesIn.fetch_add(got, std::memory_order_relaxed);
  }
  if (fresh != 0) owner_->messagesIn.fetch_add(fresh, std::memory_order_relaxed);
  if (nowPaused) {
    SetInterest();
    Rearm();
  }
  if (n > 0 && whole) {
    if (fresh != 0) owner_->Notify(this);
    return;
  }
  if (fresh != 0) owner_->Notify(this);
  if (phase_ != Phase::kUp) return;  // closed by the worker meanwhile
  if (!whole) return Lost(LinkReason::kFramingError);
  if (n == 0) {
    // Some stacks (Wine's among them) answer a reset with an end of stream
    // and keep the error for poll alone: the error flag tells the two apart.
    // And a send on a host thread may have met the reset first and taken
    // the socket's error with it.
    const int pending = errorSeen ? net::ConnectOutcome(fd_) : 0;
    if (pending != 0) return LostIo(pending);
    if (faultSeen) return Lost(LinkReason::kResetByPeer);
    const int taken = SocketError();
    if (taken != 0) return LostIo(taken);
    return Lost(LinkReason::kClosedByPeer);
  }
  if (net::WouldBlock(error)) return;
  LostIo(error);
}

void Conn::ReadTls() {
  uint8_t* const cipher = loop_->Scratch();
  if (cipher == nullptr) return Lost(LinkReason::kOutOfMemory);
  int error = 0;
  const long n = net::Recv(fd_, cipher, Loop::kScratchBytes, &error);
  if (n < 0 && net::WouldBlock(error)) return;
  if (n < 0) return LostIo(error);
  if (n == 0) {
    // A reset that a send on a host thread met first, taking the socket's
    // error: the end of stream that follows is not the server's TLS end.
    const int taken = SocketError();
    if (taken != 0) {
      if (!DrainPlain()) return;
      return LostIo(taken);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (n > 0) {
      tls_->FeedCipher(cipher, static_cast<std::size_t>(n));
    } else {
      tls_->FeedCipherEnd();
    }
  }
  if (n > 0) {
    received_ += static_cast<uint64_t>(n);
    owner_->bytesIn.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  }
  if (!DrainPlain()) return;
  if (n == 0) {
    // The session saw the end of the stream and neither failed nor closed:
    // only possible while the inbox is full (the rest waits inside it until
    // the resume). A cut is never taken for an orderly end.
    bool paused;
    {
      std::lock_guard<std::mutex> lock(mu_);
      paused = paused_;
    }
    if (!paused) {
      return Lost(LinkReason::kTls, 0, "TLS connection failed: unexpected eof while reading");
    }
  }
  SetInterest();
}

bool Conn::DrainPlain() {
  uint32_t fresh = 0;
  bool whole = true;
  bool memory = true;
  bool nowPaused = false;
  bool drained;
  bool closing;
  TlsSession::State state;
  std::string why;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing = closing_;
    while (!paused_) {
      std::size_t space = 0;
      uint8_t* at = inbox_.Reserve(&space);
      if (at == nullptr) {
        memory = false;
        break;
      }
      const std::size_t room =
          attempt_.inboxLimit - std::min(attempt_.inboxLimit, inbox_.HeldBytes());
      if (space > room) space = room > 0 ? room : 1;
      const std::size_t k = tls_->ReadPlain(at, space);
      whole = inbox_.Frame(k, [](uint8_t*, std::size_t) {});
      fresh += inbox_.Publish();
      if (!whole || k == 0) break;
      if (inbox_.HeldBytes() >= attempt_.inboxLimit) paused_ = nowPaused = true;
    }
    drained = !paused_;
    // What the session wrote while reading (an alert, the answer to a key
    // update) goes now, not with some later request.
    SendCipherLocked();
    // Read after the plain stream: the end of the stream or a failure shows
    // only once everything before it was taken out.
    state = tls_->Advance();
    if (state == TlsSession::State::kFailed) why = tls_->FailureText();
  }
  if (fresh != 0) owner_->messagesIn.fetch_add(fresh, std::memory_order_relaxed);
  if (nowPaused) {
    SetInterest();
    Rearm();
  }
  if (fresh != 0) owner_->Notify(this);
  if (phase_ != Phase::kUp) return false;  // closed by the worker meanwhile
  // Closed by the host: the session ended with our close_notify, and the
  // closing connection flushes what was accepted (kClose is on its way).
  if (closing) return false;
  if (!memory) {
    Lost(LinkReason::kOutOfMemory);
    return false;
  }
  if (!whole) {
    Lost(LinkReason::kFramingError);
    return false;
  }
  // The session's end is told once the inbox has taken everything before
  // it; while the inbox is full the rest waits in the session.
  if (drained && state == TlsSession::State::kFailed) {
    Lost(LinkReason::kTls, 0, why);
    return false;
  }
  if (drained && state == TlsSession::State::kClosed) {
    Lost(LinkReason::kClosedByPeer);
    return false;
  }
  return true;
}

void Conn::Drain() {
  // Read and dropped: a small buffer on the stack will do (a thread-local
  // one would be made for every thread that touches any of this module's
  // thread-locals).
  uint8_t sink[2048];
  // A bounded bite per turn: a peer that never stops sending must not keep
  // the loop here (the poller calls again, and the linger limit ends it).
  for (int bite = 0; bite < 32; ++bite) {
    int error = 0;
    const long n = net::Recv(fd_, sink, sizeof sink, &error);
    if (n > 0) continue;
    if (n < 0 && net::WouldBlock(error)) return;
    // The peer's FIN (or an error): nothing more will come. Done once what
    // was accepted is out.
    bool flushed;
    {
      std::lock_guard<std::mutex> lock(mu_);
      flushed = sendQueue_.empty();
    }
    if (flushed || n < 0) return Finish();
    interest_ = Poller::kOut;
    loop_->Interest(this, fd_, interest_);
    return;
  }
}

void Conn::Flush() {
  int error = 0;
  bool ok;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ok = WriteQueuedLocked(&error);
    if (ok && closing_ && sendQueue_.empty() && !shutDown_) {
      net::ShutdownWrite(fd_);
      shutDown_ = true;
    }
  }
  if (!ok) {
    if (phase_ == Phase::kClosing) return Finish();
    return LostIo(error);
  }
  SetInterest();
  Rearm();
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
    case Phase::kConnecting: return Poller::kOut;
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
    case Phase::kConnecting:
      at = std::min(started_ + std::chrono::milliseconds(attempt_.timeoutMs), connectCheckAt_);
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

// ---------------------------------------------------------------------------
// ClientState.

void ClientState::Notify(Conn* c) {
  MsgWorker* w;
  InboxWorker* inbox;
  LinkNoteWorker* n;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (worker == nullptr) return;
    if (c != nullptr && current.get() != c && !requestedClose) return;
    if (c == nullptr && !requestedClose) return;
    w = worker;
    inbox = inboxWorker;
    n = notes;
    calling = true;
    callingThread = std::this_thread::get_id();
  }
  if (inbox != nullptr) {
    try {
      inbox->InboxReady();
    } catch (...) {
      // The worker's business; reading goes on.
    }
  } else {
    DeliverHere(w, n);
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    calling = false;
  }
  callEnded.notify_all();
}

bool ClientState::Attached() {
  std::lock_guard<std::mutex> lock(mu);
  return worker != nullptr;
}

void ClientState::DeliverHere(MsgWorker* w, LinkNoteWorker* n) {
  InboxItem item;
  while (Take(&item)) {
    if (item.kind == InboxItem::kMessages) {
      std::size_t pos = 0;
      uint32_t count = 0;
      while (pos < item.bytes) {
        uint8_t* const m = item.data + pos;
        const std::size_t length = static_cast<std::size_t>(m[0] | (m[1] << 8)) & Framer::kMaxLength;
        pos += length;
        ++count;
        if (item.recorder) item.recorder->Message(m, length);  // before the worker edits it
        try {
          w->HandleMessage(m, static_cast<uint32_t>(length), 0, 0);
        } catch (...) {
          // The worker's business; the next message is delivered as usual.
        }
        if (!Current(item)) break;  // closed, replaced or destroyed meanwhile
      }
      Done(item, pos, count);
      if (!Current(item)) return;
      continue;
    }
    if (item.kind == InboxItem::kEnded && item.hasNote && n != nullptr) {
      try {
        n->OnLinkNote(item.note);
      } catch (...) {
        // A note is a diagnostic: losing it must not lose the report.
      }
      if (!Current(item)) {
        Done(item, 0, 0);
        return;
      }
    }
    // Taken before the call: the worker may start a new attempt inside it.
    DoneReport(item);
    try {
      w->OnConnectState(item.state);
    } catch (...) {
      // The worker's business; the connection goes on.
    }
    if (!Current(item) && item.kind == InboxItem::kConnected) return;
  }
}

bool ClientState::Take(InboxItem* item) {
  std::shared_ptr<Conn> c;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (worker == nullptr) return false;
    if (requestedClose) {
      // The close CloseSocket(true) asked for came before anything of a
      // later connection.
      *item = InboxItem{};
      item->kind = InboxItem::kEnded;
      item->state = kConnectionClosed;
      item->epoch = kRequestedEpoch;
      return true;
    }
    c = current;
    if (!c) return false;
  }
  Conn::Report report{};
  uint8_t* data = nullptr;
  std::size_t bytes = 0;
  Conn::Next next;
  {
    std::lock_guard<std::mutex> lock(c->mu());
    next = c->PeekLocked(&data, &bytes, &report);
  }
  *item = InboxItem{};
  item->epoch = c->epoch();
  item->recorder = recorder.get();
  switch (next) {
    case Conn::Next::kNothing:
      return false;
    case Conn::Next::kConnected:
      item->kind = InboxItem::kConnected;
      item->state = kConnected;
      break;
    case Conn::Next::kMessages:
      item->kind = InboxItem::kMessages;
      item->data = data;
      item->bytes = bytes;
      break;
    case Conn::Next::kEnded:
      item->kind = InboxItem::kEnded;
      item->state = report.state;
      item->hasNote = report.hasNote;
      item->note = report.note;
      break;
  }
  delivering = std::move(c);
  return true;
}

void ClientState::Done(const InboxItem& item, std::size_t bytes, uint32_t messages) {
  std::shared_ptr<Conn> c = std::move(delivering);
  delivering.reset();
  if (!c || c->epoch() != item.epoch) return;
  bool resume;
  {
    std::lock_guard<std::mutex> lock(c->mu());
    resume = c->ConsumeLocked(bytes, messages);
  }
  if (resume) c->loop().Post(c, Loop::kResume);
}

void ClientState::DoneNote(const InboxItem& item) {
  std::shared_ptr<Conn> c = std::move(delivering);
  delivering.reset();
  if (!c || c->epoch() != item.epoch) return;
  std::lock_guard<std::mutex> lock(c->mu());
  c->SetNoteDeliveredLocked();
}

void ClientState::DoneReport(const InboxItem& item) {
  std::shared_ptr<Conn> c = std::move(delivering);
  delivering.reset();
  if (item.epoch == kRequestedEpoch) {
    std::lock_guard<std::mutex> lock(mu);
    requestedClose = false;
    return;
  }
  if (!c) return;
  if (c->epoch() != item.epoch) return;
  if (recorder) {
    if (item.kind == InboxItem::kConnected) recorder->Connected();
    if (item.kind == InboxItem::kEnded && item.state == kConnectionClosed) recorder->Closed();
  }
  {
    std::lock_guard<std::mutex> lock(c->mu());
    if (item.kind == InboxItem::kConnected) {
      c->ConnectedDeliveredLocked();
      return;
    }
    c->EndDeliveredLocked();
  }
  // The connection's story is told: it is no longer anybody's current one.
  std::lock_guard<std::mutex> lock(mu);
  if (current == c) current.reset();
}

bool ClientState::Current(const InboxItem& item) const {
  if (stopped.load(std::memory_order_acquire)) return false;
  return item.epoch == kRequestedEpoch || currentEpoch.load(std::memory_order_acquire) == item.epoch;
}

uint32_t ClientState::PendingEvents() {
  std::shared_ptr<Conn> c;
  uint32_t owed;
  {
    std::lock_guard<std::mutex> lock(mu);
    owed = requestedClose ? 1 : 0;
    if (!current) return owed;
    c = current;
  }
  std::lock_guard<std::mutex> lock(c->mu());
  return owed + c->PendingLocked();
}

void ClientState::ThreadBegins() {
  MsgWorker* w;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (worker == nullptr) return;
    w = worker;
    calling = true;
    callingThread = std::this_thread::get_id();
  }
  try {
    w->MsgThreadBegin();
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    calling = false;
  }
  callEnded.notify_all();
}

void ClientState::ThreadEnds() {
  MsgWorker* w;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (worker == nullptr || forgetWorker) return;
    w = worker;
    calling = true;
    callingThread = std::this_thread::get_id();
  }
  try {
    w->MsgThreadEnd();
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    calling = false;
  }
  callEnded.notify_all();
}

}  // namespace Nimbo2
