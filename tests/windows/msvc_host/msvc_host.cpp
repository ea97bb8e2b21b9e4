// A host built as a game built by Microsoft's compiler would be: clang in
// MSVC mode (*-pc-windows-msvc: MSVC vtables, mangling, record layout, and
// __thiscall as the default for member functions on i686), from the public
// headers unchanged. It loads kelvocore.dll, drives every IImClient
// operation and receives every IImClientSink event: first a whole session
// against kelvo-server on loopback (two clients, alice and bob of the demo
// accounts), then against a peer of its own, which plays SOCKS5 proxy and
// server to hand over records with every field distinct and the values
// kelvo-server never sends.
//
// There is no Microsoft C runtime here, so the program is freestanding: its
// own entry point, a handful of kernel32/ws2_32 imports declared below, no
// exceptions, no RTTI, no global constructors.
//
// Prints "KELVO MSVC HOST OK: <n> checks" as its last line when every check
// held; anything else (a failed check, a crash, a wait cut short) ends with
// a line starting "FAILED" and a nonzero exit status.
//
// Environment: KELVO_PORT, kelvo-server's port on 127.0.0.1. kelvo-server
// must run with --admin-stdin: lines "ADMIN: <command>" on stdout are meant
// for its console, and the script that runs the host forwards them.
#include "kelvo/im_client_pump.h"
#include "kelvo/kelvo_core.h"

using namespace kelvo;

// ---------------------------------------------------------------------------
// The bits of Windows the host needs, declared by hand.

extern "C" {
__declspec(dllimport) void* __stdcall LoadLibraryA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) int __stdcall FreeLibrary(void* module);
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) __attribute__((noreturn)) void __stdcall ExitProcess(unsigned code);
__declspec(dllimport) void __stdcall Sleep(unsigned long ms);
__declspec(dllimport) unsigned long __stdcall GetTickCount();
__declspec(dllimport) unsigned long __stdcall GetCurrentThreadId();
__declspec(dllimport) unsigned long __stdcall GetEnvironmentVariableA(const char* name, char* out,
                                                                      unsigned long size);
__declspec(dllimport) void __stdcall GetSystemTimeAsFileTime(uint32_t* fileTime);
__declspec(dllimport) void __stdcall AcquireSRWLockExclusive(void** lock);
__declspec(dllimport) void __stdcall ReleaseSRWLockExclusive(void** lock);

typedef uintptr_t SOCKET;
__declspec(dllimport) int __stdcall WSAStartup(unsigned short version, void* data);
__declspec(dllimport) int __stdcall WSACleanup();
__declspec(dllimport) SOCKET __stdcall socket(int family, int type, int protocol);
__declspec(dllimport) int __stdcall bind(SOCKET s, const void* address, int length);
__declspec(dllimport) int __stdcall listen(SOCKET s, int backlog);
__declspec(dllimport) int __stdcall getsockname(SOCKET s, void* address, int* length);
__declspec(dllimport) SOCKET __stdcall accept(SOCKET s, void* address, int* length);
__declspec(dllimport) int __stdcall send(SOCKET s, const char* data, int size, int flags);
__declspec(dllimport) int __stdcall recv(SOCKET s, char* data, int size, int flags);
__declspec(dllimport) int __stdcall select(int ignored, void* readSet, void* writeSet,
                                           void* exceptSet, const void* timeout);
__declspec(dllimport) int __stdcall closesocket(SOCKET s);

// What the compiler may call or refer to on its own in a program without a
// C runtime: block copies and fills, the marker for floating-point use, and
// the slot filler of abstract classes' tables.
void* memset(void* to, int value, size_t n) {
  volatile unsigned char* p = static_cast<unsigned char*>(to);
  while (n--) *p++ = static_cast<unsigned char>(value);
  return to;
}
void* memcpy(void* to, const void* from, size_t n) {
  volatile unsigned char* p = static_cast<unsigned char*>(to);
  const unsigned char* q = static_cast<const unsigned char*>(from);
  while (n--) *p++ = *q++;
  return to;
}
int _fltused = 0;
int __cdecl _purecall();
}

namespace {

constexpr SOCKET kNoSocket = ~SOCKET{0};

bool Same(const void* a, const void* b, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(a);
  const unsigned char* q = static_cast<const unsigned char*>(b);
  for (size_t i = 0; i < n; ++i)
    if (p[i] != q[i]) return false;
  return true;
}
size_t Length(const char* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}
// True when the NUL-padded field of `width` bytes holds exactly `text`.
bool FieldIs(const char* field, size_t width, const char* text) {
  const size_t n = Length(text);
  if (n > width || !Same(field, text, n)) return false;
  for (size_t i = n; i < width; ++i)
    if (field[i] != 0) return false;
  return true;
}
void Copy(char* to, size_t width, const char* from) {
  size_t i = 0;
  for (; i + 1 < width && from[i] != 0; ++i) to[i] = from[i];
  to[i] = 0;
}
bool SameDouble(double a, double b) { return Same(&a, &b, sizeof a); }

// ---------------------------------------------------------------------------
// Output and checks. One line per WriteFile, so lines from the network
// thread and the main thread never interleave within a line.

class Line {
 public:
  Line& S(const char* s) {
    while (*s && n_ < sizeof buf_ - 2) buf_[n_++] = *s++;
    return *this;
  }
  Line& U(uint32_t v) {
    char digits[12];
    int k = 0;
    do {
      digits[k++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (k > 0 && n_ < sizeof buf_ - 2) buf_[n_++] = digits[--k];
    return *this;
  }
  void Print() {
    buf_[n_++] = '\n';
    unsigned long written = 0;
    WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), buf_, static_cast<unsigned long>(n_),
              &written, nullptr);
    n_ = 0;
  }

 private:
  char buf_[400];
  size_t n_ = 0;
};

// Counted atomically: a few checks run on the network thread (in callbacks).
int g_checks = 0;
int g_failures = 0;
int g_guardedCalls = 0;  // calls into the DLL with the stack pointer checked

void Check(bool ok, const char* what, int line) {
  __atomic_fetch_add(&g_checks, 1, __ATOMIC_RELAXED);
  if (!ok) {
    __atomic_fetch_add(&g_failures, 1, __ATOMIC_RELAXED);
    Line().S("FAILED: ").S(what).S(" (line ").U(static_cast<uint32_t>(line)).S(")").Print();
  }
}
#define CHECK(cond) Check((cond), #cond, __LINE__)

[[noreturn]] void Finish() {
  if (g_failures != 0) {
    Line().S("FAILED: ").U(static_cast<uint32_t>(g_failures)).S(" of ").U(
        static_cast<uint32_t>(g_checks)).S(" checks").Print();
    ExitProcess(1);
  }
  Line l;
  l.S("KELVO MSVC HOST OK: ").U(static_cast<uint32_t>(g_checks)).S(" checks");
  if (g_guardedCalls != 0)
    l.S(", stack pointer kept by ").U(static_cast<uint32_t>(g_guardedCalls)).S(" calls");
  l.Print();
  ExitProcess(0);
}

// Stops the run at once: what follows depends on what just failed.
[[noreturn]] void Abort(const char* what, int line) {
  Check(false, what, line);
  Finish();
}
#define REQUIRE(cond) ((cond) ? Check(true, #cond, __LINE__) : Abort(#cond, __LINE__))

}  // namespace

extern "C" int __cdecl _purecall() { Abort("pure virtual call", __LINE__); }

