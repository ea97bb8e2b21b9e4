// Placeholder bodies; filled in by the handler work.
#include "core/im_server_client.h"

namespace kelvo {

uint32_t ImServerClient::HandleServerInfo(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleMyUserData(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleLoginOk(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleLoginFail(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleUserLogout(uint32_t, uint8_t*) { return 0; }

}  // namespace kelvo
