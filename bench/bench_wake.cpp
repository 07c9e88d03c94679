// bench_wake: how soon a committed row starts, and what the controller
// costs while nothing happens. Per engine, with the real controller and
// service:
//   latency    rows committed at random moments; each job notes the wall
//              clock of its start; p50/p99/max from the commit's return to
//              the start, with wake-ups on and off (off: the plain 1000 ms
//              pace), and the length of the commits themselves;
//   throughput 500 jobs of /bin/true with MAXJOBS 50 and 500;
//   idle       CPU seconds per minute of the idle controller and of its
//              PostgreSQL server process;
// and, in this process, the controller's resident memory (and that of its
// PostgreSQL server process) after 100 and after N passes over a queue of
// 1 000 waiting and 100 000 ended rows, the passes driven without the wait.
#include <algorithm>
#include <cstring>
#include <random>

#include "bench_support.h"
#include "controller/controller.h"
#include "core/command_line.h"
#include "db/client/connection.h"
#include "platform/posix_env.h"
#include "support/temp_dir.h"

namespace kvr::bench {
namespace {

constexpr char kUsage[] =
    "usage: bench_wake --instance N [--samples S] [--idle-seconds T] [--passes P]\n"
    "  --instance N      first of the four instance numbers used (N to N+3)\n"
    "  --samples S       rows per latency run (default 100)\n"
    "  --idle-seconds T  length of the idle measurement (default 30)\n"
    "  --passes P        passes of the memory run (default 10000)\n"
    "  --only PART       latency, throughput, idle or memory (default all)\n"
    "  --engine E        sqlite or postgres (default both)\n"
    "Each engine's figures begin with how its commits reach the disk: the SQLite\n"
    "file syncs its log at each commit; a PostgreSQL server run with fsync=off\n"
    "(as the test clusters are) syncs nothing, so its figures are not like for\n"
    "like with those of SQLite.\n"
    "KVR_BENCH_BIN_DIR=DIR runs the controller and service of DIR instead of\n"
    "this build's (the memory run always uses this build's code).\n";

struct Options {
  int instance = 0;
  int samples = 100;
  int idleSeconds = 30;
  int passes = 10000;
  std::string only;    // empty: every part
  std::string engine;  // empty: both engines
  bool Runs(const char* part) const { return only.empty() || only == part; }
};

std::string TextOption(int argc, char** argv, const char* name) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  }
  return "";
}

double WallMs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

std::string Ini(int maxJobs, bool wake) {
  return "[JOBATR]\nMAXJOBS=" + std::to_string(maxJobs) + "\nWAKEUPS=" + (wake ? "1" : "0") + "\n";
}

void Exec(Connection& db, const std::string& sql) {
  if (db.Execute(sql) != 0) std::printf("  statement failed: %s\n", db.LastMessage().c_str());
}

long Count(Connection& db, const std::string& sql) {
  int32_t n = -1;
  Out out[] = {Out::Int(&n)};
  db.SelectOne(sql, {}, out);
  db.Commit();
  return n;
}

