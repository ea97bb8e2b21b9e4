// User and presence handlers: the user list, add / remove / move results,
// game-server and online-state notices, add requests and game-master
// presence. Messages are built byte by byte in wire order, independently of
// the client's layout constants.
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/recording_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace {

using test::Bytes;
using test::Deliver;
using test::Describe;
using test::FakeClient;
using test::Gbk;
using test::Msg;
using test::RecordingSink;

// One user-list entry of length `e`: the fixed part, then `name` and zeros up
// to `e` bytes. An `e` below 17 cuts the fixed part.
Bytes UserEntry(uint8_t e, uint32_t id, uint16_t group = 0, uint16_t gs = 0, uint8_t state = 0,
                const std::string& name = "n") {
  Bytes b = Msg(0).U8(e).U32(id).U8(0xA3).U8(7).U8(2).U8(state).U16(group).U16(0x2222)
                .U16(gs).U16(0x1111).Raw(name).Build();
  b.erase(b.begin(), b.begin() + 4);  // drop the builder's header
  b.resize(e, 0);
  return b;
}

Bytes UserList(const std::vector<Bytes>& entries, uint8_t id = 47) {
  Msg m(id);
  for (const Bytes& e : entries) m.Append(e);
  return m.Build();
}

// The OnLog line for a text given in UTF-8, as its GBK bytes.
std::string LogLine(const std::string& utf8) {
  return "OnLog(" + test::Escape(Gbk(utf8).c_str()) + ")\n";
}

// The whole table, one record per line, in key order.
std::string Table(const UserMap& table) {
  std::string out;
  for (const auto& kv : table) out += Describe(kv.second) + "\n";
  return out;
}

Bytes AddUserResult(uint32_t r, uint32_t id, const std::string& name = "bob",
                    std::size_t total = 57) {
  return Msg(54).U32(r).U8(2).U32(id).U8(0xA3).U8(7).U8(4).U16(3).U16(0x2222).U16(9)
      .U16(0x1111).U8(0xEE).Text(name, 32).PadTo(total).Build();
}

class RosterUsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fc->SetSink(&sink);
    sink.Take();
  }
  void Load(const std::vector<Bytes>& entries) {
    Deliver(*fc, UserList(entries));
    sink.Take();
  }
  void SetOwnUser(uint32_t id) { Deliver(*fc, Msg(48).U32(id).PadTo(56).Build()); }

  RecordingSink sink;
  FakeClient fc;
};

TEST_F(RosterUsersTest, UserListEntryFieldsAndNoCallback) {
  for (uint8_t id : {uint8_t{47}, uint8_t{50}}) {
    fc->Close();
    Deliver(*fc, UserList({UserEntry(21, 0x80000005, 3, 9, 4, "bob")}, id));
    EXPECT_EQ(Table(fc->users()), "U{2147483653,2,3,9,0,4369,8738,163,1,4,'bob'}\n") << int{id};
    EXPECT_EQ(sink.Take(), "");
  }
}

struct EntryRow {
  uint8_t e;
  bool taken;
  std::string name;  // as stored
};
void PrintTo(const EntryRow& row, std::ostream* os) { *os << "E=" << int{row.e}; }

class UserListEntryTest : public RosterUsersTest, public ::testing::WithParamInterface<EntryRow> {};

// Each row: an entry of length E between two good ones. Entries that cannot
// hold the fixed part and a terminated name, or are longer than 49, are
// passed over and the walk goes on after them.
TEST_P(UserListEntryTest, BoundaryLengths) {
  const EntryRow row = GetParam();
  const std::string full(row.e > 17 ? row.e - 17 : 0, 'x');  // no terminator of its own
  const Bytes entry = UserEntry(row.e, 5, 0, 0, 0, full);
  const Bytes msg = UserList({UserEntry(18, 1), entry, UserEntry(20, 9, 0, 0, 0, "ok")});
  Bytes after;
  Deliver(*fc, msg, &after);
  std::string expected = "U{1,2,0,0,0,4369,8738,163,1,0,''}\n";
  if (row.taken) expected += "U{5,2,0,0,0,4369,8738,163,1,0,'" + row.name + "'}\n";
  expected += "U{9,2,0,0,0,4369,8738,163,1,0,'ok'}\n";
  EXPECT_EQ(Table(fc->users()), expected);
  // Only the taken entries' last bytes are written.
  Bytes want = msg;
  want[4 + 17] = 0;
  if (row.taken) want[4 + 18 + row.e - 1] = 0;
  want[msg.size() - 1] = 0;
  EXPECT_EQ(after, want);
}

