#include "support/loopback_server.h"

#include <cstring>

namespace kelvo {
namespace test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool PollFor(SocketHandle fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = PollSockets(&p, 1, RemainingMs(deadline));
    if (r > 0) return true;
    if (r == 0) return false;
    if (!Interrupted()) return false;
  }
}

void CloseFd(SocketHandle& fd) {
  if (fd != kNoSocket) CloseSocketHandle(fd);
  fd = kNoSocket;
}

}  // namespace

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

ByteVec Frame(uint16_t length, uint8_t id, uint8_t seed, bool flagBit15) {
  ByteVec m(length);
  const uint16_t word = static_cast<uint16_t>(length | (flagBit15 ? 0x8000 : 0));
  if (length > 0) m[0] = static_cast<uint8_t>(word & 0xFF);
  if (length > 1) m[1] = static_cast<uint8_t>(word >> 8);
  if (length > 2) m[2] = 0x2C;
  if (length > 3) m[3] = id;
  for (std::size_t i = 4; i < m.size(); ++i) m[i] = static_cast<uint8_t>(seed + i);
  return m;
}

LoopbackServer::LoopbackServer(int backlog, bool ipv6, uint16_t port) : ipv6_(ipv6) {
  StartSockets();
  listen_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
#if !defined(_WIN32)
  // On Windows SO_REUSEADDR would let another socket steal the port.
  const int one = 1;
  SetOption(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
  sockaddr_storage any{};
  socklen_t len;
  if (ipv6) {
    const int only = 1;
    SetOption(listen_, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    sockaddr_in6* const a = reinterpret_cast<sockaddr_in6*>(&any);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    a->sin6_port = htons(port);
    len = sizeof *a;
  } else {
    *reinterpret_cast<sockaddr_in*>(&any) = LoopbackAddress(port);
    len = sizeof(sockaddr_in);
  }
  if (::bind(listen_, reinterpret_cast<sockaddr*>(&any), len) != 0 ||
      ::listen(listen_, backlog) != 0) {
    CloseFd(listen_);
    return;
  }
  ::getsockname(listen_, reinterpret_cast<sockaddr*>(&any), &len);
  port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&any)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&any)->sin_port);
}

LoopbackServer::~LoopbackServer() {
  CloseFd(conn_);
  CloseFd(listen_);
  for (SocketHandle& fd : fillers_) CloseFd(fd);
}

bool LoopbackServer::Accept(std::chrono::milliseconds timeout) {
  if (listen_ == kNoSocket || !PollFor(listen_, POLLIN, Clock::now() + timeout)) return false;
  const SocketHandle fd = ::accept(listen_, nullptr, nullptr);
  if (fd == kNoSocket) return false;
  CloseFd(conn_);
  conn_ = fd;
  return true;
}

bool LoopbackServer::Send(const void* data, std::size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const long w = SendBytes(conn_, p, n);
    if (w < 0 && Interrupted()) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool LoopbackServer::Read(std::size_t n, ByteVec* out, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  uint8_t chunk[65536];
  while (n > 0) {
    if (!PollFor(conn_, POLLIN, deadline)) return false;
    const long r = RecvBytes(conn_, chunk, n < sizeof chunk ? n : sizeof chunk);
    if (r < 0 && Interrupted()) continue;
    if (r <= 0) return false;
    out->insert(out->end(), chunk, chunk + r);
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool LoopbackServer::WaitPeerClosed(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  uint8_t chunk[65536];
  for (;;) {
    if (!PollFor(conn_, POLLIN, deadline)) return false;
    const long r = RecvBytes(conn_, chunk, sizeof chunk);
    if (r < 0 && Interrupted()) continue;
    if (r <= 0) return true;
  }
}

void LoopbackServer::Close() { CloseFd(conn_); }

void LoopbackServer::Reset() {
  if (conn_ == kNoSocket) return;
  const linger l{1, 0};
  SetOption(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  CloseFd(conn_);
}

bool LoopbackServer::Saturate() {
  // Queue connections that are never accepted until one no longer completes.
  for (int i = 0; i < 8; ++i) {
    const SocketHandle fd = ::socket(ipv6_ ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    SetNonBlocking(fd);
    if (ipv6_) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      a.sin6_port = htons(port_);
      ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } else {
      const sockaddr_in a = Address();
      ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    fillers_.push_back(fd);
    if (!PollFor(fd, POLLOUT, Clock::now() + 300ms)) return true;  // this one stalls
  }
  return false;
}

// ---------------------------------------------------------------------------

uint32_t RecordingWorker::HandleMessage(void* message, uint32_t length, uint32_t, uint32_t) {
  uint8_t* m = static_cast<uint8_t*>(message);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (forbidden_) ++forbiddenCalls_;
    ++messageCount_;
    if (keepMessages) messages_.emplace_back(m, m + length);
  }
  // The whole message must be writable, as the real handlers need.
  m[length - 1] = 0;
  if (onMessage) onMessage(m, length);
  Notify();
  return 0;
}

void RecordingWorker::OnTick(uint32_t) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (forbidden_) ++forbiddenCalls_;
    ++ticks_;
  }
  Notify();
}

void RecordingWorker::OnConnectState(uint32_t state) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (forbidden_) ++forbiddenCalls_;
    states_.push_back(state);
  }
  if (onState) onState(state);
  Notify();
}

void RecordingWorker::MsgThreadBegin() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (forbidden_) ++forbiddenCalls_;
    ++begins_;
  }
  Notify();
}

void RecordingWorker::MsgThreadEnd() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (forbidden_) ++forbiddenCalls_;
    ++ends_;
  }
  Notify();
}

// Under the lock, so that a test which takes the lock afterwards knows the
// message thread is done with this object (and may destroy it).
void RecordingWorker::Notify() {
  std::lock_guard<std::mutex> lock(mu_);
  cv_.notify_all();
}

std::vector<uint32_t> RecordingWorker::States() {
  std::lock_guard<std::mutex> lock(mu_);
  return states_;
}
std::vector<ByteVec> RecordingWorker::Messages() {
  std::lock_guard<std::mutex> lock(mu_);
  return messages_;
}
std::size_t RecordingWorker::MessageCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return messageCount_;
}
int RecordingWorker::Ticks() {
  std::lock_guard<std::mutex> lock(mu_);
  return ticks_;
}
int RecordingWorker::ThreadBegins() {
  std::lock_guard<std::mutex> lock(mu_);
  return begins_;
}
int RecordingWorker::ThreadEnds() {
  std::lock_guard<std::mutex> lock(mu_);
  return ends_;
}
int RecordingWorker::ForbiddenCalls() {
  std::lock_guard<std::mutex> lock(mu_);
  return forbiddenCalls_;
}
void RecordingWorker::Forbid() {
  std::lock_guard<std::mutex> lock(mu_);
  forbidden_ = true;
}

bool RecordingWorker::WaitUntil(const std::function<bool()>& done,
                                std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, done);
}
bool RecordingWorker::WaitStates(std::size_t n, std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return states_.size() >= n; }, timeout);
}
bool RecordingWorker::WaitMessages(std::size_t n, std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return messageCount_ >= n; }, timeout);
}
bool RecordingWorker::WaitTicks(int n, std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return ticks_ >= n; }, timeout);
}
bool RecordingWorker::WaitThreadEnd(std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return ends_ > 0; }, timeout);
}

}  // namespace test
}  // namespace kelvo
