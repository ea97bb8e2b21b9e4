#include "support/veth_namespace.h"

#if defined(__linux__)

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace kelvo {
namespace test {

namespace {

constexpr const char* kNamespace = "kelvo-veth";
constexpr const char* kOuterLink = "kvveth0";
constexpr const char* kInnerLink = "kvveth1";
constexpr const char* kLockFile = "/tmp/kelvo-veth-namespace.lock";

bool HaveIp() {
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (::access(path, X_OK) == 0) return true;
  }
  return false;
}

}  // namespace

bool VethNamespace::Run(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  if (status == 0) return true;
  error_ = "failed: " + command;
  return false;
}

void VethNamespace::Remove() {
  // Deleting the namespace deletes the inner end, and with it the outer one.
  std::system((std::string("ip netns del ") + kNamespace + " >/dev/null 2>&1").c_str());
  std::system((std::string("ip link del ") + kOuterLink + " >/dev/null 2>&1").c_str());
}

bool VethNamespace::Start() {
  if (::geteuid() != 0) {
    error_ = "not root: a network namespace and a veth pair need CAP_NET_ADMIN";
    return false;
  }
  if (!HaveIp()) {
    error_ = "the ip tool (Debian package iproute2) is missing";
    return false;
  }
  lock_ = ::open(kLockFile, O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  if (lock_ < 0 || ::flock(lock_, LOCK_EX) != 0) {
    error_ = std::string("cannot lock ") + kLockFile;
    return false;
  }
  Remove();  // whatever a crashed run left behind
  made_ = true;
  const std::string ns = kNamespace, outer = kOuterLink, inner = kInnerLink;
  const std::string in = "ip netns exec " + ns + " ";
  // Per-interface settings only: they go with the interfaces, so nothing of
  // the machine's own configuration is changed.
  if (!(Run("ip netns add " + ns) &&
        Run("ip link add " + outer + " type veth peer name " + inner) &&
        Run("ip link set " + inner + " netns " + ns) &&
        Run("sh -c 'echo 1 > /proc/sys/net/ipv4/conf/" + outer + "/route_localnet'") &&
        Run(in + "sh -c 'echo 1 > /proc/sys/net/ipv4/conf/" + inner + "/route_localnet'") &&
        Run("ip addr add " + std::string(kOuterAddress) + "/30 dev " + outer) &&
        Run(in + "ip addr add " + kInnerAddress + "/30 dev " + inner) &&
        Run("ip link set " + outer + " up") && Run(in + "ip link set " + inner + " up") &&
        Run(in + "ip link set lo up"))) {
    return false;
  }
  // The pair carries traffic once the outer end is operationally up; a SYN
  // sent before that is lost and retried only a second or more later (a
  // busy machine, or one under emulation, may take a while to get there).
  const std::string state = std::string("/sys/class/net/") + outer + "/operstate";
  for (int i = 0; i < 500; ++i) {
    char word[16] = {};
    if (FILE* f = std::fopen(state.c_str(), "r")) {
      const bool read = std::fgets(word, sizeof word, f) != nullptr;
      std::fclose(f);
      if (read && std::strncmp(word, "up", 2) == 0) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error_ = "the veth pair did not come up";
  return false;
}

VethNamespace::~VethNamespace() {
  if (conn_ >= 0) ::close(conn_);
  if (listen_ >= 0) ::close(listen_);
  if (made_) Remove();
  if (lock_ >= 0) ::close(lock_);  // releases the lock
}

bool VethNamespace::Listen() {
  // A socket belongs to the namespace of the thread that made it; a thread
  // of our own enters the namespace so that this one stays where it is.
  std::thread maker([this] {
    const int nsFd = ::open((std::string("/run/netns/") + kNamespace).c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0) return;
    if (::setns(nsFd, CLONE_NEWNET) == 0) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      ::inet_pton(AF_INET, kInnerAddress, &a.sin_addr);
      socklen_t len = sizeof a;
      if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          ::listen(fd, 4) == 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        listen_ = fd;
        port_ = ntohs(a.sin_port);
      } else if (fd >= 0) {
        ::close(fd);
      }
    }
    ::close(nsFd);
  });
  maker.join();
  if (listen_ < 0) error_ = "cannot listen inside the namespace";
  return listen_ >= 0;
}

sockaddr_in VethNamespace::Address() const {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port_);
  ::inet_pton(AF_INET, kInnerAddress, &a.sin_addr);
  return a;
}

bool VethNamespace::Accept(std::chrono::milliseconds timeout) {
  pollfd p{listen_, POLLIN, 0};
  if (listen_ < 0 || ::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
  conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
  return conn_ >= 0;
}

bool VethNamespace::Vanish() {
  return Run(std::string("ip netns exec ") + kNamespace + " ip link set " + kInnerLink + " down");
}

}  // namespace test
}  // namespace kelvo

#endif  // __linux__