INSTANTIATE_TEST_SUITE_P(RosterUsers, UserListEntryTest,
                         ::testing::Values(EntryRow{1, false, ""}, EntryRow{17, false, ""},
                                           EntryRow{18, true, ""}, EntryRow{19, true, "x"},
                                           EntryRow{49, true, std::string(31, 'x')},
                                           EntryRow{50, false, ""}, EntryRow{255, false, ""}));

TEST_F(RosterUsersTest, UserListEndsAtZeroOrAtAnEntryRunningPastTheMessage) {
  Load({UserEntry(20, 3, 0, 0, 0, "old")});
  Deliver(*fc, Msg(47).Build());                                // L = 4
  Deliver(*fc, UserList({Bytes{0}, UserEntry(20, 4)}));         // first length 0
  Bytes cut = UserEntry(40, 6);
  cut.resize(25);                                              // says 40, 25 remain
  const Bytes msg = UserList({UserEntry(20, 3, 0, 0, 0, "a"), UserEntry(20, 3, 0, 0, 0, "b"), cut});
  Bytes after;
  Deliver(*fc, msg, &after);
  // The second entry for id 3 wins; the cut entry is neither read nor written.
  EXPECT_EQ(Table(fc->users()), "U{3,2,0,0,0,4369,8738,163,1,0,'b'}\n");
  EXPECT_TRUE(std::equal(msg.begin() + 44, msg.end(), after.begin() + 44));
  EXPECT_EQ(sink.Take(), "");
}

// A name ends at its first 0 and the rest of the field is zeros: bytes after
// an early 0 and the entries that follow are not taken. Each name is checked
// in a list where 32 bytes of the message follow it (the field is copied 16
// bytes at a time) and as one of a list's last entries (fewer follow); 15 and
// 16 bytes end on either side of a 16-byte part.
TEST_F(RosterUsersTest, UserListNameEndsAtItsFirstZero) {
  const std::vector<std::string> names = {std::string("ab\0cd", 5), std::string(15, 'q'),
                                          std::string(16, 'r'), "\xD0\xA1\xC3\xF7",
                                          std::string(31, 'z'), ""};
  for (const bool last : {false, true}) {
    SCOPED_TRACE(last ? "last entries" : "entries followed by 32 bytes or more");
    fc->Close();
    std::vector<Bytes> entries;
    if (last) entries.push_back(UserEntry(49, 100, 0, 0, 0, std::string(31, 'f')));
    for (std::size_t i = 0; i < names.size(); ++i) {
      entries.push_back(UserEntry(static_cast<uint8_t>(18 + names[i].size()),
                                  static_cast<uint32_t>(i + 1), 0, 0, 0, names[i]));
    }
    if (!last) entries.push_back(UserEntry(49, 100, 0, 0, 0, std::string(31, 'f')));
    Deliver(*fc, UserList(entries));
    for (std::size_t i = 0; i < names.size(); ++i) {
      const UserRecord* stored = fc->users().Find(static_cast<uint32_t>(i + 1));
      ASSERT_NE(stored, nullptr) << i;
      char want[32] = {};
      std::memcpy(want, names[i].c_str(), std::strlen(names[i].c_str()));
      EXPECT_EQ(std::memcmp(stored->name, want, sizeof want), 0) << i;
    }
  }
}

