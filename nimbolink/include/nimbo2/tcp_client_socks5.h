// TCPClient_Socks5: a TCP client, optionally through a SOCKS5 proxy, that
// frames the inbound byte stream into messages and hands them to its worker
// on the thread of the loop that serves it: a loop of its own (the default)
// or one of the process's shared loops.
#ifndef NIMBO2_TCP_CLIENT_SOCKS5_H_
#define NIMBO2_TCP_CLIENT_SOCKS5_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <netinet/in.h>
#endif

#include "nimbo2/link_security.h"
#include "nimbo2/msg_worker.h"
#include "nimbo2/recorder.h"

namespace Nimbo2 {

// Proxy settings. The first three fields are the ones a caller fills.
struct tagProxyInfo {
  uint32_t address;  // IPv4 address of the SOCKS5 proxy, host byte order
  uint16_t port;     // TCP port of the proxy, host byte order
  uint32_t param;    // opaque caller value: kept with the settings, not used
                     // (no authentication method needs it; it is never sent)
};

// Limits. Named so that tests and documentation can refer to them.
inline constexpr int kMinMessageLength = 4;
inline constexpr int kMaxMessageLength = 0x7FFF;
inline constexpr uint32_t kConnectTimeoutMs = 10000;   // resolving, connect + proxy and TLS handshakes
// An attempt at a name with several addresses (RFC 8305): the next address
// is tried this long after the last one started, or at once when that one
// failed; the first connection up wins.
inline constexpr uint32_t kNextAddressDelayMs = 250;
inline constexpr std::size_t kSendQueueLimitBytes = 4u << 20;  // bytes queued, not yet written
// Bytes a connection's inbox holds before reading stops until the worker
// has taken some (only an InboxWorker that does not take at once can get
// there; the library's own delivery takes every read at once).
inline constexpr std::size_t kDefaultInboxLimitBytes = 1u << 20;
// The least an inbox may be limited to: reading goes on once half the limit
// is free, so the limit holds two of the longest message, or a partial one
// alone could keep reading stopped for good.
inline constexpr std::size_t kMinInboxLimitBytes = 2 * kMaxMessageLength;
// After a close the caller asked for: how long the connection goes on, on
// its own, to flush what was accepted and to wait for the peer's FIN before
// the socket is closed.
inline constexpr uint32_t kLingerMs = 2000;
// Stack of a loop thread. Worker calls (and what a worker runs in them)
// run on it.
inline constexpr std::size_t kLoopStackBytes = 256 * 1024;

// Connection health. The protocol has no heartbeat, so a silent server is
// only ever judged by TCP keep-alive: after kKeepAliveIdleMs without a
// segment from the peer, a probe every kKeepAliveIntervalMs, and the
// connection ends when kKeepAliveProbes go unanswered: 20 + 10 x 3 = 50 s.
// Ten probes is the count Windows uses and does not let every version
// change, so every platform ends a dead idle link at the same moment.
inline constexpr uint32_t kKeepAliveIdleMs = 20000;
inline constexpr uint32_t kKeepAliveIntervalMs = 3000;
inline constexpr uint32_t kKeepAliveProbes = 10;
// Data handed to the system that the peer has not acknowledged for this long
// ends the connection (TCP_USER_TIMEOUT on Linux, TCP_MAXRT on Windows).
// Equal to the keep-alive's whole span: Linux lets this limit replace the
// probe count, and the two must then agree.
inline constexpr uint32_t kUnacknowledgedMs =
    kKeepAliveIdleMs + kKeepAliveIntervalMs * kKeepAliveProbes;
// Bytes wait to be sent and the peer acknowledges none of ours for this
// long (its receive window stays shut: it is alive but not reading): the
// connection ends. Checked once a second while bytes wait (never while the
// connection is idle). A peer that acknowledges anything, however little,
// is live; while our own reading is paused (the inbox is full) the clock
// does not run, since a peer blocked on writing to us may stop reading.
inline constexpr uint32_t kSendStallMs = 30000;

// Per-object replacements of the health limits (0 keeps the default).
// Keep-alive limits are applied in whole seconds where the system counts in
// seconds (at least 1 s).
struct LinkHealthLimits {
  uint32_t keepAliveIdleMs = 0;
  uint32_t keepAliveIntervalMs = 0;
  uint32_t keepAliveProbes = 0;
  uint32_t unacknowledgedMs = 0;  // 0: the keep-alive's whole span, as for the defaults
  uint32_t sendStallMs = 0;
};

// What TuneSocket managed to set on the last connection (bits).
enum LinkTuning : uint32_t {
  kTunedKeepAlive = 1,        // keep-alive on, with our idle time and interval
  kTunedProbeCount = 2,       // our probe count (where the system takes one)
  kTunedUnacknowledged = 4,   // the unacknowledged-data limit
};

// Pins the module that holds this library's code: it stays loaded until the
// process ends, whatever the host unloads. Called when a loop thread will
// go on running after the caller that owns it returns (a client destroyed
// from one of its own worker calls, or one whose closing connection still
// has accepted bytes to flush). Idempotent; any thread.
void KeepModuleLoaded();

struct ClientState;

// What a deliverer takes from the current connection, in order: the report
// of the connection coming up, runs of whole messages, and after the last
// message the report of its end (failed attempt or lost connection) with
// the reason.
struct InboxItem {
  enum Kind { kNothing, kConnected, kMessages, kEnded };
  Kind kind = kNothing;
  uint8_t* data = nullptr;  // kMessages: whole messages back to back, writable
  std::size_t bytes = 0;
  uint32_t state = 0;       // kConnected: kConnected; kEnded: kConnectFailed or kConnectionClosed
  bool hasNote = false;     // kEnded: `note` is still to be told
  LinkNote note{};
  uint64_t epoch = 0;       // the connection it came from
  // KELVO_RECORD is on: the deliverer hands it each message right before
  // delivering it (DoneReport records the reports), so that a recording
  // holds exactly what the worker was handed.
  Recorder* recorder = nullptr;
};

class TCPClient_Socks5 {
 public:
  explicit TCPClient_Socks5(MsgWorker* worker);
  // Closes the connection (what was accepted is still flushed, on the loop,
  // within kLingerMs), stops its own loop thread and joins it (or, when
  // reached on that thread itself, stops it without joining), or leaves
  // the shared loop. No worker call happens after it returns.
  virtual ~TCPClient_Socks5();

