// The messaging server's protocol logic, without sockets.
//
// The network side hands in each connection's arrival and departure and
// every complete request; the state answers through an Outlet with whole
// messages for a connection, a request to close one, and log lines. Nothing
// here blocks or throws on client input: malformed requests are logged and
// the offending connection is closed through the Outlet.
#ifndef KELVO_SERVER_SERVER_STATE_H_
#define KELVO_SERVER_SERVER_STATE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "directory.h"
#include "messages.h"

namespace kelvo {
namespace server {

class Outlet {
 public:
  virtual ~Outlet() = default;
  virtual void Send(SessionId session, Bytes message) = 0;
  // Ends the connection. The state has already forgotten the session when
  // this is called, so no further Disconnect is needed (one is harmless).
  virtual void Close(SessionId session) = 0;
  // level 0: one line per event; 1: per-message detail; 2: byte dumps.
  virtual void Log(int level, const std::string& line) = 0;
};

// The total size of the request that `head` (4 bytes) announces, or 0 when
// the header is not acceptable: category other than 11, a length below 4,
// an id that is not a request, or a length other than that id's size.
std::size_t RequestSizeFromHeader(const uint8_t* head, std::string* why);

class ServerState {
 public:
  ServerState(Directory directory, Outlet& outlet);

  // Seconds since the epoch, for the time stamp of offline messages.
  void SetClock(std::function<double()> clock) { clock_ = std::move(clock); }

  void Connect(SessionId session, const std::string& peer);
  void Disconnect(SessionId session);
  void HandleRequest(SessionId session, const uint8_t* message, std::size_t size);
  // Reports bad input from `session`, then forgets and closes it.
  void Reject(SessionId session, const std::string& why);

  // Admin operations.
  void BroadcastSystem(uint32_t type, const std::string& textGbk);
  void BroadcastInfo(uint32_t flags, const std::string& textGbk);
  bool Kick(uint32_t userId);
  // "id name gs=N peer" for every logged-in user, in id order.
  std::vector<std::string> OnlineUsers() const;

  const Directory& directory() const { return dir_; }
  // The user logged in on `session`, 0 for none or an unknown session.
  uint32_t UserOf(SessionId session) const;

 private:
  struct Session {
    uint32_t userId = 0;
    std::string peer;
  };

  void Send(SessionId session, Bytes message);
  void SendTo(uint32_t userId, Bytes message);  // only when online
  // Sends `message` to every online user who has `userId` on his roster.
  void NotifyWatchers(uint32_t userId, const Bytes& message);
  // Files `friendId` on `owner`'s roster under `group`, or takes him off;
  // both keep watchers_ in step with the rosters. DropFriend: whether he was
  // there.
  void FileFriend(Account& owner, uint32_t friendId, uint16_t group);
  bool DropFriend(Account& owner, uint32_t friendId);
  void EndLogin(SessionId session, bool tellFriends);

  std::string Who(uint32_t userId) const;
  UserView FriendView(const Account& owner, const Account& other) const;
  UserView PublicView(const Account& account) const;
  uint16_t FileableGroup(const Account& owner, uint32_t wanted) const;

  void OnLogin(SessionId s, const uint8_t* m, std::size_t n);
  void OnAddUser(Account& me, const uint8_t* m, std::size_t n);
  void OnReplyAdd(Account& me, const uint8_t* m, std::size_t n);
  void OnRemoveUser(Account& me, const uint8_t* m, std::size_t n);
  void OnMoveUser(Account& me, const uint8_t* m, std::size_t n);
  void OnAddGroup(Account& me, const uint8_t* m, std::size_t n);
  void OnRenameGroup(Account& me, const uint8_t* m, std::size_t n);
  void OnDeleteGroup(Account& me, const uint8_t* m, std::size_t n);
  void OnInOutGs(Account& me, const uint8_t* m, std::size_t n);
  void OnChat(Account& me, const uint8_t* m, std::size_t n);
  void OnSearch(Account& me, const uint8_t* m, std::size_t n);

  Directory dir_;
  Outlet& out_;
  std::map<SessionId, Session> sessions_;
  // For each user, the accounts that have him on their roster: every login,
  // logout and game-server move tells them, so they are looked up rather
  // than found by walking every account (which made a crowd's logins cost
  // the square of its size).
  std::map<uint32_t, std::set<uint32_t>> watchers_;
  std::function<double()> clock_;
};

// Limits that keep one client from growing the server without bound.
inline constexpr std::size_t kMaxOfflinePerUser = 200;
inline constexpr std::size_t kMaxGroupsPerUser = 1000;
inline constexpr std::size_t kMaxSearchResults = 500;

// Result codes of this server where the client leaves the meaning open.
inline constexpr uint32_t kAddUserRefused = 4;    // 54: unknown user, self or already friends
inline constexpr uint32_t kAddUserDeclined = 2;   // 54: the target said no
inline constexpr uint32_t kAddUserAccepted = 3;   // 54: now friends, carries the other's record
inline constexpr uint32_t kGroupOk = 1;           // 58, 60, 66
inline constexpr uint32_t kGroupFailed = 0;       // 60, 66
inline constexpr uint32_t kAddGroupDuplicate = 2; // 58: name already used, carries that group
inline constexpr uint32_t kAddGroupInvalid = 3;   // 58: empty name, unknown parent, too many
inline constexpr uint32_t kRosterOk = 3;          // 55, 67
inline constexpr uint32_t kRosterFailed = 0;      // 55, 67
inline constexpr uint8_t kStateOffline = 1;
inline constexpr uint8_t kStateOnline = 2;
inline constexpr uint8_t kRelationFriend = 2;

}  // namespace server
}  // namespace kelvo

#endif  // KELVO_SERVER_SERVER_STATE_H_
