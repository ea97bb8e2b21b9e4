// A host that releases the client from a callback on the network thread and
// unloads the module as soon as Release has returned. The network thread
// still runs module code after that Release (it destroys the client when the
// callback returns), so the module must stay loaded for it.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>


#include <memory>
#include <vector>

#include "gtest/gtest.h"
#include "kelvo/im_client_engine.h"
#include "kelvo/kelvo_core.h"
#include "support/loopback_server.h"
#include "support/process_watch.h"
#include "support/waiting_sink.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;

TEST(ModuleUnload, ReleaseOnTheNetworkThreadThenUnloadSurvives) {
  test::LoopbackServer server;
  for (int round = 0; round < 200; ++round) {
    void* module = dlopen(KELVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto create = reinterpret_cast<CreateKelvoCoreFn>(dlsym(module, "CreateKelvoCore"));
    ASSERT_NE(create, nullptr);
    // Releases the client from inside OnConnect, on the network thread.
    IImClient* client = static_cast<IImClient*>(create(&IID_IImClient, IM_INTERFACE_VERSION));
    ASSERT_NE(client, nullptr);
    std::atomic<bool> released{false};
    test::WaitingSink sink;
    sink.hook = [&](const std::string& name) {
      if (name != "OnConnect") return;
      client->Release();
      released = true;
    };
    ASSERT_TRUE(client->SetSink(&sink));
    ServerAddress address{};
    address.serverIp = 0x7F000001;
    address.serverPort = server.port();
    ASSERT_TRUE(client->Connect(&address));
    ASSERT_TRUE(server.Accept());
    for (int i = 0; i < 5000 && !released; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(released) << "round " << round;
    // Release has returned: the host unloads at once, as a game would.
    EXPECT_EQ(dlclose(module), 0);
    EXPECT_NE(dlopen(KELVO_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "the module was unloaded under its network thread";
    // Give the released client's thread time to run its last code (and
    // crash, if the module were gone) before the next round.
    EXPECT_TRUE(server.WaitPeerClosed());
  }
}

TEST(ModuleUnload, TheSharedLoopStopsWithItsLastClientAndTheModuleUnloads) {
  // An earlier test of this process may have pinned the module on purpose;
  // then only the threads can be checked.
  void* already = dlopen(KELVO_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
  const bool pinned = already != nullptr;
  if (already != nullptr) dlclose(already);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    const int before = test::LoopThreads();
    test::LoopbackServer server(64);
    void* module = dlopen(KELVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto create = reinterpret_cast<CreateKelvoCoreFn>(dlsym(module, "CreateKelvoCore"));
    ASSERT_NE(create, nullptr);
    std::vector<IImClient*> clients;
    test::WaitingSink sinks[10];
    ServerAddress address{};
    address.serverIp = 0x7F000001;
    address.serverPort = server.port();
    for (int i = 0; i < 10; ++i) {
      auto* c = static_cast<IImClient*>(create(&IID_IImClient, IM_INTERFACE_VERSION));
      ASSERT_NE(c, nullptr);
      auto* engine = static_cast<IImClientEngine*>(
          c->QueryInterface(IID_IImClientEngine, IM_ENGINE_INTERFACE_VERSION));
      ASSERT_TRUE(engine->UseSharedLoop(1));
      ASSERT_TRUE(c->SetSink(&sinks[i]));
      ASSERT_TRUE(c->Connect(&address));
      ASSERT_TRUE(server.Accept());
      clients.push_back(c);
    }
    for (auto& s : sinks) ASSERT_TRUE(s.WaitFor("OnConnect"));
    // The last of them mid-callback on a loop thread now and then.
    for (IImClient* c : clients) c->Release();
    // Joined by then; an emulator's own thread may take a moment longer to
    // leave the process's thread list.
    EXPECT_TRUE(test::Eventually([&] { return test::LoopThreads() == before; }))
        << "a loop thread outlived the last client";
    EXPECT_EQ(dlclose(module), 0);
    if (!pinned) {
      EXPECT_EQ(dlopen(KELVO_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
          << "the module stayed loaded although nothing of it runs";
    }
  }
}

}  // namespace
}  // namespace kelvo