namespace {

// ---------------------------------------------------------------------------
// The calling convention, pinned where it is declared. On i686 an MSVC
// member function is __thiscall unless told otherwise; the interfaces
// promise __stdcall, so a header that lost KELVO_CALL stops this build here
// instead of shifting every argument of a game built against it.

#if defined(_M_IX86)
template <class T>
struct IsStdcall {
  static constexpr bool value = false;
};
template <class R, class C, class... A>
struct IsStdcall<R (__stdcall C::*)(A...)> {
  static constexpr bool value = true;
};
#define STDCALL(I, op) static_assert(IsStdcall<decltype(&I::op)>::value, #I "::" #op " is __stdcall");
STDCALL(IImBase, IsValid)
STDCALL(IImBase, Release)
STDCALL(IImBase, QueryInterface)
STDCALL(IImClient, Connect)
STDCALL(IImClient, Close)
STDCALL(IImClient, Login)
STDCALL(IImClient, Logout)
STDCALL(IImClient, AddUser)
STDCALL(IImClient, RemoveUser)
STDCALL(IImClient, AddGroup)
STDCALL(IImClient, DeleteGroup)
STDCALL(IImClient, RenameGroup)
STDCALL(IImClient, MoveUser)
STDCALL(IImClient, SendChatMessage)
STDCALL(IImClient, Request_friend)
STDCALL(IImClient, ReplyAddRequest)
STDCALL(IImClient, EnterGameServer)
STDCALL(IImClient, LeaveGameServer)
STDCALL(IImClient, EnumUsers)
STDCALL(IImClient, EnumAddRequests)
STDCALL(IImClient, EnumGroups)
STDCALL(IImClient, GetUser)
STDCALL(IImClient, GetAddRequest)
STDCALL(IImClient, GetGroup)
STDCALL(IImClient, GetMyInfo)
STDCALL(IImClient, IsGm)
STDCALL(IImClient, SetSink)
STDCALL(IImClient, SearchUser)
STDCALL(IImClientSink, OnConnect)
STDCALL(IImClientSink, OnChatMessage)
STDCALL(IImClientSink, OnChatMessageEx)
STDCALL(IImClientSink, OnOfflineMessage)
STDCALL(IImClientSink, OnEnumUser)
STDCALL(IImClientPump, SetDeliveryMode)
STDCALL(IImClientPump, GetDeliveryMode)
STDCALL(IImClientPump, Pump)
STDCALL(IImClientPump, PendingEvents)
STDCALL(IImClientPump, WaitForEvents)
#undef STDCALL
#endif

// The stack pointer around every call into the DLL: a callee that pops a
// different number of bytes than the caller pushed (one of the two sides
// __thiscall, the other __stdcall) leaves it moved, which is checked after
// each call instead of waiting for a crash that luck may spare.
#if defined(_M_IX86)
#define STACK_MARK(name)                                           \
  uintptr_t name;                                                  \
  __asm__ volatile("movl %%esp, %0" : "=r"(name) : : "memory")
// Counted apart from the checks: how often the host calls depends on timing
// (it polls), and the check count is meant to be the same in every run.
#define STACK_CHECK(before, after, op)                                  \
  do {                                                                  \
    __atomic_fetch_add(&g_guardedCalls, 1, __ATOMIC_RELAXED);           \
    if ((before) != (after)) Abort("stack pointer kept by " op, __LINE__); \
  } while (0)
#else
#define STACK_MARK(name) (void)0
#define STACK_CHECK(before, after, op) (void)0
#endif

// IImClient with every call guarded. One small function per operation, so
// the two marks bracket nothing but the call.
class Client {
 public:
  explicit Client(IImClient* c) : c_(c) {}
  IImClient* raw() const { return c_; }

#define GUARDED(R, op, params, args)           \
  __attribute__((noinline)) R op params {      \
    STACK_MARK(before);                        \
    R result = c_->op args;                    \
    STACK_MARK(after);                         \
    STACK_CHECK(before, after, #op);           \
    return result;                             \
  }
#define GUARDED_VOID(op, params, args)         \
  __attribute__((noinline)) void op params {   \
    STACK_MARK(before);                        \
    c_->op args;                               \
    STACK_MARK(after);                         \
    STACK_CHECK(before, after, #op);           \
  }
  GUARDED(bool, IsValid, (), ())
  GUARDED(bool, Release, (), ())
  GUARDED(void*, QueryInterface, (const GUID& iid, uint32_t version), (iid, version))
  GUARDED(bool, Connect, (const ServerAddress* a), (a))
  GUARDED(bool, Close, (), ())
  GUARDED(bool, Login, (uint32_t id, const uint8_t* pw, const uint8_t* extra), (id, pw, extra))
  GUARDED(bool, Logout, (uint32_t id), (id))
  GUARDED(bool, AddUser, (uint32_t a, uint32_t b, uint32_t c), (a, b, c))
  GUARDED(bool, RemoveUser, (uint32_t id), (id))
  GUARDED(bool, AddGroup, (uint32_t a, uint32_t b, const char* name), (a, b, name))
  GUARDED(bool, DeleteGroup, (uint32_t id), (id))
  GUARDED(bool, RenameGroup, (uint32_t id, const char* name), (id, name))
  GUARDED(bool, MoveUser, (uint32_t a, uint32_t b, uint32_t c), (a, b, c))
  GUARDED(bool, SendChatMessage,
          (uint32_t peer, uint32_t value, const char* text, uint8_t c1, uint8_t c2, uint8_t c3),
          (peer, value, text, c1, c2, c3))
  GUARDED_VOID(Request_friend, (uint32_t ignored), (ignored))
  GUARDED(bool, ReplyAddRequest, (uint32_t id, uint32_t value, bool accept), (id, value, accept))
  GUARDED(bool, EnterGameServer, (uint16_t gs), (gs))
  GUARDED(bool, LeaveGameServer, (uint16_t gs), (gs))
  GUARDED_VOID(EnumUsers,
               (uint32_t context, uint32_t relation, uint32_t group, uint16_t gs, uint8_t online),
               (context, relation, group, gs, online))
  GUARDED_VOID(EnumAddRequests, (uint32_t context), (context))
  GUARDED_VOID(EnumGroups, (uint32_t context, uint32_t kind), (context, kind))
  GUARDED(bool, GetUser, (uint32_t id, UserRecord* out), (id, out))
  GUARDED(bool, GetAddRequest, (uint32_t id, UserRecord* out), (id, out))
  GUARDED(bool, GetGroup, (uint32_t id, GroupRecord* out), (id, out))
  GUARDED(const UserRecord*, GetMyInfo, (), ())
  GUARDED(bool, IsGm, (), ())
  GUARDED(bool, SetSink, (IImBase* host), (host))
  GUARDED(bool, SearchUser, (uint32_t a, uint32_t b, const char* name), (a, b, name))
#undef GUARDED
#undef GUARDED_VOID

 private:
  IImClient* c_;
};

// ---------------------------------------------------------------------------
// The sink: every event is kept whole (arguments, texts and records copied)
// for the main thread to inspect. Event kinds are the sink's slot numbers.

enum : int {
  EV_CONNECT = 3, EV_CLOSE, EV_SERVER_INFO, EV_LOGIN_RESULT, EV_LOGOUT, EV_ADD_USER_RESULT,
  EV_REMOVE_USER_RESULT, EV_ADD_GROUP_RESULT, EV_DELETE_GROUP_RESULT, EV_UPDATE_GROUP_RESULT,
  EV_MOVE_USER_RESULT, EV_CHAT, EV_CHAT_EX, EV_OFFLINE, EV_ADD_USER_REQUEST, EV_ADD_USER_REPLY,
  EV_ONLINE_STATE, EV_ENTER_GS, EV_LEAVE_GS, EV_LOG, EV_SEARCH_RESULT, EV_SEARCH_ITEM,
  EV_SEARCH_END, EV_ENUM_USER, EV_ENUM_REQUEST, EV_ENUM_GROUP, EV_END
};
const char* const kEventNames[EV_END] = {
    "", "", "", "OnConnect", "OnClose", "OnServerInfo", "OnLoginResult", "OnLogout",
    "OnAddUserResult", "OnRemoveUserResult", "OnAddGroupResult", "OnDeleteGroupResult",
    "OnUpdateGroupResult", "OnMoveUserResult", "OnChatMessage", "OnChatMessageEx",
    "OnOfflineMessage", "OnAddUserRequest", "OnAddUserReply", "OnOnlineStateChanged",
    "OnUserEnterGameServer", "OnUserLeaveGameServer", "OnLog", "OnSearchUserResult",
    "OnSearchUserListItem", "OnSearchUserListEnd", "OnEnumUser", "OnEnumAddRequest",
    "OnEnumGroup"};

struct Event {
  int kind;
  bool taken;
  uint32_t a;  // result, state, user, group, context, count or message kind
  uint32_t b;  // the second 32-bit argument: id or sender
  uint32_t v1, v2, v3;
  double value;
  char text[300];
  bool textNull;
  UserRecord user;
  GroupRecord group;
  SearchUserResult search;
  uint8_t block[38];
  uint32_t extra;
  unsigned long thread;
};

constexpr int kEventsPerSink = 160;
Event g_events[4][kEventsPerSink];
uint32_t g_kindsSeen = 0;  // bit per event kind, over all sinks

class Sink : public IImClientSink {
 public:
  explicit Sink(int index) : events_(g_events[index]) {}

  // Set by the test: the client to release from inside OnClose.
  Client* releaseOnClose = nullptr;
  bool releasedInCallback = false;
  // Enumeration callbacks answer false once this many have run (-1: never).
  int enumBudget = -1;
  int queries = 0;
  uint32_t queryVersion = 0;
  bool queryWasSink = false;

  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t version) override {
    ++queries;
    queryVersion = version;
    queryWasSink = Same(&iid, &IID_IImClientSink, sizeof iid);
    return queryWasSink ? static_cast<IImClientSink*>(this) : nullptr;
  }
  void KELVO_CALL OnConnect(uint32_t state) override { Add(EV_CONNECT)->a = state; Done(); }
  void KELVO_CALL OnClose(uint32_t reason) override {
    Add(EV_CLOSE)->a = reason;
    Done();
    if (releaseOnClose != nullptr) {
      Client* c = releaseOnClose;
      releaseOnClose = nullptr;
      releasedInCallback = c->Release();
    }
  }
  void KELVO_CALL OnServerInfo() override { Add(EV_SERVER_INFO); Done(); }
  void KELVO_CALL OnLoginResult(uint32_t result, const char* text) override {
    Event* e = Add(EV_LOGIN_RESULT);
    e->a = result;
    Text(e, text);
    Done();
  }
  void KELVO_CALL OnLogout() override { Add(EV_LOGOUT); Done(); }
  void KELVO_CALL OnAddUserResult(uint32_t result, const UserRecord* user) override {
    UserEvent(EV_ADD_USER_RESULT, result, user);
  }
  void KELVO_CALL OnRemoveUserResult(uint32_t result, uint32_t id) override {
    Pair(EV_REMOVE_USER_RESULT, result, id);
  }
  void KELVO_CALL OnAddGroupResult(uint32_t result, const GroupRecord* group) override {
    Event* e = Add(EV_ADD_GROUP_RESULT);
    e->a = result;
    e->group = *group;
    Done();
  }
  void KELVO_CALL OnDeleteGroupResult(uint32_t result, uint32_t id) override {
    Pair(EV_DELETE_GROUP_RESULT, result, id);
  }
  void KELVO_CALL OnUpdateGroupResult(uint32_t result, uint32_t id) override {
    Pair(EV_UPDATE_GROUP_RESULT, result, id);
  }
  void KELVO_CALL OnMoveUserResult(uint32_t result, uint32_t id) override {
    Pair(EV_MOVE_USER_RESULT, result, id);
  }
  void KELVO_CALL OnChatMessage(MessageKind kind, uint32_t sender, const char* text, uint8_t v1,
                                uint8_t v2, uint8_t v3) override {
    Chat(EV_CHAT, kind, sender, text, v1, v2, v3);
    Done();
  }
  void KELVO_CALL OnChatMessageEx(MessageKind kind, uint32_t sender, double value,
                                  const char* text, uint8_t v1, uint8_t v2, uint8_t v3) override {
    Chat(EV_CHAT_EX, kind, sender, text, v1, v2, v3)->value = value;
    Done();
  }
  void KELVO_CALL OnOfflineMessage(MessageKind kind, uint32_t sender, double value,
                                   const char* text, uint8_t v1, uint8_t v2, uint8_t v3,
                                   const void* block, uint32_t extra) override {
    Event* e = Chat(EV_OFFLINE, kind, sender, text, v1, v2, v3);
    e->value = value;
    memcpy(e->block, block, sizeof e->block);
    e->extra = extra;
    Done();
  }
  void KELVO_CALL OnAddUserRequest(uint32_t id) override { Pair(EV_ADD_USER_REQUEST, id, 0); }
  void KELVO_CALL OnAddUserReply(uint32_t result, const UserRecord* user) override {
    UserEvent(EV_ADD_USER_REPLY, result, user);
  }
  void KELVO_CALL OnOnlineStateChanged(uint32_t id) override { Pair(EV_ONLINE_STATE, id, 0); }
  void KELVO_CALL OnUserEnterGameServer(uint32_t id) override { Pair(EV_ENTER_GS, id, 0); }
  void KELVO_CALL OnUserLeaveGameServer(uint32_t id) override { Pair(EV_LEAVE_GS, id, 0); }
  void KELVO_CALL OnLog(const char* text) override {
    Text(Add(EV_LOG), text);
    Done();
  }
  void KELVO_CALL OnSearchUserResult(const SearchUserResult* result) override {
    Add(EV_SEARCH_RESULT)->search = *result;
    Done();
  }
  void KELVO_CALL OnSearchUserListItem(const UserRecord* user) override {
    UserEvent(EV_SEARCH_ITEM, 0, user);
  }
  void KELVO_CALL OnSearchUserListEnd(uint32_t count) override { Pair(EV_SEARCH_END, count, 0); }
  bool KELVO_CALL OnEnumUser(uint32_t context, const UserRecord* user) override {
    UserEvent(EV_ENUM_USER, context, user);
    return Continue();
  }
  bool KELVO_CALL OnEnumAddRequest(uint32_t context, const UserRecord* user) override {
    UserEvent(EV_ENUM_REQUEST, context, user);
    return Continue();
  }
  bool KELVO_CALL OnEnumGroup(uint32_t context, const GroupRecord* group) override {
    Event* e = Add(EV_ENUM_GROUP);
    e->a = context;
    e->group = *group;
    Done();
    return Continue();
  }

  // Waits (10 s at most) for the first event of `kind` not yet taken whose
  // first argument is `a` (any when `anyA`), takes it and copies it out.
  bool Take(int kind, uint32_t a, bool anyA, Event* out) {
    const unsigned long start = GetTickCount();
    for (;;) {
      AcquireSRWLockExclusive(&lock_);
      for (int i = 0; i < count_; ++i) {
        Event& e = events_[i];
        if (!e.taken && e.kind == kind && (anyA || e.a == a)) {
          e.taken = true;
          *out = e;
          ReleaseSRWLockExclusive(&lock_);
          return true;
        }
      }
      ReleaseSRWLockExclusive(&lock_);
      if (GetTickCount() - start > 10000) {
        Line().S("FAILED: no ").S(kEventNames[kind]).S(" ").U(a).S(" within 10 s").Print();
        return false;
      }
      Sleep(5);
    }
  }
  // Events not yet taken (of any kind, or of one).
  int Pending(int kind = 0) {
    AcquireSRWLockExclusive(&lock_);
    int n = 0;
    for (int i = 0; i < count_; ++i)
      if (!events_[i].taken && (kind == 0 || events_[i].kind == kind)) ++n;
    ReleaseSRWLockExclusive(&lock_);
    return n;
  }
  // Marks every event taken: what the session did not look at is not
  // carried into the next step.
  void Drop() {
    AcquireSRWLockExclusive(&lock_);
    for (int i = 0; i < count_; ++i) events_[i].taken = true;
    ReleaseSRWLockExclusive(&lock_);
  }
  int Total() {
    AcquireSRWLockExclusive(&lock_);
    const int n = count_;
    ReleaseSRWLockExclusive(&lock_);
    return n;
  }

 private:
  // Returns a fresh event with the lock held; Done() releases it.
  Event* Add(int kind) {
    AcquireSRWLockExclusive(&lock_);
    if (count_ == kEventsPerSink) {
      ReleaseSRWLockExclusive(&lock_);
      Abort("sink event log full", __LINE__);
    }
    Event* e = &events_[count_++];
    memset(e, 0, sizeof *e);
    e->kind = kind;
    e->thread = GetCurrentThreadId();
    __atomic_fetch_or(&g_kindsSeen, 1u << kind, __ATOMIC_RELAXED);
    return e;
  }
  void Done() { ReleaseSRWLockExclusive(&lock_); }
  static void Text(Event* e, const char* text) {
    e->textNull = text == nullptr;
    if (text != nullptr) Copy(e->text, sizeof e->text, text);
  }
  void Pair(int kind, uint32_t a, uint32_t b) {
    Event* e = Add(kind);
    e->a = a;
    e->b = b;
    Done();
  }
  void UserEvent(int kind, uint32_t a, const UserRecord* user) {
    Event* e = Add(kind);
    e->a = a;
    e->user = *user;
    Done();
  }
  Event* Chat(int kind, MessageKind messageKind, uint32_t sender, const char* text, uint8_t v1,
              uint8_t v2, uint8_t v3) {
    Event* e = Add(kind);
    e->a = messageKind;
    e->b = sender;
    Text(e, text);
    e->v1 = v1;
    e->v2 = v2;
    e->v3 = v3;
    return e;
  }
  bool Continue() {
    if (enumBudget < 0) return true;
    if (enumBudget > 0) --enumBudget;
    return enumBudget > 0;
  }

  Event* events_;
  int count_ = 0;
  void* lock_ = nullptr;  // SRWLOCK: one pointer, zero when free
};

// ---------------------------------------------------------------------------
// The host's own peer on 127.0.0.1: first a SOCKS5 proxy, then the server
// behind it, all in one accepted connection.

struct SockAddrIn {
  uint16_t family;
  uint16_t port;  // network byte order
  uint32_t address;
  uint8_t zero[8];
};
struct FdSet {
  unsigned int count;
  SOCKET sockets[1];
};
struct TimeVal {
  long seconds;
  long micros;
};

bool WaitReadable(SOCKET s) {
  FdSet set{1, {s}};
  const TimeVal limit{10, 0};
  return select(0, &set, nullptr, nullptr, &limit) == 1;
}

class Peer {
 public:
  Peer() {
    listen_ = socket(2 /*AF_INET*/, 1 /*SOCK_STREAM*/, 6 /*IPPROTO_TCP*/);
    SockAddrIn a{};
    a.family = 2;
    a.address = 0x0100007F;  // 127.0.0.1 in network byte order
    int length = sizeof a;
    if (listen_ != kNoSocket && bind(listen_, &a, sizeof a) == 0 && listen(listen_, 2) == 0 &&
        getsockname(listen_, &a, &length) == 0)
      port_ = static_cast<uint16_t>((a.port >> 8) | (a.port << 8));
  }
  ~Peer() {
    if (conn_ != kNoSocket) closesocket(conn_);
    if (listen_ != kNoSocket) closesocket(listen_);
  }
  uint16_t port() const { return port_; }
  // Stops listening: the port then refuses connections.
  void StopListening() {
    closesocket(listen_);
    listen_ = kNoSocket;
  }
  bool Accept() {
    if (!WaitReadable(listen_)) return false;
    conn_ = accept(listen_, nullptr, nullptr);
    return conn_ != kNoSocket;
  }
  bool Send(const uint8_t* data, size_t n) {
    return send(conn_, reinterpret_cast<const char*>(data), static_cast<int>(n), 0) ==
           static_cast<int>(n);
  }
  bool Read(uint8_t* out, size_t n) {
    while (n > 0) {
      if (!WaitReadable(conn_)) return false;
      const int r = recv(conn_, reinterpret_cast<char*>(out), static_cast<int>(n), 0);
      if (r <= 0) return false;
      out += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  // One whole request: the length word, then the rest. Returns its size.
  size_t ReadMessage(uint8_t* out, size_t capacity) {
    if (!Read(out, 2)) return 0;
    const size_t length = (out[0] | (out[1] << 8)) & 0x7FFF;
    if (length < 4 || length > capacity || !Read(out + 2, length - 2)) return 0;
    return length;
  }
  void CloseConnection() {
    closesocket(conn_);
    conn_ = kNoSocket;
  }

 private:
  SOCKET listen_ = kNoSocket;
  SOCKET conn_ = kNoSocket;
  uint16_t port_ = 0;
};

// A server message: the length word, category 11 in bits 2-7 of byte 2, the
// id, then fields appended little-endian.
class Message {
 public:
  explicit Message(uint8_t id) {
    b_[2] = 11 << 2;
    b_[3] = id;
  }
  Message& U8(uint32_t v) {
    b_[n_++] = static_cast<uint8_t>(v);
    return *this;
  }
  Message& U16(uint32_t v) { return U8(v).U8(v >> 8); }
  Message& U32(uint32_t v) { return U16(v).U16(v >> 16); }
  Message& F64(double v) {
    uint8_t bytes[8];
    memcpy(bytes, &v, 8);
    for (uint8_t x : bytes) U8(x);
    return *this;
  }
  Message& Bytes(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) U8(p[i]);
    return *this;
  }
  Message& Text(const char* s, size_t width) {
    const size_t n = Length(s);
    for (size_t i = 0; i < width; ++i) U8(i < n ? static_cast<uint8_t>(s[i]) : 0);
    return *this;
  }
  bool SendTo(Peer& peer) {
    b_[0] = static_cast<uint8_t>(n_);
    b_[1] = static_cast<uint8_t>(n_ >> 8);
    return peer.Send(b_, n_);
  }

 private:
  uint8_t b_[400] = {};
  size_t n_ = 4;
};

uint32_t U32At(const uint8_t* m, size_t at) {
  return m[at] | (m[at + 1] << 8) | (m[at + 2] << 16) | (static_cast<uint32_t>(m[at + 3]) << 24);
}
uint32_t U16At(const uint8_t* m, size_t at) { return m[at] | (m[at + 1] << 8); }
bool IsRequest(const uint8_t* m, size_t size, uint8_t id, size_t expected) {
  return size == expected && U16At(m, 0) == expected && (m[2] >> 2) == 11 && m[3] == id;
}
bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

// Seconds since 1970 now, as the server stamps offline messages.
double UnixNow() {
  uint32_t ft[2];
  GetSystemTimeAsFileTime(ft);
  return (ft[1] * 4294967296.0 + ft[0]) / 1e7 - 11644473600.0;
}

uint32_t g_serverPort = 0;
CreateKelvoCoreFn g_create = nullptr;

Client Create() {
  auto* client = static_cast<IImClient*>(g_create(&IID_IImClient, IM_INTERFACE_VERSION));
  REQUIRE(client != nullptr);
  return Client(client);
}

// ---------------------------------------------------------------------------
// The session against kelvo-server's demo accounts.

// MD5 of the passwords "alice" and "bob": the login block kelvo-server checks.
const uint8_t kAlicePassword[16] = {0x63, 0x84, 0xe2, 0xb2, 0x18, 0x4b, 0xcb, 0xf5,
                                    0x8e, 0xcc, 0xf1, 0x0c, 0xa7, 0xa6, 0x56, 0x3c};
const uint8_t kBobPassword[16] = {0x9f, 0x9d, 0x51, 0xbc, 0x70, 0xef, 0x21, 0xca,
                                  0x5c, 0x14, 0xf3, 0x07, 0x98, 0x0a, 0x29, 0xd8};
// GBK: "密码错误" (kelvo-server's wrong-password text), "同事", "你好 alice".
const char kWrongPassword[] = "\xC3\xDC\xC2\xEB\xB4\xED\xCE\xF3";
const char kColleagues[] = "\xCD\xAC\xCA\xC2";
const char kHelloAlice[] = "\xC4\xE3\xBA\xC3 alice";

void LogIn(Client& c, Sink& s, uint32_t id, const uint8_t* password) {
  Event e;
  CHECK(c.Login(id, password, nullptr));
  REQUIRE(s.Take(EV_LOGIN_RESULT, 1, false, &e));
  CHECK(!e.textNull && e.text[0] == 0);
}

void ServerSession() {
  Event e;
  Sink sa(0), sb(1);

  // The factory's identifier and version rule.
  CHECK(g_create(&IID_IImClient, 0x01020100) == nullptr);
  CHECK(g_create(&IID_IImClientSink, IM_INTERFACE_VERSION) == nullptr);
  Client base(static_cast<IImClient*>(g_create(&IID_IImBase, 0x010100FF)));
  REQUIRE(base.raw() != nullptr);
  CHECK(base.Release());

  Client a = Create();
  CHECK(a.IsValid());
  CHECK(a.QueryInterface(IID_IImBase, 0x010101FF) == a.raw());
  CHECK(a.QueryInterface(IID_IImClient, 0x01000100) == nullptr);
  CHECK(a.QueryInterface(IID_IImClientSink, IM_INTERFACE_VERSION) == nullptr);
  CHECK(a.GetMyInfo() == nullptr);
  CHECK(!a.IsGm());
  CHECK(a.SetSink(&sa));
  CHECK(sa.queries == 1 && sa.queryWasSink && sa.queryVersion == IM_INTERFACE_VERSION);

  // Slot 14 answers with a text, on the calling thread.
  a.Request_friend(0x12345678);
  CHECK(sa.Take(EV_LOG, 0, true, &e) && e.text[0] != 0 && e.thread == GetCurrentThreadId());
  CHECK(!a.Logout(1001));  // nothing connected

  // A port that refuses: OnConnect(0).
  {
    Peer closed;
    REQUIRE(closed.port() != 0);
    closed.StopListening();
    ServerAddress refused{};
    refused.serverIp = 0x7F000001;
    refused.serverPort = closed.port();
    CHECK(a.Connect(&refused));
    REQUIRE(sa.Take(EV_CONNECT, 0, false, &e));
  }

  ServerAddress server{};
  server.serverIp = 0x7F000001;
  server.serverPort = static_cast<uint16_t>(g_serverPort);
  CHECK(a.Connect(&server));
  REQUIRE(sa.Take(EV_CONNECT, 1, false, &e));
  CHECK(!a.Connect(&server));  // already up

  // A refused login brings the server's reason, then alice logs in.
  const uint8_t wrong[16] = {1};
  CHECK(a.Login(1001, wrong, nullptr));
  REQUIRE(sa.Take(EV_LOGIN_RESULT, 0, false, &e));
  CHECK(FieldIs(e.text, Length(kWrongPassword) + 1, kWrongPassword));
  LogIn(a, sa, 1001, kAlicePassword);
  CHECK(sa.Take(EV_SERVER_INFO, 0, true, &e));
  REQUIRE(sa.Take(EV_ADD_USER_REQUEST, 1004, false, &e));  // dave's, after the lists

  const UserRecord* me = a.GetMyInfo();
  REQUIRE(me != nullptr);
  CHECK(me->userId == 1001 && FieldIs(me->name, 32, "alice") && me->onlineState == 2);
  CHECK(!a.IsGm());

  // The roster: bob in Friends, carol and 小明 in Guild; dave asking.
  a.EnumUsers(21, 0, 0, 0, 0);
  CHECK(sa.Pending(EV_ENUM_USER) == 3);
  CHECK(sa.Take(EV_ENUM_USER, 21, false, &e) && e.user.userId == 1002 &&
        FieldIs(e.user.name, 32, "bob") && e.user.groupId == 1 && e.user.relation == 2);
  CHECK(sa.Take(EV_ENUM_USER, 21, false, &e) && e.user.userId == 1003 && e.user.groupId == 2);
  CHECK(sa.Take(EV_ENUM_USER, 21, false, &e) && e.user.userId == 1005 && e.user.groupId == 2);
  a.EnumUsers(22, 0, 2, 0, 0);  // Guild only
  CHECK(sa.Pending(EV_ENUM_USER) == 2);
  sa.Drop();
  sa.enumBudget = 1;  // the callback's false stops the walk
  a.EnumUsers(23, 0, 0, 0, 0);
  CHECK(sa.Pending(EV_ENUM_USER) == 1);
  sa.enumBudget = -1;
  sa.Drop();
  a.EnumGroups(24, 0);
  CHECK(sa.Pending(EV_ENUM_GROUP) == 2);
  CHECK(sa.Take(EV_ENUM_GROUP, 24, false, &e) && e.group.groupId == 1 &&
        FieldIs(e.group.name, 64, "Friends") && e.group.parentGroupId == 0 &&
        e.group.groupKind == 1);
  CHECK(sa.Take(EV_ENUM_GROUP, 24, false, &e) && e.group.groupId == 2 &&
        FieldIs(e.group.name, 64, "Guild") && e.group.parentGroupId == 1);
  a.EnumAddRequests(25);
  CHECK(sa.Take(EV_ENUM_REQUEST, 25, false, &e) && e.user.userId == 1004 &&
        FieldIs(e.user.name, 32, "dave"));
  CHECK(sa.Pending() == 0);
  UserRecord u{};
  GroupRecord g{};
  CHECK(a.GetUser(1002, &u) && FieldIs(u.name, 32, "bob") && u.onlineState == 1);
  CHECK(!a.GetUser(1004, &u));
  CHECK(a.GetAddRequest(1004, &u) && FieldIs(u.name, 32, "dave"));
  CHECK(a.GetGroup(2, &g) && FieldIs(g.name, 64, "Guild") && g.parentGroupId == 1);
  CHECK(!a.GetGroup(9, &g));

  // bob comes online and moves onto a game server and off it again.
  Client b = Create();
  CHECK(b.SetSink(&sb));
  CHECK(b.Connect(&server));
  REQUIRE(sb.Take(EV_CONNECT, 1, false, &e));
  LogIn(b, sb, 1002, kBobPassword);
  REQUIRE(sa.Take(EV_ONLINE_STATE, 1002, false, &e));
  CHECK(a.GetUser(1002, &u) && u.onlineState == 2);
  CHECK(b.EnterGameServer(0x1234));
  CHECK(b.GetMyInfo() != nullptr && b.GetMyInfo()->gameServerId == 0x1234);
  REQUIRE(sa.Take(EV_ENTER_GS, 1002, false, &e));
  CHECK(a.GetUser(1002, &u) && u.gameServerId == 0x1234);
  sa.Drop();
  a.EnumUsers(26, 0, 0, 0x1234, 0);  // 16-bit filter: bob only
  CHECK(sa.Pending(EV_ENUM_USER) == 1 && sa.Take(EV_ENUM_USER, 26, false, &e) &&
        e.user.userId == 1002 && e.user.gameServerId == 0x1234);
  a.EnumUsers(27, 0, 0, 0x1235, 0);
  CHECK(sa.Pending(EV_ENUM_USER) == 0);
  a.EnumUsers(28, 0, 0, 0, 2);  // 8-bit filter: the one online
  CHECK(sa.Pending(EV_ENUM_USER) == 1 && sa.Take(EV_ENUM_USER, 28, false, &e) &&
        e.user.userId == 1002);
  CHECK(b.LeaveGameServer(0x1234));
  REQUIRE(sa.Take(EV_LEAVE_GS, 1002, false, &e));
  CHECK(a.GetUser(1002, &u) && u.gameServerId == 0);

  // Chat both ways, every byte argument through both conventions.
  CHECK(a.SendChatMessage(1002, 0xA5A5A5A5, "hello bob", 0x81, 0x00, 0xFE));
  REQUIRE(sb.Take(EV_CHAT, 0, false, &e));
  CHECK(e.b == 1001 && FieldIs(e.text, 10, "hello bob") && e.v1 == 0x81 && e.v2 == 0x00 &&
        e.v3 == 0xFE);
  CHECK(b.SendChatMessage(1001, 7, kHelloAlice, 0x01, 0x7F, 0x80));
  REQUIRE(sa.Take(EV_CHAT, 0, false, &e));
  CHECK(e.b == 1002 && FieldIs(e.text, sizeof kHelloAlice, kHelloAlice) && e.v1 == 0x01 &&
        e.v2 == 0x7F && e.v3 == 0x80);

  // bob drops alice, asks again, is declined, asks once more and is taken.
  CHECK(b.RemoveUser(1001));
  REQUIRE(sb.Take(EV_REMOVE_USER_RESULT, 2, false, &e));
  CHECK(e.b == 1001);
  REQUIRE(sa.Take(EV_REMOVE_USER_RESULT, 2, false, &e));
  CHECK(e.b == 1002 && !a.GetUser(1002, &u));
  CHECK(b.AddUser(1001, 1, 0));
  REQUIRE(sa.Take(EV_ADD_USER_REQUEST, 1002, false, &e));
  CHECK(a.GetAddRequest(1002, &u) && FieldIs(u.name, 32, "bob"));
  CHECK(a.ReplyAddRequest(1002, 0, false));
  REQUIRE(sb.Take(EV_ADD_USER_REPLY, 0, false, &e));
  CHECK(e.user.userId == 1001 && FieldIs(e.user.name, 32, "alice"));
  CHECK(!a.GetAddRequest(1002, &u));
  CHECK(!a.ReplyAddRequest(1002, 0, true));  // answered already
  CHECK(b.AddUser(1001, 1, 0));
  REQUIRE(sa.Take(EV_ADD_USER_REQUEST, 1002, false, &e));
  CHECK(a.ReplyAddRequest(1002, 1, true));
  REQUIRE(sa.Take(EV_ADD_USER_RESULT, 2, false, &e));
  CHECK(e.user.userId == 1002 && FieldIs(e.user.name, 32, "bob") && e.user.onlineState == 2 &&
        e.user.groupId == 1);
  REQUIRE(sb.Take(EV_ADD_USER_RESULT, 2, false, &e));
  CHECK(e.user.userId == 1001 && FieldIs(e.user.name, 32, "alice"));
  CHECK(a.ReplyAddRequest(1004, 1, true));  // dave, offline: alice alone hears
  REQUIRE(sa.Take(EV_ADD_USER_RESULT, 2, false, &e));
  CHECK(e.user.userId == 1004 && FieldIs(e.user.name, 32, "dave") && e.user.onlineState == 1);
  CHECK(a.GetUser(1004, &u) && !a.GetAddRequest(1004, &u));

  // Groups: create, rename, file bob in it, delete (bob goes back to 1).
  CHECK(a.AddGroup(1, 1, "Work"));
  REQUIRE(sa.Take(EV_ADD_GROUP_RESULT, 1, false, &e));
  CHECK(e.group.groupId == 3 && e.group.parentGroupId == 1 && e.group.groupKind == 1 &&
        FieldIs(e.group.name, 64, "Work"));
  CHECK(a.RenameGroup(3, kColleagues));
  REQUIRE(sa.Take(EV_UPDATE_GROUP_RESULT, 1, false, &e));
  CHECK(e.b == 3 && a.GetGroup(3, &g) && FieldIs(g.name, 64, kColleagues));
  CHECK(a.MoveUser(1002, 3, 0));
  REQUIRE(sa.Take(EV_MOVE_USER_RESULT, 3, false, &e));
  CHECK(e.b == 1002 && a.GetUser(1002, &u) && u.groupId == 3);
  CHECK(a.DeleteGroup(3));
  REQUIRE(sa.Take(EV_DELETE_GROUP_RESULT, 1, false, &e));
  CHECK(e.b == 3 && !a.GetGroup(3, &g) && a.GetUser(1002, &u) && u.groupId == 1);

  // Search.
  CHECK(a.SearchUser(0, 0, "bo"));
  REQUIRE(sa.Take(EV_SEARCH_END, 1, false, &e));
  CHECK(sa.Take(EV_SEARCH_ITEM, 0, true, &e) && e.user.userId == 1002 &&
        FieldIs(e.user.name, 32, "bob"));

  // The server's notices, through its console.
  Line().S("ADMIN: notice system 3 maintenance at nine").Print();
  REQUIRE(sa.Take(EV_CHAT, 4, false, &e));
  CHECK(FieldIs(e.text, 23, "maintenance at nine"));
  CHECK(sb.Take(EV_CHAT, 4, false, &e));
  Line().S("ADMIN: notice info 0x60 double experience").Print();
  REQUIRE(sa.Take(EV_CHAT, 11, false, &e));
  CHECK(e.b == 0 && e.v1 == 0 && e.v2 == 0 && e.v3 == 0 &&
        FieldIs(e.text, 18, "double experience"));
  CHECK(sb.Take(EV_CHAT, 11, false, &e));

  // An offline message: bob logs out, alice writes, bob logs in again.
  CHECK(b.Logout(1002));
  REQUIRE(sa.Take(EV_ONLINE_STATE, 1002, false, &e));
  CHECK(a.GetUser(1002, &u) && u.onlineState == 1);
  const double sentAt = UnixNow();
  CHECK(a.SendChatMessage(1002, 0, "while you were away", 0x42, 0x99, 0xC3));
  // The server answers alice's requests in order: once her search is back,
  // the chat is stored, whatever the timing of bob's connection.
  CHECK(a.SearchUser(0, 0, "bob"));
  REQUIRE(sa.Take(EV_SEARCH_END, 1, false, &e));
  LogIn(b, sb, 1002, kBobPassword);
  REQUIRE(sb.Take(EV_OFFLINE, 0, false, &e));
  uint8_t block[38] = {'a', 'l', 'i', 'c', 'e'};
  CHECK(e.b == 1001 && FieldIs(e.text, 20, "while you were away"));
  CHECK(e.v1 == 0x42 && e.v2 == 0x99 && e.v3 == 0xC3 && e.extra == 0);
  CHECK(Same(e.block, block, sizeof block));
  CHECK(e.value > sentAt - 30 && e.value < sentAt + 30);  // the server's clock is this one

  // A forced logout from the console.
  Line().S("ADMIN: kick 1002").Print();
  REQUIRE(sb.Take(EV_LOGOUT, 0, true, &e));
  CHECK(b.GetMyInfo() == nullptr);

  // Close: the tables go, no OnClose.
  CHECK(a.Close());
  CHECK(a.GetMyInfo() == nullptr && !a.GetUser(1002, &u) && !a.GetGroup(1, &g));
  CHECK(b.Close());
  Sleep(200);
  CHECK(sa.Pending(EV_CLOSE) == 0 && sb.Pending(EV_CLOSE) == 0);
  CHECK(a.Release());
  CHECK(b.Release());
}

// ---------------------------------------------------------------------------
// The host's own peer, through which the ServerAddress, every field of the
// records and the values kelvo-server never sends are checked.

void PeerSession() {
  Event e;
  Sink sc(2);
  Peer peer;
  REQUIRE(peer.port() != 0);
  Client c = Create();
  CHECK(c.SetSink(&sc));

  // Every field of ServerAddress is read where this compiler put it: the
  // proxy's address and port lead here, the server's come in the CONNECT.
  ServerAddress address{};
  address.serverIp = 0x7F000001;
  address.serverPort = 0x2BCD;
  address.proxyIp = 0x7F000001;
  address.proxyParam = 0xA1B2C3D4;
  address.proxyPort = peer.port();
  CHECK(c.Connect(&address));
  REQUIRE(peer.Accept());
  uint8_t m[400];
  REQUIRE(peer.Read(m, 3));
  CHECK(m[0] == 5 && m[1] == 1 && m[2] == 0);
  const uint8_t method[2] = {5, 0};
  CHECK(peer.Send(method, 2));
  REQUIRE(peer.Read(m, 10));
  const uint8_t connect[10] = {5, 1, 0, 1, 0x7F, 0, 0, 1, 0x2B, 0xCD};
  CHECK(Same(m, connect, 10));
  const uint8_t granted[10] = {5, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  CHECK(peer.Send(granted, 10));
  REQUIRE(sc.Take(EV_CONNECT, 1, false, &e));

  // Login, byte for byte.
  uint8_t password[16], extra[33];
  for (int i = 0; i < 16; ++i) password[i] = static_cast<uint8_t>(0xF0 - i * 7);
  for (int i = 0; i < 33; ++i) extra[i] = static_cast<uint8_t>(0x11 + i * 5);
  CHECK(c.Login(0x0BADF00D, password, extra));
  size_t n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 13, 58) && U32At(m, 4) == 0x0BADF00D && m[8] == 1 &&
        Same(m + 9, password, 16) && Same(m + 25, extra, 33));

