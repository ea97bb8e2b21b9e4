// A Windows host as a game client would be one: it loads the DLL at run
// time, finds CreateKelvoCore by name, and drives the client only through
// the IImClient pointer it gets back, so every call goes through the table of
// virtual operations by position, with the interfaces' calling convention.
// A small Winsock listener in the same process plays the server.
//
// Prints "KELVO WIN HOST OK: <n> checks" as its last line when every check
// held; ctest matches that line, so a run that never got here (a missing
// Wine, a crash, a hang cut short) cannot pass.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "kelvo/im_client_pump.h"
#include "kelvo/kelvo_core.h"

namespace {

using namespace kelvo;
using Bytes = std::vector<uint8_t>;

int g_checks = 0;
int g_failures = 0;

void Check(bool ok, const char* what) {
  ++g_checks;
  if (!ok) {
    ++g_failures;
    std::printf("FAILED: %s\n", what);
    std::fflush(stdout);
  }
}

#define CHECK(cond) Check((cond), #cond)

// ---------------------------------------------------------------------------
// The server side: one listener on 127.0.0.1, one accepted connection.

class Listener {
 public:
  Listener() {
    listen_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(listen_, 4) == 0 &&
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    if (conn_ != INVALID_SOCKET) closesocket(conn_);
    closesocket(listen_);
  }

  uint16_t port() const { return port_; }

  bool Accept() {
    if (!WaitReadable(listen_)) return false;
    conn_ = accept(listen_, nullptr, nullptr);
    return conn_ != INVALID_SOCKET;
  }
  bool Send(const Bytes& b) {
    return send(conn_, reinterpret_cast<const char*>(b.data()), static_cast<int>(b.size()), 0) ==
           static_cast<int>(b.size());
  }
  // Reads one whole message: the length word first, then the rest.
  Bytes ReadMessage() {
    Bytes m;
    if (!ReadExactly(2, &m)) return {};
    const std::size_t length = (m[0] | (m[1] << 8)) & 0x7FFF;
    if (length < 4 || !ReadExactly(length - 2, &m)) return {};
    return m;
  }
  void CloseConnection() {
    closesocket(conn_);
    conn_ = INVALID_SOCKET;
  }

 private:
  static bool WaitReadable(SOCKET s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{5, 0};
    return select(0, &set, nullptr, nullptr, &tv) == 1;
  }
  bool ReadExactly(std::size_t n, Bytes* out) {
    while (n > 0) {
      if (!WaitReadable(conn_)) return false;
      char buf[512];
      const int r = recv(conn_, buf, static_cast<int>(n < sizeof buf ? n : sizeof buf), 0);
      if (r <= 0) return false;
      out->insert(out->end(), buf, buf + r);
      n -= static_cast<std::size_t>(r);
    }
    return true;
  }

  SOCKET listen_ = INVALID_SOCKET;
  SOCKET conn_ = INVALID_SOCKET;
  uint16_t port_ = 0;
};

// Server messages: the length word, category 11 in bits 2-7 of byte 2, the id.
class Message {
 public:
  explicit Message(uint8_t id) : b_{0, 0, 11 << 2, id} {}
  Message& U8(uint8_t v) {
    b_.push_back(v);
    return *this;
  }
  Message& U16(uint16_t v) { return U8(static_cast<uint8_t>(v)).U8(static_cast<uint8_t>(v >> 8)); }
  Message& U32(uint32_t v) {
    return U16(static_cast<uint16_t>(v)).U16(static_cast<uint16_t>(v >> 16));
  }
  Message& Text(const char* s, std::size_t width) {
    const std::size_t n = std::strlen(s);
    for (std::size_t i = 0; i < width; ++i) U8(i < n ? static_cast<uint8_t>(s[i]) : 0);
    return *this;
  }
  Bytes Done() {
    b_[0] = static_cast<uint8_t>(b_.size());
    b_[1] = static_cast<uint8_t>(b_.size() >> 8);
    return b_;
  }

