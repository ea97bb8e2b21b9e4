// The requests the host makes of the messaging server.
//
// Each operation builds one complete message of its fixed size in a zeroed
// buffer on its own stack, so every byte that no field covers goes out as 0,
// and hands it to the socket client in one SendMsg call. The socket client
// copies the message before SendMsg returns, so the buffer may end with the
// call. Nothing here allocates or ties a later answer to the request: the
// bool result only says whether the socket client took it. The one state
// kept is that a login is under way once Login's message was taken
// (GetLoginState).
//
// Host texts are never trusted to be terminated within their field: every
// length is counted with a bound, so an unterminated or over-long text is
// read no further than the field it would go into.
#include <array>
#include <cstring>

#include "core/im_server_client.h"
#include "nimbo2/msg_head.h"
#include "protocol/byte_io.h"
#include "protocol/message_ids.h"
#include "protocol/request_layouts.h"
#include "sink/texts.h"

namespace kelvo {

using namespace request;

namespace {

// Writes the header for a request of `size` bytes with message id `id`. The
// three flags are always false, false, true for requests.
void WriteHead(ByteWriter& out, std::size_t size, uint8_t id) {
  Nimbo2::NimboMsgHead head{};
  head.SetHead(static_cast<unsigned short>(size), IM_MSG_CATEGORY, id, false, false, true);
  out.Bytes(0, head.bytes, Nimbo2::NimboMsgHead::kSize);
}

// Bytes of `text` before its terminator, looking at no more than `limit`
// bytes: a result equal to `limit` means "limit or more".
std::size_t BoundedLength(const char* text, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return n;
}

}  // namespace

bool ImServerClient::Send(uint8_t* message, std::size_t size) {
  if (socket_ == nullptr) return false;
  return socket_->SendMsg(nullptr, message, static_cast<int>(size));
}

bool ImServerClient::Login(uint32_t userId, const uint8_t* password, const uint8_t* extra) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;
  if (password == nullptr) return false;

  std::array<uint8_t, kLoginSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_LOGIN);
  out.U32(kLoginUserIdOffset, userId);
  out.U8(kLoginMarkerOffset, kLoginMarker);
  out.Bytes(kLoginPasswordOffset, password, kLoginPasswordWidth);
  // Older hosts pass no extra block; the server reads zeros as "none".
  out.Bytes(kLoginExtraOffset, extra, kLoginExtraWidth);
  if (!Send(message.data(), message.size())) return false;
  LoginSent();
  // What a reconnection logs in with.
  reconnect_.RememberLogin(userId, password, extra);
  return true;
}

bool ImServerClient::Logout(uint32_t userId) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;

  std::array<uint8_t, kLogoutSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_LOGOUT);
  out.U32(kLogoutUserIdOffset, userId);
  if (!Send(message.data(), message.size())) return false;
  // Logged out on purpose: a reconnection does not log back in.
  reconnect_.ForgetLogin();
  return true;
}

bool ImServerClient::AddUser(uint32_t value1, uint32_t value2, uint32_t value3) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;

  std::array<uint8_t, kAddUserSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_ADD_USER);
  out.U32(kAddUserValue1Offset, value1);
  out.U32(kAddUserValue3Offset, value3);
  out.U32(kAddUserValue2Offset, value2);
  return Send(message.data(), message.size());
}

bool ImServerClient::RemoveUser(uint32_t userId) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;

  std::array<uint8_t, kRemoveUserSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_REMOVE_USER);
  out.U32(kRemoveUserUserIdOffset, userId);
  return Send(message.data(), message.size());
}

bool ImServerClient::AddGroup(uint32_t value1, uint32_t value2, const char* name) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;
  // The server wants a terminated name of 1 to 63 bytes in the 64-byte field.
  if (name == nullptr) return false;
  const std::size_t length = BoundedLength(name, kAddGroupNameWidth);
  if (length == 0 || length >= kAddGroupNameWidth) return false;

  std::array<uint8_t, kAddGroupSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_ADD_GROUP);
  out.U32(kAddGroupValue1Offset, value1);
  out.U32(kAddGroupValue2Offset, value2);
  out.Text(kAddGroupNameOffset, kAddGroupNameWidth, name);
  return Send(message.data(), message.size());
}

bool ImServerClient::DeleteGroup(uint32_t groupId) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;

  std::array<uint8_t, kDeleteGroupSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_DEL_GROUP);
  out.U32(kDeleteGroupGroupIdOffset, groupId);
  return Send(message.data(), message.size());
}

bool ImServerClient::RenameGroup(uint32_t groupId, const char* name) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;
  // Unlike AddGroup, a long name is cut to the field rather than refused; a
  // missing one cannot be sent at all.
  if (name == nullptr) return false;

  std::array<uint8_t, kRenameGroupSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_MODIFY_GROUP);
  out.U32(kRenameGroupGroupIdOffset, groupId);
  out.Text(kRenameGroupNameOffset, kRenameGroupNameWidth, name);
  return Send(message.data(), message.size());
}

