// PLACEHOLDER (branch netface only): the login-state helper replaces this file.
#include "core/im_server_client.h"

namespace kelvo {

uint32_t ImServerClient::LoginState() { return KELVO_LOGIN_NONE; }

}  // namespace kelvo
