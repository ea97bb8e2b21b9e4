// ImServerClient: the one kind of object the module has. It is the host's
// IImClient and the network library's worker at once, owns its socket client,
// the four roster tables and MyInfo, and holds the host's sink unowned.
//
// Delivery, locking and lifetime are one mechanism, in six rules:
//   1. One lock. The ClientLock guards everything of the object: tables,
//      MyInfo, the sink, the life state and the delivery mode. Every entry
//      holds it: each host operation, Pump, WaitForEvents, and every
//      delivery. Callbacks run with it held, so a callback may call any
//      operation back on its own thread; it is re-entrant.
//   2. One path. Inbound bytes wait in the connection's inbox, framed where
//      they lie. Deliver() is the only code that takes them out and runs
//      them (handlers, reports, reason lines), in order, under the lock: the
//      loop thread right after its read in network-thread mode (InboxReady),
//      the host's thread inside Pump in pump mode. The mode only decides the
//      thread. A full inbox stops reading; nothing is copied twice.
//   3. Short waits. Between two messages the deliverer hands the lock to
//      the threads that wait, first come first served, once they are awake
//      (a sleeping waiter is woken, and the deliverer goes on meanwhile
//      instead of idling through its wake-up): a host call waits for at
//      most the one message under way when it is ready to run, and the
//      calls queued before it. A second thread's Pump returns 0 at once
//      instead of waiting.
//   4. Currency. The socket client only hands out what belongs to its
//      current connection. Close and Connect, made under the lock, change
//      the current connection, and the deliverer checks after every message
//      and every hand-over: once Close or Connect returns, nothing of the
//      old connection reaches the host. The check is one word: Close,
//      Connect and Release mark the lock (ClientLock::Mark), a waiting
//      thread counts too, and the deliverer asks the socket client only
//      when the lock's Disturbances() moved. What the old connection
//      accepted for sending is still flushed, in the background, before
//      its FIN.
//   5. Life. `life_` goes kOpen -> kReleasePending -> kDying under the lock.
//      Release marks kReleasePending; the thread's outermost exit (at once
//      outside callbacks) claims kDying, closes the gate (sleepers wake),
//      stops the socket client's calls into us, waits until no other thread
//      holds, waits for or sleeps on the lock, and deletes. Exactly one
//      thread deletes; every other entry finds kDying and leaves.
//   6. Containment. Every host callback runs inside try/catch; an exception
//      is reported through OnLog and the delivery goes on.
//
// Handlers: each inbound message id has one named handler member, called by
// Dispatch only after the category, id and size rule have passed. A handler
// takes (context, message) and returns 0. An id that comes in long streams
// (presence) also has a run handler, which handles back-to-back messages of
// its id in one call, each under the same rules (see RunHandler). Handlers
// never keep an iterator or reference into a table across a sink call: the
// host may Close (emptying the tables) from inside the callback. They look
// entries up again.
#ifndef KELVO_CORE_IM_SERVER_CLIENT_H_
#define KELVO_CORE_IM_SERVER_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <atomic>
#include <thread>

