// The connection engine behind TCPClient_Socks5.
//
// A Loop is a thread with a poller, a wake-up channel and the deadlines of
// its connections. A client on a thread of its own has a loop of its own; a
// client on the shared loop gets one of the shared group's loops. Either way
// the client's connection (Conn) lives on that loop: the loop thread reads,
// frames, runs the handshakes and the deadlines; host threads write to the
// socket directly when nothing waits to be sent, and otherwise hand work to
// the loop with Post.
//
// Rules:
//   1. A Conn's socket, poller interest and deadline belong to its loop
//      thread. The socket descriptor is closed only under the Conn's mutex,
//      where host threads also write to it, so a write never reaches a
//      descriptor that was closed (and perhaps reused).
//   2. Everything a host thread and the loop thread share about a Conn (the
//      send queue, the inbox, the reports, the state) is under the Conn's
//      mutex, which is never held across a worker call or a blocking wait.
//   3. The client (ClientState) names its current Conn; only the current
//      Conn's events reach the worker, and a Conn that stops being current
//      (CloseSocket, Connect, destruction) is never heard of again. It goes
//      on alone: it flushes what was accepted, sends our FIN, reads until
//      the peer's FIN or kLingerMs, and closes.
//   4. The loop calls the worker only through ClientState::Notify, outside
//      every lock of ours, counted as a call under way; Detach waits for
//      such a call to end (unless it is made from inside it) and stops new
//      ones.
#ifndef NIMBO2_SRC_ENGINE_H_
#define NIMBO2_SRC_ENGINE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "inbox.h"
#include "net.h"
#include "nimbo2/link_security.h"
#include "nimbo2/msg_worker.h"
#include "nimbo2/recorder.h"
#include "nimbo2/tcp_client_socks5.h"
#include "poller.h"
#include "socks5_handshake.h"
#include "tls_session.h"

namespace Nimbo2 {

using Clock = std::chrono::steady_clock;

class Conn;
struct ClientState;

// ---------------------------------------------------------------------------

class Loop : public std::enable_shared_from_this<Loop> {
 public:
  // Work a host thread hands to the loop, per connection.
  enum Op : uint32_t {
    kStart = 1,      // open the socket and connect
    kWantWrite = 2,  // bytes wait in the send queue
    kResume = 4,     // the inbox has room again
    kClose = 8,      // the connection is no longer current: finish it
    kNotifyClosed = 16,  // tell the worker of the close CloseSocket(true) asked for
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

// The shared loops of the process.
class LoopGroup {
 public:
  static LoopGroup& Shared();
  // 1 to 64, or 0 for cores + 1; only while no loop runs.
  bool SetThreads(uint32_t threads);
  bool Running();
  // A loop for one more client: the least busy one; starts the group when
  // it is not running. Null with *error when its threads cannot start.
  std::shared_ptr<Loop> Acquire(int* error);
  // The client placed on `loop` is gone; the last one stops the group.
  void Release(const std::shared_ptr<Loop>& loop);

 private:
  std::mutex mu_;
  uint32_t threads_ = 0;
  int users_ = 0;
  std::vector<std::shared_ptr<Loop>> loops_;
};

// ---------------------------------------------------------------------------

// One attempt and, when it succeeds, the connection.
class Conn : public std::enable_shared_from_this<Conn> {
 public:
  struct Attempt {
    uint32_t ip;
    uint16_t port;
    bool viaProxy;
    uint32_t proxyIp;
    uint16_t proxyPort;
    uint32_t timeoutMs;
    net::Health health;
    std::size_t inboxLimit;
    LinkSecurity security;
  };

  Conn(std::shared_ptr<ClientState> owner, std::shared_ptr<Loop> loop, uint64_t epoch,
       const Attempt& attempt);
  ~Conn();

  uint64_t epoch() const { return epoch_; }
  Loop& loop() { return *loop_; }

  // --- Any thread. ---
  // Accepts `n` bytes for sending, in call order: written to the socket at
  // once when nothing waits before them, queued otherwise. False when the
  // connection is not up or the queue would pass kSendQueueLimitBytes.
  bool Send(const uint8_t* data, std::size_t n);
  // The connection is no longer current: flush what was accepted, then our
  // FIN, on the calling thread as far as the socket takes it at once; the
  // loop does the rest.
  void Close();

