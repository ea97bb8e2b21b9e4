// Builders for the messages the server sends to its clients.
//
// Each builder returns one complete message, header included, with every
// field written through ByteWriter at the offsets the client's own layout
// headers define. Texts are GBK bytes already; fixed-width fields are cut to
// their width, and texts that run to the end of a message end with a zero
// byte because the client overwrites the message's last byte with one.
#ifndef KELVO_SERVER_MESSAGES_H_
#define KELVO_SERVER_MESSAGES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo {
namespace server {

using Bytes = std::vector<uint8_t>;

// What the server knows about a user when it describes him to someone else.
struct UserView {
  uint32_t userId = 0;
  uint8_t relation = 0;
  uint8_t onlineState = 1;
  uint16_t groupId = 0;
  uint16_t gameServerId = 0;
  uint32_t gmLevel = 0;
  std::string name;  // GBK
};

struct GroupView {
  uint16_t groupId = 0;
  uint16_t parentGroupId = 0;
  uint8_t groupKind = 0;
  std::string name;  // GBK
};

// A zeroed message of `size` bytes with the header written.
Bytes NewMessage(uint8_t id, std::size_t size);

Bytes ServerInfo();
Bytes LoginOk();
Bytes LoginFail(const std::string& reasonGbk);
Bytes UserLogout();
Bytes MyUserData(const UserView& me);

// The group and user lists, split into as many messages as needed so that no
// message is longer than the client accepts. An empty list still gives one
// header-only message, so a client always sees the list arrive.
std::vector<Bytes> GroupList(const std::vector<GroupView>& groups);
std::vector<Bytes> UserList(const std::vector<UserView>& users);
std::vector<Bytes> SearchList(const std::vector<UserView>& users);

Bytes AddUserResult(uint32_t code, const UserView& user);
Bytes RemoveUserResult(uint32_t code, uint32_t otherUserId, uint32_t userId);
Bytes MoveUserResult(uint32_t code, uint32_t userId, uint16_t groupId);
Bytes InOutGsNotify(bool entered, uint32_t userId, uint16_t gameServerId);
Bytes OnlineStateNotify(uint32_t userId, uint8_t state);
Bytes AddUserRequest(const UserView& asker);
Bytes AddGroupResult(uint32_t code, const GroupView& group);
Bytes ModifyGroupResult(uint32_t code, uint16_t groupId, const std::string& nameGbk);
Bytes DelGroupResult(uint32_t code, uint16_t groupId);

// Chat as the peer receives it: the sender's request with its own id in
// place of the peer's.
Bytes UserChat(const uint8_t* request, std::size_t size, uint32_t senderId);

struct OfflineChat {
  uint32_t senderId = 0;
  std::string senderName;  // GBK, goes into the 38-byte block
  uint8_t chat1 = 0, chat2 = 0, chat3 = 0;
  double sentAt = 0;       // seconds since the epoch
  std::string text;        // GBK, at most 255 bytes
};
Bytes OfflineMessage(const OfflineChat& chat);

Bytes SystemMessage(uint32_t type, const std::string& textGbk);
Bytes InfoMessage(uint32_t flags, uint32_t sender, const std::string& textGbk);

}  // namespace server
}  // namespace kelvo

#endif  // KELVO_SERVER_MESSAGES_H_