 private:
  Bytes b_;
};

uint32_t U32At(const Bytes& m, std::size_t at) {
  return m[at] | (m[at + 1] << 8) | (m[at + 2] << 16) | (static_cast<uint32_t>(m[at + 3]) << 24);
}

// True when `m` is a whole request with this id and total size.
bool IsRequest(const Bytes& m, uint8_t id, std::size_t size) {
  return m.size() == size && (m[0] | (m[1] << 8)) == static_cast<int>(size) &&
         (m[2] >> 2) == 11 && m[3] == id;
}

// ---------------------------------------------------------------------------
// The host's sink: records each event as one line of text.

class HostSink : public IImClientSink {
 public:
  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t version) override {
    Add("QueryInterface " + std::string(std::memcmp(&iid, &IID_IImClientSink, sizeof iid) == 0
                                            ? "sink"
                                            : "other") +
        " " + std::to_string(version));
    return std::memcmp(&iid, &IID_IImClientSink, sizeof iid) == 0
               ? static_cast<IImClientSink*>(this)
               : nullptr;
  }
  void KELVO_CALL OnConnect(uint32_t state) override { Add("OnConnect " + N(state)); }
  void KELVO_CALL OnClose(uint32_t reason) override { Add("OnClose " + N(reason)); }
  void KELVO_CALL OnServerInfo() override { Add("OnServerInfo"); }
  void KELVO_CALL OnLoginResult(uint32_t result, const char* text) override {
    Add("OnLoginResult " + N(result) + " [" + (text ? text : "(null)") + "]");
  }
  void KELVO_CALL OnLogout() override { Add("OnLogout"); }
  void KELVO_CALL OnAddUserResult(uint32_t result, const UserRecord* user) override {
    Add("OnAddUserResult " + N(result) + " " + N(user->userId) + " " + Name(user->name, 32));
  }
  void KELVO_CALL OnRemoveUserResult(uint32_t result, uint32_t userId) override {
    Add("OnRemoveUserResult " + N(result) + " " + N(userId));
  }
  void KELVO_CALL OnAddGroupResult(uint32_t result, const GroupRecord* group) override {
    Add("OnAddGroupResult " + N(result) + " " + N(group->groupId) + " " + Name(group->name, 64));
  }
  void KELVO_CALL OnDeleteGroupResult(uint32_t result, uint32_t groupId) override {
    Add("OnDeleteGroupResult " + N(result) + " " + N(groupId));
  }
  void KELVO_CALL OnUpdateGroupResult(uint32_t result, uint32_t groupId) override {
    Add("OnUpdateGroupResult " + N(result) + " " + N(groupId));
  }
  void KELVO_CALL OnMoveUserResult(uint32_t result, uint32_t userId) override {
    Add("OnMoveUserResult " + N(result) + " " + N(userId));
  }
  void KELVO_CALL OnChatMessage(MessageKind kind, uint32_t sender, const char* text, uint8_t v1,
                                uint8_t v2, uint8_t v3) override {
    Add("OnChatMessage " + N(kind) + " " + N(sender) + " [" + text + "] " + N(v1) + " " + N(v2) +
        " " + N(v3));
  }
  void KELVO_CALL OnChatMessageEx(MessageKind kind, uint32_t sender, double, const char* text,
                                  uint8_t, uint8_t, uint8_t) override {
    Add("OnChatMessageEx " + N(kind) + " " + N(sender) + " [" + text + "]");
  }
  void KELVO_CALL OnOfflineMessage(MessageKind kind, uint32_t sender, double, const char* text,
                                   uint8_t, uint8_t, uint8_t, const void*, uint32_t) override {
    Add("OnOfflineMessage " + N(kind) + " " + N(sender) + " [" + text + "]");
  }
  void KELVO_CALL OnAddUserRequest(uint32_t userId) override { Add("OnAddUserRequest " + N(userId)); }
  void KELVO_CALL OnAddUserReply(uint32_t result, const UserRecord* user) override {
    Add("OnAddUserReply " + N(result) + " " + N(user->userId));
  }
  void KELVO_CALL OnOnlineStateChanged(uint32_t userId) override {
    Add("OnOnlineStateChanged " + N(userId));
  }
  void KELVO_CALL OnUserEnterGameServer(uint32_t userId) override {
    Add("OnUserEnterGameServer " + N(userId));
  }
  void KELVO_CALL OnUserLeaveGameServer(uint32_t userId) override {
    Add("OnUserLeaveGameServer " + N(userId));
  }
  void KELVO_CALL OnLog(const char* text) override { Add(std::string("OnLog ") + text); }
  void KELVO_CALL OnSearchUserResult(const SearchUserResult* r) override {
    Add("OnSearchUserResult " + N(r->value1));
  }
  void KELVO_CALL OnSearchUserListItem(const UserRecord* user) override {
    Add("OnSearchUserListItem " + N(user->userId));
  }
  void KELVO_CALL OnSearchUserListEnd(uint32_t count) override {
    Add("OnSearchUserListEnd " + N(count));
  }
  bool KELVO_CALL OnEnumUser(uint32_t context, const UserRecord* user) override {
    Add("OnEnumUser " + N(context) + " " + N(user->userId) + " " + Name(user->name, 32));
    return true;
  }
  bool KELVO_CALL OnEnumAddRequest(uint32_t context, const UserRecord* user) override {
    Add("OnEnumAddRequest " + N(context) + " " + N(user->userId));
    return true;
  }
  bool KELVO_CALL OnEnumGroup(uint32_t context, const GroupRecord* group) override {
    Add("OnEnumGroup " + N(context) + " " + N(group->groupId) + " " + Name(group->name, 64));
    return true;
  }