  TCPClient_Socks5(const TCPClient_Socks5&) = delete;
  TCPClient_Socks5& operator=(const TCPClient_Socks5&) = delete;

  // Later attempts (Connect and ConnectTo) go through this SOCKS5 proxy
  // (with the credentials of SetLinkSecurity, if any).
  virtual void SetProxyServer(tagProxyInfo& info);
  // Later attempts go through the SOCKS5 proxy at `host`: a DNS name
  // (resolved here when an attempt starts, its addresses tried as ConnectTo
  // tries a server's), or an IPv4 or IPv6 literal (with or without
  // brackets), at `port`. False, with nothing changed, for a malformed host
  // or port 0.
  virtual bool SetProxyHost(const char* host, uint16_t port);
  // Later attempts go direct.
  virtual void CancelProxyServer();
  // Starts an attempt; true when started, false when one is under way or a
  // connection is up (a connection that ended but whose end the worker has
  // not taken yet is replaced: nothing more of it is delivered). The
  // outcome arrives as OnConnectState(1) or (0). False also when the loop's
  // thread cannot be started.
  virtual bool Connect(sockaddr_in address);
  // The attempt the next Connect starts waits `ms` before it opens its
  // socket; the Connect after it starts at once again (a Connect that
  // starts nothing uses the wait up all the same). The wait is the
  // attempt's first phase, a deadline of its loop: no thread sleeps and an
  // idle loop wakes only when it runs out. Until then the attempt is under
  // way like any other (HasConnection, Connect refused), and CloseSocket, a
  // replacing Connect or the destructor end it with nothing delivered. The
  // attempt's time limit (kConnectTimeoutMs) starts when the wait ends.
  void DelayNextConnect(uint32_t ms);
  // Connect by name: `host` is a DNS name (ASCII), a dotted IPv4 address or
  // an IPv6 address (with or without brackets), 1 to 253 bytes. Directly,
  // a name is resolved on a thread of the engine's own and its addresses
  // are tried IPv6 first, the families taking turns, the next one
  // kNextAddressDelayMs after the last or at once when that one failed;
  // the first connection up wins and the others are closed. Through a
  // proxy, a name is handed to the proxy to resolve (SOCKS5's domain-name
  // address; an IPv6 literal as an IPv6 address), and the proxy's own name
  // is resolved here. The attempt's limit covers all of it. With TLS on
  // and no server name set, `host` is the name (an IPv6 literal has none).
  // Otherwise as Connect; false also for a malformed host or port 0.
  virtual bool ConnectTo(const char* host, uint16_t port);
  // Accepts `len` bytes of `msg` for sending, in call order: written to the
  // socket at once when nothing waits before them, queued otherwise. False
  // when not connected, len < 4 or len > 0x7FFF, or the queue would pass
  // kSendQueueLimitBytes. Any thread; never waits for the loop thread.
  // What was accepted reaches the peer before our FIN, also when the
  // connection is closed or the client destroyed right after.
  virtual bool SendMsg(void* context, void* msg, int len);
  // Ends the current connection or attempt; nothing more of it is
  // delivered once this returns (also when it had already ended and its
  // report was waiting). Accepted bytes are flushed and our FIN follows
  // them, on the loop, within kLingerMs. With `notify` true an up
  // connection reports OnConnectState(2). True in every case. Any thread,
  // also from a worker call; never waits.
  virtual bool CloseSocket(bool notify);
  // TLS and proxy credentials for later connections (copied; a connection
  // under way keeps what it started with). Without it, or with `tls`
  // false, the stream goes as the protocol defines it.
  void SetLinkSecurity(const LinkSecurity& security);
  // Registers the worker's delivery companion (null: the library delivers
  // itself). Call it before the first Connect.
  void SetInboxWorker(InboxWorker* inbox);
  // Bytes a connection's inbox may hold before reading stops (0: the
  // default; at least kMinInboxLimitBytes).
  void SetInboxLimit(std::size_t bytes);
  // Registers the worker's note companion (null: none), told why an attempt
  // failed or a connection ended. Same rule as SetInboxWorker.
  void SetLinkNoteWorker(LinkNoteWorker* notes);
  // Puts this client's later connections on the shared loop (true) or on a
  // loop thread of its own (false, the default). Only while no connection
  // exists (none attempted or up, no end waiting to be taken): false
  // otherwise. The loop of the connections that ended is let go (an own
  // loop's thread is stopped and joined, MsgThreadEnd on the way).
  bool UseSharedLoop(bool shared);
  // The shared loop's thread count (0: cores + 1); only while it is not
  // running.
  static bool SetSharedLoopThreads(uint32_t threads);
  static bool SharedLoopRunning();
  // True when called on the thread of the loop that serves this client.
  bool OnMessageThread() const;
  // Idle 0, connecting 1, connected 2.
  virtual int GetConnectState() const;
  // A connection exists: attempted, up, or ended with its end not yet
  // taken by the worker.
  bool HasConnection() const;

