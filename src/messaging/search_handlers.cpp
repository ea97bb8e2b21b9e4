// Placeholder bodies; filled in by the handler work.
#include "core/im_server_client.h"

namespace kelvo {

uint32_t ImServerClient::HandleSearchUserRes(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleSearchUserResList(uint32_t, uint8_t*) { return 0; }

}  // namespace kelvo
