// The operator's view of the queue: states under the selection rules, the
// run-now plan per run type, and reading rows on both engines.
#include "db/queue/queue_view.h"

#include <gtest/gtest.h>

#include "db/queue/run_now_plan.h"
#include "support/test_database.h"

namespace kvr {
namespace {

constexpr char kNow[] = "20240510120000";

JobRow Row(const char* rty, const char* sts, const char* nrt = "", const char* dlt = "",
           int32_t stv = 0, const char* origin = "") {
  JobRow r;
  r.jobda1 = "20240501000000";
  r.jobke2 = std::string("JOB") + rty + sts;
  r.jobrty = rty;
  r.jobsts = sts;
  r.jobnrt = nrt;
  r.jobdlt = dlt;
  r.jobstv = stv;
  r.joburv = origin;
  return r;
}

struct StateCase {
  JobRow row;
  RowState want;
};

TEST(QueueView, ClassifiesEachRowByTheRulesOfItsRunType) {
  const StateCase cases[] = {
      {Row("01", ""), RowState::Due},
      {Row("01", "  "), RowState::Due},
      {Row("01", "01"), RowState::Running},
      {Row("01", "90"), RowState::Failed},
      {Row("01", "98"), RowState::Ended},
      {Row("01", "", "", "", 11), RowState::Failed},  // the start refuses it
      {Row("05", "", "", "20240510130000"), RowState::Waiting},
      {Row("05", "", "", "20240510120000"), RowState::Due},
      {Row("04", "99", "", "", 10), RowState::Due},
      {Row("04", "90", "", "", 11), RowState::Failed},
      {Row("04", "00"), RowState::Idle},
      {Row("09", "98", "", "", 0), RowState::Due},
      {Row("03", "00", "20240510115959"), RowState::Due},
      {Row("03", "00", "20240510120001"), RowState::Waiting},
      {Row("03", "00", ""), RowState::Waiting},
      {Row("03", "97", "20240501000000"), RowState::Idle},
      {Row("07", "99", "20240501000000"), RowState::Ended},
      {Row("08", "", kNow), RowState::Due},
      {Row("06", ""), RowState::Idle},
      {Row("99", ""), RowState::Idle},
      {Row("06", "01"), RowState::Idle},  // never read back as running
  };
  for (const StateCase& c : cases) {
    EXPECT_EQ(ClassifyRow(c.row, kNow), c.want)
        << c.row.jobrty.str() << " '" << c.row.jobsts.str() << "' nrt " << c.row.jobnrt.str();
  }
}

TEST(QueueView, RunningJobsHoldBackDueRowsOfTheirOriginAndExclusiveJobs) {
  std::vector<JobRow> rows = {
      Row("01", "01", "", "", 1, "EXPORT"),                // running
      Row("01", "", "", "", 0, "EXPORT"),                  // same origin: held
      Row("01", "", "", "", 0, "IMPORT"),                  // other origin: due
      Row("01", "", "", "", 0, ""),                        // no origin: due
      Row("05", ""),                                       // exclusive, jobs run: held
      Row("07", "00", "20240501000000", "", 0, "EXPORT"),  // 07 ignores origins
      Row("99", ""),
  };
  std::vector<RowState> states = ClassifyQueue(rows, kNow);
  const RowState want[] = {RowState::Running, RowState::Held, RowState::Due, RowState::Due,
                           RowState::Held,    RowState::Due,  RowState::Idle};
  ASSERT_EQ(states.size(), std::size(want));
  for (size_t i = 0; i < states.size(); ++i) EXPECT_EQ(states[i], want[i]) << "row " << i;
  QueueCounts c = CountStates(rows, states);
  EXPECT_EQ(c.running, 1);
  EXPECT_EQ(c.held, 2);
  EXPECT_EQ(c.due, 3);
  EXPECT_EQ(c.idle, 0);  // the status row is not counted
}

struct PlanCase {
  JobRow row;
  bool refused;
  const char* sts;
  const char* nrt;
  const char* dlt;
  int32_t dls;
  int32_t stv;
};

TEST(QueueView, RunNowMakesEachRunTypeDueInItsOwnWay) {
  JobRow dls07 = Row("07", "00", "20240511063000");
  JobRow timed = Row("03", "97", "20240509100000");
  timed.jobdls = 2;
  const PlanCase cases[] = {
      {Row("01", "98", "", "", 1), false, "", "", "", 0, 1},
      {Row("01", "90", "", "", 11), false, "", "", "", 0, 0},  // attempts reset
      {Row("09", "99"), false, "", "", "", 0, 0},
      {Row("05", "98", "", "20240511000000"), false, "", "", "", 0, 0},
      {Row("05", "98", "", "20240509000000"), false, "", "", "20240509000000", 0, 0},
      {Row("04", "90", "", "", 11), false, "", "", "", 0, 0},
      {timed, false, "00", kNow, "", 2, 0},
      {Row("08", "98", "20240511000000"), false, "00", kNow, "", 0, 0},
      // A future next run would keep the request from making the row due.
      {dls07, false, "00", kNow, "", 1, 0},
      {Row("07", "99", "20240509063000"), false, "99", "20240509063000", "", 1, 0},
      {Row("07", "99", ""), false, "99", kNow, "", 1, 0},
      {Row("01", "01"), true, "", "", "", 0, 0},
      {Row("06", ""), true, "", "", "", 0, 0},
      {Row("99", ""), true, "", "", "", 0, 0},
      {Row("02", ""), true, "", "", "", 0, 0},
  };
  for (const PlanCase& c : cases) {
    RunNowPlan plan = PlanRunNow(c.row, kNow);
    SCOPED_TRACE(c.row.jobrty.str() + " '" + c.row.jobsts.str() + "'");
    EXPECT_EQ(plan.refused, c.refused) << plan.reason;
    if (plan.refused) {
      EXPECT_FALSE(plan.reason.empty());
      continue;
    }
    EXPECT_EQ(plan.row.jobsts.str(), c.sts);
    EXPECT_EQ(plan.row.jobnrt.str(), c.nrt);
    EXPECT_EQ(plan.row.jobdlt.str(), c.dlt);
    EXPECT_EQ(plan.row.jobdls, c.dls);
    EXPECT_EQ(plan.row.jobstv, c.stv);
    // What the plan writes must make the row due at once, by the same rules.
    if (c.row.jobrty.view() != kRunType07) {
      EXPECT_EQ(ClassifyRow(plan.row, kNow), RowState::Due);
    }
  }
}

TEST(QueueView, TimesInWords) {
  FakeEnv env;
  EXPECT_EQ(SecondsBetween(env, "20240510235930", "20240511000100"), 90);
  EXPECT_EQ(SecondsBetween(env, "", kNow), -1);
  EXPECT_EQ(SecondsBetween(env, "2024051012000x", kNow), -1);
  const std::pair<int64_t, const char*> durations[] = {
      {0, "0s"}, {59, "59s"}, {61, "1m01s"}, {3600, "1h00m"}, {86400 + 7200, "1d02h"}};
  for (auto [s, text] : durations) EXPECT_EQ(FormatDuration(s), text);
  EXPECT_EQ(FormatTimestamp(kNow), "2024-05-10 12:00:00");
  EXPECT_EQ(FormatTimestamp("unknown"), "unknown");
}

class QueueViewRead : public SessionFixture {};

TEST_P(QueueViewRead, ReadsAllColumnsInKeyOrderByRunTypeAndByName) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  JobRow a = Row("03", "00", "20240510120000");
  a.jobda1 = "20240502000000";
  a.jobke2 = "SAME";
  a.jobdls = 3;
  a.jobbem = "Bemerkung \xFC";
  JobRow b = Row("01", "");
  b.jobda1 = "20240501000000";
  b.jobke2 = "SAME";
  ASSERT_EQ(SQLInsertFullJob(*session_, a), 0);
  ASSERT_EQ(SQLInsertFullJob(*session_, b), 0);
  ASSERT_EQ(session_->SQLCommit(), 0);

  std::vector<JobRow> rows;
  ASSERT_EQ(ReadQueueRows(*session_, "", &rows), 0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].jobda1.str(), "20240501000000");
  EXPECT_EQ(rows[1].jobnrt.str(), "20240510120000");
  EXPECT_EQ(rows[1].jobdls, 3);
  EXPECT_EQ(rows[1].jobbem.str(), "Bemerkung \xFC");
  rows.clear();
  ASSERT_EQ(ReadQueueRows(*session_, "03", &rows), 0);
  ASSERT_EQ(rows.size(), 1u);
  rows.clear();
  ASSERT_EQ(ReadQueueRowsNamed(*session_, "SAME", &rows), 0);
  EXPECT_EQ(rows.size(), 2u);
  rows.clear();
  ASSERT_EQ(ReadQueueRowsNamed(*session_, "NONE", &rows), 0);
  EXPECT_TRUE(rows.empty());
}

INSTANTIATE_TEST_SUITE_P(Engines, QueueViewRead,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr
