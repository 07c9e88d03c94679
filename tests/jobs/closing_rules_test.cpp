// The closing-time reconciliation: which rows stay, which go, which are
// made, with their keys and JOBNRT, over a year end and past midnight.
#include "jobs/closing_rules.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/fake_env.h"
#include "support/local_zone.h"

namespace kvr {
namespace {

JobRow ClosingRowOf(const char* status, const char* cmd, const char* nrt) {
  JobRow row;
  row.jobsts = status;
  row.jobcmd = cmd;
  row.jobnrt = nrt;
  return row;
}

TEST(ClosingRules, NewRowsForTodayOrTomorrow) {
  LocalZone zone;
  FakeEnv env;
  env.SetLocalTime(2026, 12, 31, 10, 0, 0);
  ClosingTimes times{};
  times[0] = 1320;      // 22:00 with download
  times[12 + 2] = 300;  // 05:00 without download, slot 2
  times[5] = 600;       // the current minute: tomorrow
  times[7] = 1500;      // past midnight: 01:00
  std::vector<JobRow> rows = NewClosingRows(env, env.Now(), times);
  struct Expected {
    const char *ke2, *cmd, *nrt;
  } expected[] = {{"NLF+D00", "Nachtlauf.exe", "20261231220000"},
                  {"NLF+_02", "Nachtlauf.exe /NODNL", "20270101050000"},
                  {"NLF+D05", "Nachtlauf.exe", "20270101100000"},
                  {"NLF+D07", "Nachtlauf.exe", "20270101010000"}};
  ASSERT_EQ(rows.size(), std::size(expected));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].jobke2.view(), expected[i].ke2);
    EXPECT_EQ(rows[i].jobcmd.view(), expected[i].cmd);
    EXPECT_EQ(rows[i].jobnrt.view(), expected[i].nrt);
    EXPECT_EQ(rows[i].jobda1.view(), "20261231100000");
    EXPECT_EQ(rows[i].joburv.view(), "Nachtlauf");
    EXPECT_EQ(rows[i].jobrty.view(), "08");
    EXPECT_EQ(rows[i].jobstv, 1);
    EXPECT_TRUE(rows[i].jobsts.empty());
  }
  // The rows made take every time, so the next pass makes none.
  ClosingReconciliation again = ReconcileClosingRows(rows, times);
  EXPECT_TRUE(again.finished.empty());
  EXPECT_TRUE(again.unmatched.empty());
  EXPECT_TRUE(NewClosingRows(env, env.Now(), again.untaken).empty());
}

TEST(ClosingRules, Reconciliation) {
  const char* kWith = "Nachtlauf.exe";
  const char* kWithout = "Nachtlauf.exe /NODNL";
  struct Case {
    const char* name;
    std::vector<JobRow> rows;
    std::vector<std::pair<std::size_t, int32_t>> times;
    std::vector<std::size_t> finished, unmatched;
    std::vector<std::size_t> untakenSlots;  // entries still above 0
  } cases[] = {
      {"waiting row keeps its time",
       {ClosingRowOf("", kWith, "20261231220000")},
       {{0, 1320}},
       {},
       {},
       {}},
      {"ended rows go, their time stays",
       {ClosingRowOf("99", kWith, "20261231220000"),
        ClosingRowOf("90", kWithout, "20261231050000")},
       {{0, 1320}, {14, 300}},
       {0, 1},
       {},
       {0, 14}},
      {"running row whose time was changed",
       {ClosingRowOf("01", kWith, "20261231220000")},
       {{0, 1330}},
       {},
       {0},
       {0}},
      {"second row of one time",
       {ClosingRowOf("00", kWith, "20261231220000"), ClosingRowOf("", kWith, "20261231220000")},
       {{3, 1320}},
       {},
       {1},
       {}},
      {"kinds do not mix",
       {ClosingRowOf("", kWithout, "20261231220000")},
       {{0, 1320}},
       {},
       {0},
       {0}},
      {"without download matches its half",
       {ClosingRowOf("", kWithout, "20261231220000")},
       {{0, 1320}, {12, 1320}},
       {},
       {},
       {0}},
      {"unreadable JOBNRT", {ClosingRowOf("", kWith, "")}, {{0, 1320}}, {}, {0}, {0}},
      {"time past midnight", {ClosingRowOf("", kWith, "20270101010000")}, {{4, 1500}}, {}, {}, {}},
  };
  for (const Case& c : cases) {
    ClosingTimes times{};
    for (auto [slot, time] : c.times) times[slot] = time;
    ClosingReconciliation result = ReconcileClosingRows(c.rows, times);
    EXPECT_EQ(result.finished, c.finished) << c.name;
    EXPECT_EQ(result.unmatched, c.unmatched) << c.name;
    std::vector<std::size_t> untaken;
    for (std::size_t i = 0; i < result.untaken.size(); ++i) {
      if (result.untaken[i] > 0) untaken.push_back(i);
    }
    EXPECT_EQ(untaken, c.untakenSlots) << c.name;
  }
}

}  // namespace
}  // namespace kvr
