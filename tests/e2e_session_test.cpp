// The client object against the real messaging server (kelvo-server), on a
// direct loopback connection: every request and the answer it brings, the
// server's own pushes, and what the local tables hold afterwards.
#include <string>

#include "gtest/gtest.h"

#if defined(KELVO_SERVER_PATH)
#include "kelvo/im_client_engine.h"
#include "kelvo/im_client_network.h"
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

std::string Name(const UserRecord& u) { return std::string(u.name, strnlen(u.name, sizeof u.name)); }
std::string Name(const GroupRecord& g) { return std::string(g.name, strnlen(g.name, sizeof g.name)); }

class ServerSession : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Start(KELVO_SERVER_PATH, &error)) << error;
  }
  bool LogIn(Client& c, uint32_t id, const std::string& password) {
    const auto digest = Password(password);
    return c.Start(server_.port(), id, digest.data());
  }

  e2e::ServerProcess server_;
};

TEST_F(ServerSession, LoginBringsOwnDataRosterGroupsAndPendingRequest) {
  Client alice;
  ASSERT_TRUE(LogIn(alice, 1001, "alice")) << alice.events().All();
  const UserRecord* me = alice->GetMyInfo();
  ASSERT_NE(me, nullptr);
  EXPECT_EQ(me->userId, 1001u);
  EXPECT_EQ(Name(*me), "alice");
  EXPECT_EQ(me->onlineState, 2u);
  EXPECT_FALSE(alice->IsGm());

  UserRecord bob{};
  ASSERT_TRUE(alice.AwaitUser(1002, &bob));
  EXPECT_EQ(Name(bob), "bob");
  EXPECT_EQ(bob.groupId, 1u);
  EXPECT_EQ(bob.onlineState, 1u);
  UserRecord xiaoming{};
  ASSERT_TRUE(alice.AwaitUser(1005, &xiaoming));
  EXPECT_EQ(Name(xiaoming), Gbk("小明"));
  EXPECT_EQ(xiaoming.groupId, 2u);

  GroupRecord guild{};
  ASSERT_TRUE(alice->GetGroup(2, &guild));
  EXPECT_EQ(Name(guild), "Guild");
  EXPECT_EQ(guild.parentGroupId, 1u);

  ASSERT_TRUE(alice.WaitFor("OnAddUserRequest(1004)")) << alice.events().All();
  UserRecord dave{};
  ASSERT_TRUE(alice->GetAddRequest(1004, &dave));
  EXPECT_EQ(Name(dave), "dave");
  EXPECT_TRUE(alice.events().Saw("OnServerInfo()"));
}

TEST_F(ServerSession, RefusedLoginsCarryTheServersReasonAndLeaveNoOwnData) {
  Client c;
  ASSERT_TRUE(c.ConnectTo(server_.port()));
  const auto wrong = Password("not-alice");
  ASSERT_TRUE(c->Login(1001, wrong.data(), nullptr));
  EXPECT_TRUE(c.WaitFor("OnLoginResult(0," + Escape(Gbk("密码错误").c_str()) + ")"))
      << c.events().All();
  const auto any = Password("x");
  ASSERT_TRUE(c->Login(4242, any.data(), nullptr));
  EXPECT_TRUE(c.WaitFor("OnLoginResult(0," + Escape(Gbk("用户不存在").c_str()) + ")"))
      << c.events().All();
  EXPECT_EQ(c->GetMyInfo(), nullptr);
  EXPECT_FALSE(c->IsGm());
}

TEST_F(ServerSession, GameMasterAccountIsReportedAsGm) {
  Client gm;
  ASSERT_TRUE(LogIn(gm, 9000, "gm"));
  EXPECT_TRUE(gm->IsGm());
  EXPECT_NE(gm->GetMyInfo()->gmLevel, 0u);
}

