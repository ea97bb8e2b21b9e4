#include "server_state.h"

#include <chrono>
#include <cstring>

#include "nimbo2/msg_head.h"
#include "protocol/byte_io.h"
#include "protocol/message_ids.h"
#include "protocol/request_layouts.h"

namespace kelvo {
namespace server {
namespace {

using Nimbo2::NimboMsgHead;
namespace rq = request;

struct RequestKind {
  uint8_t id;
  std::size_t size;
  const char* name;
};

constexpr RequestKind kRequests[] = {
    {IM_MSG_ID_LOGOUT, rq::kLogoutSize, "Logout"},
    {IM_MSG_ID_ADD_USER, rq::kAddUserSize, "AddUser"},
    {IM_MSG_ID_REMOVE_USER, rq::kRemoveUserSize, "RemoveUser"},
    {IM_MSG_ID_ADD_GROUP, rq::kAddGroupSize, "AddGroup"},
    {IM_MSG_ID_DEL_GROUP, rq::kDeleteGroupSize, "DeleteGroup"},
    {IM_MSG_ID_MODIFY_GROUP, rq::kRenameGroupSize, "RenameGroup"},
    {IM_MSG_ID_MOVE_USER, rq::kMoveUserSize, "MoveUser"},
    {IM_MSG_ID_SEARCH_USER, rq::kSearchUserSize, "SearchUser"},
    {IM_MSG_ID_REPLY_ADD_USER, rq::kReplyAddSize, "ReplyAddRequest"},
    {IM_MSG_ID_IN_OUT_GS, rq::kInOutGsSize, "InOutGameServer"},
    {IM_MSG_ID_LOGIN, rq::kLoginSize, "Login"},
    {IM_MSG_ID_USER_CHAT, rq::kChatSize, "Chat"},
};

const RequestKind* FindRequest(uint8_t id) {
  for (const RequestKind& k : kRequests) {
    if (k.id == id) return &k;
  }
  return nullptr;
}

// A fixed-width text field of a request, up to its terminator or its width.
std::string FieldText(const ByteReader& r, std::size_t offset, std::size_t width) {
  std::vector<char> buf(width + 1, 0);
  r.Text(offset, buf.data(), width);
  return std::string(buf.data());
}

std::string Gbk(const char* utf8) {
  std::string out;
  return Utf8ToGbk(utf8, &out) ? out : std::string(utf8);
}

std::string Hex(const Bytes& b) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t c : b) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

}  // namespace

std::size_t RequestSizeFromHeader(const uint8_t* head, std::string* why) {
  const uint16_t length = NimboMsgHead::Length(head);
  const uint8_t id = NimboMsgHead::Id(head);
  if (NimboMsgHead::Category(head) != IM_MSG_CATEGORY) {
    *why = "category " + std::to_string(NimboMsgHead::Category(head)) + " is not 11";
    return 0;
  }
  if (length < kHeaderSize) {
    *why = "length " + std::to_string(length) + " below the header";
    return 0;
  }
  const RequestKind* kind = FindRequest(id);
  if (kind == nullptr) {
    *why = "undefined request id " + std::to_string(id);
    return 0;
  }
  if (length != kind->size) {
    *why = std::string(kind->name) + " (id " + std::to_string(id) + ") with length " +
           std::to_string(length) + ", expected " + std::to_string(kind->size);
    return 0;
  }
  return kind->size;
}

ServerState::ServerState(Directory directory, Outlet& outlet)
    : dir_(std::move(directory)), out_(outlet), clock_([] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
      }) {
  for (const auto& [id, account] : dir_.accounts) {
    for (const auto& [friendId, group] : account.friends) watchers_[friendId].insert(id);
  }
}

uint32_t ServerState::UserOf(SessionId session) const {
  auto it = sessions_.find(session);
  return it == sessions_.end() ? 0 : it->second.userId;
}

std::string ServerState::Who(uint32_t userId) const {
  auto it = dir_.accounts.find(userId);
  std::string who = std::to_string(userId);
  if (it != dir_.accounts.end()) who += " (" + it->second.nameUtf8 + ")";
  return who;
}

void ServerState::Send(SessionId session, Bytes message) {
  if (message.size() >= kHeaderSize) {
    out_.Log(1, "-> #" + std::to_string(session) + " id " +
                    std::to_string(NimboMsgHead::Id(message.data())) + " length " +
                    std::to_string(message.size()));
  }
  out_.Log(2, "   " + Hex(message));
  out_.Send(session, std::move(message));
}

