// ClientLock: the one lock of a client object, shared by the host's threads
// and the network thread that delivers.
//
// Three properties that a plain (recursive) mutex does not give:
//   - Re-entrant: a sink callback runs with the lock held and may call any
//     operation of the client on the same thread. Re-entry costs no atomic
//     read-modify-write, so the delivery thread can re-enter once per message.
//   - First come, first served: every thread that has to wait takes a ticket
//     and gets the lock in ticket order. A waiting host thread really gets in
//     when the delivery thread lets go, and a host calling in a tight loop
//     cannot keep deliveries out either.
//   - Visible contention: Waiters() tells the holder that somebody waits, so
//     the delivery thread, which keeps the lock across the messages of one
//     read when nobody else wants it, can hand it over between two messages
//     (LetWaitersIn).
#ifndef KELVO_CORE_CLIENT_LOCK_H_
#define KELVO_CORE_CLIENT_LOCK_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace kelvo {

class ClientLock {
 public:
  ClientLock() = default;
  ClientLock(const ClientLock&) = delete;
  ClientLock& operator=(const ClientLock&) = delete;

  // Takes the lock, or enters it once more on the thread that holds it.
  void Lock() {
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      // Only this thread can have stored its own id, so the relaxed load is
      // exact here; depth_ belongs to the holder alone.
      ++depth_;
      return;
    }
    LockSlow();
  }

  // Leaves one level; the last one hands the lock to the next ticket.
  void Unlock() {
    if (--depth_ > 0) return;
    UnlockSlow();
  }

  // Levels held by the calling thread, which must hold the lock.
  int Depth() const { return depth_; }

  // Threads waiting for the lock right now. Any thread; a hint that may be
  // stale by the time it is read.
  int Waiters() const { return waiting_.load(std::memory_order_relaxed); }

  // Called by the holder at depth 1 when Waiters() > 0: lets everybody who
  // queued before this call in, then takes the lock back.
  void LetWaitersIn() {
    UnlockSlow();
    LockSlow();
  }

  // True when the calling thread holds the lock.
  bool HeldByMe() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  void LockSlow();
  void UnlockSlow();

  std::mutex mu_;
  std::condition_variable turn_;
  uint64_t nextTicket_ = 0;  // under mu_
  uint64_t serving_ = 0;     // under mu_: the ticket that may hold the lock
  // serving_, readable without mu_: a waiter watches it for a short while
  // before it sleeps, since a hand-over between two messages usually comes
  // sooner than a sleeping thread can be woken.
  std::atomic<uint64_t> servingNow_{0};
  std::atomic<std::thread::id> owner_{};
  std::atomic<int> waiting_{0};
  int depth_ = 0;  // the holder's levels
};

}  // namespace kelvo

#endif  // KELVO_CORE_CLIENT_LOCK_H_