// A running installation on its own fresh database.
struct Bench {
  test::TempDir base;
  TestDatabase db;
  Installation in;
  std::unique_ptr<Connection> conn;
  bool Start(Engine engine, int instance, const std::string& ini) {
    db = MakeTestDatabase(engine, "bench_wake", base.path());
    if (!db.ok) return false;
    if (engine == Engine::Sqlite) {
      db.service = "sqlite:" + std::filesystem::absolute(db.service.substr(7)).string();
    }
    in.dir = base.path() + "/jobctl";
    in.instance = instance;
    Install(in, db, ini);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    in.StartController();
    conn = MakeConnection();
    conn->Connect(db.connectText());
    return WaitFor([&] { return in.Log().find("Beginn Verarbeitung") != std::string::npos; },
                   20000);
  }
  ~Bench() { in.StopAll(); }
};

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// How the engine's commits reach the disk, as its figures depend on it.
void PrintSyncSettings(Engine engine) {
  test::TempDir base;
  TestDatabase db = MakeTestDatabase(engine, "bench_wake_sync", base.path());
  auto conn = MakeConnection();
  if (!db.ok || conn->Connect(db.connectText()) != 0) {
    std::printf("%-8s sync settings: cannot be read\n", EngineName(engine));
    return;
  }
  char a[32] = "", b[32] = "";
  Out out[] = {Out::Text(a, 31), Out::Text(b, 31)};
  int rc =
      engine == Engine::Postgres
          ? conn->SelectOne(
                "select current_setting('fsync'), current_setting('synchronous_commit')", {}, out)
          : conn->SelectOne("pragma journal_mode", {}, std::span<const Out>(out, 1));
  conn->Commit();
  if (rc != 0) {
    std::printf("%-8s sync settings: cannot be read (%d)\n", EngineName(engine), rc);
  } else if (engine == Engine::Postgres) {
    std::printf("%-8s server fsync=%s synchronous_commit=%s%s\n", EngineName(engine), a, b,
                std::strcmp(a, "off") == 0 ? " (commits are not synced: not like for like)" : "");
  } else {
    std::printf("%-8s journal_mode=%s, the controller's commits synced (synchronous=FULL)\n",
                EngineName(engine), a);
  }
}

void Latency(Engine engine, bool wake, const Options& o) {
  Bench b;
  if (!b.Start(engine, o.instance, Ini(3, wake))) {
    std::printf("%-8s latency: set-up failed %s\n", EngineName(engine), b.db.error.c_str());
    return;
  }
  std::ofstream(b.in.dir + "/jobstamp") << "#!/bin/sh\ndate +%s%6N > \"$1\"\n";
  std::filesystem::permissions(b.in.dir + "/jobstamp", std::filesystem::perms::owner_all);
  std::mt19937 random(42);
  std::uniform_int_distribution<int> pause(0, 1000);
  std::vector<double> ms, commitMs;
  for (int i = 0; i < o.samples; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    std::string name = "L" + std::to_string(i);
    std::string stamp = b.in.dir + "/" + name + ".stamp";
    Exec(*b.conn,
         "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBRTY,JOBSTV,JOBMRT) "
         "values ('20240501000000','" +
             name + "','" + name + "','./jobstamp " + stamp + "','01',0,0)");
    // From the moment the commit returned, when the row is in the table
    // for every reader; the commit's own length (its sync) is shown apart.
    double commitStart = WallMs();
    b.conn->Commit();
    double committed = WallMs();
    commitMs.push_back(committed - commitStart);
    if (!WaitFor([&] { return ReadAll(stamp).size() > 10; }, 10000, 1)) continue;
    ms.push_back(std::stod(ReadAll(stamp)) / 1000.0 - committed);
  }
  if (ms.empty()) return;
  std::printf(
      "%-8s latency, wake-ups %-3s: p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  (%zu rows);"
      " the commit itself p50 %.1f ms p99 %.1f ms\n",
      EngineName(engine), wake ? "on" : "off", Percentile(ms, 0.5), Percentile(ms, 0.99),
      Percentile(ms, 1.0), ms.size(), Percentile(commitMs, 0.5), Percentile(commitMs, 0.99));
}

void Throughput(Engine engine, int maxJobs, bool wake, const Options& o) {
  Bench b;
  if (!b.Start(engine, o.instance + 1, Ini(maxJobs, wake))) return;
  for (int i = 0; i < 500; ++i) {
    std::string name = "T" + std::to_string(i);
    Exec(*b.conn,
         "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBRTY,JOBSTV,JOBMRT) "
         "values ('20240501000000','" +
             name + "','" + name + "','true','01',0,0)");
  }
  auto start = Clock::now();
  b.conn->Commit();
  bool done = WaitFor(
      [&] {
        return Count(*b.conn,
                     "select count(*) from KVSYSTEM.KVR500JOB where JOBKE2 like 'T%' and "
                     "JOBSTS = '98'") == 500;
      },
      120000, 5);
  std::printf("%-8s 500 jobs of true, MAXJOBS %3d, wake-ups %-3s: %s %.2f s\n", EngineName(engine),
              maxJobs, wake ? "on" : "off", done ? "all ended in" : "NOT all ended in",
              MsSince(start) / 1000.0);
}

