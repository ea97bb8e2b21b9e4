#include "messages.h"

#include <cstring>

#include "messaging/messaging_layouts.h"
#include "nimbo2/msg_head.h"
#include "protocol/byte_io.h"
#include "protocol/message_ids.h"
#include "roster/roster_layouts.h"

namespace kelvo {
namespace server {
namespace {

// The list messages (46, 47) are taken by the client up to this total length.
constexpr std::size_t kMaxRosterListSize = 1440;

// Entry lengths of the list messages: the fixed part, the name and its
// terminator.
std::size_t UserEntrySize(const std::string& name) {
  std::size_t n = name.size() < kUserNameWidth - 1 ? name.size() : kUserNameWidth - 1;
  return kUserEntryName + n + 1;
}
std::size_t GroupEntrySize(const std::string& name) {
  std::size_t n = name.size() < kGroupNameWidth - 1 ? name.size() : kGroupNameWidth - 1;
  return kGroupEntryName + n + 1;
}
std::size_t SearchEntrySize(const std::string& name) {
  namespace sl = layout::search_user_res_list;
  std::size_t n = name.size() < sl::kNameWidth ? name.size() : sl::kNameWidth;
  return sl::kEntryName + n + 1;
}

void WriteUserEntry(ByteWriter& w, std::size_t at, const UserView& u) {
  const std::size_t e = UserEntrySize(u.name);
  w.U8(at + kUserEntryLength, static_cast<uint8_t>(e));
  w.U32(at + kUserEntryUserId, u.userId);
  w.U8(at + kUserEntryRelation, u.relation);
  w.U8(at + kUserEntryOnlineState, u.onlineState);
  w.U16(at + kUserEntryGroupId, u.groupId);
  w.U16(at + kUserEntryGameServerId, u.gameServerId);
  w.Text(at + kUserEntryName, e - kUserEntryName, u.name.c_str());
  w.U8(at + e - 1, 0);
}

void WriteGroupEntry(ByteWriter& w, std::size_t at, const GroupView& g) {
  const std::size_t e = GroupEntrySize(g.name);
  w.U8(at + kGroupEntryLength, static_cast<uint8_t>(e));
  w.U16(at + kGroupEntryGroupId, g.groupId);
  w.U16(at + kGroupEntryParentGroupId, g.parentGroupId);
  w.U8(at + kGroupEntryGroupKind, g.groupKind);
  w.Text(at + kGroupEntryName, e - kGroupEntryName, g.name.c_str());
  w.U8(at + e - 1, 0);
}

void WriteSearchEntry(ByteWriter& w, std::size_t at, const UserView& u) {
  namespace sl = layout::search_user_res_list;
  const std::size_t e = SearchEntrySize(u.name);
  w.U8(at + sl::kEntryLength, static_cast<uint8_t>(e));
  w.U32(at + sl::kEntryUserId, u.userId);
  w.U8(at + sl::kEntryOnlineState, u.onlineState);
  w.U16(at + sl::kEntryGameServerId, u.gameServerId);
  w.Text(at + sl::kEntryName, e - sl::kEntryName, u.name.c_str());
  w.U8(at + e - 1, 0);
}

// Packs entries into messages of at most `maxSize` bytes each. `sizeOf`
// gives an entry's length, `write` puts it at an offset.
template <typename T, typename SizeFn, typename WriteFn>
std::vector<Bytes> PackList(uint8_t id, std::size_t maxSize, const std::vector<T>& items,
                            SizeFn sizeOf, WriteFn write) {
  std::vector<Bytes> out;
  std::size_t i = 0;
  do {
    std::size_t total = kHeaderSize;
    std::size_t end = i;
    while (end < items.size() && total + sizeOf(items[end]) <= maxSize) {
      total += sizeOf(items[end]);
      ++end;
    }
    Bytes m = NewMessage(id, total);
    ByteWriter w(m.data(), m.size());
    std::size_t at = kHeaderSize;
    for (; i < end; ++i) {
      write(w, at, items[i]);
      at += sizeOf(items[i]);
    }
    out.push_back(std::move(m));
  } while (i < items.size());
  return out;
}

// A message whose text runs to its end: the fixed part, the text cut to the
// longest the client takes, and the terminator the client will write anyway.
Bytes TextMessage(uint8_t id, std::size_t textOffset, const std::string& text) {
  std::size_t n = text.size() < layout::kMaxText - 1 ? text.size() : layout::kMaxText - 1;
  Bytes m = NewMessage(id, textOffset + n + 1);
  ByteWriter w(m.data(), m.size());
  w.Bytes(textOffset, text.data(), n);
  return m;
}

}  // namespace

Bytes NewMessage(uint8_t id, std::size_t size) {
  Bytes m(size < kHeaderSize ? kHeaderSize : size, 0);
  Nimbo2::NimboMsgHead head;
  head.SetHead(static_cast<unsigned short>(m.size()), IM_MSG_CATEGORY, id, false, false, true);
  std::memcpy(m.data(), head.bytes, kHeaderSize);
  return m;
}

Bytes ServerInfo() { return NewMessage(IM_MSG_ID_SERVER_INFO, layout::server_info::kSize); }
Bytes LoginOk() { return NewMessage(IM_MSG_ID_MY_LOGIN_OK, layout::login_ok::kSize); }
Bytes UserLogout() { return NewMessage(IM_MSG_ID_USER_LOGOUT, layout::user_logout::kSize); }

Bytes LoginFail(const std::string& reasonGbk) {
  namespace lf = layout::login_fail;
  Bytes m = NewMessage(IM_MSG_ID_LOGIN_FAIL, lf::kSize);
  ByteWriter w(m.data(), m.size());
  // Leave the field's last byte 0 so the reason is always terminated.
  w.Text(lf::kReason, lf::kReasonWidth - 1, reasonGbk.c_str());
  return m;
}

Bytes MyUserData(const UserView& me) {
  namespace ud = layout::my_userdata;
  Bytes m = NewMessage(IM_MSG_ID_MY_USERDATA, ud::kFullSize);
  ByteWriter w(m.data(), m.size());
  w.U32(ud::kUserId, me.userId);
  w.U8(ud::kRelation, me.relation);
  w.U8(ud::kOnlineState, me.onlineState);
  w.U16(ud::kGroupId, me.groupId);
  w.U16(ud::kGameServerId, me.gameServerId);
  w.U32(ud::kGmLevel, me.gmLevel);
  // The client zeroes the message's last byte, the name field's last.
  w.Text(ud::kName, ud::kNameWidth - 1, me.name.c_str());
  return m;
}

std::vector<Bytes> GroupList(const std::vector<GroupView>& groups) {
  return PackList(IM_MSG_ID_MY_GROUP_LIST, kMaxRosterListSize, groups,
                  [](const GroupView& g) { return GroupEntrySize(g.name); }, WriteGroupEntry);
}

std::vector<Bytes> UserList(const std::vector<UserView>& users) {
  return PackList(IM_MSG_MY_USER_LIST, kMaxRosterListSize, users,
                  [](const UserView& u) { return UserEntrySize(u.name); }, WriteUserEntry);
}

std::vector<Bytes> SearchList(const std::vector<UserView>& users) {
  return PackList(IM_MSG_ID_SEARCH_USER_RES_LIST, layout::search_user_res_list::kMaxSize, users,
                  [](const UserView& u) { return SearchEntrySize(u.name); }, WriteSearchEntry);
}

Bytes AddUserResult(uint32_t code, const UserView& user) {
  Bytes m = NewMessage(IM_MSG_ID_ADD_USER_RESULT, kAddUserResultSize);
  ByteWriter w(m.data(), m.size());
  w.U32(kAddUserResultCode, code);
  w.U8(kAddUserResultRelation, user.relation);
  w.U32(kAddUserResultUserId, user.userId);
  w.U8(kAddUserResultOnlineState, user.onlineState);
  w.U16(kAddUserResultGroupId, user.groupId);
  w.U16(kAddUserResultGameServerId, user.gameServerId);
  w.Text(kAddUserResultName, kUserNameWidth, user.name.c_str());
  return m;
}

Bytes RemoveUserResult(uint32_t code, uint32_t otherUserId, uint32_t userId) {
  Bytes m = NewMessage(IM_MSG_ID_REMOVE_USER_RESULT, kRemoveUserResultSize);
  ByteWriter w(m.data(), m.size());
  w.U32(kRemoveUserResultCode, code);
  w.U32(kRemoveUserResultOtherUserId, otherUserId);
  w.U32(kRemoveUserResultUserId, userId);
  return m;
}

Bytes MoveUserResult(uint32_t code, uint32_t userId, uint16_t groupId) {
  Bytes m = NewMessage(IM_MSG_ID_MOVE_USER_RESULT, kMoveUserResultSize);
  ByteWriter w(m.data(), m.size());
  w.U32(kMoveUserResultCode, code);
  w.U32(kMoveUserResultUserId, userId);
  w.U16(kMoveUserResultGroupId, groupId);
  return m;
}

Bytes InOutGsNotify(bool entered, uint32_t userId, uint16_t gameServerId) {
  Bytes m = NewMessage(IM_MSG_ID_IN_OUT_GS_NOTIFY, kInOutGsSize);
  ByteWriter w(m.data(), m.size());
  w.U8(kInOutGsFlag, entered ? 1 : 0);
  w.U32(kInOutGsUserId, userId);
  w.U16(kInOutGsGameServerId, gameServerId);
  return m;
}

Bytes OnlineStateNotify(uint32_t userId, uint8_t state) {
  Bytes m = NewMessage(IM_MSG_ID_ONLINE_STATE_NOTIFY, kOnlineStateSize);
  ByteWriter w(m.data(), m.size());
  w.U32(kOnlineStateUserId, userId);
  w.U8(kOnlineStateState, state);
  return m;
}

Bytes AddUserRequest(const UserView& asker) {
  Bytes m = NewMessage(IM_MSG_ID_ADD_USER_REQUEST, kAddRequestSize);
  ByteWriter w(m.data(), m.size());
  w.U32(kAddRequestUserId, asker.userId);
  w.U8(kAddRequestRelation, asker.relation);
  w.U16(kAddRequestGroupId, asker.groupId);
  w.U16(kAddRequestGameServerId, asker.gameServerId);
  w.U32(kAddRequestGmLevel, asker.gmLevel);
  w.U8(kAddRequestOnlineState, asker.onlineState);
  w.Text(kAddRequestName, kUserNameWidth, asker.name.c_str());
  return m;
}

Bytes AddGroupResult(uint32_t code, const GroupView& group) {
  Bytes m = NewMessage(IM_MSG_ID_ADD_GROUP_RESULT, kGroupResultSize);
  ByteWriter w(m.data(), m.size());
  w.U32(kGroupResultCode, code);
  w.U16(kGroupResultGroupId, group.groupId);
  w.U16(kGroupResultParentGroupId, group.parentGroupId);
  w.U8(kGroupResultGroupKind, group.groupKind);
  w.Text(kGroupResultName, kGroupNameWidth, group.name.c_str());
  return m;
}

Bytes ModifyGroupResult(uint32_t code, uint16_t groupId, const std::string& nameGbk) {
  Bytes m = NewMessage(IM_MSG_ID_MODIFY_GROUP_RESULT, kModifyGroupResultSize);
  ByteWriter w(m.data(), m.size());
  w.U32(kModifyGroupResultCode, code);
  w.U16(kModifyGroupResultGroupId, groupId);
  w.Text(kModifyGroupResultName, kGroupNameWidth, nameGbk.c_str());
  return m;
}

Bytes DelGroupResult(uint32_t code, uint16_t groupId) {
  Bytes m = NewMessage(IM_MSG_ID_DEL_GROUP_RESULT, kDelGroupResultSize);
  ByteWriter w(m.data(), m.size());
  w.U32(kDelGroupResultCode, code);
  w.U16(kDelGroupResultGroupId, groupId);
  return m;
}

Bytes UserChat(const uint8_t* request, std::size_t size, uint32_t senderId) {
  Bytes m(request, request + size);
  ByteWriter w(m.data(), m.size());
  w.U32(layout::user_chat::kSender, senderId);
  return m;
}

Bytes OfflineMessage(const OfflineChat& chat) {
  namespace om = layout::offline_message;
  Bytes m = TextMessage(IM_MSG_ID_OFFLINE_MESSAGE_2, om::kText, chat.text);
  ByteWriter w(m.data(), m.size());
  w.U32(om::kSender, chat.senderId);
  w.Text(om::kBlock, om::kBlockSize, chat.senderName.c_str());
  w.U8(om::kChat1, chat.chat1);
  w.U8(om::kChat2, chat.chat2);
  w.U8(om::kChat3, chat.chat3);
  uint64_t bits;
  std::memcpy(&bits, &chat.sentAt, sizeof bits);
  w.U32(om::kValue, static_cast<uint32_t>(bits));
  w.U32(om::kValue + 4, static_cast<uint32_t>(bits >> 32));
  w.U32(om::kExtra, 0);
  return m;
}

Bytes SystemMessage(uint32_t type, const std::string& textGbk) {
  Bytes m = TextMessage(IM_MSG_ID_SYSTEM_MESSAGE, layout::system_message::kText, textGbk);
  ByteWriter w(m.data(), m.size());
  w.U32(layout::system_message::kType, type);
  return m;
}

Bytes InfoMessage(uint32_t flags, uint32_t sender, const std::string& textGbk) {
  Bytes m = TextMessage(IM_MSG_ID_INFO_MSG, layout::info_message::kText, textGbk);
  ByteWriter w(m.data(), m.size());
  w.U32(layout::info_message::kFlags, flags);
  w.U32(layout::info_message::kSender, sender);
  return m;
}

}  // namespace server
}  // namespace kelvo
