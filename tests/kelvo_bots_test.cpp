// kelvo-bots' own parts that a run's figures rest on: the latency
// histogram's quantiles and the account sources.
#include <cmath>
#include <string>
#include <vector>

#include "accounts.h"
#include "gtest/gtest.h"
#include "stats.h"

namespace kelvo_bots {
namespace {

// Within one bucket of the true value: buckets above 32 us are at most 1/32
// of their value wide.
void ExpectNear(uint64_t got, double want) {
  EXPECT_LE(std::fabs(static_cast<double>(got) - want), want / 32 + 1) << "want about " << want;
}

TEST(LatencyHistogramTest, QuantilesStayWithinABucketAtEveryScale) {
  LatencyHistogram empty;
  EXPECT_EQ(empty.Count(), 0u);
  EXPECT_EQ(empty.Quantile(0.5), 0u);

  LatencyHistogram small;  // below 32 us every value has its own bucket
  for (uint64_t v = 0; v < 32; ++v) small.Add(v);
  EXPECT_EQ(small.Quantile(0.5), 15u);
  EXPECT_EQ(small.Quantile(1.0), 31u);

  LatencyHistogram wide;
  for (uint64_t v = 1; v <= 100000; ++v) wide.Add(v);
  EXPECT_EQ(wide.Count(), 100000u);
  ExpectNear(wide.Quantile(0.5), 50000);
  ExpectNear(wide.Quantile(0.99), 99000);
  EXPECT_EQ(wide.Max(), 100000u);
  EXPECT_EQ(wide.Quantile(1.0), 100000u);  // the last rank is the largest value itself

  LatencyHistogram huge;
  huge.Add(uint64_t{1} << 40);
  huge.Add((uint64_t{1} << 41) - 1);
  ExpectNear(huge.Quantile(0.5), static_cast<double>(uint64_t{1} << 40));
  EXPECT_EQ(huge.Quantile(1.0), (uint64_t{1} << 41) - 1);
}

TEST(AccountsTest, SeedFileGivesItsUsersInFileOrder) {
  std::vector<Account> a;
  std::string error;
  ASSERT_TRUE(ParseSeedAccounts("# bots\n"
                                "group 9 1 0 1 Friends\n"
                                "user 9 nine pw9   # trailing comment\n"
                                "\n"
                                "friend 9 3 1\n"
                                "user 3 three pw#3\n"
                                "user 4294967295 max top gm=2\n",
                                &a, &error))
      << error;
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0].id, 9u);
  EXPECT_EQ(a[0].password, "pw9");
  EXPECT_EQ(a[1].id, 3u);
  EXPECT_EQ(a[1].password, "pw");  // '#' starts a comment, as for the server
  EXPECT_EQ(a[2].id, 4294967295u);
  EXPECT_EQ(a[2].password, "top");

  const struct {
    const char* text;
    const char* error;
  } kBad[] = {
      {"user 1 one\n", "line 1: expected user <id> <name> <password>"},
      {"\nuser 0 zero z\n", "line 2: expected user <id> <name> <password>"},
      {"user 4294967296 big b\n", "line 1: expected user <id> <name> <password>"},
      {"user 7 a x\nuser 7 b y\n", "line 2: user 7 is defined twice"},
      {"group 1 1 0 1 G\n", "no user records"},
  };
  for (const auto& bad : kBad) {
    EXPECT_FALSE(ParseSeedAccounts(bad.text, &a, &error)) << bad.text;
    EXPECT_EQ(error, bad.error) << bad.text;
  }
}

TEST(AccountsTest, NumberedRangeAndTheSeedTextItWrites) {
  std::vector<Account> a;
  std::string error;
  ASSERT_TRUE(NumberedAccounts(7, 3, "p{id}x{id}", &a, &error)) << error;
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[2].id, 9u);
  EXPECT_EQ(a[2].password, "p9x9");

  // What --write-seed writes is what a seed file gives back.
  std::vector<Account> back;
  ASSERT_TRUE(ParseSeedAccounts(SeedText(a), &back, &error)) << error;
  ASSERT_EQ(back.size(), a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(back[i].id, a[i].id);
    EXPECT_EQ(back[i].password, a[i].password);
  }

  EXPECT_TRUE(NumberedAccounts(4294967295u, 1, "x", &a, &error));
  EXPECT_FALSE(NumberedAccounts(4294967295u, 2, "x", &a, &error));  // past the last id
  EXPECT_FALSE(NumberedAccounts(1, 1, "two words", &a, &error));
  EXPECT_FALSE(NumberedAccounts(1, 1, "a#b", &a, &error));
}

}  // namespace
}  // namespace kelvo_bots
