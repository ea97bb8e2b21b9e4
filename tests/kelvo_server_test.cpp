// The server's protocol logic, driven through the client itself: each test
// user is an ImServerClient over a FakeSocket, so every request the server
// reads is built by the client's own request code, and every message the
// server answers with is parsed by the client's own handlers into its tables
// and a RecordingSink. Both sides therefore have to agree on every layout.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "admin.h"
#include "chaos.h"
#include "nimbo2/msg_head.h"
#include "protocol/message_ids.h"
#include "seed.h"
#include "server_state.h"
#include "support/e2e_process.h"
#include "support/recording_sink.h"
#include "support/tls_fixtures.h"
#include "support/wire.h"
#include "text.h"

namespace kelvo {
namespace test {
namespace {

using server::AdminOutcome;
using server::Directory;
using server::ServerState;
using server::SessionId;

// What the server hands to the network side.
class RecordingOutlet : public server::Outlet {
 public:
  void Send(SessionId s, server::Bytes m) override { inbox[s].push_back(std::move(m)); }
  void Close(SessionId s) override { closed.push_back(s); }
  void Log(int level, const std::string& line) override {
    if (level == 0) log += line + "\n";
  }
  std::map<SessionId, std::vector<server::Bytes>> inbox;
  std::vector<SessionId> closed;
  std::string log;
};

struct User {
  FakeClient client;
  RecordingSink sink;
};

std::string Gbk8(const std::string& utf8) { return Gbk(utf8); }

class ServerTest : public ::testing::Test {
 protected:
  explicit ServerTest(Directory dir = server::DemoDirectory()) : state_(std::move(dir), out_) {
    state_.SetClock([] { return 1700000000.5; });
  }

  // A connected client on session `id`, with its sink attached.
  User& Connect(SessionId id) {
    auto& u = users_[id];
    u = std::make_unique<User>();
    u->client->SetSink(&u->sink);
    state_.Connect(id, "test:" + std::to_string(id));
    u->sink.Take();
    return *u;
  }

  // Feeds every request the clients have sent to the server, then delivers
  // everything the server sent into the clients, in order.
  void Pump() {
    for (auto& [id, u] : users_) {
      for (const Bytes& m : u->client.socket->sent) state_.HandleRequest(id, m.data(), m.size());
      u->client.socket->sent.clear();
    }
    for (auto& [id, messages] : out_.inbox) {
      auto it = users_.find(id);
      ASSERT_NE(it, users_.end()) << "message for unknown session " << id;
      for (const server::Bytes& m : messages) {
        ASSERT_EQ(0u, Deliver(*it->second->client, m)) << "client refused id " << int(m[3]);
      }
    }
    out_.inbox.clear();
  }

  void Login(SessionId id, uint32_t userId, const std::string& password) {
    const server::Md5Digest digest = server::Md5(password);
    const std::array<uint8_t, 33> extra{};
    ASSERT_TRUE(users_.at(id)->client->Login(userId, digest.data(), extra.data()));
    Pump();
  }

  // Connects and logs in, then forgets what the login itself reported.
  User& Online(SessionId id, uint32_t userId, const std::string& password) {
    User& u = Connect(id);
    Login(id, userId, password);
    u.sink.Take();
    return u;
  }

  static std::string UserOf(User& u, uint32_t id) {
    UserRecord r{};
    return u.client->GetUser(id, &r) ? Describe(r) : "none";
  }
  static std::string GroupOf(User& u, uint32_t id) {
    GroupRecord r{};
    return u.client->GetGroup(id, &r) ? Describe(r) : "none";
  }
  uint16_t ServerGroupOf(uint32_t owner, uint32_t friendId) const {
    const auto& friends = state_.directory().accounts.at(owner).friends;
    auto it = friends.find(friendId);
    return it == friends.end() ? 0xFFFF : it->second;
  }

