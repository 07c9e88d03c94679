// The operator's commands as a new user runs them: the real kvrjobctl in a
// program directory, against SQLite and PostgreSQL, with a real controller
// where the answer depends on one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>

#include "e2e/program_dir.h"
#include "support/test_database.h"
#include "support/test_pg.h"

namespace kvr::test {
namespace {

using std::chrono::seconds;

struct Result {
  int status;
  std::string output;  // standard output and error
};

Result Ctl(ProgramDir& dir, const std::string& args) {
  int status = dir.Shell("./kvrjobctl " + args + " >ctl.out 2>&1");
  return {status, dir.Read("ctl.out")};
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A program directory on the engine, or null when the engine is not set up.
std::unique_ptr<ProgramDir> MakeDir(Engine engine) {
  if (engine == Engine::Sqlite) return std::make_unique<ProgramDir>("sqlite:kvr.db", "kvr", "demo");
  PgDatabase pg = CreatePgDatabaseForCurrentTest();
  if (!pg.ok) return nullptr;
  return std::make_unique<ProgramDir>(pg.service, pg.login, pg.password);
}

#define KVR_PROGRAM_DIR(var, engine)                            \
  KVR_REQUIRE_ENGINE(engine);                                   \
  std::unique_ptr<ProgramDir> var = MakeDir(engine);            \
  if (!var) {                                                   \
    if (PgRequired()) FAIL() << "PostgreSQL database not made"; \
    GTEST_SKIP() << "PostgreSQL database not made";             \
  }

void Insert(Connection& db, const std::string& ke2, const std::string& rty, const std::string& sts,
            const std::string& nrt = "", const std::string& dlt = "", int dls = 0, int stv = 0,
            const std::string& da1 = "20240501000000") {
  auto text = [](const std::string& v) { return v.empty() ? std::string("NULL") : "'" + v + "'"; };
  std::string sql =
      "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBRTY,JOBSTS,JOBNRT,JOBDLT,"
      "JOBDLS,JOBSTV,JOBMRT,JOBNUM) values ('" +
      da1 + "','" + ke2 + "',NULL,'./JobSleep 1','" + rty + "'," + text(sts) + "," + text(nrt) +
      "," + text(dlt) + "," + std::to_string(dls) + "," + std::to_string(stv) + ",0," +
      (sts == "01" ? "'4711'" : "NULL") + ")";
  ASSERT_EQ(db.Execute(sql), 0) << sql << ": " << db.LastMessage();
  ASSERT_EQ(db.Commit(), 0);
}

std::string Column(Connection& db, const std::string& column, const std::string& ke2) {
  return QueryText(db,
                   "select " + column + " from KVSYSTEM.KVR500JOB where JOBKE2 = '" + ke2 + "'");
}

class KvrjobctlOnEngine : public ::testing::TestWithParam<Engine> {};

TEST_P(KvrjobctlOnEngine, StatusTellsNoControllerAWorkingOneAndAKilledOne) {
  KVR_PROGRAM_DIR(dir, GetParam());
  Result r = Ctl(*dir, "status --wait 1");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Has(r.output, "no controller has worked this queue yet")) << r.output;

  dir->InstallProgram("/bin/sleep", "JobSleep");
  ASSERT_EQ(Ctl(*dir, "add --name LONG --command './JobSleep 60'").status, 0);
  int instance = UniqueInstance(GetParam() == Engine::Sqlite ? 7 : 8);
  pid_t service = dir->StartService(instance);
  pid_t controller = dir->StartController(std::to_string(instance));
  auto db = dir->Connect();
  ASSERT_TRUE(WaitFor([&] { return Column(*db, "JOBSTS", "LONG") == "01"; })) << dir->MainLog();
  r = Ctl(*dir, "status --wait 10");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "a controller works the queue")) << r.output;
  EXPECT_TRUE(Has(r.output, " " + std::to_string(controller) + ")"))
      << "holder named: " << r.output;
  EXPECT_TRUE(Has(r.output, "NLF present")) << r.output;
  EXPECT_TRUE(Has(r.output, "1 running")) << r.output;
  EXPECT_EQ(Column(*db, "JOBSTS", "VIVOROVOZE STATUSJOB"), "");

