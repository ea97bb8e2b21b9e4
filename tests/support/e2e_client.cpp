#include "support/e2e_client.h"

#include <cstring>
#include <thread>

#include "gtest/gtest.h"
#include "support/recording_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace e2e {
namespace {

using test::Describe;
using test::Escape;
using test::Gbk;

std::string U(uint32_t v) { return std::to_string(v); }

// Quoted and escaped, or NULL.
std::string Text(const char* text) { return Escape(text); }

}  // namespace

void EventLog::Add(std::string line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
    taken_.push_back(false);
  }
  added_.notify_all();
}

bool EventLog::WaitFor(const std::string& pattern, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return added_.wait_for(lock, timeout, [&] {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (!taken_[i] && lines_[i].find(pattern) != std::string::npos) {
        taken_[i] = true;
        return true;
      }
    }
    return false;
  });
}

bool EventLog::Saw(const std::string& pattern) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& line : lines_) {
    if (line.find(pattern) != std::string::npos) return true;
  }
  return false;
}

std::string EventLog::All() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string all;
  for (const std::string& line : lines_) all += line + "\n";
  return all;
}

void* KELVO_CALL EventLog::QueryInterface(const GUID& iid, uint32_t version) {
  if (std::memcmp(&iid, &IID_IImClientSink, sizeof iid) == 0 && version == IM_INTERFACE_VERSION) {
    return static_cast<IImClientSink*>(this);
  }
  return nullptr;
}

void KELVO_CALL EventLog::OnConnect(uint32_t s) { Add("OnConnect(" + U(s) + ")"); }
void KELVO_CALL EventLog::OnClose(uint32_t r) { Add("OnClose(" + U(r) + ")"); }
void KELVO_CALL EventLog::OnServerInfo() { Add("OnServerInfo()"); }
void KELVO_CALL EventLog::OnLoginResult(uint32_t r, const char* t) {
  Add("OnLoginResult(" + U(r) + "," + Text(t) + ")");
}
void KELVO_CALL EventLog::OnLogout() { Add("OnLogout()"); }
void KELVO_CALL EventLog::OnAddUserResult(uint32_t r, const UserRecord* u) {
  Add("OnAddUserResult(" + U(r) + "," + Describe(*u) + ")");
}
void KELVO_CALL EventLog::OnRemoveUserResult(uint32_t r, uint32_t id) {
  Add("OnRemoveUserResult(" + U(r) + "," + U(id) + ")");
}
void KELVO_CALL EventLog::OnAddGroupResult(uint32_t r, const GroupRecord* g) {
  Add("OnAddGroupResult(" + U(r) + "," + Describe(*g) + ")");
}
void KELVO_CALL EventLog::OnDeleteGroupResult(uint32_t r, uint32_t id) {
  Add("OnDeleteGroupResult(" + U(r) + "," + U(id) + ")");
}
void KELVO_CALL EventLog::OnUpdateGroupResult(uint32_t r, uint32_t id) {
  Add("OnUpdateGroupResult(" + U(r) + "," + U(id) + ")");
}
void KELVO_CALL EventLog::OnMoveUserResult(uint32_t r, uint32_t id) {
  Add("OnMoveUserResult(" + U(r) + "," + U(id) + ")");
}
void KELVO_CALL EventLog::OnChatMessage(MessageKind k, uint32_t s, const char* t, uint8_t v1,
                                        uint8_t v2, uint8_t v3) {
  Add("OnChatMessage(" + U(k) + "," + U(s) + "," + Text(t) + "," + U(v1) + "," + U(v2) + "," +
      U(v3) + ")");
}
void KELVO_CALL EventLog::OnChatMessageEx(MessageKind k, uint32_t s, double, const char* t,
                                          uint8_t v1, uint8_t v2, uint8_t v3) {
  Add("OnChatMessageEx(" + U(k) + "," + U(s) + "," + Text(t) + "," + U(v1) + "," + U(v2) + "," +
      U(v3) + ")");
}
void KELVO_CALL EventLog::OnOfflineMessage(MessageKind k, uint32_t s, double value,
                                           const char* t, uint8_t v1, uint8_t v2, uint8_t v3,
                                           const void*, uint32_t extra) {
  // The time stamp is shown only as "set" or "0": its value is the server's
  // clock.
  Add("OnOfflineMessage(" + U(k) + "," + U(s) + "," + (value != 0 ? "set" : "0") + "," +
      Text(t) + "," + U(v1) + "," + U(v2) + "," + U(v3) + "," + U(extra) + ")");
}
void KELVO_CALL EventLog::OnAddUserRequest(uint32_t id) { Add("OnAddUserRequest(" + U(id) + ")"); }
void KELVO_CALL EventLog::OnAddUserReply(uint32_t r, const UserRecord* u) {
  Add("OnAddUserReply(" + U(r) + "," + Describe(*u) + ")");
}
void KELVO_CALL EventLog::OnOnlineStateChanged(uint32_t id) {
  Add("OnOnlineStateChanged(" + U(id) + ")");
}
void KELVO_CALL EventLog::OnUserEnterGameServer(uint32_t id) {
  Add("OnUserEnterGameServer(" + U(id) + ")");
}
void KELVO_CALL EventLog::OnUserLeaveGameServer(uint32_t id) {
  Add("OnUserLeaveGameServer(" + U(id) + ")");
}
void KELVO_CALL EventLog::OnLog(const char* t) { Add("OnLog(" + Text(t) + ")"); }
void KELVO_CALL EventLog::OnSearchUserResult(const SearchUserResult* r) {
  Add("OnSearchUserResult(" + U(r->value1) + "," + U(r->value2) + "," + U(r->value3) + "," +
      U(r->value4) + ")");
}
void KELVO_CALL EventLog::OnSearchUserListItem(const UserRecord* u) {
  Add("OnSearchUserListItem(" + Describe(*u) + ")");
}
void KELVO_CALL EventLog::OnSearchUserListEnd(uint32_t n) {
  Add("OnSearchUserListEnd(" + U(n) + ")");
}
bool KELVO_CALL EventLog::OnEnumUser(uint32_t, const UserRecord* u) {
  Add("OnEnumUser(" + Describe(*u) + ")");
  return true;
}
bool KELVO_CALL EventLog::OnEnumAddRequest(uint32_t, const UserRecord* u) {
  Add("OnEnumAddRequest(" + Describe(*u) + ")");
  return true;
}
bool KELVO_CALL EventLog::OnEnumGroup(uint32_t, const GroupRecord* g) {
  Add("OnEnumGroup(" + Describe(*g) + ")");
  return true;
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Client::Client() {
  client_ = static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION));
  if (client_ != nullptr) client_->SetSink(&events_);
}

