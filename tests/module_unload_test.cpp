// A host that releases the client from a callback on the network thread and
// unloads the module as soon as Release has returned. The network thread
// still runs module code after that Release (it destroys the client when the
// callback returns), so the module must stay loaded for it.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "kelvo/kelvo_core.h"
#include "support/loopback_server.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;

// Releases the client from inside OnConnect, then lets the host go on.
class ReleasingSink : public IImClientSink {
 public:
  IImClient* client = nullptr;
  std::atomic<bool> released{false};

  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID&, uint32_t) override { return this; }
  void KELVO_CALL OnConnect(uint32_t) override {
    client->Release();
    released = true;
  }
  void KELVO_CALL OnClose(uint32_t) override {}
  void KELVO_CALL OnServerInfo() override {}
  void KELVO_CALL OnLoginResult(uint32_t, const char*) override {}
  void KELVO_CALL OnLogout() override {}
  void KELVO_CALL OnAddUserResult(uint32_t, const UserRecord*) override {}
  void KELVO_CALL OnRemoveUserResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnAddGroupResult(uint32_t, const GroupRecord*) override {}
  void KELVO_CALL OnDeleteGroupResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnUpdateGroupResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnMoveUserResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnChatMessage(MessageKind, uint32_t, const char*, uint8_t, uint8_t,
                                uint8_t) override {}
  void KELVO_CALL OnChatMessageEx(MessageKind, uint32_t, double, const char*, uint8_t, uint8_t,
                                  uint8_t) override {}
  void KELVO_CALL OnOfflineMessage(MessageKind, uint32_t, double, const char*, uint8_t, uint8_t,
                                   uint8_t, const void*, uint32_t) override {}
  void KELVO_CALL OnAddUserRequest(uint32_t) override {}
  void KELVO_CALL OnAddUserReply(uint32_t, const UserRecord*) override {}
  void KELVO_CALL OnOnlineStateChanged(uint32_t) override {}
  void KELVO_CALL OnUserEnterGameServer(uint32_t) override {}
  void KELVO_CALL OnUserLeaveGameServer(uint32_t) override {}
  void KELVO_CALL OnLog(const char*) override {}
  void KELVO_CALL OnSearchUserResult(const SearchUserResult*) override {}
  void KELVO_CALL OnSearchUserListItem(const UserRecord*) override {}
  void KELVO_CALL OnSearchUserListEnd(uint32_t) override {}
  bool KELVO_CALL OnEnumUser(uint32_t, const UserRecord*) override { return true; }
  bool KELVO_CALL OnEnumAddRequest(uint32_t, const UserRecord*) override { return true; }
  bool KELVO_CALL OnEnumGroup(uint32_t, const GroupRecord*) override { return true; }
};

TEST(ModuleUnload, ReleaseOnTheNetworkThreadThenUnloadSurvives) {
  test::LoopbackServer server;
  for (int round = 0; round < 200; ++round) {
    void* module = dlopen(KELVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto create = reinterpret_cast<CreateKelvoCoreFn>(dlsym(module, "CreateKelvoCore"));
    ASSERT_NE(create, nullptr);
    ReleasingSink sink;
    sink.client = static_cast<IImClient*>(create(&IID_IImClient, IM_INTERFACE_VERSION));
    ASSERT_NE(sink.client, nullptr);
    ASSERT_TRUE(sink.client->SetSink(&sink));
    ServerAddress address{};
    address.serverIp = 0x7F000001;
    address.serverPort = server.port();
    ASSERT_TRUE(sink.client->Connect(&address));
    ASSERT_TRUE(server.Accept());
    for (int i = 0; i < 5000 && !sink.released; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(sink.released) << "round " << round;
    // Release has returned: the host unloads at once, as a game would.
    EXPECT_EQ(dlclose(module), 0);
    EXPECT_NE(dlopen(KELVO_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "the module was unloaded under its network thread";
    // Give the released client's thread time to run its last code (and
    // crash, if the module were gone) before the next round.
    EXPECT_TRUE(server.WaitPeerClosed());
  }
}

}  // namespace
}  // namespace kelvo
