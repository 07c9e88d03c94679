// The queue follows a PostgreSQL failover: a controller whose service text
// names a primary and its streaming standby (target_session_attrs=read-write)
// ends its jobs once when the primary stops, connects to the promoted
// standby, takes the queue lock there and goes on. Two real servers, made
// by scripts/pg_cluster.sh.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

#include "e2e/program_dir.h"
#include "support/test_pg.h"

namespace kvr::test {
namespace {

using std::chrono::seconds;

const std::string kClusterScript = std::string(KVR_SQL_DIR) + "/../scripts/pg_cluster.sh";

// A primary with its streaming standby in a folder of their own (made by
// the script, which writes their ports to DIR/port and DIR/standby/port),
// stopped and removed with the object.
class PgPair {
 public:
  PgPair() {
    char name[] = "/tmp/kvr-failover.XXXXXX";
    if (mkdtemp(name) != nullptr) dir_ = name;
  }
  ~PgPair() { Run("stop"); }
  // Both servers; false with error() set.
  bool Start() { return Run("start-pair"); }
  // Stops the primary (fast) and promotes the standby.
  bool Failover() { return Run("failover"); }
  // The URI of both servers: the client takes the one that takes writes.
  std::string Service() const {
    return "postgresql://127.0.0.1:" + Port("port") + ",127.0.0.1:" + Port("standby/port") +
           "/kvr?target_session_attrs=read-write&sslmode=prefer";
  }
  const std::string& error() const { return error_; }

 private:
  bool Run(const std::string& mode) {
    std::string out = dir_ + ".out";
    std::string command =
        "'" + kClusterScript + "' " + mode + " '" + dir_ + "' >'" + out + "' 2>&1";
    bool ok = !dir_.empty() && std::system(command.c_str()) == 0;
    std::ifstream in(out);
    error_ = ok ? "" : mode + " failed: " + std::string(std::istreambuf_iterator<char>(in), {});
    std::remove(out.c_str());
    return ok;
  }
  std::string Port(const std::string& file) const {
    std::string port;
    std::ifstream(dir_ + "/" + file) >> port;
    return port;
  }

  std::string dir_, error_;
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
  ProgramDir standbyDir("", "", "");
  ASSERT_EQ(
      standbyDir.Shell("./kvrjobctl credentials --file VELTRONIA.INI --service '" + pair.Service() +
                       "' --schema KVSYSTEM --login kvrtest --password kvrtest >/dev/null"),
      0);
  for (ProgramDir* d : {&dir, &standbyDir}) {
    d->InstallProgram("/bin/sleep", "jobsleep");
    d->InstallProgram("/bin/true", "jobtrue");
  }
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
  // A second controller on the queue waits as standby.
  pid_t standbyService = standbyDir.StartServiceWithController(SpareInstance(4));
  ASSERT_TRUE(WaitFor([&] {
    return standbyDir.MainLog().find("warte als Bereitschaft") != std::string::npos;
  })) << standbyDir.MainLog();

  ASSERT_TRUE(pair.Failover()) << pair.error();
  for (pid_t job : jobs) {
    EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(job); }, seconds(30))) << dir.MainLog();
  }
  // On the new primary: one of the two controllers holds the queue lock, a
  // new row runs once, the old ones are closed and none started again.
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
  const std::string log = dir.MainLog(), both = log + standbyDir.MainLog();
  EXPECT_EQ(Occurrences(log, "CheckDB: *** Beende Jobs ***!"), 1u) << log;
  EXPECT_EQ(Occurrences(both, "Start PGM: ./jobsleep"), 2u) << both;
  EXPECT_EQ(Occurrences(both, "Start PGM: ./jobtrue"), 1u) << both;
  for (pid_t svc : {service, standbyService}) {
    ASSERT_EQ(kill(svc, SIGTERM), 0);
    EXPECT_EQ(WaitExit(svc, seconds(60)), 0);
  }
}

}  // namespace
}  // namespace kvr::test