TEST_F(ServerSession, FriendsSeePresenceAndGameServerMoves) {
  Client alice, bob;
  ASSERT_TRUE(LogIn(alice, 1001, "alice"));
  UserRecord seen{};
  ASSERT_TRUE(alice.AwaitUser(1002, &seen));
  ASSERT_TRUE(LogIn(bob, 1002, "bob"));
  ASSERT_TRUE(alice.WaitFor("OnOnlineStateChanged(1002)")) << alice.events().All();
  ASSERT_TRUE(alice->GetUser(1002, &seen));
  EXPECT_EQ(seen.onlineState, 2u);

  EXPECT_TRUE(bob->EnterGameServer(7));
  ASSERT_TRUE(alice.WaitFor("OnUserEnterGameServer(1002)")) << alice.events().All();
  ASSERT_TRUE(alice->GetUser(1002, &seen));
  EXPECT_EQ(seen.gameServerId, 7u);
  alice->EnumUsers(0, 0, 0, 7, 0);
  EXPECT_TRUE(alice.WaitFor("OnEnumUser(U{1002,"));
  alice->EnumUsers(0, 0, 0, 8, 0);
  EXPECT_FALSE(alice.events().Saw("OnEnumUser(U{1002,2,1,8"));

  EXPECT_TRUE(bob->LeaveGameServer(7));
  ASSERT_TRUE(alice.WaitFor("OnUserLeaveGameServer(1002)")) << alice.events().All();
  ASSERT_TRUE(alice->GetUser(1002, &seen));
  EXPECT_EQ(seen.gameServerId, 0u);

  EXPECT_TRUE(bob->Close());
  ASSERT_TRUE(alice.WaitFor("OnOnlineStateChanged(1002)")) << alice.events().All();
  ASSERT_TRUE(alice->GetUser(1002, &seen));
  EXPECT_EQ(seen.onlineState, 1u);
}

TEST_F(ServerSession, AcceptedRequestMakesBothSidesFriends) {
  Client alice, dave;
  ASSERT_TRUE(LogIn(alice, 1001, "alice"));
  ASSERT_TRUE(LogIn(dave, 1004, "dave"));
  ASSERT_TRUE(alice.WaitFor("OnAddUserRequest(1004)"));
  EXPECT_TRUE(alice->ReplyAddRequest(1004, 1, true));
  EXPECT_TRUE(alice.WaitFor("OnAddUserResult(2,U{1004,2,1,")) << alice.events().All();
  EXPECT_TRUE(dave.WaitFor("OnAddUserResult(2,U{1001,2,1,")) << dave.events().All();
  UserRecord r{};
  EXPECT_TRUE(alice->GetUser(1004, &r));
  EXPECT_FALSE(alice->GetAddRequest(1004, &r));
  EXPECT_TRUE(dave->GetUser(1001, &r));
  EXPECT_EQ(r.onlineState, 2u);
}

TEST_F(ServerSession, DeclinedRequestIsReportedToTheAskerOnly) {
  Client bob, carol;
  ASSERT_TRUE(LogIn(bob, 1002, "bob"));
  ASSERT_TRUE(LogIn(carol, 1003, "carol"));
  EXPECT_TRUE(carol->AddUser(1002, 1, 0));
  ASSERT_TRUE(bob.WaitFor("OnAddUserRequest(1003)")) << bob.events().All();
  EXPECT_TRUE(bob->ReplyAddRequest(1003, 0, false));
  EXPECT_TRUE(carol.WaitFor("OnAddUserReply(0,U{1002,")) << carol.events().All();
  UserRecord r{};
  EXPECT_FALSE(carol->GetUser(1002, &r));
  EXPECT_FALSE(bob->GetUser(1003, &r));
  EXPECT_FALSE(bob->GetAddRequest(1003, &r));
  // Answering the same request twice is refused locally: it is gone.
  EXPECT_FALSE(bob->ReplyAddRequest(1003, 0, true));
}

TEST_F(ServerSession, AddingAnExistingFriendIsRefused) {
  Client alice;
  ASSERT_TRUE(LogIn(alice, 1001, "alice"));
  EXPECT_TRUE(alice->AddUser(1002, 1, 0));
  // The server's "refused" code 4 reaches the host as 3.
  EXPECT_TRUE(alice.WaitFor("OnAddUserResult(3,U{1002,")) << alice.events().All();
}

