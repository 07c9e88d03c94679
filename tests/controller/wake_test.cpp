// The wait between passes: what ends it early (another program's change to
// the queue, a managed job's end), what does not (the controller's own
// writes), its bounds (one pass per wake, a minimum gap) and the switch that
// turns it off. The clock is the FakeEnv's; the database is real, so the
// engines' wake sources are the real ones.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>

#include "controller/controller_fixture.h"

namespace kvr::test {
namespace {

constexpr char kIni[] = "[JOBATR]\nMAXJOBS=3\n";

// Runs one pass and gives the milliseconds of fake time it took (the wait
// after its service contact, as nothing else moves the clock).
int64_t TimedPass(ControllerHarness& h) {
  int64_t before = h.env.SteadyMillis();
  EXPECT_TRUE(h.controller->RunPass());
  return h.env.SteadyMillis() - before;
}

// Waits (really) until the descriptor is readable: a PostgreSQL
// notification travels through the server before it can be read.
void AwaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
}

// A scripted event ms into a wait: a job's end, a stop, or the descriptor
// readable after the action ran.
FakeEnv::Wake At(int64_t ms, Pid endChild = 0, bool stop = false) {
  FakeEnv::Wake w;
  w.afterMs = ms;
  w.endChild = endChild;
  w.stop = stop;
  return w;
}
FakeEnv::Wake Readable(int64_t ms, int fd, std::function<void()> action = nullptr) {
  FakeEnv::Wake w = At(ms);
  w.fd = fd;
  w.action = std::move(action);
  return w;
}

class WakeByEngine : public ::testing::TestWithParam<Engine> {};

TEST_P(WakeByEngine, AnotherProgramsRowEndsTheWaitTheControllersOwnWritesDoNot) {
  KVR_REQUIRE_ENGINE(GetParam());
  ControllerHarness h(kIni, GetParam());
  ASSERT_TRUE(h.StartUp());
  TimedPass(h);  // the harness's clean-up after the start-up may end this wait
  EXPECT_EQ(TimedPass(h), 1000) << "a settled pass waits the whole pace";
  QueueWake& wake = h.controller->session().wake();
  ASSERT_TRUE(wake.open());

  // Readable without news (the engine's own traffic): the wait goes on.
  h.env.wakes.push_back(Readable(100, wake.fd()));
  EXPECT_EQ(TimedPass(h), 1000);

  // A row committed by another connection 300 ms into the wait: the pass
  // goes on at once and starts it.
  const int64_t wakesBefore = h.controller->paceWait()->wakes();
  h.env.wakes.push_back(Readable(300, wake.fd(), [&] {
    h.AddJob("01", "NEWJOB", "newjob");
    AwaitReadable(wake.fd());
  }));
  EXPECT_EQ(TimedPass(h), 300);
  EXPECT_EQ(h.Field("JOBSTS", "NEWJOB"), "01");
  EXPECT_EQ(h.controller->paceWait()->wakes(), wakesBefore + 1);
}

INSTANTIATE_TEST_SUITE_P(Engines, WakeByEngine, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

TEST(Wake, AJobsEndClosesItsRowAtOnceAndEachEndWakesOnce) {
  ControllerHarness h(kIni);
  ASSERT_TRUE(h.StartUp());
  h.AddJob("01", "JOBA", "joba");
  h.AddJob("01", "JOBB", "jobb");
  TimedPass(h);  // starts both (the test's writes woke it)
  ASSERT_EQ(h.Field("JOBSTS", "JOBA"), "01");
  Pid a = std::stoi(h.Field("JOBNUM", "JOBA"));
  Pid b = std::stoi(h.Field("JOBNUM", "JOBB"));

  // A ends 250 ms into the wait: the same pass closes its row.
  h.env.wakes.push_back(At(250, a));
  EXPECT_EQ(TimedPass(h), 250);
  EXPECT_EQ(h.Field("JOBSTS", "JOBA"), "98");
  EXPECT_EQ(h.Field("JOBSTS", "JOBB"), "01");

  // B ends 1 ms into the next wait: woken, but not before the minimum gap.
  h.env.wakes.push_back(At(1, b));
  EXPECT_EQ(TimedPass(h), PaceWait::kMinimumGapMs);
  EXPECT_EQ(h.Field("JOBSTS", "JOBB"), "98");
  EXPECT_EQ(h.controller->paceWait()->wakes(), 3);

  // Nothing new: the whole pace again.
  EXPECT_EQ(TimedPass(h), 1000);
}

TEST(Wake, AJobEndedButNotReapedWakesOnlyOnce) {
  FakeEnv env;
  PaceWait pace(env);
  Pid job = env.AddProcess({});
  pace.SetJobs([&](std::vector<Pid>* jobs) { jobs->push_back(job); });
  env.EndProcess(job);  // never reaped: the next pass has not run
  int64_t t0 = env.SteadyMillis();
  EXPECT_TRUE(pace.Wait(1000));
  EXPECT_FALSE(pace.Wait(1000));
  EXPECT_EQ(env.SteadyMillis() - t0, 1000) << "the first wake came at once";
}

TEST(Wake, SwitchedOffThePaceIsTheFullSecond) {
  ControllerHarness h("[JOBATR]\nMAXJOBS=3\nWAKEUPS=0\n");
  ASSERT_TRUE(h.StartUp());
  EXPECT_EQ(h.controller->paceWait(), nullptr);
  EXPECT_FALSE(h.controller->session().wake().open());
  h.AddJob("01", "JOBA", "joba");
  EXPECT_EQ(TimedPass(h), 1000);
  Pid a = std::stoi(h.Field("JOBNUM", "JOBA"));
  h.env.wakes.push_back(At(250, a));
  h.env.sleeps.clear();
  EXPECT_EQ(TimedPass(h), 1000);
  EXPECT_EQ(std::count(h.env.sleeps.begin(), h.env.sleeps.end(), 1000), 1);
  EXPECT_TRUE(h.env.waits.empty());
}

TEST(Wake, AStopEndsTheWaitAndThePassesAfterIt) {
  ControllerHarness h(kIni);
  ASSERT_TRUE(h.StartUp());
  TimedPass(h);
  h.env.wakes.push_back(At(400, 0, true));
  EXPECT_EQ(TimedPass(h), 400);
  EXPECT_FALSE(h.controller->RunPass());
}

}  // namespace
}  // namespace kvr::test
