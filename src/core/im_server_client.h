// ImServerClient: the one kind of object the module has. It is the host's
// IImClient and the network library's worker at once, owns its socket client,
// the four roster tables and MyInfo, and holds the host's sink unowned.
//
// Locking and lifetime, one mechanism:
//   - One ClientLock (re-entrant, first come first served) guards the tables,
//     MyInfo, the sink pointer and `life_`. Every host operation and every
//     delivery takes it for its whole duration through CallScope, so sink
//     callbacks run with it held and may call back in on the same thread.
//   - The network thread takes it once for the messages of a read
//     (MessageBatch) and hands it over between two messages whenever another
//     thread waits: a host call waits for at most the message being
//     delivered. After every hand-over, under the lock, the socket client
//     checks that the connection is still current, so nothing read before a
//     Close or Connect reaches the host after it.
//   - `life_` goes kOpen -> kReleasePending -> kDying, or kOpen -> kDying,
//     under the lock, once. kReleasePending: Release came from inside a call
//     on some thread; that thread's outermost exit claims the destruction.
//     kDying: claimed; deliveries do nothing. Exactly the thread that moved
//     `life_` to kDying deletes the object; a thread waiting for the lock at
//     that moment gets it later, finds kDying and leaves.
//   - The socket client is destroyed (its thread joined) only outside the
//     lock. Release on the network thread itself pins the module, since that
//     thread outlives the call.
//   - Exceptions from host callbacks stop at the client's boundary (the
//     delivery, the enumeration, the host call that made the callback): the
//     client reports them through OnLog and goes on.
//
// Handlers: each inbound message id has one named handler member, called by
// HandleMessage only after the category, id and size rule have passed. A
// handler takes (context, message) and returns 0. Handlers never keep an
// iterator or reference into a table across a sink call: the host may Close
// (emptying the tables) from inside the callback. They look entries up again.
#ifndef KELVO_CORE_IM_SERVER_CLIENT_H_
#define KELVO_CORE_IM_SERVER_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/client_lock.h"
#include "kelvo/im_client.h"
#include "kelvo/im_client_sink.h"
#include "nimbo2/msg_worker.h"
#include "nimbo2/tcp_client_socks5.h"
#include "roster/tables.h"

namespace kelvo {

class ImServerClient final : public IImClient, public Nimbo2::MsgWorker {
 public:
  // Builds the socket client that this object works for. Tests pass a factory
  // that returns a recording stand-in; the module uses the real one.
  using SocketFactory = std::function<Nimbo2::TCPClient_Socks5*(Nimbo2::MsgWorker*)>;

  ImServerClient();
  explicit ImServerClient(const SocketFactory& makeSocket);
  virtual ~ImServerClient();

  ImServerClient(const ImServerClient&) = delete;
  ImServerClient& operator=(const ImServerClient&) = delete;

  // IImBase.
  bool KELVO_CALL IsValid() override;
  bool KELVO_CALL Release() override;
  void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t version) override;

  // IImClient, in slot order.
  bool KELVO_CALL Connect(const ServerAddress* address) override;
  bool KELVO_CALL Close() override;
  bool KELVO_CALL Login(uint32_t userId, const uint8_t* password, const uint8_t* extra) override;
  bool KELVO_CALL Logout(uint32_t userId) override;
  bool KELVO_CALL AddUser(uint32_t value1, uint32_t value2, uint32_t value3) override;
  bool KELVO_CALL RemoveUser(uint32_t userId) override;
  bool KELVO_CALL AddGroup(uint32_t value1, uint32_t value2, const char* name) override;
  bool KELVO_CALL DeleteGroup(uint32_t groupId) override;
  bool KELVO_CALL RenameGroup(uint32_t groupId, const char* name) override;
  bool KELVO_CALL MoveUser(uint32_t value1, uint32_t value2, uint32_t value3) override;
  bool KELVO_CALL SendChatMessage(uint32_t peerUserId, uint32_t value, const char* text,
                                  uint8_t chat1, uint8_t chat2, uint8_t chat3) override;
  void KELVO_CALL Request_friend(uint32_t ignored) override;
  bool KELVO_CALL ReplyAddRequest(uint32_t userId, uint32_t value, bool accept) override;
  bool KELVO_CALL EnterGameServer(uint16_t gameServerId) override;
  bool KELVO_CALL LeaveGameServer(uint16_t gameServerId) override;
  void KELVO_CALL EnumUsers(uint32_t context, uint32_t relation, uint32_t groupId,
                            uint16_t gameServerId, uint8_t onlineState) override;
  void KELVO_CALL EnumAddRequests(uint32_t context) override;
  void KELVO_CALL EnumGroups(uint32_t context, uint32_t groupKind) override;
  bool KELVO_CALL GetUser(uint32_t userId, UserRecord* out) override;
  bool KELVO_CALL GetAddRequest(uint32_t userId, UserRecord* out) override;
  bool KELVO_CALL GetGroup(uint32_t groupId, GroupRecord* out) override;
  const UserRecord* KELVO_CALL GetMyInfo() override;
  bool KELVO_CALL IsGm() override;
  bool KELVO_CALL SetSink(IImBase* host) override;
  bool KELVO_CALL SearchUser(uint32_t value1, uint32_t value2, const char* name) override;