struct AddRow {
  uint32_t r;
  bool known;           // user on the roster before
  std::string call;     // expected sink log
  bool stored;          // table holds the new record afterwards
};
void PrintTo(const AddRow& row, std::ostream* os) { *os << "R=" << row.r << (row.known ? ",known" : ""); }

class AddUserResultTest : public RosterUsersTest, public ::testing::WithParamInterface<AddRow> {};

TEST_P(AddUserResultTest, ResultCodes) {
  const AddRow row = GetParam();
  if (row.known) Load({UserEntry(20, 5, 1, 0, 0, "old")});
  const std::string before = Table(fc->users());
  Deliver(*fc, AddUserResult(row.r, 5));
  const std::string rec = "U{5,2,3,9,0,4369,8738,163,7,4,'bob'}";
  std::string want = row.call;
  const std::size_t at = want.find('@');
  if (at != std::string::npos) want.replace(at, 1, rec);
  EXPECT_EQ(sink.Take(), want);
  EXPECT_EQ(Table(fc->users()), row.stored ? rec + "\n" : before);
}

INSTANTIATE_TEST_SUITE_P(
    RosterUsers, AddUserResultTest,
    ::testing::Values(AddRow{3, false, "OnAddUserResult(2,@)\n", true},
                      AddRow{3, true, "OnMoveUserResult(3,5)\n", true},
                      AddRow{1, false, "OnAddUserResult(1,@)\n", false},
                      AddRow{2, true, "OnAddUserReply(0,@)\n", false},
                      AddRow{4, false, "OnAddUserResult(3,@)\n", false},
                      AddRow{14, false, "OnAddUserResult(13,@)\n", false},
                      AddRow{15, false, "OnAddUserResult(0,@)\n", false},
                      AddRow{0, false, "OnAddUserResult(0,@)\n", false},
                      AddRow{0xFFFFFFFF, false, "OnAddUserResult(0,@)\n", false}));

TEST_F(RosterUsersTest, AddUserResultNameStopsAtTheMessageEnd) {
  struct Row {
    std::size_t total;
    std::string name;
    std::string stored;
  } rows[] = {{57, std::string(32, 'y'), std::string(32, 'y')},
              {30, "abcdefgh", "abcde"},
              {25, "abc", ""},
              {20, "abc", ""}};
  for (const Row& row : rows) {
    Deliver(*fc, AddUserResult(1, 5, row.name, row.total));
    // Fields past a short message read as zero: L = 20 loses gameServerId and attr1.
    const std::string tail = row.total >= 24 ? "9,0,4369" : "0,0,0";
    EXPECT_EQ(sink.Take(), "OnAddUserResult(1,U{5,2,3," + tail + ",8738,163,7,4,'" + row.stored +
                               "'})\n")
        << row.total;
  }
  Deliver(*fc, AddUserResult(3, 0));
  Deliver(*fc, Msg(54).Build());
  EXPECT_EQ(sink.logTexts, (std::vector<std::string>{Gbk("添加用户失败!userid=0\n"),
                                                     Gbk("添加用户失败!userid=0\n")}));
  EXPECT_EQ(sink.Take().find("OnAdd"), std::string::npos);
  EXPECT_TRUE(fc->users().empty());
}

struct RemoveRow {
  uint32_t r;
  uint32_t at13;
  std::string call;   // sink log, when no text is expected
  std::string text;   // UTF-8: the one diagnostic expected instead
  std::string table;  // users afterwards
};
void PrintTo(const RemoveRow& row, std::ostream* os) { *os << "R=" << row.r << ",id=" << row.at13; }

class RemoveUserResultTest : public RosterUsersTest,
                             public ::testing::WithParamInterface<RemoveRow> {};

