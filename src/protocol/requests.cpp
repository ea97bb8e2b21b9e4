// Placeholder bodies; filled in by the request work.
#include "core/im_server_client.h"

namespace kelvo {

bool ImServerClient::Send(uint8_t*, std::size_t) { return false; }
bool ImServerClient::Login(uint32_t, const uint8_t*, const uint8_t*) { return false; }
bool ImServerClient::Logout(uint32_t) { return false; }
bool ImServerClient::AddUser(uint32_t, uint32_t, uint32_t) { return false; }
bool ImServerClient::RemoveUser(uint32_t) { return false; }
bool ImServerClient::AddGroup(uint32_t, uint32_t, const char*) { return false; }
bool ImServerClient::DeleteGroup(uint32_t) { return false; }
bool ImServerClient::RenameGroup(uint32_t, const char*) { return false; }
bool ImServerClient::MoveUser(uint32_t, uint32_t, uint32_t) { return false; }
bool ImServerClient::SendChatMessage(uint32_t, uint32_t, const char*, uint8_t, uint8_t, uint8_t) { return false; }
void ImServerClient::Request_friend(uint32_t) {}
bool ImServerClient::ReplyAddRequest(uint32_t, uint32_t, bool) { return false; }
bool ImServerClient::EnterGameServer(uint16_t) { return false; }
bool ImServerClient::LeaveGameServer(uint16_t) { return false; }
bool ImServerClient::SearchUser(uint32_t, uint32_t, const char*) { return false; }

}  // namespace kelvo
