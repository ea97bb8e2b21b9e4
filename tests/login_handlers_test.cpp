// Login handlers: server info (45), own user data (48), login ok (51), login
// failure (52) and forced logout (53). What matters is the order of table
// changes against the sink calls, seen from inside the callbacks, and the
// own-user record built from full and short messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/recording_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace test {
namespace {

// Own user data, laid out by hand so that a wrong offset in the handler
// shows: every byte of the fixed part is distinct.
Bytes UserData(uint32_t userId, const std::string& name) {
  return Msg(48)
      .U32(userId)
      .U8(0x55)      // attr3
      .U8(5)         // attrFlag, kept as sent
      .U8(0x66)      // relation
      .U8(0x77)      // onlineState
      .U16(0x8899)   // groupId
      .U16(0xAABB)   // attr2
      .U16(0xCCDD)   // gameServerId
      .U32(0x01020304)  // gmLevel
      .U16(0xEEFF)   // attr1
      .Text(name, 32)
      .Build();
}

// A user-list entry (47): length, id, attr3, flag, relation, state, group,
// attr2, game server, attr1, terminated name.
Bytes UserListEntry(uint32_t userId, const std::string& name) {
  Msg m(0);
  m.U8(static_cast<uint8_t>(17 + name.size() + 1)).U32(userId).U8(0).U8(0).U8(2).U8(0);
  m.U16(1).U16(0).U16(0).U16(0).Raw(name).U8(0);
  Bytes b = m.Build();
  return Bytes(b.begin() + 4, b.end());
}

// A group-list entry (46): length, id, parent, kind, attr, terminated name.
Bytes GroupListEntry(uint16_t groupId, const std::string& name) {
  Msg m(0);
  m.U8(static_cast<uint8_t>(8 + name.size() + 1)).U16(groupId).U16(0).U8(1).U16(0);
  m.Raw(name).U8(0);
  Bytes b = m.Build();
  return Bytes(b.begin() + 4, b.end());
}

// A search-list entry (72) with an empty name.
Bytes SearchEntry(uint32_t userId) {
  Msg m(0);
  m.U8(15).U32(userId).Zeros(10);
  Bytes b = m.Build();
  return Bytes(b.begin() + 4, b.end());
}

// A friend request (64) from `userId`.
Bytes AddRequest(uint32_t userId) { return Msg(64).U32(userId).PadTo(60).Build(); }

// One line describing everything the login handlers touch, as the host
// sees it through its own calls.
std::string State(ImServerClient& c) {
  return "users=" + std::to_string(c.users().size()) +
         " groups=" + std::to_string(c.groups().size()) +
         " requests=" + std::to_string(c.requests().size()) +
         " search=" + std::to_string(c.searchResults().size()) + " my=" +
         (c.GetMyInfo() ? std::to_string(c.GetMyInfo()->userId) : std::string("null"));
}

// Two friends, one group, one request, one search result, own id 7.
void Populate(ImServerClient& c) {
  ASSERT_EQ(0u, Deliver(c, Msg(47).Append(UserListEntry(11, "ann")).Append(UserListEntry(12, "bo")).Build()));
  ASSERT_EQ(0u, Deliver(c, Msg(46).Append(GroupListEntry(3, "mates")).Build()));
  ASSERT_EQ(0u, Deliver(c, AddRequest(21)));
  ASSERT_EQ(0u, Deliver(c, Msg(72).Append(SearchEntry(31)).Build()));
  ASSERT_EQ(0u, Deliver(c, UserData(7, "me")));
  ASSERT_EQ("users=2 groups=1 requests=1 search=1 my=7", State(c));
}

TEST(LoginHandlers, TableChangesFallOnTheRightSideOfTheSinkCall) {
  const std::string full = "users=2 groups=1 requests=1 search=1 my=7";
  const std::string cleared = "users=0 groups=0 requests=0 search=1 my=null";
  struct Row {
    const char* name;
    Bytes message;
    std::string log;     // with a sink attached
    std::string inside;  // State() from inside the call
    std::string after;   // State() once the handler returned, with or without a sink
  };
  const std::vector<Row> rows = {
      {"server info", Msg(45).Fill(7, 0xAB).Build(), "OnServerInfo()\n", full,
       "users=0 groups=0 requests=1 search=1 my=7"},
      {"login ok", Msg(51).Fill(4, 0xAB).Build(), "OnLoginResult(1,'')\n", full, full},
      {"login fail", Msg(52).U16(0xFFFF).Text("bad password", 256).Build(),
       "OnLoginResult(0,'bad password')\n", cleared, cleared},
      {"logout", Msg(53).Fill(6, 0xAB).Build(), "OnLogout()\n", cleared, cleared},
  };
  for (const Row& row : rows) {
    for (const bool attach : {true, false}) {
      SCOPED_TRACE(std::string(row.name) + (attach ? " with sink" : " without sink"));
      FakeClient fc;
      RecordingSink sink;
      if (attach) {
        fc->SetSink(&sink);
        sink.Take();
      }
      Populate(*fc);
      sink.Take();
      std::vector<std::string> seen;
      sink.onCall = [&](const std::string&) { seen.push_back(State(*fc)); };

      EXPECT_EQ(0u, Deliver(*fc, row.message));

      EXPECT_EQ(row.after, State(*fc));
      if (attach) {
        EXPECT_EQ(row.log, sink.Take());
        EXPECT_EQ(std::vector<std::string>{row.inside}, seen);
      } else {
        EXPECT_EQ("", sink.Take());
      }
    }
  }
}

TEST(LoginHandlers, FailureReasonStaysInsideTheMessage) {
  struct Row {
    const char* name;
    std::string reason;    // written into the 256-byte field, cut or padded
    std::string expected;  // as the host receives it
  };
  const std::string full(256, 'r');
  const std::vector<Row> rows = {
      {"empty", "", "''"},
      {"gbk", Gbk("密码错误"), Escape(Gbk("密码错误").c_str())},
      {"255 characters", std::string(255, 'r'), Escape(std::string(255, 'r').c_str())},
      // No terminator in the field: the message's last byte becomes one.
      {"256 characters", full, Escape(full.substr(0, 255).c_str())},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeClient fc;
    RecordingSink sink;
    fc->SetSink(&sink);
    sink.Take();
    Bytes after;
    EXPECT_EQ(0u, Deliver(*fc, Msg(52).U16(0x0102).Text(row.reason, 256).Build(), &after));
    EXPECT_EQ("OnLoginResult(0," + row.expected + ")\n", sink.Take());
    ASSERT_EQ(262u, after.size());
    EXPECT_EQ(0, after[261]);
  }
}

TEST(LoginHandlers, OwnUserDataFromFullAndShortMessages) {
  const std::string name32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
  struct Row {
    const char* name;
    uint32_t userId;
    std::size_t length;     // the message is cut to this length
    std::string record;     // MyInfo afterwards
    int terminator;         // index set to 0 in the message, or -1 for none
    bool present;           // GetMyInfo non-null
    bool gm;                // IsGm
  };
  // Fields: userId, relation, groupId, gameServerId, gmLevel, attr1, attr2,
  // attr3, attrFlag, onlineState, name.
  const std::vector<Row> rows = {
      {"full: name loses its 32nd byte", 0x11223344, 56,
       "U{287454020,102,34969,52445,16909060,61183,43707,85,5,119,'ABCDEFGHIJKLMNOPQRSTUVWXYZ01234'}",
       55, true, true},
      {"30 bytes: five name bytes", 0x11223344, 30,
       "U{287454020,102,34969,52445,16909060,61183,43707,85,5,119,'ABCDE'}", 29, true, true},
      {"25 bytes: empty name", 0x11223344, 25,
       "U{287454020,102,34969,52445,16909060,61183,43707,85,5,119,''}", 24, true, true},
      // No name byte in the message: nothing is written, attr1 arrives whole.
      {"24 bytes: fixed part only", 0x11223344, 24,
       "U{287454020,102,34969,52445,16909060,61183,43707,85,5,119,''}", -1, true, true},
      // gmLevel half present (0x0304), attr1 missing: zero.
      {"20 bytes: fields cut", 0x11223344, 20,
       "U{287454020,102,34969,52445,772,0,43707,85,5,119,''}", -1, true, true},
      {"4 bytes: header only", 0x11223344, 4, "U{0,0,0,0,0,0,0,0,0,0,''}", -1, false, false},
      {"user id 0: filled but absent", 0, 56,
       "U{0,102,34969,52445,16909060,61183,43707,85,5,119,'ABCDEFGHIJKLMNOPQRSTUVWXYZ01234'}",
       55, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeClient fc;
    RecordingSink sink;
    fc->SetSink(&sink);
    sink.Take();
    // Earlier own data, every field different: nothing of it may survive.
    Bytes earlier = Msg(48).U32(9).Fill(16, 0x21).Text("old", 32).Build();
    ASSERT_EQ(0u, Deliver(*fc, earlier));

    Bytes message = UserData(row.userId, name32);
    message.resize(row.length);
    message[0] = static_cast<uint8_t>(row.length);
    Bytes after;
    EXPECT_EQ(0u, Deliver(*fc, message, &after));

    EXPECT_EQ(row.record, Describe(fc->myInfo()));
    EXPECT_EQ(row.present, fc->GetMyInfo() != nullptr);
    EXPECT_EQ(row.gm, fc->IsGm());
    Bytes expected = message;
    if (row.terminator >= 0) expected[static_cast<std::size_t>(row.terminator)] = 0;
    EXPECT_EQ(expected, after);
    EXPECT_EQ("", sink.Take());  // own data raises no event
  }
}

}  // namespace
}  // namespace test
}  // namespace kelvo