  // Login accepted; own data with every field distinct.
  CHECK(Message(51).U32(0).SendTo(peer));
  CHECK(Message(48)
            .U32(0x0BADF00D).U8(0x31).U8(0x32).U8(0x33).U8(0x34)
            .U16(0x3536).U16(0x3738).U16(0x393A).U32(0x3B3C3D3E).U16(0x3F40)
            .Text("myself", 32)
            .SendTo(peer));
  REQUIRE(sc.Take(EV_LOGIN_RESULT, 1, false, &e));
  const UserRecord* me = nullptr;
  for (int i = 0; i < 200 && (me = c.GetMyInfo()) == nullptr; ++i) Sleep(10);
  REQUIRE(me != nullptr);
  CHECK(me->userId == 0x0BADF00D);
  CHECK(me->attr3 == 0x31);
  CHECK(me->attrFlag == 0x32);
  CHECK(me->relation == 0x33);
  CHECK(me->onlineState == 0x34);
  CHECK(me->groupId == 0x3536);
  CHECK(me->attr2 == 0x3738);
  CHECK(me->gameServerId == 0x393A);
  CHECK(me->gmLevel == 0x3B3C3D3E);
  CHECK(me->attr1 == 0x3F40);
  CHECK(FieldIs(me->name, 32, "myself"));
  CHECK(c.IsGm());

