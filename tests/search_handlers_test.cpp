// Search results: the single result (id 71) and the result list (id 72) with
// its entry walk, SearchTable and the calls made per taken entry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/recording_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace test {
namespace {

// One list entry of exactly `n` bytes: length, user id, attr3, flag, state,
// two unread bytes, game server, attr1, then `name`, zeros, and a non-zero
// last byte.
Bytes Entry(std::size_t n, uint32_t userId, const std::string& name = "", uint8_t flag = 0) {
  Msg m(0);
  m.U8(static_cast<uint8_t>(n)).U32(userId).U8(0xF1).U8(flag).U8(0x83).Fill(2, 0xEE);
  m.U16(0xBEEF).U16(0xCAFE).Raw(name);
  Bytes b = m.Build();
  b.erase(b.begin(), b.begin() + 4);
  b.resize(n, 0);
  // A non-zero last byte: the handler must end the name there itself.
  if (n > 14 + name.size()) b[n - 1] = '!';
  return b;
}

// What a taken entry with `name` turns into: relation, groupId, gmLevel and
// attr2 are 0; the flag is 0 or 1.
std::string Taken(uint32_t userId, const std::string& name, unsigned flag = 0) {
  return "U{" + std::to_string(userId) + ",0,0,48879,0,51966,0,241," + std::to_string(flag) +
         ",131,'" + name + "'}";
}

std::string Table(const ImServerClient& c) {
  std::string out;
  for (const auto& entry : c.searchResults()) out += Describe(entry.second) + ";";
  return out;
}

const std::string kName32 = "abcdefghijklmnopqrstuvwxyz012345";

TEST(SearchHandlers, ListTakesEntriesOfFifteenToFortySevenBytes) {
  struct Row {
    const char* name;
    Bytes message;
    std::vector<std::string> items;  // records handed to OnSearchUserListItem
    std::string table;               // SearchTable afterwards
  };
  const std::vector<Row> rows = {
      {"header only", Msg(72).Build(), {}, ""},
      {"zero length ends the list", Msg(72).U8(0).Append(Entry(15, 1)).Build(), {}, ""},
      // Too short for the fixed fields and a terminated name: passed over.
      {"1 and 14 bytes passed over",
       Msg(72).Append(Entry(1, 0)).Append(Entry(14, 2)).Append(Entry(15, 3)).Build(),
       {Taken(3, "")}, Taken(3, "") + ";"},
      {"15 bytes: empty name", Msg(72).Append(Entry(15, 3, "Q")).Build(), {Taken(3, "")},
       Taken(3, "") + ";"},
      {"47 bytes: 32-character name without terminator",
       Msg(72).Append(Entry(47, 4, kName32)).Build(), {Taken(4, kName32)},
       Taken(4, kName32) + ";"},
      {"48 bytes passed over, the entry behind it taken",
       Msg(72).Append(Entry(48, 5, kName32)).Append(Entry(20, 6, "bob")).Build(),
       {Taken(6, "bob")}, Taken(6, "bob") + ";"},
      {"entry running past the message ends the list",
       Msg(72).Append(Entry(20, 7, "amy")).Append(Entry(40, 8, "cut")).PadTo(4 + 20 + 25).Build(),
       {Taken(7, "amy")}, Taken(7, "amy") + ";"},
      {"duplicate ids: two items, the later one stored",
       Msg(72).Append(Entry(20, 9, "old")).Append(Entry(20, 9, "new", 7)).Build(),
       {Taken(9, "old"), Taken(9, "new", 1)}, Taken(9, "new", 1) + ";"},
      {"wide fields and flag reduced to 1",
       Msg(72).Append(Entry(18, 0xFEDCBA98, "ab", 0x80)).Build(),
       {Taken(0xFEDCBA98, "ab", 1)}, Taken(0xFEDCBA98, "ab", 1) + ";"},
      {"gbk name", Msg(72).Append(Entry(14 + 7, 10, Gbk("张三丰"))).Build(),
       {"U{10,0,0,48879,0,51966,0,241,0,131," + Escape(Gbk("张三丰").c_str()) + "}"},
       "U{10,0,0,48879,0,51966,0,241,0,131," + Escape(Gbk("张三丰").c_str()) + "};"},
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
      EXPECT_EQ(0u, Deliver(*fc, row.message));
      std::string log;
      for (const std::string& item : row.items) log += "OnSearchUserListItem(" + item + ")\n";
      log += "OnSearchUserListEnd(" + std::to_string(row.items.size()) + ")\n";
      EXPECT_EQ(attach ? log : "", sink.Take());
      EXPECT_EQ(row.table, Table(*fc));
    }
  }
}

