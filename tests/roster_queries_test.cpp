// Lookups and enumerations over the roster tables: unsigned key order, the
// four user filters, early stops, and callbacks that change the table being
// walked.
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
using test::FakeClient;
using test::Msg;
using test::RecordingSink;

Bytes UserEntry(uint32_t id, uint8_t relation, uint16_t group, uint16_t gs, uint8_t state) {
  Bytes b = Msg(0).U8(21).U32(id).U8(0).U8(0).U8(relation).U8(state).U16(group).U16(0)
                .U16(gs).U16(0).Raw("abc").U8(0).Build();
  b.erase(b.begin(), b.begin() + 4);
  return b;
}

Bytes GroupEntry(uint16_t id, uint8_t kind) {
  Bytes b = Msg(0).U8(10).U16(id).U16(1).U8(kind).U16(0).Raw("g").U8(0).Build();
  b.erase(b.begin(), b.begin() + 4);
  return b;
}

Bytes Request(uint32_t id) { return Msg(64).U32(id).PadTo(60).Build(); }

// "context:key" for each enumeration callback in the log, in order.
std::string Visits(const std::string& log) {
  std::string out;
  std::size_t pos = 0;
  while ((pos = log.find("OnEnum", pos)) != std::string::npos) {
    const std::size_t open = log.find('(', pos);
    const std::size_t comma = log.find(',', open);
    const std::size_t brace = log.find('{', comma);
    std::size_t keyStart = log.find(',', brace) + 1;  // groups: the key is the second field
    if (log[brace - 1] == 'U') keyStart = brace + 1;
    const std::size_t keyEnd = log.find_first_of(",}", keyStart);
    out += log.substr(open + 1, comma - open - 1) + ":" + log.substr(keyStart, keyEnd - keyStart) +
           " ";
    pos = keyEnd;
  }
  return out;
}

class RosterQueriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fc->SetSink(&sink);
    // Keys chosen so that signed order would differ from unsigned order.
    Msg users(47);
    for (const Bytes& e : {UserEntry(0xFFFFFFFF, 2, 3, 8, 1), UserEntry(5, 1, 3, 0, 2),
                           UserEntry(0x80000001, 2, 4, 7, 2), UserEntry(1, 2, 3, 7, 1)}) {
      users.Append(e);
    }
    Deliver(*fc, users.Build());
    Msg groups(46);
    for (const Bytes& e : {GroupEntry(0x8000, 5), GroupEntry(3, 5), GroupEntry(4, 6)}) {
      groups.Append(e);
    }
    Deliver(*fc, groups.Build());
    for (uint32_t id : {9u, 0x90000000u, 2u}) Deliver(*fc, Request(id));
    sink.Take();
  }

  RecordingSink sink;
  FakeClient fc;
};

TEST_F(RosterQueriesTest, LookupsCopyTheWholeRecordOrLeaveOutAlone) {
  UserRecord u;
  GroupRecord g;
  std::memset(&u, 0xAB, sizeof u);
  std::memset(&g, 0xAB, sizeof g);
  const UserRecord untouchedU = u;
  const GroupRecord untouchedG = g;
  EXPECT_FALSE(fc->GetUser(9, &u));  // a request, not a roster user
  EXPECT_FALSE(fc->GetAddRequest(5, &u));
  EXPECT_FALSE(fc->GetGroup(5, &g));
  EXPECT_EQ(std::memcmp(&u, &untouchedU, sizeof u), 0);
  EXPECT_EQ(std::memcmp(&g, &untouchedG, sizeof g), 0);

  ASSERT_TRUE(fc->GetUser(0x80000001, &u));
  EXPECT_EQ(test::Describe(u), "U{2147483649,2,4,7,0,0,0,0,0,2,'abc'}");
  ASSERT_TRUE(fc->GetAddRequest(0x90000000, &u));
  EXPECT_EQ(test::Describe(u), "U{2415919104,0,0,0,0,0,0,0,0,0,''}");
  ASSERT_TRUE(fc->GetGroup(0x8000, &g));
  EXPECT_EQ(test::Describe(g), "G{5,32768,1,0,'g'}");

  // Emptied tables answer nothing.
  fc->Close();
  std::memset(&u, 0xAB, sizeof u);
  EXPECT_FALSE(fc->GetUser(5, &u));
  EXPECT_FALSE(fc->GetAddRequest(9, &u));
  EXPECT_FALSE(fc->GetGroup(3, &g));
  EXPECT_EQ(std::memcmp(&u, &untouchedU, sizeof u), 0);
}

struct FilterRow {
  uint32_t relation;
  uint32_t group;
  uint16_t gs;
  uint8_t state;
  std::string visits;
};
void PrintTo(const FilterRow& row, std::ostream* os) {
  *os << row.relation << "," << row.group << "," << row.gs << "," << int{row.state};
}

class EnumUsersFilterTest : public RosterQueriesTest,
                            public ::testing::WithParamInterface<FilterRow> {};

TEST_P(EnumUsersFilterTest, NonzeroFiltersMustAllMatch) {
  const FilterRow row = GetParam();
  fc->EnumUsers(77, row.relation, row.group, row.gs, row.state);
  const std::string log = sink.Take();
  EXPECT_EQ(Visits(log), row.visits);
  EXPECT_EQ(log.find("OnEnumUser(77,U{1,2,3,7,0,0,0,0,0,1,'abc'})") != std::string::npos,
            row.visits.rfind("77:1 ", 0) == 0);  // the record itself is handed over
}

