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
#ifndef KELVO_IM_CLIENT_SINK_H_
#define KELVO_IM_CLIENT_SINK_H_

#include "kelvo/im_base.h"

namespace kelvo {

class IImClientSink : public IImBase {
 public:
  // Slot 3. Outcome of Connect: 1 connected, 0 failed.
  virtual void KELVO_CALL OnConnect(uint32_t state) = 0;
  // Slot 4. The connection was lost; always 0. Raised before the friend,
  // group and request tables and MyInfo are emptied.
  virtual void KELVO_CALL OnClose(uint32_t reason) = 0;
  // Slot 5. Server information; the friend and group tables are emptied
  // right after this call.
  virtual void KELVO_CALL OnServerInfo() = 0;
  // Slot 6. 1 and an empty text (never null) for success; 0 and the server's
  // reason for refusal, after the login's data was emptied.
  virtual void KELVO_CALL OnLoginResult(uint32_t result, const char* text) = 0;
  // Slot 7. Forced logout, after the login's data was emptied.
  virtual void KELVO_CALL OnLogout() = 0;
  // Slot 8. Result of adding a user, or a game master coming online.
  virtual void KELVO_CALL OnAddUserResult(uint32_t result, const UserRecord* user) = 0;
  // Slot 9. Result of removing a user, or a game master going offline.
  virtual void KELVO_CALL OnRemoveUserResult(uint32_t result, uint32_t userId) = 0;
  // Slot 10. Result of adding a group.
  virtual void KELVO_CALL OnAddGroupResult(uint32_t result, const GroupRecord* group) = 0;
  // Slot 11. Result of deleting a group (members already refiled).
  virtual void KELVO_CALL OnDeleteGroupResult(uint32_t result, uint32_t groupId) = 0;
  // Slot 12. Result of updating or renaming a group.
  virtual void KELVO_CALL OnUpdateGroupResult(uint32_t result, uint32_t groupId) = 0;
  // Slot 13. Result of moving a user (also raised by some add and remove
  // results).
  virtual void KELVO_CALL OnMoveUserResult(uint32_t result, uint32_t userId) = 0;
  // Slot 14. Chat (kind 0) or a server notice (kinds 1-13).
  virtual void KELVO_CALL OnChatMessage(MessageKind kind, uint32_t sender, const char* text,
                                        uint8_t value1, uint8_t value2, uint8_t value3) = 0;
  // Slot 15. Chat carrying a double, passed through unchanged.
  virtual void KELVO_CALL OnChatMessageEx(MessageKind kind, uint32_t sender, double value,
                                          const char* text, uint8_t value1, uint8_t value2,
                                          uint8_t value3) = 0;
  // Slot 16. A message stored while the user was offline. `block` is the
  // address of 38 uninterpreted bytes.
  virtual void KELVO_CALL OnOfflineMessage(MessageKind kind, uint32_t sender, double value,
                                           const char* text, uint8_t value1, uint8_t value2,
                                           uint8_t value3, const void* block, uint32_t extra) = 0;
  // Slot 17. Another user asks to be added; read it with GetAddRequest.
  virtual void KELVO_CALL OnAddUserRequest(uint32_t userId) = 0;
  // Slot 18. A reply to the own add request; result always 0.
  virtual void KELVO_CALL OnAddUserReply(uint32_t result, const UserRecord* user) = 0;
  // Slot 19. A friend's online state changed (GetUser still shows the old
  // game server during this call).
  virtual void KELVO_CALL OnOnlineStateChanged(uint32_t userId) = 0;
  // Slot 20.
  virtual void KELVO_CALL OnUserEnterGameServer(uint32_t userId) = 0;
  // Slot 21.
  virtual void KELVO_CALL OnUserLeaveGameServer(uint32_t userId) = 0;
  // Slot 22. A diagnostic text (at most 511 bytes).
  virtual void KELVO_CALL OnLog(const char* text) = 0;
  // Slot 23. A single search result.
  virtual void KELVO_CALL OnSearchUserResult(const SearchUserResult* result) = 0;
  // Slot 24. One user of a search result list.
  virtual void KELVO_CALL OnSearchUserListItem(const UserRecord* user) = 0;
  // Slot 25. End of a search result list, with the number of items reported.
  virtual void KELVO_CALL OnSearchUserListEnd(uint32_t count) = 0;
  // Slots 26-28. Enumeration callbacks: return false to stop.
  virtual bool KELVO_CALL OnEnumUser(uint32_t context, const UserRecord* user) = 0;
  virtual bool KELVO_CALL OnEnumAddRequest(uint32_t context, const UserRecord* user) = 0;
  virtual bool KELVO_CALL OnEnumGroup(uint32_t context, const GroupRecord* group) = 0;

 protected:
  ~IImClientSink() = default;
};

}  // namespace kelvo

#endif  // KELVO_IM_CLIENT_SINK_H_
