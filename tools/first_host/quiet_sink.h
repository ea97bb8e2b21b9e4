// QuietSink: an IImClientSink whose every callback does nothing, so that a
// small host overrides only the events it acts on. The README's first host
// (built here from the README itself, see CMakeLists.txt) derives from it; a
// host of your own may copy it as it is.
#ifndef KELVO_TOOLS_FIRST_HOST_QUIET_SINK_H_
#define KELVO_TOOLS_FIRST_HOST_QUIET_SINK_H_

#include <cstdint>
#include <cstring>

#include "kelvo/kelvo_core.h"

class QuietSink : public kelvo::IImClientSink {
 public:
  // The sink is the host's object: the client asks it for its face once, in
  // SetSink, and never ends it.
  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t) override {
    return std::memcmp(&iid, &kelvo::IID_IImClientSink, sizeof iid) == 0 ? this : nullptr;
  }

  void KELVO_CALL OnConnect(uint32_t) override {}
  void KELVO_CALL OnClose(uint32_t) override {}
  void KELVO_CALL OnServerInfo() override {}
  void KELVO_CALL OnLoginResult(uint32_t, const char*) override {}
  void KELVO_CALL OnLogout() override {}
  void KELVO_CALL OnAddUserResult(uint32_t, const kelvo::UserRecord*) override {}
  void KELVO_CALL OnRemoveUserResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnAddGroupResult(uint32_t, const kelvo::GroupRecord*) override {}
  void KELVO_CALL OnDeleteGroupResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnUpdateGroupResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnMoveUserResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnChatMessage(kelvo::MessageKind, uint32_t, const char*, uint8_t, uint8_t,
                                uint8_t) override {}
  void KELVO_CALL OnChatMessageEx(kelvo::MessageKind, uint32_t, double, const char*, uint8_t,
                                  uint8_t, uint8_t) override {}
  void KELVO_CALL OnOfflineMessage(kelvo::MessageKind, uint32_t, double, const char*, uint8_t,
                                   uint8_t, uint8_t, const void*, uint32_t) override {}
  void KELVO_CALL OnAddUserRequest(uint32_t) override {}
  void KELVO_CALL OnAddUserReply(uint32_t, const kelvo::UserRecord*) override {}
  void KELVO_CALL OnOnlineStateChanged(uint32_t) override {}
  void KELVO_CALL OnUserEnterGameServer(uint32_t) override {}
  void KELVO_CALL OnUserLeaveGameServer(uint32_t) override {}
  void KELVO_CALL OnLog(const char*) override {}
  void KELVO_CALL OnSearchUserResult(const kelvo::SearchUserResult*) override {}
  void KELVO_CALL OnSearchUserListItem(const kelvo::UserRecord*) override {}
  void KELVO_CALL OnSearchUserListEnd(uint32_t) override {}
  // Enumerations go on while these return true.
  bool KELVO_CALL OnEnumUser(uint32_t, const kelvo::UserRecord*) override { return true; }
  bool KELVO_CALL OnEnumAddRequest(uint32_t, const kelvo::UserRecord*) override { return true; }
  bool KELVO_CALL OnEnumGroup(uint32_t, const kelvo::GroupRecord*) override { return true; }
};

#endif  // KELVO_TOOLS_FIRST_HOST_QUIET_SINK_H_