Client::~Client() {
  if (client_ != nullptr) client_->Release();
}

IImClientSecurity* Client::security() const {
  if (client_ == nullptr) return nullptr;
  return static_cast<IImClientSecurity*>(
      client_->QueryInterface(IID_IImClientSecurity, IM_SECURITY_INTERFACE_VERSION));
}

bool Client::ConnectTo(uint16_t port, uint16_t proxyPort) {
  if (client_ == nullptr) return false;
  ServerAddress address{};
  address.serverIp = 0x7F000001;
  address.serverPort = port;
  if (proxyPort != 0) {
    address.proxyIp = 0x7F000001;
    address.proxyPort = proxyPort;
  }
  return client_->Connect(&address) && WaitFor("OnConnect(1)");
}

bool Client::LogIn(uint32_t userId, const uint8_t password16[16]) {
  return client_->Login(userId, password16, nullptr) && WaitFor("OnLoginResult(1,'')") &&
         Eventually([&] { return client_->GetMyInfo() != nullptr; },
                    std::chrono::milliseconds(5000));
}

bool Client::Start(uint16_t port, uint32_t userId, const uint8_t password16[16],
                   uint16_t proxyPort) {
  return ConnectTo(port, proxyPort) && LogIn(userId, password16);
}

bool Client::AwaitUser(uint32_t userId, UserRecord* out) {
  return Eventually([&] { return client_->GetUser(userId, out); },
                    std::chrono::milliseconds(5000));
}

void PlayWholeSession(const LogInFunction& logIn) {
  Client alice, bob;
  ASSERT_TRUE(logIn(alice, 1001, "alice")) << alice.events().All();
  UserRecord r{};
  ASSERT_TRUE(alice.AwaitUser(1005, &r));
  EXPECT_EQ(std::string(r.name, strnlen(r.name, sizeof r.name)), Gbk("小明"));
  EXPECT_TRUE(alice.WaitFor("OnAddUserRequest(1004)")) << alice.events().All();

  ASSERT_TRUE(logIn(bob, 1002, "bob")) << bob.events().All();
  ASSERT_TRUE(alice.WaitFor("OnOnlineStateChanged(1002)")) << alice.events().All();
  const std::string hello = Gbk("你好, bob: 加密了");
  const std::string reply = Gbk("收到, alice");
  ASSERT_TRUE(alice->SendChatMessage(1002, 0, hello.c_str(), 0, 0, 0));
  EXPECT_TRUE(bob.WaitFor("OnChatMessage(0,1001," + Escape(hello.c_str()) + ",0,0,0)"))
      << bob.events().All();
  ASSERT_TRUE(bob->SendChatMessage(1001, 0, reply.c_str(), 0, 0, 0));
  EXPECT_TRUE(alice.WaitFor("OnChatMessage(0,1002," + Escape(reply.c_str()) + ",0,0,0)"))
      << alice.events().All();

  const std::string later = Gbk("小明, raid at nine");
  ASSERT_TRUE(alice->SendChatMessage(1005, 0, later.c_str(), 0, 0, 0));
  // Stored once the server has handled it: a round trip on the same link.
  ASSERT_TRUE(alice->SearchUser(0, 0, "alice"));
  ASSERT_TRUE(alice.WaitFor("OnSearchUserListEnd(")) << alice.events().All();
  {
    Client xiaoming;
    ASSERT_TRUE(logIn(xiaoming, 1005, "xiaoming")) << xiaoming.events().All();
    EXPECT_TRUE(
        xiaoming.WaitFor("OnOfflineMessage(0,1001,set," + Escape(later.c_str()) + ",0,0,0,"))
        << xiaoming.events().All();
  }

  ASSERT_TRUE(alice->Logout(1001));
  ASSERT_TRUE(bob.WaitFor("OnOnlineStateChanged(1001)")) << bob.events().All();
  ASSERT_TRUE(bob->GetUser(1001, &r));
  EXPECT_EQ(r.onlineState, 1u);
  EXPECT_TRUE(alice->Close());
  // Nothing went wrong on the way that only a log line would tell.
  EXPECT_FALSE(alice.events().Saw("OnLog(")) << alice.events().All();
  EXPECT_FALSE(bob.events().Saw("OnLog(")) << bob.events().All();
}

}  // namespace e2e
}  // namespace kelvo
