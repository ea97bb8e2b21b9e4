// The roster tables: one record per unsigned 32-bit key, stored by value and
// walked in ascending unsigned key order (see flat_table.h for the layout).
#ifndef KELVO_ROSTER_TABLES_H_
#define KELVO_ROSTER_TABLES_H_

#include <cstdint>

#include "kelvo/kelvo_types.h"
#include "roster/flat_table.h"

namespace kelvo {

using UserMap = FlatTable<UserRecord, &UserRecord::userId>;    // key: userId
using GroupMap = FlatTable<GroupRecord, &GroupRecord::groupId>;  // key: groupId

}  // namespace kelvo

#endif  // KELVO_ROSTER_TABLES_H_
