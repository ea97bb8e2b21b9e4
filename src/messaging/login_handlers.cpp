// Handlers of the messages that open, describe and end a login: server info,
// the own user's data, login success and failure, forced logout.
//
// MyInfo.userId != 0 is the sign that the own user's data is present; where
// the login as a whole stands is kept by messaging/login_state.cpp.
#include <cstring>

#include "core/im_server_client.h"
#include "messaging/messaging_layouts.h"
#include "nimbo2/msg_head.h"
#include "protocol/message_ids.h"
#include "protocol/byte_io.h"

namespace kelvo {

namespace {

// The text handed over on a successful login: never null.
const char kEmptyText[] = "";

}  // namespace

uint32_t ImServerClient::HandleServerInfo(uint32_t, uint8_t*) {
  // The call comes first so that the host can still look at the old roster
  // from inside it; the server sends the groups and friends anew afterwards.
  if (sink_) sink_->OnServerInfo();
  GroupTable.clear();
  UserTable.clear();
  LoginRosterEmptied();
  return 0;
}

uint32_t ImServerClient::HandleMyUserData(uint32_t, uint8_t* message) {
  namespace f = layout::my_userdata;
  const std::size_t length = MessageLength(message);

  // The name runs to the end of the message: end it in place. A message too
  // short to hold any of the name has no text to end, and zeroing its last
  // byte would only destroy part of a fixed field.
  if (length > f::kName) message[length - 1] = 0;

  // A short message counts as padded with zeros: every field, or the part of
  // it, that lies beyond the message reads as 0.
  const ByteReader in(message, length);
  UserRecord record{};
  record.userId = in.U32(f::kUserId);
  record.attr3 = in.U8(f::kAttr3);
  record.attrFlag = in.U8(f::kAttrFlag);
  record.relation = in.U8(f::kRelation);
  record.onlineState = in.U8(f::kOnlineState);
  record.groupId = in.U16(f::kGroupId);
  record.attr2 = in.U16(f::kAttr2);
  record.gameServerId = in.U16(f::kGameServerId);
  record.gmLevel = in.U32(f::kGmLevel);
  record.attr1 = in.U16(f::kAttr1);
  in.Text(f::kName, record.name, sizeof record.name);

  // userId goes in last: a reader that finds it nonzero finds the rest of
  // the record already in place.
  MyInfo.relation = record.relation;
  MyInfo.groupId = record.groupId;
  MyInfo.gameServerId = record.gameServerId;
  MyInfo.gmLevel = record.gmLevel;
  MyInfo.attr1 = record.attr1;
  MyInfo.attr2 = record.attr2;
  MyInfo.attr3 = record.attr3;
  MyInfo.attrFlag = record.attrFlag;
  MyInfo.onlineState = record.onlineState;
  std::memcpy(MyInfo.name, record.name, sizeof MyInfo.name);
  MyInfo.userId = record.userId;
  // A record without a user id leaves GetMyInfo null: not the own data the
  // login waits for.
  NoteLoginData(record.userId != 0 ? kLoginDataOwn : 0);
  return 0;
}

uint32_t ImServerClient::HandleLoginOk(uint32_t, uint8_t*) {
  // Loading before the call: a host that asks inside OnLoginResult learns
  // that the data is still to come.
  LoginAnswered();
  if (sink_) sink_->OnLoginResult(1, kEmptyText);
  return 0;
}

uint32_t ImServerClient::HandleLoginFail(uint32_t, uint8_t* message) {
  namespace f = layout::login_fail;
  const std::size_t length = MessageLength(message);

  // A reason that fills its whole field has no terminator of its own; the
  // message's last byte becomes it, so the host never reads past the message.
  const char* reason = kEmptyText;
  if (length > f::kReason) {
    message[length - 1] = 0;
    reason = reinterpret_cast<const char*>(message + f::kReason);
  }

  // The host must find the login's data gone when it hears of the refusal.
  ClearLoginData();
  if (sink_) sink_->OnLoginResult(0, reason);
  return 0;
}

uint32_t ImServerClient::HandleUserLogout(uint32_t, uint8_t*) {
  ClearLoginData();
  if (sink_) sink_->OnLogout();
  return 0;
}

}  // namespace kelvo