TEST_F(ServerSession, GroupsAreCreatedRenamedAndDeletedWithMembersRefiled) {
  Client alice;
  ASSERT_TRUE(LogIn(alice, 1001, "alice"));
  UserRecord user{};
  ASSERT_TRUE(alice.AwaitUser(1005, &user));

  ASSERT_TRUE(alice->AddGroup(1, 1, "Work"));
  ASSERT_TRUE(alice.WaitFor("OnAddGroupResult(1,G{1,3,1,0,'Work'})")) << alice.events().All();
  GroupRecord group{};
  ASSERT_TRUE(alice->GetGroup(3, &group));

  ASSERT_TRUE(alice->MoveUser(1002, 3, 0));
  ASSERT_TRUE(alice.WaitFor("OnMoveUserResult(3,1002)")) << alice.events().All();
  ASSERT_TRUE(alice->GetUser(1002, &user));
  EXPECT_EQ(user.groupId, 3u);

  const std::string colleagues = Gbk("同事");
  ASSERT_TRUE(alice->RenameGroup(3, colleagues.c_str()));
  ASSERT_TRUE(alice.WaitFor("OnUpdateGroupResult(1,3)")) << alice.events().All();
  ASSERT_TRUE(alice->GetGroup(3, &group));
  EXPECT_EQ(Name(group), colleagues);

  // Guild (2) holds carol and 小明; they go back under its parent.
  ASSERT_TRUE(alice->DeleteGroup(2));
  ASSERT_TRUE(alice.WaitFor("OnDeleteGroupResult(1,2)")) << alice.events().All();
  EXPECT_FALSE(alice->GetGroup(2, &group));
  for (uint32_t id : {1003u, 1005u}) {
    ASSERT_TRUE(alice->GetUser(id, &user));
    EXPECT_EQ(user.groupId, 1u) << id;
  }
  ASSERT_TRUE(alice->DeleteGroup(3));
  ASSERT_TRUE(alice.WaitFor("OnDeleteGroupResult(1,3)"));
  ASSERT_TRUE(alice->GetUser(1002, &user));
  EXPECT_EQ(user.groupId, 1u);

  // The server kept the same picture: a fresh login sees it.
  Client again;
  ASSERT_TRUE(LogIn(again, 1001, "alice"));
  ASSERT_TRUE(again.AwaitUser(1003, &user));
  EXPECT_EQ(user.groupId, 1u);
  EXPECT_FALSE(again->GetGroup(2, &group));
}

TEST_F(ServerSession, MovingIntoAMissingGroupOrDeletingOneIsRefused) {
  Client alice;
  ASSERT_TRUE(LogIn(alice, 1001, "alice"));
  UserRecord user{};
  ASSERT_TRUE(alice.AwaitUser(1002, &user));
  ASSERT_TRUE(alice->MoveUser(1002, 77, 0));
  EXPECT_TRUE(alice.WaitFor("OnMoveUserResult(0,1002)")) << alice.events().All();
  ASSERT_TRUE(alice->GetUser(1002, &user));
  EXPECT_EQ(user.groupId, 1u);
  ASSERT_TRUE(alice->DeleteGroup(77));
  EXPECT_TRUE(alice.WaitFor("OnDeleteGroupResult(0,77)")) << alice.events().All();
}

TEST_F(ServerSession, ChatGoesBothWaysWithGbkTextIntact) {
  Client alice, bob;
  ASSERT_TRUE(LogIn(alice, 1001, "alice"));
  ASSERT_TRUE(LogIn(bob, 1002, "bob"));
  const std::string hello = Gbk("你好, bob");
  const std::string reply = Gbk("小明 says hi too");
  ASSERT_TRUE(alice->SendChatMessage(1002, 0, hello.c_str(), 0, 0, 0));
  EXPECT_TRUE(bob.WaitFor("OnChatMessage(0,1001," + Escape(hello.c_str()) + ",0,0,0)"))
      << bob.events().All();
  ASSERT_TRUE(bob->SendChatMessage(1001, 0, reply.c_str(), 0, 0, 0));
  EXPECT_TRUE(alice.WaitFor("OnChatMessage(0,1002," + Escape(reply.c_str()) + ",0,0,0)"))
      << alice.events().All();
}

TEST_F(ServerSession, MessageToAnOfflineUserArrivesAtHisNextLoginOnce) {
  Client alice;
  ASSERT_TRUE(LogIn(alice, 1001, "alice"));
  const std::string text = Gbk("see you at nine, 小明");
  ASSERT_TRUE(alice->SendChatMessage(1005, 0, text.c_str(), 0, 0, 0));
  // The message must be stored before 小明 logs in; the server handles one
  // connection's requests in order, so a round trip on alice's proves it.
  ASSERT_TRUE(alice->SearchUser(0, 0, "alice"));
  ASSERT_TRUE(alice.WaitFor("OnSearchUserListEnd("));

  {
    Client xiaoming;
    ASSERT_TRUE(LogIn(xiaoming, 1005, "xiaoming"));
    EXPECT_TRUE(xiaoming.WaitFor("OnOfflineMessage(0,1001,set," + Escape(text.c_str()) + ",0,0,0,"))
        << xiaoming.events().All();
  }
  Client again;
  ASSERT_TRUE(LogIn(again, 1005, "xiaoming"));
  ASSERT_TRUE(again->SearchUser(0, 0, "alice"));
  ASSERT_TRUE(again.WaitFor("OnSearchUserListEnd("));
  EXPECT_FALSE(again.events().Saw("OnOfflineMessage")) << again.events().All();
}

