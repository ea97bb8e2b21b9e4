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
// Pump mode (IImClientPump, a member object): the network thread never
// takes `lock_`. Its batch holds `queueLock_` instead, which guards only the
// event queue, and HandleMessage and OnConnectState append to `fifo_`; so
// reading and pumping run side by side, and the library's currency check is
// made under the queue's lock. Close, Connect and the destruction hold that
// lock across the socket client's CloseSocket/Connect and the emptying of
// the queue, so nothing of an old connection is pumped and nothing of a new
// one is thrown away. Pump (under `lock_`) copies a run of events out under
// the queue's lock and runs them exactly as a network-thread delivery would
// (Dispatch, DeliverConnectState), handing `lock_` over between two events.
// When the queue has less than kReadHeadroom free, the socket client stops
// reading until Pump has made room. Lock order: `lock_`, then `queueLock_`;
// no callback ever runs under `queueLock_`. The mode changes only under
// both, so a batch that took either lock and then finds the mode it took it
// for keeps it for the whole batch.
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

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "core/client_lock.h"
#include "core/event_fifo.h"
#include "kelvo/im_client.h"
#include "kelvo/im_client_pump.h"
#include "kelvo/im_client_sink.h"
#include "nimbo2/framer.h"
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

  // IImClientPump, reached through pump_ (the face QueryInterface returns).
  bool SetDeliveryMode(uint32_t mode);
  uint32_t GetDeliveryMode();
  uint32_t Pump(uint32_t maxEvents);
  uint32_t PendingEvents() const { return fifo_.Count(); }
  bool WaitForEvents(uint32_t timeoutMs);

  // Free queue bytes below which reading stops: what one read can add. A
  // read hands over at most Framer::kCapacity bytes of messages; each
  // message (4 bytes at least) gains a 4-byte head, so its records take at
  // most twice that, plus the gap one wrap of the ring leaves and room for
  // the connection reports that may follow.
  static constexpr std::size_t kReadHeadroom =
      2 * Nimbo2::Framer::kCapacity + EventFifo::kHeadBytes + Nimbo2::Framer::kMaxLength +
      4 * EventFifo::kHeadBytes;
  static_assert(kReadHeadroom * 2 < KELVO_PUMP_QUEUE_BYTES, "the queue must hold a few reads");
  // Messages that found the queue full (none through the socket client: it
  // stops reading first; only a direct caller of HandleMessage can).
  uint64_t QueueOverflows() const { return queueOverflows_; }
  // Bytes of events Pump takes out of the queue at a time (at least one
  // whole message of the largest size).
  static constexpr std::size_t kRunBytes = 64 * 1024;

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
  // Threads asleep in WaitForEvents right now (tests).
  int Sleepers() const { return eventWaiters_.load(); }

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

  // The IImClientPump the host sees. Its IImBase operations act on the
  // client; the rest forward. Kept as a member so that the object's bases
  // stay IImClient and MsgWorker.
  class PumpFace final : public IImClientPump {
   public:
    explicit PumpFace(ImServerClient* client) : client_(client) {}
    bool KELVO_CALL IsValid() override;
    bool KELVO_CALL Release() override;
    void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t version) override;
    bool KELVO_CALL SetDeliveryMode(uint32_t mode) override;
    uint32_t KELVO_CALL GetDeliveryMode() override;
    uint32_t KELVO_CALL Pump(uint32_t maxEvents) override;
    uint32_t KELVO_CALL PendingEvents() override;
    bool KELVO_CALL WaitForEvents(uint32_t timeoutMs) override;

   private:
    ImServerClient* client_;
  };

  // The handler of one message, as the network thread or Pump runs it.
  // Lock held, life kOpen.
  uint32_t Dispatch(uint8_t* message, uint32_t length, uint32_t context);
  // OnConnect/OnClose of one connection report and the emptying after a
  // close. Lock held, life kOpen.
  void DeliverConnectState(uint32_t state);
  // Pump mode: queues one event and stops reading when the next read might
  // not fit. `inBatch`: on the network thread inside its batch, which wakes
  // WaitForEvents sleepers once at its end. queueLock_ held.
  void QueueMessage(const uint8_t* message, uint32_t length, bool inBatch);
  void QueueConnectState(uint32_t state, bool inBatch);
  void QueueLog(const char* text, bool inBatch);
  void Queued(bool inBatch);
  void WakeWaiters();
  // Drops every queued event (Close, Connect, destruction), stops the
  // dispatch of a run Pump has already taken out, and lets reading go on.
  // lock_ and queueLock_ held.
  void DiscardPendingLocked();
  // HandleMessage's work once the lock is held: nothing once a Release is
  // under way, queued in pump mode, handled otherwise.
  uint32_t Deliver(uint8_t* message, uint32_t length, uint32_t context);

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
  // no atomic operation. In pump mode the lock is the queue's. Kept as a
  // member so that the object's bases stay IImClient and MsgWorker.
  class MessageBatch final : public Nimbo2::BatchWorker {
   public:
    explicit MessageBatch(ImServerClient* client) : client_(client) {}
    void BeginMessages() override;
    void EndMessages() override;
    void BetweenMessages() override;

   private:
    ImServerClient* client_;
    bool pump_ = false;  // this batch holds queueLock_ (network thread only)
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
  PumpFace pump_{this};

  // Pump mode. Changed under lock_ and queueLock_ both; read under either,
  // and by the network thread before it takes one (then checked again).
  std::atomic<uint32_t> deliveryMode_{KELVO_DELIVERY_NETWORK_THREAD};
  // Under lock_.
  bool pumping_ = false;     // a Pump is under way (maybe letting others in)
  uint64_t discards_ = 0;    // DiscardPendingLocked calls, so far
  std::unique_ptr<uint8_t[]> run_;  // the events Pump has taken out
  // Under queueLock_.
  ClientLock queueLock_;
  EventFifo fifo_;
  bool readingPaused_ = false;  // we asked the socket client to stop reading
  bool wakePending_ = false;    // queued inside a batch; EndMessages wakes
  uint64_t queueOverflows_ = 0;
  // WaitForEvents: sleepers, and the lock of their condition (not lock_,
  // which the network thread must not wait for to wake them).
  std::atomic<int> eventWaiters_{0};
  std::mutex waitMu_;
  std::condition_variable waitCv_;

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
