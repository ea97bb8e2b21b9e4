// SOCKS5 proxies for the network library's tests.
//
// MicrosocksProxy runs Debian's /usr/bin/microsocks as a child process on a
// free 127.0.0.1 port and kills it at destruction. Tests call
//   if (!proxy.Start()) GTEST_SKIP() << proxy.error();
//
// FakeSocks5Proxy is a scripted one-connection proxy for the failure cases
// (and for reply shapes a real proxy does not produce on demand). It records
// what the client sent, and after a successful reply it plays the server.
#ifndef KELVO_TESTS_SUPPORT_SOCKS5_PROXY_H_
#define KELVO_TESTS_SUPPORT_SOCKS5_PROXY_H_

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_socket.h"

namespace kelvo {
namespace test {

class MicrosocksProxy {
 public:
  static constexpr const char* kBinary = "/usr/bin/microsocks";

  MicrosocksProxy() = default;
  ~MicrosocksProxy();
  MicrosocksProxy(const MicrosocksProxy&) = delete;
  MicrosocksProxy& operator=(const MicrosocksProxy&) = delete;

  // Starts the child and waits until it accepts connections; with a
  // username, it asks every client for these credentials (RFC 1929). On
  // false, error() says why (a missing binary says so loudly).
  bool Start(const std::string& username = "", const std::string& password = "");
  uint16_t port() const { return port_; }
  const std::string& error() const { return error_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string error_;
};

// Debian's Dante (/usr/sbin/danted) on a free 127.0.0.1 port, with a
// configuration written for the test: no authentication, out through the
// loopback interface (IPv4 and IPv6). Killed, and its files removed, at
// destruction.
class DanteProxy {
 public:
  static constexpr const char* kBinary = "/usr/sbin/danted";

  DanteProxy() = default;
  ~DanteProxy();
  DanteProxy(const DanteProxy&) = delete;
  DanteProxy& operator=(const DanteProxy&) = delete;

  bool Start();
  uint16_t port() const { return port_; }
  const std::string& error() const { return error_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string config_;
  std::string error_;
};

struct FakeSocks5Script {
  // Answer to the greeting. Empty: stay silent (the client must time out).
  std::vector<uint8_t> methodReply = {5, 0};
  // Close the connection right after reading the greeting.
  bool closeAfterGreeting = false;
  // Answer to the CONNECT request. Empty: stay silent.
  std::vector<uint8_t> connectReply = {5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90};
  // Sent right after connectReply, as if from the server.
  std::vector<uint8_t> afterReply;
};

class FakeSocks5Proxy {
 public:
  explicit FakeSocks5Proxy(FakeSocks5Script script);
  ~FakeSocks5Proxy();
  FakeSocks5Proxy(const FakeSocks5Proxy&) = delete;
  FakeSocks5Proxy& operator=(const FakeSocks5Proxy&) = delete;

  uint16_t port() const { return port_; }
  // What the client sent: the 3-byte greeting and the request, of the
  // length its address type gives (as far as they arrived).
  std::vector<uint8_t> Greeting();
  std::vector<uint8_t> Request();

 private:
  void Serve();
  bool ReadExactly(SocketHandle fd, std::size_t n, std::vector<uint8_t>* out);
  bool ReadRequest(SocketHandle fd);
  void HoldUntilStopped();

  FakeSocks5Script script_;
  SocketHandle listen_ = kNoSocket;
  uint16_t port_ = 0;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::vector<uint8_t> greeting_;
  std::vector<uint8_t> request_;
  std::thread thread_;
};

}  // namespace test
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_SOCKS5_PROXY_H_