void ServerState::SendTo(uint32_t userId, Bytes message) {
  auto it = dir_.accounts.find(userId);
  if (it != dir_.accounts.end() && it->second.session != 0) {
    Send(it->second.session, std::move(message));
  }
}

void ServerState::NotifyWatchers(uint32_t userId, const Bytes& message) {
  auto w = watchers_.find(userId);
  if (w == watchers_.end()) return;
  for (uint32_t id : w->second) {
    auto it = dir_.accounts.find(id);
    if (id != userId && it != dir_.accounts.end() && it->second.session != 0) {
      Send(it->second.session, message);
    }
  }
}

void ServerState::FileFriend(Account& owner, uint32_t friendId, uint16_t group) {
  owner.friends[friendId] = group;
  watchers_[friendId].insert(owner.id);
}

bool ServerState::DropFriend(Account& owner, uint32_t friendId) {
  if (owner.friends.erase(friendId) == 0) return false;
  auto w = watchers_.find(friendId);
  if (w != watchers_.end()) {
    w->second.erase(owner.id);
    if (w->second.empty()) watchers_.erase(w);
  }
  return true;
}

UserView ServerState::FriendView(const Account& owner, const Account& other) const {
  UserView v = PublicView(other);
  v.relation = kRelationFriend;
  auto it = owner.friends.find(other.id);
  v.groupId = it == owner.friends.end() ? 0 : it->second;
  v.gmLevel = 0;
  return v;
}

UserView ServerState::PublicView(const Account& account) const {
  UserView v;
  v.userId = account.id;
  v.onlineState = account.session != 0 ? kStateOnline : kStateOffline;
  v.gameServerId = account.session != 0 ? account.gameServer : 0;
  v.gmLevel = account.gmLevel;
  v.name = account.name;
  return v;
}

uint16_t ServerState::FileableGroup(const Account& owner, uint32_t wanted) const {
  if (wanted <= 0xFFFF && owner.groups.count(static_cast<uint16_t>(wanted)) != 0) {
    return static_cast<uint16_t>(wanted);
  }
  if (owner.groups.count(1) != 0) return 1;
  return owner.groups.empty() ? 0 : owner.groups.begin()->first;
}

void ServerState::Connect(SessionId session, const std::string& peer) {
  sessions_[session].peer = peer;
  out_.Log(0, "#" + std::to_string(session) + " connected from " + peer);
}

void ServerState::Disconnect(SessionId session) {
  auto it = sessions_.find(session);
  if (it == sessions_.end()) return;
  if (it->second.userId != 0) EndLogin(session, true);
  out_.Log(0, "#" + std::to_string(session) + " disconnected");
  sessions_.erase(session);
}

void ServerState::Reject(SessionId session, const std::string& why) {
  out_.Log(0, "#" + std::to_string(session) + " bad input: " + why + "; closing");
  Disconnect(session);
  out_.Close(session);
}

void ServerState::EndLogin(SessionId session, bool tellFriends) {
  Session& s = sessions_[session];
  auto it = dir_.accounts.find(s.userId);
  s.userId = 0;
  if (it == dir_.accounts.end()) return;
  Account& a = it->second;
  if (a.session != session) return;
  a.session = 0;
  const uint16_t gs = a.gameServer;
  a.gameServer = 0;
  if (tellFriends) {
    NotifyWatchers(a.id, OnlineStateNotify(a.id, kStateOffline));
  } else if (gs != 0) {
    NotifyWatchers(a.id, InOutGsNotify(false, a.id, gs));
  }
}

