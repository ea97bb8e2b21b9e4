// The walk shared by the three list messages (user list, group list, search
// result list): the header, then entries one after another from offset 4,
// each beginning with its own length byte E (this byte included).
//
//   E == 0                         ends the list
//   entry runs past the message    ends the list (its bytes are not all ours)
//   E < minEntry                   passed over: no room for the fixed fields
//                                  and a terminated name
//   E > maxEntry                   passed over unread
//   otherwise                      byte E - 1 of the entry is set to 0 (ends
//                                  the name in place), then take(entry, E)
//
// The walk reads and writes only inside the message's `length` bytes.
#ifndef KELVO_PROTOCOL_ENTRY_WALKER_H_
#define KELVO_PROTOCOL_ENTRY_WALKER_H_

#include <cstddef>
#include <cstdint>

#include "protocol/message_ids.h"

namespace kelvo {

template <typename Take>
void WalkEntries(uint8_t* message, std::size_t length, std::size_t minEntry,
                 std::size_t maxEntry, Take&& take) {
  // Pointers rather than offsets: a list is walked some 60 entries at a
  // time, and the walk's own state is then two registers.
  uint8_t* entry = message + kHeaderSize;
  uint8_t* const end = message + length;
  while (entry < end) {
    const std::size_t entryLength = *entry;
    const auto room = static_cast<std::size_t>(end - entry);
    // minEntry >= 1: an entry in the range is not the list's end.
    if (entryLength - minEntry <= maxEntry - minEntry) {
      if (entryLength > room) return;
      entry[entryLength - 1] = 0;
      take(entry, entryLength);
    } else if (entryLength == 0 || entryLength > room) {
      return;
    }
    entry += entryLength;
  }
}

}  // namespace kelvo

#endif  // KELVO_PROTOCOL_ENTRY_WALKER_H_
