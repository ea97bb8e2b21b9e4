// Wire layouts of the inbound login, chat/notice and search messages.
//
// Offsets count from the start of the message, header included; fields are
// little-endian and byte-packed. The handlers read through these constants,
// and a server (or a test) that builds these messages writes through the same
// ones, so both sides agree on every byte.
//
// kMinSize / kMaxSize are the lengths the dispatcher admits; kFullSize is the
// length of a message that carries every fixed field. A text that runs to the
// end of its message holds at most kMaxText bytes, terminator included.
#ifndef KELVO_MESSAGING_MESSAGING_LAYOUTS_H_
#define KELVO_MESSAGING_MESSAGING_LAYOUTS_H_

#include <cstddef>

namespace kelvo {
namespace layout {

// ---- Login ---------------------------------------------------------------

// IM_MSG_ID_SERVER_INFO (45): the header and 7 bytes the client ignores.
namespace server_info {
inline constexpr std::size_t kSize = 11;
}  // namespace server_info

// IM_MSG_ID_MY_USERDATA (48): the own user's record.
namespace my_userdata {
inline constexpr std::size_t kUserId = 4;        // u32
inline constexpr std::size_t kAttr3 = 8;         // u8
inline constexpr std::size_t kAttrFlag = 9;      // u8, stored as sent
inline constexpr std::size_t kRelation = 10;     // u8
inline constexpr std::size_t kOnlineState = 11;  // u8
inline constexpr std::size_t kGroupId = 12;      // u16
inline constexpr std::size_t kAttr2 = 14;        // u16
inline constexpr std::size_t kGameServerId = 16; // u16
inline constexpr std::size_t kGmLevel = 18;      // u32
inline constexpr std::size_t kAttr1 = 22;        // u16
inline constexpr std::size_t kName = 24;         // char[32], ends at the message's end
inline constexpr std::size_t kNameWidth = 32;
inline constexpr std::size_t kMinSize = 4;
inline constexpr std::size_t kFullSize = 56;
inline constexpr std::size_t kMaxSize = 56;
}  // namespace my_userdata

// IM_MSG_ID_MY_LOGIN_OK (51): the header and 4 bytes the client ignores.
namespace login_ok {
inline constexpr std::size_t kSize = 8;
}  // namespace login_ok

// IM_MSG_ID_LOGIN_FAIL (52): 2 ignored bytes, then the reason text.
namespace login_fail {
inline constexpr std::size_t kReason = 6;  // char[256], ends at the message's end
inline constexpr std::size_t kReasonWidth = 256;
inline constexpr std::size_t kSize = 262;
}  // namespace login_fail

// IM_MSG_ID_USER_LOGOUT (53): the header and 6 bytes the client ignores.
namespace user_logout {
inline constexpr std::size_t kSize = 10;
}  // namespace user_logout

// ---- Chat and notices ----------------------------------------------------

// Longest text of a chat or notice message, terminator included.
inline constexpr std::size_t kMaxText = 256;

// IM_US_MSG_SEND_MESSAGE with id 9.
namespace send_message {
inline constexpr std::size_t kSender = 4;  // u32; 8..11 not read
inline constexpr std::size_t kChat1 = 12;  // u8
inline constexpr std::size_t kChat2 = 13;  // u8
inline constexpr std::size_t kChat3 = 14;  // u8
inline constexpr std::size_t kText = 15;
inline constexpr std::size_t kMinSize = 4;
inline constexpr std::size_t kFullSize = kText + 1;  // fixed fields and an empty text
inline constexpr std::size_t kMaxSize = kText + kMaxText;  // 271
}  // namespace send_message

// IM_US_MSG_SEND_MESSAGE with id 68: id 9's layout with a double before the
// text.
namespace send_message_ex {
inline constexpr std::size_t kSender = 4;  // u32; 8..11 not read
inline constexpr std::size_t kChat1 = 12;  // u8
inline constexpr std::size_t kChat2 = 13;  // u8
inline constexpr std::size_t kChat3 = 14;  // u8
inline constexpr std::size_t kValue = 15;  // IEEE 754 double
inline constexpr std::size_t kText = 23;
inline constexpr std::size_t kMinSize = 23;
inline constexpr std::size_t kFullSize = kText + 1;
inline constexpr std::size_t kMaxSize = kText + kMaxText;  // 279
}  // namespace send_message_ex

// IM_MSG_ID_USER_CHAT (73), laid out like the outbound chat request.
namespace user_chat {
inline constexpr std::size_t kSender = 4;  // u32; 8..12 not read
inline constexpr std::size_t kChat1 = 13;  // u8
inline constexpr std::size_t kChat2 = 14;  // u8
inline constexpr std::size_t kChat3 = 15;  // u8; 16..22 not read
inline constexpr std::size_t kText = 23;
inline constexpr std::size_t kMinSize = 23;
inline constexpr std::size_t kFullSize = kText + 1;
inline constexpr std::size_t kMaxSize = kText + kMaxText;  // 279
}  // namespace user_chat

// IM_MSG_ID_OFFLINE_MESSAGE_2 (70).
namespace offline_message {
inline constexpr std::size_t kSender = 4;      // u32
inline constexpr std::size_t kBlock = 8;       // 38 bytes, handed over by address
inline constexpr std::size_t kBlockSize = 38;
inline constexpr std::size_t kChat1 = 46;      // u8
inline constexpr std::size_t kChat2 = 47;      // u8
inline constexpr std::size_t kChat3 = 48;      // u8; 49..55 not read
inline constexpr std::size_t kValue = 56;      // IEEE 754 double
inline constexpr std::size_t kExtra = 64;      // u32
inline constexpr std::size_t kText = 68;
inline constexpr std::size_t kMinSize = 68;
inline constexpr std::size_t kFullSize = kText + 1;
inline constexpr std::size_t kMaxSize = kText + kMaxText;  // 324
}  // namespace offline_message

// IM_MSG_ID_SYSTEM_MESSAGE (62).
namespace system_message {
inline constexpr std::size_t kType = 4;     // u32: 1..4 select kinds 2..5
inline constexpr std::size_t kValue1 = 8;   // u8
inline constexpr std::size_t kValue2 = 9;   // u8
inline constexpr std::size_t kValue3 = 10;  // u8
inline constexpr std::size_t kSource = 11;  // u8, handed over as the sender
inline constexpr std::size_t kText = 12;
inline constexpr std::size_t kMinSize = 4;
inline constexpr std::size_t kFullSize = kText + 1;
inline constexpr std::size_t kMaxSize = kText + kMaxText;  // 268
}  // namespace system_message

// IM_MSG_ID_INFO_MSG (63).
namespace info_message {
inline constexpr std::size_t kFlags = 4;   // u32; only its low byte is tested
inline constexpr std::size_t kSender = 8;  // u32
inline constexpr std::size_t kText = 12;
inline constexpr std::size_t kMinSize = 4;
inline constexpr std::size_t kFullSize = kText + 1;
inline constexpr std::size_t kMaxSize = kText + kMaxText;  // 268
}  // namespace info_message

// ---- Search --------------------------------------------------------------

// IM_MSG_ID_SEARCH_USER_RES (71): four u32 values.
namespace search_user_res {
inline constexpr std::size_t kValue1 = 4;
inline constexpr std::size_t kValue2 = 8;
inline constexpr std::size_t kValue3 = 12;
inline constexpr std::size_t kValue4 = 16;
inline constexpr std::size_t kMinSize = 4;
inline constexpr std::size_t kFullSize = 20;
inline constexpr std::size_t kMaxSize = 20;
}  // namespace search_user_res

// IM_MSG_ID_SEARCH_USER_RES_LIST (72): entries one after another from
// kFirstEntry, each starting with its own length (that byte included); a
// length of 0 ends the list. Offsets below are within one entry.
namespace search_user_res_list {
inline constexpr std::size_t kFirstEntry = 4;
inline constexpr std::size_t kEntryLength = 0;        // u8
inline constexpr std::size_t kEntryUserId = 1;        // u32
inline constexpr std::size_t kEntryAttr3 = 5;         // u8
inline constexpr std::size_t kEntryAttrFlag = 6;      // u8, taken as 0 or 1
inline constexpr std::size_t kEntryOnlineState = 7;   // u8; 8..9 not read
inline constexpr std::size_t kEntryGameServerId = 10; // u16
inline constexpr std::size_t kEntryAttr1 = 12;        // u16
inline constexpr std::size_t kEntryName = 14;         // text ended by the entry's last byte
inline constexpr std::size_t kNameWidth = 32;
// Shortest entry taken: the fixed fields and an empty name. Longest: a name
// of kNameWidth characters and its terminator.
inline constexpr std::size_t kMinEntry = kEntryName + 1;               // 15
inline constexpr std::size_t kMaxEntry = kEntryName + kNameWidth + 1;  // 47
inline constexpr std::size_t kMinSize = 4;
inline constexpr std::size_t kMaxSize = 1444;
}  // namespace search_user_res_list

}  // namespace layout
}  // namespace kelvo

#endif  // KELVO_MESSAGING_MESSAGING_LAYOUTS_H_