void ServerState::HandleRequest(SessionId session, const uint8_t* message, std::size_t size) {
  auto sit = sessions_.find(session);
  if (sit == sessions_.end()) return;
  std::string why;
  const std::size_t expected =
      size >= kHeaderSize ? RequestSizeFromHeader(message, &why) : 0;
  if (size < kHeaderSize) why = "message shorter than its header";
  if (expected == 0 || expected != size) {
    if (expected != 0) why = "message of " + std::to_string(size) + " bytes, header says " +
                             std::to_string(expected);
    Reject(session, why);
    return;
  }
  const uint8_t id = NimboMsgHead::Id(message);
  out_.Log(2, "<- #" + std::to_string(session) + " " + Hex(Bytes(message, message + size)));
  if (id == IM_MSG_ID_LOGIN) {
    OnLogin(session, message, size);
    return;
  }
  Session& s = sit->second;
  const RequestKind* kind = FindRequest(id);
  if (s.userId == 0) {
    out_.Log(0, "#" + std::to_string(session) + " " + kind->name + " before login, ignored");
    return;
  }
  Account& me = dir_.accounts.at(s.userId);
  out_.Log(0, "#" + std::to_string(session) + " " + Who(me.id) + ": " + kind->name);
  switch (id) {
    case IM_MSG_ID_LOGOUT:
      out_.Log(0, "  logged out");
      EndLogin(session, true);
      break;
    case IM_MSG_ID_ADD_USER: OnAddUser(me, message, size); break;
    case IM_MSG_ID_REMOVE_USER: OnRemoveUser(me, message, size); break;
    case IM_MSG_ID_ADD_GROUP: OnAddGroup(me, message, size); break;
    case IM_MSG_ID_DEL_GROUP: OnDeleteGroup(me, message, size); break;
    case IM_MSG_ID_MODIFY_GROUP: OnRenameGroup(me, message, size); break;
    case IM_MSG_ID_MOVE_USER: OnMoveUser(me, message, size); break;
    case IM_MSG_ID_SEARCH_USER: OnSearch(me, message, size); break;
    case IM_MSG_ID_REPLY_ADD_USER: OnReplyAdd(me, message, size); break;
    case IM_MSG_ID_IN_OUT_GS: OnInOutGs(me, message, size); break;
    case IM_MSG_ID_USER_CHAT: OnChat(me, message, size); break;
    default: break;
  }
}

void ServerState::OnLogin(SessionId session, const uint8_t* m, std::size_t n) {
  ByteReader r(m, n);
  const uint32_t userId = r.U32(rq::kLoginUserIdOffset);
  const std::string tag = "#" + std::to_string(session) + " login " + std::to_string(userId);
  // The client drops its login data on any login answer, so a connection
  // that was logged in is logged out whatever the outcome.
  if (sessions_[session].userId != 0) EndLogin(session, true);
  auto it = dir_.accounts.find(userId);
  if (it == dir_.accounts.end()) {
    out_.Log(0, tag + " failed: no such user");
    Send(session, LoginFail(Gbk("用户不存在")));
    return;
  }
  Account& a = it->second;
  if (r.Available(rq::kLoginPasswordOffset) < rq::kLoginPasswordWidth ||
      std::memcmp(m + rq::kLoginPasswordOffset, a.password.data(), a.password.size()) != 0) {
    out_.Log(0, tag + " failed: wrong password");
    Send(session, LoginFail(Gbk("密码错误")));
    return;
  }

  Session& s = sessions_[session];
  // The same account on another connection is forced out; its friends see
  // no offline blip because the user is back at once.
  if (a.session != 0 && a.session != session) {
    const SessionId old = a.session;
    out_.Log(0, "#" + std::to_string(old) + " " + Who(userId) + " forced out by #" +
                    std::to_string(session));
    Send(old, UserLogout());
    EndLogin(old, false);
  }
  a.session = session;
  a.gameServer = 0;
  s.userId = userId;
  out_.Log(0, tag + " (" + a.nameUtf8 + ") ok");

  Send(session, ServerInfo());
  Send(session, LoginOk());
  UserView me = PublicView(a);
  Send(session, MyUserData(me));

  std::vector<GroupView> groups;
  for (const auto& [gid, g] : a.groups) groups.push_back({g.id, g.parent, g.kind, g.name});
  for (Bytes& b : GroupList(groups)) Send(session, std::move(b));

  std::vector<UserView> friends;
  for (const auto& [fid, gid] : a.friends) {
    auto f = dir_.accounts.find(fid);
    if (f != dir_.accounts.end()) friends.push_back(FriendView(a, f->second));
  }
  for (Bytes& b : UserList(friends)) Send(session, std::move(b));

  for (const auto& [key, gid] : dir_.pending) {
    if (key.second != userId) continue;
    auto asker = dir_.accounts.find(key.first);
    if (asker != dir_.accounts.end()) Send(session, AddUserRequest(PublicView(asker->second)));
  }
  while (!a.offline.empty()) {
    Send(session, OfflineMessage(a.offline.front()));
    a.offline.pop_front();
  }
  NotifyWatchers(userId, OnlineStateNotify(userId, kStateOnline));
}

