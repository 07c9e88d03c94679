// The schedule rules with fixed dates: each schedule type, the weekday mask,
// 31 January + 1 month, end dates, and the three-months deletion bound.
#include "jobs/schedule_rules.h"

#include <gtest/gtest.h>

#include "platform/fake_env.h"
#include "support/local_zone.h"

namespace kvr {
namespace {

TEST(ScheduleRules, SplitScheduleKeyCutsAtFieldWidths) {
  struct Case {
    const char* jobke2;
    const char *nam, *sbe, *liz, *mnd;
  } cases[] = {
      {"BACKUP#SB1#00001#00002", "BACKUP", "SB1", "00001", "00002"},
      {"BACKUP", "BACKUP", "", "", ""},
      {"A##L", "A", "", "L", ""},
      {"A#123456789#1234567#99999x", "A", "12345678", "12345", "99999"},
      {"A#B#C#D#E", "A", "B", "C", "D"},
      {"", "", "", "", ""},
  };
  for (const Case& c : cases) {
    ScheduleKey key = SplitScheduleKey(c.jobke2);
    EXPECT_EQ(key.scdnam.view(), c.nam) << c.jobke2;
    EXPECT_EQ(key.scdsbe.view(), c.sbe) << c.jobke2;
    EXPECT_EQ(key.scdliz.view(), c.liz) << c.jobke2;
    EXPECT_EQ(key.scdmnd.view(), c.mnd) << c.jobke2;
  }
}

TEST(ScheduleRules, DeletionBound) {
  LocalZone zone;
  FakeEnv env;
  struct Case {
    int y, mo, d;
    int32_t bound;
  } cases[] = {{2026, 5, 31, 20260303}, {2028, 5, 31, 20280302}, {2026, 1, 15, 20251015}};
  for (const Case& c : cases) {
    env.SetLocalTime(c.y, c.mo, c.d, 0, 30, 0);
    EXPECT_EQ(DeletionBound(env, env.Now()), c.bound) << c.y << c.mo << c.d;
  }
}

TEST(ScheduleRules, Decisions) {
  LocalZone zone;
  FakeEnv env;
  constexpr auto kLeave = ScheduleAction::kLeave;
  constexpr auto kDelete = ScheduleAction::kDelete;
  constexpr auto kRearm = ScheduleAction::kRearm;
  struct Case {
    const char* name;
    int y, mo, d;  // today, 10:00
    bool hasSchedule;
    int32_t type;
    const char* tag;
    int32_t until;
    const char *sda, *eda;
    ScheduleAction action;
    const char* nrt;  // expected JOBNRT (the old one is "20200101000000")
  } cases[] = {
      {"daily", 2026, 6, 3, true, 2, "", 0, "20260603063000", "20260603064000", kRearm,
       "20260604063000"},
      {"daily across midnight", 2026, 6, 3, true, 2, "", 0, "20260602235000", "20260603001000",
       kRearm, "20260603063000"},
      {"daily, October change", 2026, 10, 25, true, 2, "", 0, "20261025063000", "20261025064000",
       kRearm, "20261026063000"},
      {"Monday and Wednesday", 2026, 12, 7, true, 3, "5", 0, "20261207063000", "20261207064000",
       kRearm, "20261209063000"},
      {"Sunday only, from Sunday", 2026, 12, 13, true, 3, "64", 0, "20261213063000",
       "20261213064000", kRearm, "20261220063000"},
      {"mask 0, recent", 2026, 6, 3, true, 3, "0", 0, "20260601063000", "20260601064000", kLeave,
       "20200101000000"},
      {"mask 200, old", 2026, 6, 3, true, 3, "200", 0, "20260101063000", "20260101064000", kDelete,
       "20200101000000"},
      {"monthly from 31 January, leap", 2028, 1, 31, true, 4, "", 0, "20280131063000",
       "20280131064000", kRearm, "20280302063000"},
      {"monthly from 31 January", 2027, 1, 31, true, 4, "", 0, "20270131063000", "20270131064000",
       kRearm, "20270303063000"},
      {"quarterly", 2026, 11, 30, true, 5, "", 0, "20261130063000", "20261130064000", kRearm,
       "20270302063000"},
      {"type 6 as type 5", 2026, 6, 3, true, 6, "", 0, "20260603063000", "20260603064000", kRearm,
       "20260903063000"},
      {"yearly from 29 February", 2028, 2, 29, true, 7, "", 0, "20280229063000", "20280229064000",
       kRearm, "20290301063000"},
      {"ended yesterday, recent", 2026, 6, 3, true, 2, "", 20260602, "20260601063000",
       "20260601064000", kLeave, "20200101000000"},
      {"ended yesterday, old", 2026, 6, 3, true, 2, "", 20260602, "20260101063000",
       "20260101064000", kDelete, "20200101000000"},
      {"next date after the end", 2026, 6, 3, true, 2, "", 20260603, "20260603063000",
       "20200101064000", kLeave, "20200101000000"},
      {"last day of the schedule", 2026, 6, 3, true, 2, "", 20260604, "20260603063000",
       "20260603064000", kRearm, "20260604063000"},
      {"once, recent", 2026, 6, 3, true, 1, "", 0, "20260601063000", "20260601064000", kLeave,
       "20200101000000"},
      {"once, old", 2026, 6, 3, true, -1, "", 0, "20260101063000", "20260101064000", kDelete,
       "20200101000000"},
      {"at once again", 2026, 6, 3, true, 0, "", 0, "20260603063000", "20260603064000", kRearm,
       "20200101000000"},
      {"unknown type", 2026, 6, 3, true, 42, "", 20200101, "20260603063000", "20260603064000",
       kRearm, "20200101000000"},
      {"no schedule, recent", 2026, 6, 3, false, 0, "", 0, "20260601063000", "20260601064000",
       kLeave, "20200101000000"},
      {"no schedule, four months", 2026, 6, 3, false, 0, "", 0, "20260201063000", "20260201064000",
       kDelete, "20200101000000"},
      {"no schedule, never ended", 2026, 6, 3, false, 0, "", 0, "", "", kDelete, "20200101000000"},
      {"no schedule, ended on the bound", 2026, 6, 3, false, 0, "", 0, "20260303063000",
       "20260303064000", kLeave, "20200101000000"},
      {"no schedule, ended the day before the bound", 2026, 6, 3, false, 0, "", 0, "20260302063000",
       "20260302064000", kDelete, "20200101000000"},
      {"once, ended on the bound", 2026, 6, 3, true, 1, "", 0, "20260303063000", "20260303064000",
       kLeave, "20200101000000"},
  };
  for (const Case& c : cases) {
    env.SetLocalTime(c.y, c.mo, c.d, 10, 0, 0);
    JobRow row;
    row.jobsts = "98";
    row.jobsda = c.sda;
    row.jobeda = c.eda;
    row.jobnrt = "20200101000000";
    ScheduleRow schedule;
    schedule.scdtyp = c.type;
    schedule.scdtag = c.tag;
    schedule.scdbis = c.until;
    schedule.scduhr = "063000";
    ScheduleDecision decision =
        DecideBySchedule(env, env.Now(), row, c.hasSchedule ? &schedule : nullptr);
    EXPECT_EQ(decision.action, c.action) << c.name;
    if (decision.action == kRearm) {
      EXPECT_EQ(decision.jobnrt.view(), c.nrt) << c.name;
    }
  }
}

}  // namespace
}  // namespace kvr
