// User and presence handlers: the own user list, the add / remove / move
// results, game-server and online-state notices, add requests and game-master
// presence. They keep UserTable and RequestTable in step with the server and
// tell the host what changed.
//
// Every handler runs under the delivery's CallScope. A sink callback may call
// back into the client (Close empties the tables, Release drops the sink), so
// each sink call re-reads sink_, and nothing that points into a table is used
// after a callback returns: a later step looks its entry up again.
#include <cstddef>
#include <cstdint>

#include "core/im_server_client.h"
#include "protocol/byte_io.h"
#include "protocol/entry_walker.h"
#include "protocol/message_ids.h"
#include "roster/entry_text.h"
#include "roster/roster_layouts.h"
#include "sink/texts.h"

namespace kelvo {

uint32_t ImServerClient::HandleMyUserList(uint32_t, uint8_t* message) {
  const std::size_t length = MessageLength(message);
  const uint8_t* const end = message + length;
  // One pass: each entry is written straight into the stored record (a new
  // one starts as zeros), and the key order takes the list's new keys when
  // the list is done. No list holds more entries than its bytes allow.
  UserMap::Loader load(UserTable,
                       length > kHeaderSize ? (length - kHeaderSize) / kUserEntryMinSize : 0);
  // Entries too short to hold the fixed fields and a terminated name, and
  // entries longer than a 31-byte name needs, are passed over; an entry that
  // runs past the message ends the list.
  WalkEntries(message, length, kUserEntryMinSize, kUserEntryMaxSize,
              [&load, end](const uint8_t* entry, std::size_t) {
                // The walker hands over entries of kUserEntryMinSize bytes or
                // more: the fixed fields are all there.
                const FixedReader<kUserEntryMinSize> in(entry);
                load.Store(in.U32<kUserEntryUserId>(), [&in, entry, end](UserRecord& user) {
                  user.relation = in.U8<kUserEntryRelation>();
                  user.groupId = in.U16<kUserEntryGroupId>();
                  user.gameServerId = in.U16<kUserEntryGameServerId>();
                  user.gmLevel = 0;
                  user.attr1 = in.U16<kUserEntryAttr1>();
                  user.attr2 = in.U16<kUserEntryAttr2>();
                  user.attr3 = in.U8<kUserEntryAttr3>();
                  user.attrFlag = in.U8<kUserEntryAttrFlag>() != 0 ? 1 : 0;
                  user.onlineState = in.U8<kUserEntryOnlineState>();
                  // The walker has ended the name at the entry's last byte.
                  const uint8_t* const name = entry + kUserEntryName;
                  CopyTerminatedText<sizeof user.name>(user.name, name,
                                                       static_cast<std::size_t>(end - name));
                });
              });
  NoteLoginData(kLoginDataFriends);
  return 0;
}

uint32_t ImServerClient::HandleAddUserResult(uint32_t, uint8_t* message) {
  const std::size_t length = MessageLength(message);
  const ByteReader in(message, length);
  const uint32_t userId = in.U32(kAddUserResultUserId);
  if (userId == 0) return FormatLog(0, kTextAddUserFailedZeroId, userId);

  UserRecord user{};
  user.userId = userId;
  user.relation = in.U8(kAddUserResultRelation);
  user.attr3 = in.U8(kAddUserResultAttr3);
  user.attrFlag = in.U8(kAddUserResultAttrFlag);
  user.onlineState = in.U8(kAddUserResultOnlineState);
  user.groupId = in.U16(kAddUserResultGroupId);
  user.attr2 = in.U16(kAddUserResultAttr2);
  user.gameServerId = in.U16(kAddUserResultGameServerId);
  user.attr1 = in.U16(kAddUserResultAttr1);
  // The name is not terminated in the message: it ends at its first 0, at
  // 32 bytes or at the message's end, whichever comes first.
  in.Text(kAddUserResultName, user.name, sizeof user.name);

  const uint32_t result = in.U32(kAddUserResultCode);
  if (result == 3) {
    // The user is now on the roster: a known user was moved, a new one added.
    if (UserTable.Put(user)) {
      if (sink_) sink_->OnAddUserResult(2, &user);
    } else {
      if (sink_) sink_->OnMoveUserResult(3, userId);
    }
    return 0;
  }
  if (result == 2) {
    if (sink_) sink_->OnAddUserReply(0, &user);
    return 0;
  }
  uint32_t code = 0;
  if (result == 1) {
    code = 1;
  } else if (result >= 4 && result <= 14) {
    code = result - 1;
  }
  if (sink_) sink_->OnAddUserResult(code, &user);
  return 0;
}

uint32_t ImServerClient::HandleRemoveUserResult(uint32_t, uint8_t* message) {
  const ByteReader in(message, MessageLength(message));
  uint32_t userId = in.U32(kRemoveUserResultUserId);
  if (userId == 0) return FormatLog(0, kTextRemoveUserFailedZeroId, userId);
  if (MyInfo.userId == 0) return FormatLog(0, kTextRemoveUserNoMyInfo);
  // When the own user is named, the removal is about the other party.
  if (userId == MyInfo.userId) userId = in.U32(kRemoveUserResultOtherUserId);

  const uint32_t result = in.U32(kRemoveUserResultCode);
  if (result != 2 && result != 3) {
    if (sink_) sink_->OnRemoveUserResult(result == 1 ? 1 : 0, userId);
    return 0;
  }
  UserRecord* const entry = UserTable.Find(userId);
  if (entry == nullptr) return FormatLog(0, kTextRemoveUserUnknown, userId);
  if (result == 2) {
    // The entry stays, refiled as a one-sided relation.
    entry->relation = 3;
    entry->groupId = 3;
    if (sink_) sink_->OnMoveUserResult(3, userId);
  } else {
    UserTable.Erase(userId);
    if (sink_) sink_->OnRemoveUserResult(2, userId);
  }
  return 0;
}

uint32_t ImServerClient::HandleInOutGsNotify(uint32_t, uint8_t* message) {
  const ByteReader in(message, MessageLength(message));
  const uint32_t userId = in.U32(kInOutGsUserId);
  UserRecord* const entry = UserTable.Find(userId);
  if (entry == nullptr) return FormatLog(0, kTextGameServerUserUnknown, userId);
  const bool entered = in.U8(kInOutGsFlag) != 0;
  entry->gameServerId = entered ? in.U16(kInOutGsGameServerId) : 0;
  if (sink_) {
    if (entered) {
      sink_->OnUserEnterGameServer(userId);
    } else {
      sink_->OnUserLeaveGameServer(userId);
    }
  }
  return 0;
}

// What one presence message does. After the callback its fields are read
// again from the message (which nothing else writes) rather than kept
// across the call: on the run handler's path that leaves the registers to
// the loop.
inline uint32_t ImServerClient::OnlineStateChange(const uint8_t* message) {
  const FixedReader<kOnlineStateSize> in(message);
  const uint32_t userId = in.U32<kOnlineStateUserId>();
  UserRecord* const entry = UserTable.Find(userId);
  if (entry == nullptr) return FormatLog(0, kTextOnlineStateUserUnknown, userId);
  entry->onlineState = in.U8<kOnlineStateState>();
  // The host hears of the change while the record still shows the game server
  // the user was on; going offline clears it only afterwards.
  if (sink_) sink_->OnOnlineStateChanged(userId);
  if (in.U8<kOnlineStateState>() == 1) {
    // The callback may have closed the client or removed the user.
    UserRecord* const again = UserTable.Find(in.U32<kOnlineStateUserId>());
    if (again != nullptr) again->gameServerId = 0;
  }
  return 0;
}

uint32_t ImServerClient::HandleOnlineStateNotify(uint32_t, uint8_t* message) {
  return OnlineStateChange(message);
}

uint8_t* ImServerClient::RunOnlineStateNotify(uint8_t* m, const uint8_t* last, uint32_t seen) {
  constexpr uint32_t kHead = Head(IM_MSG_ID_ONLINE_STATE_NOTIFY, kOnlineStateSize);
  try {
    while (m < last && HasHead(m, kHead)) {
      m += kOnlineStateSize;  // handled from here on, also when a callback throws
      OnlineStateChange(m - kOnlineStateSize);
      if (!RunGoesOn(seen)) break;
    }
  } catch (...) {
    CallbackThrew(kTextCallbackThrewMessage, unsigned{IM_MSG_ID_ONLINE_STATE_NOTIFY});
  }
  return m;
}

uint32_t ImServerClient::HandleAddUserRequest(uint32_t, uint8_t* message) {
  const std::size_t length = MessageLength(message);
  const ByteReader in(message, length);
  const uint32_t userId = in.U32(kAddRequestUserId);
  // The first request stands until it is answered.
  if (RequestTable.Find(userId) != nullptr) {
    return FormatLog(0, kTextAddRequestDuplicate, userId);
  }

  UserRecord user{};
  user.userId = userId;
  user.relation = in.U8(kAddRequestRelation);
  user.groupId = in.U16(kAddRequestGroupId);
  user.attr2 = in.U16(kAddRequestAttr2);
  user.gameServerId = in.U16(kAddRequestGameServerId);
  user.gmLevel = in.U32(kAddRequestGmLevel);
  user.onlineState = in.U8(kAddRequestOnlineState);
  user.attr1 = in.U16(kAddRequestAttr1);
  user.attr3 = in.U8(kAddRequestAttr3);
  user.attrFlag = in.U8(kAddRequestAttrFlag);
  in.Text(kAddRequestName, user.name, sizeof user.name);
  RequestTable.Put(user);
  if (sink_) sink_->OnAddUserRequest(userId);
  return 0;
}

uint32_t ImServerClient::HandleGmOnlineNotify(uint32_t, uint8_t* message) {
  const std::size_t length = MessageLength(message);
  // The name runs to the message's end: terminate it in place before any
  // field is read. A message that ends before the name carries none, and its
  // last byte belongs to a fixed field, which is left as sent.
  if (length > kGmOnlineName) ByteWriter(message, length).U8(length - 1, 0);
  const ByteReader in(message, length);
  const uint32_t userId = in.U32(kGmOnlineUserId);
  const uint8_t state = in.U8(kGmOnlineState);
  UserRecord* const entry = UserTable.Find(userId);

  if (state == 1) {
    if (entry == nullptr) return 0;
    UserTable.Erase(userId);
    if (sink_) sink_->OnRemoveUserResult(2, userId);
    return 0;
  }
  if (entry != nullptr) {
    entry->onlineState = state;
    if (sink_) sink_->OnOnlineStateChanged(userId);
    return 0;
  }

  UserRecord user{};
  user.userId = userId;
  user.relation = kGmRelation;
  user.groupId = in.U16(kGmOnlineGroupId);
  user.gmLevel = in.U32(kGmOnlineGmLevel);
  user.onlineState = state;
  user.attr3 = in.U8(kGmOnlineAttr3);
  user.attrFlag = in.U8(kGmOnlineAttrFlag);
  user.attr2 = in.U16(kGmOnlineAttr2);
  user.attr1 = in.U16(kGmOnlineAttr1);
  user.gameServerId = 0;
  in.Text(kGmOnlineName, user.name, sizeof user.name);
  UserTable.Put(user);
  if (sink_) sink_->OnAddUserResult(2, &user);
  return 0;
}

uint32_t ImServerClient::HandleMoveUserResult(uint32_t, uint8_t* message) {
  const ByteReader in(message, MessageLength(message));
  const uint32_t userId = in.U32(kMoveUserResultUserId);
  if (userId == 0) return FormatLog(0, kTextMoveUserFailedZeroId, userId);

  const uint32_t result = in.U32(kMoveUserResultCode);
  if (result == 3) {
    UserRecord* const entry = UserTable.Find(userId);
    if (entry == nullptr) return FormatLog(0, kTextMoveUserUnknown, userId);
    entry->groupId = in.U16(kMoveUserResultGroupId);
    if (sink_) sink_->OnMoveUserResult(3, userId);
    return 0;
  }
  const bool known = result == 1 || result == 2 || (result >= 4 && result <= 9);
  if (sink_) sink_->OnMoveUserResult(known ? result : 0, userId);
  return 0;
}

}  // namespace kelvo
