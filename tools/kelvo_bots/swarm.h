// The swarm: N simulated players, each one client object of the module, that
// connect at a steady rate, log in, chat with each other for a while and
// are released; everything they saw is summed up at the end.
#ifndef KELVO_TOOLS_KELVO_BOTS_SWARM_H_
#define KELVO_TOOLS_KELVO_BOTS_SWARM_H_

#include <cstdint>
#include <string>
#include <vector>

#include "connect.h"

#include "accounts.h"
#include "kelvo/kelvo_core.h"

namespace kelvo_bots {

struct Options {
  std::string libraryPath;
  std::string serverText;  // HOST:PORT as given
  Endpoint server;
  // Bot i connects to server.ip + i % addresses (kelvo-server --addresses;
  // an IPv4 server only): a crowd over one address runs out of local ports
  // near 28,000.
  uint32_t addresses = 1;
  std::string proxyText;
  Endpoint proxy;  // host empty: none
  uint32_t clients = 0;
  double ramp = 1000;       // clients started per second; 0: all at once
  double duration = 10;     // seconds the run goes on after the last start
  double chatRate = 0.1;    // chats each logged-in bot starts per second
  double timeout = 10;      // seconds from Connect to the login's answer
  double drain = 2;         // seconds to wait for answers once chatting stops
  double maxFailures = 0;   // share of the clients that may fail
  uint32_t loopThreads = 0; // threads of the shared loop; 0: the module's default
  bool ownThreads = false;  // do not use the shared loop even when offered
  // --reconnect FIRST_MS,CAP_MS: the module reconnects and logs in again
  // after a loss (doubling bound, no attempt limit); 0: a loss is a failure.
  uint32_t reconnectFirstMs = 0;
  uint32_t reconnectCapMs = 0;
  bool json = false;
  bool quiet = false;       // no progress lines
};

// Runs the swarm and prints its summary on stdout. Returns the exit status:
// 0, or 1 when more than maxFailures of the clients failed.
int RunSwarm(const Options& options, const std::vector<Account>& accounts,
             CreateKelvoCoreFn create);

}  // namespace kelvo_bots

#endif  // KELVO_TOOLS_KELVO_BOTS_SWARM_H_
