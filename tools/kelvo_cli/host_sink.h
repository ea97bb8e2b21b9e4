// The CLI's callback object: every event becomes one readable line on the
// console. Texts are converted from GBK for display.
//
// Callbacks run on the library's network thread with the client's lock
// held; the lookups made here to name users and groups re-enter the client,
// which its lock allows.
#ifndef KELVO_TOOLS_KELVO_CLI_HOST_SINK_H_
#define KELVO_TOOLS_KELVO_CLI_HOST_SINK_H_

#include <string>

#include "console.h"
#include "kelvo/kelvo_core.h"

namespace kelvo_cli {

// "#1002 "bob" relation=1 group=1 gs=0 online=2(online) gm=0"
std::string DescribeUser(const kelvo::UserRecord& user);
// "#5 "Work" kind=1 parent=1 attr=0"
std::string DescribeGroup(const kelvo::GroupRecord& group);
// A GBK text as a quoted UTF-8 string, line breaks shown as \n.
std::string QuoteGbk(const char* text);
// "chat", "notice", "system type 3", "info bit 2", ...
std::string KindName(kelvo::MessageKind kind);

class HostSink : public kelvo::IImClientSink {
 public:
  explicit HostSink(Console& console) : console_(console) {}
  // The client, for naming users in events; null until created.
  void SetClient(kelvo::IImClient* client) { client_ = client; }
  // Records visited by the enumeration callbacks since the last call. They
  // run on the thread of the host's own call, so only that thread reads it.
  unsigned TakeEnumCount() {
    const unsigned n = enumCount_;
    enumCount_ = 0;
    return n;
  }

  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t version) override;

  void KELVO_CALL OnConnect(uint32_t state) override;
  void KELVO_CALL OnClose(uint32_t reason) override;
  void KELVO_CALL OnServerInfo() override;
  void KELVO_CALL OnLoginResult(uint32_t result, const char* text) override;
  void KELVO_CALL OnLogout() override;
  void KELVO_CALL OnAddUserResult(uint32_t result, const kelvo::UserRecord* user) override;
  void KELVO_CALL OnRemoveUserResult(uint32_t result, uint32_t userId) override;
  void KELVO_CALL OnAddGroupResult(uint32_t result, const kelvo::GroupRecord* group) override;
  void KELVO_CALL OnDeleteGroupResult(uint32_t result, uint32_t groupId) override;
  void KELVO_CALL OnUpdateGroupResult(uint32_t result, uint32_t groupId) override;
  void KELVO_CALL OnMoveUserResult(uint32_t result, uint32_t userId) override;
  void KELVO_CALL OnChatMessage(kelvo::MessageKind kind, uint32_t sender, const char* text,
                                uint8_t v1, uint8_t v2, uint8_t v3) override;
  void KELVO_CALL OnChatMessageEx(kelvo::MessageKind kind, uint32_t sender, double value,
                                  const char* text, uint8_t v1, uint8_t v2, uint8_t v3) override;
  void KELVO_CALL OnOfflineMessage(kelvo::MessageKind kind, uint32_t sender, double value,
                                   const char* text, uint8_t v1, uint8_t v2, uint8_t v3,
                                   const void* block, uint32_t extra) override;
  void KELVO_CALL OnAddUserRequest(uint32_t userId) override;
  void KELVO_CALL OnAddUserReply(uint32_t result, const kelvo::UserRecord* user) override;
  void KELVO_CALL OnOnlineStateChanged(uint32_t userId) override;
  void KELVO_CALL OnUserEnterGameServer(uint32_t userId) override;
  void KELVO_CALL OnUserLeaveGameServer(uint32_t userId) override;
  void KELVO_CALL OnLog(const char* text) override;
  void KELVO_CALL OnSearchUserResult(const kelvo::SearchUserResult* result) override;
  void KELVO_CALL OnSearchUserListItem(const kelvo::UserRecord* user) override;
  void KELVO_CALL OnSearchUserListEnd(uint32_t count) override;
  bool KELVO_CALL OnEnumUser(uint32_t context, const kelvo::UserRecord* user) override;
  bool KELVO_CALL OnEnumAddRequest(uint32_t context, const kelvo::UserRecord* user) override;
  bool KELVO_CALL OnEnumGroup(uint32_t context, const kelvo::GroupRecord* group) override;

 private:
  // "#1002 "bob"" from the friend table, or "#1002" when it is not there.
  std::string NameUser(uint32_t userId);

  Console& console_;
  kelvo::IImClient* client_ = nullptr;
  unsigned enumCount_ = 0;
};

}  // namespace kelvo_cli

#endif  // KELVO_TOOLS_KELVO_CLI_HOST_SINK_H_
