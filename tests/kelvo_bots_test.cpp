// kelvo-bots' own parts that a run's figures rest on: the latency
// histogram's quantiles, the account sources, and the churn soak's plans
// and the rules it holds each connection's reports to.
#include <cmath>
#include <string>
#include <vector>

#include "accounts.h"
#include "churn_check.h"
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

constexpr char kLost[] =
    "ImServerClient: connection to 127.0.0.1:7000 lost: connection reset by peer\n";
constexpr char kFailed[] =
    "ImServerClient: connect to 127.0.0.1:7000 failed: timed out after 10000 ms\n";

// One step of what a connection tells its host, or of what the host does.
enum class Step { kReason, kFailedReason, kUp, kDown, kClose, kLogin, kLog, kHostClose, kRelease };

void Apply(ConnectionCheck& c, Step s) {
  switch (s) {
    case Step::kReason: c.Reason(kLost); break;
    case Step::kFailedReason: c.Reason(kFailed); break;
    case Step::kUp: c.Connected(1); break;
    case Step::kDown: c.Connected(0); break;
    case Step::kClose: c.Closed(); break;
    case Step::kLogin: c.Callback("OnLoginResult"); break;
    case Step::kLog: c.Callback("OnLog"); break;
    case Step::kHostClose: c.HostClosed(); break;
    case Step::kRelease: c.Released(); break;
  }
}

TEST(ConnectionCheckTest, EachEndIsReportedOnceRightAfterItsOneReason) {
  using S = Step;
  const struct {
    const char* name;
    std::vector<Step> steps;
    const char* problem;  // nullptr: none; else a part of the first problem
    int endReports;
  } kRows[] = {
      {"lost", {S::kUp, S::kLogin, S::kReason, S::kClose, S::kRelease}, nullptr, 1},
      {"failed attempt", {S::kFailedReason, S::kDown, S::kRelease}, nullptr, 1},
      {"the host closes", {S::kUp, S::kLogin, S::kHostClose, S::kRelease}, nullptr, 0},
      {"lost just before the host's Close",
       {S::kUp, S::kReason, S::kClose, S::kHostClose},
       nullptr,
       1},
      {"OnClose twice",
       {S::kUp, S::kReason, S::kClose, S::kReason, S::kClose},
       "after the end report",
       2},
      {"OnClose without its reason", {S::kUp, S::kClose}, "without a reason line", 1},
      {"OnConnect(0) without its reason", {S::kDown}, "without a reason line", 1},
      {"two reasons for one end",
       {S::kUp, S::kReason, S::kReason, S::kClose},
       "two reason lines",
       1},
      {"a reason with no end", {S::kUp, S::kReason, S::kHostClose}, "no end report", 0},
      {"a reason, then a message",
       {S::kUp, S::kReason, S::kLogin},
       "not followed by its end report",
       0},
      {"a failed attempt's line before OnClose",
       {S::kUp, S::kFailedReason, S::kClose},
       "wrong kind",
       1},
      {"a lost line before OnConnect(0)", {S::kReason, S::kDown}, "wrong kind", 1},
      {"OnClose with no connection", {S::kReason, S::kClose}, "without OnConnect(1)", 1},
      {"OnConnect(0) after OnConnect(1)",
       {S::kUp, S::kFailedReason, S::kDown},
       "after OnConnect(1)",
       1},
      {"OnConnect(1) twice", {S::kUp, S::kUp}, "twice", 0},
      {"a message after OnClose",
       {S::kUp, S::kReason, S::kClose, S::kLogin},
       "after the end report",
       1},
      {"a callback after Close returned",
       {S::kUp, S::kHostClose, S::kLog},
       "after Close returned",
       0},
      {"OnClose after Close returned",
       {S::kUp, S::kHostClose, S::kReason, S::kClose},
       "after Close returned",
       0},
      {"a callback after Release", {S::kUp, S::kRelease, S::kLogin}, "after Release", 0},
  };
  for (const auto& row : kRows) {
    ConnectionCheck c;
    for (Step s : row.steps) Apply(c, s);
    c.Finish();
    EXPECT_EQ(c.endReports(), row.endReports) << row.name;
    if (row.problem == nullptr) {
      EXPECT_TRUE(c.problems().empty()) << row.name << ": " << c.problems().front();
    } else {
      ASSERT_FALSE(c.problems().empty()) << row.name;
      EXPECT_NE(c.problems().front().find(row.problem), std::string::npos)
          << row.name << ": " << c.problems().front();
    }
  }
}

