// PLACEHOLDER (branch netface only): the reconnection work replaces this file.
#include "core/im_server_client.h"

namespace kelvo {

bool ImServerClient::SetReconnect(const KelvoReconnectPolicy*) { return false; }

}  // namespace kelvo