  // --- The deliverer (the worker's lock), under mu(). ---
  std::mutex& mu() { return mu_; }
  struct Report {
    uint32_t state;
    bool hasNote;
    LinkNote note;
  };
  // What comes next: the report of the connection coming up, a run of
  // messages, or the report of its end after the last message.
  enum class Next { kNothing, kConnected, kMessages, kEnded };
  Next PeekLocked(uint8_t** data, std::size_t* bytes, Report* report);
  // True when reading had stopped and may go on again (the caller posts
  // kResume).
  bool ConsumeLocked(std::size_t bytes, uint32_t messages);
  void ConnectedDeliveredLocked() { connectedReport_ = false; }
  // Events waiting: messages and reports (a report with its note counts two).
  uint32_t PendingLocked() const;
  void EndDeliveredLocked() { endReport_ = false; }
  void SetNoteDeliveredLocked() { noteDelivered_ = true; }
  // Idle 0 (ended or closed), connecting 1, up 2.
  int StateLocked() const;
  bool EndedLocked() const { return ended_; }

  // --- Loop thread. ---
  void OnOps(uint32_t ops);
  void OnReady(uint32_t ready);
  void OnDeadline();
  // The loop is stopping: close now unless accepted bytes wait. True when
  // the connection stays to flush them.
  bool OnStopping();

 private:
  enum class Phase { kIdle, kConnecting, kProxy, kTls, kUp, kClosing, kDone };

  void Begin();
  void Connected();
  void StartTlsOrEstablish();
  void TlsHandshake();
  void Established();
  void ProxyStep();
  void ReadSome(bool errorSeen, bool faultSeen);
  // The socket's pending error, or the one a send took from it first.
  int SocketError();
  void ReadTls();
  // TLS: moves decrypted bytes into the inbox as far as it has room, tells
  // the worker of new messages, sends what the session wrote while reading,
  // and ends the connection once the session ended (failed or closed) and
  // everything before that end is in the inbox. False when the connection
  // ended or is closing.
  bool DrainPlain();
  void Drain();
  void Flush();
  void Tick();
  void Fail(LinkReason reason, uint32_t value = 0, const std::string& detail = std::string());
  void FailIo(int error);
  void Lost(LinkReason reason, uint32_t value = 0, const std::string& detail = std::string());
  void LostIo(int error);
  void Finish();
  void Rearm();
  uint32_t WantedInterest();
  void SetInterest();
  LinkNote Note(uint32_t state, LinkReason reason, uint32_t value, const std::string& detail) const;
  // Under mu_: writes what waits, as far as the socket takes it. False on a
  // socket error (in *error).
  bool WriteQueuedLocked(int* error);
  // Under mu_: `n` bytes to send after everything accepted before them:
  // straight to the socket when nothing waits, the rest queued. True when
  // the queue went from empty to not empty (the caller posts kWantWrite).
  bool SendOrQueueLocked(const uint8_t* data, std::size_t n);
  // Under mu_, TLS: what the session has to send, after the rest.
  bool SendCipherLocked();

  const std::shared_ptr<ClientState> owner_;
  const std::shared_ptr<Loop> loop_;
  const uint64_t epoch_;
  const Attempt attempt_;

  friend class Loop;
  std::atomic<uint32_t> ops_{0};  // Loop::Op bits posted, not yet run

  // Loop thread.
  Phase phase_ = Phase::kIdle;
  bool watched_ = false;
  uint32_t interest_ = 0;
  bool timerSet_ = false;
  std::multimap<Clock::time_point, Conn*>::iterator timer_;
  Clock::time_point started_;
  Clock::time_point connectCheckAt_{};  // the next look at a pending connect's outcome
  Clock::time_point deadline_{};
  Clock::time_point lingerUntil_{};
  Clock::time_point tickAt_{};
  // Send progress, for the stall watchdog.
  Clock::time_point progressAt_{};
  uint64_t ackedAtTick_ = 0;
  std::size_t queuedAtTick_ = 0;
  uint64_t received_ = 0;
  uint64_t receivedAtTick_ = 0;
  std::unique_ptr<Socks5Handshake> socks_;