TEST(ChurnPlanTest, ACycleIsDrawnFromTheSeedAndItsNumberAlone) {
  std::vector<ChurnMode> modes;
  std::vector<ChurnEnd> ends;
  std::string error;
  ASSERT_TRUE(ParseChurnModes("all", &modes, &error)) << error;
  ASSERT_TRUE(ParseChurnEnds("all", &ends, &error)) << error;
  const ChurnPlan a(7, modes, ends), b(7, modes, ends), other(8, modes, ends);
  int differ = 0;
  std::vector<int> modeSeen(kChurnModeCount), endSeen(kChurnEndCount);
  for (uint64_t n = 1; n <= 400; ++n) {
    const CyclePlan p = a.For(n);
    EXPECT_EQ(a.Describe(p), b.Describe(b.For(n)));
    differ += a.Describe(p) != other.Describe(other.For(n));
    ++modeSeen[static_cast<std::size_t>(p.mode)];
    ++endSeen[static_cast<std::size_t>(p.end)];
    EXPECT_TRUE(p.chats >= 1 && p.chats <= 3);
    // Waiting for the server's drop needs the chats first.
    if (p.end == ChurnEnd::kServerDrop) {
      EXPECT_EQ(p.stage, ChurnStage::kChatted);
    }
  }
  EXPECT_GT(differ, 200);
  for (int seen : modeSeen) EXPECT_GT(seen, 50);
  for (int seen : endSeen) EXPECT_GT(seen, 50);

  // Only the modes and ends asked for.
  ASSERT_TRUE(ParseChurnModes("pump,own,pump", &modes, &error)) << error;
  ASSERT_EQ(modes.size(), 2u);
  ASSERT_TRUE(ParseChurnEnds("server", &ends, &error)) << error;
  const ChurnPlan narrow(1, modes, ends);
  for (uint64_t n = 1; n <= 100; ++n) {
    const CyclePlan p = narrow.For(n);
    EXPECT_TRUE(p.mode == ChurnMode::kOwn || p.mode == ChurnMode::kPump);
    EXPECT_EQ(p.end, ChurnEnd::kServerDrop);
  }
  EXPECT_FALSE(ParseChurnModes("own,threads", &modes, &error));
  EXPECT_NE(error.find("threads"), std::string::npos);
  EXPECT_FALSE(ParseChurnEnds("", &ends, &error));
}

TEST(ChurnPlanTest, ReasonLinesAreCountedByKind) {
  EXPECT_TRUE(IsReasonLine(kLost));
  EXPECT_TRUE(IsReasonLine(kFailed));
  EXPECT_FALSE(IsReasonLine("ImServerClient::HandleMessage() undefine msg ID=99!"));
  EXPECT_FALSE(IsReasonLine(nullptr));
  EXPECT_EQ(ReasonKind(kLost), "connection reset by peer");
  EXPECT_EQ(ReasonKind(kFailed), "timed out after N ms");
  EXPECT_EQ(ReasonKind("ImServerClient: connection to 10.0.0.1:7 via proxy 10.0.0.2:1080 lost: "
                       "TLS connection failed: unexpected eof while reading\n"),
            "TLS connection failed: unexpected eof while reading");
}

}  // namespace
}  // namespace kelvo_bots
