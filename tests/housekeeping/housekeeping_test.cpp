// The housekeeping chores on both engines: clean-up, disk space, the MAP
// processing job's re-arming and the download check.
#include "housekeeping/housekeeping.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "jobs/registration_fixture.h"

namespace kvr::test {
namespace {

class HousekeepingTest : public RegistrationTest {
 public:
  void SetUp() override {
    RegistrationTest::SetUp();
    if (!world_) return;
    house_ = &world_->housekeeping();
  }
  long Messages(const std::string& like) {
    int32_t n = -1;
    Out out[] = {Out::Int(&n)};
    session().db().SelectOne(
        "select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like '%" + like + "%'", {}, out);
    return n;
  }
  Housekeeping* house_ = nullptr;
};

TEST_P(HousekeepingTest, CleanupOutsideAndInsideInstanceMode) {
  dir_.Write("transfer/Geraetezentrale/Zustrom.txt", "x");
  dir_.Write("transfer/Geraetezentrale/restwert.imp", "x");
  dir_.Write("transfer/Geraetezentrale/other.imp", "x");
  std::filesystem::create_directories(dir_.File("transfer/Geraetezentrale/tafelA.imp"));
  Exec(
      "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBRTY) values ('20000101000000','OLD','01')");
  house_->cleanupServer();
  EXPECT_FALSE(std::filesystem::exists(dir_.File("transfer/Geraetezentrale/Zustrom.txt")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("transfer/Geraetezentrale/restwert.imp")));
  EXPECT_TRUE(std::filesystem::exists(dir_.File("transfer/Geraetezentrale/other.imp")));
  EXPECT_EQ(Count("JOBKE2='OLD'"), 0);
  EXPECT_EQ(env_.killedImages, std::vector<std::string>{"LAUFPRUEF.EXE"});
  Start(3);
  world_->housekeeping().cleanupServer();
  EXPECT_EQ(env_.killedImages.size(), 1u);  // a numbered instance leaves it
}

TEST_P(HousekeepingTest, DiskSpaceRounds) {
  struct Case {
    const char* mount;
    uint64_t mountFree, rootFree;
    const char* lines;
    long warnings;
  };
  const uint64_t mb = 1048576;
  const Case cases[] = {
      {"/", 999 * mb, 999 * mb,
       "Laufwerk: /! Anzahl Laufwerke: 1\nLaufwerk: /! Anzahl Durchlauf: 0\n", 1},
      {"/data", 1000 * mb, 1000 * mb - 1,
       "Laufwerk: /data! Anzahl Laufwerke: 2\nLaufwerk: /data! Anzahl Durchlauf: 0\n"
       "Laufwerk: /! Anzahl Durchlauf: 1\n",
       1},
      {"/gone", 0, 5000 * mb,
       "Fehler bei der Speicherplatz\xFC"
       "berpr\xFC"
       "fung Laufwerk /gone!\n",
       0},
      {"", 0, 0, "Fehler bei der Laufwerksermittlung! RC: 0\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mount);
    Exec("delete from KVSYSTEM.KVR200MSG");
    dir_.Write("jobctl/KVRJOBCTL.LOG", "");
    env_.mountPoint = c.mount;
    env_.freeBytes.clear();
    if (c.mountFree) env_.freeBytes[c.mount] = c.mountFree;
    env_.freeBytes["/"] = c.rootFree;
    Housekeeping house = world_->housekeeping();  // a copy, its disk check not made yet
    house.CheckDiskSpace();
    std::string log = Log();
    std::string joined;
    for (size_t at = 0; at < log.size();) {  // the texts without time stamps
      size_t end = log.find('\n', at);
      joined += log.substr(at + 21, end - at - 20);
      at = end + 1;
    }
    EXPECT_NE(joined.find(c.lines), std::string::npos) << joined;
    EXPECT_EQ(Messages("sind nur noch 999 MB frei"), c.warnings);
  }
}

TEST_P(HousekeepingTest, DiskSpaceEveryFourHours) {
  env_.SetNow(1800000000);
  env_.freeBytes["/"] = 1;
  house_->CheckDiskSpace();
  env_.Advance(Housekeeping::kDiskCheckInterval - 1);
  house_->CheckDiskSpace();
  EXPECT_EQ(Messages("Auf Laufwerk / sind nur noch 0 MB"), 1);
  env_.Advance(1);
  house_->CheckDiskSpace();
  env_.SetNow(1800000000 - 86400);  // the clock was set back a day
  house_->CheckDiskSpace();
  EXPECT_EQ(Messages("Auf Laufwerk / sind nur noch 0 MB"), 3);
}

TEST_P(HousekeepingTest, MapJobRearmedByMonth) {
  registration_->SQLInsertNewJob();
  auto set = [&](const char* sts, const char* prm) {
    Exec(std::string("update KVSYSTEM.KVR500JOB set JOBSTS='") + sts + "',JOBPRM='" + prm +
         "',JOBSDA='x' where JOBKE2='MAP VERARBEITUNG'");
  };
  struct Step {
    const char* stamp;
    const char* sts;
    const char* prm;
    const char* wantSts;
    const char* wantPrm;
  };
  const Step steps[] = {
      {"20261207080000", "98", "0", "  ", "2"},  // first pass: with the delete parameter
      {"20261207080001", "99", "0", "99", "0"},  // same month, parameter 0: left
      {"20261207080002", "99", "1", "  ", "1"},  // same month, parameter above 0
      {"20261207080003", "01", "1", "01", "1"},  // still running
      {"20270101000000", "98", "0", "  ", "2"},  // new month
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.stamp);
    set(s.sts, s.prm);
    house_->checkMAPVerarbeitungsjob(s.stamp);
    EXPECT_EQ(Field("JOBSTS", "JOBKE2='MAP VERARBEITUNG'"), s.wantSts);
    EXPECT_EQ(Field("JOBPRM", "JOBKE2='MAP VERARBEITUNG'"), s.wantPrm);
  }
  Exec("delete from KVSYSTEM.KVR500JOB where JOBKE2='MAP VERARBEITUNG'");
  house_->checkMAPVerarbeitungsjob("20270101000001");  // deleted by an operator
  EXPECT_FALSE(Logged("Updatefehler"));
}

TEST_P(HousekeepingTest, Downloads) {
  house_->CheckDownloads("ORACLE");
  EXPECT_TRUE(Logged("Info: Anzahl der unterbrochener Downloads: 0.\n"));
  EXPECT_FALSE(Logged("Datenexport"));
  Exec(
      "insert into KVSYSTEM.KVRAUTODNL (DNLKEY,DNLPOS,DNLUSR,DNLSTA,DNLERR) values "
      "(1,1,'u',3,0),(2,1,'DNL-Plan Antrag',3,0),(1,2,'u',7,11)");
  house_->CheckDownloads("ORACLE");
  EXPECT_TRUE(Logged("Info: Anzahl der unterbrochener Downloads: 2.\n"));
  EXPECT_TRUE(Logged("Info: Es wird ein neuer Datenexport initiiert.\n"));
  EXPECT_EQ(Count("JOBKE2='Export KVRJOBSTR'"), 1);
  EXPECT_EQ(env_.killedImages, (std::vector<std::string>{"ZULADE_ORACLE.EXE", "VORLADE.EXE"}));
  Exec("drop table KVSYSTEM.KVRAUTODNL");
  house_->CheckDownloads("ORACLE");
  EXPECT_TRUE(Logged("Fehler in SQLCountUnfinishedDnlJobs! RC: -942\n"));
}

INSTANTIATE_TEST_SUITE_P(Engines, HousekeepingTest,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr::test
