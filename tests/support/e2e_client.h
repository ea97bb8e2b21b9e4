// One in-process client object driven against a live server, with a
// thread-safe record of its events. Events arrive on the library's network
// thread; the test thread waits for them with bounded waits.
//
// Lines look like those of the recording sink: "OnChatMessage(0,1002,'hi',0,0,0)",
// texts escaped (GBK bytes as \xNN), records as Describe() prints them.
#ifndef KELVO_TESTS_SUPPORT_E2E_CLIENT_H_
#define KELVO_TESTS_SUPPORT_E2E_CLIENT_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "kelvo/im_client_security.h"
#include "kelvo/kelvo_core.h"

namespace kelvo {
namespace e2e {

class EventLog : public IImClientSink {
 public:
  // Waits for a line containing `pattern` that no earlier WaitFor took;
  // takes it. False after `timeout`.
  bool WaitFor(const std::string& pattern, std::chrono::milliseconds timeout);
  // Whether any line so far contains `pattern` (taken or not).
  bool Saw(const std::string& pattern) const;
  std::string All() const;

  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t version) override;
  void KELVO_CALL OnConnect(uint32_t state) override;
  void KELVO_CALL OnClose(uint32_t reason) override;
  void KELVO_CALL OnServerInfo() override;
  void KELVO_CALL OnLoginResult(uint32_t result, const char* text) override;
  void KELVO_CALL OnLogout() override;
  void KELVO_CALL OnAddUserResult(uint32_t result, const UserRecord* user) override;
  void KELVO_CALL OnRemoveUserResult(uint32_t result, uint32_t userId) override;
  void KELVO_CALL OnAddGroupResult(uint32_t result, const GroupRecord* group) override;
  void KELVO_CALL OnDeleteGroupResult(uint32_t result, uint32_t groupId) override;
  void KELVO_CALL OnUpdateGroupResult(uint32_t result, uint32_t groupId) override;
  void KELVO_CALL OnMoveUserResult(uint32_t result, uint32_t userId) override;
  void KELVO_CALL OnChatMessage(MessageKind kind, uint32_t sender, const char* text, uint8_t v1,
                                uint8_t v2, uint8_t v3) override;
  void KELVO_CALL OnChatMessageEx(MessageKind kind, uint32_t sender, double value,
                                  const char* text, uint8_t v1, uint8_t v2, uint8_t v3) override;
  void KELVO_CALL OnOfflineMessage(MessageKind kind, uint32_t sender, double value,
                                   const char* text, uint8_t v1, uint8_t v2, uint8_t v3,
                                   const void* block, uint32_t extra) override;
  void KELVO_CALL OnAddUserRequest(uint32_t userId) override;
  void KELVO_CALL OnAddUserReply(uint32_t result, const UserRecord* user) override;
  void KELVO_CALL OnOnlineStateChanged(uint32_t userId) override;
  void KELVO_CALL OnUserEnterGameServer(uint32_t userId) override;
  void KELVO_CALL OnUserLeaveGameServer(uint32_t userId) override;
  void KELVO_CALL OnLog(const char* text) override;
  void KELVO_CALL OnSearchUserResult(const SearchUserResult* result) override;
  void KELVO_CALL OnSearchUserListItem(const UserRecord* user) override;
  void KELVO_CALL OnSearchUserListEnd(uint32_t count) override;
  bool KELVO_CALL OnEnumUser(uint32_t context, const UserRecord* user) override;
  bool KELVO_CALL OnEnumAddRequest(uint32_t context, const UserRecord* user) override;
  bool KELVO_CALL OnEnumGroup(uint32_t context, const GroupRecord* group) override;

 private:
  void Add(std::string line);

  mutable std::mutex mutex_;
  std::condition_variable added_;
  std::vector<std::string> lines_;
  std::vector<bool> taken_;
};

// Polls `condition` until it holds or `timeout` passes. For state that
// arrives without an event (the roster, own data).
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

class Client {
 public:
  Client();
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  IImClient* operator->() const { return client_; }
  IImClient* get() const { return client_; }
  EventLog& events() { return events_; }
  // The client's security face (null if the module has none).
  IImClientSecurity* security() const;

  // Connects to 127.0.0.1:port (through the SOCKS5 proxy on proxyPort when
  // it is not 0) and waits for OnConnect(1).
  bool ConnectTo(uint16_t port, uint16_t proxyPort = 0);
  // Logs in and waits for the result and the own data.
  bool LogIn(uint32_t userId, const uint8_t password16[16]);
  // Connects and logs in.
  bool Start(uint16_t port, uint32_t userId, const uint8_t password16[16],
             uint16_t proxyPort = 0);
  // Waits for an event; 5 s unless told.
  bool WaitFor(const std::string& pattern,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    return events_.WaitFor(pattern, timeout);
  }
  // The friend's record, when the roster holds it within 5 s.
  bool AwaitUser(uint32_t userId, UserRecord* out);

 private:
  EventLog events_;
  IImClient* client_ = nullptr;
};

// The session every secure route is tried with: alice logs in and gets her
// roster and a pending request, bob logs in, the two chat both ways in GBK,
// alice leaves 小明 an offline message that his login brings, and alice
// logs out, which bob sees. `logIn` sets up the client's route and security,
// connects it and logs it in. Failures are reported to GoogleTest.
using LogInFunction =
    std::function<bool(Client& client, uint32_t userId, const std::string& password)>;
void PlayWholeSession(const LogInFunction& logIn);

}  // namespace e2e
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_E2E_CLIENT_H_
