#include "support/socks5_proxy.h"

#if !defined(_WIN32)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace kelvo {
namespace test {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

SocketHandle ListenLoopback(uint16_t* port) {
  StartSockets();
  const SocketHandle fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
    CloseSocketHandle(fd);
    return kNoSocket;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

#if !defined(_WIN32)
bool CanConnect(uint16_t port);

// Starts argv[0] and waits until it accepts connections on `port`.
bool SpawnListening(std::vector<char*> argv, uint16_t port, const char* name, pid_t* pid,
                    std::string* error) {
  argv.push_back(nullptr);
  if (::posix_spawn(pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    *pid = -1;
    *error = std::string("could not start ") + name;
    return false;
  }
  const auto deadline = Clock::now() + 5s;
  while (Clock::now() < deadline) {
    if (CanConnect(port)) return true;
    int status = 0;
    if (::waitpid(*pid, &status, WNOHANG) == *pid) {
      *pid = -1;
      *error = std::string(name) + " exited at start";
      return false;
    }
    std::this_thread::sleep_for(10ms);  // polling for start-up, not a test assertion
  }
  *error = std::string(name) + " did not start accepting within 5 s";
  return false;
}

bool CanConnect(uint16_t port) {
  const SocketHandle fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  CloseSocketHandle(fd);
  return ok;
}
#endif

}  // namespace

#if defined(_WIN32)

// There is no microsocks to start on Windows: the tests against a real proxy
// skip there, loudly, and the scripted proxy below covers the protocol.
MicrosocksProxy::~MicrosocksProxy() = default;

bool MicrosocksProxy::Start(const std::string&, const std::string&) {
  error_ = "*** no microsocks on Windows: SOCKS5 tests against a real proxy are SKIPPED ***";
  std::fprintf(stderr, "%s\n", error_.c_str());
  return false;
}

DanteProxy::~DanteProxy() = default;

bool DanteProxy::Start() {
  error_ = "*** no Dante on Windows: tests against it are SKIPPED ***";
  return false;
}

#else

MicrosocksProxy::~MicrosocksProxy() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

bool MicrosocksProxy::Start(const std::string& username, const std::string& password) {
  if (::access(kBinary, X_OK) != 0) {
    error_ = std::string("*** ") + kBinary +
             " is not installed: SOCKS5 tests against a real proxy are SKIPPED "
             "(apt-get install microsocks) ***";
    std::fprintf(stderr, "%s\n", error_.c_str());
    return false;
  }
  // Ask the kernel for a free port, release it and hand it to the child.
  const SocketHandle probe = ListenLoopback(&port_);
  if (probe == kNoSocket) {
    error_ = "no free port for microsocks";
    return false;
  }
  CloseSocketHandle(probe);
  const std::string portText = std::to_string(port_);
  std::vector<char*> argv = {const_cast<char*>(kBinary), const_cast<char*>("-i"),
                             const_cast<char*>("127.0.0.1"), const_cast<char*>("-p"),
                             const_cast<char*>(portText.c_str())};
  if (!username.empty()) {
    argv.insert(argv.end(), {const_cast<char*>("-u"), const_cast<char*>(username.c_str()),
                             const_cast<char*>("-P"), const_cast<char*>(password.c_str())});
  }
  return SpawnListening(argv, port_, "microsocks", &pid_, &error_);
}

DanteProxy::~DanteProxy() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (!config_.empty()) {
    ::unlink(config_.c_str());
    ::rmdir(config_.substr(0, config_.rfind('/')).c_str());
  }
}

bool DanteProxy::Start() {
  if (::access(kBinary, X_OK) != 0) {
    error_ = std::string("*** ") + kBinary +
             " is not installed: tests against Dante are SKIPPED (apt-get install "
             "dante-server) ***";
    std::fprintf(stderr, "%s\n", error_.c_str());
    return false;
  }
  const SocketHandle probe = ListenLoopback(&port_);
  if (probe == kNoSocket) {
    error_ = "no free port for danted";
    return false;
  }
  CloseSocketHandle(probe);
  char dir[] = "/tmp/kelvo-dante-XXXXXX";
  if (::mkdtemp(dir) == nullptr) {
    error_ = "no temporary folder for danted's configuration";
    return false;
  }
  config_ = std::string(dir) + "/danted.conf";
  // Loopback in and out, no authentication, every client and target: the
  // proxy resolves a domain-name target itself and reaches IPv6 ones on ::1.
  const std::string text = "logoutput: stderr\n"
                           "internal: 127.0.0.1 port = " + std::to_string(port_) + "\n"
                           "external: lo\n"
                           "clientmethod: none\n"
                           "socksmethod: none\n"
                           "user.privileged: root\n"
                           "user.unprivileged: nobody\n"
                           "client pass { from: 0/0 to: 0/0 }\n"
                           "socks pass { from: 0/0 to: 0/0 }\n";
  FILE* f = std::fopen(config_.c_str(), "w");
  if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
    if (f != nullptr) std::fclose(f);
    error_ = "could not write danted's configuration";
    return false;
  }
  std::fclose(f);
  std::vector<char*> argv = {const_cast<char*>(kBinary), const_cast<char*>("-f"),
                             const_cast<char*>(config_.c_str()), const_cast<char*>("-N"),
                             const_cast<char*>("1")};
  return SpawnListening(argv, port_, "danted", &pid_, &error_);
}

