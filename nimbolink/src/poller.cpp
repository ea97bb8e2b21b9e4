#include "poller.h"

#include <cerrno>
#include <unordered_map>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <poll.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/epoll.h>
#endif
#endif

namespace Nimbo2 {

namespace {

#if defined(_WIN32)
using PollFd = WSAPOLLFD;
int SystemPoll(PollFd* fds, std::size_t n, int timeoutMs) {
  return ::WSAPoll(fds, static_cast<ULONG>(n), timeoutMs);
}
using PollSocket = SOCKET;
#else
using PollFd = pollfd;
int SystemPoll(PollFd* fds, std::size_t n, int timeoutMs) {
  return ::poll(fds, static_cast<nfds_t>(n), timeoutMs);
}
using PollSocket = int;
#endif

short PollEvents(uint32_t interest) {
  short e = 0;
  if (interest & Poller::kIn) e |= POLLIN;
  if (interest & Poller::kOut) e |= POLLOUT;
  return e;
}

// A few sockets: a loop of one client has its wake-up channel, its
// connection and now and then a closing one.
class PollPoller final : public Poller {
 public:
  bool Add(net::Socket s, void* token, uint32_t interest, int*) override {
    index_[s] = fds_.size();
    PollFd p{};
    p.fd = static_cast<PollSocket>(s);
    p.events = PollEvents(interest);
    fds_.push_back(p);
    tokens_.push_back(token);
    return true;
  }
  void Modify(net::Socket s, void* token, uint32_t interest) override {
    auto it = index_.find(s);
    if (it == index_.end()) return;
    fds_[it->second].events = PollEvents(interest);
    tokens_[it->second] = token;
  }
  void Remove(net::Socket s) override {
    auto it = index_.find(s);
    if (it == index_.end()) return;
    const std::size_t i = it->second;
    index_.erase(it);
    const std::size_t last = fds_.size() - 1;
    if (i != last) {
      fds_[i] = fds_[last];
      tokens_[i] = tokens_[last];
      index_[static_cast<net::Socket>(fds_[i].fd)] = i;
    }
    fds_.pop_back();
    tokens_.pop_back();
  }
  int Wait(Event* out, int max, int timeoutMs) override {
    const int n = SystemPoll(fds_.data(), fds_.size(), timeoutMs);
    if (n <= 0) return 0;
    // When more sockets are ready than one wait reports, the scan goes on
    // next time where it stopped, so that no socket waits behind the same
    // others turn after turn.
    const std::size_t size = fds_.size();
    if (next_ >= size) next_ = 0;
    int got = 0;
    std::size_t k = 0;
    for (; k < size && got < max; ++k) {
      const std::size_t i = (next_ + k) % size;
      const short r = fds_[i].revents;
      if (r == 0) continue;
      uint32_t ready = 0;
      if (r & POLLIN) ready |= kIn;
      if (r & POLLOUT) ready |= kOut;
      if (r & (POLLERR | POLLHUP | POLLNVAL)) ready |= kError;
      if (r & POLLERR) ready |= kFault;
      out[got++] = Event{tokens_[i], ready};
    }
    next_ = (next_ + k) % size;
    return got;
  }

 private:
  std::vector<PollFd> fds_;
  std::vector<void*> tokens_;
  std::unordered_map<net::Socket, std::size_t> index_;
  std::size_t next_ = 0;  // where the next scan of the results starts
};

#if defined(__linux__)
uint32_t EpollEvents(uint32_t interest) {
  uint32_t e = 0;
  if (interest & Poller::kIn) e |= EPOLLIN;
  if (interest & Poller::kOut) e |= EPOLLOUT;
  return e;
}

// Many sockets: only the ready ones cost anything per wait.
class EpollPoller final : public Poller {
 public:
  explicit EpollPoller(int fd) : fd_(fd) {}
  ~EpollPoller() override { ::close(fd_); }
  bool Add(net::Socket s, void* token, uint32_t interest, int* error) override {
    epoll_event e{};
    e.events = EpollEvents(interest);
    e.data.ptr = token;
    if (::epoll_ctl(fd_, EPOLL_CTL_ADD, s, &e) == 0) return true;
    *error = errno;
    return false;
  }
  void Modify(net::Socket s, void* token, uint32_t interest) override {
    epoll_event e{};
    e.events = EpollEvents(interest);
    e.data.ptr = token;
    ::epoll_ctl(fd_, EPOLL_CTL_MOD, s, &e);
  }
  void Remove(net::Socket s) override {
    epoll_event e{};
    ::epoll_ctl(fd_, EPOLL_CTL_DEL, s, &e);
  }
  int Wait(Event* out, int max, int timeoutMs) override {
    if (static_cast<int>(events_.size()) < max) events_.resize(static_cast<std::size_t>(max));
    const int n = ::epoll_wait(fd_, events_.data(), max, timeoutMs);
    if (n <= 0) return 0;
    for (int i = 0; i < n; ++i) {
      uint32_t ready = 0;
      const uint32_t r = events_[i].events;
      if (r & EPOLLIN) ready |= kIn;
      if (r & EPOLLOUT) ready |= kOut;
      if (r & (EPOLLERR | EPOLLHUP)) ready |= kError;
      if (r & EPOLLERR) ready |= kFault;
      out[i] = Event{events_[i].data.ptr, ready};
    }
    return n;
  }

 private:
  int fd_;
  std::vector<epoll_event> events_;
};
#endif

}  // namespace

std::unique_ptr<Poller> Poller::Make(bool many, int* error) {
#if defined(__linux__)
  if (many) {
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) {
      *error = errno;
      return nullptr;
    }
    return std::make_unique<EpollPoller>(fd);
  }
#else
  (void)many;
#endif
  (void)error;
  return std::make_unique<PollPoller>();
}

}  // namespace Nimbo2
