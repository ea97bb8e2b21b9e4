// The client against kelvo-server through a real SOCKS5 proxy (microsocks):
// the same requests and answers as on a direct connection, a proxied and a
// direct user talking to each other, and the failures a proxy can cause.
#include <string>

#include "gtest/gtest.h"

#if defined(KELVO_SERVER_PATH)
#include "kelvo/kelvo_core.h"
#include "support/e2e_client.h"
#include "support/e2e_password.h"
#include "support/e2e_process.h"
#include "support/recording_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace {

using e2e::Client;
using e2e::Password;
using test::Escape;
using test::Gbk;

class ThroughProxy : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!e2e::ProxyProcess::Available()) {
      GTEST_SKIP() << "SKIPPED: " << e2e::ProxyProcess::kPath
                   << " is missing (apt-get install microsocks): proxy tests not run";
    }
    std::string error;
    ASSERT_TRUE(server_.Start(KELVO_SERVER_PATH, &error)) << error;
    ASSERT_TRUE(proxy_.Start(&error)) << error;
  }
  bool LogIn(Client& c, uint32_t id, const std::string& password, bool viaProxy) {
    const auto digest = Password(password);
    return c.Start(server_.port(), id, digest.data(), viaProxy ? proxy_.port() : 0);
  }

  e2e::ServerProcess server_;
  e2e::ProxyProcess proxy_;
};

TEST_F(ThroughProxy, ProxiedUserLogsInAndTalksWithADirectOne) {
  Client alice, bob;
  ASSERT_TRUE(LogIn(alice, 1001, "alice", false));
  ASSERT_TRUE(LogIn(bob, 1002, "bob", true)) << bob.events().All();
  ASSERT_TRUE(alice.WaitFor("OnOnlineStateChanged(1002)")) << alice.events().All();
  UserRecord r{};
  ASSERT_TRUE(bob.AwaitUser(1001, &r));
  EXPECT_EQ(r.onlineState, 2u);

  const std::string out = Gbk("走代理的消息");
  const std::string back = Gbk("收到了");
  ASSERT_TRUE(bob->SendChatMessage(1001, 0, out.c_str(), 0, 0, 0));
  EXPECT_TRUE(alice.WaitFor("OnChatMessage(0,1002," + Escape(out.c_str()) + ",0,0,0)"))
      << alice.events().All();
  ASSERT_TRUE(alice->SendChatMessage(1002, 0, back.c_str(), 0, 0, 0));
  EXPECT_TRUE(bob.WaitFor("OnChatMessage(0,1001," + Escape(back.c_str()) + ",0,0,0)"))
      << bob.events().All();

  ASSERT_TRUE(bob->EnterGameServer(3));
  EXPECT_TRUE(alice.WaitFor("OnUserEnterGameServer(1002)"));
}

TEST_F(ThroughProxy, RequestsAndAnswersPassUnchanged) {
  Client alice;
  ASSERT_TRUE(LogIn(alice, 1001, "alice", true));
  ASSERT_TRUE(alice.WaitFor("OnAddUserRequest(1004)")) << alice.events().All();
  ASSERT_TRUE(alice->AddGroup(1, 1, "Raid"));
  EXPECT_TRUE(alice.WaitFor("OnAddGroupResult(1,G{1,3,1,0,'Raid'})")) << alice.events().All();
  ASSERT_TRUE(alice->MoveUser(1002, 3, 0));
  EXPECT_TRUE(alice.WaitFor("OnMoveUserResult(3,1002)"));
  const std::string name = Gbk("小明");
  ASSERT_TRUE(alice->SearchUser(0, 0, name.c_str()));
  EXPECT_TRUE(alice.WaitFor("OnSearchUserListEnd(1)")) << alice.events().All();
  ASSERT_TRUE(server_.Admin("notice system 2 through the proxy"));
  EXPECT_TRUE(alice.WaitFor("OnChatMessage(3,0,'through the proxy'")) << alice.events().All();
}

TEST_F(ThroughProxy, ForcedLogoutReachesAProxiedSession) {
  Client viaProxy, direct;
  ASSERT_TRUE(LogIn(viaProxy, 1003, "carol", true));
  ASSERT_TRUE(LogIn(direct, 1003, "carol", false));
  EXPECT_TRUE(viaProxy.WaitFor("OnLogout()")) << viaProxy.events().All();
  EXPECT_NE(direct->GetMyInfo(), nullptr);
}

TEST_F(ThroughProxy, ProxyThatCannotReachTheServerReportsConnectFailure) {
  Client c;
  ServerAddress address{};
  address.serverIp = 0x7F000001;
  address.serverPort = e2e::FreeLoopbackPort();
  address.proxyIp = 0x7F000001;
  address.proxyPort = proxy_.port();
  ASSERT_TRUE(c->Connect(&address));
  EXPECT_TRUE(c.WaitFor("OnConnect(0)", std::chrono::milliseconds(15000))) << c.events().All();
  EXPECT_FALSE(c.events().Saw("OnConnect(1)"));
}

TEST_F(ThroughProxy, ProxyThatIsGoneReportsConnectFailure) {
  proxy_.Stop();
  Client c;
  ServerAddress address{};
  address.serverIp = 0x7F000001;
  address.serverPort = server_.port();
  address.proxyIp = 0x7F000001;
  address.proxyPort = proxy_.port();
  ASSERT_TRUE(c->Connect(&address));
  EXPECT_TRUE(c.WaitFor("OnConnect(0)", std::chrono::milliseconds(15000))) << c.events().All();
  EXPECT_FALSE(c.events().Saw("OnConnect(1)"));
}

}  // namespace
}  // namespace kelvo

#else
TEST(ThroughProxy, SkippedWithoutTheServer) {
  GTEST_SKIP() << "kelvo-server is not built (KELVO_BUILD_TOOLS=OFF): end-to-end tests skipped";
}
#endif