TEST_F(ServerSession, SearchFindsUsersByGbkName) {
  Client alice;
  ASSERT_TRUE(LogIn(alice, 1001, "alice"));
  const std::string name = Gbk("小明");
  ASSERT_TRUE(alice->SearchUser(0, 0, name.c_str()));
  EXPECT_TRUE(alice.WaitFor("OnSearchUserListItem(U{1005,"));
  EXPECT_TRUE(alice.WaitFor("OnSearchUserListEnd(1)")) << alice.events().All();
  EXPECT_TRUE(alice.events().Saw("OnSearchUserListItem(U{1005,0,0,0,0,0,0,0,0,1," + Escape(name.c_str()) + "})"));
  ASSERT_TRUE(alice->SearchUser(0, 0, "nobody-by-this-name"));
  EXPECT_TRUE(alice.WaitFor("OnSearchUserListEnd(0)")) << alice.events().All();
}

TEST_F(ServerSession, ServerNoticesArriveWithTheirKinds) {
  Client alice;
  ASSERT_TRUE(LogIn(alice, 1001, "alice"));
  ASSERT_TRUE(server_.Admin("notice system 1 maintenance"));
  EXPECT_TRUE(alice.WaitFor("OnChatMessage(2,")) << alice.events().All();
  EXPECT_TRUE(alice.events().Saw("'maintenance',"));
  ASSERT_TRUE(server_.Admin("notice system 4 restart"));
  EXPECT_TRUE(alice.WaitFor("OnChatMessage(5,")) << alice.events().All();
  ASSERT_TRUE(server_.Admin("notice info 4 double xp"));
  EXPECT_TRUE(alice.WaitFor("OnChatMessage(8,")) << alice.events().All();
  ASSERT_TRUE(server_.Admin("notice info 129 top news"));
  EXPECT_TRUE(alice.WaitFor("OnChatMessage(13,")) << alice.events().All();
}

TEST_F(ServerSession, SecondLoginOfTheSameAccountForcesTheFirstOut) {
  Client first, second;
  ASSERT_TRUE(LogIn(first, 1002, "bob"));
  ASSERT_TRUE(LogIn(second, 1002, "bob"));
  EXPECT_TRUE(first.WaitFor("OnLogout()")) << first.events().All();
  EXPECT_TRUE(e2e::Eventually([&] { return first->GetMyInfo() == nullptr; },
                              std::chrono::milliseconds(2000)));
  UserRecord r{};
  EXPECT_FALSE(first->GetUser(1001, &r));
  ASSERT_NE(second->GetMyInfo(), nullptr);
  EXPECT_TRUE(second.AwaitUser(1001, &r));
  EXPECT_FALSE(second.events().Saw("OnLogout()"));
}

TEST_F(ServerSession, AdminKickLogsTheUserOut) {
  Client bob;
  ASSERT_TRUE(LogIn(bob, 1002, "bob"));
  ASSERT_TRUE(server_.Admin("kick 1002"));
  EXPECT_TRUE(bob.WaitFor("OnLogout()")) << bob.events().All();
}

TEST_F(ServerSession, RemovingAFriendTakesBothOffEachOthersRoster) {
  Client alice, bob;
  ASSERT_TRUE(LogIn(alice, 1001, "alice"));
  ASSERT_TRUE(LogIn(bob, 1002, "bob"));
  UserRecord r{};
  ASSERT_TRUE(bob.AwaitUser(1001, &r));
  ASSERT_TRUE(alice->RemoveUser(1002));
  EXPECT_TRUE(alice.WaitFor("OnRemoveUserResult(2,1002)")) << alice.events().All();
  EXPECT_FALSE(alice->GetUser(1002, &r));
  EXPECT_TRUE(bob.WaitFor("OnRemoveUserResult(2,1001)")) << bob.events().All();
  EXPECT_FALSE(bob->GetUser(1001, &r));
}


// The login's state through IImClientNetwork as kelvo-server answers, on the
// client's own thread and on the shared loop: LOADING inside
// OnLoginResult(1), COMPLETE only with the own data, groups and friends in,
// NONE again after a forced logout or Close. A game server entered inside
// OnLoginResult is overwritten in MyInfo by the own data that follows,
// while the server, and so the friends, keep it.
class EnterOnLoginSink : public e2e::EventLog {
 public:
  void KELVO_CALL OnLoginResult(uint32_t result, const char* text) override {
    if (result == 1) {
      stateInside = net->GetLoginState();
      client->EnterGameServer(gameServer);
    }
    EventLog::OnLoginResult(result, text);
  }
  IImClient* client = nullptr;
  IImClientNetwork* net = nullptr;
  uint16_t gameServer = 0;
  uint32_t stateInside = 99;
};