  // Waits until `line` has been recorded (5 s at most).
  bool WaitFor(const std::string& line) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(5), [&] {
      for (const std::string& e : events_)
        if (e == line) return true;
      return false;
    });
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    out.swap(events_);
    return out;
  }

 private:
  static std::string N(uint32_t v) { return std::to_string(v); }
  static std::string Name(const char* s, std::size_t width) { return std::string(s, strnlen(s, width)); }
  void Add(std::string line) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(std::move(line));
    }
    cv_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

bool Has(const std::vector<std::string>& events, const std::string& line) {
  for (const std::string& e : events)
    if (e == line) return true;
  return false;
}

// The pump extension on a client of its own: callbacks only inside Pump, on
// this thread; a Close discards what is queued; Release through the
// extension ends the client.
void PumpSession(CreateKelvoCoreFn create) {
  auto* client = static_cast<IImClient*>(create(&IID_IImClient, IM_INTERFACE_VERSION));
  CHECK(client != nullptr);
  if (client == nullptr) return;
  auto* pump = static_cast<IImClientPump*>(
      client->QueryInterface(IID_IImClientPump, IM_PUMP_INTERFACE_VERSION));
  CHECK(pump != nullptr);
  if (pump == nullptr) {
    client->Release();
    return;
  }
  CHECK(client->QueryInterface(IID_IImClientPump, IM_INTERFACE_VERSION) == nullptr);
  CHECK(pump->IsValid());
  CHECK(pump->QueryInterface(IID_IImClient, IM_INTERFACE_VERSION) == client);
  CHECK(pump->GetDeliveryMode() == KELVO_DELIVERY_NETWORK_THREAD);
  CHECK(!pump->SetDeliveryMode(5));
  CHECK(pump->SetDeliveryMode(KELVO_DELIVERY_PUMP));
  HostSink sink;
  CHECK(client->SetSink(&sink));
  sink.Take();

  Listener server;
  ServerAddress address{};
  address.serverIp = 0x7F000001;
  address.serverPort = server.port();
  CHECK(client->Connect(&address));
  CHECK(server.Accept());
  CHECK(!pump->SetDeliveryMode(KELVO_DELIVERY_NETWORK_THREAD));
  CHECK(server.Send(Message(73).U32(2002).U32(0).U8(0).U8(4).U8(5).U8(6).Text("", 7)
                        .Text("hello pump", 256).Done()));
  // WaitForEvents returns at once while anything is queued: sleep instead.
  for (int i = 0; i < 500 && pump->PendingEvents() < 2; ++i) {
    if (pump->WaitForEvents(10)) Sleep(10);
  }
  CHECK(pump->PendingEvents() == 2);
  CHECK(sink.Take().empty());
  CHECK(pump->Pump(1) == 1);
  CHECK(pump->Pump(10) == 1);
  const std::vector<std::string> events = sink.Take();
  CHECK(events.size() == 2 && events[0] == "OnConnect 1" &&
        events[1] == "OnChatMessage 0 2002 [hello pump] 4 5 6");

  // The closure's reason (an OnLog line) and OnClose.
  server.CloseConnection();
  for (int i = 0; i < 500 && pump->PendingEvents() < 2; ++i) {
    if (pump->WaitForEvents(10)) Sleep(10);
  }
  CHECK(pump->PendingEvents() == 2);
  CHECK(client->Close());
  CHECK(pump->PendingEvents() == 0);
  CHECK(pump->Pump(10) == 0);
  CHECK(sink.Take().empty());
  CHECK(pump->SetDeliveryMode(KELVO_DELIVERY_NETWORK_THREAD));
  CHECK(pump->Release());
}

