#include "core/shared_pump.h"

#include <algorithm>
#include <chrono>

#if defined(_WIN32)
#include <winsock2.h>  // before windows.h, which the socket client's header pulls in too
#include <windows.h>
#else
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include "core/im_server_client.h"
#include "nimbo2/tcp_client_socks5.h"

namespace kelvo {

SharedPump& SharedPump::Instance() {
  // Made on first use. At unload or exit it goes only when no client is on
  // the shared loop any more: a host that exits with clients still running
  // must not find it destroyed under a loop thread.
  static SharedPump* pump = new SharedPump();
  static struct Reaper {
    ~Reaper() {
      bool idle;
      {
        std::lock_guard<std::mutex> lock(pump->mu_);
        idle = pump->members_ == 0 && pump->ready_.empty();
      }
      if (idle) delete pump;
    }
  } reaper;
  return *pump;
}

void SharedPump::Join() {
  std::lock_guard<std::mutex> lock(mu_);
  ++members_;
}

void SharedPump::Leave() {
  std::lock_guard<std::mutex> lock(mu_);
  if (--members_ > 0 || handle_ == -1) return;
#if defined(_WIN32)
  ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle_)));
#else
  ::close(static_cast<int>(handle_));
#endif
  handle_ = -1;
  signalled_ = false;
}

void SharedPump::SignalLocked() {
  cv_.notify_all();
  if (handle_ == -1 || signalled_) return;
  signalled_ = true;
#if defined(_WIN32)
  ::SetEvent(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle_)));
#else
  const uint64_t one = 1;
  (void)!::write(static_cast<int>(handle_), &one, sizeof one);
#endif
}

void SharedPump::ResetLocked() {
  if (handle_ == -1 || !signalled_) return;
  signalled_ = false;
#if defined(_WIN32)
  ::ResetEvent(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle_)));
#else
  uint64_t n;
  (void)!::read(static_cast<int>(handle_), &n, sizeof n);
#endif
}

void SharedPump::Ready(ImServerClient* c) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!c->inSharedReady) {
    c->inSharedReady = true;
    ready_.push_back(c);
  }
  SignalLocked();
}

void SharedPump::Forget(ImServerClient* c) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!c->inSharedReady) return;
  c->inSharedReady = false;
  ready_.erase(std::find(ready_.begin(), ready_.end(), c));
  if (ready_.empty()) ResetLocked();
}

uint32_t SharedPump::Pump(uint32_t maxEvents) {
  // From inside a callback, nothing: the caller is in the middle of an
  // event of some client.
  if (ClientLock::HeldByThisThread() > 0) return 0;
  if (pumping_.exchange(true)) return 0;
  uint32_t ran = 0;
  while (ran < maxEvents) {
    ImServerClient* c;
    uint64_t ticket;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (ready_.empty()) {
        ResetLocked();
        break;
      }
      c = ready_.front();
      ready_.pop_front();
      c->inSharedReady = false;
      // Inside the client from here on, as far as its destruction is
      // concerned (see the header).
      ticket = c->lock().TakeTicket();
    }
    // `c` may be gone once this returns.
    ran += c->PumpWithTicket(ticket, maxEvents - ran);
  }
  pumping_.store(false);
  return ran;
}

bool SharedPump::Wait(uint32_t timeoutMs) {
  if (ClientLock::HeldByThisThread() > 0) {
    std::lock_guard<std::mutex> lock(mu_);
    return !ready_.empty();
  }
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !ready_.empty(); });
}

int64_t SharedPump::Handle() {
  if (!Nimbo2::TCPClient_Socks5::SharedLoopRunning()) return -1;
  std::lock_guard<std::mutex> lock(mu_);
  if (handle_ == -1 && members_ > 0) {
#if defined(_WIN32)
    HANDLE e = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (e != nullptr) handle_ = static_cast<int64_t>(reinterpret_cast<intptr_t>(e));
#else
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd >= 0) handle_ = fd;
#endif
    if (!ready_.empty()) SignalLocked();
  }
  return handle_;
}

}  // namespace kelvo
