// MsgWorker: what the socket client calls. Every call runs on the socket
// client's own message thread, one at a time. An exception that escapes a
// worker call is caught by the library, which carries on as if the call had
// returned (reading goes on). The slots, in order:
#ifndef NIMBO2_MSG_WORKER_H_
#define NIMBO2_MSG_WORKER_H_

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
  // Slot 1. Called about once a second while connected with a millisecond
  // tick count of a monotonic clock.
  virtual void OnTick(uint32_t tickMs) = 0;
  // Slot 2. A ConnectState value.
  virtual void OnConnectState(uint32_t state) = 0;
  // Slots 3 and 4. First and last call on the message thread.
  virtual void MsgThreadBegin() {}
  virtual void MsgThreadEnd() {}

 protected:
  ~MsgWorker() = default;
};

// Optional companion of a MsgWorker: the worker's lock, as the delivery loop
// sees it. A worker that registers one with TCPClient_Socks5::SetBatchWorker
// is told, on the message thread, when a run of deliveries begins and ends:
// the messages of one read, or one connection-state report. It takes its own
// lock in BeginMessages and leaves it in EndMessages, so a read costs one
// lock, not one per message.
//
// Between two messages of a run the library calls BetweenMessages, where the
// worker may hand its lock to a thread that waits for it and take it back.
// After BeginMessages and after every BetweenMessages, with the worker's lock
// held, the library checks that the connection is still the current one
// (no CloseSocket, Connect or destruction since the bytes were read) and
// delivers nothing otherwise. A worker that closes the connection under its
// lock therefore hears nothing more of it once the lock is released.
//
// EndMessages follows every BeginMessages, also when the worker closed the
// connection in between or a worker call threw. A worker must not destroy
// the socket client between the two calls (it may in EndMessages).
class BatchWorker {
 public:
  virtual void BeginMessages() = 0;
  virtual void EndMessages() = 0;
  virtual void BetweenMessages() {}

 protected:
  ~BatchWorker() = default;
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
  kProxyAuthRefused,   // value: the status byte of the proxy's username/password reply (RFC 1929)
};

// One reason with the addresses it concerns. Addresses and ports are in host
// byte order; the proxy fields are set only when the attempt went through one.
struct LinkNote {
  uint32_t state;  // the ConnectState reported right after: failed or closed
  LinkReason reason;
  uint32_t value;  // see LinkReason; 0 where it names none
  uint32_t address;
  uint16_t port;
  bool viaProxy;
  uint32_t proxyAddress;
  uint16_t proxyPort;
};

// Optional companion of a MsgWorker, registered with
// TCPClient_Socks5::SetLinkNoteWorker: told why a connection attempt failed
// or an up connection ended. It is called on the message thread inside the
// same batch and currency check as the OnConnectState it explains, right
// before it: a note of an attempt that the worker closed or replaced is
// dropped together with its report. Not called for a close the caller asked
// for (CloseSocket).
class LinkNoteWorker {
 public:
  virtual void OnLinkNote(const LinkNote& note) = 0;

 protected:
  ~LinkNoteWorker() = default;
};

}  // namespace Nimbo2

#endif  // NIMBO2_MSG_WORKER_H_
