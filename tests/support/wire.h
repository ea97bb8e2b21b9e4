// Building inbound messages and capturing outbound ones in tests.
//
//   auto m = Msg(61).U32(5).U8(1).Zeros(4).Build();   // header filled in
//   Deliver(client, m);   // exact-size heap copy: an over-read is caught by ASan
#ifndef KELVO_TESTS_SUPPORT_WIRE_H_
#define KELVO_TESTS_SUPPORT_WIRE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "core/im_server_client.h"
#include "nimbo2/tcp_client_socks5.h"

namespace kelvo {
namespace test {

using Bytes = std::vector<uint8_t>;

class Msg {
 public:
  // Starts a message with id `id`, category 11; the length is written by
  // Build() unless Length() forces one.
  explicit Msg(uint8_t id, uint8_t categoryByte = 0x2C);
  Msg& U8(uint8_t v);
  Msg& U16(uint16_t v);
  Msg& U32(uint32_t v);
  Msg& F64(double v);
  Msg& Zeros(std::size_t n);
  Msg& Fill(std::size_t n, uint8_t v);
  Msg& Raw(const std::string& bytes);      // bytes as given, no terminator
  Msg& Text(const std::string& s, std::size_t width);  // NUL-padded / cut to width
  Msg& Append(const Bytes& b);
  // Pads with zeros (or cuts) to exactly `total` bytes.
  Msg& PadTo(std::size_t total);
  // Forces the length word (e.g. with bit 15 set, or a lie).
  Msg& LengthWord(uint16_t word);
  Bytes Build() const;

 private:
  Bytes bytes_;
  bool forced_ = false;
  uint16_t word_ = 0;
};

// Hands `message` to client.HandleMessage in an exactly-sized heap buffer and
// returns the result. `after`, when given, receives the buffer's bytes after
// the call (handlers write terminators into it).
uint32_t Deliver(ImServerClient& client, const Bytes& message, Bytes* after = nullptr);

// Converts UTF-8 to GBK (code page 936), for checking the system's texts.
std::string Gbk(const std::string& utf8);

// A socket client stand-in that records what the client calls, without any
// network. Results are settable.
class FakeSocket : public Nimbo2::TCPClient_Socks5 {
 public:
  explicit FakeSocket(Nimbo2::MsgWorker* worker) : Nimbo2::TCPClient_Socks5(worker) {}
  ~FakeSocket() override {
    if (destroyed != nullptr) *destroyed = true;
  }
  void SetProxyServer(Nimbo2::tagProxyInfo& info) override;
  void CancelProxyServer() override;
  bool Connect(sockaddr_in address) override;
  bool SendMsg(void* context, void* msg, int len) override;
  bool CloseSocket(bool notify) override;

  std::string calls;          // one line per call
  std::vector<Bytes> sent;    // every SendMsg'd message
  bool connectResult = true;
  bool sendResult = true;
  bool closeResult = true;
  bool* destroyed = nullptr;  // set to true when the client destroys its socket
};

// A client built over a FakeSocket; `socket` points at it (owned by client).
struct FakeClient {
  FakeClient();
  ~FakeClient();
  ImServerClient* client = nullptr;
  FakeSocket* socket = nullptr;
  ImServerClient& operator*() { return *client; }
  ImServerClient* operator->() { return client; }
};

}  // namespace test
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_WIRE_H_
