// The server's records: accounts with their groups and friends, pending
// friend requests and stored offline chat. Held in memory only.
#ifndef KELVO_SERVER_DIRECTORY_H_
#define KELVO_SERVER_DIRECTORY_H_

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <utility>

#include "messages.h"
#include "text.h"

namespace kelvo {
namespace server {

using SessionId = uint64_t;

struct Group {
  uint16_t id = 0;
  uint16_t parent = 0;
  uint8_t kind = 0;
  std::string name;  // GBK, at most 63 bytes
};

struct Account {
  uint32_t id = 0;
  std::string name;      // GBK, at most 31 bytes: what goes on the wire
  std::string nameUtf8;  // for the log and the admin console
  Md5Digest password{};  // MD5 of the UTF-8 password, as clients send it
  uint32_t gmLevel = 0;
  std::map<uint16_t, Group> groups;
  // One direction of a friendship: the friend's id and the group this
  // account files him under.
  std::map<uint32_t, uint16_t> friends;
  // A list, not a deque: a deque allocates about 600 bytes up front, and
  // most accounts never hold an offline message.
  std::list<OfflineChat> offline;

  // Presence; session 0 means offline.
  SessionId session = 0;
  uint16_t gameServer = 0;
};

struct Directory {
  std::map<uint32_t, Account> accounts;
  // Pending friend requests keyed (asker, target); the value is the group
  // the asker wants the target filed under once accepted.
  std::map<std::pair<uint32_t, uint32_t>, uint16_t> pending;
};

// The longest user and group names the list messages carry with their
// terminators.
inline constexpr std::size_t kMaxUserName = 31;
inline constexpr std::size_t kMaxGroupName = 63;

}  // namespace server
}  // namespace kelvo

#endif  // KELVO_SERVER_DIRECTORY_H_