void Run(const char* dllName) {
  HMODULE module = LoadLibraryA(dllName);
  CHECK(module != nullptr);
  if (module == nullptr) return;
  auto create = reinterpret_cast<CreateKelvoCoreFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "CreateKelvoCore")));
  CHECK(create != nullptr);
  if (create == nullptr) return;

  // The factory's identifier and version rule.
  CHECK(create(&IID_IImClient, 0x01020100) == nullptr);
  CHECK(create(&IID_IImClientSink, IM_INTERFACE_VERSION) == nullptr);
  auto* client = static_cast<IImClient*>(create(&IID_IImClient, IM_INTERFACE_VERSION));
  CHECK(client != nullptr);
  if (client == nullptr) return;

  // Slots 0-2, 24-26.
  CHECK(client->IsValid());
  CHECK(client->QueryInterface(IID_IImBase, 0x010101FF) == client);
  CHECK(client->QueryInterface(IID_IImClient, 0x01000100) == nullptr);
  CHECK(client->GetMyInfo() == nullptr);
  CHECK(!client->IsGm());
  HostSink sink;
  CHECK(client->SetSink(&sink));
  CHECK(Has(sink.Take(), "QueryInterface sink " + std::to_string(IM_INTERFACE_VERSION)));

  // Slot 14 answers on the calling thread, with a text.
  client->Request_friend(0x12345678);
  const std::vector<std::string> requestFriend = sink.Take();
  CHECK(requestFriend.size() == 1 && requestFriend[0].rfind("OnLog ", 0) == 0 &&
        requestFriend[0].size() > 6);

  // Requests are refused while nothing is connected.
  const uint8_t password[16] = {0xA0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xAF};
  CHECK(!client->Logout(1001));

  // Slot 3: connect to the listener.
  Listener server;
  CHECK(server.port() != 0);
  ServerAddress address{};
  address.serverIp = 0x7F000001;
  address.serverPort = server.port();
  CHECK(client->Connect(&address));
  CHECK(server.Accept());
  CHECK(sink.WaitFor("OnConnect 1"));

  // Slot 5: the login request, byte for byte where it carries arguments.
  CHECK(client->Login(1001, password, nullptr));
  Bytes m = server.ReadMessage();
  CHECK(IsRequest(m, 13, 58));
  if (m.size() == 58) {
    CHECK(U32At(m, 4) == 1001 && m[8] == 1);
    CHECK(std::memcmp(&m[9], password, 16) == 0);
  }

  // The server's answer, own data, a group, a friend and a friend request.
  CHECK(server.Send(Message(51).U32(0).Done()));
  CHECK(server.Send(Message(48)
                        .U32(1001).U8(0).U8(0).U8(1).U8(0)
                        .U16(7).U16(0).U16(0).U32(0).U16(0)
                        .Text("host", 32)
                        .Done()));
  CHECK(server.Send(Message(58).U32(1).U16(7).U16(0).U8(1).U16(0).Text("friends", 64).Done()));
  CHECK(server.Send(Message(54)
                        .U32(3).U8(1).U32(2002).U8(0).U8(0).U8(2)
                        .U16(7).U16(0).U16(4).U16(0).U8(0)
                        .Text("bob", 32)
                        .Done()));
  CHECK(server.Send(Message(64)
                        .U32(3003).U8(1).U8(0).U16(7).U16(0).U16(0).U32(0).U8(2).U8(0)
                        .U16(0).U8(0).U8(0).Text("carol", 32).U16(0)
                        .Done()));
  CHECK(sink.WaitFor("OnLoginResult 1 []"));
  CHECK(sink.WaitFor("OnAddGroupResult 1 7 friends"));
  CHECK(sink.WaitFor("OnAddUserResult 2 2002 bob"));
  CHECK(sink.WaitFor("OnAddUserRequest 3003"));
  sink.Take();

  // Slots 24-25 on the own data, 18-23 on the tables.
  const UserRecord* me = client->GetMyInfo();
  CHECK(me != nullptr && me->userId == 1001 && std::strcmp(me->name, "host") == 0);
  CHECK(!client->IsGm());
  client->EnumUsers(11, 0, 7, 0, 0);
  client->EnumAddRequests(12);
  client->EnumGroups(13, 0);
  const std::vector<std::string> enumerated = sink.Take();
  CHECK(enumerated.size() == 3);
  CHECK(Has(enumerated, "OnEnumUser 11 2002 bob"));
  CHECK(Has(enumerated, "OnEnumAddRequest 12 3003"));
  CHECK(Has(enumerated, "OnEnumGroup 13 7 friends"));
  client->EnumUsers(11, 0, 8, 0, 0);  // no friend in group 8
  CHECK(sink.Take().empty());
  UserRecord user{};
  CHECK(client->GetUser(2002, &user) && user.groupId == 7 && user.gameServerId == 4);
  CHECK(!client->GetUser(3003, &user));
  CHECK(client->GetAddRequest(3003, &user) && std::strcmp(user.name, "carol") == 0);
  GroupRecord group{};
  CHECK(client->GetGroup(7, &group) && group.groupKind == 1);
  CHECK(!client->GetGroup(8, &group));

  // Every request, each read back by the server in the order sent.
  struct Expected {
    uint8_t id;
    std::size_t size;
    std::function<bool(const Bytes&)> fields;
  };
  const std::vector<std::pair<std::function<bool()>, Expected>> requests = {
      {[&] { return client->Logout(1001); }, {2, 8, [](const Bytes& r) { return U32At(r, 4) == 1001; }}},
      {[&] { return client->AddUser(2004, 5, 6); },
       {3, 16, [](const Bytes& r) { return U32At(r, 4) == 2004 && U32At(r, 8) == 6 && U32At(r, 12) == 5; }}},
      {[&] { return client->RemoveUser(2002); }, {4, 8, [](const Bytes& r) { return U32At(r, 4) == 2002; }}},
      {[&] { return client->AddGroup(1, 7, "mates"); },
       {5, 76, [](const Bytes& r) { return std::memcmp(&r[12], "mates", 6) == 0; }}},
      {[&] { return client->DeleteGroup(7); }, {6, 8, [](const Bytes& r) { return U32At(r, 4) == 7; }}},
      {[&] { return client->RenameGroup(7, "pals"); },
       {7, 72, [](const Bytes& r) { return U32At(r, 4) == 7 && std::memcmp(&r[8], "pals", 5) == 0; }}},
      {[&] { return client->MoveUser(2002, 7, 9); },
       {8, 16, [](const Bytes& r) { return U32At(r, 4) == 2002 && U32At(r, 8) == 7 && U32At(r, 12) == 9; }}},
      {[&] { return client->SendChatMessage(2002, 0, "hi bob", 1, 2, 3); },
       {73, 279, [](const Bytes& r) {
          return U32At(r, 4) == 2002 && r[13] == 1 && r[14] == 2 && r[15] == 3 &&
                 std::memcmp(&r[23], "hi bob", 7) == 0;
        }}},
      {[&] { return client->ReplyAddRequest(3003, 0, true); },
       {11, 16, [](const Bytes& r) { return U32At(r, 4) == 3003 && U32At(r, 12) == 1; }}},
      {[&] { return client->EnterGameServer(9); }, {12, 7, [](const Bytes& r) { return r[4] == 1 && r[5] == 9 && r[6] == 0; }}},
      {[&] { return client->LeaveGameServer(9); }, {12, 7, [](const Bytes& r) { return r[4] == 0 && r[5] == 9 && r[6] == 0; }}},
      {[&] { return client->SearchUser(0, 0, "bob"); },
       {10, 46, [](const Bytes& r) { return r[12] == 1 && std::memcmp(&r[14], "bob", 4) == 0; }}},
  };
  int index = 0;
  for (const auto& [call, expected] : requests) {
    ++index;
    const bool sent = call();
    const Bytes r = server.ReadMessage();
    const bool shape = IsRequest(r, expected.id, expected.size);
    const bool fields = shape && expected.fields(r);
    Check(sent && shape && fields, ("request #" + std::to_string(index) + " id " +
                                    std::to_string(expected.id) + " sent, shaped and filled")
                                       .c_str());
  }
  CHECK(!client->GetAddRequest(3003, &user));  // answered, so dropped

  // EnterGameServer/LeaveGameServer keep MyInfo's game server.
  CHECK(client->EnterGameServer(21));
  CHECK(IsRequest(server.ReadMessage(), 12, 7));
  CHECK(client->GetMyInfo()->gameServerId == 21);
  CHECK(client->LeaveGameServer(21));
  CHECK(IsRequest(server.ReadMessage(), 12, 7));
  CHECK(client->GetMyInfo()->gameServerId == 0);

  // A chat from the server: six arguments through the sink by position.
  CHECK(server.Send(Message(73).U32(2002).U32(0).U8(0).U8(4).U8(5).U8(6).Text("", 7)
                        .Text("hello host", 256).Done()));
  CHECK(sink.WaitFor("OnChatMessage 0 2002 [hello host] 4 5 6"));

  // The server goes away: OnClose(0), then the login's data is gone.
  server.CloseConnection();
  CHECK(sink.WaitFor("OnClose 0"));
  CHECK(client->GetMyInfo() == nullptr);
  CHECK(!client->GetUser(2002, &user));

  // Slot 4 and slot 1.
  client->Close();
  CHECK(client->Release());
  sink.Take();
  PumpSession(create);
  CHECK(FreeLibrary(module) != 0);
}

}  // namespace

int main(int argc, char** argv) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    std::printf("FAILED: WSAStartup\n");
    return 1;
  }
  Run(argc > 1 ? argv[1] : "kelvocore.dll");
  WSACleanup();
  if (g_failures != 0) {
    std::printf("%d of %d checks FAILED\n", g_failures, g_checks);
    return 1;
  }
  std::printf("KELVO WIN HOST OK: %d checks\n", g_checks);
  return 0;
}