// Own user 100; roster holds users 5 and 7. Offset 9 always carries 7.
TEST_P(RemoveUserResultTest, ResultCodes) {
  const RemoveRow row = GetParam();
  SetOwnUser(100);
  ASSERT_EQ(fc->myInfo().userId, 100u);
  Load({UserEntry(20, 5, 1), UserEntry(20, 7, 1)});
  Deliver(*fc, Msg(55).U32(row.r).U8(0).U32(7).U32(row.at13).Build());
  EXPECT_EQ(sink.Take(), row.text.empty() ? row.call : LogLine(row.text));
  std::string table;
  for (const auto& kv : fc->users()) {
    table += std::to_string(kv.first) + ":" + std::to_string(kv.second.relation) + "/" +
             std::to_string(kv.second.groupId) + " ";
  }
  EXPECT_EQ(table, row.table);
}

INSTANTIATE_TEST_SUITE_P(
    RosterUsers, RemoveUserResultTest,
    ::testing::Values(RemoveRow{3, 5, "OnRemoveUserResult(2,5)\n", "", "7:2/1 "},
                      RemoveRow{2, 5, "OnMoveUserResult(3,5)\n", "", "5:3/3 7:2/1 "},
                      RemoveRow{1, 5, "OnRemoveUserResult(1,5)\n", "", "5:2/1 7:2/1 "},
                      RemoveRow{1, 42, "OnRemoveUserResult(1,42)\n", "", "5:2/1 7:2/1 "},
                      RemoveRow{4, 5, "OnRemoveUserResult(0,5)\n", "", "5:2/1 7:2/1 "},
                      RemoveRow{0, 5, "OnRemoveUserResult(0,5)\n", "", "5:2/1 7:2/1 "},
                      // The own id at 13: the other party at 9 is meant.
                      RemoveRow{3, 100, "OnRemoveUserResult(2,7)\n", "", "5:2/1 "},
                      RemoveRow{3, 42, "", "删除用户失败!用户[id=42]不存在\n",
                                "5:2/1 7:2/1 "},
                      RemoveRow{2, 42, "", "删除用户失败!用户[id=42]不存在\n",
                                "5:2/1 7:2/1 "},
                      RemoveRow{3, 0, "", "删除用户失败!userid=0\n",
                                "5:2/1 7:2/1 "}));

TEST_F(RosterUsersTest, RemoveUserResultWithoutOwnDataIsRefused) {
  Load({UserEntry(20, 5)});
  Deliver(*fc, Msg(55).U32(3).U8(0).U32(7).U32(5).Build());
  Deliver(*fc, Msg(55).U32(3).U8(0).U32(7).U32(0).Build());  // the zero id is tested first
  EXPECT_EQ(sink.logTexts, (std::vector<std::string>{Gbk("收到删除玩家消息是，myinfo为空"),
                                                     Gbk("删除用户失败!userid=0\n")}));
  EXPECT_EQ(fc->users().size(), 1u);
}

TEST_F(RosterUsersTest, GameServerNotices) {
  struct Row {
    uint8_t flag;
    uint16_t gs;
    std::string call;
    uint32_t stored;
  } rows[] = {{1, 7, "OnUserEnterGameServer(5)\n", 7},
              {0x80, 0xFFFF, "OnUserEnterGameServer(5)\n", 0xFFFF},
              {1, 0, "OnUserEnterGameServer(5)\n", 0},
              {0, 7, "OnUserLeaveGameServer(5)\n", 0}};
  for (const Row& row : rows) {
    Load({UserEntry(20, 5, 1, 3)});
    Deliver(*fc, Msg(56).U8(row.flag).U32(5).U16(row.gs).Build());
    EXPECT_EQ(sink.Take(), row.call);
    EXPECT_EQ(fc->users().at(5).gameServerId, row.stored);
  }
  Deliver(*fc, Msg(56).U8(1).U32(9).U16(7).Build());
  EXPECT_EQ(sink.logTexts, std::vector<std::string>{Gbk("处理玩家进出游戏服务器失败!用户[id=9]不存在\n")});
  EXPECT_EQ(fc->users().count(9), 0u);
}