  // A request whose UserRecord has every field distinct, read three ways:
  // GetAddRequest's copy, the enumeration's pointer, and the sink's.
  CHECK(Message(64)
            .U32(0x11223344).U8(0x55).U8(0).U16(0x6677).U16(0x8899).U16(0xAABB)
            .U32(0xCCDDEEF0).U8(0x12).U8(0).U16(0x3456).U8(0x78).U8(0x9A)
            .Text("every-field", 32).U16(0)
            .SendTo(peer));
  REQUIRE(sc.Take(EV_ADD_USER_REQUEST, 0x11223344, false, &e));
  UserRecord u;
  memset(&u, 0xEE, sizeof u);
  REQUIRE(c.GetAddRequest(0x11223344, &u));
  for (int pass = 0; pass < 2; ++pass) {
    CHECK(u.userId == 0x11223344);
    CHECK(u.relation == 0x55);
    CHECK(u.groupId == 0x6677);
    CHECK(u.gameServerId == 0xAABB);
    CHECK(u.gmLevel == 0xCCDDEEF0);
    CHECK(u.attr1 == 0x3456);
    CHECK(u.attr2 == 0x8899);
    CHECK(u.attr3 == 0x78);
    CHECK(u.attrFlag == 0x9A);
    CHECK(u.onlineState == 0x12);
    CHECK(FieldIs(u.name, 32, "every-field"));
    c.EnumAddRequests(0x5EED);
    REQUIRE(sc.Take(EV_ENUM_REQUEST, 0x5EED, false, &e));
    u = e.user;
  }