  // Killed, it leaves its flag file, and its lock is free.
  kill(controller, SIGKILL);
  WaitExit(controller);
  r = Ctl(*dir, "status --wait 2");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Has(r.output, "the flag file NLF is here, but no controller holds the queue"))
      << r.output;
  EXPECT_EQ(Column(*db, "JOBSTS", "VIVOROVOZE STATUSJOB"), "") << "status wrote to the queue";

  std::string job = Column(*db, "JOBNUM", "LONG");
  if (!job.empty()) kill(std::stoi(job), SIGKILL);
  kill(service, SIGTERM);
  EXPECT_EQ(WaitExit(service, seconds(40)), 0);
}

struct RunNowCase {
  const char* ke2;
  const char* rty;
  const char* sts;
  const char* nrt;
  const char* dlt;
  int dls, stv;
  int wantExit;
  const char* wantSts;  // "" for blank; "now" below stands for a fresh time
  const char* wantNrt;
  const char* wantDlt;
  int wantDls, wantStv;
};

TEST_P(KvrjobctlOnEngine, RunNowMakesEachRunTypeDueAndRefusesWhatItMustNot) {
  KVR_PROGRAM_DIR(dir, GetParam());
  auto db = dir->Connect();
  const RunNowCase cases[] = {
      {"SINGLE", "01", "98", "", "", 0, 1, 0, "", "", "", 0, 1},
      {"GIVENUP", "01", "90", "", "", 0, 11, 0, "", "", "", 0, 0},
      {"EXCL", "05", "98", "", "29991231000000", 0, 0, 0, "", "", "", 0, 0},
      {"STANDING", "04", "90", "", "", 0, 11, 0, "", "", "", 0, 0},
      {"FOLLOWUP", "09", "99", "", "", 0, 0, 0, "", "", "", 0, 0},
      {"TIMED", "03", "97", "20240501000000", "", 2, 0, 0, "00", "now", "", 2, 0},
      {"CLOSING", "08", "98", "29991231000000", "", 0, 0, 0, "00", "now", "", 0, 0},
      {"SCHEDULED", "07", "00", "29991231063000", "", 0, 0, 0, "00", "now", "", 1, 0},
      {"RUNNING", "01", "01", "", "", 0, 1, 1, "01", "", "", 0, 1},
      {"UNMANAGED", "06", "", "", "", 0, 0, 1, "", "", "", 0, 0},
  };
  for (const RunNowCase& c : cases) Insert(*db, c.ke2, c.rty, c.sts, c.nrt, c.dlt, c.dls, c.stv);
  for (const RunNowCase& c : cases) {
    SCOPED_TRACE(c.ke2);
    Result r = Ctl(*dir, std::string("run-now ") + c.ke2);
    EXPECT_EQ(r.status, c.wantExit) << r.output;
    EXPECT_EQ(Column(*db, "JOBSTS", c.ke2), c.wantSts);
    std::string nrt = Column(*db, "JOBNRT", c.ke2);
    if (std::string(c.wantNrt) == "now") {
      EXPECT_EQ(nrt.size(), 14u);
      EXPECT_LT(nrt, "29991231000000");
      EXPECT_GT(nrt, "20240501000000");
    } else {
      EXPECT_EQ(nrt, c.nrt);
    }
    EXPECT_EQ(Column(*db, "JOBDLT", c.ke2), c.wantDlt);
    EXPECT_EQ(
        QueryCount(*db, std::string("select JOBDLS from KVSYSTEM.KVR500JOB where JOBKE2 = '") +
                            c.ke2 + "'"),
        c.wantDls);
    EXPECT_EQ(
        QueryCount(*db, std::string("select JOBSTV from KVSYSTEM.KVR500JOB where JOBKE2 = '") +
                            c.ke2 + "'"),
        c.wantStv);
  }
  Result r = Ctl(*dir, "run-now RUNNING");
  EXPECT_TRUE(Has(r.output, "the job is running (process 4711)")) << r.output;

  // Keys that name no row, or more than one.
  Insert(*db, "TWICE", "01", "98", "", "", 0, 0, "20240502000000");
  Insert(*db, "TWICE", "01", "98", "", "", 0, 0, "20240503000000");
  const std::pair<const char*, const char*> keys[] = {
      {"NOSUCHJOB", "no job 'NOSUCHJOB' in the queue"},
      {"TWICE", "2 jobs are named 'TWICE'; give one of their keys"},
  };
  for (auto [key, text] : keys) {
    r = Ctl(*dir, std::string("run-now ") + key);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(Has(r.output, text)) << r.output;
  }
  r = Ctl(*dir, "run-now 20240503000000/TWICE");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(QueryCount(*db,
                       "select count(*) from KVSYSTEM.KVR500JOB where JOBKE2 = 'TWICE' "
                       "and JOBSTS is null"),
            1);
}

