// Handlers of the two answers to a user search: a single result of four
// values (id 71) and a list of found users (id 72). Listed users are kept in
// SearchTable for the life of the client; nothing but destruction empties it.
#include "core/im_server_client.h"
#include "messaging/messaging_layouts.h"
#include "nimbo2/msg_head.h"
#include "protocol/message_ids.h"
#include "protocol/byte_io.h"
#include "protocol/entry_walker.h"

namespace kelvo {

uint32_t ImServerClient::HandleSearchUserRes(uint32_t, uint8_t* message) {
  namespace f = layout::search_user_res;
  if (!sink_) return 0;
  // A short message counts as padded with zeros.
  const ByteReader in(message, MessageLength(message));
  SearchUserResult result{};
  result.value1 = in.U32(f::kValue1);
  result.value2 = in.U32(f::kValue2);
  result.value3 = in.U32(f::kValue3);
  result.value4 = in.U32(f::kValue4);
  sink_->OnSearchUserResult(&result);
  return 0;
}

uint32_t ImServerClient::HandleSearchUserResList(uint32_t, uint8_t* message) {
  namespace f = layout::search_user_res_list;
  const std::size_t length = MessageLength(message);

  // Entries too short for the fixed fields and a terminated name, too long
  // for the name field, or running past the message are not taken (the
  // walker ends the list at one that runs past). The walker has already
  // ended the entry's name at its last byte.
  uint32_t count = 0;
  WalkEntries(message, length, f::kMinEntry, f::kMaxEntry,
              [this, &count](const uint8_t* entry, std::size_t entryLength) {
                const ByteReader in(entry, entryLength);
                UserRecord record{};
                record.userId = in.U32(f::kEntryUserId);
                record.attr3 = in.U8(f::kEntryAttr3);
                record.attrFlag = in.U8(f::kEntryAttrFlag) != 0 ? 1 : 0;
                record.onlineState = in.U8(f::kEntryOnlineState);
                record.gameServerId = in.U16(f::kEntryGameServerId);
                record.attr1 = in.U16(f::kEntryAttr1);
                in.Text(f::kEntryName, record.name, sizeof record.name);
                SearchTable.Put(record);
                // The host gets the handler's own copy: it may not keep or
                // change what lies in the table.
                if (sink_) sink_->OnSearchUserListItem(&record);
                ++count;
              });
  if (sink_) sink_->OnSearchUserListEnd(count);
  return 0;
}

}  // namespace kelvo