void ServerState::OnAddUser(Account& me, const uint8_t* m, std::size_t n) {
  ByteReader r(m, n);
  const uint32_t target = r.U32(rq::kAddUserValue1Offset);
  const uint32_t group = r.U32(rq::kAddUserValue2Offset);
  auto it = dir_.accounts.find(target);
  if (it == dir_.accounts.end() || target == me.id || me.friends.count(target) != 0) {
    UserView v;
    if (it != dir_.accounts.end()) v = PublicView(it->second);
    v.userId = target;
    v.gmLevel = 0;
    out_.Log(0, "  add " + std::to_string(target) + " refused: " +
                    (it == dir_.accounts.end() ? "no such user"
                     : target == me.id         ? "self"
                                               : "already friends"));
    Send(me.session, AddUserResult(kAddUserRefused, v));
    return;
  }
  const auto key = std::make_pair(me.id, target);
  const bool repeated = dir_.pending.count(key) != 0;
  dir_.pending[key] = static_cast<uint16_t>(group);
  if (repeated) {
    out_.Log(0, "  request to " + Who(target) + " already pending");
    return;
  }
  out_.Log(0, "  request to " + Who(target) + " recorded");
  SendTo(target, AddUserRequest(PublicView(me)));
}

void ServerState::OnReplyAdd(Account& me, const uint8_t* m, std::size_t n) {
  ByteReader r(m, n);
  const uint32_t askerId = r.U32(rq::kReplyAddUserIdOffset);
  const uint32_t group = r.U32(rq::kReplyAddValueOffset);
  const bool accept = r.U32(rq::kReplyAddAcceptOffset) == 1;
  auto pit = dir_.pending.find(std::make_pair(askerId, me.id));
  auto ait = dir_.accounts.find(askerId);
  if (pit == dir_.pending.end() || ait == dir_.accounts.end()) {
    out_.Log(0, "  no pending request from " + std::to_string(askerId) + ", ignored");
    return;
  }
  const uint16_t askerGroup = pit->second;
  dir_.pending.erase(pit);
  Account& asker = ait->second;
  if (!accept) {
    out_.Log(0, "  declined " + Who(askerId));
    UserView v = PublicView(me);
    v.gmLevel = 0;
    SendTo(askerId, AddUserResult(kAddUserDeclined, v));
    return;
  }
  FileFriend(me, askerId, FileableGroup(me, group));
  FileFriend(asker, me.id, FileableGroup(asker, askerGroup));
  dir_.pending.erase(std::make_pair(me.id, askerId));
  out_.Log(0, "  accepted " + Who(askerId));
  Send(me.session, AddUserResult(kAddUserAccepted, FriendView(me, asker)));
  SendTo(askerId, AddUserResult(kAddUserAccepted, FriendView(asker, me)));
}

void ServerState::OnRemoveUser(Account& me, const uint8_t* m, std::size_t n) {
  ByteReader r(m, n);
  const uint32_t friendId = r.U32(rq::kRemoveUserUserIdOffset);
  if (!DropFriend(me, friendId)) {
    out_.Log(0, "  " + std::to_string(friendId) + " is not a friend");
    Send(me.session, RemoveUserResult(kRosterFailed, me.id, friendId));
    return;
  }
  Send(me.session, RemoveUserResult(kRosterOk, me.id, friendId));
  auto it = dir_.accounts.find(friendId);
  if (it != dir_.accounts.end() && DropFriend(it->second, me.id)) {
    // The removed user's client reads its own id at 13 and acts on the one at 9.
    SendTo(friendId, RemoveUserResult(kRosterOk, me.id, friendId));
  }
  out_.Log(0, "  removed " + Who(friendId));
}

void ServerState::OnMoveUser(Account& me, const uint8_t* m, std::size_t n) {
  ByteReader r(m, n);
  const uint32_t friendId = r.U32(rq::kMoveUserValue1Offset);
  const uint32_t group = r.U32(rq::kMoveUserValue2Offset);
  auto it = me.friends.find(friendId);
  if (it == me.friends.end() || group > 0xFFFF ||
      me.groups.count(static_cast<uint16_t>(group)) == 0) {
    out_.Log(0, "  move " + std::to_string(friendId) + " to group " + std::to_string(group) +
                    " refused");
    Send(me.session, MoveUserResult(kRosterFailed, friendId, static_cast<uint16_t>(group)));
    return;
  }
  it->second = static_cast<uint16_t>(group);
  out_.Log(0, "  moved " + Who(friendId) + " to group " + std::to_string(group));
  Send(me.session, MoveUserResult(kRosterOk, friendId, static_cast<uint16_t>(group)));
}

