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
// before it. Sink callbacks run with the lock held on the calling thread and
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

  // Slot 3. Starts a connection to address->serverIp:serverPort, through the
  // SOCKS5 proxy proxyIp:proxyPort when proxyIp is not 0 (a proxy set by an
  // earlier Connect stays set). `address` must not be null; it is read, not
  // kept. Returns true when the attempt was started, false when one is under
  // way or a connection is up. The outcome arrives as OnConnect(1) (connected)
  // or OnConnect(0) (refused, unreachable, proxy failure or timeout) on the
  // network thread.
  virtual bool KELVO_CALL Connect(const ServerAddress* address) = 0;
  // Slot 4. Empties the friend, group and request tables and MyInfo (search
  // results stay), then closes the connection. No sink call, no OnClose, and
  // nothing the connection read is delivered after Close returns.
  // Returns the network library's result (true also when nothing was open).
  virtual bool KELVO_CALL Close() = 0;

  // Requests, slots 5-17 and 27. Each builds one fixed-size message and hands
  // it to the network library; true means the library took it for sending,
  // nothing more. The answer, if any, arrives later through the sink.
  // False, with nothing sent, when an argument is refused or the library
  // refuses (not connected, send queue full).

  // Slot 5. Request 13. `password` (16 bytes) must not be null (false).
  // `extra` (33 bytes) may be null: zeros are sent in its place.
  virtual bool KELVO_CALL Login(uint32_t userId, const uint8_t* password, const uint8_t* extra) = 0;
  // Slot 6. Request 2.
  virtual bool KELVO_CALL Logout(uint32_t userId) = 0;
  // Slot 7. Request 3. On the wire the second and third arguments change
  // places.
  virtual bool KELVO_CALL AddUser(uint32_t value1, uint32_t value2, uint32_t value3) = 0;
  // Slot 8. Request 4.
  virtual bool KELVO_CALL RemoveUser(uint32_t userId) = 0;
  // Slot 9. Request 5. `name` of 1 to 63 bytes; null, empty or longer: false.
  virtual bool KELVO_CALL AddGroup(uint32_t value1, uint32_t value2, const char* name) = 0;
  // Slot 10. Request 6.
  virtual bool KELVO_CALL DeleteGroup(uint32_t groupId) = 0;
  // Slot 11. Request 7. The name's first 64 bytes are sent (64 or more: no
  // terminator in the field). A null name: false, nothing sent.
  virtual bool KELVO_CALL RenameGroup(uint32_t groupId, const char* name) = 0;
  // Slot 12. Request 8, arguments in order.
  virtual bool KELVO_CALL MoveUser(uint32_t value1, uint32_t value2, uint32_t value3) = 0;
  // Slot 13. Request 73. `text` of 1 to 255 bytes; null, empty or longer:
  // false.
  virtual bool KELVO_CALL SendChatMessage(uint32_t peerUserId, uint32_t value, const char* text,
                                          uint8_t chat1, uint8_t chat2, uint8_t chat3) = 0;
  // Slot 14. No longer supported: sends nothing; with a sink attached it
  // passes a fixed text to OnLog on the calling thread.
  virtual void KELVO_CALL Request_friend(uint32_t ignored) = 0;
  // Slot 15. Request 11. False when `userId` has no pending request. The
  // pending request is erased before the send, whatever the send returns.
  // `accept` is sent as 1 only when its byte is exactly 1.
  virtual bool KELVO_CALL ReplyAddRequest(uint32_t userId, uint32_t value, bool accept) = 0;
  // Slot 16. Request 12 with flag 1. Stores the id in MyInfo.gameServerId
  // first, whatever the send returns.
  virtual bool KELVO_CALL EnterGameServer(uint16_t gameServerId) = 0;
  // Slot 17. Request 12 with flag 0, carrying the id given. Stores 0 in
  // MyInfo.gameServerId first, whatever the send returns.
  virtual bool KELVO_CALL LeaveGameServer(uint16_t gameServerId) = 0;

  // Local reads, slots 18-26. They answer from the local tables and send
  // nothing. Enumeration callbacks run on the calling thread, in ascending
  // unsigned key order, receive the stored record itself (valid during the
  // callback only) and stop when the callback returns false. A callback may
  // change the table it walks (ReplyAddRequest, Close): the walk goes on from
  // the next key still present. No sink, or an empty table: no callback.

  // Slot 18. OnEnumUser for each friend matching every nonzero filter.
  virtual void KELVO_CALL EnumUsers(uint32_t context, uint32_t relation, uint32_t groupId,
                                    uint16_t gameServerId, uint8_t onlineState) = 0;
  // Slot 19. OnEnumAddRequest for each pending request.
  virtual void KELVO_CALL EnumAddRequests(uint32_t context) = 0;
  // Slot 20. OnEnumGroup for each group of the kind (0 = any).
  virtual void KELVO_CALL EnumGroups(uint32_t context, uint32_t groupKind) = 0;
  // Slot 21. Copies the friend's record into *out; false (out untouched) when
  // absent. `out` must not be null.
  virtual bool KELVO_CALL GetUser(uint32_t userId, UserRecord* out) = 0;
  // Slot 22. As GetUser, on the pending requests.
  virtual bool KELVO_CALL GetAddRequest(uint32_t userId, UserRecord* out) = 0;
  // Slot 23. As GetUser, on the groups.
  virtual bool KELVO_CALL GetGroup(uint32_t groupId, GroupRecord* out) = 0;
  // Slot 24. The live own-user record, or null until own data has arrived
  // (and again after Close, a closed connection, a failed login or a
  // logout). The record is changed in place by later messages; read it under
  // no assumption of stability from another thread. Valid until Release.
  virtual const UserRecord* KELVO_CALL GetMyInfo() = 0;
  // Slot 25. True when own data is present and its gmLevel is nonzero.
  virtual bool KELVO_CALL IsGm() = 0;
  // Slot 26. Asks `host` (not null) for IID_IImClientSink with
  // IM_INTERFACE_VERSION and keeps the answer as the sink, also when it is
  // null. Returns whether a sink is now attached. The replaced sink gets no
  // call. The host keeps the sink alive while it is attached.
  virtual bool KELVO_CALL SetSink(IImBase* host) = 0;
  // Slot 27. Request 10. `name` may be null (flag 0, zeros); a name of 32 or
  // more bytes does not fit: false, nothing sent.
  virtual bool KELVO_CALL SearchUser(uint32_t value1, uint32_t value2, const char* name) = 0;

 protected:
  ~IImClient() = default;
};

}  // namespace kelvo

#endif  // KELVO_IM_CLIENT_H_
