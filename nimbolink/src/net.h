// The platform under the engine: non-blocking TCP sockets, the wake-up
// channel of a loop, threads with a chosen stack, and the few socket
// options the engine tunes. POSIX (Linux) and Windows Sockets behind one set
// of plain functions; nothing above this file includes a system header.
#ifndef NIMBO2_SRC_NET_H_
#define NIMBO2_SRC_NET_H_

#include <cstddef>
#include <cstdint>
#include <functional>

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

// A non-blocking IPv4 TCP socket (close-on-exec, no SIGPIPE), or kNoSocket
// with *error set.
Socket OpenTcp(int* error);
// Starts connecting to `ip`:`port` (host order). 0 when connected or under
// way; the error otherwise.
int StartConnect(Socket s, uint32_t ip, uint16_t port);
// The outcome of a connect that the poller reported ready: 0 or the error.
int ConnectOutcome(Socket s);
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
