// The churn soak (`kelvo-bots --churn`): clients made, connected, logged
// in, chatting a little and ended, cycle after cycle, several cycles at once,
// with the module unloaded and loaded again now and then, to find what
// leaks, hangs or reports a connection's end twice.
#ifndef KELVO_TOOLS_KELVO_BOTS_CHURN_H_
#define KELVO_TOOLS_KELVO_BOTS_CHURN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "connect.h"

#include "accounts.h"
#include "churn_check.h"

namespace kelvo_bots {

struct ChurnOptions {
  std::string libraryPath;
  std::string serverText;
  Endpoint server;
  Endpoint proxy;  // host empty: none
  std::string proxyUser, proxyPassword;
  std::string tlsCa;  // not empty: TLS, verified against this CA file
  std::string tlsServerName = "im.kelvo.test";
  uint64_t cycles = 0;   // 0: as many as `seconds` allows
  double seconds = 0;    // 0: no time limit
  uint32_t slots = 8;    // cycles under way at once, one thread each
  uint64_t seed = 1;
  std::vector<ChurnMode> modes;
  std::vector<ChurnEnd> ends;
  uint64_t unloadEvery = 1000;  // cycles between two unloads; 0: never
  double timeout = 10;      // from Connect to the login's answer or the end
  double chatWait = 2;      // for the chats' echoes
  double dropWait = 3;      // for the server's drop
  double hangSeconds = 30;  // a host call that takes longer is a hang
  bool expectDrops = false; // a connection the server keeps is a problem
  // A shared-pump client is closed and released only while the shared
  // loop is not being pumped, and never inside a callback (which the pump
  // runs).
  bool releaseApartFromPump = false;
  long maxGrowthKib = 1024;
  bool json = false;
  bool quiet = false;
  bool verbose = false;     // a line per cycle on stderr
  std::string commandLine;  // for the reproduction line of a problem
};

// Runs the soak and prints its summary on stdout. Returns 0, 1 when a check
// failed, 2 when it could not start.
int RunChurn(const ChurnOptions& options, const std::vector<Account>& accounts);

}  // namespace kelvo_bots

#endif  // KELVO_TOOLS_KELVO_BOTS_CHURN_H_