TEST(SearchHandlers, ListEndsEachTakenNameInPlaceAndWritesNothingElse) {
  const Bytes message = Msg(72)
                            .Append(Entry(47, 4, kName32))  // taken: byte 4+46 ends it
                            .Append(Entry(48, 5, kName32))  // passed over: untouched
                            .Append(Entry(14, 6))           // passed over: untouched
                            .Append(Entry(20, 7, "x"))      // taken: byte 113+19
                            .Build();
  Bytes expected = message;
  expected[4 + 46] = 0;
  expected[4 + 47 + 48 + 14 + 19] = 0;
  for (const bool attach : {true, false}) {
    SCOPED_TRACE(attach ? "with sink" : "without sink");
    FakeClient fc;
    RecordingSink sink;
    if (attach) fc->SetSink(&sink);
    Bytes after;
    EXPECT_EQ(0u, Deliver(*fc, message, &after));
    EXPECT_EQ(expected, after);
  }
}

TEST(SearchHandlers, SearchTableOutlivesTheLoginAndGrowsWithEachList) {
  FakeClient fc;
  RecordingSink sink;
  fc->SetSink(&sink);
  ASSERT_EQ(0u, Deliver(*fc, Msg(72).Append(Entry(15, 2)).Append(Entry(15, 1)).Build()));
  ASSERT_EQ(0u, Deliver(*fc, Msg(53).Zeros(6).Build()));  // forced logout
  ASSERT_EQ(0u, Deliver(*fc, Msg(45).Zeros(7).Build()));  // server info
  fc->Close();
  ASSERT_EQ(0u, Deliver(*fc, Msg(72).Append(Entry(15, 0x80000000)).Build()));
  EXPECT_EQ(Taken(1, "") + ";" + Taken(2, "") + ";" + Taken(0x80000000, "") + ";", Table(*fc));
}

TEST(SearchHandlers, HostMayCloseOrReleaseFromInsideAnItem) {
  const Bytes message = Msg(72).Append(Entry(15, 1)).Append(Entry(15, 2)).Build();
  {
    // Close empties the login's tables, not the search results: the walk
    // goes on and every item is still reported.
    FakeClient fc;
    RecordingSink sink;
    fc->SetSink(&sink);
    sink.Take();
    sink.onCall = [&](const std::string& name) {
      if (name == "OnSearchUserListItem") fc->Close();
    };
    EXPECT_EQ(0u, Deliver(*fc, message));
    EXPECT_EQ("OnSearchUserListItem(" + Taken(1, "") + ")\nOnSearchUserListItem(" +
                  Taken(2, "") + ")\nOnSearchUserListEnd(2)\n",
              sink.Take());
    EXPECT_EQ(2u, fc->searchResults().size());
  }
  {
    // Release detaches the sink at once; the client itself goes when the
    // delivery returns, so nothing more is reported.
    FakeClient fc;
    RecordingSink sink;
    fc->SetSink(&sink);
    sink.Take();
    ImServerClient* client = fc.client;
    sink.onCall = [&](const std::string&) {
      fc.client = nullptr;
      client->Release();
    };
    EXPECT_EQ(0u, Deliver(*client, message));
    EXPECT_EQ("OnSearchUserListItem(" + Taken(1, "") + ")\n", sink.Take());
  }
}

TEST(SearchHandlers, SingleResultCarriesFourValuesWithMissingBytesZero) {
  const Bytes full =
      Msg(71).U32(0x04030201).U32(0x08070605).U32(0x0C0B0A09).U32(0x100F0E0D).Build();
  struct Row {
    std::size_t length;
    std::string log;
  };
  const std::vector<Row> rows = {
      {20, "OnSearchUserResult(67305985,134678021,202050057,269422093)\n"},
      {19, "OnSearchUserResult(67305985,134678021,202050057,986637)\n"},
      {10, "OnSearchUserResult(67305985,1541,0,0)\n"},
      {4, "OnSearchUserResult(0,0,0,0)\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.length);
    FakeClient fc;
    RecordingSink sink;
    fc->SetSink(&sink);
    sink.Take();
    Bytes message(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(row.length));
    message[0] = static_cast<uint8_t>(row.length);
    Bytes after;
    EXPECT_EQ(0u, Deliver(*fc, message, &after));
    EXPECT_EQ(row.log, sink.Take());
    EXPECT_EQ(message, after);
    EXPECT_TRUE(fc->searchResults().empty());
  }
}

}  // namespace
}  // namespace test
}  // namespace kelvo
