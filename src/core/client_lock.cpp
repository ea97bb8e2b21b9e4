#include "core/client_lock.h"

#include <chrono>

namespace kelvo {

namespace {
// How long a waiter watches for its turn before it sleeps: about what a
// wake-up from sleep costs on a loaded machine. The holder hands over
// between two messages, so a short callback is usually over by then.
constexpr auto kWatchBeforeSleep = std::chrono::microseconds(50);
}  // namespace

void ClientLock::LockSlow() {
  std::unique_lock<std::mutex> lock(mu_);
  const uint64_t ticket = nextTicket_++;
  if (ticket != serving_) {
    waiting_.fetch_add(1, std::memory_order_relaxed);
    lock.unlock();
    const auto until = std::chrono::steady_clock::now() + kWatchBeforeSleep;
    while (servingNow_.load(std::memory_order_acquire) != ticket &&
           std::chrono::steady_clock::now() < until) {
      std::this_thread::yield();
    }
    lock.lock();
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
  servingNow_.store(serving_, std::memory_order_release);
  // Notified under mu_: the next holder may destroy the object as soon as it
  // runs, so nothing of it is touched after mu_ is released.
  if (nextTicket_ != serving_) turn_.notify_all();
}

}  // namespace kelvo
