// A row committed while the real controller waits between passes starts
// within a blink, not at the next second: on SQLite and on PostgreSQL.
// The row is committed right after the controller has begun its wait (its
// debug log says the service answered), so without wake-ups it would wait
// for most of the 1000 ms pace; the bound below leaves a wide margin for a
// slow machine and still tells the two apart.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

#include "e2e/program_dir.h"
#include "support/test_database.h"
#include "support/test_pg.h"

namespace kvr::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kIni[] = "[JOBATR]\nMAXJOBS=3\nDBGLOG=1\n";
constexpr char kAnswered[] = "Service antwortet!";
constexpr int kRows = 3;
constexpr double kWellInsideOnePaceMs = 600;

double WallMs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

size_t Answers(const ProgramDir& dir) {
  std::string log = dir.Read("KVRJOBDBG.LOG");
  size_t n = 0;
  for (size_t at = log.find(kAnswered); at != std::string::npos; at = log.find(kAnswered, at + 1)) {
    ++n;
  }
  return n;
}

class WakeEndToEnd : public ::testing::TestWithParam<Engine> {};

TEST_P(WakeEndToEnd, ACommittedRowStartsWellInsideOnePace) {
  KVR_REQUIRE_ENGINE(GetParam());
  std::unique_ptr<ProgramDir> dir;
  if (GetParam() == Engine::Sqlite) {
    dir = std::make_unique<ProgramDir>("sqlite:kvr.db", "kvr", "demo", kIni);
  } else {
    KVR_PG_DATABASE(pg);
    dir = std::make_unique<ProgramDir>(pg.service, pg.login, pg.password, kIni);
  }
  // The job notes the wall clock of its start (milliseconds) in its file.
  std::ofstream(dir->File("jobstamp")) << "#!/bin/sh\ndate +%s%3N > \"$1\"\n";
  ASSERT_EQ(dir->Shell("chmod +x jobstamp"), 0);
  pid_t service =
      dir->StartServiceWithController(SpareInstance(GetParam() == Engine::Sqlite ? 8 : 9));
  auto db = dir->Connect();
  ASSERT_TRUE(WaitFor([&] { return Answers(*dir) >= 3; }, seconds(30))) << dir->MainLog();

  for (int i = 0; i < kRows; ++i) {
    const std::string name = "W" + std::to_string(i);
    const std::string stamp = dir->File(name + ".stamp");
    // Right after an answer, while the controller waits.
    size_t seen = Answers(*dir);
    ASSERT_TRUE(WaitFor([&] { return Answers(*dir) > seen; }, seconds(10), milliseconds(2)));
    double committed = WallMs();
    ASSERT_EQ(db->Execute("insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBCMD,JOBRTY,JOBSTV,"
                          "JOBMRT) values ('20240501000000','" +
                          name + "','./jobstamp " + stamp + "','01',0,0)"),
              0)
        << db->LastMessage();
    ASSERT_EQ(db->Commit(), 0);
    ASSERT_TRUE(WaitFor([&] { return dir->Read(name + ".stamp").size() > 10; }, seconds(20)));
    double started = std::stod(dir->Read(name + ".stamp"));
    EXPECT_LT(started - committed, kWellInsideOnePaceMs) << name;
  }
  kill(service, SIGTERM);
  EXPECT_EQ(WaitExit(service, seconds(40)), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, WakeEndToEnd, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr::test
