// IImClient: the interface through which the host drives the messaging
// client. The host receives it from CreateKelvoCore and calls nothing else of
// the module.
//
// Binary interface: the 28 operations below are called by their place in the
// table of virtual operations (0..27, the three of IImBase first). Do not
// reorder, overload or add to them.
//
// Threads: every operation may be called from any host thread. Each takes the
// client's lock, so host calls and the network thread's deliveries never touch
// the tables or MyInfo at the same time. The network thread hands the lock
// over between two messages, first come first served: a call waits for at
// most the message being delivered (and its callbacks) and the calls queued
// before it; a call that had to sleep meanwhile also waits for the messages
// delivered while it wakes up (64 at the most). Sink callbacks run with the
// lock held on the calling thread and
// may call any operation of this interface (the lock is re-entrant),
// including Close and Release (see Release); they must not wait for another
// thread that may be calling into this client. An exception thrown by a
// callback is caught by the client and reported through OnLog.
//
// Ownership: every text and record passed in is copied; the client keeps no
// pointer to it. Records handed out by address stay the client's.
#ifndef KELVO_IM_CLIENT_H_
#define KELVO_IM_CLIENT_H_

#include "kelvo/im_base.h"

namespace kelvo {

class IImClient : public IImBase {
 public:
  // Slots 0-2 come from IImBase. QueryInterface accepts IID_IImClient, then
  // IID_IImBase, each with major 1, minor 1, build <= 1 (revision ignored),
  // and returns this object as IImClient.
  //
  // Release: destroys the client. Waits for at most the delivery under way.
  // Called from inside a sink callback it is safe: the sink is detached at
  // once (no further callback), and the object is destroyed, exactly once,
  // when the outermost client call or delivery on that thread returns. After
  // Release returns no sink call starts on any thread. Called outside every
  // callback, the network thread has ended when it returns and the module
  // may be unloaded; called inside a callback on the network thread, the
  // module is pinned (stays loaded until the process ends).

  // Starts connecting to the server. Slot 3.
  // Connects to address->serverIp:serverPort, through the SOCKS5 proxy
  // proxyIp:proxyPort when proxyIp is not 0 (a proxy set by an earlier
  // Connect stays set). `address` must not be null; it is read, not kept.
  // Returns true when the attempt was started, false when one is under way
  // or a connection is up. The outcome arrives as OnConnect(CONNECT_SUCCEEDED)
  // or OnConnect(CONNECT_FAILED) (refused, unreachable, proxy failure or
  // timeout) on the network thread.
  virtual bool KELVO_CALL Connect(const ServerAddress* address) = 0;
  // Closes the connection and empties the login's data. Slot 4.
  // Empties the friend, group and request tables and MyInfo (search results
  // stay), then closes the connection. No sink call, no OnClose, and nothing
  // the connection read is delivered after Close returns. Returns the
  // network library's result (true also when nothing was open).
  virtual bool KELVO_CALL Close() = 0;

  // Requests, slots 5-17 and 27. Each builds one fixed-size message and hands
  // it to the network library; true means the library took it for sending,
  // nothing more. The answer, if any, arrives later through the sink.
  // False, with nothing sent, when an argument is refused or the library
  // refuses (not connected, send queue full). The arguments' meanings are
  // those of docs/arguments-and-results.md, which names them as the Python
  // and C# bindings do; "kelvo-server" says what the reference server does
  // with a value the protocol leaves to the server.

