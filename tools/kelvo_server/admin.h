// The operator's console: one command per line, read from stdin when the
// server runs with --admin-stdin.
#ifndef KELVO_SERVER_ADMIN_H_
#define KELVO_SERVER_ADMIN_H_

#include <string>

#include "server_state.h"

namespace kelvo {
namespace server {

enum class AdminOutcome { kDone, kQuit, kError };

// Runs one command line against `state`. `reply` receives what the operator
// should see (a usage text for kError).
AdminOutcome RunAdminCommand(ServerState& state, const std::string& line, std::string* reply);

}  // namespace server
}  // namespace kelvo

#endif  // KELVO_SERVER_ADMIN_H_