  // Nimbo2::MsgWorker. Called by the socket client on its message thread.
  uint32_t HandleMessage(void* message, uint32_t length, uint32_t context,
                         uint32_t reserved) override;
  void OnTick(uint32_t tickMs) override;
  void OnConnectState(uint32_t state) override;

  // Empties UserTable, GroupTable and RequestTable (in this order) and zeroes
  // MyInfo. SearchTable stays. Calls nothing on the sink. Lock held.
  void ClearLoginData();

  // Formats `format` (%u only) into a 512-byte buffer and hands it to OnLog
  // when a sink is attached; without a sink nothing is formatted. Returns
  // `code`. Lock held.
  uint32_t FormatLog(uint32_t code, const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 3, 4)))
#endif
      ;

  // Handler signature. `message` holds the message's L bytes (L from its
  // header), writable.
  using Handler = uint32_t (ImServerClient::*)(uint32_t context, uint8_t* message);

  // Handlers, by id. Login and own data.
  uint32_t HandleServerInfo(uint32_t context, uint8_t* message);      // 45
  uint32_t HandleMyUserData(uint32_t context, uint8_t* message);      // 48
  uint32_t HandleLoginOk(uint32_t context, uint8_t* message);         // 51
  uint32_t HandleLoginFail(uint32_t context, uint8_t* message);       // 52
  uint32_t HandleUserLogout(uint32_t context, uint8_t* message);      // 53
  // Users and presence.
  uint32_t HandleMyUserList(uint32_t context, uint8_t* message);      // 47, 50
  uint32_t HandleAddUserResult(uint32_t context, uint8_t* message);   // 54
  uint32_t HandleRemoveUserResult(uint32_t context, uint8_t* message);  // 55
  uint32_t HandleInOutGsNotify(uint32_t context, uint8_t* message);   // 56
  uint32_t HandleOnlineStateNotify(uint32_t context, uint8_t* message);  // 61
  uint32_t HandleAddUserRequest(uint32_t context, uint8_t* message);  // 64
  uint32_t HandleGmOnlineNotify(uint32_t context, uint8_t* message);  // 65
  uint32_t HandleMoveUserResult(uint32_t context, uint8_t* message);  // 67
  // Groups.
  uint32_t HandleMyGroupList(uint32_t context, uint8_t* message);     // 46, 49
  uint32_t HandleAddGroupResult(uint32_t context, uint8_t* message);  // 58
  uint32_t HandleUpdateGroupResult(uint32_t context, uint8_t* message);  // 59
  uint32_t HandleDelGroupResult(uint32_t context, uint8_t* message);  // 60
  uint32_t HandleModifyGroupResult(uint32_t context, uint8_t* message);  // 66
  // Chat and notices.
  uint32_t HandleSendMessage(uint32_t context, uint8_t* message);     // 9
  uint32_t HandleSystemMessage(uint32_t context, uint8_t* message);   // 62
  uint32_t HandleInfoMessage(uint32_t context, uint8_t* message);     // 63
  uint32_t HandleSendMessageEx(uint32_t context, uint8_t* message);   // 68
  uint32_t HandleOfflineMessage(uint32_t context, uint8_t* message);  // 70
  uint32_t HandleUserChat(uint32_t context, uint8_t* message);        // 73
  // Search.
  uint32_t HandleSearchUserRes(uint32_t context, uint8_t* message);   // 71
  uint32_t HandleSearchUserResList(uint32_t context, uint8_t* message);  // 72

  // Read-only views for tests and tools (lock not taken: single-threaded use).
  const UserMap& users() const { return UserTable; }
  const UserMap& requests() const { return RequestTable; }
  const UserMap& searchResults() const { return SearchTable; }
  const GroupMap& groups() const { return GroupTable; }
  const UserRecord& myInfo() const { return MyInfo; }
  IImClientSink* sink() const { return sink_; }
  // Threads waiting for the client's lock right now (tests).
  int LockWaiters() const { return lock_.Waiters(); }

 private:
  // Holds the lock for one host call or delivery and tracks nesting, so that
  // a Release made from inside a callback is carried out when the outermost
  // call on this thread returns.
  class CallScope {
   public:
    explicit CallScope(ImServerClient* client);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    // False once a Release is under way: deliveries then do nothing.
    bool live() const;

   private:
    ImServerClient* client_;
  };

  // Sends one request built by a request operation. False without a socket.
  bool Send(uint8_t* message, std::size_t size);

  // Taking and leaving the lock for a call or delivery (CallScope) or for
  // the messages of one read (MessageBatch). Leave() destroys the object
  // when a Release is pending and this was the thread's outermost call.
  void Enter() { lock_.Lock(); }
  void Leave();
  // Claims the destruction: kDying, no sink, tables emptied, socket closed
  // (so nothing more is delivered). Lock held, `life_` not kDying.
  void BeginDying();

  // Reports an exception that a host callback threw, through OnLog, and
  // swallows one thrown by that OnLog too. Lock held.
  void CallbackThrew(const char* format, unsigned value);

  // The socket client hands over the messages of one read between
  // BeginMessages and EndMessages: the lock is taken once for all of them,
  // and each HandleMessage only re-enters it on the same thread, which costs
  // no atomic operation. Kept as a member so that the object's bases stay
  // IImClient and MsgWorker.
  class MessageBatch final : public Nimbo2::BatchWorker {
   public:
    explicit MessageBatch(ImServerClient* client) : client_(client) {}
    void BeginMessages() override { client_->Enter(); }
    void EndMessages() override { client_->Leave(); }
    void BetweenMessages() override {
      // At depth 1 no callback is under way. A pending release keeps the
      // lock: the object is about to go.
      ClientLock& lock = client_->lock_;
      if (lock.Waiters() > 0 && lock.Depth() == 1 && client_->life_ == Life::kOpen) {
        lock.LetWaitersIn();
      }
    }

   private:
    ImServerClient* client_;
  };

  // The socket client's reasons for a failed attempt or an ended
  // connection, each handed to the sink as one OnLog line
  // (transport/link_notes.cpp). Called inside the delivery's batch, just
  // before the OnConnectState it explains.
  void OnLinkNote(const Nimbo2::LinkNote& note);
  class LinkNotes final : public Nimbo2::LinkNoteWorker {
   public:
    explicit LinkNotes(ImServerClient* client) : client_(client) {}
    void OnLinkNote(const Nimbo2::LinkNote& note) override { client_->OnLinkNote(note); }

   private:
    ImServerClient* client_;
  };

  enum class Life { kOpen, kReleasePending, kDying };

  ClientLock lock_;
  Life life_ = Life::kOpen;  // under lock_

  MessageBatch batch_{this};
  LinkNotes notes_{this};

  // Members in the order of the object's composition.
  Nimbo2::TCPClient_Socks5* socket_ = nullptr;
  IImClientSink* sink_ = nullptr;
  UserMap UserTable;
  UserMap RequestTable;
  UserMap SearchTable;
  GroupMap GroupTable;
  UserRecord MyInfo{};
};

}  // namespace kelvo

#endif  // KELVO_CORE_IM_SERVER_CLIENT_H_