  // Logs an account in. Slot 5, request 13; the answer is OnLoginResult.
  // - userId: the account logging in
  // - password: 16 bytes: the MD5 digest of the password's UTF-8 bytes (the
  //   bindings hash a text for you)
  // - extra: 33 bytes sent unchanged, zeros when null; kelvo-server ignores
  //   them
  //
  // A null `password`: false, nothing sent.
  virtual bool KELVO_CALL Login(uint32_t userId, const uint8_t* password, const uint8_t* extra) = 0;
  // Logs the own user out; the connection stays. Slot 6, request 2.
  // - userId: the account logging out (the own user)
  virtual bool KELVO_CALL Logout(uint32_t userId) = 0;
  // Asks another user to become a friend. Slot 7, request 3; the answer is
  // OnAddUserResult (ADD_USER_ADDED once accepted, ADD_USER_REFUSED) or
  // OnAddUserReply (declined).
  // - value1: the user asked to become a friend
  // - value2: the group to file the new friend under
  // - value3: sent unchanged; kelvo-server ignores it
  //
  // On the wire the second and third arguments change places.
  virtual bool KELVO_CALL AddUser(uint32_t value1, uint32_t value2, uint32_t value3) = 0;
  // Ends a friendship, on both sides. Slot 8, request 4; the answer is
  // OnRemoveUserResult.
  // - userId: the friend to remove, on both sides
  virtual bool KELVO_CALL RemoveUser(uint32_t userId) = 0;
  // Creates a group. Slot 9, request 5; the answer is OnAddGroupResult.
  // - value1: the group the new one sits in; 0 for the top level
  // - value2: the new group's kind, kept by the server and shown in its
  //   record
  // - name: the new group's name, 1 to 63 GBK bytes
  //
  // A null, empty or longer name: false, nothing sent.
  virtual bool KELVO_CALL AddGroup(uint32_t value1, uint32_t value2, const char* name) = 0;
  // Deletes a group. Slot 10, request 6; the answer is OnDeleteGroupResult.
  // - groupId: the group to delete; its members move to its parent
  virtual bool KELVO_CALL DeleteGroup(uint32_t groupId) = 0;
  // Renames a group. Slot 11, request 7; the answer is OnUpdateGroupResult.
  // - groupId: the group to rename
  // - name: the new name, 1 to 63 GBK bytes
  //
  // The name's first 64 bytes are sent (64 or more: no terminator in the
  // field; kelvo-server cuts it to 63). A null name: false, nothing sent.
  virtual bool KELVO_CALL RenameGroup(uint32_t groupId, const char* name) = 0;
  // Files a friend under another group. Slot 12, request 8, arguments in
  // order; the answer is OnMoveUserResult.
  // - value1: the friend to refile
  // - value2: the group to file the friend under
  // - value3: sent unchanged; kelvo-server ignores it
  virtual bool KELVO_CALL MoveUser(uint32_t value1, uint32_t value2, uint32_t value3) = 0;
  // Sends a chat text to another user. Slot 13, request 73; the peer
  // receives it as OnChatMessage, or as OnOfflineMessage at his next login.
  // - peerUserId: the user the text goes to (friend or not)
  // - value: sent unchanged; the receiving client does not read it
  // - text: the text, 1 to 255 GBK bytes
  // - chat1: application byte delivered to the peer as the chat's value1
  // - chat2: application byte delivered to the peer as the chat's value2
  // - chat3: application byte delivered to the peer as the chat's value3
  //
  // A null, empty or longer text: false, nothing sent.
  virtual bool KELVO_CALL SendChatMessage(uint32_t peerUserId, uint32_t value, const char* text,
                                          uint8_t chat1, uint8_t chat2, uint8_t chat3) = 0;
  // No longer supported: sends nothing. Slot 14. With a sink attached it
  // passes a fixed text to OnLog on the calling thread.
  virtual void KELVO_CALL Request_friend(uint32_t ignored) = 0;
  // Answers another user's pending add request. Slot 15, request 11.
  // - userId: the user whose pending request is answered
  // - value: the group to file the asker under when accepting
  // - accept: true to accept, false to decline
  //
  // False when `userId` has no pending request. The pending request is
  // erased before the send, whatever the send returns. `accept` is sent as 1
  // only when its byte is exactly 1.
  virtual bool KELVO_CALL ReplyAddRequest(uint32_t userId, uint32_t value, bool accept) = 0;
  // Announces that the own user plays on a game server. Slot 16, request 12
  // with flag 1; friends get OnUserEnterGameServer.
  // - gameServerId: the game server the own user now plays on
  //
  // Stores the id in MyInfo.gameServerId first, whatever the send returns.
  virtual bool KELVO_CALL EnterGameServer(uint16_t gameServerId) = 0;
  // Announces that the own user left a game server. Slot 17, request 12
  // with flag 0, carrying the id given.
  // - gameServerId: the game server the own user leaves
  //
  // Stores 0 in MyInfo.gameServerId first, whatever the send returns.
  virtual bool KELVO_CALL LeaveGameServer(uint16_t gameServerId) = 0;

