// The queue follows a PostgreSQL failover: a controller whose service text
// names a primary and its streaming standby (target_session_attrs=read-write)
// ends its jobs once when the primary stops, connects to the promoted
// standby, takes the queue lock there and goes on. Two real servers, made
// by scripts/pg_cluster.sh.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "e2e/program_dir.h"
#include "support/test_pg.h"

namespace kvr::test {
namespace {

using std::chrono::seconds;

const std::string kClusterScript = std::string(KVR_SQL_DIR) + "/../scripts/pg_cluster.sh";

// A primary with its streaming standby in a folder of their own, stopped
// and removed with the object.
class PgPair {
 public:
  PgPair() {
    char name[] = "/tmp/kvr-failover.XXXXXX";
    if (mkdtemp(name) != nullptr) dir_ = name;
  }
  ~PgPair() {
    if (!dir_.empty()) Run("stop", nullptr);
  }

  // Starts both servers; false with error() set.
  bool Start() {
    std::string out;
    if (dir_.empty()) error_ = "no temporary folder";
    if (dir_.empty() || !Run("start-pair", &out)) return false;
    primaryPort_ = Value(out, "KVR_TEST_PG_PORT");
    standbyPort_ = Value(out, "KVR_TEST_PG_STANDBY_PORT");
    if (primaryPort_.empty() || standbyPort_.empty()) error_ = "no ports in: " + out;
    return error_.empty();
  }
  // Stops the primary (fast) and promotes the standby.
  bool Failover() { return Run("failover", nullptr); }

  // Both servers, the one that takes writes chosen by the client.
  std::string Service() const {
    return "postgresql://127.0.0.1:" + primaryPort_ + ",127.0.0.1:" + standbyPort_ +
           "/kvr?target_session_attrs=read-write&sslmode=prefer";
  }
  const std::string& error() const { return error_; }

 private:
  bool Run(const std::string& mode, std::string* out) {
    std::string command = "'" + kClusterScript + "' " + mode + " '" + dir_ + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    std::string text;
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    int status = pclose(pipe);
    if (out != nullptr) *out = text;
    if (status != 0) error_ = mode + " failed: " + text;
    return status == 0;
  }

  static std::string Value(const std::string& exports, const std::string& name) {
    std::string key = "export " + name + "=";
    size_t at = exports.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    return exports.substr(at, exports.find('\n', at) - at);
  }

  std::string dir_, primaryPort_, standbyPort_, error_;
};

// A due run type 01 row of today (older ones are cleaned away at start-up).
void InsertJob(Connection& db, const std::string& ke2, const std::string& cmd) {
  char da1[16];
  time_t now = time(nullptr) - 60;
  std::strftime(da1, sizeof da1, "%Y%m%d%H%M%S", std::localtime(&now));
  std::string sql =
      "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBRTY,JOBSTV,JOBMRT) values "
      "('" +
      std::string(da1) + "','" + ke2 + "','ORG" + ke2 + "','" + cmd + "','01',0,0)";
  ASSERT_EQ(db.Execute(sql), 0) << db.LastMessage();
  ASSERT_EQ(db.Commit(), 0) << db.LastMessage();
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(FailoverEndToEnd, ControllerFollowsThePromotedStandby) {
  PgPair pair;
  if (!pair.Start()) KVR_PG_SKIP_OR_FAIL(pair.error());
  ProgramDir dir(pair.Service(), "kvrtest", "kvrtest");
  dir.InstallProgram("/bin/sleep", "jobsleep");
  dir.InstallProgram("/bin/true", "jobtrue");
  auto field = [&](const std::string& column, const std::string& ke2) {
    auto db = dir.Connect();
    return QueryText(*db,
                     "select " + column + " from KVSYSTEM.KVR500JOB where JOBKE2 = '" + ke2 + "'");
  };
  {
    auto db = dir.Connect();
    InsertJob(*db, "RUN1", "./jobsleep 300");
    InsertJob(*db, "RUN2", "./jobsleep 301");
  }
  pid_t service = dir.StartServiceWithController(SpareInstance(3));
  std::vector<pid_t> jobs;
  for (const char* ke2 : {"RUN1", "RUN2"}) {
    ASSERT_TRUE(WaitFor([&] { return field("JOBSTS", ke2) == "01" && field("JOBNUM", ke2) != "0"; },
                        seconds(40)))
        << ke2 << "\n"
        << dir.MainLog();
    jobs.push_back(std::stoi(field("JOBNUM", ke2)));
  }

  ASSERT_TRUE(pair.Failover()) << pair.error();
  for (pid_t job : jobs) {
    EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(job); }, seconds(30))) << dir.MainLog();
  }
  // On the new primary: a new row runs, the old ones are closed, and the
  // controller holds the queue lock there.
  ASSERT_TRUE(WaitFor([&] {
    return dir.MainLog().find("- Neue Datenbankverbindung erstellt") != std::string::npos;
  })) << dir.MainLog();
  {
    auto db = dir.Connect();
    InsertJob(*db, "AFTER", "./jobtrue");
  }
  EXPECT_TRUE(WaitFor([&] { return field("JOBSTS", "AFTER") == "98"; }, seconds(30)))
      << dir.MainLog();
  for (const char* ke2 : {"RUN1", "RUN2"}) {
    EXPECT_TRUE(WaitFor([&] { return field("JOBSTS", ke2) != "01"; })) << ke2;
  }
  {
    auto db = dir.Connect();
    EXPECT_EQ(
        QueryCount(*db, "select count(*) from pg_locks where locktype = 'advisory' and granted"),
        1);
  }
  const std::string log = dir.MainLog();
  EXPECT_EQ(Occurrences(log, "CheckDB: *** Beende Jobs ***!"), 1u) << log;
  EXPECT_EQ(Occurrences(log, "Start PGM: ./jobsleep"), 2u) << log;  // none started again
  ASSERT_EQ(kill(service, SIGTERM), 0);
  EXPECT_EQ(WaitExit(service, seconds(60)), 0);
}

}  // namespace
}  // namespace kvr::test
