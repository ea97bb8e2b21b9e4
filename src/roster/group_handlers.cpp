// Group handlers: the own group list and the results of adding, updating,
// renaming and deleting a group. They keep GroupTable in step with the
// server; deleting a group also refiles its members under its parent.
//
// Every handler runs under the delivery's CallScope and reports to the host
// only after its table change is complete, so a callback that calls back
// into the client (even Close) finds the tables consistent, and nothing here
// touches a table entry after a callback returns.
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

namespace {

// The record carried by an add-group or update-group result.
GroupRecord ReadGroupResult(const uint8_t* message, std::size_t length) {
  const ByteReader in(message, length);
  GroupRecord group{};
  group.groupKind = in.U8(kGroupResultGroupKind);
  group.groupId = in.U16(kGroupResultGroupId);
  group.parentGroupId = in.U16(kGroupResultParentGroupId);
  group.groupAttr = in.U16(kGroupResultGroupAttr);
  // Not terminated in the message: the name ends at its first 0, at 64
  // bytes or at the message's end.
  in.Text(kGroupResultName, group.name, sizeof group.name);
  return group;
}

}  // namespace

uint32_t ImServerClient::HandleMyGroupList(uint32_t, uint8_t* message) {
  const std::size_t length = MessageLength(message);
  const uint8_t* const end = message + length;
  // One pass, as the user list (HandleMyUserList).
  GroupMap::Loader load(GroupTable,
                        length > kHeaderSize ? (length - kHeaderSize) / kGroupEntryMinSize : 0);
  // Entries too short for the fixed fields and a terminated name, and entries
  // longer than a 63-byte name needs, are passed over; an entry that runs
  // past the message ends the list.
  WalkEntries(message, length, kGroupEntryMinSize, kGroupEntryMaxSize,
              [&load, end](const uint8_t* entry, std::size_t) {
                const FixedReader<kGroupEntryMinSize> in(entry);
                load.Store(in.U16<kGroupEntryGroupId>(), [&in, entry, end](GroupRecord& group) {
                  group.parentGroupId = in.U16<kGroupEntryParentGroupId>();
                  group.groupKind = in.U8<kGroupEntryGroupKind>();
                  group.groupAttr = in.U16<kGroupEntryGroupAttr>();
                  const uint8_t* const name = entry + kGroupEntryName;
                  CopyTerminatedText<sizeof group.name>(group.name, name,
                                                        static_cast<std::size_t>(end - name));
                });
              });
  NoteLoginData(kLoginDataGroups);
  return 0;
}

uint32_t ImServerClient::HandleAddGroupResult(uint32_t, uint8_t* message) {
  const std::size_t length = MessageLength(message);
  const ByteReader in(message, length);
  const uint32_t groupId = in.U16(kGroupResultGroupId);
  if (groupId == 0) return FormatLog(0, kTextAddGroupFailedZeroId, groupId);

  GroupRecord group = ReadGroupResult(message, length);
  const uint32_t result = in.U32(kGroupResultCode);
  if (result == 1) {
    // A group the client already holds keeps what it has.
    if (GroupTable.Find(groupId) != nullptr) return FormatLog(0, kTextAddGroupExists, groupId);
    GroupTable.Put(group);
    if (sink_) sink_->OnAddGroupResult(1, &group);
    return 0;
  }
  const uint32_t code = (result >= 2 && result <= 6) ? result : 0;
  if (sink_) sink_->OnAddGroupResult(code, &group);
  return 0;
}

uint32_t ImServerClient::HandleUpdateGroupResult(uint32_t, uint8_t* message) {
  const std::size_t length = MessageLength(message);
  const ByteReader in(message, length);
  const uint32_t groupId = in.U16(kGroupResultGroupId);
  GroupRecord* const entry = GroupTable.Find(groupId);
  if (entry == nullptr) return FormatLog(0, kTextUpdateGroupUnknown, groupId);
  if (in.U32(kGroupResultCode) == 1) {
    *entry = ReadGroupResult(message, length);
    if (sink_) sink_->OnUpdateGroupResult(1, groupId);
  } else {
    if (sink_) sink_->OnUpdateGroupResult(0, groupId);
  }
  return 0;
}

uint32_t ImServerClient::HandleModifyGroupResult(uint32_t, uint8_t* message) {
  const std::size_t length = MessageLength(message);
  const ByteReader in(message, length);
  const uint32_t groupId = in.U16(kModifyGroupResultGroupId);
  GroupRecord* const entry = GroupTable.Find(groupId);
  if (entry == nullptr) return FormatLog(0, kTextUpdateGroupUnknown, groupId);
  if (in.U32(kModifyGroupResultCode) == 1) {
    // A rename: only the name changes.
    in.Text(kModifyGroupResultName, entry->name, sizeof entry->name);
    if (sink_) sink_->OnUpdateGroupResult(1, groupId);
  } else {
    if (sink_) sink_->OnUpdateGroupResult(0, groupId);
  }
  return 0;
}

uint32_t ImServerClient::HandleDelGroupResult(uint32_t, uint8_t* message) {
  const ByteReader in(message, MessageLength(message));
  const uint32_t groupId = in.U16(kDelGroupResultGroupId);
  if (groupId == 0) return FormatLog(0, kTextDeleteGroupFailedZeroId);
  if (in.U32(kDelGroupResultCode) != 1) {
    if (sink_) sink_->OnDeleteGroupResult(0, groupId);
    return 0;
  }
  const GroupRecord* const entry = GroupTable.Find(groupId);
  if (entry == nullptr) return FormatLog(0, kTextDeleteGroupUnknown, groupId);
  const uint32_t parentGroupId = entry->parentGroupId;
  GroupTable.Erase(groupId);
  // The members go under the parent group before the host hears of the
  // deletion, so whatever it reads from the callback is already refiled.
  UserTable.ForEachStored([groupId, parentGroupId](UserRecord& user) {
    if (user.groupId == groupId) user.groupId = parentGroupId;
  });
  if (sink_) sink_->OnDeleteGroupResult(1, groupId);
  return 0;
}

}  // namespace kelvo