  // A group with every field distinct, from the sink and from GetGroup.
  CHECK(Message(58).U32(1).U16(0x1357).U16(0x2468).U8(0x9B).U16(0xACE0).Text("all-fields", 64)
            .SendTo(peer));
  REQUIRE(sc.Take(EV_ADD_GROUP_RESULT, 1, false, &e));
  GroupRecord g;
  memset(&g, 0xEE, sizeof g);
  CHECK(c.GetGroup(0x1357, &g) && Same(&g, &e.group, sizeof g));
  CHECK(g.groupId == 0x1357);
  CHECK(g.parentGroupId == 0x2468);
  CHECK(g.groupKind == 0x9B);
  CHECK(g.groupAttr == 0xACE0);
  CHECK(FieldIs(g.name, 64, "all-fields"));
  c.EnumGroups(0xC0DE, 0x9B);
  CHECK(sc.Take(EV_ENUM_GROUP, 0xC0DE, false, &e) && e.group.groupId == 0x1357);
  c.EnumGroups(0xC0DF, 0x9C);
  CHECK(sc.Pending(EV_ENUM_GROUP) == 0);

  // The double of the extended chat, and its bytes around it.
  CHECK(Message(68).U32(0x01020304).U32(0).U8(0x80).U8(0xFF).U8(0x01).F64(-1234.5625)
            .Text("ex chat", 12)
            .SendTo(peer));
  REQUIRE(sc.Take(EV_CHAT_EX, 0, false, &e));
  CHECK(e.b == 0x01020304 && SameDouble(e.value, -1234.5625) && FieldIs(e.text, 8, "ex chat") &&
        e.v1 == 0x80 && e.v2 == 0xFF && e.v3 == 0x01);