  // Local reads, slots 18-26. They answer from the local tables and send
  // nothing. Enumeration callbacks run on the calling thread, in ascending
  // unsigned key order, receive the stored record itself (valid during the
  // callback only) and stop when the callback returns false. A callback may
  // change the table it walks (ReplyAddRequest, Close): the walk goes on from
  // the next key still present. No sink, or an empty table: no callback.

  // Calls OnEnumUser for each friend matching every nonzero filter. Slot 18.
  // The filters take RELATION_*, a group id, a game server id and
  // ONLINE_STATE_* (kelvo/kelvo_results.h); 0 matches any.
  virtual void KELVO_CALL EnumUsers(uint32_t context, uint32_t relation, uint32_t groupId,
                                    uint16_t gameServerId, uint8_t onlineState) = 0;
  // Calls OnEnumAddRequest for each pending add request.
  // Slot 19.
  virtual void KELVO_CALL EnumAddRequests(uint32_t context) = 0;
  // Calls OnEnumGroup for each group of the kind (GROUP_KIND_ANY: all).
  // Slot 20.
  virtual void KELVO_CALL EnumGroups(uint32_t context, uint32_t groupKind) = 0;
  // Copies a friend's record into *out. Slot 21. False (out untouched) when
  // absent. `out` must not be null.
  virtual bool KELVO_CALL GetUser(uint32_t userId, UserRecord* out) = 0;
  // Copies a pending add request's record into *out. Slot 22. As GetUser,
  // on the pending requests.
  virtual bool KELVO_CALL GetAddRequest(uint32_t userId, UserRecord* out) = 0;
  // Copies a group's record into *out.
  // Slot 23. As GetUser, on the groups.
  virtual bool KELVO_CALL GetGroup(uint32_t groupId, GroupRecord* out) = 0;
  // Returns the live own-user record, or null until own data has arrived.
  // Slot 24. Null again after Close, a closed connection, a failed login or
  // a logout. The record is changed in place by later messages; read it
  // under no assumption of stability from another thread. Valid until
  // Release.
  virtual const UserRecord* KELVO_CALL GetMyInfo() = 0;
  // Tells whether the own user is a game master. Slot 25. True when own data
  // is present and its gmLevel is nonzero.
  virtual bool KELVO_CALL IsGm() = 0;
  // Attaches the host's callback object. Slot 26. Asks `host` (not null)
  // for IID_IImClientSink with IM_INTERFACE_VERSION and keeps the answer as
  // the sink, also when it is null. Returns whether a sink is now attached.
  // The replaced sink gets no call. The host keeps the sink alive while it
  // is attached.
  virtual bool KELVO_CALL SetSink(IImBase* host) = 0;
  // Searches users by name. Slot 27, request 10; the answer is a list of
  // OnSearchUserListItem calls ended by OnSearchUserListEnd.
  // - value1: sent unchanged; kelvo-server ignores it
  // - value2: sent unchanged; kelvo-server ignores it
  // - name: part of the names to find, at most 31 GBK bytes; none (null) or
  //   empty finds everyone
  //
  // A null name sends flag 0 and zeros; a name of 32 or more bytes does not
  // fit: false, nothing sent.
  virtual bool KELVO_CALL SearchUser(uint32_t value1, uint32_t value2, const char* name) = 0;

 protected:
  ~IImClient() = default;
};

}  // namespace kelvo

#endif  // KELVO_IM_CLIENT_H_