INSTANTIATE_TEST_SUITE_P(
    RosterQueries, EnumUsersFilterTest,
    ::testing::Values(FilterRow{0, 0, 0, 0, "77:1 77:5 77:2147483649 77:4294967295 "},
                      FilterRow{2, 0, 0, 0, "77:1 77:2147483649 77:4294967295 "},
                      FilterRow{0, 3, 0, 0, "77:1 77:5 77:4294967295 "},
                      FilterRow{0, 0, 7, 0, "77:1 77:2147483649 "},
                      FilterRow{0, 0, 0, 1, "77:1 77:4294967295 "},
                      FilterRow{2, 3, 8, 1, "77:4294967295 "},
                      FilterRow{2, 4, 8, 0, ""},
                      // 32-bit filters are not cut to the wire's width.
                      FilterRow{0x102, 0, 0, 0, ""}, FilterRow{0, 0x10003, 0, 0, ""}));

TEST_F(RosterQueriesTest, RequestsAndGroupsInUnsignedOrderGroupsByKind) {
  fc->EnumAddRequests(4);
  EXPECT_EQ(Visits(sink.Take()), "4:2 4:9 4:2415919104 ");
  fc->EnumGroups(6, 0);
  EXPECT_EQ(Visits(sink.Take()), "6:3 6:4 6:32768 ");
  fc->EnumGroups(6, 5);
  EXPECT_EQ(Visits(sink.Take()), "6:3 6:32768 ");
  fc->EnumGroups(6, 9);
  EXPECT_EQ(sink.Take(), "");
}

TEST_F(RosterQueriesTest, CallbackFalseStopsEveryEnumeration) {
  for (int stopAfter : {1, 2}) {
    int calls = 0;
    sink.onCall = [&](const std::string&) { sink.enumResult = ++calls < stopAfter; };
    std::string visits;
    for (int which = 0; which < 3; ++which) {
      calls = 0;
      sink.enumResult = true;
      if (which == 0) fc->EnumUsers(0, 0, 0, 0, 0);
      if (which == 1) fc->EnumAddRequests(1);
      if (which == 2) fc->EnumGroups(2, 0);
      visits += Visits(sink.Take());
    }
    EXPECT_EQ(visits, stopAfter == 1 ? "0:1 1:2 2:3 " : "0:1 0:5 1:2 1:9 2:3 2:4 ");
  }
}

TEST_F(RosterQueriesTest, NoSinkNoCallbacks) {
  fc->SetSink(nullptr);
  fc->EnumUsers(0, 0, 0, 0, 0);
  fc->EnumAddRequests(0);
  fc->EnumGroups(0, 0);
  EXPECT_EQ(sink.log, "");
}

// Answering the visited request erases it; the walk goes on to the next key.
// Answering a later one takes it out of the walk.
TEST_F(RosterQueriesTest, CallbackThatErasesRequests) {
  std::vector<uint32_t> answer = {2, 0x90000000};  // answered while visiting 2
  sink.onCall = [&](const std::string&) {
    for (uint32_t id : answer) EXPECT_TRUE(fc->ReplyAddRequest(id, 0, true));
    answer.clear();
  };
  fc->EnumAddRequests(3);
  EXPECT_EQ(Visits(sink.Take()), "3:2 3:9 ");
  EXPECT_EQ(fc->requests().size(), 1u);

  sink.onCall = [&](const std::string& name) {
    const std::string log = sink.log;
    const std::size_t at = log.rfind("U{") + 2;
    if (name == "OnEnumAddRequest") fc->ReplyAddRequest(std::stoul(log.substr(at)), 0, false);
  };
  fc->EnumAddRequests(3);
  EXPECT_EQ(Visits(sink.Take()), "3:9 ");
  EXPECT_TRUE(fc->requests().empty());
}

// A callback that takes in a list (a host pumping its queue from inside the
// enumeration): enough new users that the table grows under the walk. The
// record the callback was handed stays where and as it was, and the walk
// goes on from the next key, the new ones above it included.
TEST_F(RosterQueriesTest, CallbackThatStoresUsers) {
  struct GrowingSink : RecordingSink {
    FakeClient* client = nullptr;
    bool grown = false;
    bool KELVO_CALL OnEnumUser(uint32_t ctx, const UserRecord* u) override {
      const bool more = RecordingSink::OnEnumUser(ctx, u);
      if (grown) return more;
      grown = true;
      const std::string before = test::Describe(*u);
      Msg users(47);
      users.Append(UserEntry(0, 1, 3, 0, 2)).Append(UserEntry(3, 1, 3, 0, 2));
      for (uint32_t id = 1000; id < 1060; ++id) users.Append(UserEntry(id, 1, 3, 0, 2));
      Deliver(**client, users.Build());
      EXPECT_EQ(test::Describe(*u), before);
      EXPECT_EQ(u, &(*client)->users().at(u->userId)) << "no longer the stored record";
      return more;
    }
  } growing;
  growing.client = &fc;
  fc->SetSink(&growing);
  fc->EnumUsers(0, 0, 0, 0, 0);
  std::string expected = "0:1 0:3 0:5 ";
  for (uint32_t id = 1000; id < 1060; ++id) expected += "0:" + std::to_string(id) + " ";
  expected += "0:2147483649 0:4294967295 ";
  EXPECT_EQ(Visits(growing.Take()), expected);
  EXPECT_EQ(fc->users().size(), 66u);
}

TEST_F(RosterQueriesTest, CloseFromInsideACallbackEndsTheWalk) {
  sink.onCall = [&](const std::string&) { fc->Close(); };
  fc->EnumUsers(0, 0, 0, 0, 0);
  EXPECT_EQ(Visits(sink.Take()), "0:1 ");
  fc->EnumGroups(0, 0);  // already empty: no callback
  EXPECT_EQ(sink.Take(), "");
  EXPECT_TRUE(fc->users().empty() && fc->groups().empty() && fc->requests().empty());
}

}  // namespace
}  // namespace kelvo