TEST_P(KvrjobctlOnEngine, ErrorsSayWhatToDo) {
  KVR_PROGRAM_DIR(dir, GetParam());
  ASSERT_EQ(dir->Shell("mkdir empty"), 0);
  Result r = {dir->Shell("cd empty && ../kvrjobctl status >../ctl.out 2>&1"), dir->Read("ctl.out")};
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Has(r.output, "write the file with kvrjobctl credentials")) << r.output;
  auto db = dir->Connect();
  ASSERT_EQ(db->Execute("drop table KVSYSTEM.KVR500JOB"), 0) << db->LastMessage();
  db->Commit();
  r = Ctl(*dir, "list");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Has(r.output, "run kvrjobctl init")) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Engines, KvrjobctlOnEngine,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

TEST(Kvrjobctl, WrongPasswordOnPostgresSaysToWriteTheCredentialsAnew) {
  KVR_PG_DATABASE(pg);
  ProgramDir dir(pg.service, pg.login, pg.password);
  ASSERT_EQ(Ctl(dir, "credentials --service '" + pg.service + "' --schema KVSYSTEM --login '" +
                         pg.login + "' --password wrongpw")
                .status,
            0);
  Result r = Ctl(dir, "status");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Has(r.output, "the login or password is wrong")) << r.output;
}

// A file in place of the credential file that is none: its deciphered
// bytes never reach the terminal as control characters.
TEST(Kvrjobctl, GarbageCredentialFileNeverDrivesTheTerminal) {
  ProgramDir dir("sqlite:kvr.db", "kvr", "demo");
  ASSERT_EQ(dir.Shell("printf 'hello\\033[31mred\\nline2\\n' > VELTRONIA.INI"), 0);
  Result r = Ctl(dir, "list");
  EXPECT_EQ(r.status, 1) << r.output;
  for (char c : r.output) {
    EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << r.output;
  }
}

TEST(Kvrjobctl, ListShowsRunningFirstAndFiltersByRunTypeAndState) {
  ProgramDir dir("sqlite:kvr.db", "kvr", "demo");
  auto db = dir.Connect();
  Insert(*db, "DONE", "01", "98", "", "", 0, 1, "20240501000000");
  Insert(*db, "WAITS", "03", "00", "29991231000000", "", 2, 0, "20240502000000");
  Insert(*db, "RUNS", "01", "01", "", "", 0, 1, "20240503000000");
  Insert(*db, "VIVOROVOZE STATUSJOB", "99", "", "", "", 0, 0, "99999999999999");
  struct Case {
    const char* args;
    std::vector<const char*> shown, hidden;
  };
  const Case cases[] = {
      {"list",
       {"RUNS", "WAITS", "01 running", "00 scheduled", "2999-12-31 00:00:00"},
       {"DONE", "STATUSJOB"}},
      {"list --all", {"DONE", "98 ended", "STATUSJOB", "99  waiting"}, {}},
      {"list --run-type 03", {"WAITS", "waiting"}, {"RUNS"}},
      {"list --json --all", {"\"jobke2\": \"DONE\"", "\"state\": \"running\""}, {"KEY  "}},
  };
  for (const Case& c : cases) {
    Result r = Ctl(dir, c.args);
    SCOPED_TRACE(c.args);
    EXPECT_EQ(r.status, 0) << r.output;
    for (const char* s : c.shown) EXPECT_TRUE(Has(r.output, s)) << s << "\n" << r.output;
    for (const char* s : c.hidden) EXPECT_FALSE(Has(r.output, s)) << s << "\n" << r.output;
  }
  Result r = Ctl(dir, "list");
  EXPECT_LT(r.output.find("RUNS"), r.output.find("WAITS")) << "running rows come first";
  r = Ctl(dir, "show WAITS");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "run type (JOBRTY)      03 timed")) << r.output;
  EXPECT_TRUE(Has(r.output, "next run (JOBNRT)      2999-12-31 00:00:00")) << r.output;
  EXPECT_FALSE(Has(r.output, "output file")) << "no output folder configured";
}