  // Under mu_.
  std::mutex mu_;
  net::Socket fd_ = net::kNoSocket;
  bool up_ = false;          // sends are accepted
  bool closing_ = false;     // no longer current
  bool shutDown_ = false;    // our FIN went out
  bool paused_ = false;      // the inbox is full: not reading
  std::unique_ptr<TlsSession> tls_;  // TLS on: every byte of the stream goes through it
  std::vector<uint8_t> cipherOut_;   // TLS: what the session hands out to send
  std::vector<uint8_t> sendQueue_;  // accepted, not yet taken by the system
  std::size_t sendOffset_ = 0;
  uint64_t handedToSystem_ = 0;     // bytes the system took from us
  int sendError_ = 0;               // the first hard error a send met (any thread)
  Inbox inbox_;
  bool connectedReport_ = false;
  bool ended_ = false;
  bool endReport_ = false;
  bool noteDelivered_ = false;
  bool hasNote_ = false;
  LinkNote note_{};
  uint32_t endState_ = 0;
};

// ---------------------------------------------------------------------------

// A socket client's state, shared with its connections and its loop so that
// a connection can finish after the client object is gone.
struct ClientState : std::enable_shared_from_this<ClientState> {
  explicit ClientState(MsgWorker* w) : worker(w) {}

  // A connection has something new for the worker (loop thread, no lock of
  // ours held); `c` null: the close CloseSocket(true) asked for. Delivers
  // it, or tells the inbox worker.
  void Notify(Conn* c);
  // The library's own delivery, for a worker without an InboxWorker: every
  // message to HandleMessage, every report to OnLinkNote and OnConnectState.
  void DeliverHere(MsgWorker* w, LinkNoteWorker* n);
  // The deliverer's side (see TCPClient_Socks5::Take).
  bool Take(InboxItem* item);
  void Done(const InboxItem& item, std::size_t bytes, uint32_t messages);
  void DoneNote(const InboxItem& item);
  void DoneReport(const InboxItem& item);
  bool Current(const InboxItem& item) const;
  uint32_t PendingEvents();
  bool Attached();
  // Loop thread: the owner's MsgThreadBegin/End (own loops only).
  void ThreadBegins();
  void ThreadEnds();

  std::mutex mu;
  std::condition_variable callEnded;
  MsgWorker* worker;                  // null once detached
  InboxWorker* inboxWorker = nullptr;
  LinkNoteWorker* notes = nullptr;
  bool calling = false;               // a worker call is under way
  std::thread::id callingThread;
  bool forgetWorker = false;          // destroyed from its own call: no MsgThreadEnd
  std::atomic<bool> stopped{false};

  bool haveProxy = false;
  tagProxyInfo proxy{};
  uint32_t timeoutMs = kConnectTimeoutMs;
  LinkHealthLimits limits{};
  std::size_t inboxLimit = kDefaultInboxLimitBytes;
  LinkSecurity security;
  bool shared = false;

  std::shared_ptr<Loop> loop;   // made by the first Connect
  bool loopShared = false;
  std::shared_ptr<Conn> current;
  bool requestedClose = false;  // CloseSocket(true): a report is owed
  // The epoch of that report's item (real epochs start at 1).
  static constexpr uint64_t kRequestedEpoch = 0;
  std::atomic<uint64_t> currentEpoch{0};
  uint64_t epochs = 0;
  // The connection a deliverer is taking a run from (keeps its bytes
  // alive). The deliverer's own.
  std::shared_ptr<Conn> delivering;

  std::atomic<uint64_t> bytesIn{0}, bytesOut{0}, messagesIn{0};
  std::atomic<uint32_t> tuning{0};
  const std::unique_ptr<Recorder> recorder = Recorder::FromEnvironment();
};

}  // namespace Nimbo2

#endif  // NIMBO2_SRC_ENGINE_H_