#include "core/client_lock.h"
#include "kelvo/im_client.h"
#include "kelvo/im_client_engine.h"
#include "kelvo/im_client_network.h"
#include "kelvo/im_client_pump.h"
#include "kelvo/im_client_security.h"
#include "kelvo/im_client_sink.h"
#include "nimbo2/msg_worker.h"
#include "nimbo2/tcp_client_socks5.h"
#include "roster/tables.h"
#include "transport/reconnect.h"
#include "transport/security.h"

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
  uint32_t PendingEvents();
  bool WaitForEvents(uint32_t timeoutMs);

  // IImClientEngine, reached through engine_.
  bool UseSharedLoop(uint32_t enable);

  // IImClientSecurity, reached through security_face_: each setter under
  // the lock, refused while a connection exists.
  template <typename Set>
  bool SetSecurity(Set set);

  // IImClientNetwork, reached through networkFace_ (core/network_face.cpp):
  // a connection by host name (transport/connect_by_name.cpp), the proxy by
  // name, reconnection after a loss (transport/reconnect.cpp) and where the
  // login stands (messaging/login_state.cpp).
  bool ConnectTo(const char* host, uint16_t port);
  bool SetProxyHost(const char* host, uint16_t port);
  bool SetReconnect(const KelvoReconnectPolicy* policy);
  uint32_t LoginState();

  // The clock the login's one-second settling reads (steady); tests put
  // one of their own in, the module never changes it.
  using SteadyNow = ClientLock::Clock::time_point (*)();
  void SetLoginClock(SteadyNow now);

  // The shared pumper (core/shared_pump.cpp): runs up to `maxEvents` of
  // this client's events with the lock taken on `ticket`, and lists the
  // client with the pumper again, before it lets the lock go, when events
  // are left. The object may be gone once this returns.
  uint32_t PumpWithTicket(uint64_t ticket, uint32_t maxEvents);
  ClientLock& lock() { return lock_; }
  bool inSharedReady = false;  // under the shared pumper's lock

  // Nimbo2::MsgWorker. The socket client never calls these (the client
  // takes its events itself, rule 2); they are the direct entries that
  // tests, fuzzers and tools use to hand over one message or one state:
  // judged and handled at once, on the calling thread, in either mode.
  uint32_t HandleMessage(void* message, uint32_t length, uint32_t context,
                         uint32_t reserved) override;
  void OnTick(uint32_t tickMs) override;
  void OnConnectState(uint32_t state) override;

  // Empties UserTable, GroupTable and RequestTable (in this order), zeroes
  // MyInfo and puts the login state back to KELVO_LOGIN_NONE. SearchTable
  // stays. Calls nothing on the sink. Lock held.
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
  // A run handler, for an id whose size rule is one length L: handles the
  // messages of [first, last) (whole messages, L apart) one after another
  // while each is of its id, category and length and no callback has
  // disturbed the delivery (RunGoesOn), and returns where it stopped
  // (`first`: the first message is not its kind, Dispatch judges it). A
  // thrown callback ends the run after its message, as Dispatch would.
  // `seen` is the lock's Disturbances() read before the run.
  using RunHandler = uint8_t* (ImServerClient::*)(uint8_t* first, const uint8_t* last,
                                                  uint32_t seen);

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
  uint8_t* RunOnlineStateNotify(uint8_t* first, const uint8_t* last, uint32_t seen);
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
  // Seeds the reconnection's delay draws (tests: a known delay).
  void SeedReconnectDraws(uint64_t seed);
  // Threads waiting for the client's lock right now (tests).
  int LockWaiters() const { return lock_.Waiters(); }
  // Threads asleep in WaitForEvents right now (tests).
  int Sleepers() const { return lock_.Sleepers(); }

 private:
  // Holds the lock for one host call or delivery (rule 1); its exit is
  // where a pending Release is carried out (rule 5).
  class CallScope {
   public:
    explicit CallScope(ImServerClient* client) : client_(client) { client_->Enter(); }
    ~CallScope() { client_->Leave(); }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    // False once a Release is under way.
    bool live() const { return client_->life_ == Life::kOpen; }

   private:
    ImServerClient* client_;
  };

  // The extension interfaces the host sees: their IImBase operations act on
  // the client, the rest forward. Kept as members so that the object's
  // bases stay IImClient and MsgWorker.
  template <typename Interface>
  class Face : public Interface {
   public:
    explicit Face(ImServerClient* client) : client_(client) {}
    bool KELVO_CALL IsValid() override;
    bool KELVO_CALL Release() override;
    void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t version) override;

   protected:
    ImServerClient* client_;
  };

  class PumpFace final : public Face<IImClientPump> {
   public:
    using Face::Face;
    bool KELVO_CALL SetDeliveryMode(uint32_t mode) override;
    uint32_t KELVO_CALL GetDeliveryMode() override;
    uint32_t KELVO_CALL Pump(uint32_t maxEvents) override;
    uint32_t KELVO_CALL PendingEvents() override;
    bool KELVO_CALL WaitForEvents(uint32_t timeoutMs) override;
  };

  class EngineFace final : public Face<IImClientEngine> {
   public:
    using Face::Face;
    bool KELVO_CALL UseSharedLoop(uint32_t enable) override;
    bool KELVO_CALL SetSharedLoopThreads(uint32_t threads) override;
    uint32_t KELVO_CALL PumpSharedLoop(uint32_t maxEvents) override;
    bool KELVO_CALL WaitSharedLoop(uint32_t timeoutMs) override;
    int64_t KELVO_CALL SharedLoopWaitHandle() override;
  };

  class SecurityFace final : public Face<IImClientSecurity> {
   public:
    using Face::Face;
    bool KELVO_CALL SetTlsMode(uint32_t mode) override;
    bool KELVO_CALL SetTlsServerName(const char* serverName) override;
    bool KELVO_CALL SetTlsTrustSystemStore() override;
    bool KELVO_CALL SetTlsTrustCaFile(const char* path) override;
    bool KELVO_CALL SetTlsTrustPin(const uint8_t* sha256, uint32_t size) override;
    bool KELVO_CALL SetProxyCredentials(const char* username, const char* password) override;
  };

  class NetworkFace final : public Face<IImClientNetwork> {
   public:
    using Face::Face;
    bool KELVO_CALL ConnectTo(const char* host, uint16_t port) override;
    bool KELVO_CALL SetProxy(const char* host, uint16_t port) override;
    bool KELVO_CALL SetReconnect(const KelvoReconnectPolicy* policy) override;
    uint32_t KELVO_CALL GetLoginState() override;
  };

  // The socket client's delivery companion: told on the loop thread that
  // the current connection has something new (rule 2).
  class Inbox final : public Nimbo2::InboxWorker {
   public:
    explicit Inbox(ImServerClient* client) : client_(client) {}
    void InboxReady() override { client_->InboxReady(); }

   private:
    ImServerClient* client_;
  };

  enum class Life { kOpen, kReleasePending, kDying };

  void Enter() { lock_.Lock(); }
  // Leaves one level; at the outermost exit of a thread whose Release is
  // pending, destroys the object (rule 5).
  void Leave();
  // Claims the destruction: kDying, no sink, tables emptied, connection
  // closed. Lock held.
  void BeginDying();
  // The rest of rule 5, outside the lock, then delete.
  void Destroy();

  // Rule 2: runs up to `maxEvents` events of the current connection. Lock
  // held, life kOpen. Returns how many ran.
  uint32_t Deliver(uint32_t maxEvents);
  void InboxReady();
  // The handler of one message. Lock held, life kOpen.
  uint32_t Dispatch(uint8_t* message, uint32_t length, uint32_t context);
  // The message at *at, or the run of messages of its id that starts there
  // when the id has a run handler (at most `budget`, at least 1); *at moves
  // past what was handled, the count is returned. `end` ends whole
  // messages. Lock held, life kOpen.
  uint32_t DispatchRun(uint8_t** at, const uint8_t* end, uint32_t budget);
  // Between two messages of a run: true while no thread began to wait for
  // the lock (rule 3) and no callback marked a change (rule 4) since
  // `seen` was read from lock_.Disturbances().
  bool RunGoesOn(uint32_t seen) const { return lock_.Disturbances() == seen; }
  // OnConnect/OnClose of one connection report and the emptying after a
  // close. Lock held, life kOpen.
  void DeliverConnectState(uint32_t state);
  void ReportConnectState(uint32_t state);
  // The host's Connect: starts an attempt at `address`. Lock held, live.
  bool ConnectAddress(const ServerAddress& address);
  // ConnectTo's own work, after the checks and before the target is
  // recorded: the proxy and security of the attempt, and its start.
  bool ConnectToHost(const char* host, uint16_t port);

  // Reconnection (transport/reconnect.cpp). Lock held.
  // Connect and ConnectTo call HostConnects before they start anything: a
  // series under way ends, its attempt dropped unheard (not when the series
  // itself is the caller).
  void HostConnects();
  void EndSeries();
  // After Connect or ConnectTo started an attempt: a loss of the connection
  // it makes goes back to the same place.
  void TargetChosen(const ServerAddress& address);
  void TargetChosen(const char* host, uint16_t port);
  // Around the delivery of one connection state: what the report means for
  // a series is noted before the host hears it, and acted on after, unless
  // the host closed, connected or released inside the callback.
  struct SeriesMark {
    bool ofSeries;    // the report is of an attempt of a series
    uint32_t logins;  // Logins sent before the callback
  };
  SeriesMark BeforeConnectState(uint32_t state);
  void AfterConnectState(uint32_t state, const SeriesMark& mark);
  // Starts the series' next attempt, after its drawn delay.
  void NextAttempt();

  // The reason for a failed attempt or an ended connection, as one OnLog
  // line (transport/link_notes.cpp). Lock held.
  void TellNote(const Nimbo2::LinkNote& note);

  // The login's progress (messaging/login_state.cpp), lock held: a Login
  // went out; login ok came; one of the login's data messages came (a
  // kLoginData* part, 0 for one that only counts as a message of the
  // login); server info emptied the roster. NoteLoginData is what the list
  // handlers call per message: one comparison once the login is complete.
  static constexpr uint32_t kLoginDataOwn = 1;
  static constexpr uint32_t kLoginDataGroups = 2;
  static constexpr uint32_t kLoginDataFriends = 4;
  static constexpr uint32_t kLoginDataAll = kLoginDataOwn | kLoginDataGroups | kLoginDataFriends;
  void LoginSent();
  void LoginAnswered();
  void LoginDataArrived(uint32_t part);
  void LoginRosterEmptied();
  void NoteLoginData(uint32_t part) {
    if (login_.state == KELVO_LOGIN_LOADING) LoginDataArrived(part);
  }

  // What one presence message does (HandleOnlineStateNotify and its run
  // handler). Lock held, life kOpen.
  uint32_t OnlineStateChange(const uint8_t* message);

  // Sends one request built by a request operation. False without a socket.
  bool Send(uint8_t* message, std::size_t size);

  // Reports an exception that a host callback threw, through OnLog, and
  // swallows one thrown by that OnLog too. Lock held.
  void CallbackThrew(const char* format, unsigned value);

  ClientLock lock_;
  Life life_ = Life::kOpen;  // under lock_

  PumpFace pump_{this};
  EngineFace engine_{this};
  SecurityFace securityFace_{this};
  NetworkFace networkFace_{this};
  SecuritySettings security_;  // under lock_
  Reconnection reconnect_;     // under lock_
  // Under lock_: SetProxy's proxy, for ConnectTo (empty: direct), and the
  // proxy the last ServerAddress named, which Connect keeps using.
  std::string proxyHost_;
  uint16_t proxyHostPort_ = 0;
  uint32_t addressProxyIp_ = 0;
  uint16_t addressProxyPort_ = 0;
  uint32_t addressProxyParam_ = 0;
  bool connectToSetProxy_ = false;  // the socket client has ConnectTo's proxy (or none)
  Inbox inbox_{this};

  // Under lock_; mirrored for the loop thread, which reads it without the
  // lock (it cannot change while a connection exists).
  std::atomic<uint32_t> deliveryMode_{KELVO_DELIVERY_NETWORK_THREAD};
  bool sharedLoop_ = false;  // under lock_
  // The thread inside Pump, if any (rule 3).
  std::atomic<std::thread::id> pumpingThread_{};

  // Where the login on the current connection stands (under lock_). The
  // connection is known by the socket client's epoch of the item last
  // taken for delivery: a Close or Connect since then makes the login's
  // connection no longer the current one, whether its end was delivered or
  // not. A Login sent before anything of its connection was delivered (pump
  // mode, OnConnect still queued) takes the epoch of the first item
  // delivered after it.
  struct LoginProgress {
    uint32_t state = KELVO_LOGIN_NONE;
    uint32_t arrived = 0;  // kLoginData* parts since login ok
    uint64_t epoch = 0;    // the connection it belongs to; 0: not known
    ClientLock::Clock::time_point last{};  // the last of its messages
  };
  LoginProgress login_;
  uint64_t deliveredEpoch_ = 0;  // under lock_: of the item Deliver took last
  SteadyNow loginClock_ = &ClientLock::Clock::now;

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
