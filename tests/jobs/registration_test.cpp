// The start-up registration on both engines: the walk over leftover
// standing jobs, the per-client and per-person jobs, the standing system
// programs and the controller's own system jobs.
#include <gtest/gtest.h>

#include "exec/exec_text.h"
#include "jobs/registration_fixture.h"
#include "platform/job_mark.h"

namespace kvr::test {
namespace {

void AddRow(RegistrationTest& t, const std::string& ke2, const std::string& nam,
            const std::string& num, int stv, const std::string& sda = "20261207080000") {
  t.Exec(
      "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBRTY,JOBSTS,JOBNAM,JOBNUM,JOBSDA,JOBSTV)"
      " values ('20000101120000','" +
      ke2 + "','04','01','" + nam + "','" + num + "','" + sda + "'," + std::to_string(stv) + ")");
}

TEST_P(RegistrationTest, WalkEndsAndDeletesOnlyKnownPrograms) {
  registration_->CheckRT04Jobs(programDbWord_);  // an empty table: no line at all
  EXPECT_EQ(Log(), "");
  AddRow(*this, "A", "qev_oracle.exe", "4711", 5);
  AddRow(*this, "B", "unknown", "4712", 0);
  AddRow(*this, "C", "kundenprog.exe", "4713", 11);
  AddRow(*this, "D", "", "", 0);
  registration_->CheckRT04Jobs(programDbWord_);
  EXPECT_EQ(Count("JOBKE2 in ('A','B')"), 0);
  EXPECT_EQ(Count("JOBKE2 in ('C','D')"), 2);
  EXPECT_EQ(Field("JOBSTV", "JOBKE2='C'"), "0");  // attempts reset
  EXPECT_TRUE(env_.killedImages.empty());         // leftovers are ended only by their mark
  EXPECT_EQ(Log(), "");
}

// In instance mode the row's id is ended only while it is still the job's
// process: one created after the job's start has taken the id over.
TEST_P(RegistrationTest, InstanceWalkSparesAProcessThatTookTheIdOver) {
  Start(2);
  std::string path = dir_.path() + "/jobctl/HWN.EXE";
  int64_t started = *LatestTimeOfStamp(env_, "20261207080000");
  FakeEnv::Process process;
  process.baseName = "HWN.EXE";
  process.path = path;
  process.startTime = started - 60;
  JobMark mark{world_->executor().markOwner(), "20000101120000", "OWN", "20261207080000"};
  for (const std::string& var : JobMarkEnvironment(mark)) process.environment += var + '\0';
  Pid own = env_.AddProcess(process);
  process.startTime = started + 3600;
  process.environment.clear();  // a process of another start that took the id
  Pid other = env_.AddProcess(process);
  AddRow(*this, "OWN", "hwn.exe", std::to_string(own), 0);
  AddRow(*this, "OTHER", "hwn.exe", std::to_string(other), 0);
  registration_->CheckRT04Jobs(programDbWord_);
  EXPECT_EQ(env_.killedIds, std::vector<Pid>{own});
  EXPECT_TRUE(env_.killedImages.empty());
  EXPECT_TRUE(Logged("Prozess wurde nicht beendet: PID " + std::to_string(other) +
                     " ist nicht der Prozess des Jobs (Start: 20261207080000)!\n"));
  EXPECT_EQ(Count("JOBRTY='04'"), 0);  // both rows go all the same
}

TEST_P(RegistrationTest, ClientAndPersonJobs) {
  for (const char* file : {"LMD.EXE", "HWN.EXE", "PLANABGLEICH_ORACLE.EXE", "KVRRECLBR"}) {
    dir_.Write(std::string("jobctl/") + file, "");
  }
  AddClient("MANDANT1", "12345", "01", 2);
  Exec("insert into MANDANT1.KVR303SBE (SBEDTQ,SBEPNR,SBEQEV) values (' ','9',1)");
  Exec("insert into MANDANT1.KVR303SBE (SBEDTQ,SBEPNR,SBEQEV) values ('user0','0',0)");
  Exec("insert into MANDANT1.KVR701PLG (PLGNUM,PLGBEZ) values ('1','Gruppe')");
  AddClient("MANDANT2", "12345", "02");
  Exec("insert into MANDANT2.KVR303SBE (SBEDTQ,SBEPNR,SBEQEV) values ('user3','3',1)");
  Exec(
      "insert into KVSYSTEM.KVR112MND (MNDLIZ,MNDNUM,MNDSCH,MNDNA1,MNDKON) values "
      "('1','1','FIRMA','Firma 1',0),('1','2','KONS','Kons',1),('1','3','X;DROP','Y',0),"
      "('1','4',' ','Z',0),('1','5','NOPNR','W',0)");
  registration_->AddRT04Jobs(programDbWord_);
  const std::pair<const char*, long> counts[] = {
      {"JOBURV='MANDANT1' and JOBKE2='Schema: MANDANT1'", 1},
      {"JOBURV='MANDANT1!' and JOBCMD='KVRREC_ORACLE.EXE ..\\files\\1234501.ini "
       "USER:MANDANT1#KORR'",
       1},
      {"JOBURV='LMD:MANDANT2' and JOBDA1='20000101120005'", 1},
      {"JOBURV like 'PLANABGLEICH:%'", 1},  // only MANDANT1 has planning groups
      {"JOBKE2 like 'PNR: %'", 3 * 2},      // QEV and HWN for each of three persons
      {"JOBCMD='QEV_ORACLE.EXE ..\\files\\1234502.ini USER:user3#3'", 1},
      {"JOBCMD='HWN.EXE ..\\files\\1234501.ini USER:MANDANT1#user2'", 1},
      {"JOBURV='LMD:user3' and JOBKE2='Schema: user3'", 1},
      {"JOBURV like 'FJO:%'", 0},
      {"JOBKE2='/LBR' and JOBCMD='KVRREC_ORACLE.EXE /LBR'", 1},
      {"JOBURV in ('FIRMA','KONS','X;DROP','NOPNR') or JOBURV like '%user0%'", 0},
      {"JOBRTY<>'04' or JOBMRT<>0 or JOBSTV<>0", 0},
  };
  for (auto [where, n] : counts) EXPECT_EQ(Count(where), n) << where;
  EXPECT_TRUE(Logged("Mandant uebersprungen: ungueltiger Schemaname 'X;DROP'!\n"));
  EXPECT_TRUE(Logged("Mandant uebersprungen: ungueltiger Schemaname ''!\n"));
  EXPECT_FALSE(Logged("Insert-Fehler"));
}

TEST_P(RegistrationTest, InstanceNumberAndWidths) {
  Start(2);
  AddClient("M2345678901234567890", "1", "1", 1);  // 20 characters
  registration_->AddQEVJobs(std::string(300, 'W'));
  EXPECT_EQ(Field("JOBURV", "JOBURV like 'M2345678901234567890!'"), "M2345678901234567890!");
  std::string cmd =
      Field("JOBCMD", "JOBKE2='Schema: M2345678901234567890' and JOBDA1='20000101120000'");
  EXPECT_EQ(cmd.size(), 256u);
  Exec("delete from KVSYSTEM.KVR500JOB");
  registration_->AddQEVJobs(programDbWord_);
  EXPECT_EQ(Count("JOBCMD like '%#ALLE 2'"), 1);
  EXPECT_EQ(Count("JOBCMD like '%#KORR 2'"), 1);
  EXPECT_EQ(Count("JOBKE2 like 'PNR:%' and JOBCMD like '% 2'"), 0);
}

TEST_P(RegistrationTest, ElevenClientsAllReachThePersonPass) {
  for (int c = 1; c <= 11; ++c) AddClient("MND" + std::to_string(c), "1", std::to_string(c), 1);
  registration_->AddQEVJobs(programDbWord_);
  EXPECT_EQ(Count("JOBURV like 'MND%!'"), 11);
  // Every client's person 1 has the same key: the first is registered, the
  // ten others are refused as duplicates.
  EXPECT_EQ(Count("JOBKE2='PNR: 1'"), 1);
  std::string log = Log(), line = "Insert-Fehler: QEV Jobeintrag fuer Schema user1 User: PNR: 1";
  int refused = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++refused;
  EXPECT_EQ(refused, 10);
}

TEST_P(RegistrationTest, StandingSystemProgramsWhenPresent) {
  registration_->AddRT04Jobs(programDbWord_);
  EXPECT_EQ(Count("JOBKE2 in ('Systemjob','SystemJob')"), 0);
  for (const char* f : {"gerlink/kanalwacht.exe", "GerLink/Stellwerk.exe", "ArchivZug.exe"}) {
    dir_.Write(std::string("jobctl/") + f, "");
  }
  registration_->AddRT04Jobs(programDbWord_);
  registration_->AddRT04Jobs(programDbWord_);  // the rows exist: each insert fails and is logged
  EXPECT_EQ(Count("JOBKE2 in ('Systemjob','SystemJob')"), 3);
  EXPECT_EQ(Field("JOBCMD", "JOBURV='Stellwerk'"),
            "./GerLink/Stellwerk.exe ../files/veltronia.ini");
  EXPECT_TRUE(Logged("Insert RT04Job(2): Kanalwacht! RC: -1\n"));
  EXPECT_TRUE(Logged("Insert-Fehler: ArchivZug Jobeintrag RC: -1!\n"));
}

TEST_P(RegistrationTest, SystemJobsOnFirstAndSecondStart) {
  dailyJobTime_ = "184500";
  env_.SetLocalTime(2026, 12, 7, 9, 30, 0);
  Start(-1);
  Exec(
      "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBRTY) values "
      "('20000101070000','ERINNERUNGSMAILS SYSTEMJOB','03')");
  registration_->SQLInsertNewJob();
  registration_->AddRT03SystemJobs(env_.Now());
  EXPECT_EQ(Field("JOBSTS", "JOBKE2='MAP VERARBEITUNG'"), "98");
  EXPECT_EQ(Field("JOBDA1", "JOBKE2='Export KVRJOBSTR'"), "20261207093000");
  EXPECT_EQ(Field("JOBNRT", "JOBKE2='DAILY SYSTEMJOB'"), "20261207184500");
  EXPECT_EQ(Field("JOBNRT", "JOBKE2='INTERVALL SYSTEMJOB'"), "20261207093000");
  EXPECT_EQ(Count("JOBKE2='ERINNERUNGSMAILS SYSTEMJOB'"), 0);
  EXPECT_TRUE(Logged("- Der daily Systemjob wurde eingetragen!\n"));
  EXPECT_TRUE(Logged("- Der Intervall Systemjob wurde eingetragen!\n"));

  // Second start the same second: the export collides, the MAP row exists,
  // the timed rows are only updated.
  dir_.Write("jobctl/KVRJOBCTL.LOG", "");
  Start(-1);
  registration_->SQLInsertNewJob();
  EXPECT_EQ(registration_->AddRT03SystemJobs(env_.Now()), 0);
  EXPECT_FALSE(Logged("wurde eingetragen"));
  EXPECT_TRUE(Logged("Insert RT01Job(1): VEL EXPORT! RC: -1\n"));
  EXPECT_FALSE(Logged("MAP VERARBEITUNG"));
  EXPECT_EQ(Count("JOBKE2 like '%SYSTEMJOB'"), 2);
}

// A refused insert of a missing timed system job is not reported as made.
TEST_P(RegistrationTest, RefusedSystemJobInsertIsNotReportedAsMade) {
  if (GetParam() == Engine::Sqlite) {
    Exec(
        "create trigger refuse before insert on \"KVSYSTEM.KVR500JOB\" when "
        "NEW.JOBKE2='DAILY SYSTEMJOB' begin select raise(abort, 'refused'); end");
  } else {
    Exec(
        "create function kvsystem.refuse() returns trigger language plpgsql as $$ begin "
        "if NEW.jobke2 = 'DAILY SYSTEMJOB' then raise exception 'refused'; end if; "
        "return NEW; end $$");
    Exec(
        "create trigger refuse before insert on kvsystem.kvr500job for each row execute "
        "function kvsystem.refuse()");
  }
  registration_->AddRT03SystemJobs(env_.Now());
  EXPECT_TRUE(Logged("- Fehler beim Anlegen des daily Systemjobs! RC: "));
  EXPECT_TRUE(Logged("- Fehler beim Update des daily Systemjobs! RC: 1403\n"));
  EXPECT_FALSE(Logged("- Der daily Systemjob wurde eingetragen!\n"));
  EXPECT_TRUE(Logged("- Der Intervall Systemjob wurde eingetragen!\n"));
}

INSTANTIATE_TEST_SUITE_P(Engines, RegistrationTest,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr::test
