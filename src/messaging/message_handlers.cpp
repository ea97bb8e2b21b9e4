// Placeholder bodies; filled in by the handler work.
#include "core/im_server_client.h"

namespace kelvo {

uint32_t ImServerClient::HandleSendMessage(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleSystemMessage(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleInfoMessage(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleSendMessageEx(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleOfflineMessage(uint32_t, uint8_t*) { return 0; }

uint32_t ImServerClient::HandleUserChat(uint32_t, uint8_t*) { return 0; }

}  // namespace kelvo
