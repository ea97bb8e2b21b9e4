// Placeholder bodies; filled in by the handler work.
#include "core/im_server_client.h"

namespace kelvo {

uint32_t ImServerClient::HandleMyUserList(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleAddUserResult(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleRemoveUserResult(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleInOutGsNotify(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleOnlineStateNotify(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleAddUserRequest(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleGmOnlineNotify(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleMoveUserResult(uint32_t, uint8_t*) { return 0; }

}  // namespace kelvo
