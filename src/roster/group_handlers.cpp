// Placeholder bodies; filled in by the handler work.
#include "core/im_server_client.h"

namespace kelvo {

uint32_t ImServerClient::HandleMyGroupList(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleAddGroupResult(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleUpdateGroupResult(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleDelGroupResult(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleModifyGroupResult(uint32_t, uint8_t*) { return 0; }

}  // namespace kelvo
