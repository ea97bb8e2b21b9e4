// SharedPump: one thread pumps every pump-mode client on the shared loop.
//
// A pump-mode client on the shared loop that gets events (InboxReady, on a
// loop thread) joins the ready list, once; PumpSharedLoop takes clients off
// it in the order they joined and runs each one's events as its own Pump
// would; the client puts itself back at the end when events are left. A host
// that waits in an event loop of its own polls the wait handle, which is
// signalled while the list is not empty.
//
// Lifetime: the pumper takes a client's lock ticket while the list's mutex
// is held, and touches the client only while that ticket keeps it alive: a
// client with events left lists itself again while it still holds its lock.
// A client being destroyed first stops its loop thread's calls (which may
// list it), then leaves the list under that mutex, then waits for every
// thread inside it to leave: so a client is never entered after its
// destruction began.
#ifndef KELVO_CORE_SHARED_PUMP_H_
#define KELVO_CORE_SHARED_PUMP_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace kelvo {

class ImServerClient;

class SharedPump {
 public:
  static SharedPump& Instance();

  // A client chose the shared loop / left it or ended.
  void Join();
  void Leave();
  // `c` has events (a loop thread, or the client itself under its lock).
  void Ready(ImServerClient* c);
  // `c` is ending: never handed to the pumper again.
  void Forget(ImServerClient* c);

  uint32_t Pump(uint32_t maxEvents);
  bool Wait(uint32_t timeoutMs);
  int64_t Handle();

 private:
  SharedPump() = default;
  ~SharedPump() = default;
  void SignalLocked();
  void ResetLocked();

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<ImServerClient*> ready_;
  int members_ = 0;        // clients on the shared loop
  std::atomic<bool> pumping_{false};
  // The wait handle: an eventfd (Linux) or an event (Windows), made on
  // first request, closed when the last client leaves the shared loop.
  int64_t handle_ = -1;
  bool signalled_ = false;
};

}  // namespace kelvo

#endif  // KELVO_CORE_SHARED_PUMP_H_
