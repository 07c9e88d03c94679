// kvrjobctl status: whether a controller works the queue, and how many rows
// are running, due and failed.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "controller_presence.h"
#include "ctl_command.h"
#include "db/queue/queue_view.h"

namespace kvr::ctl {

namespace {

constexpr char kHelp[] =
    "usage: kvrjobctl status [--wait SECONDS] [--file PATH | --connect L/P@S]\n"
    "Tells whether a controller works the queue and counts its rows by state.\n"
    "The controller that works a queue holds its lock; this command asks the\n"
    "lock (and gives it back at once when it gets it) and names the holder\n"
    "(host and process id). A controller waiting as standby holds nothing.\n"
    "--wait: while nobody holds the lock, ask again for up to SECONDS\n"
    "(default 0), for a controller that is just starting.\n"
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

}  // namespace

int RunStatus(Env& env, const std::vector<std::string>& args) {
  Options o;
  if (int rc = ParseCommand(args, {"wait"}, {}, kHelp, &o); rc >= 0) return rc;
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
  QueueCounts c = CountStates(rows, ClassifyQueue(rows, NowTimestamp(env)));
  std::printf("controller: %s\n", p.summary.c_str());
  std::printf("flag file:  %s\n", p.flagFile ? "NLF present" : "no NLF in this directory");
  std::printf("status row: %s\n",
              p.statusRow ? "present (a controller has worked this queue)" : "none");
  std::printf("jobs:       %d running, %d due, %d held back, %d waiting for their time\n",
              c.running, c.due, c.held, c.waiting);
  std::printf("            %d failed, %d ended, %d idle\n", c.failed, c.ended, c.idle);
  if (c.failed > 0) std::printf("            kvrjobctl list shows the failed rows\n");
  return p.holding ? kExitOk : kExitError;
}

}  // namespace kvr::ctl