TEST_F(RosterUsersTest, OnlineStateCallbackSeesTheOldGameServer) {
  Load({UserEntry(20, 5, 1, 7, 2), UserEntry(20, 6, 1, 8, 2)});
  std::vector<std::string> seen;
  uint32_t watched = 5;
  sink.onCall = [&](const std::string& name) {
    UserRecord r{};
    if (name == "OnOnlineStateChanged" && fc->GetUser(watched, &r)) {
      seen.push_back(std::to_string(r.onlineState) + "/" + std::to_string(r.gameServerId));
    }
  };
  Deliver(*fc, Msg(61).U32(5).U8(1).U32(0).Build());
  watched = 6;
  Deliver(*fc, Msg(61).U32(6).U8(3).U32(0).Build());
  Deliver(*fc, Msg(61).U32(9).U8(1).U32(0).Build());
  // Inside the callback: the new state, the old game server.
  EXPECT_EQ(seen, (std::vector<std::string>{"1/7", "3/8"}));
  EXPECT_EQ(fc->users().at(5).gameServerId, 0u);
  EXPECT_EQ(fc->users().at(6).gameServerId, 8u);  // other states keep the server
  EXPECT_EQ(fc->users().at(6).onlineState, 3);
  EXPECT_EQ(sink.logTexts, std::vector<std::string>{Gbk("收到不存在的玩家上下线消息!用户[id=9]不存在\n")});
}

TEST_F(RosterUsersTest, AddRequestIsStoredOnceAndIgnoresTheRoster) {
  Load({UserEntry(20, 5)});
  const auto request = [](const std::string& name) {
    return Msg(64).U32(5).U8(2).U8(0xEE).U16(3).U16(0x2222).U16(9).U32(0x01020304).U8(4)
        .U8(0xEE).U16(0x1111).U8(0xA3).U8(7).Text(name, 32).U16(0xEEEE).Build();
  };
  Deliver(*fc, request(std::string(32, 'z')));
  Deliver(*fc, request("second"));
  EXPECT_EQ(sink.logTexts, std::vector<std::string>{Gbk("用户[id=5]已发送了加我请求\n")});
  EXPECT_EQ(sink.Take(), "OnAddUserRequest(5)\n" + LogLine("用户[id=5]已发送了加我请求\n"));
  EXPECT_EQ(Table(fc->requests()),
            "U{5,2,3,9,16909060,4369,8738,163,7,4,'" + std::string(32, 'z') + "'}\n");
  EXPECT_EQ(fc->users().size(), 1u);
}

TEST_F(RosterUsersTest, GameMasterPresence) {
  const auto notice = [](uint32_t id, uint8_t state, const std::string& name) {
    return Msg(65).U32(id).U16(3).U32(6).U8(state).U8(0xA3).U8(7).U16(0x2222).U16(0x1111)
        .Raw(name).Build();
  };
  // Absent and online: added as relation 1, no game server; a 32-byte name
  // loses its last byte to the terminator written at L - 1.
  Bytes after;
  const Bytes full = notice(5, 2, std::string(32, 'g'));
  ASSERT_EQ(full.size(), 53u);
  Deliver(*fc, full, &after);
  const std::string gm = "U{5,1,3,0,6,4369,8738,163,7,2,'" + std::string(31, 'g') + "'}";
  EXPECT_EQ(sink.Take(), "OnAddUserResult(2," + gm + ")\n");
  EXPECT_EQ(after[52], 0);
  // Present and online: only the state changes.
  Deliver(*fc, notice(5, 4, "other"));
  EXPECT_EQ(sink.Take(), "OnOnlineStateChanged(5)\n");
  EXPECT_EQ(Describe(fc->users().at(5)),
            "U{5,1,3,0,6,4369,8738,163,7,4,'" + std::string(31, 'g') + "'}");
  // Present and offline: removed. Absent and offline: nothing at all.
  Deliver(*fc, notice(5, 1, "x"));
  Deliver(*fc, notice(5, 1, "x"));
  EXPECT_EQ(sink.Take(), "OnRemoveUserResult(2,5)\n");
  EXPECT_TRUE(fc->users().empty());
  // No name bytes (L = 21 and 22): empty name, nothing read past the end.
  Deliver(*fc, notice(8, 2, ""));
  Deliver(*fc, notice(9, 2, "q"));
  EXPECT_EQ(fc->users().at(8).name[0], 0);
  EXPECT_EQ(fc->users().at(8).attr1, 0x1111u) << "a message without a name keeps its last field";
  EXPECT_EQ(fc->users().at(9).name[0], 0);
  EXPECT_TRUE(sink.logTexts.empty());
}

