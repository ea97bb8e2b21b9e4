// Layouts of the requests the client sends to the messaging server.
//
// Each request has a fixed total size (kXxxSize, header included) and its
// fields at fixed byte offsets from the start of the message (kXxx...Offset),
// little-endian and packed. The header occupies bytes 0-3 of every request.
// Bytes that no field covers are sent as 0. Text fields have a width
// (kXxx...Width): the text's bytes, then zeros to the end of the field.
//
// The client writes requests with these constants; a server stand-in reads
// them with the same ones, so both sides agree on one definition.
#ifndef KELVO_PROTOCOL_REQUEST_LAYOUTS_H_
#define KELVO_PROTOCOL_REQUEST_LAYOUTS_H_

#include <cstddef>
#include <cstdint>

#include "protocol/message_ids.h"

namespace kelvo {
namespace request {

// Login (IM_MSG_ID_LOGIN, 13).
inline constexpr std::size_t kLoginSize = 58;
inline constexpr std::size_t kLoginUserIdOffset = 4;       // u32
inline constexpr std::size_t kLoginMarkerOffset = 8;       // u8, always kLoginMarker
inline constexpr uint8_t kLoginMarker = 1;
inline constexpr std::size_t kLoginPasswordOffset = 9;     // 16 bytes, copied unchanged
inline constexpr std::size_t kLoginPasswordWidth = 16;
inline constexpr std::size_t kLoginExtraOffset = 25;       // 33 bytes, copied unchanged
inline constexpr std::size_t kLoginExtraWidth = 33;

// Logout (IM_MSG_ID_LOGOUT, 2).
inline constexpr std::size_t kLogoutSize = 8;
inline constexpr std::size_t kLogoutUserIdOffset = 4;      // u32

// AddUser (IM_MSG_ID_ADD_USER, 3). The operation's second and third
// arguments trade places on the wire.
inline constexpr std::size_t kAddUserSize = 16;
inline constexpr std::size_t kAddUserValue1Offset = 4;     // u32, first argument
inline constexpr std::size_t kAddUserValue3Offset = 8;     // u32, third argument
inline constexpr std::size_t kAddUserValue2Offset = 12;    // u32, second argument

// RemoveUser (IM_MSG_ID_REMOVE_USER, 4).
inline constexpr std::size_t kRemoveUserSize = 8;
inline constexpr std::size_t kRemoveUserUserIdOffset = 4;  // u32

// AddGroup (IM_MSG_ID_ADD_GROUP, 5). The name is 1 to 63 bytes, so the field
// always holds its terminator.
inline constexpr std::size_t kAddGroupSize = 76;
inline constexpr std::size_t kAddGroupValue1Offset = 4;    // u32
inline constexpr std::size_t kAddGroupValue2Offset = 8;    // u32
inline constexpr std::size_t kAddGroupNameOffset = 12;     // text
inline constexpr std::size_t kAddGroupNameWidth = 64;

// DeleteGroup (IM_MSG_ID_DEL_GROUP, 6).
inline constexpr std::size_t kDeleteGroupSize = 8;
inline constexpr std::size_t kDeleteGroupGroupIdOffset = 4;  // u32

// RenameGroup (IM_MSG_ID_MODIFY_GROUP, 7). A name of 64 bytes or more fills
// the field with its first 64 bytes and no terminator.
inline constexpr std::size_t kRenameGroupSize = 72;
inline constexpr std::size_t kRenameGroupGroupIdOffset = 4;  // u32
inline constexpr std::size_t kRenameGroupNameOffset = 8;     // text
inline constexpr std::size_t kRenameGroupNameWidth = 64;

// MoveUser (IM_MSG_ID_MOVE_USER, 8), arguments in order.
inline constexpr std::size_t kMoveUserSize = 16;
inline constexpr std::size_t kMoveUserValue1Offset = 4;    // u32
inline constexpr std::size_t kMoveUserValue2Offset = 8;    // u32
inline constexpr std::size_t kMoveUserValue3Offset = 12;   // u32

// SendChatMessage (IM_MSG_ID_USER_CHAT, 73). Same layout as the inbound chat
// message, where offset 4 holds the sender instead of the peer.
inline constexpr std::size_t kChatSize = 279;
inline constexpr std::size_t kChatPeerUserIdOffset = 4;    // u32
inline constexpr std::size_t kChatValueOffset = 8;         // u32
inline constexpr std::size_t kChatReservedOffset = 12;     // u8, sent as 0
inline constexpr std::size_t kChatValue1Offset = 13;       // u8
inline constexpr std::size_t kChatValue2Offset = 14;       // u8
inline constexpr std::size_t kChatValue3Offset = 15;       // u8
inline constexpr std::size_t kChatPaddingOffset = 16;      // 7 bytes, sent as 0
inline constexpr std::size_t kChatPaddingWidth = 7;
inline constexpr std::size_t kChatTextOffset = 23;         // text, 1 to 255 bytes
inline constexpr std::size_t kChatTextWidth = 256;

// ReplyAddRequest (IM_MSG_ID_REPLY_ADD_USER, 11).
inline constexpr std::size_t kReplyAddSize = 16;
inline constexpr std::size_t kReplyAddUserIdOffset = 4;    // u32
inline constexpr std::size_t kReplyAddValueOffset = 8;     // u32
inline constexpr std::size_t kReplyAddAcceptOffset = 12;   // u32, 1 accept / 0 refuse

// EnterGameServer / LeaveGameServer (IM_MSG_ID_IN_OUT_GS, 12).
inline constexpr std::size_t kInOutGsSize = 7;
inline constexpr std::size_t kInOutGsEnterOffset = 4;         // u8, 1 enter / 0 leave
inline constexpr std::size_t kInOutGsGameServerIdOffset = 5;  // u16

// SearchUser (IM_MSG_ID_SEARCH_USER, 10).
inline constexpr std::size_t kSearchUserSize = 46;
inline constexpr std::size_t kSearchUserValue1Offset = 4;    // u32
inline constexpr std::size_t kSearchUserValue2Offset = 8;    // u32
inline constexpr std::size_t kSearchUserHasNameOffset = 12;  // u16, 1 name given / 0 none
inline constexpr std::size_t kSearchUserNameOffset = 14;     // text, at most 31 bytes
inline constexpr std::size_t kSearchUserNameWidth = 32;

// Each layout's last field ends exactly at the request's end.
static_assert(kLoginExtraOffset + kLoginExtraWidth == kLoginSize, "Login layout");
static_assert(kLogoutUserIdOffset + 4 == kLogoutSize, "Logout layout");
static_assert(kAddUserValue2Offset + 4 == kAddUserSize, "AddUser layout");
static_assert(kRemoveUserUserIdOffset + 4 == kRemoveUserSize, "RemoveUser layout");
static_assert(kAddGroupNameOffset + kAddGroupNameWidth == kAddGroupSize, "AddGroup layout");
static_assert(kDeleteGroupGroupIdOffset + 4 == kDeleteGroupSize, "DeleteGroup layout");
static_assert(kRenameGroupNameOffset + kRenameGroupNameWidth == kRenameGroupSize,
              "RenameGroup layout");
static_assert(kMoveUserValue3Offset + 4 == kMoveUserSize, "MoveUser layout");
static_assert(kChatPaddingOffset + kChatPaddingWidth == kChatTextOffset, "chat layout");
static_assert(kChatTextOffset + kChatTextWidth == kChatSize, "chat layout");
static_assert(kReplyAddAcceptOffset + 4 == kReplyAddSize, "ReplyAddRequest layout");
static_assert(kInOutGsGameServerIdOffset + 2 == kInOutGsSize, "game-server layout");
static_assert(kSearchUserNameOffset + kSearchUserNameWidth == kSearchUserSize,
              "SearchUser layout");

}  // namespace request
}  // namespace kelvo

#endif  // KELVO_PROTOCOL_REQUEST_LAYOUTS_H_