  RecordingOutlet out_;
  ServerState state_;
  std::map<SessionId, std::unique_ptr<User>> users_;
};

// ---------------------------------------------------------------------------
// Login

TEST_F(ServerTest, LoginFillsOwnDataGroupsFriendsAndRequests) {
  User& alice = Connect(1);
  Login(1, 1001, "alice");
  EXPECT_EQ(alice.sink.Take(),
            "OnServerInfo()\nOnLoginResult(1,'')\nOnAddUserRequest(1004)\n");

  const UserRecord* me = alice.client->GetMyInfo();
  ASSERT_NE(me, nullptr);
  EXPECT_EQ(Describe(*me), "U{1001,0,0,0,0,0,0,0,0,2,'alice'}");
  EXPECT_EQ(GroupOf(alice, 1), "G{1,1,0,0,'Friends'}");
  EXPECT_EQ(GroupOf(alice, 2), "G{1,2,1,0,'Guild'}");
  EXPECT_EQ(alice.client->groups().size(), 2u);
  // Friends with relation 2, offline (1), filed where the seed put them.
  EXPECT_EQ(UserOf(alice, 1002), "U{1002,2,1,0,0,0,0,0,0,1,'bob'}");
  EXPECT_EQ(UserOf(alice, 1003), "U{1003,2,2,0,0,0,0,0,0,1,'carol'}");
  UserRecord xiaoming{};
  ASSERT_TRUE(alice.client->GetUser(1005, &xiaoming));
  EXPECT_EQ(std::string(xiaoming.name), Gbk8("小明"));
  EXPECT_EQ(alice.client->users().size(), 3u);
  UserRecord request{};
  ASSERT_TRUE(alice.client->GetAddRequest(1004, &request));
  EXPECT_EQ(Describe(request), "U{1004,0,0,0,0,0,0,0,0,1,'dave'}");
  EXPECT_EQ(state_.UserOf(1), 1001u);
}

TEST_F(ServerTest, GameMasterLevelReachesOwnData) {
  User& gm = Online(1, 9000, "gm");
  EXPECT_TRUE(gm.client->IsGm());
}

TEST_F(ServerTest, FailedLoginsGiveReasonAndKeepConnection) {
  User& u = Connect(1);
  Login(1, 4242, "x");
  EXPECT_EQ(u.sink.Take(), "OnLoginResult(0," + Escape(Gbk8("用户不存在").c_str()) + ")\n");
  Login(1, 1001, "not-alice");
  EXPECT_EQ(u.sink.Take(), "OnLoginResult(0," + Escape(Gbk8("密码错误").c_str()) + ")\n");
  EXPECT_TRUE(out_.closed.empty());
  EXPECT_EQ(state_.UserOf(1), 0u);

  Login(1, 1001, "alice");
  EXPECT_NE(u.client->GetMyInfo(), nullptr);
}

TEST_F(ServerTest, FailedLoginEndsThePreviousLoginOfThatConnection) {
  User& bob = Online(2, 1002, "bob");
  Online(1, 1001, "alice");
  bob.sink.Take();
  Login(1, 1001, "wrong");
  EXPECT_EQ(state_.UserOf(1), 0u);
  EXPECT_EQ(bob.sink.Take(), "OnOnlineStateChanged(1001)\n");
  EXPECT_EQ(UserOf(bob, 1001), "U{1001,2,1,0,0,0,0,0,0,1,'alice'}");
}

TEST_F(ServerTest, PresenceFollowsLoginLogoutAndDisconnect) {
  User& alice = Online(1, 1001, "alice");
  User& bob = Online(2, 1002, "bob");
  EXPECT_EQ(alice.sink.Take(), "OnOnlineStateChanged(1002)\n");
  EXPECT_EQ(UserOf(alice, 1002), "U{1002,2,1,0,0,0,0,0,0,2,'bob'}");
  // Bob's own list already shows alice online.
  EXPECT_EQ(UserOf(bob, 1001), "U{1001,2,1,0,0,0,0,0,0,2,'alice'}");

  ASSERT_TRUE(bob.client->Logout(1002));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnOnlineStateChanged(1002)\n");
  EXPECT_EQ(UserOf(alice, 1002), "U{1002,2,1,0,0,0,0,0,0,1,'bob'}");
  EXPECT_EQ(state_.UserOf(2), 0u);
  EXPECT_TRUE(out_.closed.empty());

  Login(2, 1002, "bob");
  alice.sink.Take();
  state_.Disconnect(2);
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnOnlineStateChanged(1002)\n");
  // Carol is not on bob's roster and hears nothing of him.
  User& carol = Online(3, 1003, "carol");
  alice.sink.Take();
  Online(5, 1002, "bob");
  EXPECT_EQ(alice.sink.Take(), "OnOnlineStateChanged(1002)\n");
  EXPECT_EQ(carol.sink.Take(), "");
}

TEST_F(ServerTest, SecondLoginForcesTheFirstOut) {
  User& first = Online(1, 1001, "alice");
  User& bob = Online(3, 1002, "bob");
  first.sink.Take();
  User& second = Connect(2);
  Login(2, 1001, "alice");
  EXPECT_EQ(first.sink.Take(), "OnLogout()\n");
  EXPECT_EQ(first.client->GetMyInfo(), nullptr);
  EXPECT_EQ(state_.UserOf(1), 0u);
  EXPECT_EQ(state_.UserOf(2), 1001u);
  ASSERT_NE(second.client->GetMyInfo(), nullptr);
  EXPECT_TRUE(out_.closed.empty());
  // Bob sees alice online, never offline in between.
  EXPECT_EQ(bob.sink.Take(), "OnOnlineStateChanged(1001)\n");
  EXPECT_EQ(UserOf(bob, 1001), "U{1001,2,1,0,0,0,0,0,0,2,'alice'}");

  // The old connection is logged out: its requests are ignored.
  ASSERT_TRUE(first.client->SendChatMessage(1002, 0, "still here?", 0, 0, 0));
  Pump();
  EXPECT_EQ(bob.sink.Take(), "");
  EXPECT_NE(out_.log.find("#1 Chat before login, ignored"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Friend requests

TEST_F(ServerTest, AddRequestAcceptedMakesBothFriends) {
  User& dave = Online(4, 1004, "dave");
  User& carol = Online(3, 1003, "carol");
  ASSERT_TRUE(dave.client->AddUser(1003, 1, 0));
  Pump();
  EXPECT_EQ(dave.sink.Take(), "");  // nothing until carol answers
  EXPECT_EQ(carol.sink.Take(), "OnAddUserRequest(1004)\n");

  ASSERT_TRUE(carol.client->ReplyAddRequest(1004, 1, true));
  Pump();
  EXPECT_EQ(carol.sink.Take(), "OnAddUserResult(2,U{1004,2,1,0,0,0,0,0,0,2,'dave'})\n");
  EXPECT_EQ(dave.sink.Take(), "OnAddUserResult(2,U{1003,2,1,0,0,0,0,0,0,2,'carol'})\n");
  EXPECT_EQ(ServerGroupOf(1003, 1004), 1);
  EXPECT_EQ(ServerGroupOf(1004, 1003), 1);
  EXPECT_EQ(state_.directory().pending.count({1004, 1003}), 0u);

  // Now friends: presence flows both ways.
  state_.Disconnect(3);
  Pump();
  EXPECT_EQ(dave.sink.Take(), "OnOnlineStateChanged(1003)\n");
}

TEST_F(ServerTest, AddRequestToOfflineUserWaitsForLogin) {
  User& dave = Online(4, 1004, "dave");
  ASSERT_TRUE(dave.client->AddUser(1002, 1, 0));
  Pump();
  User& bob = Connect(2);
  Login(2, 1002, "bob");
  EXPECT_EQ(bob.sink.Take(), "OnServerInfo()\nOnLoginResult(1,'')\nOnAddUserRequest(1004)\n");
  UserRecord r{};
  ASSERT_TRUE(bob.client->GetAddRequest(1004, &r));
  EXPECT_EQ(r.onlineState, 2u);
}

TEST_F(ServerTest, AcceptFilesEachSideUnderTheChosenGroup) {
  User& alice = Online(1, 1001, "alice");
  User& dave = Online(4, 1004, "dave");
  // Alice answers dave's seeded request, filing him in her Guild.
  ASSERT_TRUE(alice.client->ReplyAddRequest(1004, 2, true));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnAddUserResult(2,U{1004,2,2,0,0,0,0,0,0,2,'dave'})\n");
  // The seeded request named no group: dave gets alice under his default.
  EXPECT_EQ(dave.sink.Take(), "OnAddUserResult(2,U{1001,2,1,0,0,0,0,0,0,2,'alice'})\n");
  EXPECT_EQ(ServerGroupOf(1001, 1004), 2);
}

TEST_F(ServerTest, DeclinedRequestTellsTheAskerOnly) {
  User& alice = Online(1, 1001, "alice");
  User& dave = Online(4, 1004, "dave");
  ASSERT_TRUE(alice.client->ReplyAddRequest(1004, 1, false));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "");
  EXPECT_EQ(dave.sink.Take(), "OnAddUserReply(0,U{1001,0,0,0,0,0,0,0,0,2,'alice'})\n");
  EXPECT_EQ(UserOf(dave, 1001), "none");
  EXPECT_EQ(ServerGroupOf(1001, 1004), 0xFFFF);
  EXPECT_TRUE(state_.directory().pending.empty());
}

TEST_F(ServerTest, ReplyWithoutPendingRequestIsIgnored) {
  User& bob = Online(2, 1002, "bob");
  // The client only sends replies for requests it holds, so forge one.
  state_.HandleRequest(2, Msg(IM_MSG_ID_REPLY_ADD_USER).U32(1003).U32(1).U32(1).Build().data(),
                       16);
  Pump();
  EXPECT_EQ(bob.sink.Take(), "");
  EXPECT_EQ(ServerGroupOf(1002, 1003), 0xFFFF);
  EXPECT_NE(out_.log.find("no pending request from 1003, ignored"), std::string::npos);
  EXPECT_TRUE(out_.closed.empty());
}

TEST_F(ServerTest, AddUserRefusedForUnknownSelfOrFriend) {
  User& alice = Online(1, 1001, "alice");
  ASSERT_TRUE(alice.client->AddUser(4242, 1, 0));
  ASSERT_TRUE(alice.client->AddUser(1002, 1, 0));
  ASSERT_TRUE(alice.client->AddUser(1001, 1, 0));
  Pump();
  EXPECT_EQ(alice.sink.Take(),
            "OnAddUserResult(3,U{4242,0,0,0,0,0,0,0,0,1,''})\n"
            "OnAddUserResult(3,U{1002,0,0,0,0,0,0,0,0,1,'bob'})\n"
            "OnAddUserResult(3,U{1001,0,0,0,0,0,0,0,0,2,'alice'})\n");
  EXPECT_TRUE(state_.directory().pending.count({1001, 1002}) == 0);
}

// ---------------------------------------------------------------------------
// Roster changes

TEST_F(ServerTest, RemoveUserDropsBothDirections) {
  User& alice = Online(1, 1001, "alice");
  User& bob = Online(2, 1002, "bob");
  alice.sink.Take();
  ASSERT_TRUE(alice.client->RemoveUser(1002));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnRemoveUserResult(2,1002)\n");
  EXPECT_EQ(bob.sink.Take(), "OnRemoveUserResult(2,1001)\n");
  EXPECT_EQ(UserOf(alice, 1002), "none");
  EXPECT_EQ(UserOf(bob, 1001), "none");
  EXPECT_EQ(ServerGroupOf(1001, 1002), 0xFFFF);
  EXPECT_EQ(ServerGroupOf(1002, 1001), 0xFFFF);

  // Gone for good: no more presence, and removing again fails.
  state_.Disconnect(2);
  ASSERT_TRUE(alice.client->RemoveUser(1002));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnRemoveUserResult(0,1002)\n");
}

TEST_F(ServerTest, RemovingAOneWayFriendLeavesTheOtherSideAlone) {
  User& dave = Online(4, 1004, "dave");
  User& carol = Online(3, 1003, "carol");
  ASSERT_TRUE(carol.client->RemoveUser(1004));  // not a friend of carol
  Pump();
  EXPECT_EQ(carol.sink.Take(), "OnRemoveUserResult(0,1004)\n");
  EXPECT_EQ(dave.sink.Take(), "");
}

TEST_F(ServerTest, MoveUserChecksFriendAndGroup) {
  User& alice = Online(1, 1001, "alice");
  ASSERT_TRUE(alice.client->MoveUser(1002, 2, 0));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnMoveUserResult(3,1002)\n");
  EXPECT_EQ(UserOf(alice, 1002), "U{1002,2,2,0,0,0,0,0,0,1,'bob'}");
  EXPECT_EQ(ServerGroupOf(1001, 1002), 2);

  ASSERT_TRUE(alice.client->MoveUser(1002, 99, 0));  // no such group
  ASSERT_TRUE(alice.client->MoveUser(1004, 1, 0));   // not a friend
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnMoveUserResult(0,1002)\nOnMoveUserResult(0,1004)\n");
  EXPECT_EQ(ServerGroupOf(1001, 1002), 2);
}

// ---------------------------------------------------------------------------
// Groups

TEST_F(ServerTest, AddGroupAssignsNextIdAndRefusesDuplicatesAndBadParents) {
  User& alice = Online(1, 1001, "alice");
  ASSERT_TRUE(alice.client->AddGroup(2, 1, "Raid"));
  ASSERT_TRUE(alice.client->AddGroup(0, 1, "Guild"));
  ASSERT_TRUE(alice.client->AddGroup(77, 1, "Orphans"));
  Pump();
  EXPECT_EQ(alice.sink.Take(),
            "OnAddGroupResult(1,G{1,3,2,0,'Raid'})\n"
            "OnAddGroupResult(2,G{1,2,1,0,'Guild'})\n"
            "OnAddGroupResult(3,G{1,4,77,0,'Orphans'})\n");
  EXPECT_EQ(GroupOf(alice, 3), "G{1,3,2,0,'Raid'}");
  EXPECT_EQ(GroupOf(alice, 4), "none");
  EXPECT_EQ(state_.directory().accounts.at(1001).groups.size(), 3u);

  // The new group is real: friends can be moved into it.
  ASSERT_TRUE(alice.client->MoveUser(1002, 3, 0));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnMoveUserResult(3,1002)\n");
}

TEST_F(ServerTest, RenameGroup) {
  User& alice = Online(1, 1001, "alice");
  ASSERT_TRUE(alice.client->RenameGroup(2, Gbk8("公会").c_str()));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnUpdateGroupResult(1,2)\n");
  GroupRecord g{};
  ASSERT_TRUE(alice.client->GetGroup(2, &g));
  EXPECT_EQ(std::string(g.name), Gbk8("公会"));
  EXPECT_EQ(state_.directory().accounts.at(1001).groups.at(2).name, Gbk8("公会"));

  // Unknown group and a name another group has: result 0, nothing renamed.
  ASSERT_TRUE(alice.client->RenameGroup(2, "Friends"));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnUpdateGroupResult(0,2)\n");
  ASSERT_TRUE(alice.client->RenameGroup(77, "Ghosts"));
  Pump();
  // The client has no group 77 and only logs; the server still answered.
  EXPECT_EQ(alice.sink.Take().find("OnUpdateGroupResult"), std::string::npos);
  EXPECT_NE(out_.log.find("rename group 77 refused"), std::string::npos);
  EXPECT_EQ(state_.directory().accounts.at(1001).groups.at(2).name, Gbk8("公会"));
}

TEST_F(ServerTest, DeleteGroupRefilesMembersUnderTheParent) {
  User& alice = Online(1, 1001, "alice");
  ASSERT_TRUE(alice.client->DeleteGroup(2));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnDeleteGroupResult(1,2)\n");
  EXPECT_EQ(GroupOf(alice, 2), "none");
  EXPECT_EQ(UserOf(alice, 1003), "U{1003,2,1,0,0,0,0,0,0,1,'carol'}");
  EXPECT_EQ(ServerGroupOf(1001, 1003), 1);
  EXPECT_EQ(ServerGroupOf(1001, 1005), 1);
  EXPECT_EQ(ServerGroupOf(1001, 1002), 1);

  // A fresh login agrees with what the client worked out locally.
  User& again = Connect(9);
  Login(9, 1001, "alice");
  EXPECT_EQ(UserOf(again, 1003), "U{1003,2,1,0,0,0,0,0,0,1,'carol'}");
  EXPECT_EQ(again.client->groups().size(), 1u);
  again.sink.Take();

  ASSERT_TRUE(again.client->DeleteGroup(2));
  Pump();
  EXPECT_EQ(again.sink.Take(), "OnDeleteGroupResult(0,2)\n");
}

TEST_F(ServerTest, DeletingAParentReparentsItsSubgroups) {
  User& alice = Online(1, 1001, "alice");
  ASSERT_TRUE(alice.client->AddGroup(2, 1, "Raid"));  // id 3 under Guild
  ASSERT_TRUE(alice.client->DeleteGroup(2));
  Pump();
  EXPECT_EQ(state_.directory().accounts.at(1001).groups.at(3).parent, 1);
}

// ---------------------------------------------------------------------------
// Presence on game servers, chat, search

TEST_F(ServerTest, GameServerChangesReachFriends) {
  User& alice = Online(1, 1001, "alice");
  User& bob = Online(2, 1002, "bob");
  alice.sink.Take();
  ASSERT_TRUE(bob.client->EnterGameServer(7));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnUserEnterGameServer(1002)\n");
  EXPECT_EQ(UserOf(alice, 1002), "U{1002,2,1,7,0,0,0,0,0,2,'bob'}");

  // A later login sees bob's game server in the list.
  User& alice2 = Online(3, 1001, "alice");
  EXPECT_EQ(UserOf(alice2, 1002), "U{1002,2,1,7,0,0,0,0,0,2,'bob'}");

  ASSERT_TRUE(bob.client->LeaveGameServer(7));
  Pump();
  EXPECT_EQ(alice2.sink.Take(), "OnUserLeaveGameServer(1002)\n");
  EXPECT_EQ(state_.directory().accounts.at(1002).gameServer, 0);
}

TEST_F(ServerTest, ChatToOnlinePeerIsForwardedWithTheSender) {
  User& alice = Online(1, 1001, "alice");
  User& bob = Online(2, 1002, "bob");
  ASSERT_TRUE(alice.client->SendChatMessage(1002, 0, "hi bob", 1, 2, 3));
  Pump();
  EXPECT_EQ(bob.sink.Take(), "OnChatMessage(0,1001,'hi bob',1,2,3)\n");
  EXPECT_EQ(alice.sink.Take(), "OnOnlineStateChanged(1002)\n");
}

TEST_F(ServerTest, ChatToOfflinePeerIsDeliveredOnceAtLogin) {
  User& alice = Online(1, 1001, "alice");
  ASSERT_TRUE(alice.client->SendChatMessage(1003, 0, "see you", 4, 5, 6));
  ASSERT_TRUE(alice.client->SendChatMessage(1003, 0, "later", 0, 0, 0));
  ASSERT_TRUE(alice.client->SendChatMessage(4242, 0, "nobody", 0, 0, 0));
  Pump();
  EXPECT_EQ(state_.directory().accounts.at(1003).offline.size(), 2u);

  User& carol = Connect(3);
  Login(3, 1003, "carol");
  std::string expected = "OnServerInfo()\nOnLoginResult(1,'')\n";
  expected += "OnOfflineMessage(0,1001,1700000000.5,'see you',4,5,6,[" +
              Escape(("alice" + std::string(33, '\0')).data(), 38) + "],0)\n";
  expected += "OnOfflineMessage(0,1001,1700000000.5,'later',0,0,0,[" +
              Escape(("alice" + std::string(33, '\0')).data(), 38) + "],0)\n";
  EXPECT_EQ(carol.sink.Take(), expected);

  User& carol2 = Connect(4);
  Login(4, 1003, "carol");
  EXPECT_EQ(carol2.sink.Take().find("OnOfflineMessage"), std::string::npos);
}

TEST_F(ServerTest, SearchMatchesNamePartsOrEveryone) {
  User& bob = Online(2, 1002, "bob");
  ASSERT_TRUE(bob.client->SearchUser(0, 0, "a"));
  Pump();
  EXPECT_EQ(bob.sink.Take(),
            "OnSearchUserListItem(U{1001,0,0,0,0,0,0,0,0,1,'alice'})\n"
            "OnSearchUserListItem(U{1003,0,0,0,0,0,0,0,0,1,'carol'})\n"
            "OnSearchUserListItem(U{1004,0,0,0,0,0,0,0,0,1,'dave'})\n"
            "OnSearchUserListEnd(3)\n");

  ASSERT_TRUE(bob.client->SearchUser(0, 0, Gbk8("明").c_str()));
  Pump();
  EXPECT_EQ(bob.sink.Take(),
            "OnSearchUserListItem(U{1005,0,0,0,0,0,0,0,0,1," + Escape(Gbk8("小明").c_str()) +
                "})\nOnSearchUserListEnd(1)\n");

  ASSERT_TRUE(bob.client->SearchUser(0, 0, nullptr));
  ASSERT_TRUE(bob.client->SearchUser(0, 0, "zzz"));
  Pump();
  const std::string all = bob.sink.Take();
  EXPECT_NE(all.find("OnSearchUserListEnd(6)\n"), std::string::npos);
  EXPECT_NE(all.find("U{1002,0,0,0,0,0,0,0,0,2,'bob'}"), std::string::npos);
  EXPECT_NE(all.find("OnSearchUserListEnd(0)\n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Long lists are split into messages the client takes

Directory Crowd(int friends) {
  std::string seed = "user 1 owner pw\ngroup 1 1 0 1 Friends\n";
  for (int i = 0; i < friends; ++i) {
    const std::string id = std::to_string(100 + i);
    seed += "user " + id + " user" + id + "_with_a_name_of_31_byt pw\n";
    seed += "friend 1 " + id + " 1\n";
  }
  for (int g = 2; g < 40; ++g) {
    seed += "group 1 " + std::to_string(g) + " 0 1 " + std::string(60, 'g') + std::to_string(g) +
            "\n";
  }
  Directory dir;
  std::string error;
  EXPECT_TRUE(server::LoadSeed(seed, &dir, &error)) << error;
  return dir;
}

class CrowdTest : public ServerTest {
 protected:
  CrowdTest() : ServerTest(Crowd(120)) {}
};

TEST_F(CrowdTest, ListsAreSplitWithinTheClientsLimits) {
  User& owner = Connect(1);
  const server::Md5Digest digest = server::Md5("pw");
  const std::array<uint8_t, 33> extra{};
  ASSERT_TRUE(owner.client->Login(1, digest.data(), extra.data()));
  for (const Bytes& m : owner.client.socket->sent) state_.HandleRequest(1, m.data(), m.size());
  owner.client.socket->sent.clear();
  int userLists = 0, groupLists = 0;
  for (const server::Bytes& m : out_.inbox[1]) {
    ASSERT_EQ(Nimbo2::NimboMsgHead::Length(m.data()), m.size());
    if (m[3] == IM_MSG_MY_USER_LIST) ++userLists;
    if (m[3] == IM_MSG_ID_MY_GROUP_LIST) ++groupLists;
    if (m[3] == IM_MSG_MY_USER_LIST || m[3] == IM_MSG_ID_MY_GROUP_LIST) {
      EXPECT_LE(m.size(), 1440u);
    }
  }
  EXPECT_GT(userLists, 1);
  EXPECT_GT(groupLists, 1);
  Pump();
  EXPECT_EQ(owner.client->users().size(), 120u);
  EXPECT_EQ(owner.client->groups().size(), 39u);
  UserRecord last{};
  ASSERT_TRUE(owner.client->GetUser(219, &last));
  EXPECT_EQ(std::string(last.name), "user219_with_a_name_of_31_byt");

  owner.sink.Take();
  ASSERT_TRUE(owner.client->SearchUser(0, 0, "_with_"));
  for (const Bytes& m : owner.client.socket->sent) state_.HandleRequest(1, m.data(), m.size());
  owner.client.socket->sent.clear();
  ASSERT_GT(out_.inbox[1].size(), 1u);
  for (const server::Bytes& m : out_.inbox[1]) EXPECT_LE(m.size(), 1444u);
  Pump();
  const std::string calls = owner.sink.Take();
  std::size_t items = 0;
  for (std::size_t p = calls.find("OnSearchUserListItem"); p != std::string::npos;
       p = calls.find("OnSearchUserListItem", p + 1)) {
    ++items;
  }
  EXPECT_EQ(items, 120u);
}

// ---------------------------------------------------------------------------
// Bad input

TEST(RequestHeaderTest, AcceptsOnlyKnownRequestsAtTheirExactSize) {
  std::string why;
  const Bytes login = Msg(IM_MSG_ID_LOGIN).PadTo(58).Build();
  EXPECT_EQ(server::RequestSizeFromHeader(login.data(), &why), 58u);
  const Bytes flagged = Msg(IM_MSG_ID_LOGOUT, 0x2F).LengthWord(0x8008).PadTo(8).Build();
  EXPECT_EQ(server::RequestSizeFromHeader(flagged.data(), &why), 8u);

  struct Case {
    Bytes head;
    const char* reason;
  } cases[] = {
      {Msg(IM_MSG_ID_LOGIN).LengthWord(59).Build(), "expected 58"},
      {Msg(IM_MSG_ID_LOGIN).LengthWord(57).Build(), "expected 58"},
      {Msg(IM_MSG_ID_LOGOUT).LengthWord(3).Build(), "below the header"},
      {Msg(IM_MSG_ID_SERVER_INFO).LengthWord(11).Build(), "undefined request id 45"},
      {Msg(57).LengthWord(8).Build(), "undefined request id 57"},
      {Msg(IM_MSG_ID_LOGOUT, 0x30).LengthWord(8).Build(), "category 12"},
  };
  for (const Case& c : cases) {
    why.clear();
    EXPECT_EQ(server::RequestSizeFromHeader(c.head.data(), &why), 0u) << c.reason;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
}

TEST_F(ServerTest, BadInputClosesOnlyThatClient) {
  User& alice = Online(1, 1001, "alice");
  User& bob = Online(2, 1002, "bob");
  alice.sink.Take();
  const Bytes shortLogout = Msg(IM_MSG_ID_LOGOUT).PadTo(6).Build();
  state_.HandleRequest(2, shortLogout.data(), shortLogout.size());
  EXPECT_EQ(out_.closed, std::vector<SessionId>{2});
  EXPECT_EQ(state_.UserOf(2), 0u);
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnOnlineStateChanged(1002)\n");
  EXPECT_EQ(bob.sink.Take(), "");
  EXPECT_NE(out_.log.find("#2 bad input"), std::string::npos);

  // The closed session is gone; more bytes from it change nothing.
  const Bytes logout = Msg(IM_MSG_ID_LOGOUT).PadTo(8).Build();
  state_.HandleRequest(2, logout.data(), logout.size());
  EXPECT_EQ(out_.closed.size(), 1u);

  // Alice carries on.
  ASSERT_TRUE(alice.client->MoveUser(1002, 2, 0));
  Pump();
  EXPECT_EQ(alice.sink.Take(), "OnMoveUserResult(3,1002)\n");
}

TEST_F(ServerTest, MalformedMessagesOfEveryKindAreRejected) {
  const Bytes samples[] = {
      Msg(99).PadTo(8).Build(),                         // undefined id
      Msg(IM_MSG_ID_LOGIN).PadTo(57).Build(),           // one byte short
      Msg(IM_MSG_ID_USER_CHAT).PadTo(280).Build(),      // one byte long
      Msg(IM_MSG_ID_LOGOUT, 0x30).PadTo(8).Build(),     // category 12
      Msg(IM_MSG_ID_LOGOUT).LengthWord(2).PadTo(8).Build(),
      Bytes{0x08, 0x00},                                // not even a header
  };
  SessionId id = 10;
  for (const Bytes& m : samples) {
    Connect(id);
    state_.HandleRequest(id, m.data(), m.size());
    EXPECT_EQ(out_.closed.back(), id);
    ++id;
  }
  EXPECT_EQ(out_.closed.size(), std::size(samples));
  EXPECT_TRUE(out_.inbox.empty());
}

TEST_F(ServerTest, RequestsBeforeLoginAreIgnored) {
  User& u = Connect(1);
  ASSERT_TRUE(u.client->AddGroup(0, 1, "x"));
  ASSERT_TRUE(u.client->SearchUser(0, 0, nullptr));
  Pump();
  EXPECT_EQ(u.sink.Take(), "");
  EXPECT_TRUE(out_.closed.empty());
  EXPECT_NE(out_.log.find("AddGroup before login, ignored"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Admin console

TEST_F(ServerTest, AdminNoticesReachEveryoneOnline) {
  User& alice = Online(1, 1001, "alice");
  User& dave = Online(4, 1004, "dave");
  alice.sink.Take();
  std::string reply;
  EXPECT_EQ(server::RunAdminCommand(state_, "notice system 2 服务器 将重启", &reply),
            AdminOutcome::kDone);
  EXPECT_EQ(server::RunAdminCommand(state_, "notice info 0x20 hello all", &reply),
            AdminOutcome::kDone);
  Pump();
  const std::string expected = "OnChatMessage(3,0," + Escape(Gbk8("服务器 将重启").c_str()) +
                               ",0,0,0)\nOnChatMessage(11,0,'hello all',0,0,0)\n";
  EXPECT_EQ(alice.sink.Take(), expected);
  EXPECT_EQ(dave.sink.Take(), expected);
}

TEST_F(ServerTest, AdminKickAndUsers) {
  User& alice = Online(1, 1001, "alice");
  User& bob = Online(2, 1002, "bob");
  std::string reply;
  EXPECT_EQ(server::RunAdminCommand(state_, "users", &reply), AdminOutcome::kDone);
  EXPECT_EQ(reply, "1001 alice gs=0 test:1\n1002 bob gs=0 test:2\n2 online");

  alice.sink.Take();
  EXPECT_EQ(server::RunAdminCommand(state_, "kick 1002", &reply), AdminOutcome::kDone);
  Pump();
  EXPECT_EQ(bob.sink.Take(), "OnLogout()\n");
  EXPECT_EQ(alice.sink.Take(), "OnOnlineStateChanged(1002)\n");
  EXPECT_TRUE(out_.closed.empty());  // the connection stays
  EXPECT_EQ(server::RunAdminCommand(state_, "kick 1002", &reply), AdminOutcome::kDone);
  EXPECT_EQ(reply, "user 1002 is not online");
}

TEST_F(ServerTest, AdminRejectsMalformedCommands) {
  std::string reply;
  for (const char* line : {"kick", "kick bob", "kick 1 2", "notice loud 1 x", "notice system x hi",
                           "notice info 1", "frobnicate"}) {
    EXPECT_EQ(server::RunAdminCommand(state_, line, &reply), AdminOutcome::kError) << line;
    EXPECT_FALSE(reply.empty());
  }
  EXPECT_EQ(server::RunAdminCommand(state_, "", &reply), AdminOutcome::kDone);
  EXPECT_EQ(server::RunAdminCommand(state_, "quit\r", &reply), AdminOutcome::kQuit);
}

// ---------------------------------------------------------------------------
// Seed files

TEST(SeedTest, LoadsRecordsInAnyOrderWithComments) {
  const std::string seed =
      "# a comment\n"
      "friend 7 8 3   # filed under the group defined below\n"
      "group 7 3 0 2 Best  mates\n"
      "user 7 七 secret gm=3\n"
      "user 8 eight pw\n"
      "request 8 7\n";
  Directory dir;
  std::string error;
  ASSERT_TRUE(server::LoadSeed(seed, &dir, &error)) << error;
  const server::Account& seven = dir.accounts.at(7);
  EXPECT_EQ(seven.name, Gbk8("七"));
  EXPECT_EQ(seven.gmLevel, 3u);
  EXPECT_EQ(seven.password, server::Md5("secret"));
  EXPECT_EQ(seven.groups.at(3).name, "Best  mates");
  EXPECT_EQ(seven.groups.at(3).kind, 2);
  EXPECT_EQ(seven.friends.at(8), 3);
  // An account without groups gets a default one to file friends under.
  EXPECT_EQ(dir.accounts.at(8).groups.at(1).name, "Friends");
  EXPECT_EQ(dir.pending.count({8, 7}), 1u);
}

TEST(SeedTest, ReportsTheOffendingLine) {
  struct Case {
    const char* seed;
    const char* error;
  } cases[] = {
      {"user 1 a a\nuser 1 b b\n", "line 2: duplicate user id"},
      {"user 0 a a\n", "line 1: bad user id"},
      {"user 1 a a gm=x\n", "line 1: bad gm level"},
      {"user 1 a a\nfriend 1 2 1\n", "line 2: unknown friend"},
      {"user 1 a a\nuser 2 b b\nfriend 1 2 5\n", "line 3: group not defined"},
      {"user 1 a a\ngroup 1 2 9 1 x\n", "line 2: parent group not defined"},
      {"user 1 a a\nrequest 1 1\n", "line 2: a user cannot ask himself"},
      {"user 1 abcdefghijklmnopqrstuvwxyz012345 a\n", "line 1: name longer than 31"},
      {"blah\n", "line 1: unknown record 'blah'"},
  };
  for (const Case& c : cases) {
    Directory dir;
    std::string error;
    EXPECT_FALSE(server::LoadSeed(c.seed, &dir, &error)) << c.seed;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.seed << " -> " << error;
  }
}

TEST(SeedTest, DemoSetLoads) {
  Directory dir;
  std::string error;
  ASSERT_TRUE(server::LoadSeed(server::DemoSeedText(), &dir, &error)) << error;
  EXPECT_EQ(dir.accounts.size(), 6u);
  EXPECT_EQ(dir.accounts.at(1005).nameUtf8, "小明");
  EXPECT_EQ(dir.accounts.at(9000).gmLevel, 1u);
}

TEST(TextTest, CutGbkKeepsCharactersWhole) {
  const std::string two = Gbk8("小明");  // 4 bytes
  EXPECT_EQ(server::CutGbk(two, 3), two.substr(0, 2));
  EXPECT_EQ(server::CutGbk("a" + two, 2), "a");
  EXPECT_EQ(server::CutGbk(two, 4), two);
  EXPECT_EQ(server::CutGbk(std::string(1, '\xC4'), 5), "");  // lone lead byte dropped
}

// ---------------------------------------------------------------------------
// Chaos mode

using server::ChaosFault;
using server::ChaosKind;
using server::ChaosPlan;
using server::ChaosPoint;

std::vector<ChaosKind> AllKinds() {
  std::vector<ChaosKind> all;
  std::string error;
  EXPECT_TRUE(server::ParseChaosKinds("all", &all, &error)) << error;
  return all;
}

TEST(ChaosPlanTest, ShareKindsAndTlsDecideWhatIsDrawn) {
  const struct {
    double share;
    const char* kinds;
    bool tls;
    std::size_t minActive, maxActive;  // of 1,000 connections
  } kRows[] = {
      {0.0, "all", true, 0, 0},
      {1.0, "all", false, 1000, 1000},
      {0.5, "all", true, 400, 600},
      {1.0, "drip,stall", false, 1000, 1000},
      {1.0, "tls-noclose,reset", false, 1000, 1000},  // reset only, without TLS
  };
  for (const auto& row : kRows) {
    std::vector<ChaosKind> kinds;
    std::string error;
    ASSERT_TRUE(server::ParseChaosKinds(row.kinds, &kinds, &error)) << error;
    const ChaosPlan plan(99, row.share, kinds, row.tls);
    std::size_t active = 0;
    std::map<ChaosKind, int> seen;
    std::map<ChaosPoint, int> points;
    for (uint64_t n = 1; n <= 1000; ++n) {
      const ChaosFault f = plan.For(n);
      if (!f.active) continue;
      ++active;
      ++seen[f.kind];
      ++points[f.point];
      EXPECT_TRUE(std::find(plan.kinds().begin(), plan.kinds().end(), f.kind) != plan.kinds().end())
          << row.kinds << ": " << f.Describe();
      EXPECT_TRUE(row.tls || f.kind != ChaosKind::kTlsNoClose);
    }
    EXPECT_GE(active, row.minActive) << row.share << " " << row.kinds;
    EXPECT_LE(active, row.maxActive) << row.share << " " << row.kinds;
    if (active > 0) {
      EXPECT_EQ(seen.size(), plan.kinds().size()) << row.kinds;  // every kind comes up
      EXPECT_EQ(points.size(), server::kChaosPointCount) << row.kinds;
    }
  }
  std::vector<ChaosKind> kinds;
  std::string error;
  EXPECT_FALSE(server::ParseChaosKinds("reset,fire", &kinds, &error));
  EXPECT_NE(error.find("fire"), std::string::npos);
  EXPECT_FALSE(server::ParseChaosKinds("", &kinds, &error));
}

TEST(ChaosPlanTest, CutsAndGarbageAreNeverAValidMessage) {
  const ChaosPlan plan(5, 1.0, AllKinds(), true);
  bool shortLength = false, foreign = false;
  for (uint64_t n = 1; n <= 200; ++n) {
    const ChaosFault f = plan.For(n);
    for (std::size_t length : {4u, 5u, 56u, 1440u}) {
      const std::size_t cut = f.CutAt(length);
      EXPECT_GE(cut, 1u);
      EXPECT_LT(cut, length);
    }
    const server::Bytes g = f.Garbage();
    ASSERT_GE(g.size(), 4u);
    const uint16_t length = Nimbo2::NimboMsgHead::Length(g.data());
    if (f.GarbageIsShortLength()) {
      shortLength = true;
      EXPECT_LT(length, 4u);
    } else {
      foreign = true;
      EXPECT_EQ(length, g.size());  // framed, so the stream stays in step
      EXPECT_NE(Nimbo2::NimboMsgHead::Category(g.data()), IM_MSG_CATEGORY);
    }
  }
  EXPECT_TRUE(shortLength && foreign);
}

#if defined(KELVO_SERVER_PATH)

using e2e::ChildProcess;
using e2e::Millis;

// kelvo-server started with `args`; its log read line by line.
class ServerUnderTest {
 public:
  explicit ServerUnderTest(std::vector<std::string> args) {
    args.insert(args.begin(), {KELVO_SERVER_PATH, "--port", "0"});
    std::string error;
    if (!process_.Start(args, false, true, &error)) {
      ADD_FAILURE() << error;
      return;
    }
    std::string line;
    if (!WaitForLine("listening on 127.0.0.1:", &line)) return;
    port_ = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
  }
  ~ServerUnderTest() { process_.Kill(); }
  uint16_t port() const { return port_; }
  // Lines up to and including the first that holds `text`, within 10 s.
  bool WaitForLine(const std::string& text, std::string* found = nullptr,
                   std::vector<std::string>* before = nullptr) {
    std::string l;
    while (process_.ReadLine(&l, Millis(10000))) {
      if (before != nullptr) before->push_back(l);
      if (l.find(text) != std::string::npos) {
        if (found != nullptr) *found = l;
        return true;
      }
    }
    ADD_FAILURE() << "the server never logged \"" << text << "\"";
    return false;
  }
  // SIGTERM, then the rest of the log.
  std::string Stop() {
    kill(process_.pid(), SIGTERM);
    std::string rest = process_.ReadAll(Millis(10000));
    process_.Wait(Millis(5000));
    return rest;
  }

 private:
  ChildProcess process_;
  uint16_t port_ = 0;
};

// Alice's login and a chat to herself, as the client itself writes them.
std::string LoginAndChatRequests(bool chat) {
  FakeClient c;
  const server::Md5Digest digest = server::Md5("alice");
  EXPECT_TRUE(c->Login(1001, digest.data(), nullptr));
  if (chat) {
    EXPECT_TRUE(c->SendChatMessage(1001, 0, "chaos", 1, 2, 3));
  }
  std::string out;
  for (const Bytes& m : c.socket->sent) out.append(m.begin(), m.end());
  return out;
}

// Where each message of `stream` starts, up to the first byte that does not
// begin a whole one.
std::vector<std::size_t> MessageStarts(const std::string& stream) {
  std::vector<std::size_t> starts;
  std::size_t at = 0;
  while (at + 4 <= stream.size()) {
    const auto* h = reinterpret_cast<const uint8_t*>(stream.data() + at);
    const std::size_t length = Nimbo2::NimboMsgHead::Length(h);
    if (length < 4 || at + length > stream.size()) break;
    starts.push_back(at);
    at += length;
  }
  return starts;
}

// A plain socket client that records how the bytes came and how the
// connection ended.
class RawClient {
 public:
  enum class End { kOpen, kEof, kReset, kError };

  explicit RawClient(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd_);
      fd_ = -1;
    }
    EXPECT_GE(fd_, 0) << "cannot connect to port " << port;
  }
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }
  void Reset() {
    const linger now{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd_);
    fd_ = -1;
  }
  bool Send(const std::string& bytes) {
    return fd_ >= 0 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(bytes.size());
  }
  // Reads until `want` bytes have come in all, the connection ended, or
  // `limit` passed.
  End Read(std::size_t want, Millis limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (fd_ >= 0 && data.size() < want) {
      const auto left =
          std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return End::kOpen;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[65536];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n == 0) return End::kEof;
      if (n < 0) return errno == ECONNRESET ? End::kReset : End::kError;
      data.append(chunk, static_cast<std::size_t>(n));
      const std::vector<std::size_t> starts = MessageStarts(data);
      const std::size_t whole =
          starts.empty() ? 0
                         : starts.back() + Nimbo2::NimboMsgHead::Length(
                                               reinterpret_cast<const uint8_t*>(data.data()) +
                                               starts.back());
      if (whole != data.size()) ++splitReads;
      arrivals.push_back(std::chrono::steady_clock::now());
    }
    return End::kOpen;
  }
  // Reads until the connection ends, within `limit`.
  End ReadToEnd(Millis limit) { return Read(SIZE_MAX, limit); }

  std::string data;
  int splitReads = 0;  // reads that ended inside a message
  std::vector<std::chrono::steady_clock::time_point> arrivals;

 private:
  int fd_ = -1;
};

// The first seed whose first connection gets `kind` at `point` (the test
// picks the point; the server draws it).
ChaosFault FindSeed(ChaosKind kind, ChaosPoint point, bool tls, uint64_t* seed,
                    int garbage = -1) {
  for (uint64_t s = 1; s < 100000; ++s) {
    const ChaosFault f = ChaosPlan(s, 1.0, {kind}, tls).For(1);
    if (f.point == point && (garbage < 0 || f.GarbageIsShortLength() == (garbage == 1))) {
      *seed = s;
      return f;
    }
  }
  ADD_FAILURE() << "no seed";
  return {};
}

class ChaosServerTest : public ::testing::Test {
 protected:
  // What the fault-free server sends for alice's login and her chat to
  // herself: 45, 51, 48, 46, 47, 64 (dave's pending request), 73.
  static void SetUpTestSuite() {
    ServerUnderTest plain({});
    RawClient c(plain.port());
    ASSERT_TRUE(c.Send(LoginAndChatRequests(true)));
    c.Read(SIZE_MAX, Millis(3000));  // all of it; the server keeps the connection
    clean_ = new std::string(c.data);
  }
  static void TearDownTestSuite() {
    delete clean_;
    clean_ = nullptr;
  }

  // Where the fault at `point` strikes in the clean stream: the message's
  // first byte.
  static std::size_t PointOffset(ChaosPoint point) {
    const std::vector<std::size_t> starts = MessageStarts(*clean_);
    const uint8_t wanted = point == ChaosPoint::kAfterLogin ? IM_MSG_ID_MY_USERDATA
                           : point == ChaosPoint::kRoster   ? IM_MSG_MY_USER_LIST
                                                            : IM_MSG_ID_USER_CHAT;
    for (std::size_t at : starts) {
      if (static_cast<uint8_t>((*clean_)[at + 3]) == wanted) return at;
    }
    ADD_FAILURE() << "message " << int(wanted) << " not in the clean stream";
    return 0;
  }
  static std::size_t LengthAt(std::size_t at) {
    return Nimbo2::NimboMsgHead::Length(reinterpret_cast<const uint8_t*>(clean_->data()) + at);
  }

  static std::string* clean_;
};
std::string* ChaosServerTest::clean_ = nullptr;

std::vector<std::string> ChaosArgs(uint64_t seed, ChaosKind kind) {
  return {"--chaos", std::to_string(seed), "--chaos-share", "1", "--chaos-only",
          server::ChaosKindName(kind)};
}

TEST_F(ChaosServerTest, TheCleanStreamIsWhatTheFaultsAreMeasuredAgainst) {
  const std::vector<std::size_t> starts = MessageStarts(*clean_);
  ASSERT_EQ(starts.size(), 7u);
  EXPECT_EQ(starts.back() + LengthAt(starts.back()), clean_->size());
}

TEST_F(ChaosServerTest, ResetAndFinCutAMessageAndEndAsTheySay) {
  const struct {
    ChaosKind kind;
    ChaosPoint point;
    RawClient::End end;
  } kRows[] = {
      {ChaosKind::kReset, ChaosPoint::kAfterLogin, RawClient::End::kReset},
      {ChaosKind::kReset, ChaosPoint::kRoster, RawClient::End::kReset},
      {ChaosKind::kReset, ChaosPoint::kChat, RawClient::End::kReset},
      {ChaosKind::kFin, ChaosPoint::kAfterLogin, RawClient::End::kEof},
      {ChaosKind::kFin, ChaosPoint::kRoster, RawClient::End::kEof},
      {ChaosKind::kFin, ChaosPoint::kChat, RawClient::End::kEof},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(server::ChaosKindName(row.kind)) + " at " +
                 server::ChaosPointName(row.point));
    uint64_t seed = 0;
    const ChaosFault f = FindSeed(row.kind, row.point, false, &seed);
    ServerUnderTest server(ChaosArgs(seed, row.kind));
    RawClient c(server.port());
    ASSERT_TRUE(c.Send(LoginAndChatRequests(true)));
    const std::size_t at = PointOffset(row.point);
    const std::size_t cut = f.CutAt(LengthAt(at));
    EXPECT_EQ(c.ReadToEnd(Millis(10000)), row.end);
    // Everything before the point, then the cut message's first bytes.
    EXPECT_EQ(c.data, clean_->substr(0, at + cut));
    const std::string log = server.Stop();
    EXPECT_NE(log.find(std::string(server::ChaosKindName(row.kind)) + " 1"), std::string::npos)
        << log;
  }
}

TEST_F(ChaosServerTest, GarbageComesBeforeThePointMessageAndTheRestFollows) {
  for (int shortLength : {1, 0}) {
    for (ChaosPoint point : {ChaosPoint::kAfterLogin, ChaosPoint::kChat}) {
      SCOPED_TRACE(std::string(shortLength ? "length below 4" : "foreign category") + " at " +
                   server::ChaosPointName(point));
      uint64_t seed = 0;
      const ChaosFault f = FindSeed(ChaosKind::kGarbage, point, false, &seed, shortLength);
      ServerUnderTest server(ChaosArgs(seed, ChaosKind::kGarbage));
      RawClient c(server.port());
      ASSERT_TRUE(c.Send(LoginAndChatRequests(true)));
      const server::Bytes g = f.Garbage();
      const std::size_t at = PointOffset(point);
      const std::string want =
          clean_->substr(0, at) + std::string(g.begin(), g.end()) + clean_->substr(at);
      EXPECT_EQ(c.Read(want.size(), Millis(10000)), RawClient::End::kOpen);
      EXPECT_EQ(c.data, want);
      const std::string log = server.Stop();
      EXPECT_NE(log.find("garbage 1"), std::string::npos) << log;
    }
  }
}

TEST_F(ChaosServerTest, DripAndDelayStillDeliverEveryByte) {
  for (ChaosKind kind : {ChaosKind::kDrip, ChaosKind::kDelay}) {
    for (ChaosPoint point : {ChaosPoint::kAfterLogin, ChaosPoint::kRoster, ChaosPoint::kChat}) {
      SCOPED_TRACE(std::string(server::ChaosKindName(kind)) + " at " +
                   server::ChaosPointName(point));
      uint64_t seed = 0;
      FindSeed(kind, point, false, &seed);
      ServerUnderTest server(ChaosArgs(seed, kind));
      RawClient c(server.port());
      const auto sent = std::chrono::steady_clock::now();
      ASSERT_TRUE(c.Send(LoginAndChatRequests(true)));
      EXPECT_EQ(c.Read(clean_->size(), Millis(20000)), RawClient::End::kOpen);
      EXPECT_EQ(c.data, *clean_);
      // Whole messages, written one at a time, never arrive cut on
      // loopback; a drip of a byte at a time with pauses does.
      if (kind == ChaosKind::kDrip) {
        EXPECT_GT(c.splitReads, 0);
      } else {
        // Held back at least the shortest delay before the point's message.
        ASSERT_FALSE(c.arrivals.empty());
        EXPECT_GE(c.arrivals.back() - sent, std::chrono::milliseconds(20));
      }
      const std::string log = server.Stop();
      EXPECT_NE(log.find(std::string(server::ChaosKindName(kind)) + " 1"), std::string::npos)
          << log;
    }
  }
}

TEST_F(ChaosServerTest, AStalledClientIsNeverReadAgain) {
  for (ChaosPoint point : {ChaosPoint::kAfterLogin, ChaosPoint::kChat}) {
    SCOPED_TRACE(server::ChaosPointName(point));
    uint64_t seed = 0;
    FindSeed(ChaosKind::kStall, point, false, &seed);
    ServerUnderTest server(ChaosArgs(seed, ChaosKind::kStall));
    RawClient c(server.port());
    // The login alone first: a chat sent with it could be read before the
    // stall sets in.
    ASSERT_TRUE(c.Send(LoginAndChatRequests(false)));
    const std::size_t loginBytes = PointOffset(ChaosPoint::kChat);
    EXPECT_EQ(c.Read(loginBytes, Millis(10000)), RawClient::End::kOpen);
    if (point == ChaosPoint::kChat) {
      // The chat that meets the point is answered; the stall follows it.
      ASSERT_TRUE(c.Send(LoginAndChatRequests(true).substr(LoginAndChatRequests(false).size())));
      EXPECT_EQ(c.Read(clean_->size(), Millis(10000)), RawClient::End::kOpen);
      EXPECT_EQ(c.data, *clean_);
    }
    EXPECT_TRUE(server.WaitForLine(std::string("chaos: stall at ") +
                                   server::ChaosPointName(point) + ", message"));
    // Requests pile up unread: the socket stops taking them once the
    // server's receive buffer and ours are full, and stays so.
    int flags = fcntl(c.fd(), F_GETFL);
    ASSERT_EQ(fcntl(c.fd(), F_SETFL, flags | O_NONBLOCK), 0);
    const std::string chat = LoginAndChatRequests(true).substr(LoginAndChatRequests(false).size());
    std::size_t taken = 0;
    for (int i = 0; i < 200000; ++i) {
      const ssize_t n = send(c.fd(), chat.data(), chat.size(), MSG_NOSIGNAL);
      if (n < 0) break;
      taken += static_cast<std::size_t>(n);
    }
    EXPECT_LT(taken, 200000 * chat.size()) << "the server went on reading";
    pollfd p{c.fd(), POLLOUT, 0};
    EXPECT_EQ(poll(&p, 1, 500), 0) << "the server read some of the backlog";
    // No answer to any of those chats came.
    const std::size_t before = c.data.size();
    c.Read(before + 1, Millis(200));
    EXPECT_EQ(c.data.size(), before);
    // The server still notices the client's end and lets the connection go
    // (a FIN would wait behind the unread requests: a reset).
    c.Reset();
    EXPECT_TRUE(server.WaitForLine("disconnected"));
  }
}

TEST_F(ChaosServerTest, TlsEndWithoutCloseNotify) {
  test::TempDir dir;
  const test::TestCert ca = test::MakeCert({"Kelvo Test CA", {}, {}, -1, 30, true}, nullptr);
  const test::TestCert leaf =
      test::MakeCert({"im.kelvo.test", {"im.kelvo.test"}, {}, -1, 30, false}, &ca);
  ASSERT_TRUE(ca.ok() && leaf.ok());
  const std::string cert = dir.Write("server.pem", leaf.certPem);
  const std::string key = dir.Write("server.key", leaf.keyPem);
  uint64_t seed = 0;
  FindSeed(ChaosKind::kTlsNoClose, ChaosPoint::kRoster, true, &seed);
  std::vector<std::string> args = ChaosArgs(seed, ChaosKind::kTlsNoClose);
  args.insert(args.end(), {"--tls-cert", cert, "--tls-key", key});
  ServerUnderTest server(args);

  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  ASSERT_NE(ctx, nullptr);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  // Reads what comes until the end; which error ended it.
  auto session = [&](const std::string& requests, std::string* got) {
    RawClient c(server.port());
    timeval t{10, 0};
    setsockopt(c.fd(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, c.fd());
    int error = -1;
    if (SSL_connect(ssl) == 1 &&
        SSL_write(ssl, requests.data(), static_cast<int>(requests.size())) > 0) {
      char chunk[4096];
      for (;;) {
        const int n = SSL_read(ssl, chunk, sizeof chunk);
        if (n <= 0) {
          error = SSL_get_error(ssl, n);
          break;
        }
        got->append(chunk, static_cast<std::size_t>(n));
      }
    }
    ERR_clear_error();
    SSL_free(ssl);
    return error;
  };
  // The fault: everything before the roster, then the TCP end alone.
  std::string got;
  const int error = session(LoginAndChatRequests(true), &got);
  EXPECT_TRUE(error == SSL_ERROR_SYSCALL || error == SSL_ERROR_SSL) << error;
  EXPECT_EQ(got, clean_->substr(0, PointOffset(ChaosPoint::kRoster)));
  // Against a rejected request, which the server ends properly, with
  // close_notify (the second connection's fault is never reached).
  got.clear();
  EXPECT_EQ(session(std::string("\x03\x00\x2C\x0D", 4), &got), SSL_ERROR_ZERO_RETURN);
  EXPECT_EQ(got, "");
  SSL_CTX_free(ctx);
  const std::string log = server.Stop();
  EXPECT_NE(log.find("tls-noclose 1"), std::string::npos) << log;
}

TEST(ChaosSequenceTest, TheSameSeedGivesTheSameFaultsInTheSameOrder) {
  constexpr int kConnections = 40;
  // The fault each connection was given, from the server's log, in order.
  auto faults = [](uint64_t seed) {
    ServerUnderTest server({"--chaos", std::to_string(seed)});
    std::vector<std::string> lines;
    for (int i = 0; i < kConnections; ++i) {
      RawClient c(server.port());
      std::string l;
      // Waiting for each accept keeps the numbering in connection order.
      if (!server.WaitForLine("#" + std::to_string(i + 1) + " connected from", &l, &lines)) break;
    }
    std::vector<std::string> out;
    for (const std::string& l : lines) {
      const std::size_t at = l.find("session ");
      if (at != std::string::npos && l.find(": chaos: ") != std::string::npos) {
        out.push_back(l.substr(at));
      }
    }
    server.Stop();
    return out;
  };
  const std::vector<std::string> first = faults(1234);
  EXPECT_EQ(faults(1234), first);
  EXPECT_NE(faults(1235), first);
  // And they are the plan's, connection by connection (the default share,
  // every kind but the TLS one).
  const ChaosPlan plan(1234, 0.5, AllKinds(), false);
  std::vector<std::string> planned;
  for (uint64_t n = 1; n <= kConnections; ++n) {
    const ChaosFault f = plan.For(n);
    if (f.active) planned.push_back("session " + std::to_string(n) + ": chaos: " + f.Describe());
  }
  EXPECT_EQ(first, planned);
  EXPECT_GT(first.size(), 5u);
}

#endif  // KELVO_SERVER_PATH

}  // namespace
}  // namespace test
}  // namespace kelvo
