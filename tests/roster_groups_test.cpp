// Group handlers: the group list, add / update / modify / delete results and
// the refiling of a deleted group's members. Messages are built byte by byte
// in wire order, independently of the client's layout constants.
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

// One group-list entry of length `e`: the fixed part, then `name` and zeros
// up to `e` bytes. An `e` below 8 cuts the fixed part.
Bytes GroupEntry(uint8_t e, uint16_t id, uint16_t parent = 1, const std::string& name = "n") {
  Bytes b = Msg(0).U8(e).U16(id).U16(parent).U8(5).U16(0x1234).Raw(name).Build();
  b.erase(b.begin(), b.begin() + 4);  // drop the builder's header
  b.resize(e, 0);
  return b;
}

Bytes GroupList(const std::vector<Bytes>& entries, uint8_t id = 46) {
  Msg m(id);
  for (const Bytes& e : entries) m.Append(e);
  return m.Build();
}

// Add-group (58) or update-group (59) result.
Bytes GroupResult(uint8_t id, uint32_t r, uint16_t group, const std::string& name = "new",
                  std::size_t total = 79) {
  return Msg(id).U32(r).U16(group).U16(2).U8(7).U16(0x5678).Text(name, 64).PadTo(total).Build();
}

std::string LogLine(const std::string& utf8) {
  return "OnLog(" + test::Escape(Gbk(utf8).c_str()) + ")\n";
}

std::string Table(const GroupMap& table) {
  std::string out;
  for (const auto& kv : table) out += Describe(kv.second) + "\n";
  return out;
}

class RosterGroupsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fc->SetSink(&sink);
    sink.Take();
  }
  // Group 12 (parent 1, kind 5, attr 0x1234, name 'old') and group 20.
  void LoadGroups() {
    Deliver(*fc, GroupList({GroupEntry(12, 12, 1, "old"), GroupEntry(12, 20, 1, "two")}));
    sink.Take();
  }

  RecordingSink sink;
  FakeClient fc;
};

const char kOld12[] = "G{5,12,1,4660,'old'}\n";
const char kTwo20[] = "G{5,20,1,4660,'two'}\n";

TEST_F(RosterGroupsTest, GroupListFieldsForBothIdsWithoutCallback) {
  for (uint8_t id : {uint8_t{46}, uint8_t{49}}) {
    fc->Close();
    Deliver(*fc, GroupList({GroupEntry(14, 0x8001, 3, "abc")}, id));
    EXPECT_EQ(Table(fc->groups()), "G{5,32769,3,4660,'abc'}\n") << int{id};
    EXPECT_EQ(sink.Take(), "");
  }
}

struct EntryRow {
  uint8_t e;
  bool taken;
  std::string name;
};
void PrintTo(const EntryRow& row, std::ostream* os) { *os << "E=" << int{row.e}; }

class GroupListEntryTest : public RosterGroupsTest, public ::testing::WithParamInterface<EntryRow> {};

TEST_P(GroupListEntryTest, BoundaryLengths) {
  const EntryRow row = GetParam();
  const std::string full(row.e > 8 ? row.e - 8 : 0, 'x');  // no terminator of its own
  const Bytes msg = GroupList({GroupEntry(9, 1), GroupEntry(row.e, 5, 1, full),
                               GroupEntry(11, 9, 1, "ok")});
  Bytes after;
  Deliver(*fc, msg, &after);
  std::string expected = "G{5,1,1,4660,''}\n";
  if (row.taken) expected += "G{5,5,1,4660,'" + row.name + "'}\n";
  expected += "G{5,9,1,4660,'ok'}\n";
  EXPECT_EQ(Table(fc->groups()), expected);
  Bytes want = msg;
  want[4 + 8] = 0;
  if (row.taken) want[4 + 9 + row.e - 1] = 0;
  EXPECT_EQ(after, want);  // nothing else is written
}

INSTANTIATE_TEST_SUITE_P(RosterGroups, GroupListEntryTest,
                         ::testing::Values(EntryRow{1, false, ""}, EntryRow{8, false, ""},
                                           EntryRow{9, true, ""}, EntryRow{10, true, "x"},
                                           EntryRow{72, true, std::string(63, 'x')},
                                           EntryRow{73, false, ""}, EntryRow{255, false, ""}));

TEST_F(RosterGroupsTest, GroupListEndsAtZeroOrPastTheMessageAndRemovesNothing) {
  LoadGroups();
  Deliver(*fc, Msg(46).Build());
  Deliver(*fc, GroupList({Bytes{0}, GroupEntry(12, 30)}));
  Bytes cut = GroupEntry(40, 31);
  cut.resize(20);
  const Bytes msg = GroupList({GroupEntry(12, 20, 1, "re"), cut});
  Bytes after;
  Deliver(*fc, msg, &after);
  EXPECT_EQ(Table(fc->groups()), std::string(kOld12) + "G{5,20,1,4660,'re'}\n");
  EXPECT_TRUE(std::equal(msg.begin() + 16, msg.end(), after.begin() + 16));
  EXPECT_EQ(sink.Take(), "");
}