  // The deliverer's side, for an InboxWorker: one deliverer at a time (the
  // worker's own lock), any thread. Take returns the next thing of the
  // current connection (false when there is none). For kMessages the
  // deliverer then calls Done with how much of the run it delivered; for a
  // report, DoneReport (or DoneNote when it told only the note so far).
  // The run's bytes stay valid until Done, even if the connection is
  // closed meanwhile. Current says whether the item's connection is still
  // the current one (nothing closed or replaced it since).
  bool Take(InboxItem* item);
  void Done(const InboxItem& item, std::size_t bytes, uint32_t messages);
  void DoneNote(const InboxItem& item);
  void DoneReport(const InboxItem& item);
  bool Current(const InboxItem& item) const;
  // Events waiting in the current connection: messages and reports (a
  // report with its note counts two). Any thread; a hint.
  uint32_t PendingEvents() const;
  // Stops every worker call: none begins after it returns, and a call under
  // way has ended (unless Detach is made from inside it). Any thread.
  void Detach();

  // Replaces kConnectTimeoutMs for later attempts of this object (0 keeps
  // the default). The limit covers resolving, the TCP connect and the proxy
  // and TLS handshakes.
  void SetConnectTimeoutMs(uint32_t ms);
  // Replaces kNextAddressDelayMs for later attempts of this object (0 keeps
  // the default). Tests.
  void SetNextAddressDelayMs(uint32_t ms);
  // Replaces the health limits for later connections of this object.
  void SetLinkHealthLimits(const LinkHealthLimits& limits);
  // LinkTuning bits of the last TCP connection made (0 before any).
  uint32_t LinkTuningApplied() const;

  uint64_t BytesReceived() const;
  uint64_t BytesSent() const;
  uint64_t MessagesReceived() const;

 private:
  std::shared_ptr<ClientState> state_;
};

}  // namespace Nimbo2

#endif  // NIMBO2_TCP_CLIENT_SOCKS5_H_