TEST(Kvrjobctl, ShowPrintsTheTailOfTheLatestOutputFileOfTheKey) {
  ProgramDir dir("sqlite:kvr.db", "kvr", "demo", "[JOBATR]\nJOBOUTDIR=out\n");
  auto db = dir.Connect();
  Insert(*db, "DONE", "01", "98");
  Insert(*db, "QUIET", "01", "98", "", "", 0, 0, "20240502000000");
  ASSERT_EQ(dir.Shell("mkdir out && seq 1 30 > out/20240501000000_DONE.log && "
                      "printf 'bell\\007 clear\\033[2J\\n' >> out/20240501000000_DONE.log && "
                      "echo older > out/20240401000000_DONE.log && "
                      "echo theirs > out/20240601000000_X_DONE.log"),
            0);
  Result r = Ctl(dir, "show DONE");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "output file            " + dir.File("out/20240501000000_DONE.log")))
      << r.output;
  EXPECT_TRUE(Has(r.output, "\n12\n13\n")) << r.output;
  EXPECT_TRUE(Has(r.output, "\nbell? clear?[2J\n")) << "no terminal escapes: " << r.output;
  EXPECT_TRUE(Has(r.output, "\n30\n")) << r.output;
  EXPECT_FALSE(Has(r.output, "\n11\n")) << r.output;
  EXPECT_FALSE(Has(r.output, "older")) << r.output;
  EXPECT_FALSE(Has(r.output, "theirs")) << r.output;
  r = Ctl(dir, "show QUIET");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(Has(r.output, "output file")) << r.output;
}

// A job that exits 3, one that succeeds and one that is cancelled while it
// runs, under a real controller: each command's answer and exit status.
TEST_P(KvrjobctlOnEngine, HistoryCancelAndDeleteAnswerFromTheRecordedRuns) {
  KVR_PROGRAM_DIR(dir, GetParam());
  dir->InstallProgram("/bin/sh", "JobSh");
  dir->InstallProgram("/bin/sleep", "JobSleep");
  ASSERT_EQ(Ctl(*dir, "add --name THREE --command './JobSh -c \"exit 3\"'").status, 0);
  ASSERT_EQ(Ctl(*dir, "add --name FINE --command './JobSh -c \"exit 0\"'").status, 0);
  ASSERT_EQ(Ctl(*dir, "add --name LONG --command './JobSleep 60'").status, 0);
  dir->InstallProgram("/bin/true", "Prüfung");  // typed in UTF-8, started as it stands
  ASSERT_EQ(Ctl(*dir, "add --name UMLAUT --command ./Prüfung").status, 0);
  ASSERT_EQ(Ctl(*dir, "add --name MISSING --command ./NoSuchProgram").status, 0);
  int instance = SpareInstance(GetParam() == Engine::Sqlite ? 7 : 8);
  pid_t service = dir->StartService(instance);
  pid_t controller = dir->StartController(std::to_string(instance));
  auto db = dir->Connect();
  ASSERT_TRUE(WaitFor([&] {
    return Column(*db, "JOBSTS", "LONG") == "01" && Column(*db, "JOBNUM", "LONG") != "0" &&
           Column(*db, "JOBSTS", "THREE") == "98" && Column(*db, "JOBSTS", "FINE") == "98" &&
           Column(*db, "JOBSTS", "UMLAUT") == "98" && Column(*db, "JOBSTS", "MISSING") == "90";
  })) << dir->MainLog();
  const std::string sleeper = Column(*db, "JOBNUM", "LONG");

  struct Case {
    const char* args;
    int status;
    std::vector<std::string> has, hasNot;
  };
  const Case cases[] = {
      {"history", 0, {"RESULT", "/THREE", "exit 3", "/FINE", "exit 0"}, {}},
      {"history --failed", 0, {"exit 3"}, {"/FINE"}},
      {"show MISSING", 0, {"not started: program not found"}, {}},
      {"history FINE --json", 0, {"\"result\": \"exit 0\"", "\"failed\": false"}, {"THREE"}},
      {"history --since 2999-01-01", 0, {"no runs recorded"}, {}},
      {"list --all", 0, {"LAST RUN", "exit 3"}, {}},
      {"show THREE", 0, {"last run", "exit 3"}, {}},
      {"show THREE --json", 0, {"\"lastRun\": \"exit 3\""}, {}},
      {"status", 0, {"failed in the last 24 hours, latest"}, {}},
      {"status --json", 0, {"\"failedRuns24h\": ", "\"controller\": true"}, {}},
      {"delete LONG", 1, {"is running; kvrjobctl cancel ends it first"}, {}},
      {"cancel FINE", 1, {"is not running"}, {}},
      {"cancel NOSUCH", 1, {"no job 'NOSUCH'"}, {}},
      {"add --name P --command x --run-type 03 --time-plan daily", 1, {"has no active window"}, {}},
      {"cancel LONG", 0, {"the controller ends it at its next pass"}, {}},
  };
  for (const Case& c : cases) {
    Result r = Ctl(*dir, c.args);
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.output;
    for (const std::string& part : c.has)
      EXPECT_TRUE(Has(r.output, part)) << c.args << ": " << r.output;
    for (const std::string& part : c.hasNot)
      EXPECT_FALSE(Has(r.output, part)) << c.args << ": " << r.output;
  }
  ASSERT_TRUE(WaitFor([&] { return Column(*db, "JOBSTS", "LONG") == "99"; })) << dir->MainLog();
  EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(std::stoi(sleeper)); }));
  EXPECT_EQ(Column(*db, "JOBMRT", "LONG"), "0");
  Result r = Ctl(*dir, "history LONG");
  EXPECT_TRUE(Has(r.output, "cancelled")) << r.output;
  r = Ctl(*dir, "delete LONG");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(QueryCount(*db, "select count(*) from KVSYSTEM.KVR500JOB where JOBKE2 = 'LONG'"), 0);

  kill(service, SIGTERM);
  EXPECT_EQ(WaitExit(service, seconds(40)), 0);
  EXPECT_EQ(WaitExit(controller, seconds(40)), 0);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

