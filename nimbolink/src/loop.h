// A loop: a thread with a poller, a wake-up channel and the deadlines of the
// connections it serves (see engine.h for how the pieces meet).
#ifndef NIMBO2_SRC_LOOP_H_
#define NIMBO2_SRC_LOOP_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net.h"
#include "nimbo2/framer.h"
#include "poller.h"

namespace Nimbo2 {

using Clock = std::chrono::steady_clock;

class Conn;
struct ClientState;

class Loop : public std::enable_shared_from_this<Loop> {
 public:
  // Work a host thread hands to the loop, per connection.
  enum Op : uint32_t {
    kStart = 1,      // open the socket and connect
    kWantWrite = 2,  // bytes wait in the send queue
    kResume = 4,     // the inbox has room again
    kClose = 8,      // the connection is no longer current: finish it
    kNotifyClosed = 16,  // tell the worker of the close CloseSocket(true) asked for
    kResolved = 32,  // the resolver's answer is in
  };

  // A loop and its wake-up channel (not yet its thread). `many`: a shared
  // loop (epoll where there is one). Null with *error on failure.
  static std::shared_ptr<Loop> Make(bool many, int* error);
  ~Loop();

  // Starts the thread; `owner` (own loops only) is told MsgThreadBegin and
  // MsgThreadEnd there. False with *error when the system refuses.
  bool Start(const char* name, std::shared_ptr<ClientState> owner, int* error);
  bool Started() const { return started_; }

  // Any thread: queue `ops` for `c` and wake the loop.
  void Post(const std::shared_ptr<Conn>& c, uint32_t ops);
  // Any thread: ends the loop. Connections with nothing left to send close
  // at once; one that still has accepted bytes to flush keeps the thread
  // going until it is done (at most kLingerMs), and the module is then kept
  // loaded. Joins the thread otherwise (not when called on it).
  void Stop();
  bool OnThread() const { return threadId_.load(std::memory_order_acquire) == std::this_thread::get_id(); }

  // Loop thread only.
  bool Watch(Conn* c, net::Socket s, uint32_t interest, int* error);
  void Interest(Conn* c, net::Socket s, uint32_t interest);
  void Unwatch(Conn* c, net::Socket s);
  void Deadline(Conn* c, Clock::time_point at);

  // Loop thread: a scratch buffer of kScratchBytes for bytes that pass
  // through on their way elsewhere (ciphertext before decryption, what a
  // closing connection reads and drops); made on first use, so a loop
  // that never needs it pays nothing. Null when memory ran out.
  static constexpr std::size_t kScratchBytes = Framer::kReadChunk;
  uint8_t* Scratch();

  // Clients placed on this loop (the shared group balances by it).
  std::atomic<int> clients{0};

 private:
  Loop() = default;
  void Run(std::shared_ptr<ClientState> owner);
  void RunPosted();
  void RunDue();
  int TimeoutMs() const;

  std::unique_ptr<Poller> poller_;
  net::Waker waker_;
  net::Thread thread_;
  bool started_ = false;
  std::atomic<std::thread::id> threadId_{};

  std::mutex mu_;
  std::condition_variable stateCv_;
  std::vector<std::shared_ptr<Conn>> posted_;  // under mu_
  bool stopping_ = false;                       // under mu_
  bool ended_ = false;                          // under mu_: the thread left its loop
  bool lingering_ = false;                      // under mu_: it stays for a flush

  // Loop thread.
  std::vector<std::shared_ptr<Conn>> watched_;
  std::vector<std::shared_ptr<Conn>> running_;  // posted, being run
  std::vector<std::shared_ptr<Conn>> retired_;  // unwatched this turn
  std::unique_ptr<uint8_t[]> scratch_;
  // Each connection's one deadline; a connection with nothing due has none,
  // so an idle loop sleeps until something happens.
  std::multimap<Clock::time_point, Conn*> timers_;
  bool stopSeen_ = false;
};

}  // namespace Nimbo2

#endif  // NIMBO2_SRC_LOOP_H_