  // An offline message with all nine arguments set apart.
  uint8_t block[38];
  for (int i = 0; i < 38; ++i) block[i] = static_cast<uint8_t>(0xA0 + i);
  CHECK(Message(70).U32(0x05060708).Bytes(block, 38).U8(0xFE).U8(0x00).U8(0x7F)
            .Text("", 7).F64(6.02214076e23).U32(0x89ABCDEF).Text("stored", 10)
            .SendTo(peer));
  REQUIRE(sc.Take(EV_OFFLINE, 0, false, &e));
  CHECK(e.b == 0x05060708);
  CHECK(SameDouble(e.value, 6.02214076e23));
  CHECK(FieldIs(e.text, 7, "stored"));
  CHECK(e.v1 == 0xFE && e.v2 == 0x00 && e.v3 == 0x7F);
  CHECK(Same(e.block, block, 38));
  CHECK(e.extra == 0x89ABCDEF);

  // The single search result and a notice's source byte.
  CHECK(Message(71).U32(0xA1A2A3A4).U32(0xB1B2B3B4).U32(0xC1C2C3C4).U32(0xD1D2D3D4).SendTo(peer));
  REQUIRE(sc.Take(EV_SEARCH_RESULT, 0, true, &e));
  CHECK(e.search.value1 == 0xA1A2A3A4 && e.search.value2 == 0xB1B2B3B4 &&
        e.search.value3 == 0xC1C2C3C4 && e.search.value4 == 0xD1D2D3D4);
  CHECK(Message(62).U32(4).U8(0x11).U8(0x22).U8(0x33).U8(0xF0).Text("notice", 8).SendTo(peer));
  REQUIRE(sc.Take(EV_CHAT, 5, false, &e));
  CHECK(e.b == 0xF0 && e.v1 == 0x11 && e.v2 == 0x22 && e.v3 == 0x33 &&
        FieldIs(e.text, 7, "notice"));

