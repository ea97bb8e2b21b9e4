// Placeholder bodies; filled in by the roster work.
#include "core/im_server_client.h"

namespace kelvo {

void ImServerClient::EnumUsers(uint32_t, uint32_t, uint32_t, uint16_t, uint8_t) {}
void ImServerClient::EnumAddRequests(uint32_t) {}
void ImServerClient::EnumGroups(uint32_t, uint32_t) {}
bool ImServerClient::GetUser(uint32_t, UserRecord*) { return false; }
bool ImServerClient::GetAddRequest(uint32_t, UserRecord*) { return false; }
bool ImServerClient::GetGroup(uint32_t, GroupRecord*) { return false; }

}  // namespace kelvo
