// kvrjobctl history: the recorded runs of the jobs, latest first, with how
// each ended (exit status, signal, overrun, ...).
#include <cstdio>
#include <string>
#include <vector>

#include "ctl_command.h"
#include "db/client/win1252.h"
#include "job_view.h"
#include "run_view.h"

namespace kvr::ctl {

namespace {

constexpr char kHelp[] =
    "usage: kvrjobctl history [KEY] [--since DATE] [--failed] [--json]\n"
    "                         [--file PATH | --connect L/P@S]\n"
    "Shows the runs the controller recorded (KVSYSTEM.KVR510RUN), latest first:\n"
    "start, end, the job's key, run type, process id and how the run ended:\n"
    "  exit N          the job ended by itself with exit status N\n"
    "  signal N        the job was ended by signal N from outside the controller\n"
    "  overrun         ended by the controller after JOBMRT seconds\n"
    "  cancelled       ended by the controller after kvrjobctl cancel\n"
    "  shut-down       ended as the controller stopped\n"
    "  database lost   ended as the controller lost its database\n"
    "  unknown         gone; its status could not be learnt (a job adopted\n"
    "                  after a restart of the controller)\n"
    "Runs are kept RUNHISTDAYS days (KVRJOBCTL.INI, default 30).\n"
    "  KEY            only the runs of this job (JOBKE2, or JOBDA1/JOBKE2)\n"
    "  --since DATE   only runs started from DATE on (2026-05-04 or\n"
    "                 \"2026-05-04 12:00:00\")\n"
    "  --failed       only runs that failed: exit status not 0, signal, overrun\n"
    "  --json         one JSON array of objects instead of the table\n";

bool Matches(const RunRecord& run, const std::string& key) {
  if (key.empty()) return true;
  const std::string k = Utf8ToWin1252(key);
  return run.ke2 == k || run.da1 + "/" + run.ke2 == k;
}

void PrintRuns(const std::vector<RunRecord>& runs) {
  std::vector<std::vector<std::string>> cells = {
      {"START", "END", "KEY", "RT", "PID", "RESULT", "OUTPUT"}};
  for (const RunRecord& r : runs) {
    cells.push_back({FormatTimestamp(r.start), FormatTimestamp(r.end), r.da1 + "/" + r.ke2,
                     r.runType, r.pid,
                     r.end.empty() ? "being cancelled" : RunResultText(r.how, r.code), r.output});
  }
  PrintTable(cells);
}

}  // namespace

int RunHistoryCommand(Env& env, const std::vector<std::string>& args) {
  Options o;
  std::vector<std::string> rest = args;
  std::string key;
  if (!rest.empty() && rest[0].rfind("-", 0) != 0) {
    key = rest[0];
    rest.erase(rest.begin());
  }
  if (int rc = ParseCommand(rest, {"since"}, {"failed", "json"}, kHelp, &o); rc >= 0) return rc;
  std::string since;
  if (o.Has("since")) {
    auto stamp = SinceStamp(o.Get("since"));
    if (!stamp) {
      std::fprintf(stderr, "kvrjobctl: --since takes a date such as 2026-05-04\n%s", kHelp);
      return kExitUsage;
    }
    since = *stamp;
  }
  ToolSession tool(env);
  if (!ConnectTarget(env, o, &tool)) return kExitError;
  std::vector<RunRecord> runs;
  bool missing = false;
  if (!ReadRunHistory(tool, since, &runs, &missing)) return kExitError;
  if (missing) {
    std::fprintf(stderr, "kvrjobctl: no run history in this database; kvrjobctl init adds it\n");
    return kExitError;
  }
  std::erase_if(runs, [&](const RunRecord& r) {
    return !Matches(r, key) || (o.Has("failed") && !RunFailed(r.how, r.code));
  });
  if (o.Has("json")) {
    std::printf("[");
    for (size_t i = 0; i < runs.size(); ++i) {
      std::printf("%s\n  %s", i == 0 ? "" : ",", RunJson(runs[i]).c_str());
    }
    std::printf("%s]\n", runs.empty() ? "" : "\n");
    return kExitOk;
  }
  if (runs.empty()) {
    std::printf("no runs recorded%s\n", key.empty() ? "" : " for this job");
    return kExitOk;
  }
  PrintRuns(runs);
  return kExitOk;
}

}  // namespace kvr::ctl
