// The platform under the engine: non-blocking TCP sockets, the wake-up
// channel of a loop, threads with a chosen stack, and the few socket
// options the engine tunes. POSIX (Linux) and Windows Sockets behind one set
// of plain functions; nothing above this file includes a system header.
#ifndef NIMBO2_SRC_NET_H_
#define NIMBO2_SRC_NET_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "nimbo2/msg_worker.h"

namespace Nimbo2 {
namespace net {

#if defined(_WIN32)
using Socket = uintptr_t;  // SOCKET
constexpr Socket kNoSocket = ~static_cast<uintptr_t>(0);
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
#endif

// Once per process before the first socket (Windows Sockets); true when
// sockets can be used.
bool Startup();

// The calling thread's last socket error.
int LastError();
bool WouldBlock(int error);
bool Interrupted(int error);
// Out of descriptors (EMFILE, ENFILE, WSAEMFILE).
bool NoDescriptors(int error);

// An IPv4 or IPv6 endpoint, without the system's types: `ip` holds the 4 or
// 16 address bytes in network order, `port` is in host order.
struct Address {
  enum Family : uint8_t { kIpv4 = 4, kIpv6 = 6 };
  Family family = kIpv4;
  uint8_t ip[16] = {};
  uint16_t port = 0;
  uint32_t scope = 0;  // IPv6 scope (zone) id, as the resolver gave it

  static Address Ipv4(uint32_t ip, uint16_t port);  // `ip` in host order
  uint32_t Ipv4HostOrder() const;
};

// A non-blocking TCP socket of `family` (close-on-exec, no SIGPIPE), or
// kNoSocket with *error set.
Socket OpenTcp(Address::Family family, int* error);
// Starts connecting to `to`. 0 when connected or under way; the error
// otherwise.
int StartConnect(Socket s, const Address& to);

// The system resolver (getaddrinfo; GetAddrInfoW on Windows) for TCP to
// `host`:`port`, the families the machine has addresses of
// (AI_ADDRCONFIG). Blocks for as long as the system takes: only ever
// called on a thread that may block. True with the addresses in the
// system's order (at least one); false with *why, the resolver's reason in
// the same words on every platform ("no such name", "temporary failure in
// name resolution").
bool Resolve(const std::string& host, uint16_t port, std::vector<Address>* out,
             std::string* why);
// An IPv6 literal (no brackets, no zone) into its 16 bytes; false when it
// is not one.
bool ParseIpv6(const std::string& text, uint8_t out[16]);
// The outcome of a connect that the poller reported ready: 0 or the error.
int ConnectOutcome(Socket s);
// A pending connect of `s` has completed (the socket has its peer). For a
// poller event that names the connection but not which of its sockets.
bool ConnectedNow(Socket s);
// Bytes written (>= 0), or -1 with *error (WouldBlock when the buffer is
// full).
long Send(Socket s, const void* data, std::size_t n, int* error);
// Bytes read (> 0), 0 at the peer's FIN, or -1 with *error.
long Recv(Socket s, void* data, std::size_t n, int* error);
// As Recv, but the bytes stay in the socket for the next read.
long Peek(Socket s, void* data, std::size_t n, int* error);
void ShutdownWrite(Socket s);
void Close(Socket s);

// The link's health limits, defaults filled in.
struct Health {
  uint32_t idleMs, intervalMs, probes, unacknowledgedMs, stallMs;
};
// No delay, keep-alive with our idle time, interval and count, and the
// unacknowledged-data limit. Returns the LinkTuning bits that took.
uint32_t Tune(Socket s, const Health& h);
// Bytes of ours the peer has acknowledged so far; false where the system
// cannot tell (the caller then judges by what the system took from us).
bool BytesAcked(Socket s, uint64_t* acked);
// Bytes the system still holds for sending (unsent or unacknowledged), or
// -1 where it cannot tell.
long OutstandingBytes(Socket s);

// The reason for an error on a connection (or an attempt).
LinkReason ReasonFor(int error);

// A loop's wake-up channel: one descriptor that polls readable after Signal
// until Drain (an eventfd on Linux, a socket connected to itself on
// Windows).
class Waker {
 public:
  Waker() = default;
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  // False, with *error, when it cannot be made.
  bool Open(int* error);
  void Signal();
  void Drain();
  Socket handle() const { return fd_; }

 private:
  Socket fd_ = kNoSocket;
};

// A thread with a stack of `stackBytes` and a name a debugger shows.
class Thread {
 public:
  Thread() = default;
  ~Thread();  // detaches a thread neither joined nor detached
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  // False, with *error, when the system refused the thread.
  bool Start(std::function<void()> body, std::size_t stackBytes, const char* name, int* error);
  bool Started() const { return started_; }
  bool IsCurrent() const;
  void Join();
  void Detach();

 private:
  bool started_ = false;
#if defined(_WIN32)
  void* handle_ = nullptr;
  unsigned long id_ = 0;
#else
  unsigned long handle_ = 0;  // pthread_t
#endif
};

}  // namespace net
}  // namespace Nimbo2

#endif  // NIMBO2_SRC_NET_H_
