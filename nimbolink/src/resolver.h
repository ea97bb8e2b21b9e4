// Name resolution off every caller's thread. The system resolver blocks,
// for as long as the network's name servers take, and cannot be cancelled:
// an attempt hands its name to a small thread of the engine's own, which
// posts the answer to the attempt's loop. An attempt that no longer wants
// the answer (closed, replaced, destroyed, or out of time) abandons it: the
// thread runs on to its end, and nobody hears of it again. The callback
// holds nothing of the attempt but what it takes itself (a weak pointer),
// so an answer that comes late finds the attempt gone and does nothing.
//
// Two kinds of names never reach the system (RFC 6761): "localhost" and
// the names under it are the loopback addresses ::1 and 127.0.0.1, whatever
// the hosts file says (many list only one of the two), and the names under
// "invalid" do not exist.
//
// Such a thread may still run this module's code after its client is gone;
// a client destroyed while one runs pins the module (KeepModuleLoaded), so
// a host that unloads it right after cannot pull the code from under it.
#ifndef NIMBO2_SRC_RESOLVER_H_
#define NIMBO2_SRC_RESOLVER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net.h"

namespace Nimbo2 {

// Stack of a resolver thread: the system resolver and its name-service
// modules, nothing of ours.
inline constexpr std::size_t kResolverStackBytes = 256 * 1024;
// Addresses of one name that an attempt tries at most.
inline constexpr std::size_t kMaxAddressesTried = 16;

// What a host text is, as ConnectTo and SetProxyHost take it.
enum class HostKind { kInvalid, kName, kIpv4, kIpv6 };
// Judges `host`; *bare gets it without the brackets of an IPv6 literal.
HostKind ClassifyHost(const char* host, std::string* bare);

// One name being resolved for one attempt.
class Resolution {
 public:
  // Starts resolving the name `host` for `port`; `done` runs on the
  // resolver thread once the answer is in, unless the resolution was
  // abandoned first. Null with *error when no thread could be started.
  static std::shared_ptr<Resolution> Start(const std::string& host, uint16_t port,
                                           std::function<void()> done, int* error);

  // The answer, once `done` ran: true with the addresses, or false with
  // the resolver's reason.
  bool Result(std::vector<net::Address>* addresses, std::string* why);
  // Nobody wants the answer any more: `done` is not started after this
  // returns (one that started already runs to its end; it must hold what
  // it touches).
  void Abandon();

 private:
  Resolution() = default;
  void Run(const std::string& host, uint16_t port);

  std::mutex mu_;
  std::function<void()> done_;  // cleared by Abandon
  bool ok_ = false;
  std::vector<net::Address> addresses_;
  std::string why_;
};

// Resolver threads that have not ended yet (tests).
int ResolutionsRunning();
// Pins the module when a resolver thread may still run (a client is going
// away); joins those that ended.
void ReapResolvers();

// Tests: replaces the system resolver for every later resolution of the
// process (null: the system's again). Runs on the resolver thread, as the
// system's would, and may block.
using ResolveHook = bool (*)(const std::string& host, uint16_t port,
                             std::vector<net::Address>* out, std::string* why);
// The answer for the names that never reach the system resolver: true with
// *answered set when `host` is one of them.
bool ReservedName(const std::string& host, uint16_t port, std::vector<net::Address>* out,
                  std::string* why, bool* answered);
void SetResolveHookForTests(ResolveHook hook);

// Orders a name's addresses for connecting (RFC 8305, section 4): IPv6
// first, then the families taking turns, each family in the resolver's
// order; at most kMaxAddressesTried.
std::vector<net::Address> InterleaveFamilies(const std::vector<net::Address>& addresses);

}  // namespace Nimbo2

#endif  // NIMBO2_SRC_RESOLVER_H_
