// The roster table structure against an ordered map: long random runs of
// stores, erases and clears (index growth, probe runs closed up on erase,
// reused slots, the key order kept, dropped and rebuilt), walks whose
// callback changes the table, and records that stay put while others come
// and go.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "roster/tables.h"

namespace kelvo {
namespace {

UserRecord Rec(uint32_t id, uint32_t stamp) {
  UserRecord r{};
  r.userId = id;
  r.relation = stamp;
  r.gmLevel = ~stamp;
  std::snprintf(r.name, sizeof r.name, "%u/%u", id, stamp);
  return r;
}

using Model = std::map<uint32_t, uint32_t>;  // key -> stamp

// Everything the table answers, checked against the model: size, every
// key's record, a few absent keys, and the walk's order.
void ExpectSame(UserMap& table, const Model& model, std::mt19937& rng) {
  ASSERT_EQ(table.size(), model.size());
  ASSERT_EQ(table.empty(), model.empty());
  for (const auto& kv : model) {
    const UserRecord* r = table.Find(kv.first);
    ASSERT_NE(r, nullptr) << kv.first;
    const UserRecord want = Rec(kv.first, kv.second);
    ASSERT_EQ(std::memcmp(r, &want, sizeof want), 0) << kv.first;
  }
  for (int i = 0; i < 20; ++i) {
    const uint32_t key = rng();
    ASSERT_EQ(table.Find(key) != nullptr, model.count(key) == 1) << key;
  }
  std::vector<uint32_t> walked;
  table.Walk([&](UserRecord& r) {
    walked.push_back(r.userId);
    return true;
  });
  std::vector<uint32_t> want;
  for (const auto& kv : model) want.push_back(kv.first);
  ASSERT_EQ(walked, want);
}

struct RandomRunRow {
  const char* name;
  uint32_t keySpan;  // keys drawn from [0, keySpan); 0: the whole 32-bit range
  int operations;
  int putPercent;    // the rest are erases, and a clear now and then
  // 0: entries stored one Put at a time. Else each put is a list of 1 to
  // this many entries through a Loader, new and known keys mixed, a key
  // now and then twice in one list.
  int listEntries = 0;
};

void PrintTo(const RandomRunRow& row, std::ostream* os) { *os << row.name; }

class RosterTableRandomRun : public ::testing::TestWithParam<RandomRunRow> {};

// A narrow key span makes erased keys come back often (slots and order
// entries reused, runs of neighbouring buckets closed up); the whole range
// puts keys with the top bit set among the rest and, unsorted, spends the
// order's move budget so that walks must rebuild it.
TEST_P(RosterTableRandomRun, MatchesAnOrderedMap) {
  const RandomRunRow& row = GetParam();
  std::mt19937 rng(20261207);
  UserMap table;
  Model model;
  auto key = [&] { return row.keySpan == 0 ? static_cast<uint32_t>(rng()) : rng() % row.keySpan; };
  for (int op = 0; op < row.operations; ++op) {
    const int dice = static_cast<int>(rng() % 1000);
    if (dice < row.putPercent * 10 && row.listEntries > 0) {
      UserMap::Loader load(table);
      const int entries = 1 + static_cast<int>(rng() % static_cast<uint32_t>(row.listEntries));
      uint32_t k = key();
      for (int e = 0; e < entries; ++e) {
        // Mostly runs of neighbouring keys, as a server lists a roster.
        if (rng() % 8 != 0) k = rng() % 4 == 0 ? key() : k + 1;
        const uint32_t stamp = static_cast<uint32_t>(op * 100 + e);
        EXPECT_EQ(load.Store(k, [&](UserRecord& r) {
          const UserRecord want = Rec(k, stamp);
          EXPECT_EQ(r.userId, k);
          std::memcpy(&r, &want, sizeof r);
        }), model.count(k) == 0);
        model[k] = stamp;
      }
    } else if (dice < row.putPercent * 10) {
      const uint32_t k = key();
      const uint32_t stamp = static_cast<uint32_t>(op);
      EXPECT_EQ(table.Put(Rec(k, stamp)), model.count(k) == 0);
      model[k] = stamp;
    } else if (dice < 998) {
      // Erase a stored key most of the time, else one that may be absent.
      uint32_t k = key();
      if (!model.empty() && rng() % 4 != 0) {
        auto it = model.lower_bound(k);
        if (it == model.end()) it = model.begin();
        k = it->first;
      }
      EXPECT_EQ(table.Erase(k), model.erase(k) == 1);
    } else {
      table.clear();
      model.clear();
    }
    if (op % 997 == 0) ExpectSame(table, model, rng);
    if (HasFatalFailure()) return;
  }
  ExpectSame(table, model, rng);
}

INSTANTIATE_TEST_SUITE_P(
    RosterTable, RosterTableRandomRun,
    ::testing::Values(RandomRunRow{"NarrowKeysChurn", 300, 60000, 55},
                      RandomRunRow{"WideKeysGrow", 0, 60000, 80},
                      RandomRunRow{"WideKeysShrinkToEmpty", 0, 30000, 35},
                      // Lists: erased keys coming back (merged into the
                      // order as live again), lists below the largest key
                      // merged or, past the budget, dropping the order.
                      RandomRunRow{"ListsNarrowKeysChurn", 400, 20000, 50, 60},
                      RandomRunRow{"ListsWideKeysGrow", 0, 8000, 85, 79}),
    [](const ::testing::TestParamInfo<RandomRunRow>& info) { return info.param.name; });

// A walk whose callback stores and erases entries (the visited one among
// them) and now and then clears the table: each visit is the smallest key
// above the one visited before, as the table stands after the callback, and
// each visit hands over the stored record itself.
TEST(RosterTable, WalkCarriesOnFromTheNextKeyWhateverTheCallbackChanges) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    UserMap table;
    Model model;
    const uint32_t span = seed % 2 ? 500 : 0;
    auto key = [&] { return span == 0 ? static_cast<uint32_t>(rng()) : rng() % span; };
    for (int i = 0; i < 300; ++i) {
      const uint32_t k = key();
      table.Put(Rec(k, 0));
      model[k] = 0;
    }
    bool first = true;
    uint32_t last = 0;
    int visits = 0;
    table.Walk([&](UserRecord& r) {
      auto expected = first ? model.begin() : model.upper_bound(last);
      EXPECT_TRUE(expected != model.end());
      if (expected == model.end()) return false;
      EXPECT_EQ(r.userId, expected->first);
      EXPECT_EQ(&r, table.Find(r.userId)) << "not the stored record";
      first = false;
      last = r.userId;
      ++visits;
      switch (rng() % 8) {
        case 0:  // answer the visited entry
          EXPECT_TRUE(table.Erase(r.userId));
          model.erase(last);
          break;
        case 1:  // new entries on both sides of the visited one
          for (int i = 0; i < 40; ++i) {
            const uint32_t k = key();
            table.Put(Rec(k, 1));
            model[k] = 1;
          }
          break;
        case 2: {  // erase some entries, the next one among them
          auto next = model.upper_bound(last);
          if (next != model.end()) {
            EXPECT_TRUE(table.Erase(next->first));
            model.erase(next);
          }
          for (int i = 0; i < 5; ++i) {
            const uint32_t k = key();
            EXPECT_EQ(table.Erase(k), model.erase(k) == 1);
          }
          break;
        }
        case 3:
          if (rng() % 16 == 0) {
            table.clear();
            model.clear();
          }
          break;
        default:
          break;
      }
      return true;
    });
    // The walk ended when nothing was left above the last key.
    EXPECT_TRUE(first ? model.empty() : model.upper_bound(last) == model.end());
    EXPECT_GT(visits, 0);
  }
}

// A stored record keeps its address while other entries are stored (through
// several index doublings and new pages) and erased, and while the order is
// dropped and rebuilt; the host is handed such addresses in its callbacks.
TEST(RosterTable, StoredRecordsStayWhereTheyAre) {
  UserMap table;
  std::vector<const UserRecord*> where;
  for (uint32_t k = 0; k < 50; ++k) {
    table.Put(Rec(k * 7919u, 5));
    where.push_back(table.Find(k * 7919u));
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const uint32_t k = rng();
    if (k % 7919 == 0) continue;  // one of the fifty
    table.Put(Rec(k, 6));
    if (i % 3 == 0) table.Erase(k);
  }
  int walked = 0;
  table.Walk([&](UserRecord&) { return ++walked < 10; });
  for (uint32_t k = 0; k < 50; ++k) {
    const UserRecord* r = table.Find(k * 7919u);
    ASSERT_EQ(r, where[k]) << k;
    EXPECT_EQ(r->relation, 5u);
  }
}

}  // namespace
}  // namespace kelvo
