// The host's lookups and enumerations over the local roster tables. They
// answer from the tables alone and send nothing to the server.
//
// Enumerations hand the callback the stored record itself. The callback may
// call any client operation, including ones that erase the record being
// visited (ReplyAddRequest) or empty every table (Close), so the walk holds
// nothing into the table across a callback: after one that changed the
// table it finds its place again by the visited key (FlatTable::Walk).
#include <cstdint>

#include "core/im_server_client.h"
#include "sink/texts.h"

namespace kelvo {

namespace {

template <typename Map, typename Record>
bool CopyOut(const Map& table, uint32_t key, Record* out) {
  if (table.empty()) return false;
  const Record* const stored = table.Find(key);
  if (stored == nullptr) return false;
  *out = *stored;
  return true;
}

// Visits the entries of `table` in ascending key order. `visit(record)`
// returns false to stop; it may change the table in any way.
// A callback that throws ends the walk; the caller reports it. Returns
// false then.
template <typename Map, typename Visit>
bool WalkByKey(Map& table, Visit&& visit) {
  try {
    table.Walk(visit);
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace

bool ImServerClient::GetUser(uint32_t userId, UserRecord* out) {
  CallScope scope(this);
  return CopyOut(UserTable, userId, out);
}

bool ImServerClient::GetAddRequest(uint32_t userId, UserRecord* out) {
  CallScope scope(this);
  return CopyOut(RequestTable, userId, out);
}

bool ImServerClient::GetGroup(uint32_t groupId, GroupRecord* out) {
  CallScope scope(this);
  return CopyOut(GroupTable, groupId, out);
}

void ImServerClient::EnumUsers(uint32_t context, uint32_t relation, uint32_t groupId,
                               uint16_t gameServerId, uint8_t onlineState) {
  CallScope scope(this);
  if (UserTable.empty() || sink_ == nullptr) return;
  const uint32_t wantedGameServer = gameServerId;
  const bool whole = WalkByKey(UserTable, [&](const UserRecord& user) {
    // A filter of 0 matches anything.
    if (relation != 0 && user.relation != relation) return true;
    if (groupId != 0 && user.groupId != groupId) return true;
    if (wantedGameServer != 0 && user.gameServerId != wantedGameServer) return true;
    if (onlineState != 0 && user.onlineState != onlineState) return true;
    // The sink may have been detached by an earlier callback (Release).
    IImClientSink* sink = sink_;
    return sink != nullptr && sink->OnEnumUser(context, &user);
  });
  if (!whole) CallbackThrew(kTextCallbackThrewEnumUsers, 0);
}

void ImServerClient::EnumAddRequests(uint32_t context) {
  CallScope scope(this);
  if (RequestTable.empty() || sink_ == nullptr) return;
  const bool whole = WalkByKey(RequestTable, [&](const UserRecord& request) {
    IImClientSink* sink = sink_;
    return sink != nullptr && sink->OnEnumAddRequest(context, &request);
  });
  if (!whole) CallbackThrew(kTextCallbackThrewEnumAddRequests, 0);
}

void ImServerClient::EnumGroups(uint32_t context, uint32_t groupKind) {
  CallScope scope(this);
  if (GroupTable.empty() || sink_ == nullptr) return;
  const bool whole = WalkByKey(GroupTable, [&](const GroupRecord& group) {
    if (groupKind != 0 && group.groupKind != groupKind) return true;
    IImClientSink* sink = sink_;
    return sink != nullptr && sink->OnEnumGroup(context, &group);
  });
  if (!whole) CallbackThrew(kTextCallbackThrewEnumGroups, 0);
}

}  // namespace kelvo
