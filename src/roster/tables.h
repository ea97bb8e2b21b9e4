// The roster tables: ordered maps from an unsigned 32-bit key to one record
// stored by value, ascending unsigned key order.
#ifndef KELVO_ROSTER_TABLES_H_
#define KELVO_ROSTER_TABLES_H_

#include <cstdint>
#include <map>

#include "kelvo/kelvo_types.h"

namespace kelvo {

using UserMap = std::map<uint32_t, UserRecord>;    // key: userId
using GroupMap = std::map<uint32_t, GroupRecord>;  // key: groupId

}  // namespace kelvo

#endif  // KELVO_ROSTER_TABLES_H_
