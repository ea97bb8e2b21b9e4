// IImClientSink: the host's callback object. The client obtains it from the
// object passed to SetSink (QueryInterface with IID_IImClientSink and
// IM_INTERFACE_VERSION) and holds it by plain pointer, never releasing it.
//
// Binary interface: 29 operations called by their place in the table of
// virtual operations (the three of IImBase first, then slots 3-28 below).
//
// Threads: events raised by the server or the connection run on the client's
// network thread; enumeration callbacks and Request_friend's OnLog run on the
// thread of the host's call. Every callback runs with the client's lock held
// and may call back into the client; it must not wait for another thread
// that may be calling into the client, and should not throw (the client
// catches what it throws at its boundary and reports it through OnLog).
//
// Lifetime: texts and records passed by address belong to the client and are
// valid only during the call; copy what you need. Texts are NUL-terminated
// GBK (code page 936). 8-bit values arrive zero-extended. Results are
// ignored except those of the three enumeration callbacks.
//
// Result codes are named in kelvo/kelvo_results.h (the Python and C#
// bindings give them the same names, see docs/arguments-and-results.md). A
// code with no name there is the server's own and is passed on unchanged.
#ifndef KELVO_IM_CLIENT_SINK_H_
#define KELVO_IM_CLIENT_SINK_H_

#include "kelvo/im_base.h"

