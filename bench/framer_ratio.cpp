// framer_ratio: how close the socket client's delivery comes to a bare
// receive loop on the same stream.
//
// A loopback server writes N 13-byte framed messages in 64 KiB writes.
//   (a) TCPClient_Socks5 with a worker that only counts;
//   (b) a blocking recv() into the framer's 64 KiB read area and the same
//       Framer::Drain loop, counting.
// Each rate runs from the server's first write to the last message counted.
// Three rounds; the median of the three ratios a/b is the figure.
//
//   framer_ratio [N]        (default 2000000)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "nimbo2/framer.h"
#include "nimbo2/tcp_client_socks5.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMessageSize = 13;
constexpr std::size_t kWriteSize = 64 * 1024;

std::vector<uint8_t> BuildStream(std::size_t n) {
  std::vector<uint8_t> stream(n * kMessageSize);
  for (std::size_t i = 0; i < n; ++i) {
    uint8_t* m = stream.data() + i * kMessageSize;
    m[0] = kMessageSize;
    m[1] = 0;
    m[2] = 0x2C;
    m[3] = 61;
    for (std::size_t k = 4; k < kMessageSize; ++k) m[k] = static_cast<uint8_t>(i + k);
  }
  return stream;
}

// Listens once; Serve() accepts one connection, notes the time and writes
// the whole stream.
struct Server {
  int listenFd = -1;
  uint16_t port = 0;
  Clock::time_point firstWrite;

  bool Listen() {
    listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd, 4) != 0)
      return false;
    socklen_t len = sizeof a;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return true;
  }
  int Accept() { return ::accept(listenFd, nullptr, nullptr); }
  void Write(int fd, const std::vector<uint8_t>& stream) {
    firstWrite = Clock::now();
    for (std::size_t off = 0; off < stream.size();) {
      const std::size_t n = std::min(kWriteSize, stream.size() - off);
      const ssize_t w = ::send(fd, stream.data() + off, n, MSG_NOSIGNAL);
      if (w <= 0) break;
      off += static_cast<std::size_t>(w);
    }
  }
};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

class CountingWorker : public Nimbo2::MsgWorker {
 public:
  explicit CountingWorker(std::size_t target) : target_(target) {}
  uint32_t HandleMessage(void*, uint32_t, uint32_t, uint32_t) override {
    if (++count_ == target_) {
      std::lock_guard<std::mutex> lock(mu_);
      last_ = Clock::now();
      done_ = true;
      cv_.notify_all();
    }
    return 0;
  }
  void OnTick(uint32_t) override {}
  void OnConnectState(uint32_t state) override {
    std::lock_guard<std::mutex> lock(mu_);
    state_ = state;
    cv_.notify_all();
  }
  bool WaitConnected() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return state_ >= 0; }) &&
           state_ == 1;
  }
  bool WaitDone(Clock::time_point* last) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::seconds(60), [&] { return done_; })) return false;
    *last = last_;
    return true;
  }

 private:
  const std::size_t target_;
  std::size_t count_ = 0;  // message thread only
  std::mutex mu_;
  std::condition_variable cv_;
  long state_ = -1;
  bool done_ = false;
  Clock::time_point last_;
};

// Messages per second through TCPClient_Socks5, or 0 on failure.
double ClientRate(Server& server, const std::vector<uint8_t>& stream, std::size_t n) {
  CountingWorker worker(n);
  Nimbo2::TCPClient_Socks5 client(&worker);
  if (!client.Connect(Loopback(server.port))) return 0;
  const int fd = server.Accept();
  if (fd < 0 || !worker.WaitConnected()) return 0;
  std::thread writer([&] { server.Write(fd, stream); });
  Clock::time_point last;
  const bool ok = worker.WaitDone(&last);
  writer.join();
  ::close(fd);
  if (!ok) return 0;
  return static_cast<double>(n) / std::chrono::duration<double>(last - server.firstWrite).count();
}

// Messages per second with a blocking recv and the bare framing loop.
double RawRate(Server& server, const std::vector<uint8_t>& stream, std::size_t n) {
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = Loopback(server.port);
  if (::connect(client, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return 0;
  const int fd = server.Accept();
  if (fd < 0) return 0;
  std::thread writer([&] { server.Write(fd, stream); });
  Nimbo2::Framer framer;
  std::size_t count = 0;
  Clock::time_point last;
  while (count < n) {
    const std::size_t space = std::min(framer.ReadSpace(), Nimbo2::Framer::kReadChunk);
    const ssize_t r = ::recv(client, framer.ReadPtr(), space, 0);
    if (r <= 0) break;
    framer.Commit(static_cast<std::size_t>(r));
    framer.Drain([&](uint8_t*, std::size_t) { return ++count, true; });
  }
  last = Clock::now();
  writer.join();
  ::close(fd);
  ::close(client);
  if (count < n) return 0;
  return static_cast<double>(n) / std::chrono::duration<double>(last - server.firstWrite).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000000;
  if (n == 0) return 2;
  const std::vector<uint8_t> stream = BuildStream(n);
  Server server;
  if (!server.Listen()) {
    std::fprintf(stderr, "framer_ratio: cannot listen\n");
    return 1;
  }
  std::printf("framer_ratio: %zu messages of %zu bytes, %zu-byte server writes\n", n,
              kMessageSize, kWriteSize);
  std::vector<double> ratios;
  for (int round = 1; round <= 3; ++round) {
    const double client = ClientRate(server, stream, n);
    const double raw = RawRate(server, stream, n);
    if (client <= 0 || raw <= 0) {
      std::fprintf(stderr, "framer_ratio: round %d failed\n", round);
      return 1;
    }
    ratios.push_back(client / raw);
    std::printf("  round %d: client %.2f M msg/s, raw recv+framer %.2f M msg/s, ratio %.3f\n",
                round, client / 1e6, raw / 1e6, client / raw);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("median ratio (client / raw): %.3f\n", ratios[1]);
  ::close(server.listenFd);
  return 0;
}