// User and system CPU of a process in seconds; -1 when it cannot be read.
double CpuSeconds(long pid) {
  std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(f);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The controller's server process: the newest, as one of an earlier run on
// a database of the same name may still be going away.
long ServerPid(Connection& db) {
  int32_t pid = 0;
  Out out[] = {Out::Int(&pid)};
  db.SelectOne(
      "select pid from pg_stat_activity where datname = current_database() and "
      "application_name like 'KVRJOBSTR%' order by backend_start desc",
      {}, out);
  db.Commit();
  return pid;
}

void Idle(Engine engine, bool wake, const Options& o) {
  Bench b;
  if (!b.Start(engine, o.instance + 2, Ini(3, wake))) return;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  long server = engine == Engine::Postgres ? ServerPid(*b.conn) : 0;
  b.conn.reset();  // the bench's own connection is not part of the idle load
  double c0 = CpuSeconds(b.in.controller), s0 = server ? CpuSeconds(server) : 0;
  std::this_thread::sleep_for(std::chrono::seconds(o.idleSeconds));
  double perMinute = 60.0 / o.idleSeconds;
  double c1 = CpuSeconds(b.in.controller), s1 = server ? CpuSeconds(server) : 0;
  std::printf("%-8s idle CPU per minute, wake-ups %-3s: controller %.3f s", EngineName(engine),
              wake ? "on" : "off", (c1 - c0) * perMinute);
  if (server) std::printf(", its server process %.3f s", (s1 - s0) * perMinute);
  std::printf("\n");
}

}  // namespace
}  // namespace kvr::bench

namespace kvr::bench {
namespace {

// The real system, except that the service always answers and the pace
// wait takes no time, so passes follow each other as fast as they run.
class FastPassEnv : public PosixEnv {
 public:
  explicit FastPassEnv(std::string program) : program_(std::move(program)) {}
  std::string ProgramPath() override { return program_; }
  ServiceReply CallService(const std::string&, const char (&)[kServiceMessageSize], int) override {
    ServiceReply r;
    r.answered = true;
    r.reply = "OK";
    return r;
  }
  void SleepMs(int64_t ms) override {
    if (ms != ServiceContact::kWaitAfterAnswerMs) PosixEnv::SleepMs(ms);
  }
  WakeResult WaitForWake(int64_t, std::span<const int>, std::span<const Pid>) override {
    return WakeResult{};
  }
  void ConsoleWrite(std::string_view) override {}

