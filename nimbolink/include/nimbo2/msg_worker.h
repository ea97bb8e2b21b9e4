// MsgWorker: what the socket client calls. Every call runs on the thread of
// the loop that serves the client (its own, or one of the shared loop's),
// one at a time. An exception that escapes a worker call is caught by the
// library, which carries on as if the call had returned (reading goes on).
// The slots, in order:
#ifndef NIMBO2_MSG_WORKER_H_
#define NIMBO2_MSG_WORKER_H_

#include <cstddef>
#include <cstdint>

namespace Nimbo2 {

// Connection states handed to OnConnectState.
enum ConnectState : uint32_t {
  kConnectFailed = 0,     // refused, unreachable, proxy failure or timeout
  kConnected = 1,         // the connection (and proxy handshake) is up
  kConnectionClosed = 2,  // an up connection ended: peer close, reset, I/O or framing error,
                          // keep-alive or unacknowledged-data timeout, send stall
};

class MsgWorker {
 public:
  // Slot 0. One whole inbound message: `message` holds exactly L bytes
  // (L = u16 at offset 0 & 0x7FFF), readable and writable, valid during the
  // call. `length` is L; `context` and `reserved` are 0. The result is not
  // interpreted by the library.
  virtual uint32_t HandleMessage(void* message, uint32_t length, uint32_t context,
                                 uint32_t reserved) = 0;
  // Slot 1. Kept for its place in the table; this library never calls it
  // (an idle connection wakes nothing).
  virtual void OnTick(uint32_t tickMs) = 0;
  // Slot 2. A ConnectState value.
  virtual void OnConnectState(uint32_t state) = 0;
  // Slots 3 and 4. First and last call on a loop thread of the client's own
  // (not on the shared loop). MsgThreadEnd is not called when the client
  // is destroyed from one of its own worker calls.
  virtual void MsgThreadBegin() {}
  virtual void MsgThreadEnd() {}

 protected:
  ~MsgWorker() = default;
};

// Optional companion of a MsgWorker that delivers on its own terms: under
// its own lock, on the loop thread or on a thread of the host's (pump mode).
// Registered with TCPClient_Socks5::SetInboxWorker, it replaces the
// library's own delivery: HandleMessage, OnLinkNote and OnConnectState are
// no longer called. Instead the library calls InboxReady on the loop thread
// whenever the current connection has something new (messages, or a report
// of the connection coming up or ending), and the worker takes it with
// TCPClient_Socks5::Take and Done, one deliverer at a time.
//
// InboxReady runs outside every lock of the library; it may call any
// operation of the socket client, deliver at once, or just wake the thread
// that will. TCPClient_Socks5::Detach waits for a call under way.
class InboxWorker {
 public:
  virtual void InboxReady() = 0;

 protected:
  ~InboxWorker() = default;
};

// Why an attempt failed or an up connection ended, as the library saw it.
enum class LinkReason : uint32_t {
  kRefused = 1,        // the server (or the proxy) refused the TCP connection
  kTimedOut,           // value: the attempt's limit in ms (connect + proxy handshake)
  kUnreachable,        // no route to the network or the host
  kResetByPeer,        // the peer reset the connection
  kClosedByPeer,       // the peer closed its end (FIN)
  kKeepAliveTimeout,   // value: keep-alive probes sent, none answered
  kUnacknowledged,     // value: ms that sent data stayed unacknowledged
  kSendStall,          // value: ms without the peer taking any queued byte
  kProxyMethodRefused, // value: the method byte the proxy answered (0xFF: none acceptable)
  kProxyFailureReply,  // value: the REP code of the proxy's CONNECT reply (RFC 1928)
  kProxyClosed,        // the proxy closed (or reset) the connection during the handshake
  kProxyBadReply,      // value: the offending byte (version or address type)
  kFramingError,       // a message announced a length below its 4-byte header
  kOutOfMemory,
  kOtherError,         // value: the system's error code
  kNoDescriptors,      // value: the system's error code (out of file descriptors)
  kProxyAuthRefused,   // value: the status byte of the proxy's username/password reply (RFC 1929)
  kTls,                // the TLS layer's own line in LinkNote::detail (set-up, handshake,
                       // certificate verification, or the connection's failure)
  kUnresolved,         // a name did not resolve: the resolver's reason in LinkNote::detail,
                       // the name in host (or proxyHost when `aboutProxy`)
};

// Longest host text a note carries (a DNS name's longest text form, and
// room for an IPv6 literal), without its terminating zero.
inline constexpr std::size_t kNoteHostMax = 253;

// One reason with the addresses it concerns. Addresses and ports are in host
// byte order; the proxy fields are set only when the attempt went through one.
// An attempt by name (ConnectTo, SetProxyHost) names its server (and proxy)
// by the text it was given, in host (and proxyHost): a DNS name or a
// literal, an IPv6 one without brackets; `address` (`proxyAddress`) is 0
// then. An attempt by address (Connect, SetProxyServer) leaves them empty.
struct LinkNote {
  uint32_t state;  // the ConnectState reported right after: failed or closed
  LinkReason reason;
  uint32_t value;  // see LinkReason; 0 where it names none
  uint32_t address;
  uint16_t port;
  bool viaProxy;
  uint32_t proxyAddress;
  uint16_t proxyPort;
  // kTls: "certificate verify failed: ...", "TLS handshake failed: ..."
  // and the like; kUnresolved: the resolver's reason. Zero-terminated (cut
  // to fit).
  char detail[160];
  char host[kNoteHostMax + 1];
  char proxyHost[kNoteHostMax + 1];
  // The reason is the one the last address of a name gave after every
  // address of it failed: host's, or proxyHost's when `aboutProxy`.
  bool everyAddressFailed;
  // kUnresolved or everyAddressFailed: the name is the proxy's.
  bool aboutProxy;
};

// Optional companion of a MsgWorker, registered with
// TCPClient_Socks5::SetLinkNoteWorker: told why a connection attempt failed
// or an up connection ended, right before the OnConnectState it explains
// and under the same currency check: a note of an attempt that the worker
// closed or replaced is dropped together with its report. Not called for a
// close the caller asked for (CloseSocket). (An InboxWorker takes the note
// with the report instead.)
class LinkNoteWorker {
 public:
  virtual void OnLinkNote(const LinkNote& note) = 0;

 protected:
  ~LinkNoteWorker() = default;
};

}  // namespace Nimbo2

#endif  // NIMBO2_MSG_WORKER_H_
