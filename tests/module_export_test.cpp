// The shared module as a host sees it: one export, loaded at run time.
#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "kelvo/kelvo_core.h"
#include "support/recording_sink.h"

#if !defined(_WIN32)
#include <dlfcn.h>

namespace kelvo {
namespace {

TEST(ModuleTest, ExportsExactlyCreateKelvoCore) {
  const std::string command = std::string("nm -D --defined-only ") + KELVO_MODULE_PATH;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> symbols;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream in(line);
    std::string address, type, name;
    if (in >> address >> type >> name) symbols.insert(type + " " + name);
  }
  ASSERT_EQ(pclose(pipe), 0) << command;
  EXPECT_EQ(symbols, (std::set<std::string>{"T CreateKelvoCore"}));
}

TEST(ModuleTest, HostCreatesAndDrivesAClientThroughDlopen) {
  void* module = dlopen(KELVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto create = reinterpret_cast<CreateKelvoCoreFn>(dlsym(module, "CreateKelvoCore"));
  ASSERT_NE(create, nullptr);
  EXPECT_EQ(create(&IID_IImClient, 0x01020100), nullptr);
  auto* client = static_cast<IImClient*>(create(&IID_IImClient, IM_INTERFACE_VERSION));
  ASSERT_NE(client, nullptr);
  test::RecordingSink sink;
  EXPECT_TRUE(client->SetSink(&sink));
  EXPECT_EQ(client->GetMyInfo(), nullptr);
  // Called by slot through the module's own vtable: the answer proves the
  // slots line up for a separately built host.
  client->Request_friend(0);
  EXPECT_NE(sink.log.find("OnLog('Request_friend "), std::string::npos) << sink.log;
  UserRecord out{};
  EXPECT_FALSE(client->GetUser(1, &out));
  EXPECT_TRUE(client->Release());
  EXPECT_EQ(dlclose(module), 0);
}

}  // namespace
}  // namespace kelvo
#endif
