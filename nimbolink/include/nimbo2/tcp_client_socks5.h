// TCPClient_Socks5: a TCP client, optionally through a SOCKS5 proxy, that
// frames the inbound byte stream into messages and hands each to its worker
// on a message thread of its own.
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

#include "nimbo2/msg_worker.h"

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
inline constexpr uint32_t kConnectTimeoutMs = 10000;   // connect + proxy handshake
inline constexpr std::size_t kSendQueueLimitBytes = 4u << 20;  // bytes queued, not yet written

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
// Bytes wait to be sent and the peer takes none of them for this long (its
// receive window stays shut: it is alive but not reading): the connection
// ends. Checked on the message thread's one-second tick.
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
// process ends, whatever the host unloads. Called when a message thread will
// go on running after the caller that owns it returns (a client destroyed
// from one of its own worker calls). Idempotent; any thread.
void KeepModuleLoaded();

class TCPClient_Socks5 {
 public:
  explicit TCPClient_Socks5(MsgWorker* worker);
  // Closes the connection, stops and joins the message thread (or, when
  // reached on the message thread itself, stops it without joining). No
  // worker call happens after it returns.
  virtual ~TCPClient_Socks5();

  TCPClient_Socks5(const TCPClient_Socks5&) = delete;
  TCPClient_Socks5& operator=(const TCPClient_Socks5&) = delete;

  // Later Connect calls go through this SOCKS5 proxy (no authentication).
  virtual void SetProxyServer(tagProxyInfo& info);
  // Later Connect calls go direct.
  virtual void CancelProxyServer();
  // Starts an attempt; true when started, false when one is under way or a
  // connection is up. The outcome arrives as OnConnectState(1) or (0).
  virtual bool Connect(sockaddr_in address);
  // Copies `len` bytes of `msg` and queues them for sending in call order.
  // False when not connected, len < 4 or len > 0x7FFF, or the queue would
  // pass kSendQueueLimitBytes. Any thread; never waits on the message thread.
  virtual bool SendMsg(void* context, void* msg, int len);
  // Closes the connection (or abandons an attempt). With `notify` true an up
  // connection reports OnConnectState(2); with false nothing is reported.
  // True in every case. Any thread, also the message thread; never waits.
  virtual bool CloseSocket(bool notify);
  // Flow control for a worker that queues what it is handed (and so cannot
  // take it as fast as it comes). After PauseReading the read being
  // delivered finishes and no further read is started, on this connection
  // or a later one, until ResumeReading: the peer's writes back up through
  // TCP flow control and nothing is lost. Any thread, also from a worker
  // call; neither waits. A close or a dead peer goes unnoticed while paused.
  void PauseReading();
  void ResumeReading();
  // Registers the worker's batch companion (null: none). Call it before the
  // first Connect; it is read on the message thread without a lock.
  void SetBatchWorker(BatchWorker* batch);
  // Registers the worker's note companion (null: none), told why an attempt
  // failed or a connection ended. Same rule as SetBatchWorker.
  void SetLinkNoteWorker(LinkNoteWorker* notes);
  // True when called on this client's message thread (from a worker call).
  bool OnMessageThread() const;
  // Idle 0, connecting 1, connected 2.
  virtual int GetConnectState() const;

  // Replaces kConnectTimeoutMs for later attempts of this object (0 keeps
  // the default). The limit covers the TCP connect and the proxy handshake.
  void SetConnectTimeoutMs(uint32_t ms);
  // Replaces the health limits for later connections of this object.
  void SetLinkHealthLimits(const LinkHealthLimits& limits);
  // LinkTuning bits of the last TCP connection made (0 before any).
  uint32_t LinkTuningApplied() const;

  uint64_t BytesReceived() const;
  uint64_t BytesSent() const;
  uint64_t MessagesReceived() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace Nimbo2

#endif  // NIMBO2_TCP_CLIENT_SOCKS5_H_
