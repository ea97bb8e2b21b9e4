// Message ids of the protocol. Every message carries category 11.
#ifndef KELVO_PROTOCOL_MESSAGE_IDS_H_
#define KELVO_PROTOCOL_MESSAGE_IDS_H_

#include <cstddef>
#include <cstdint>

#include "nimbo2/msg_head.h"

namespace kelvo {

inline constexpr uint8_t IM_MSG_CATEGORY = 11;
inline constexpr std::size_t kHeaderSize = 4;

// Outbound requests.
inline constexpr uint8_t IM_MSG_ID_LOGOUT = 2;
inline constexpr uint8_t IM_MSG_ID_ADD_USER = 3;
inline constexpr uint8_t IM_MSG_ID_REMOVE_USER = 4;
inline constexpr uint8_t IM_MSG_ID_ADD_GROUP = 5;
inline constexpr uint8_t IM_MSG_ID_DEL_GROUP = 6;
inline constexpr uint8_t IM_MSG_ID_MODIFY_GROUP = 7;
inline constexpr uint8_t IM_MSG_ID_MOVE_USER = 8;
inline constexpr uint8_t IM_MSG_ID_SEARCH_USER = 10;
inline constexpr uint8_t IM_MSG_ID_REPLY_ADD_USER = 11;
inline constexpr uint8_t IM_MSG_ID_IN_OUT_GS = 12;
inline constexpr uint8_t IM_MSG_ID_LOGIN = 13;

// Inbound messages (73 travels both ways).
inline constexpr uint8_t IM_US_MSG_SEND_MESSAGE = 9;
inline constexpr uint8_t IM_MSG_ID_SERVER_INFO = 45;
inline constexpr uint8_t IM_MSG_ID_MY_GROUP_LIST = 46;
inline constexpr uint8_t IM_MSG_MY_USER_LIST = 47;
inline constexpr uint8_t IM_MSG_ID_MY_USERDATA = 48;
inline constexpr uint8_t IM_MSG_ID_MY_GROUP_LIST_2 = 49;
inline constexpr uint8_t IM_MSG_MY_USER_LIST_2 = 50;
inline constexpr uint8_t IM_MSG_ID_MY_LOGIN_OK = 51;
inline constexpr uint8_t IM_MSG_ID_LOGIN_FAIL = 52;
inline constexpr uint8_t IM_MSG_ID_USER_LOGOUT = 53;
inline constexpr uint8_t IM_MSG_ID_ADD_USER_RESULT = 54;
inline constexpr uint8_t IM_MSG_ID_REMOVE_USER_RESULT = 55;
inline constexpr uint8_t IM_MSG_ID_IN_OUT_GS_NOTIFY = 56;
inline constexpr uint8_t IM_MSG_ID_ADD_GROUP_RESULT = 58;
inline constexpr uint8_t IM_MSG_ID_UPDATE_GROUP_RESULT = 59;
inline constexpr uint8_t IM_MSG_ID_DEL_GROUP_RESULT = 60;
inline constexpr uint8_t IM_MSG_ID_ONLINE_STATE_NOTIFY = 61;
inline constexpr uint8_t IM_MSG_ID_SYSTEM_MESSAGE = 62;
inline constexpr uint8_t IM_MSG_ID_INFO_MSG = 63;
inline constexpr uint8_t IM_MSG_ID_ADD_USER_REQUEST = 64;
inline constexpr uint8_t IM_MSG_ID_GM_ONLINE_NOTIFY = 65;
inline constexpr uint8_t IM_MSG_ID_MODIFY_GROUP_RESULT = 66;
inline constexpr uint8_t IM_MSG_ID_MOVE_USER_RESULT = 67;
inline constexpr uint8_t IM_US_MSG_SEND_MESSAGE_EX = 68;
inline constexpr uint8_t IM_MSG_ID_OFFLINE_MESSAGE_2 = 70;
inline constexpr uint8_t IM_MSG_ID_SEARCH_USER_RES = 71;
inline constexpr uint8_t IM_MSG_ID_SEARCH_USER_RES_LIST = 72;
inline constexpr uint8_t IM_MSG_ID_USER_CHAT = 73;

// L, a message's total length from its header (bit 15 is a flag). Handlers
// use it after the dispatcher has held it against the id's size rule and
// the bytes delivered.
inline std::size_t MessageLength(const uint8_t* message) {
  return Nimbo2::NimboMsgHead::Length(message);
}

// The header word of a message of `id` and total length `length`: its four
// header bytes as one little-endian word, flag bits clear. HasHead tells
// whether a message has that length, category and id, whatever its flags.
inline constexpr uint32_t Head(uint8_t id, std::size_t length) {
  return static_cast<uint32_t>(length) | (uint32_t{IM_MSG_CATEGORY} << 18) | (uint32_t{id} << 24);
}
inline bool HasHead(const uint8_t* message, uint32_t head) {
  constexpr uint32_t kWithoutFlags = 0xFFFC7FFFu;
  const uint32_t word =
      static_cast<uint32_t>(message[0]) | (static_cast<uint32_t>(message[1]) << 8) |
      (static_cast<uint32_t>(message[2]) << 16) | (static_cast<uint32_t>(message[3]) << 24);
  // Flags are rarely set: the first comparison settles most messages.
  return word == head || (word & kWithoutFlags) == head;
}

// Result of HandleMessage for an undefined id or a broken size rule.
inline constexpr uint32_t kResultFail = 0x80004005;  // E_FAIL

}  // namespace kelvo

#endif  // KELVO_PROTOCOL_MESSAGE_IDS_H_