TEST_F(RosterUsersTest, MoveUserResultCodes) {
  struct Row {
    uint32_t r;
    uint32_t id;
    std::string call;
    std::string text;
    uint32_t group5;
  } rows[] = {{3, 5, "OnMoveUserResult(3,5)\n", "", 9},
              {3, 6, "", "移动用户失败!用户[id=6]不存在\n", 1},
              {5, 6, "OnMoveUserResult(5,6)\n", "", 1},
              {1, 5, "OnMoveUserResult(1,5)\n", "", 1},
              {2, 5, "OnMoveUserResult(2,5)\n", "", 1},
              {4, 5, "OnMoveUserResult(4,5)\n", "", 1},
              {9, 5, "OnMoveUserResult(9,5)\n", "", 1},
              {10, 5, "OnMoveUserResult(0,5)\n", "", 1},
              {0, 5, "OnMoveUserResult(0,5)\n", "", 1},
              {3, 0, "", "移动用户失败!userid=0\n", 1}};
  for (const Row& row : rows) {
    Load({UserEntry(20, 5, 1)});
    Deliver(*fc, Msg(67).U32(row.r).U32(row.id).U16(0xEEEE).U16(9).Build());
    EXPECT_EQ(sink.Take(), row.text.empty() ? row.call : LogLine(row.text)) << row.r;
    EXPECT_EQ(fc->users().at(5).groupId, row.group5) << row.r;
  }
}

// A callback that closes the client empties every table; each handler must
// then touch nothing it found before the call.
TEST_F(RosterUsersTest, CloseFromInsideEveryCallback) {
  const std::vector<Bytes> messages = {
      AddUserResult(3, 5), AddUserResult(3, 9), AddUserResult(2, 5),
      Msg(55).U32(3).U8(0).U32(7).U32(5).Build(), Msg(55).U32(2).U8(0).U32(7).U32(5).Build(),
      Msg(56).U8(1).U32(5).U16(7).Build(), Msg(61).U32(5).U8(1).U32(0).Build(),
      Msg(64).U32(5).PadTo(60).Build(), Msg(65).U32(5).U16(0).U32(0).U8(2).PadTo(22).Build(),
      Msg(65).U32(9).U16(0).U32(0).U8(2).PadTo(22).Build(),
      Msg(67).U32(3).U32(5).U16(0).U16(9).Build()};
  for (const Bytes& m : messages) {
    SetOwnUser(100);
    Load({UserEntry(20, 5, 1, 3)});
    int calls = 0;
    sink.onCall = [&](const std::string&) {
      ++calls;
      fc->Close();
    };
    EXPECT_EQ(Deliver(*fc, m), 0u);
    sink.onCall = nullptr;
    EXPECT_EQ(calls, 1) << int{m[3]};
    EXPECT_TRUE(fc->users().empty() && fc->requests().empty()) << int{m[3]};
    EXPECT_EQ(fc->myInfo().userId, 0u);
  }
}

TEST_F(RosterUsersTest, WithoutSinkTablesStillChange) {
  fc->SetSink(nullptr);
  Deliver(*fc, AddUserResult(3, 5));
  Deliver(*fc, Msg(64).U32(6).PadTo(60).Build());
  Deliver(*fc, Msg(61).U32(5).U8(1).U32(0).Build());
  EXPECT_EQ(fc->users().at(5).onlineState, 1);
  EXPECT_EQ(fc->users().at(5).gameServerId, 0u);
  EXPECT_EQ(fc->requests().count(6), 1u);
  EXPECT_EQ(sink.log, "");
}

}  // namespace
}  // namespace kelvo