void ServerState::OnAddGroup(Account& me, const uint8_t* m, std::size_t n) {
  ByteReader r(m, n);
  const uint32_t parent = r.U32(rq::kAddGroupValue1Offset);
  const uint32_t kind = r.U32(rq::kAddGroupValue2Offset);
  const std::string name =
      CutGbk(FieldText(r, rq::kAddGroupNameOffset, rq::kAddGroupNameWidth), kMaxGroupName);
  for (const auto& [gid, g] : me.groups) {
    if (g.name == name && !name.empty()) {
      out_.Log(0, "  group name " + PrintableGbk(name) + " already used by " + std::to_string(gid));
      Send(me.session, AddGroupResult(kAddGroupDuplicate, {g.id, g.parent, g.kind, g.name}));
      return;
    }
  }
  // Ids are never 0: the client treats group id 0 as no group at all.
  uint32_t id = me.groups.empty() ? 1 : me.groups.rbegin()->first + 1u;
  if (id > 0xFFFF) {
    id = 1;
    while (me.groups.count(static_cast<uint16_t>(id)) != 0) ++id;
  }
  GroupView v{static_cast<uint16_t>(id), static_cast<uint16_t>(parent),
              static_cast<uint8_t>(kind), name};
  const bool parentOk = parent == 0 || (parent <= 0xFFFF && me.groups.count(
                                                                static_cast<uint16_t>(parent)));
  if (name.empty() || !parentOk || me.groups.size() >= kMaxGroupsPerUser) {
    out_.Log(0, "  add group refused: " + std::string(name.empty() ? "empty name"
                                                      : !parentOk ? "unknown parent"
                                                                  : "too many groups"));
    Send(me.session, AddGroupResult(kAddGroupInvalid, v));
    return;
  }
  me.groups[v.groupId] = Group{v.groupId, v.parentGroupId, v.groupKind, v.name};
  out_.Log(0, "  added group " + std::to_string(id) + " " + PrintableGbk(name));
  Send(me.session, AddGroupResult(kGroupOk, v));
}

void ServerState::OnRenameGroup(Account& me, const uint8_t* m, std::size_t n) {
  ByteReader r(m, n);
  const uint32_t group = r.U32(rq::kRenameGroupGroupIdOffset);
  const std::string name = CutGbk(
      FieldText(r, rq::kRenameGroupNameOffset, rq::kRenameGroupNameWidth), kMaxGroupName);
  auto it = group <= 0xFFFF ? me.groups.find(static_cast<uint16_t>(group)) : me.groups.end();
  bool taken = false;
  for (const auto& [gid, g] : me.groups) taken = taken || (g.name == name && gid != group);
  if (it == me.groups.end() || name.empty() || taken) {
    out_.Log(0, "  rename group " + std::to_string(group) + " refused");
    Send(me.session, ModifyGroupResult(kGroupFailed, static_cast<uint16_t>(group), name));
    return;
  }
  it->second.name = name;
  out_.Log(0, "  renamed group " + std::to_string(group) + " to " + PrintableGbk(name));
  Send(me.session, ModifyGroupResult(kGroupOk, it->first, name));
}

void ServerState::OnDeleteGroup(Account& me, const uint8_t* m, std::size_t n) {
  ByteReader r(m, n);
  const uint32_t group = r.U32(rq::kDeleteGroupGroupIdOffset);
  auto it = group <= 0xFFFF ? me.groups.find(static_cast<uint16_t>(group)) : me.groups.end();
  if (it == me.groups.end()) {
    out_.Log(0, "  delete group " + std::to_string(group) + " refused: no such group");
    Send(me.session, DelGroupResult(kGroupFailed, static_cast<uint16_t>(group)));
    return;
  }
  const uint16_t id = it->first;
  const uint16_t parent = it->second.parent;
  me.groups.erase(it);
  // Members go where the client puts them: under the deleted group's parent.
  std::size_t moved = 0;
  for (auto& [fid, gid] : me.friends) {
    if (gid == id) {
      gid = parent;
      ++moved;
    }
  }
  for (auto& [gid, g] : me.groups) {
    if (g.parent == id) g.parent = parent;
  }
  for (auto& [key, gid] : dir_.pending) {
    if (key.first == me.id && gid == id) gid = parent;
  }
  out_.Log(0, "  deleted group " + std::to_string(id) + ", " + std::to_string(moved) +
                  " member(s) refiled under " + std::to_string(parent));
  Send(me.session, DelGroupResult(kGroupOk, id));
}

