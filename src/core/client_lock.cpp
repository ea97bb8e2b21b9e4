#include "core/client_lock.h"

namespace kelvo {

void ClientLock::LockSlow() {
  std::unique_lock<std::mutex> lock(mu_);
  const uint64_t ticket = nextTicket_++;
  if (ticket != serving_) {
    waiting_.fetch_add(1, std::memory_order_relaxed);
    turn_.wait(lock, [&] { return serving_ == ticket; });
    waiting_.fetch_sub(1, std::memory_order_relaxed);
  }
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  depth_ = 1;
}

void ClientLock::UnlockSlow() {
  std::lock_guard<std::mutex> lock(mu_);
  depth_ = 0;
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  ++serving_;
  // Notified under mu_: the next holder may destroy the object as soon as it
  // runs, so nothing of it is touched after mu_ is released.
  if (nextTicket_ != serving_) turn_.notify_all();
}

}  // namespace kelvo
