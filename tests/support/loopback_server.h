// Real TCP peers on 127.0.0.1 for the network library's tests, plus a worker
// that records what the library delivers.
//
//   LoopbackServer server;                 // listening on an ephemeral port
//   client.Connect(server.Address());
//   ASSERT_TRUE(server.Accept());
//   server.Send(bytes); server.Read(n, &got); server.Reset();
//
// Every wait is bounded; a false result means the deadline passed.
#ifndef KELVO_TESTS_SUPPORT_LOOPBACK_SERVER_H_
#define KELVO_TESTS_SUPPORT_LOOPBACK_SERVER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "nimbo2/msg_worker.h"
#include "support/test_socket.h"

namespace kelvo {
namespace test {

using namespace std::chrono_literals;
using ByteVec = std::vector<uint8_t>;

sockaddr_in LoopbackAddress(uint16_t port);

// One framed message of `length` bytes: the length word (with `flagBit15`),
// category byte 0x2C, `id`, then a payload where byte i holds (seed + i).
ByteVec Frame(uint16_t length, uint8_t id, uint8_t seed = 0, bool flagBit15 = false);

class LoopbackServer {
 public:
  // Listens on 127.0.0.1 (or ::1 with `ipv6`), at `port` or an ephemeral
  // one. `backlog` 0 with Saturate() gives a listener whose further SYNs go
  // unanswered (connect timeout tests).
  explicit LoopbackServer(int backlog = 16, bool ipv6 = false, uint16_t port = 0);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  uint16_t port() const { return port_; }
  // False when the address could not be bound (the port is taken, or the
  // machine has no ::1).
  bool listening() const { return listen_ != kNoSocket; }
  sockaddr_in Address() const { return LoopbackAddress(port_); }

  // Accepts the next connection (replacing the current one).
  bool Accept(std::chrono::milliseconds timeout = 5s);
  bool Send(const void* data, std::size_t n);
  bool Send(const ByteVec& bytes) { return Send(bytes.data(), bytes.size()); }
  // Reads exactly n bytes (appended to *out).
  bool Read(std::size_t n, ByteVec* out, std::chrono::milliseconds timeout = 5s);
  // Waits until the client closes its side (EOF or reset); data read while
  // waiting is discarded.
  bool WaitPeerClosed(std::chrono::milliseconds timeout = 5s);
  // Closes the accepted connection with FIN.
  void Close();
  // Closes it with RST (SO_LINGER 0).
  void Reset();
  // Fills the accept queue of a backlog-0 listener without accepting, so
  // further connects stall in SYN_SENT. False if a probe still connects.
  bool Saturate();

  SocketHandle connection() const { return conn_; }
  // Hands the accepted connection over to the caller, who closes it.
  SocketHandle Release() {
    const SocketHandle s = conn_;
    conn_ = kNoSocket;
    return s;
  }

 private:
  SocketHandle listen_ = kNoSocket;
  SocketHandle conn_ = kNoSocket;
  uint16_t port_ = 0;
  bool ipv6_ = false;
  std::vector<SocketHandle> fillers_;
};

// Records every worker call. Waits use a condition variable and a deadline.
// The hooks run on the message thread, without the recorder's lock, and may
// call back into the library (or destroy the client).
class RecordingWorker : public Nimbo2::MsgWorker {
 public:
  uint32_t HandleMessage(void* message, uint32_t length, uint32_t context,
                         uint32_t reserved) override;
  void OnTick(uint32_t tickMs) override;
  void OnConnectState(uint32_t state) override;
  void MsgThreadBegin() override;
  void MsgThreadEnd() override;

  std::function<void(uint8_t* message, uint32_t length)> onMessage;
  std::function<void(uint32_t state)> onState;

  // Snapshots.
  std::vector<uint32_t> States();
  std::vector<ByteVec> Messages();
  std::size_t MessageCount();
  int Ticks();
  int ThreadBegins();
  int ThreadEnds();
  // Calls that arrived while Forbid() was in force.
  int ForbiddenCalls();
  // From now on any call is a fault (the client is gone).
  void Forbid();

  bool WaitStates(std::size_t n, std::chrono::milliseconds timeout = 5s);
  bool WaitMessages(std::size_t n, std::chrono::milliseconds timeout = 5s);
  bool WaitTicks(int n, std::chrono::milliseconds timeout = 5s);
  bool WaitThreadEnd(std::chrono::milliseconds timeout = 5s);

  // Keep copies of messages (off for throughput runs).
  bool keepMessages = true;

 private:
  bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  void Notify();

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<uint32_t> states_;
  std::vector<ByteVec> messages_;
  std::size_t messageCount_ = 0;
  int ticks_ = 0;
  int begins_ = 0;
  int ends_ = 0;
  bool forbidden_ = false;
  int forbiddenCalls_ = 0;
};

// A recording worker that also keeps the link notes, each with the number of
// states that had been reported when it arrived.
class NotingWorker : public RecordingWorker, public Nimbo2::LinkNoteWorker {
 public:
  void OnLinkNote(const Nimbo2::LinkNote& note) override {
    const std::size_t before = States().size();
    std::lock_guard<std::mutex> lock(notesMu_);
    notes_.push_back(note);
    statesBefore_.push_back(before);
  }
  std::vector<Nimbo2::LinkNote> Notes() {
    std::lock_guard<std::mutex> lock(notesMu_);
    return notes_;
  }
  std::vector<std::size_t> StatesBefore() {
    std::lock_guard<std::mutex> lock(notesMu_);
    return statesBefore_;
  }

 private:
  std::mutex notesMu_;
  std::vector<Nimbo2::LinkNote> notes_;
  std::vector<std::size_t> statesBefore_;
};

}  // namespace test
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_LOOPBACK_SERVER_H_