void ServerState::OnInOutGs(Account& me, const uint8_t* m, std::size_t n) {
  ByteReader r(m, n);
  const bool enter = r.U8(rq::kInOutGsEnterOffset) != 0;
  const uint16_t gs = r.U16(rq::kInOutGsGameServerIdOffset);
  me.gameServer = enter ? gs : 0;
  out_.Log(0, std::string("  ") + (enter ? "entered" : "left") + " game server " +
                  std::to_string(gs));
  NotifyWatchers(me.id, InOutGsNotify(enter, me.id, gs));
}

void ServerState::OnChat(Account& me, const uint8_t* m, std::size_t n) {
  ByteReader r(m, n);
  const uint32_t peer = r.U32(rq::kChatPeerUserIdOffset);
  auto it = dir_.accounts.find(peer);
  if (it == dir_.accounts.end()) {
    out_.Log(0, "  chat to unknown user " + std::to_string(peer) + " dropped");
    return;
  }
  Account& to = it->second;
  if (to.session != 0) {
    out_.Log(0, "  chat to " + Who(peer) + " forwarded");
    Send(to.session, UserChat(m, n, me.id));
    return;
  }
  OfflineChat chat;
  chat.senderId = me.id;
  chat.senderName = me.name;
  chat.chat1 = r.U8(rq::kChatValue1Offset);
  chat.chat2 = r.U8(rq::kChatValue2Offset);
  chat.chat3 = r.U8(rq::kChatValue3Offset);
  chat.sentAt = clock_();
  chat.text = FieldText(r, rq::kChatTextOffset, rq::kChatTextWidth - 1);
  if (to.offline.size() >= kMaxOfflinePerUser) to.offline.pop_front();
  to.offline.push_back(std::move(chat));
  out_.Log(0, "  chat to " + Who(peer) + " stored for later (" +
                  std::to_string(to.offline.size()) + " waiting)");
}

void ServerState::OnSearch(Account& me, const uint8_t* m, std::size_t n) {
  ByteReader r(m, n);
  const bool hasName = r.U16(rq::kSearchUserHasNameOffset) != 0;
  const std::string name =
      hasName ? FieldText(r, rq::kSearchUserNameOffset, rq::kSearchUserNameWidth) : "";
  std::vector<UserView> found;
  for (const auto& [id, a] : dir_.accounts) {
    if (found.size() >= kMaxSearchResults) break;
    if (name.empty() || a.name.find(name) != std::string::npos) {
      UserView v = PublicView(a);
      v.gmLevel = 0;
      found.push_back(v);
    }
  }
  out_.Log(0, "  search '" + PrintableGbk(name) + "': " + std::to_string(found.size()) +
                  " match(es)");
  for (Bytes& b : SearchList(found)) Send(me.session, std::move(b));
}

void ServerState::BroadcastSystem(uint32_t type, const std::string& textGbk) {
  for (const auto& [id, a] : dir_.accounts) {
    if (a.session != 0) Send(a.session, SystemMessage(type, textGbk));
  }
}

void ServerState::BroadcastInfo(uint32_t flags, const std::string& textGbk) {
  for (const auto& [id, a] : dir_.accounts) {
    if (a.session != 0) Send(a.session, InfoMessage(flags, 0, textGbk));
  }
}

bool ServerState::Kick(uint32_t userId) {
  auto it = dir_.accounts.find(userId);
  if (it == dir_.accounts.end() || it->second.session == 0) return false;
  const SessionId session = it->second.session;
  out_.Log(0, "#" + std::to_string(session) + " " + Who(userId) + " kicked");
  Send(session, UserLogout());
  EndLogin(session, true);
  return true;
}

std::vector<std::string> ServerState::OnlineUsers() const {
  std::vector<std::string> out;
  for (const auto& [id, a] : dir_.accounts) {
    if (a.session == 0) continue;
    auto s = sessions_.find(a.session);
    out.push_back(std::to_string(id) + " " + a.nameUtf8 + " gs=" + std::to_string(a.gameServer) +
                  " " + (s != sessions_.end() ? s->second.peer : std::string("?")));
  }
  return out;
}

}  // namespace server
}  // namespace kelvo
