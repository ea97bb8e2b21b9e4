// A connection: one attempt and, when it succeeds, the connection, with its
// socket, handshakes, send queue, inbox and deadlines (see engine.h). Its
// state machine is in conn.cpp, its byte paths (sending, reading, draining)
// in conn_stream.cpp.
#ifndef NIMBO2_SRC_CONN_H_
#define NIMBO2_SRC_CONN_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "inbox.h"
#include "loop.h"
#include "net.h"
#include "nimbo2/link_security.h"
#include "nimbo2/msg_worker.h"
#include "resolver.h"
#include "socks5_handshake.h"
#include "tls_session.h"

namespace Nimbo2 {

// One attempt and, when it succeeds, the connection.
class Conn : public std::enable_shared_from_this<Conn> {
 public:
  struct Attempt {
    uint32_t ip;
    uint16_t port;
    bool viaProxy;
    uint32_t proxyIp;
    uint16_t proxyPort;
    // By name (ConnectTo, SetProxyHost): the text given, an IPv6 literal
    // without brackets, and what it is; empty (and `ip`, `proxyIp` used)
    // for an attempt by address.
    // An IPv4 literal is also read into `ip` (`proxyIp`), an IPv6 one into
    // `ip6` (`proxyIp6`).
    std::string host;
    HostKind hostKind = HostKind::kInvalid;
    uint8_t ip6[16];
    std::string proxyHost;
    HostKind proxyHostKind = HostKind::kInvalid;
    uint8_t proxyIp6[16];
    uint32_t timeoutMs;
    uint32_t nextAddressDelayMs;
    net::Health health;
    std::size_t inboxLimit;
    LinkSecurity security;
    uint32_t startDelayMs;  // waited before the socket is opened (0: none)
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
  enum class Phase { kIdle, kWaiting, kResolving, kConnecting, kProxy, kTls, kUp, kClosing, kDone };

  // One of the addresses being tried at once while connecting.
  struct Racer {
    net::Socket fd;
    net::Address to;
  };

  // kStart: the wait the attempt was asked to make first, if any, then
  // Begin.
  void Start();
  void Begin();
  // The resolver's answer is in (kResolved).
  void Resolved();
  // Starts the next address that can be started; fails the attempt when
  // none is left and none is pending.
  void StartNextAddress();
  // Looks at every pending connect: drops those that failed, wins with one
  // that is up. `error`: the poller reported an error on one of them.
  void CheckRacers(bool error);
  void DropRacer(std::size_t i);
  void Win(std::size_t i);
  // The first hop's name when it was given by name (not a literal).
  const std::string* HopName() const;
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
  Clock::time_point waitUntil_{};  // kWaiting: when Begin runs
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
  std::shared_ptr<Resolution> resolution_;
  std::vector<net::Address> candidates_;  // the first hop's addresses, in trying order
  std::size_t nextCandidate_ = 0;
  std::vector<Racer> racers_;             // watched, connect pending
  Clock::time_point nextAddressAt_{};     // the next address starts then (when one is left)
  int lastConnectError_ = 0;
  // The failure is the last address's, after every address of a name failed.
  bool everyAddressFailed_ = false;

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

}  // namespace Nimbo2

#endif  // NIMBO2_SRC_CONN_H_