bool ImServerClient::MoveUser(uint32_t value1, uint32_t value2, uint32_t value3) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;

  std::array<uint8_t, kMoveUserSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_MOVE_USER);
  out.U32(kMoveUserValue1Offset, value1);
  out.U32(kMoveUserValue2Offset, value2);
  out.U32(kMoveUserValue3Offset, value3);
  return Send(message.data(), message.size());
}

bool ImServerClient::SendChatMessage(uint32_t peerUserId, uint32_t value, const char* text,
                                     uint8_t chat1, uint8_t chat2, uint8_t chat3) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;
  // 1 to 255 bytes, so the text field always carries its terminator.
  if (text == nullptr) return false;
  const std::size_t length = BoundedLength(text, kChatTextWidth);
  if (length == 0 || length >= kChatTextWidth) return false;

  std::array<uint8_t, kChatSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_USER_CHAT);
  out.U32(kChatPeerUserIdOffset, peerUserId);
  out.U32(kChatValueOffset, value);
  out.U8(kChatReservedOffset, 0);
  out.U8(kChatValue1Offset, chat1);
  out.U8(kChatValue2Offset, chat2);
  out.U8(kChatValue3Offset, chat3);
  out.Bytes(kChatPaddingOffset, nullptr, kChatPaddingWidth);
  out.Text(kChatTextOffset, kChatTextWidth, text);
  return Send(message.data(), message.size());
}

void ImServerClient::Request_friend(uint32_t) {
  CallScope scope(this);
  // Friend requests now go through AddUser; the old entry point only tells
  // the host's log that it was called.
  if (sink_ == nullptr) return;
  try {
    sink_->OnLog(kTextRequestFriendUnsupported);
  } catch (...) {
    // Its own OnLog threw: saying so through OnLog once more is all there is.
    CallbackThrew(kTextRequestFriendUnsupported, 0);
  }
}

bool ImServerClient::ReplyAddRequest(uint32_t userId, uint32_t value, bool accept) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;
  const auto pending = RequestTable.find(userId);
  if (pending == RequestTable.end()) return false;
  // The request is answered once: it goes now, whether or not the socket
  // client takes the reply.
  RequestTable.erase(pending);

  // A host compiled elsewhere may hand over any nonzero byte for true; only
  // the byte 1 counts as acceptance. Read the byte itself, not the bool's
  // value, which the compiler may assume to be 0 or 1.
  static_assert(sizeof(bool) == 1, "bool is one byte");
  uint8_t acceptByte = 0;
  std::memcpy(&acceptByte, &accept, sizeof acceptByte);

  std::array<uint8_t, kReplyAddSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_REPLY_ADD_USER);
  out.U32(kReplyAddUserIdOffset, userId);
  out.U32(kReplyAddValueOffset, value);
  out.U32(kReplyAddAcceptOffset, acceptByte == 1 ? 1u : 0u);
  return Send(message.data(), message.size());
}

bool ImServerClient::EnterGameServer(uint16_t gameServerId) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;
  // The own record follows the host's word, not the server's answer: it is
  // set even before own data has arrived and whatever the send returns.
  MyInfo.gameServerId = gameServerId;

  std::array<uint8_t, kInOutGsSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_IN_OUT_GS);
  out.U8(kInOutGsEnterOffset, 1);
  out.U16(kInOutGsGameServerIdOffset, gameServerId);
  return Send(message.data(), message.size());
}

bool ImServerClient::LeaveGameServer(uint16_t gameServerId) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;
  // Cleared locally at once; the message still names the server being left.
  MyInfo.gameServerId = 0;

  std::array<uint8_t, kInOutGsSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_IN_OUT_GS);
  out.U8(kInOutGsEnterOffset, 0);
  out.U16(kInOutGsGameServerIdOffset, gameServerId);
  return Send(message.data(), message.size());
}

bool ImServerClient::SearchUser(uint32_t value1, uint32_t value2, const char* name) {
  CallScope scope(this);
  if (socket_ == nullptr) return false;
  // A name that leaves no room for its terminator is refused rather than
  // cut: a cut name would search for somebody else.
  if (name != nullptr && BoundedLength(name, kSearchUserNameWidth) >= kSearchUserNameWidth) {
    return false;
  }

  std::array<uint8_t, kSearchUserSize> message{};
  ByteWriter out(message.data(), message.size());
  WriteHead(out, message.size(), IM_MSG_ID_SEARCH_USER);
  out.U32(kSearchUserValue1Offset, value1);
  out.U32(kSearchUserValue2Offset, value2);
  out.U16(kSearchUserHasNameOffset, name != nullptr ? 1 : 0);
  out.Text(kSearchUserNameOffset, kSearchUserNameWidth, name);
  return Send(message.data(), message.size());
}

}  // namespace kelvo