  // Requests with narrow and reordered arguments, as they reach the wire.
  CHECK(c.SendChatMessage(0x0A0B0C0D, 0x01020304, "narrow", 0x80, 0x7F, 0xFF));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 73, 279) && U32At(m, 4) == 0x0A0B0C0D && U32At(m, 8) == 0x01020304 &&
        m[12] == 0 && m[13] == 0x80 && m[14] == 0x7F && m[15] == 0xFF && AllZero(m + 16, 7) &&
        Same(m + 23, "narrow", 7) && AllZero(m + 30, 279 - 30));
  CHECK(c.EnterGameServer(0xBEEF));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 12, 7) && m[4] == 1 && U16At(m, 5) == 0xBEEF);
  CHECK(me->gameServerId == 0xBEEF);
  CHECK(c.LeaveGameServer(0x8001));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 12, 7) && m[4] == 0 && U16At(m, 5) == 0x8001);
  CHECK(me->gameServerId == 0);
  CHECK(c.ReplyAddRequest(0x11223344, 0x55667788, true));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 11, 16) && U32At(m, 4) == 0x11223344 && U32At(m, 8) == 0x55667788 &&
        U32At(m, 12) == 1);
  CHECK(c.AddUser(0x10000001, 0x20000002, 0x30000003));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 3, 16) && U32At(m, 4) == 0x10000001 && U32At(m, 8) == 0x30000003 &&
        U32At(m, 12) == 0x20000002);
  CHECK(c.MoveUser(0x40000004, 0x50000005, 0x60000006));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 8, 16) && U32At(m, 4) == 0x40000004 && U32At(m, 8) == 0x50000005 &&
        U32At(m, 12) == 0x60000006);
  CHECK(c.AddGroup(0x70000007, 0x80000008, "grp"));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 5, 76) && U32At(m, 4) == 0x70000007 && U32At(m, 8) == 0x80000008 &&
        FieldIs(reinterpret_cast<const char*>(m + 12), 64, "grp"));
  CHECK(c.RenameGroup(0x90000009, "ren"));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 7, 72) && U32At(m, 4) == 0x90000009 &&
        FieldIs(reinterpret_cast<const char*>(m + 8), 64, "ren"));
  CHECK(c.SearchUser(0xA000000A, 0xB000000B, nullptr));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 10, 46) && U32At(m, 4) == 0xA000000A && U32At(m, 8) == 0xB000000B &&
        AllZero(m + 12, 34));
  CHECK(c.RemoveUser(0xC000000C));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 4, 8) && U32At(m, 4) == 0xC000000C);
  CHECK(c.DeleteGroup(0xD000000D));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 6, 8) && U32At(m, 4) == 0xD000000D);
  CHECK(c.Logout(0xE000000E));
  n = peer.ReadMessage(m, sizeof m);
  CHECK(IsRequest(m, n, 2, 8) && U32At(m, 4) == 0xE000000E);

  // The peer hangs up: OnClose(0), inside which the sink releases the
  // client. Nothing reaches the sink after that.
  sc.Drop();
  sc.releaseOnClose = &c;
  peer.CloseConnection();
  REQUIRE(sc.Take(EV_CLOSE, 0, false, &e));
  for (int i = 0; i < 200 && !sc.releasedInCallback; ++i) Sleep(10);
  CHECK(sc.releasedInCallback);
  const int total = sc.Total();
  Sleep(300);
  CHECK(sc.Total() == total);
}

