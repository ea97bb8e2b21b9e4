// nimbo_echo: starts an echo server on 127.0.0.1 (ephemeral port), connects a
// TCPClient_Socks5 to it, directly or through a SOCKS5 proxy, sends N framed
// messages and checks that each comes back unchanged and in order.
//
//   nimbo_echo [-n COUNT] [--proxy HOST:PORT]
//
// Exit status 0 when every message came back; 1 on any failure; 2 on bad
// arguments.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nimbo2/msg_head.h"
#include "nimbo2/tcp_client_socks5.h"

namespace {

using Clock = std::chrono::steady_clock;

// Accepts one connection and writes back whatever it reads until the client
// goes away or Stop() is called.
class EchoServer {
 public:
  bool Start() {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 1) != 0)
      return false;
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
    return true;
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_ >= 0) ::close(listen_);
  }
  uint16_t port() const { return port_; }
  uint64_t echoed() const { return echoed_; }

 private:
  bool WaitReadable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }
  void Serve() {
    if (!WaitReadable(listen_)) return;
    const int fd = ::accept(listen_, nullptr, nullptr);
    if (fd < 0) return;
    std::vector<char> buf(65536);
    while (WaitReadable(fd)) {
      const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      for (ssize_t off = 0; off < n;) {
        const ssize_t w = ::send(fd, buf.data() + off, static_cast<std::size_t>(n - off), MSG_NOSIGNAL);
        if (w <= 0) break;
        off += w;
      }
      echoed_ += static_cast<uint64_t>(n);
    }
    ::close(fd);
  }

  int listen_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> echoed_{0};
  std::thread thread_;
};

// Checks each echoed message against what was sent, in order.
class EchoWorker : public Nimbo2::MsgWorker {
 public:
  explicit EchoWorker(const std::vector<std::vector<uint8_t>>& sent) : sent_(sent) {}

  uint32_t HandleMessage(void* message, uint32_t length, uint32_t, uint32_t) override {
    const uint8_t* m = static_cast<const uint8_t*>(message);
    std::lock_guard<std::mutex> lock(mu_);
    if (received_ >= sent_.size() || sent_[received_].size() != length ||
        std::memcmp(sent_[received_].data(), m, length) != 0) {
      if (mismatches_++ == 0)
        std::fprintf(stderr, "nimbo_echo: message %zu came back different (%u bytes)\n",
                     received_, length);
    }
    ++received_;
    cv_.notify_all();
    return 0;
  }
  void OnTick(uint32_t) override {}
  void OnConnectState(uint32_t state) override {
    std::lock_guard<std::mutex> lock(mu_);
    states_.push_back(state);
    cv_.notify_all();
  }

  bool WaitState(std::chrono::milliseconds timeout, uint32_t* state) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, timeout, [&] { return !states_.empty(); })) return false;
    *state = states_.front();
    return true;
  }
  // Waits for `n` messages or a closure.
  bool WaitReceived(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return received_ >= n || states_.size() > 1; }) &&
           received_ >= n;
  }
  std::size_t received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }
  std::size_t mismatches() {
    std::lock_guard<std::mutex> lock(mu_);
    return mismatches_;
  }

 private:
  const std::vector<std::vector<uint8_t>>& sent_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<uint32_t> states_;
  std::size_t received_ = 0;
  std::size_t mismatches_ = 0;
};

std::vector<uint8_t> MakeMessage(std::size_t i) {
  const std::size_t length = 8 + i % 200;
  std::vector<uint8_t> m(length);
  Nimbo2::NimboMsgHead head;
  head.SetHead(static_cast<unsigned short>(length), 11, static_cast<unsigned char>(i & 0xFF),
               false, false, true);
  std::memcpy(m.data(), head.bytes, sizeof head.bytes);
  for (int b = 0; b < 4; ++b) m[4 + b] = static_cast<uint8_t>(i >> (8 * b));
  for (std::size_t k = 8; k < length; ++k) m[k] = static_cast<uint8_t>(i * 31 + k);
  return m;
}

bool ParseProxy(const std::string& text, Nimbo2::tagProxyInfo* info) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  in_addr addr{};
  if (::inet_pton(AF_INET, text.substr(0, colon).c_str(), &addr) != 1) return false;
  const long port = std::strtol(text.c_str() + colon + 1, nullptr, 10);
  if (port <= 0 || port > 65535) return false;
  info->address = ntohl(addr.s_addr);
  info->port = static_cast<uint16_t>(port);
  info->param = 0;
  return true;
}

int Usage() {
  std::fprintf(stderr, "usage: nimbo_echo [-n COUNT] [--proxy IPV4:PORT]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 1000;
  bool viaProxy = false;
  Nimbo2::tagProxyInfo proxy{};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-n" && i + 1 < argc) {
      const long n = std::strtol(argv[++i], nullptr, 10);
      if (n <= 0) return Usage();
      count = static_cast<std::size_t>(n);
    } else if (arg == "--proxy" && i + 1 < argc) {
      if (!ParseProxy(argv[++i], &proxy)) return Usage();
      viaProxy = true;
    } else {
      return Usage();
    }
  }

  std::vector<std::vector<uint8_t>> messages;
  std::size_t totalBytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    messages.push_back(MakeMessage(i));
    totalBytes += messages.back().size();
  }

  EchoServer server;
  if (!server.Start()) {
    std::fprintf(stderr, "nimbo_echo: cannot listen on 127.0.0.1\n");
    return 1;
  }
  EchoWorker worker(messages);
  int status = 1;
  {
    Nimbo2::TCPClient_Socks5 client(&worker);
    if (viaProxy) client.SetProxyServer(proxy);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(server.port());
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto start = Clock::now();
    uint32_t state = 0;
    if (!client.Connect(target)) {
      std::fprintf(stderr, "nimbo_echo: Connect refused to start\n");
    } else if (!worker.WaitState(std::chrono::milliseconds(Nimbo2::kConnectTimeoutMs + 2000),
                                 &state) ||
               state != Nimbo2::kConnected) {
      std::fprintf(stderr, "nimbo_echo: connection failed (state %u)\n", state);
    } else {
      std::size_t refused = 0;
      for (auto& m : messages) {
        // A full queue is back-pressure: wait for the echoes to catch up.
        while (!client.SendMsg(nullptr, m.data(), static_cast<int>(m.size()))) {
          if (client.GetConnectState() != 2 || ++refused > 100000) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
      const bool all = worker.WaitReceived(count, std::chrono::seconds(30));
      const double ms =
          std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      std::printf("nimbo_echo: %s 127.0.0.1:%u%s\n", all ? "echoed through" : "FAILED via",
                  server.port(), viaProxy ? " (through SOCKS5 proxy)" : " (direct)");
      std::printf("  sent      %zu messages, %zu bytes (client counted %llu)\n", count,
                  totalBytes, static_cast<unsigned long long>(client.BytesSent()));
      std::printf("  received  %zu messages, %llu bytes, %zu different\n", worker.received(),
                  static_cast<unsigned long long>(client.BytesReceived()), worker.mismatches());
      std::printf("  took      %.1f ms\n", ms);
      status = all && worker.mismatches() == 0 ? 0 : 1;
    }
    client.CloseSocket(false);
  }
  server.Stop();
  return status;
}
