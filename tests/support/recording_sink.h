// A sink that turns every callback into one line of text, so a test can
// assert the whole sequence of calls and their arguments as one string:
//
//   "OnAddUserResult(2,U{5,1,3,0,0,0,0,0,0,2,'bob'})\nOnLog('...')\n"
//
// Texts are quoted with non-printable and non-ASCII bytes as \xNN; records
// are printed field by field. `onCall` runs after a call is recorded and may
// call back into the client (re-entrancy tests).
#ifndef KELVO_TESTS_SUPPORT_RECORDING_SINK_H_
#define KELVO_TESTS_SUPPORT_RECORDING_SINK_H_

#include <functional>
#include <string>
#include <vector>

#include "kelvo/im_client_sink.h"

namespace kelvo {
namespace test {

std::string Escape(const char* text);
std::string Escape(const void* bytes, std::size_t n);
std::string Describe(const UserRecord& r);
std::string Describe(const GroupRecord& r);

class RecordingSink : public IImClientSink {
 public:
  // Every call, one per line, in order.
  std::string log;
  // Texts of OnLog calls, raw bytes.
  std::vector<std::string> logTexts;
  // Runs after each call is recorded, with the call's name.
  std::function<void(const std::string& name)> onCall;
  // Results of the enumeration callbacks.
  bool enumResult = true;
  // What QueryInterface answers (null: the host refuses).
  bool refuseQuery = false;

  std::string Take() {
    std::string out;
    out.swap(log);
    return out;
  }

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
  void Record(const std::string& name, const std::string& args);
};

}  // namespace test
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_RECORDING_SINK_H_
