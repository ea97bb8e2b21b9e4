// Result codes the sink receives and the numbered values of the records, by
// meaning. The interfaces pass them as plain integers (their declarations
// are binary and stay as they are); these constants name them for the host,
// with the same names the Python and C# bindings give them
// (docs/arguments-and-results.md lists all three side by side).
//
// A code not named here is still delivered as it came: the server may send
// codes of its own, and the client passes them on.
#ifndef KELVO_KELVO_RESULTS_H_
#define KELVO_KELVO_RESULTS_H_

#include <cstdint>

namespace kelvo {

// OnConnect(state).
constexpr uint32_t CONNECT_FAILED = 0;     // refused, unreachable, proxy failure or timeout
constexpr uint32_t CONNECT_SUCCEEDED = 1;  // connected

// OnLoginResult(result, text).
constexpr uint32_t LOGIN_REFUSED = 0;    // refused; the text says why
constexpr uint32_t LOGIN_SUCCEEDED = 1;  // logged in; the text is empty

// OnAddUserResult(result, user). The server's codes 5 to 14 arrive as 4 to
// 13, unnamed.
constexpr uint32_t ADD_USER_FAILED = 0;        // failed, for a reason the server does not name
constexpr uint32_t ADD_USER_ACKNOWLEDGED = 1;  // the server took the request; roster unchanged
constexpr uint32_t ADD_USER_ADDED = 2;         // the user is now on the roster
constexpr uint32_t ADD_USER_REFUSED = 3;       // kelvo-server: unknown user, self, already a friend

// OnAddUserReply(result, user): always this code.
constexpr uint32_t ADD_USER_REPLY_DECLINED = 0;  // the other user declined the own request

// OnRemoveUserResult(result, userId).
constexpr uint32_t REMOVE_USER_FAILED = 0;        // failed; kelvo-server: not a friend
constexpr uint32_t REMOVE_USER_ACKNOWLEDGED = 1;  // the server took the request; roster unchanged
constexpr uint32_t REMOVE_USER_REMOVED = 2;       // the user left the roster

// OnMoveUserResult(result, userId). The server's codes 1, 2 and 4 to 9 pass
// unchanged, unnamed.
constexpr uint32_t MOVE_USER_FAILED = 0;  // failed; kelvo-server: unknown friend or group
constexpr uint32_t MOVE_USER_MOVED = 3;   // the friend's record changed (group, record, relation)

// OnAddGroupResult(result, group). Codes 4 to 6 pass unchanged, unnamed.
constexpr uint32_t ADD_GROUP_FAILED = 0;      // failed, for a reason the server does not name
constexpr uint32_t ADD_GROUP_ADDED = 1;       // created and stored in the group table
constexpr uint32_t ADD_GROUP_NAME_TAKEN = 2;  // kelvo-server: the name is used (its group)
constexpr uint32_t ADD_GROUP_REFUSED = 3;     // kelvo-server: empty name, bad parent, too many

// OnUpdateGroupResult(result, groupId), for an update and a rename alike.
constexpr uint32_t UPDATE_GROUP_FAILED = 0;   // not changed
constexpr uint32_t UPDATE_GROUP_UPDATED = 1;  // updated or renamed

// OnDeleteGroupResult(result, groupId).
constexpr uint32_t DELETE_GROUP_FAILED = 0;   // not deleted
constexpr uint32_t DELETE_GROUP_DELETED = 1;  // gone; members filed under its parent

// UserRecord::onlineState, and the EnumUsers filter.
constexpr uint8_t ONLINE_STATE_ANY = 0;      // as a filter: any state
constexpr uint8_t ONLINE_STATE_OFFLINE = 1;  // offline; gameServerId is 0
constexpr uint8_t ONLINE_STATE_ONLINE = 2;   // kelvo-server: online

// UserRecord::relation, and the EnumUsers filter.
constexpr uint32_t RELATION_ANY = 0;          // as a filter: any relation
constexpr uint32_t RELATION_GAME_MASTER = 1;  // a game master the server announced
constexpr uint32_t RELATION_FRIEND = 2;       // kelvo-server: a friend on the own roster
constexpr uint32_t RELATION_ONE_SIDED = 3;    // kept, in group 3, after the other side left

// GroupRecord::groupKind, and the EnumGroups filter.
constexpr uint32_t GROUP_KIND_ANY = 0;      // as a filter: any kind
constexpr uint32_t GROUP_KIND_FRIENDS = 1;  // kelvo-server: the kind of every group it makes

}  // namespace kelvo

#endif  // KELVO_KELVO_RESULTS_H_