 private:
  std::string program_;
};

long RssKb(long pid) {
  std::istringstream status(ReadAll("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// 1 000 timed rows waiting for next year and 100 000 ended run type 01
// rows of today, in statements of 500 rows.
void FillQueue(Connection& db) {
  char today[16];
  std::time_t now = std::time(nullptr);
  std::strftime(today, sizeof today, "%Y%m%d", std::localtime(&now));
  for (int batch = 0; batch < 202; ++batch) {
    std::string sql =
        "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBRTY,JOBSTS,JOBSTV,JOBMRT,"
        "JOBDLS,JOBNRT) values ";
    for (int i = 0; i < 500; ++i) {
      int n = batch * 500 + i;
      bool waiting = batch < 2;
      char row[256];
      std::snprintf(row, sizeof row, "%s('%s000000','%s%06d','O%06d','true','%s','%s',1,0,%s,%s)",
                    i ? "," : "", today, waiting ? "W" : "E", n, n, waiting ? "03" : "01",
                    waiting ? "00" : "98", waiting ? "2" : "NULL",
                    waiting ? "'20991231070000'" : "NULL");
      sql += row;
    }
    Exec(db, sql);
  }
  db.Commit();
}

void Memory(Engine engine, const Options& o) {
  test::TempDir base;
  TestDatabase db = MakeTestDatabase(engine, "bench_wake_rss", base.path());
  if (!db.ok) return;
  if (engine == Engine::Sqlite) {
    db.service = "sqlite:" + std::filesystem::absolute(db.service.substr(7)).string();
  }
  Installation in;
  in.dir = base.path() + "/jobctl";
  std::filesystem::create_directories(in.dir);
  Install(in, db, Ini(3, true));
  Stop(in.service);  // the passes here answer for the service themselves
  auto conn = MakeConnection();
  conn->Connect(db.connectText());
  FillQueue(*conn);
  FastPassEnv env(in.dir + "/KVRJOBSTR");
  const char* argv[] = {"KVRJOBSTR"};
  Controller controller(env, ParseCommandLine(1, argv));
  if (!controller.StartUp()) return;
  long server = engine == Engine::Postgres ? ServerPid(*conn) : 0;
  long rss100 = 0, server100 = 0;
  auto start = Clock::now();
  for (int pass = 1; pass <= o.passes; ++pass) {
    controller.RunPass();
    if (pass == 100) {
      rss100 = RssKb(getpid());
      server100 = server ? RssKb(server) : 0;
      start = Clock::now();
    }
  }
  double perPass = MsSince(start) / std::max(1, o.passes - 100);
  std::printf("%-8s RSS after 100 / %d passes: controller %ld / %ld kB (%+ld)", EngineName(engine),
              o.passes, rss100, RssKb(getpid()), RssKb(getpid()) - rss100);
  if (server) {
    std::printf(", its server process %ld / %ld kB (%+ld)", server100, RssKb(server),
                RssKb(server) - server100);
  }
  std::printf("; %.2f ms a pass\n", perPass);
  controller.ShutDown();
}

}  // namespace
}  // namespace kvr::bench

int main(int argc, char** argv) {
  using namespace kvr::bench;
  using kvr::Engine;
  if (WantsHelp(argc, argv, kUsage)) return 0;
  Options o;
  o.instance = static_cast<int>(LongOption(argc, argv, "--instance", 0));
  o.samples = static_cast<int>(LongOption(argc, argv, "--samples", o.samples));
  o.idleSeconds = static_cast<int>(LongOption(argc, argv, "--idle-seconds", o.idleSeconds));
  o.passes = static_cast<int>(LongOption(argc, argv, "--passes", o.passes));
  o.only = TextOption(argc, argv, "--only");
  o.engine = TextOption(argc, argv, "--engine");
  if (o.instance <= 0 || o.samples <= 0 || o.idleSeconds <= 0 || o.passes <= 100) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  for (Engine engine : {Engine::Sqlite, Engine::Postgres}) {
    if (!o.engine.empty() && o.engine != (engine == Engine::Sqlite ? "sqlite" : "postgres")) {
      continue;
    }
    if (!kvr::EngineConfigured(engine)) {
      std::printf("%-8s not configured (KVR_TEST_PG_*)\n", kvr::EngineName(engine));
      continue;
    }
    PrintSyncSettings(engine);
    if (o.Runs("latency")) {
      for (bool wake : {true, false}) Latency(engine, wake, o);
    }
    if (o.Runs("throughput")) {
      for (int maxJobs : {50, 500}) {
        for (bool wake : {true, false}) Throughput(engine, maxJobs, wake, o);
      }
    }
    if (o.Runs("idle")) {
      for (bool wake : {true, false}) Idle(engine, wake, o);
    }
    if (o.Runs("memory")) Memory(engine, o);
  }
  return 0;
}
