// ClientLock: the one lock of a client object and the gate every thread
// passes to be inside it: host calls, deliveries, Pump, the shared pumper
// and threads asleep in WaitForEvents.
//
// What a plain (recursive) mutex does not give:
//   - Re-entrant: a sink callback runs with the lock held and may call any
//     operation of the client on the same thread. Re-entry costs no atomic
//     read-modify-write, so a deliverer can re-enter once per message.
//   - First come, first served: every thread that has to wait takes a ticket
//     and gets the lock in ticket order. A waiting host thread really gets in
//     when the deliverer lets go, and a host calling in a tight loop cannot
//     keep deliveries out either. A ticket may be taken on one thread's
//     behalf before it waits (TakeTicket, then WaitTicket), so that a
//     thread can be counted inside while it is still outside.
//   - Visible contention: Waiters() tells the holder that somebody waits, so
//     the deliverer, which keeps the lock across the messages of a run when
//     nobody else wants it, can hand it over between two messages
//     (YieldToWaiters). Disturbances() counts every thread that began to
//     wait (or woke to take its turn) and every change the holder marked
//     itself (Mark), so that the deliverer tests one word between two
//     messages for both.
//   - Hand-over to a thread that is ready. A waiter first watches for its
//     turn for a short while, awake, then sleeps. The deliverer hands the
//     lock over between two messages to waiters that are awake; when every
//     waiter sleeps it wakes them and goes on with the next message, and
//     hands over once one of them is awake (after 64 more messages or 1 ms
//     at the most). So the deliverer does not sit idle through a sleeping
//     thread's wake-up (on a loaded machine that costs a scheduler slice,
//     and a host thread calling in a loop would otherwise cost two of them
//     per message), while a waiter waits for the message under way when it
//     arrives and, had it gone to sleep, for what is delivered while it
//     wakes up, never more than those 64 messages.
//   - Sleeping inside: a holder may sleep with the lock let go (SleepUntil)
//     and is woken by Wake (an event arrived) or by Close (the object is
//     ending); it then queues for the lock again like anybody else. Like a
//     ticket, it watches for a short while before it really sleeps.
//   - Quiescence: after Close, WaitQuiet returns once no thread holds, waits
//     for or sleeps on the lock, so the object can be freed.
#ifndef KELVO_CORE_CLIENT_LOCK_H_
#define KELVO_CORE_CLIENT_LOCK_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace kelvo {

class ClientLock {
 public:
  using Clock = std::chrono::steady_clock;

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
    WaitTicket(TakeTicket());
  }

  // Leaves one level; the last one hands the lock to the next ticket.
  void Unlock() {
    if (--depth_ > 0) return;
    UnlockSlow();
  }

  // A place in the queue, for the thread that will call WaitTicket with it.
  uint64_t TakeTicket();
  // Waits for `ticket`'s turn and takes the lock at depth 1.
  void WaitTicket(uint64_t ticket);

  // Levels held by the calling thread, which must hold the lock.
  int Depth() const { return depth_; }

  // Threads waiting for the lock right now. Any thread; a hint that may be
  // stale by the time it is read.
  int Waiters() const { return waiting_.load(std::memory_order_relaxed); }

  // Threads that began to wait or woke to take their turn, plus the
  // holder's Marks, so far. Any thread; the holder reads it before a series
  // of steps and again between two: unchanged, no waiter came or woke and
  // nothing was marked. A waiter
  // counts itself here after it counts in Waiters(), so a Waiters() read
  // after this one sees every waiter this one counted: the holder reads
  // both before a series, as a waiter already counted would not move the
  // count again.
  uint32_t Disturbances() const { return disturbances_.load(std::memory_order_acquire); }
  // The holder: a change a series of steps under way must notice.
  void Mark() { disturbances_.fetch_add(1, std::memory_order_relaxed); }

  // Called by the holder at depth 1 between two steps when Waiters() > 0.
  // When a waiter is awake (or the waiters were woken a while ago and are
  // still not), lets everybody who queued before this call in, takes the
  // lock back and returns true. Otherwise wakes the waiters and returns
  // false: the holder goes on with its next step and calls again after it.
  bool YieldToWaiters();

  // True when the calling thread holds the lock.
  bool HeldByMe() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }
  // Client locks the calling thread holds, over every client object.
  static int HeldByThisThread() { return heldHere_; }

  // Wake-ups so far; read before looking for events, passed to SleepUntil.
  uint64_t Wakes() const { return wakes_.load(std::memory_order_acquire); }
  // The holder, at depth 1: lets the lock go and sleeps until a Wake after
  // `seen`, the deadline or Close, then takes the lock again.
  void SleepUntil(uint64_t seen, Clock::time_point deadline);
  // Any thread, no lock needed: wakes the sleepers.
  void Wake();
  // Threads asleep in SleepUntil right now (tests).
  int Sleepers() const { return sleepersNow_.load(std::memory_order_relaxed); }

  // The object is ending: every sleeper wakes and none sleeps again. Any
  // thread.
  void Close();
  // After Close, by a thread that does not hold the lock: returns once no
  // thread holds it, waits for it or sleeps on it.
  void WaitQuiet();

 private:
  void UnlockSlow();
  // Under `lock` (mu_), `ticket` not yet served: waits for its turn, awake
  // for a while, then asleep until the turn comes or the holder wakes the
  // waiters to hand over.
  void WaitForTurn(std::unique_lock<std::mutex>& lock, uint64_t ticket);

  std::mutex mu_;
  std::condition_variable turn_;   // tickets, and WaitQuiet
  std::condition_variable wake_;   // sleepers
  uint64_t nextTicket_ = 0;        // under mu_
  uint64_t serving_ = 0;           // under mu_: the ticket that may hold the lock
  int sleepers_ = 0;               // under mu_
  bool closed_ = false;            // under mu_
  bool quietWanted_ = false;       // under mu_: a WaitQuiet is waiting
  uint64_t calls_ = 0;             // under mu_: the holder's wake-up calls to sleeping waiters
  Clock::time_point calledAt_{};   // under mu_: the first since the lock last changed hands
  int calledSteps_ = 0;            // under mu_: the holder's steps since then
  // serving_, readable without mu_: a waiter watches it for a short while
  // before it sleeps, since a hand-over between two messages usually comes
  // sooner than a sleeping thread can be woken.
  std::atomic<uint64_t> servingNow_{0};
  std::atomic<uint64_t> wakes_{0};
  std::atomic<int> sleepersNow_{0};
  std::atomic<std::thread::id> owner_{};
  std::atomic<int> waiting_{0};
  std::atomic<int> awake_{0};  // waiters watching for their turn right now
  std::atomic<uint32_t> disturbances_{0};
  int depth_ = 0;  // the holder's levels
  static thread_local int heldHere_;
};

}  // namespace kelvo

#endif  // KELVO_CORE_CLIENT_LOCK_H_
