// kvrjobctl status: whether a controller works the queue, and how many rows
// are running, due and failed.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "controller_presence.h"
#include "ctl_command.h"
#include "db/client/win1252.h"
#include "db/queue/queue_view.h"
#include "job_view.h"
#include "platform/clock.h"
#include "run_view.h"

namespace kvr::ctl {

namespace {

constexpr char kHelp[] =
    "usage: kvrjobctl status [--wait SECONDS] [--json] [--file PATH | --connect L/P@S]\n"
    "Tells whether a controller works the queue and counts its rows by state.\n"
    "The controller that works a queue holds its lock; this command asks the\n"
    "lock (and gives it back at once when it gets it) and names the holder\n"
    "(host and process id). A controller waiting as standby holds nothing.\n"
    "--wait: while nobody holds the lock, ask again for up to SECONDS\n"
    "(default 0), for a controller that is just starting.\n"
    "It also counts the runs of the last 24 hours that failed (exit status not\n"
    "0, a signal, an overrun) and names the latest; kvrjobctl history --failed\n"
    "lists them.\n"
    "--json: one JSON object instead of the lines.\n"
    "Exit status: 0 a controller works the queue, 1 none does (or the database\n"
    "cannot be read), 2 wrong usage.\n";

constexpr int64_t kDefaultWaitSeconds = 0;
constexpr int64_t kMaxWaitSeconds = 600;

bool ParseWait(const Options& o, int64_t* seconds) {
  const std::string text = o.Get("wait", std::to_string(kDefaultWaitSeconds));
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 0 || v > kMaxWaitSeconds) return false;
  *seconds = v;
  return true;
}

struct FailedRuns {
  int count = 0;
  const RunRecord* latest = nullptr;
  bool recorded = true;  // false: no run history table
};

FailedRuns CountFailed(const std::vector<RunRecord>& runs, bool missing) {
  FailedRuns f;
  f.recorded = !missing;
  for (const RunRecord& r : runs) {
    if (!RunFailed(r.how, r.code)) continue;
    if (f.latest == nullptr || r.end > f.latest->end) f.latest = &r;
    ++f.count;
  }
  return f;
}

std::string LatestText(const RunRecord& r) {
  return r.da1 + "/" + r.ke2 + " " + RunResultText(r.how, r.code) + " at " + FormatTimestamp(r.end);
}

void PrintJson(const ControllerPresence& p, const QueueCounts& c, const FailedRuns& f) {
  std::string out = "{";
  Field(&out, "controller", p.holding ? "true" : "false");
  Field(&out, "summary", JsonText(p.summary));
  Field(&out, "flagFile", p.flagFile ? "true" : "false");
  Field(&out, "running", std::to_string(c.running));
  Field(&out, "due", std::to_string(c.due));
  Field(&out, "held", std::to_string(c.held));
  Field(&out, "waiting", std::to_string(c.waiting));
  Field(&out, "failed", std::to_string(c.failed));
  Field(&out, "ended", std::to_string(c.ended));
  Field(&out, "idle", std::to_string(c.idle));
  Field(&out, "failedRuns24h", f.recorded ? std::to_string(f.count) : "null");
  Field(&out, "latestFailedRun", f.latest ? RunJson(*f.latest) : "null");
  std::printf("%s}\n", out.c_str());
}

}  // namespace

int RunStatus(Env& env, const std::vector<std::string>& args) {
  Options o;
  if (int rc = ParseCommand(args, {"wait"}, {"json"}, kHelp, &o); rc >= 0) return rc;
  int64_t waitSeconds = 0;
  if (!ParseWait(o, &waitSeconds)) {
    std::fprintf(stderr, "kvrjobctl: --wait takes 0 to %lld seconds\n%s",
                 static_cast<long long>(kMaxWaitSeconds), kHelp);
    return kExitUsage;
  }
  ToolSession tool(env);
  if (!ConnectTarget(env, o, &tool)) return kExitError;
  std::vector<JobRow> rows;
  int rc = ReadQueueRows(tool.session(), "", &rows);
  if (rc != kSqlOk) return ReportDatabaseError(tool, "reading the queue failed", rc);
  ControllerPresence p = CheckControllerPresence(env, tool.session(), waitSeconds * 1000);
  // The counts are of the moment before the check.
  QueueCounts c = CountStates(rows, ClassifyQueue(rows, TimeStamp14(env, env.Now())));
  std::vector<RunRecord> runs;
  bool missing = false;
  const std::string dayAgo = TimeStamp14(env, env.Now() - 86400);
  if (!ReadRunHistory(tool, dayAgo, &runs, &missing)) return kExitError;
  FailedRuns f = CountFailed(runs, missing);
  if (o.Has("json")) {
    PrintJson(p, c, f);
    return p.holding ? kExitOk : kExitError;
  }
  std::printf("controller: %s\n", p.summary.c_str());
  std::printf("flag file:  %s\n", p.flagFile ? "NLF present" : "no NLF in this directory");
  std::printf("status row: %s\n",
              p.statusRow ? "present (a controller has worked this queue)" : "none");
  std::printf("jobs:       %d running, %d due, %d held back, %d waiting for their time\n",
              c.running, c.due, c.held, c.waiting);
  std::printf("            %d failed, %d ended, %d idle\n", c.failed, c.ended, c.idle);
  if (c.failed > 0) std::printf("            kvrjobctl list shows the failed rows\n");
  if (!f.recorded) {
    std::printf("runs:       no run history in this database (kvrjobctl init adds it)\n");
  } else if (f.count == 0) {
    std::printf("runs:       none failed in the last 24 hours\n");
  } else {
    std::printf("runs:       %d failed in the last 24 hours, latest %s\n", f.count,
                PrintableText(Win1252ToUtf8(LatestText(*f.latest))).c_str());
    std::printf("            kvrjobctl history --failed lists them\n");
  }
  return p.holding ? kExitOk : kExitError;
}

}  // namespace kvr::ctl
