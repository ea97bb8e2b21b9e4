// PLACEHOLDER (branch netface only): the connect-by-name helper replaces this file.
#include "core/im_server_client.h"

namespace kelvo {

bool ImServerClient::ConnectTo(const char*, uint16_t) { return false; }
bool ImServerClient::SetProxyHost(const char*, uint16_t) { return false; }

}  // namespace kelvo