TEST(Kvrjobctl, CredentialsAndInitLayOutFilesOnlyTheOwnerReads) {
  ProgramDir dir("", "", "", "");
  dir.Shell("echo old >VELTRONIA.INI && chmod 0644 VELTRONIA.INI");
  const std::string credentials =
      "credentials --file VELTRONIA.INI --service sqlite:kvr.db --schema KVSYSTEM --login kvr "
      "--password demo --db-system ORACLE";
  ASSERT_EQ(Ctl(dir, credentials).status, 0);
  Result r = Ctl(dir, "init --sql-dir '" + std::string(KVR_SQL_DIR) + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "KVRJOBCTL.INI written with the defaults")) << r.output;
  const std::pair<const char*, mode_t> files[] = {
      {"VELTRONIA.INI", 0600}, {"kvr.db", 0600}, {"KVRJOBCTL.INI", 0644}};
  for (auto [name, mode] : files) EXPECT_EQ(ModeOf(dir.File(name)), mode) << name;
  EXPECT_TRUE(Has(dir.Read("KVRJOBCTL.INI"), "\nJOBOUTDIR=joboutput\n"));
  // Never over an existing file.
  dir.Shell("echo '[JOBATR]' >KVRJOBCTL.INI");
  r = Ctl(dir, "init --sql-dir '" + std::string(KVR_SQL_DIR) + "'");
  EXPECT_FALSE(Has(r.output, "KVRJOBCTL.INI written")) << r.output;
  EXPECT_EQ(dir.Read("KVRJOBCTL.INI"), "[JOBATR]\n");
}

TEST(Kvrjobctl, EveryCommandHasHelpAndWrongUsageExitsTwo) {
  ProgramDir dir("", "", "", "");
  const char* commands[] = {"credentials", "init",    "list",    "add",    "status",
                            "show",        "run-now", "history", "cancel", "delete"};
  for (const char* command : commands) {
    Result r = Ctl(dir, std::string(command) + " --help");
    EXPECT_EQ(r.status, 0) << command << ": " << r.output;
    EXPECT_TRUE(Has(r.output, std::string("usage: kvrjobctl ") + command)) << r.output;
    r = Ctl(dir, std::string(command) + " --no-such-option");
    EXPECT_EQ(r.status, 2) << command << ": " << r.output;
  }
  const char* wrong[] = {"",
                         "nonsense",
                         "show",
                         "list --run-type 3",
                         "list --run-type 42",
                         "status --wait x",
                         "-C",
                         "cancel",
                         "delete",
                         "history --since yesterday"};
  for (const char* args : wrong) EXPECT_EQ(Ctl(dir, args).status, 2) << "'" << args << "'";
}

}  // namespace
}  // namespace kvr::test