struct AddRow {
  uint32_t r;
  uint16_t group;
  std::string call;  // '@' stands for the record built from the message
  std::string text;  // UTF-8: the one diagnostic expected instead of `call`
  bool stored;
};
void PrintTo(const AddRow& row, std::ostream* os) { *os << "R=" << row.r << ",id=" << row.group; }

class AddGroupResultTest : public RosterGroupsTest, public ::testing::WithParamInterface<AddRow> {};

TEST_P(AddGroupResultTest, ResultCodes) {
  const AddRow row = GetParam();
  LoadGroups();
  Deliver(*fc, GroupResult(58, row.r, row.group));
  const std::string rec = "G{7," + std::to_string(row.group) + ",2,22136,'new'}";
  std::string want = row.text.empty() ? row.call : LogLine(row.text);
  const std::size_t at = want.find('@');
  if (at != std::string::npos) want.replace(at, 1, rec);
  EXPECT_EQ(sink.Take(), want);
  EXPECT_EQ(Table(fc->groups()), std::string(kOld12) + kTwo20 + (row.stored ? rec + "\n" : ""));
}

INSTANTIATE_TEST_SUITE_P(
    RosterGroups, AddGroupResultTest,
    ::testing::Values(AddRow{1, 30, "OnAddGroupResult(1,@)\n", "", true},
                      AddRow{1, 12, "", "添加组失败!组[id=12]已存在\n", false},
                      AddRow{2, 30, "OnAddGroupResult(2,@)\n", "", false},
                      AddRow{6, 12, "OnAddGroupResult(6,@)\n", "", false},
                      AddRow{7, 30, "OnAddGroupResult(0,@)\n", "", false},
                      AddRow{0, 30, "OnAddGroupResult(0,@)\n", "", false},
                      AddRow{1, 0, "", "添加组失败!groupid=0\n", false},
                      AddRow{3, 0, "", "添加组失败!groupid=0\n", false}));

TEST_F(RosterGroupsTest, AddGroupResultNameStopsAtTheMessageEnd) {
  struct Row {
    std::size_t total;
    std::string name;
    std::string record;
  } rows[] = {{79, std::string(64, 'y'), "G{7,30,2,22136,'" + std::string(64, 'y') + "'}"},
              {20, "abcdefgh", "G{7,30,2,22136,'abcde'}"},
              {15, "abc", "G{7,30,2,22136,''}"},
              {13, "abc", "G{7,30,2,0,''}"}};  // groupAttr cut: counts as zero
  for (const Row& row : rows) {
    Deliver(*fc, GroupResult(58, 2, 30, row.name, row.total));
    EXPECT_EQ(sink.Take(), "OnAddGroupResult(2," + row.record + ")\n") << row.total;
  }
}

struct UpdateRow {
  uint8_t id;  // 59 update, 66 modify
  uint32_t r;
  uint16_t group;
  std::string call;
  std::string text;
  std::string table;
};
void PrintTo(const UpdateRow& row, std::ostream* os) {
  *os << "msg=" << int{row.id} << ",R=" << row.r << ",id=" << row.group;
}

class UpdateGroupResultTest : public RosterGroupsTest,
                              public ::testing::WithParamInterface<UpdateRow> {};

TEST_P(UpdateGroupResultTest, ResultCodes) {
  const UpdateRow row = GetParam();
  LoadGroups();
  const Bytes msg = row.id == 59 ? GroupResult(59, row.r, row.group, std::string(64, 'u'))
                                 : Msg(66).U32(row.r).U16(row.group).Text("renamed", 64).Build();
  Deliver(*fc, msg);
  EXPECT_EQ(sink.Take(), row.text.empty() ? row.call : LogLine(row.text));
  EXPECT_EQ(Table(fc->groups()), row.table + kTwo20);
}

const std::string kUpdated12 = "G{7,12,2,22136,'" + std::string(64, 'u') + "'}\n";

INSTANTIATE_TEST_SUITE_P(
    RosterGroups, UpdateGroupResultTest,
    ::testing::Values(
        UpdateRow{59, 1, 12, "OnUpdateGroupResult(1,12)\n", "", kUpdated12},
        UpdateRow{59, 2, 12, "OnUpdateGroupResult(0,12)\n", "", kOld12},
        UpdateRow{59, 1, 13, "", "收到不存在的组更新消息!组[id=13]不存在\n", kOld12},
        UpdateRow{59, 0, 13, "", "收到不存在的组更新消息!组[id=13]不存在\n", kOld12},
        // A rename changes the name only.
        UpdateRow{66, 1, 12, "OnUpdateGroupResult(1,12)\n", "", "G{5,12,1,4660,'renamed'}\n"},
        UpdateRow{66, 3, 12, "OnUpdateGroupResult(0,12)\n", "", kOld12},
        UpdateRow{66, 1, 13, "", "收到不存在的组更新消息!组[id=13]不存在\n", kOld12}));

