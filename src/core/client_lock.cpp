#include "core/client_lock.h"

#include <algorithm>

namespace kelvo {

namespace {
// How long a waiter watches for its turn, or a thread in SleepUntil for a
// wake, before it sleeps: about what a wake-up from sleep costs on a quiet
// machine. The holder hands over between two messages, so a short callback
// is usually over by then; a loopback answer usually comes within it.
constexpr auto kWatchBeforeSleep = std::chrono::microseconds(50);
// A waiter the holder woke to hand over watches this long for its turn
// before it sleeps again: the holder hands over at its next step.
constexpr auto kWatchWhenCalled = std::chrono::milliseconds(1);
// After waking the waiters, the holder goes on for at most this many more
// steps, and this long, waiting for one of them to be awake, then hands
// over anyway.
constexpr int kStepsWhileWaking = 64;
constexpr auto kCallPatience = std::chrono::milliseconds(1);

// One step of watching: on a machine with several cores the watcher keeps
// its core (the holder hands over to it within microseconds, and a thread
// that gave its core away is not there to take the turn); with one core it
// lets the holder run.
void Relax() {
  static const bool manyCores = std::thread::hardware_concurrency() > 1;
  if (!manyCores) {
    std::this_thread::yield();
    return;
  }
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#endif
}
}  // namespace

thread_local int ClientLock::heldHere_ = 0;

uint64_t ClientLock::TakeTicket() {
  std::lock_guard<std::mutex> lock(mu_);
  return nextTicket_++;
}

void ClientLock::WaitTicket(uint64_t ticket) {
  std::unique_lock<std::mutex> lock(mu_);
  if (ticket != serving_) WaitForTurn(lock, ticket);
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  depth_ = 1;
  ++heldHere_;
}

void ClientLock::WaitForTurn(std::unique_lock<std::mutex>& lock, uint64_t ticket) {
  waiting_.fetch_add(1, std::memory_order_relaxed);
  auto watch = kWatchBeforeSleep;
  for (;;) {
    awake_.fetch_add(1, std::memory_order_relaxed);
    // After waiting_ and awake_: see Disturbances(). A run under way ends
    // at its next message and the holder finds this thread ready.
    disturbances_.fetch_add(1, std::memory_order_release);
    lock.unlock();
    const auto until = Clock::now() + watch;
    while (servingNow_.load(std::memory_order_acquire) != ticket && Clock::now() < until) Relax();
    lock.lock();
    awake_.fetch_sub(1, std::memory_order_relaxed);
    if (serving_ == ticket) break;
    const uint64_t calls = calls_;
    turn_.wait(lock, [&] { return serving_ == ticket || calls_ != calls; });
    if (serving_ == ticket) break;
    watch = kWatchWhenCalled;  // the holder hands over at its next step
  }
  waiting_.fetch_sub(1, std::memory_order_relaxed);
}

bool ClientLock::YieldToWaiters() {
  if (awake_.load(std::memory_order_relaxed) == 0) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto now = Clock::now();
    if (calledAt_ == Clock::time_point{}) {
      calledAt_ = now;
      calledSteps_ = 0;
      ++calls_;
      turn_.notify_all();
      return false;
    }
    if (++calledSteps_ < kStepsWhileWaking && now - calledAt_ < kCallPatience) return false;
  }
  // The holder's next ticket is taken before it lets go, in one step: a
  // thread waiting for quiet (the object's destruction) must never find
  // nobody inside while the holder is between its two turns.
  --heldHere_;
  std::unique_lock<std::mutex> lock(mu_);
  const uint64_t ticket = nextTicket_++;
  depth_ = 0;
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  calledAt_ = Clock::time_point{};
  ++serving_;
  servingNow_.store(serving_, std::memory_order_release);
  turn_.notify_all();
  if (ticket != serving_) WaitForTurn(lock, ticket);
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  depth_ = 1;
  ++heldHere_;
  return true;
}

void ClientLock::UnlockSlow() {
  --heldHere_;
  std::lock_guard<std::mutex> lock(mu_);
  depth_ = 0;
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  calledAt_ = Clock::time_point{};
  ++serving_;
  servingNow_.store(serving_, std::memory_order_release);
  // Notified under mu_: the next holder (or the one waiting for quiet) may
  // free the object as soon as it runs, so nothing of it is touched after
  // mu_ is released.
  if (nextTicket_ != serving_ || quietWanted_) turn_.notify_all();
}

void ClientLock::SleepUntil(uint64_t seen, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mu_);
  if (closed_) return;
  // Let the lock go, as Unlock would at depth 1.
  --heldHere_;
  depth_ = 0;
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  calledAt_ = Clock::time_point{};
  ++serving_;
  servingNow_.store(serving_, std::memory_order_release);
  if (nextTicket_ != serving_ || quietWanted_) turn_.notify_all();
  ++sleepers_;
  sleepersNow_.fetch_add(1, std::memory_order_relaxed);
  // Watched before the sleep, as a ticket is: the answer to a request the
  // thread has just sent usually comes sooner than a sleeping thread can
  // be woken (a host thread in WaitForEvents would otherwise pay a second
  // wake-up on top of the network thread's own). Close bumps wakes_ too.
  lock.unlock();
  const auto watchUntil = std::min(deadline, Clock::now() + kWatchBeforeSleep);
  while (wakes_.load(std::memory_order_acquire) == seen && Clock::now() < watchUntil) {
    std::this_thread::yield();
  }
  lock.lock();
  wake_.wait_until(lock, deadline,
                   [&] { return closed_ || wakes_.load(std::memory_order_acquire) != seen; });
  --sleepers_;
  sleepersNow_.fetch_sub(1, std::memory_order_relaxed);
  // Back in the queue like anybody else.
  const uint64_t ticket = nextTicket_++;
  if (ticket != serving_) WaitForTurn(lock, ticket);
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  depth_ = 1;
  ++heldHere_;
}

void ClientLock::Wake() {
  std::lock_guard<std::mutex> lock(mu_);
  wakes_.fetch_add(1, std::memory_order_acq_rel);
  if (sleepers_ != 0) wake_.notify_all();
}

void ClientLock::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  wakes_.fetch_add(1, std::memory_order_acq_rel);  // ends a watch before a sleep
  wake_.notify_all();
}

void ClientLock::WaitQuiet() {
  std::unique_lock<std::mutex> lock(mu_);
  quietWanted_ = true;
  turn_.wait(lock, [&] { return nextTicket_ == serving_ && sleepers_ == 0; });
}

}  // namespace kelvo