#endif

// ---------------------------------------------------------------------------

FakeSocks5Proxy::FakeSocks5Proxy(FakeSocks5Script script) : script_(std::move(script)) {
  listen_ = ListenLoopback(&port_);
  thread_ = std::thread([this] { Serve(); });
}

FakeSocks5Proxy::~FakeSocks5Proxy() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
  if (listen_ != kNoSocket) CloseSocketHandle(listen_);
}

std::vector<uint8_t> FakeSocks5Proxy::Greeting() {
  std::lock_guard<std::mutex> lock(mu_);
  return greeting_;
}

std::vector<uint8_t> FakeSocks5Proxy::Request() {
  std::lock_guard<std::mutex> lock(mu_);
  return request_;
}

bool FakeSocks5Proxy::ReadExactly(SocketHandle fd, std::size_t n, std::vector<uint8_t>* out) {
  const auto deadline = Clock::now() + 5s;
  while (n > 0) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) return false;
    }
    pollfd p{fd, POLLIN, 0};
    if (Clock::now() > deadline) return false;
    if (PollSockets(&p, 1, 50) <= 0) continue;
    uint8_t buf[64];
    const long r = RecvBytes(fd, buf, n < sizeof buf ? n : sizeof buf);
    if (r <= 0) return false;
    std::lock_guard<std::mutex> lock(mu_);
    out->insert(out->end(), buf, buf + r);
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// VER CMD RSV ATYP, then the address its type says, then the port.
bool FakeSocks5Proxy::ReadRequest(SocketHandle fd) {
  if (!ReadExactly(fd, 4, &request_)) return false;
  switch (Request()[3]) {
    case 1: return ReadExactly(fd, 4 + 2, &request_);
    case 4: return ReadExactly(fd, 16 + 2, &request_);
    case 3: return ReadExactly(fd, 1, &request_) && ReadExactly(fd, Request()[4] + 2u, &request_);
    default: return false;
  }
}

void FakeSocks5Proxy::HoldUntilStopped() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return stop_; });
}

void FakeSocks5Proxy::Serve() {
  if (listen_ == kNoSocket) return;
  SocketHandle fd = kNoSocket;
  const auto deadline = Clock::now() + 5s;
  while (fd == kNoSocket && Clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) return;
    }
    pollfd p{listen_, POLLIN, 0};
    if (PollSockets(&p, 1, 50) > 0) fd = ::accept(listen_, nullptr, nullptr);
  }
  if (fd == kNoSocket) return;
  auto send = [fd](const std::vector<uint8_t>& b) {
    if (!b.empty()) SendBytes(fd, b.data(), b.size());
  };
  if (ReadExactly(fd, 3, &greeting_) && !script_.closeAfterGreeting &&
      !script_.methodReply.empty()) {
    send(script_.methodReply);
    if (ReadRequest(fd) && !script_.connectReply.empty()) {
      std::vector<uint8_t> reply = script_.connectReply;
      reply.insert(reply.end(), script_.afterReply.begin(), script_.afterReply.end());
      send(reply);
    }
  }
  if (!script_.closeAfterGreeting) HoldUntilStopped();
  CloseSocketHandle(fd);
}

}  // namespace test
}  // namespace kelvo