TEST_F(ServerSession, LoginStateFollowsTheServersLoginAndGameServerEnteredEarlyIsOverwritten) {
  const struct {
    const char* name;
    bool sharedLoop;
    bool kick;  // ended by the server's forced logout, else by Close
    uint16_t gameServer;  // one per row: what alice sees is this row's
  } rows[] = {{"own thread", false, true, 7}, {"shared loop", true, false, 8}};
  Client alice;
  ASSERT_TRUE(LogIn(alice, 1001, "alice"));
  UserRecord seen{};
  ASSERT_TRUE(alice.AwaitUser(1002, &seen));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EnterOnLoginSink sink;
    auto* bob = static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION));
    ASSERT_NE(bob, nullptr);
    sink.client = bob;
    sink.gameServer = row.gameServer;
    sink.net = static_cast<IImClientNetwork*>(
        bob->QueryInterface(IID_IImClientNetwork, IM_NETWORK_INTERFACE_VERSION));
    ASSERT_NE(sink.net, nullptr);
    IImClientNetwork* net = sink.net;
    if (row.sharedLoop) {
      auto* engine = static_cast<IImClientEngine*>(
          bob->QueryInterface(IID_IImClientEngine, IM_ENGINE_INTERFACE_VERSION));
      ASSERT_TRUE(engine != nullptr && engine->UseSharedLoop(1));
    }
    ASSERT_TRUE(bob->SetSink(&sink));
    EXPECT_EQ(net->GetLoginState(), KELVO_LOGIN_NONE);
    ServerAddress address{};
    address.serverIp = 0x7F000001;
    address.serverPort = server_.port();
    ASSERT_TRUE(bob->Connect(&address));
    ASSERT_TRUE(sink.WaitFor("OnConnect(1)", std::chrono::seconds(5))) << sink.All();
    EXPECT_EQ(net->GetLoginState(), KELVO_LOGIN_NONE);
    const auto digest = Password("bob");
    ASSERT_TRUE(bob->Login(1002, digest.data(), nullptr));
    // Until COMPLETE the state only moves forward; the roster and own data
    // are in once it is COMPLETE.
    uint32_t last = KELVO_LOGIN_WAITING;
    EXPECT_TRUE(e2e::Eventually(
        [&] {
          const uint32_t now = net->GetLoginState();
          EXPECT_GE(now, last);
          last = now;
          return now == KELVO_LOGIN_COMPLETE;
        },
        std::chrono::milliseconds(5000)));
    const UserRecord* me = bob->GetMyInfo();
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(me->userId, 1002u);
    EXPECT_TRUE(bob->GetUser(1001, &seen));
    GroupRecord group{};
    EXPECT_TRUE(bob->GetGroup(1, &group));
    EXPECT_EQ(sink.stateInside, KELVO_LOGIN_LOADING);

    EXPECT_EQ(me->gameServerId, 0u) << "the own data came after the entry";
    ASSERT_TRUE(alice.WaitFor("OnUserEnterGameServer(1002)")) << alice.events().All();
    ASSERT_TRUE(alice->GetUser(1002, &seen));
    EXPECT_EQ(seen.gameServerId, row.gameServer);
    // Entering again once complete puts it into MyInfo to stay.
    ASSERT_TRUE(bob->EnterGameServer(row.gameServer));
    ASSERT_TRUE(alice.WaitFor("OnUserEnterGameServer(1002)")) << alice.events().All();
    EXPECT_EQ(bob->GetMyInfo()->gameServerId, row.gameServer);

    if (row.kick) {
      ASSERT_TRUE(server_.Admin("kick 1002"));
      EXPECT_TRUE(sink.WaitFor("OnLogout()", std::chrono::seconds(5))) << sink.All();
    } else {
      EXPECT_TRUE(bob->Close());
    }
    EXPECT_EQ(net->GetLoginState(), KELVO_LOGIN_NONE);
    bob->Release();
  }
}

}  // namespace
}  // namespace kelvo

#else
TEST(ServerSession, SkippedWithoutTheServer) {
  GTEST_SKIP() << "kelvo-server is not built (KELVO_BUILD_TOOLS=OFF): end-to-end tests skipped";
}
#endif