// ---------------------------------------------------------------------------
// The pump extension against kelvo-server: bob logs in with every event run
// by Pump on this thread, and none before the host pumps.

void PumpSession() {
  Event e;
  Sink sp(3);
  Client c = Create();
  auto* pump = static_cast<IImClientPump*>(
      c.QueryInterface(IID_IImClientPump, IM_PUMP_INTERFACE_VERSION));
  REQUIRE(pump != nullptr);
  CHECK(c.QueryInterface(IID_IImClientPump, IM_INTERFACE_VERSION) == nullptr);
  CHECK(pump->IsValid());
  CHECK(pump->QueryInterface(IID_IImClient, IM_INTERFACE_VERSION) == c.raw());
  CHECK(pump->GetDeliveryMode() == KELVO_DELIVERY_NETWORK_THREAD);
  CHECK(pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
  CHECK(c.SetSink(&sp));
  sp.Drop();
  const int before = sp.Total();
  ServerAddress address{};
  address.serverIp = 0x7F000001;
  address.serverPort = static_cast<uint16_t>(g_serverPort);
  CHECK(c.Connect(&address));
  CHECK(!pump->SetDeliveryMode(KELVO_DELIVERY_NETWORK_THREAD));
  for (int i = 0; i < 1000 && pump->PendingEvents() == 0; ++i) pump->WaitForEvents(10);
  CHECK(pump->PendingEvents() == 1);
  CHECK(sp.Total() == before);
  CHECK(pump->Pump(16) == 1);
  REQUIRE(sp.Take(EV_CONNECT, 1, false, &e));
  CHECK(e.thread == GetCurrentThreadId());
  CHECK(c.Login(1002, kBobPassword, nullptr));
  for (int i = 0; i < 1000 && (sp.Pending(EV_LOGIN_RESULT) == 0 || c.GetMyInfo() == nullptr); ++i) {
    pump->WaitForEvents(10);
    pump->Pump(64);
  }
  REQUIRE(sp.Take(EV_LOGIN_RESULT, 1, false, &e));
  CHECK(e.thread == GetCurrentThreadId());
  CHECK(c.GetMyInfo() != nullptr);
  CHECK(pump->Release());
}

void Run() {
  char port[16] = {};
  REQUIRE(GetEnvironmentVariableA("KELVO_PORT", port, sizeof port) > 0);
  for (const char* p = port; *p >= '0' && *p <= '9'; ++p) g_serverPort = g_serverPort * 10 + (*p - '0');
  REQUIRE(g_serverPort > 0 && g_serverPort < 65536);

  alignas(8) uint8_t wsaData[512];
  REQUIRE(WSAStartup(0x0202, wsaData) == 0);

#if defined(KELVO_HOST_IMPORT_LIB)
  // Linked through kelvocore.lib: the loader resolved the import.
  g_create = &CreateKelvoCore;
  void* module = nullptr;
#else
  void* module = LoadLibraryA("kelvocore.dll");
  REQUIRE(module != nullptr);
  g_create = reinterpret_cast<CreateKelvoCoreFn>(GetProcAddress(module, "CreateKelvoCore"));
  REQUIRE(g_create != nullptr);
#endif

  ServerSession();
  PeerSession();
  PumpSession();

  // Every event kind arrived at least once.
  for (int kind = EV_CONNECT; kind < EV_END; ++kind) {
    const bool seen = (g_kindsSeen >> kind) & 1;
    if (!seen) Line().S("FAILED: never received ").S(kEventNames[kind]).Print();
    CHECK(seen);
  }

  if (module != nullptr) CHECK(FreeLibrary(module) != 0);
  WSACleanup();
}

}  // namespace

extern "C" void __cdecl HostMain() {
  Run();
  Finish();
}
