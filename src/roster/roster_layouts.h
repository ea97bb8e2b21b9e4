// Wire layouts of the roster messages: the user and group lists and the
// fixed-layout results and notices that keep the user, request and group
// tables current.
//
// Offsets count from the start of the message, header included (list
// entries: from the entry's own length byte). Every field is little-endian
// and byte-packed; read and write them only through ByteReader/ByteWriter.
// A test server builds these messages from the same constants, so a change
// here changes both sides at once.
#ifndef KELVO_ROSTER_ROSTER_LAYOUTS_H_
#define KELVO_ROSTER_ROSTER_LAYOUTS_H_

#include <cstddef>

namespace kelvo {

// Widths of the name fields of UserRecord and GroupRecord.
inline constexpr std::size_t kUserNameWidth = 32;
inline constexpr std::size_t kGroupNameWidth = 64;

// ---------------------------------------------------------------------------
// User list, ids 47 and 50: the header, then entries from offset 4, each
// starting with its length byte E (0 ends the list). The name runs from 17 to
// the entry's last byte, which the client overwrites with 0.
inline constexpr std::size_t kUserEntryLength = 0;        // u8 E
inline constexpr std::size_t kUserEntryUserId = 1;        // u32
inline constexpr std::size_t kUserEntryAttr3 = 5;         // u8
inline constexpr std::size_t kUserEntryAttrFlag = 6;      // u8, stored as 0/1
inline constexpr std::size_t kUserEntryRelation = 7;      // u8
inline constexpr std::size_t kUserEntryOnlineState = 8;   // u8
inline constexpr std::size_t kUserEntryGroupId = 9;       // u16
inline constexpr std::size_t kUserEntryAttr2 = 11;        // u16
inline constexpr std::size_t kUserEntryGameServerId = 13; // u16
inline constexpr std::size_t kUserEntryAttr1 = 15;        // u16
inline constexpr std::size_t kUserEntryName = 17;         // E - 17 bytes
// Shortest entry taken: the fixed part and at least the name's terminator.
inline constexpr std::size_t kUserEntryMinSize = kUserEntryName + 1;  // 18
// Longest entry taken: a 31-byte name and its terminator.
inline constexpr std::size_t kUserEntryMaxSize = 49;

// ---------------------------------------------------------------------------
// IM_MSG_ID_ADD_USER_RESULT (54), 4 to 57 bytes. The name runs to the end of
// the message, at most 32 bytes, and is not terminated in place.
inline constexpr std::size_t kAddUserResultCode = 4;           // u32 R
inline constexpr std::size_t kAddUserResultRelation = 8;       // u8
inline constexpr std::size_t kAddUserResultUserId = 9;         // u32
inline constexpr std::size_t kAddUserResultAttr3 = 13;         // u8
inline constexpr std::size_t kAddUserResultAttrFlag = 14;      // u8, as sent
inline constexpr std::size_t kAddUserResultOnlineState = 15;   // u8
inline constexpr std::size_t kAddUserResultGroupId = 16;       // u16
inline constexpr std::size_t kAddUserResultAttr2 = 18;         // u16
inline constexpr std::size_t kAddUserResultGameServerId = 20;  // u16
inline constexpr std::size_t kAddUserResultAttr1 = 22;         // u16
// Offset 24: one byte the client does not read.
inline constexpr std::size_t kAddUserResultName = 25;          // up to 32 bytes
inline constexpr std::size_t kAddUserResultSize = kAddUserResultName + kUserNameWidth;  // 57

// ---------------------------------------------------------------------------
// IM_MSG_ID_REMOVE_USER_RESULT (55), exactly 17 bytes.
inline constexpr std::size_t kRemoveUserResultCode = 4;         // u32 R
// Offset 8: one byte the client does not read.
inline constexpr std::size_t kRemoveUserResultOtherUserId = 9;  // u32, used when 13 is the own id
inline constexpr std::size_t kRemoveUserResultUserId = 13;      // u32
inline constexpr std::size_t kRemoveUserResultSize = 17;

// ---------------------------------------------------------------------------
// IM_MSG_ID_IN_OUT_GS_NOTIFY (56), exactly 11 bytes.
inline constexpr std::size_t kInOutGsFlag = 4;           // u8: nonzero entered, 0 left
inline constexpr std::size_t kInOutGsUserId = 5;         // u32
inline constexpr std::size_t kInOutGsGameServerId = 9;   // u16
inline constexpr std::size_t kInOutGsSize = 11;

// ---------------------------------------------------------------------------
// IM_MSG_ID_ONLINE_STATE_NOTIFY (61), exactly 13 bytes.
inline constexpr std::size_t kOnlineStateUserId = 4;  // u32
inline constexpr std::size_t kOnlineStateState = 8;   // u8; 1 = offline
// Offsets 9-12: not read.
inline constexpr std::size_t kOnlineStateSize = 13;

// ---------------------------------------------------------------------------
// IM_MSG_ID_ADD_USER_REQUEST (64), exactly 60 bytes.
inline constexpr std::size_t kAddRequestUserId = 4;         // u32, the user who asks
inline constexpr std::size_t kAddRequestRelation = 8;       // u8
// Offset 9: not read.
inline constexpr std::size_t kAddRequestGroupId = 10;       // u16
inline constexpr std::size_t kAddRequestAttr2 = 12;         // u16
inline constexpr std::size_t kAddRequestGameServerId = 14;  // u16
inline constexpr std::size_t kAddRequestGmLevel = 16;       // u32
inline constexpr std::size_t kAddRequestOnlineState = 20;   // u8
// Offset 21: not read.
inline constexpr std::size_t kAddRequestAttr1 = 22;         // u16
inline constexpr std::size_t kAddRequestAttr3 = 24;         // u8
inline constexpr std::size_t kAddRequestAttrFlag = 25;      // u8, as sent
inline constexpr std::size_t kAddRequestName = 26;          // 32 bytes
// Offsets 58-59: not read.
inline constexpr std::size_t kAddRequestSize = 60;

// ---------------------------------------------------------------------------
// IM_MSG_ID_GM_ONLINE_NOTIFY (65), 4 to 53 bytes. The client writes 0 into
// the last byte first; the name runs from 21 to it.
inline constexpr std::size_t kGmOnlineUserId = 4;        // u32
inline constexpr std::size_t kGmOnlineGroupId = 8;       // u16
inline constexpr std::size_t kGmOnlineGmLevel = 10;      // u32
inline constexpr std::size_t kGmOnlineState = 14;        // u8; 1 = offline
inline constexpr std::size_t kGmOnlineAttr3 = 15;        // u8
inline constexpr std::size_t kGmOnlineAttrFlag = 16;     // u8, as sent
inline constexpr std::size_t kGmOnlineAttr2 = 17;        // u16
inline constexpr std::size_t kGmOnlineAttr1 = 19;        // u16
inline constexpr std::size_t kGmOnlineName = 21;         // L - 21 bytes, terminated
inline constexpr std::size_t kGmOnlineMaxSize = 53;      // a 31-byte name and its 0
// Relation the client gives a game master's roster entry.
inline constexpr unsigned kGmRelation = 1;

// ---------------------------------------------------------------------------
// IM_MSG_ID_MOVE_USER_RESULT (67), exactly 16 bytes.
inline constexpr std::size_t kMoveUserResultCode = 4;      // u32 R
inline constexpr std::size_t kMoveUserResultUserId = 8;    // u32
// Offsets 12-13: not read.
inline constexpr std::size_t kMoveUserResultGroupId = 14;  // u16, the new group
inline constexpr std::size_t kMoveUserResultSize = 16;

// ---------------------------------------------------------------------------
// Group list, ids 46 and 49: the header, then entries from offset 4, each
// starting with its length byte E (0 ends the list). The name runs from 8 to
// the entry's last byte, which the client overwrites with 0.
inline constexpr std::size_t kGroupEntryLength = 0;         // u8 E
inline constexpr std::size_t kGroupEntryGroupId = 1;        // u16
inline constexpr std::size_t kGroupEntryParentGroupId = 3;  // u16
inline constexpr std::size_t kGroupEntryGroupKind = 5;      // u8
inline constexpr std::size_t kGroupEntryGroupAttr = 6;      // u16
inline constexpr std::size_t kGroupEntryName = 8;           // E - 8 bytes
inline constexpr std::size_t kGroupEntryMinSize = kGroupEntryName + 1;  // 9
// Longest entry taken: a 63-byte name and its terminator.
inline constexpr std::size_t kGroupEntryMaxSize = 72;

// ---------------------------------------------------------------------------
// IM_MSG_ID_ADD_GROUP_RESULT (58, 4 to 79 bytes) and
// IM_MSG_ID_UPDATE_GROUP_RESULT (59, exactly 79 bytes) share this layout.
// The name runs to the end of the message, at most 64 bytes, and is not
// terminated in place.
inline constexpr std::size_t kGroupResultCode = 4;            // u32 R
inline constexpr std::size_t kGroupResultGroupId = 8;         // u16
inline constexpr std::size_t kGroupResultParentGroupId = 10;  // u16
inline constexpr std::size_t kGroupResultGroupKind = 12;      // u8
inline constexpr std::size_t kGroupResultGroupAttr = 13;      // u16
inline constexpr std::size_t kGroupResultName = 15;           // up to 64 bytes
inline constexpr std::size_t kGroupResultSize = kGroupResultName + kGroupNameWidth;  // 79

// ---------------------------------------------------------------------------
// IM_MSG_ID_DEL_GROUP_RESULT (60), exactly 12 bytes.
inline constexpr std::size_t kDelGroupResultCode = 4;     // u32 R
inline constexpr std::size_t kDelGroupResultGroupId = 8;  // u16
// Offsets 10-11: not read.
inline constexpr std::size_t kDelGroupResultSize = 12;

// ---------------------------------------------------------------------------
// IM_MSG_ID_MODIFY_GROUP_RESULT (66), exactly 74 bytes: a group's new name.
inline constexpr std::size_t kModifyGroupResultCode = 4;     // u32 R
inline constexpr std::size_t kModifyGroupResultGroupId = 8;  // u16
inline constexpr std::size_t kModifyGroupResultName = 10;    // 64 bytes
inline constexpr std::size_t kModifyGroupResultSize = kModifyGroupResultName + kGroupNameWidth;  // 74

}  // namespace kelvo

#endif  // KELVO_ROSTER_ROSTER_LAYOUTS_H_
