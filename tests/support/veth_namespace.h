// A server that can vanish without a word, for dead-link tests (Linux, root).
//
// Start() makes a network namespace of its own joined to this one by a veth
// pair: 127.77.0.1/30 on this side, 127.77.0.2/30 inside (route_localnet on
// both ends lets loopback-range addresses cross an ordinary link). Listen()
// opens a listening socket inside the namespace on 127.77.0.2; Vanish() sets
// the inner end down, after which the client's segments and probes go
// unanswered: no FIN, no RST. The destructor removes the namespace, which
// takes both ends of the pair and their settings with it.
//
// One pair exists at a time on the machine: a file lock serialises tests
// running in parallel, and Start() first removes what a crashed run left.
//
//   VethNamespace ns;
//   if (!ns.Start()) GTEST_SKIP() << ns.error();
#ifndef KELVO_TESTS_SUPPORT_VETH_NAMESPACE_H_
#define KELVO_TESTS_SUPPORT_VETH_NAMESPACE_H_

#if defined(__linux__)

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace kelvo {
namespace test {

class VethNamespace {
 public:
  static constexpr const char* kOuterAddress = "127.77.0.1";
  static constexpr const char* kInnerAddress = "127.77.0.2";

  VethNamespace() = default;
  ~VethNamespace();
  VethNamespace(const VethNamespace&) = delete;
  VethNamespace& operator=(const VethNamespace&) = delete;

  // False, with error() saying why, when not root, `ip` is missing or the
  // pair cannot be made (the caller skips).
  bool Start();
  const std::string& error() const { return error_; }

  // Listens on 127.77.0.2:port inside the namespace (port 0: any). False on
  // failure.
  bool Listen();
  sockaddr_in Address() const;
  bool Accept(std::chrono::milliseconds timeout);
  int connection() const { return conn_; }
  // The server side goes silent for good: its link is set down.
  bool Vanish();

 private:
  bool Run(const std::string& command);
  void Remove();

  int lock_ = -1;
  bool made_ = false;
  int listen_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
  std::string error_;
};

}  // namespace test
}  // namespace kelvo

#endif  // __linux__
#endif  // KELVO_TESTS_SUPPORT_VETH_NAMESPACE_H_