namespace kelvo {

class IImClientSink : public IImBase {
 public:
  // Reports the outcome of Connect. Slot 3.
  // CONNECT_SUCCEEDED (1): connected; CONNECT_FAILED (0): refused,
  // unreachable, proxy failure or timeout.
  virtual void KELVO_CALL OnConnect(uint32_t state) = 0;
  // Reports that the connection was lost. Slot 4. `reason` is always 0.
  // Raised before the friend, group and request tables and MyInfo are
  // emptied; Close raises none.
  virtual void KELVO_CALL OnClose(uint32_t reason) = 0;
  // Reports the server information that opens a login. Slot 5. The friend
  // and group tables are emptied right after this call.
  virtual void KELVO_CALL OnServerInfo() = 0;
  // Reports the answer to Login. Slot 6.
  // LOGIN_SUCCEEDED (1) and an empty text (never null); LOGIN_REFUSED (0) and
  // the server's reason, after the login's data was emptied.
  virtual void KELVO_CALL OnLoginResult(uint32_t result, const char* text) = 0;
  // Reports a forced logout. Slot 7. Raised after the login's data was
  // emptied (the account logged in elsewhere, or an operator's kick).
  virtual void KELVO_CALL OnLogout() = 0;
  // Reports the result of adding a user, or a game master coming online.
  // Slot 8.
  // ADD_USER_ADDED (2): the user is now on the roster (a request was
  // accepted, or a game master came online); ADD_USER_REFUSED (3): the
  // refusal of kelvo-server (unknown user, the own user, already a friend);
  // ADD_USER_ACKNOWLEDGED (1): taken, roster unchanged; ADD_USER_FAILED (0):
  // failed for a reason the server does not name. The server's codes 5 to 14
  // arrive as 4 to 13.
  virtual void KELVO_CALL OnAddUserResult(uint32_t result, const UserRecord* user) = 0;
  // Reports the result of removing a user, or a game master going offline.
  // Slot 9.
  // REMOVE_USER_REMOVED (2): the user left the roster; REMOVE_USER_ACKNOWLEDGED
  // (1): taken, roster unchanged; REMOVE_USER_FAILED (0): failed
  // (kelvo-server: not a friend).
  virtual void KELVO_CALL OnRemoveUserResult(uint32_t result, uint32_t userId) = 0;
  // Reports the result of adding a group. Slot 10.
  // ADD_GROUP_ADDED (1): created and stored; ADD_GROUP_NAME_TAKEN (2):
  // kelvo-server: the name is used, `group` is that group; ADD_GROUP_REFUSED
  // (3): kelvo-server: empty name, unknown parent or too many groups;
  // ADD_GROUP_FAILED (0): failed. Codes 4 to 6 are passed on.
  virtual void KELVO_CALL OnAddGroupResult(uint32_t result, const GroupRecord* group) = 0;
  // Reports the result of deleting a group. Slot 11.
  // DELETE_GROUP_DELETED (1): gone, its members already refiled under its
  // parent; DELETE_GROUP_FAILED (0): not deleted.
  virtual void KELVO_CALL OnDeleteGroupResult(uint32_t result, uint32_t groupId) = 0;
  // Reports the result of updating or renaming a group. Slot 12.
  // UPDATE_GROUP_UPDATED (1): changed; UPDATE_GROUP_FAILED (0): not changed.
  virtual void KELVO_CALL OnUpdateGroupResult(uint32_t result, uint32_t groupId) = 0;
  // Reports the result of moving a user. Slot 13. Also raised by some add
  // and remove results.
  // MOVE_USER_MOVED (3): the friend's record changed (new group, a new
  // record of a known friend, or kept with RELATION_ONE_SIDED after the
  // other side ended the friendship); MOVE_USER_FAILED (0): failed
  // (kelvo-server: unknown friend or group). The server's codes 1, 2 and 4
  // to 9 are passed on.
  virtual void KELVO_CALL OnMoveUserResult(uint32_t result, uint32_t userId) = 0;
  // Delivers a chat text (MESSAGE_KIND_CHAT) or a server notice. Slot 14.
  // `value1`..`value3` are the sender's chat1..chat3 bytes.
  virtual void KELVO_CALL OnChatMessage(MessageKind kind, uint32_t sender, const char* text,
                                        uint8_t value1, uint8_t value2, uint8_t value3) = 0;
  // Delivers a chat text carrying a double, passed through unchanged.
  // Slot 15.
  virtual void KELVO_CALL OnChatMessageEx(MessageKind kind, uint32_t sender, double value,
                                          const char* text, uint8_t value1, uint8_t value2,
                                          uint8_t value3) = 0;
  // Delivers a chat stored while the user was offline. Slot 16. `block` is
  // the address of 38 uninterpreted bytes (kelvo-server: the sender's name;
  // `value`: the send time in seconds since the epoch).
  virtual void KELVO_CALL OnOfflineMessage(MessageKind kind, uint32_t sender, double value,
                                           const char* text, uint8_t value1, uint8_t value2,
                                           uint8_t value3, const void* block, uint32_t extra) = 0;
  // Reports that another user asks to be added. Slot 17. Read the request
  // with GetAddRequest, answer it with ReplyAddRequest.
  virtual void KELVO_CALL OnAddUserRequest(uint32_t userId) = 0;
  // Reports that the other user declined the own add request. Slot 18.
  // The result is always ADD_USER_REPLY_DECLINED (0); `user` is the one who
  // declined.
  virtual void KELVO_CALL OnAddUserReply(uint32_t result, const UserRecord* user) = 0;
  // Reports that a friend's online state changed. Slot 19. GetUser shows the
  // new state (ONLINE_STATE_*), and still the old game server during this
  // call.
  virtual void KELVO_CALL OnOnlineStateChanged(uint32_t userId) = 0;
  // Reports that a friend entered a game server.
  // Slot 20.
  virtual void KELVO_CALL OnUserEnterGameServer(uint32_t userId) = 0;
  // Reports that a friend left a game server.
  // Slot 21.
  virtual void KELVO_CALL OnUserLeaveGameServer(uint32_t userId) = 0;
  // Delivers a diagnostic text of the client (at most 511 bytes).
  // Slot 22.
  virtual void KELVO_CALL OnLog(const char* text) = 0;
  // Delivers a single search result.
  // Slot 23.
  virtual void KELVO_CALL OnSearchUserResult(const SearchUserResult* result) = 0;
  // Delivers one user of a search result list.
  // Slot 24.
  virtual void KELVO_CALL OnSearchUserListItem(const UserRecord* user) = 0;
  // Ends a search result list, with the number of items reported.
  // Slot 25.
  virtual void KELVO_CALL OnSearchUserListEnd(uint32_t count) = 0;
  // Enumeration callbacks, slots 26-28: return false to stop. `context` is
  // the value the host passed to the enumeration.

  // Receives one friend of EnumUsers; false stops it.
  // Slot 26.
  virtual bool KELVO_CALL OnEnumUser(uint32_t context, const UserRecord* user) = 0;
  // Receives one pending request of EnumAddRequests; false stops it.
  // Slot 27.
  virtual bool KELVO_CALL OnEnumAddRequest(uint32_t context, const UserRecord* user) = 0;
  // Receives one group of EnumGroups; false stops it.
  // Slot 28.
  virtual bool KELVO_CALL OnEnumGroup(uint32_t context, const GroupRecord* group) = 0;

 protected:
  ~IImClientSink() = default;
};

}  // namespace kelvo

#endif  // KELVO_IM_CLIENT_SINK_H_
