// A controller that finds the queue held by another: it waits as standby
// (contacts, no rows, no status row, no messages), takes over once the lock
// frees, and falls back to standby when a reconnect finds the lock taken.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "controller/controller_fixture.h"
#include "platform/posix_env.h"
#include "support/test_pg.h"

namespace kvr::test {
namespace {

constexpr char kStandbyLine[] =
    "Warteschlange wird bereits von einem anderen Jobcontroller bearbeitet, warte als "
    "Bereitschaft!";

// The lock file of the harness's SQLite queue, as the backend names it.
std::string LockPath(const ControllerHarness& h) {
  std::string file = h.database.service.substr(h.database.service.find(':') + 1);
  return std::filesystem::weakly_canonical(file).string() + ".lock";
}

long StatusRows(ControllerHarness& h) {
  return h.Count("select count(*) from KVSYSTEM.KVR500JOB where JOBRTY = '99'");
}
long Messages(ControllerHarness& h) { return h.Count("select count(*) from KVSYSTEM.KVR200MSG"); }

// What a standby must not do, whatever kept it from the lock.
void ExpectIdleStandby(ControllerHarness& h, size_t contactsBefore) {
  EXPECT_TRUE(h.controller->standby());
  EXPECT_GT(h.env.serviceCalls.size(), contactsBefore) << "no contacts";
  EXPECT_TRUE(h.env.spawned.empty());
  EXPECT_EQ(h.Field("JOBSTS", "WAITING"), "");
  EXPECT_EQ(StatusRows(h), 0);
  EXPECT_EQ(Messages(h), 0);
  EXPECT_FALSE(std::filesystem::exists(h.programDir() + "/NLF"));
}

struct BlockCase {
  const char* name;
  bool busy;  // another holder; else the lock file cannot be made
  const char* wantLine;
};

class StandbyBlocked : public ::testing::TestWithParam<BlockCase> {};

TEST_P(StandbyBlocked, WaitsWithoutTouchingTheQueueAndTakesOverWhenFree) {
  const BlockCase& c = GetParam();
  ControllerHarness h;
  const std::string lock = LockPath(h);
  if (c.busy) {
    h.env.fileLocks[lock] = "otherhost 777";
  } else {
    h.env.fileLockErrors[lock] = EACCES;
  }
  ASSERT_TRUE(h.controller->StartUp());
  h.AddJob("01", "WAITING", "worker run");
  size_t contacts = h.env.serviceCalls.size();
  for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(h.controller->RunPass());
  ExpectIdleStandby(h, contacts);
  std::string log = h.MainLog();
  EXPECT_EQ(CountOf(log, c.wantLine), 1u) << log;
  if (!c.busy) {
    EXPECT_TRUE(Contains(log, lock.substr(lock.rfind('/')) + ": Permission denied")) << log;
  }
  EXPECT_FALSE(Contains(log, "Ende Initialisierung")) << log;

  if (c.busy) {
    // Another holder is named in a line of its own, once.
    h.env.fileLocks[lock] = "otherhost 888";
    ASSERT_TRUE(h.controller->RunPass());
    ASSERT_TRUE(h.controller->RunPass());
    EXPECT_EQ(CountOf(h.MainLog(), "(otherhost 888)"), 1u) << h.MainLog();
    h.env.fileLocks.erase(lock);
  } else {
    h.env.fileLockErrors.clear();
  }
  ASSERT_TRUE(h.controller->RunPass());  // takes the lock, runs the start-up
  EXPECT_FALSE(h.controller->standby());
  EXPECT_EQ(h.env.fileLocks[lock], "fakehost 4242");
  log = h.MainLog();
  EXPECT_TRUE(Contains(log, "Sperre der Warteschlange erhalten")) << log;
  EXPECT_TRUE(Contains(log, "Ende Initialisierung + Beginn Verarbeitung!")) << log;
  h.controller->session().SQLCommit();
  EXPECT_EQ(h.Count("select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like "
                    "'%Der Jobcontroller wurde gestartet!%'"),
            1);
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "WAITING"), "01");
  EXPECT_EQ(StatusRows(h), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, StandbyBlocked,
    ::testing::Values(BlockCase{"Busy", true, kStandbyLine},
                      BlockCase{
                          "LockFileFails", false,
                          "Sperre der Warteschlange nicht m\xF6glich, warte als Bereitschaft!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Standby, EndsQuietlyWhenTheServiceStopsAnswering) {
  ControllerHarness h;
  h.env.fileLocks[LockPath(h)] = "otherhost 777";
  int calls = 0;
  h.env.service = [&calls](const std::string&) {
    ServiceReply r;
    r.answered = ++calls <= 3;
    r.error = r.answered ? 0 : 111;
    return r;
  };
  EXPECT_EQ(h.controller->Run(), 0);
  std::string log = h.MainLog();
  EXPECT_TRUE(Contains(log, "Jobcontroller in Bereitschaft wird beendet!")) << log;
  EXPECT_FALSE(Contains(log, "Alle verwalteten Jobs beenden!")) << log;
  EXPECT_EQ(Messages(h), 0);
}

// PostgreSQL: the controller's session is ended by the server, another
// session takes the lock before the controller reconnects.
TEST(Standby, ReconnectThatFindsTheLockTakenWorksNoRows) {
  KVR_REQUIRE_ENGINE(Engine::Postgres);
  ControllerHarness h("[JOBATR]\nMAXJOBS=3\n", Engine::Postgres);
  ASSERT_TRUE(h.database.ok);
  ASSERT_TRUE(h.StartUp());
  h.AddJob("01", "FIRST", "worker one");
  ASSERT_TRUE(h.controller->RunPass());
  ASSERT_EQ(h.Field("JOBSTS", "FIRST"), "01");

  PosixEnv real;
  auto rival = MakeConnection();
  ASSERT_EQ(rival->Connect(h.database.connectText()), 0);
  h.Exec(
      "select pg_terminate_backend(pid) from pg_stat_activity where application_name = "
      "'KVRJOBSTR fakehost 4242'");
  bool taken = false;
  for (int i = 0; i < 50 && !taken; ++i) {
    taken = rival->TryQueueLock(real, {"KVRJOBSTR", "otherhost 9", "KVSYSTEM"}).held();
    rival->Commit();
    if (!taken) real.SleepMs(100);
  }
  ASSERT_TRUE(taken);
  h.AddJob("01", "SECOND", "worker two");
  for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(h.controller->RunPass());
  EXPECT_TRUE(h.controller->standby());
  EXPECT_EQ(h.Field("JOBSTS", "SECOND"), "");
  EXPECT_EQ(h.env.spawned.size(), 1u);
  EXPECT_TRUE(h.env.killedIds.empty()) << "the jobs are the holder's to supervise now";
  EXPECT_EQ(CountOf(h.MainLog(), "(otherhost 9)"), 1u) << h.MainLog();

  rival.reset();  // the holder ends
  bool back = false;
  for (int pass = 0; pass < 50 && !back; ++pass) {
    ASSERT_TRUE(h.controller->RunPass());
    back = !h.controller->standby();
    if (!back) real.SleepMs(100);
  }
  ASSERT_TRUE(back);
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "SECOND"), "01");
  h.controller->ShutDown();
}

}  // namespace
}  // namespace kvr::test