TEST_F(RosterGroupsTest, DeleteGroupResults) {
  struct Row {
    uint32_t r;
    uint16_t group;
    std::string call;
    std::string text;
    bool erased;
  } rows[] = {{1, 12, "OnDeleteGroupResult(1,12)\n", "", true},
              {2, 12, "OnDeleteGroupResult(0,12)\n", "", false},
              {2, 13, "OnDeleteGroupResult(0,13)\n", "", false},  // table not consulted
              {1, 13, "", "删除组失败!组[id=13]不存在\n", false},
              {1, 0, "", "删除组失败!groupid=0\n", false},
              {2, 0, "", "删除组失败!groupid=0\n", false}};
  for (const Row& row : rows) {
    LoadGroups();
    Deliver(*fc, Msg(60).U32(row.r).U16(row.group).U16(0xEEEE).Build());
    EXPECT_EQ(sink.Take(), row.text.empty() ? row.call : LogLine(row.text)) << row.r;
    EXPECT_EQ(Table(fc->groups()), (row.erased ? "" : std::string(kOld12)) + kTwo20);
  }
}

// Members of group 12 go under its parent (1) before the host hears of the
// deletion; other groups' members, requests and the own user stay.
TEST_F(RosterGroupsTest, DeleteRefilesMembersBeforeTheCallback) {
  LoadGroups();
  const auto entry = [](uint32_t id, uint16_t group) {
    Bytes b = Msg(0).U8(18).U32(id).Zeros(4).U16(group).Zeros(7).Build();
    b.erase(b.begin(), b.begin() + 4);
    return b;
  };
  Msg list(47);
  for (const Bytes& e : {entry(3, 12), entry(0x80000000, 12), entry(4, 20), entry(5, 1)}) {
    list.Append(e);
  }
  Deliver(*fc, list.Build());
  Deliver(*fc, Msg(64).U32(6).U8(0).U8(0).U16(12).PadTo(60).Build());
  Deliver(*fc, Msg(48).U32(100).Zeros(4).U16(12).PadTo(56).Build());
  sink.Take();
  std::string seen;
  sink.onCall = [&](const std::string&) {
    GroupRecord g{};
    for (const auto& kv : fc->users()) seen += std::to_string(kv.second.groupId) + " ";
    seen += fc->GetGroup(12, &g) ? "has12" : "no12";
  };
  Deliver(*fc, Msg(60).U32(1).U16(12).U16(0).Build());
  EXPECT_EQ(sink.Take(), "OnDeleteGroupResult(1,12)\n");
  EXPECT_EQ(seen, "1 20 1 1 no12");
  EXPECT_EQ(fc->requests().at(6).groupId, 12u);
  EXPECT_EQ(fc->myInfo().groupId, 12u);
}

// A callback that closes the client empties every table; each handler must
// then touch nothing it found before the call.
TEST_F(RosterGroupsTest, CloseFromInsideEveryCallback) {
  const std::vector<Bytes> messages = {
      GroupResult(58, 1, 30), GroupResult(58, 4, 12), GroupResult(59, 1, 12),
      Msg(66).U32(1).U16(12).Text("r", 64).Build(), Msg(60).U32(1).U16(12).U16(0).Build(),
      Msg(60).U32(0).U16(12).U16(0).Build()};
  for (const Bytes& m : messages) {
    LoadGroups();
    int calls = 0;
    sink.onCall = [&](const std::string&) {
      ++calls;
      fc->Close();
    };
    EXPECT_EQ(Deliver(*fc, m), 0u);
    sink.onCall = nullptr;
    EXPECT_EQ(calls, 1) << int{m[3]};
    EXPECT_TRUE(fc->groups().empty()) << int{m[3]};
  }
}

TEST_F(RosterGroupsTest, WithoutSinkTablesStillChange) {
  LoadGroups();
  fc->SetSink(nullptr);
  Deliver(*fc, GroupResult(58, 1, 30));
  Deliver(*fc, Msg(66).U32(1).U16(20).Text("renamed", 64).Build());
  Deliver(*fc, Msg(60).U32(1).U16(12).U16(0).Build());
  EXPECT_EQ(Table(fc->groups()), "G{5,20,1,4660,'renamed'}\nG{7,30,2,22136,'new'}\n");
  EXPECT_EQ(sink.log, "");
}

}  // namespace
}  // namespace kelvo
