// The timed jobs' next-run rules with fixed times: year ends, clock changes,
// windows used up, missed runs, steps of 0, the end of the day.
#include "jobs/next_run_rules.h"

#include <gtest/gtest.h>

#include "platform/fake_env.h"
#include "support/local_zone.h"

namespace kvr {
namespace {

struct Moment {
  int y, mo, d, h, mi, s;
};

struct RuleCase {
  const char* name;
  Moment now;
  const char* status;
  const char* nrt;
  bool changed;
  const char* expectedStatus;
  const char* expectedNrt;
};

JobRow RowWith(const char* status, const char* nrt) {
  JobRow row;
  row.jobsts = status;
  row.jobnrt = nrt;
  return row;
}

void SetClock(FakeEnv& env, const Moment& m) { env.SetLocalTime(m.y, m.mo, m.d, m.h, m.mi, m.s); }

void ExpectRow(const RuleCase& c, bool changed, const JobRow& row) {
  EXPECT_EQ(changed, c.changed) << c.name;
  EXPECT_EQ(row.jobsts.view(), c.expectedStatus) << c.name;
  EXPECT_EQ(row.jobnrt.view(), c.expectedNrt) << c.name;
}

TEST(NextRunRules, Daily) {
  LocalZone zone;
  FakeEnv env;
  const RuleCase cases[] = {
      {"never set", {2026, 6, 3, 9, 0, 0}, "98", "", true, "00", "20260603070000"},
      {"never set, waiting", {2026, 6, 3, 9, 0, 0}, "", "2026", true, "00", "20260603070000"},
      {"year end", {2026, 12, 31, 8, 0, 0}, "90", "20261231070000", true, "00", "20270101070000"},
      {"due, waits", {2026, 6, 3, 9, 0, 0}, "00", "20260603070000", false, "00", "20260603070000"},
      {"ended, next run ahead",
       {2026, 6, 3, 6, 0, 0},
       "98",
       "20260603070000",
       false,
       "98",
       "20260603070000"},
      {"night of the October change",
       {2026, 10, 25, 0, 30, 0},
       "99",
       "20261024070000",
       true,
       "00",
       "20261026070000"},
      {"night before the March change",
       {2026, 3, 28, 23, 30, 0},
       "99",
       "20260328070000",
       true,
       "00",
       "20260329070000"},
  };
  for (const RuleCase& c : cases) {
    SetClock(env, c.now);
    JobRow row = RowWith(c.status, c.nrt);
    ExpectRow(c, NextRunDaily(env, row, env.Now(), "070000"), row);
  }
}

TEST(NextRunRules, Interval) {
  LocalZone zone;
  FakeEnv env;
  const RuleCase cases[] = {
      {"never set", {2026, 6, 3, 9, 1, 2}, "", "", true, "00", "20260603090102"},
      {"over midnight",
       {2026, 12, 31, 23, 30, 15},
       "98",
       "20261231223015",
       true,
       "00",
       "20270101003015"},
      {"due, waits", {2026, 6, 3, 9, 0, 0}, "00", "20260603080000", false, "00", "20260603080000"},
      {"into the skipped hour",
       {2026, 3, 29, 1, 50, 0},
       "98",
       "20260329005000",
       true,
       "00",
       "20260329035000"},
  };
  for (const RuleCase& c : cases) {
    SetClock(env, c.now);
    JobRow row = RowWith(c.status, c.nrt);
    ExpectRow(c, NextRunInterval(env, row, env.Now(), 60), row);
  }
}

TEST(NextRunRules, TimePlan) {
  LocalZone zone;
  FakeEnv env;
  const PlanWindow office{480, 1080, 30}, noStep{480, 1080, 0}, late{1200, 1500, 30};
  struct PlanCase {
    RuleCase rule;
    const PlanWindow* window;
  } cases[] = {
      {{"next step", {2026, 6, 3, 9, 47, 0}, "98", "20260603093000", true, "00", "20260603100000"},
       &office},
      {{"window used up",
        {2026, 6, 3, 17, 55, 0},
        "98",
        "20260603173000",
        true,
        "97",
        "20260603180000"},
       &office},
      {{"missed runs not made up",
        {2026, 6, 3, 9, 47, 0},
        "99",
        "20260603083000",
        true,
        "00",
        "20260603100000"},
       &office},
      {{"last run yesterday",
        {2026, 6, 3, 9, 47, 0},
        "98",
        "20260602173000",
        true,
        "00",
        "20260603080000"},
       &office},
      {{"never set", {2026, 6, 3, 9, 47, 0}, "", "", true, "00", "20260603080000"}, &office},
      {{"waits for its run",
        {2026, 6, 3, 9, 47, 0},
        "00",
        "20260603093000",
        false,
        "00",
        "20260603093000"},
       &office},
      {{"parked stays parked",
        {2026, 6, 3, 17, 59, 0},
        "97",
        "20260603180000",
        false,
        "97",
        "20260603180000"},
       &office},
      {{"no window parks",
        {2026, 6, 3, 20, 0, 0},
        "98",
        "20260603173000",
        true,
        "97",
        "20260603173000"},
       nullptr},
      {{"no window, parked",
        {2026, 6, 3, 20, 0, 0},
        "97",
        "20260603180000",
        false,
        "97",
        "20260603180000"},
       nullptr},
      {{"step 0: first run",
        {2026, 6, 3, 9, 0, 0},
        "98",
        "20260602080000",
        true,
        "00",
        "20260603080000"},
       &noStep},
      {{"step 0: used up",
        {2026, 6, 3, 9, 0, 0},
        "98",
        "20260603080000",
        true,
        "97",
        "20260603180000"},
       &noStep},
      {{"step 0: parked",
        {2026, 6, 3, 9, 0, 0},
        "97",
        "20260603180000",
        false,
        "97",
        "20260603180000"},
       &noStep},
      {{"reaches midnight",
        {2026, 6, 3, 23, 40, 0},
        "98",
        "20260603233000",
        true,
        "97",
        "20260603233000"},
       &late},
  };
  for (const PlanCase& c : cases) {
    SetClock(env, c.rule.now);
    JobRow row = RowWith(c.rule.status, c.rule.nrt);
    ExpectRow(c.rule, NextRunByTimePlan(row, env.LocalTime(env.Now()), c.window), row);
  }
}

TEST(NextRunRules, RunInProgress) {
  const std::pair<const char*, bool> cases[] = {{"01", true},  {"05", true},  {"10", true},
                                                {"11", false}, {"00", false}, {"", false},
                                                {"  ", false}, {"97", false}, {"xx", false}};
  for (auto [status, running] : cases) EXPECT_EQ(RunInProgress(status), running) << status;
}

}  // namespace
}  // namespace kvr
