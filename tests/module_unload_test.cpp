// A host that releases the client from a callback on the network thread and
// unloads the module as soon as Release has returned. The network thread
// still runs module code after that Release (it destroys the client when the
// callback returns), so the module must stay loaded for it.
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "kelvo/im_client_engine.h"
#include "kelvo/im_client_pump.h"
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

// A host that releases the client inside a callback and unloads the module
// the moment Release has returned, while the callback itself still runs for
// a moment (as a game's handler would: it returns after a little more work)
// and then returns into the module. The first pin lasts for the process, so
// each round runs in a process of its own: this test starts itself again,
// once per round, with the row to run in KELVO_UNLOAD_ROW.
struct UnloadRow {
  const char* name;
  bool shared;  // on the shared loop
  bool pump;    // pump mode: the callback runs on a host thread inside Pump
};
constexpr UnloadRow kUnloadRows[] = {
    {"own network thread", false, false},
    {"shared loop thread", true, false},
    {"host thread inside Pump", false, true},
};
constexpr int kUnloadRounds = 8;

void UnloadOnce(const UnloadRow& row) {
  test::LoopbackServer server;
  void* module = dlopen(KELVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto create = reinterpret_cast<CreateKelvoCoreFn>(dlsym(module, "CreateKelvoCore"));
  ASSERT_NE(create, nullptr);
  IImClient* client = static_cast<IImClient*>(create(&IID_IImClient, IM_INTERFACE_VERSION));
  ASSERT_NE(client, nullptr);
  auto* pump = static_cast<IImClientPump*>(
      client->QueryInterface(IID_IImClientPump, IM_PUMP_INTERFACE_VERSION));
  auto* engine = static_cast<IImClientEngine*>(
      client->QueryInterface(IID_IImClientEngine, IM_ENGINE_INTERFACE_VERSION));
  ASSERT_TRUE(pump != nullptr && engine != nullptr);
  ASSERT_TRUE(engine->UseSharedLoop(row.shared ? 1 : 0));
  ASSERT_TRUE(pump->SetDeliveryMode(row.pump ? KELVO_DELIVERY_PUMP : KELVO_DELIVERY_NETWORK_THREAD));
  std::atomic<bool> released{false};
  test::WaitingSink sink;
  sink.hook = [&](const std::string& name) {
    if (name != "OnConnect") return;
    client->Release();
    released = true;
    // The handler goes on a little before it returns into the module.
    std::this_thread::sleep_for(2ms);
  };
  ASSERT_TRUE(client->SetSink(&sink));
  ServerAddress address{};
  address.serverIp = 0x7F000001;
  address.serverPort = server.port();
  ASSERT_TRUE(client->Connect(&address));
  ASSERT_TRUE(server.Accept());
  std::thread pumper;
  if (row.pump) {
    pumper = std::thread([&] {
      for (int i = 0; i < 500 && !released; ++i) {
        pump->WaitForEvents(10);
        pump->Pump(100);
      }
    });
  }
  for (int i = 0; i < 5000 && !released; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(released);
  // Release has returned: the host unloads at once, as a game would.
  EXPECT_EQ(dlclose(module), 0);
  if (pumper.joinable()) pumper.join();
  // The released client's thread runs its last code (and crashes the
  // process, were the module gone) before these hold.
  EXPECT_TRUE(server.WaitPeerClosed());
  EXPECT_TRUE(test::Eventually([] { return test::LoopThreads() == 0; }));
}

TEST(ModuleUnload, UnloadAtOnceAfterAReleaseInsideACallbackSurvives) {
  if (const char* row = std::getenv("KELVO_UNLOAD_ROW")) {
    UnloadOnce(kUnloadRows[std::atoi(row) % 3]);
    return;
  }
  char self[4096] = {};
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(len, 0);
  for (int r = 0; r < 3; ++r) {
    SCOPED_TRACE(kUnloadRows[r].name);
    int died = 0;
    int failed = 0;
    std::string signals;
    for (int round = 0; round < kUnloadRounds; ++round) {
      std::vector<std::string> args;
      // A cross build's test runs under its emulator, and so do its children.
      if (std::strlen(KELVO_TEST_EMULATOR) != 0) args.push_back(KELVO_TEST_EMULATOR);
      args.push_back(self);
      args.push_back("--gtest_filter=ModuleUnload.UnloadAtOnceAfterAReleaseInsideACallbackSurvives");
      std::vector<std::string> env{"KELVO_UNLOAD_ROW=" + std::to_string(r)};
      for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "KELVO_UNLOAD_ROW=", 17) != 0) env.push_back(*e);
      }
      std::vector<char*> argv, envp;
      for (auto& a : args) argv.push_back(&a[0]);
      for (auto& e : env) envp.push_back(&e[0]);
      argv.push_back(nullptr);
      envp.push_back(nullptr);
      posix_spawn_file_actions_t quiet;
      posix_spawn_file_actions_init(&quiet);
      posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
      pid_t pid = 0;
      ASSERT_EQ(posix_spawnp(&pid, argv[0], &quiet, nullptr, argv.data(), envp.data()), 0);
      posix_spawn_file_actions_destroy(&quiet);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      if (WIFSIGNALED(status)) {
        ++died;
        signals += " " + std::to_string(WTERMSIG(status));
      } else if (WEXITSTATUS(status) != 0) {
        ++failed;
      }
    }
    EXPECT_EQ(died, 0) << died << " of " << kUnloadRounds
                       << " hosts died after unloading (signals" << signals << ")";
    EXPECT_EQ(failed, 0) << failed << " of " << kUnloadRounds << " rounds failed a check";
  }
}

}  // namespace
}  // namespace kelvo
