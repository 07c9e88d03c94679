// kvrjobctl list: the queue as a readable table or as JSON, running rows
// first, each with the meaning of its status and what it is doing now.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ctl_command.h"
#include "db/client/win1252.h"
#include "db/queue/queue_view.h"
#include "job_view.h"
#include "platform/clock.h"
#include "run_view.h"

namespace kvr::ctl {

namespace {

constexpr char kHelp[] =
    "usage: kvrjobctl list [--all] [--run-type RT] [--json] [--file PATH | --connect L/P@S]\n"
    "Shows the queue, running rows first, then in key order (JOBDA1, JOBKE2).\n"
    "Without --all, rows that will not run again are left out: ended single\n"
    "and exclusive runs, timed jobs with no further run, run type 06 and the\n"
    "controller's status row. STATE tells what the row is doing now: running,\n"
    "due (started by the next pass), held (due, but a running job of the same\n"
    "origin keeps it back), waiting (for its next run), failed, ended, idle.\n"
    "  --all              every row\n"
    "  --run-type RT      only run type RT (01, 03, 04, 05, 06, 07, 08, 09, 99)\n"
    "  --json             one JSON array of objects instead of the table\n";

// Rows the default view leaves out.
bool Hidden(const JobRow& row, RowState state) {
  if (state == RowState::Idle) return true;
  const std::string_view rty = row.jobrty.view();
  return state == RowState::Ended && (rty == kRunType01 || rty == kRunType05);
}

std::vector<std::string> TableRow(const JobView& v) {
  return {v.key,
          v.row.jobrty.str(),
          StatusText(v.row),
          RowStateName(v.state),
          v.row.jobnam.str(),
          v.row.jobnum.str(),
          FormatTimestamp(v.row.jobsda.view()),
          FormatTimestamp(v.row.jobeda.view()),
          FormatTimestamp(v.nextRun),
          v.runningTime,
          v.lastRun};
}

}  // namespace

int RunList(Env& env, const std::vector<std::string>& args) {
  Options o;
  if (int rc = ParseCommand(args, {"run-type"}, {"all", "json"}, kHelp, &o); rc >= 0) return rc;
  const std::string runType = o.Get("run-type");
  if (o.Has("run-type") && !ValidRunType(runType)) {
    std::fprintf(stderr,
                 "kvrjobctl: --run-type takes a run type: 01, 03, 04, 05, 06, 07, 08, 09 or 99\n%s",
                 kHelp);
    return kExitUsage;
  }
  ToolSession tool(env);
  if (!ConnectTarget(env, o, &tool)) return kExitError;
  std::vector<JobRow> rows;
  int rc = ReadQueueRows(tool.session(), "", &rows);
  if (rc != kSqlOk) return ReportDatabaseError(tool, "reading the queue failed", rc);
  // All rows are classified, so that rows of other run types hold back theirs.
  const std::string now = TimeStamp14(env, env.Now());
  std::vector<RowState> states = ClassifyQueue(rows, now);
  std::vector<RunRecord> runs;
  bool noHistory = false;
  if (!ReadRunHistory(tool, "", &runs, &noHistory)) return kExitError;
  const auto latest = LatestRuns(runs);
  std::vector<JobView> views;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!runType.empty() && rows[i].jobrty.view() != runType) continue;
    if (!o.Has("all") && Hidden(rows[i], states[i])) continue;
    views.push_back(MakeJobView(env, rows[i], states[i], now));
    views.back().lastRun = LastRunOf(latest, views.back().key);
  }
  std::stable_partition(views.begin(), views.end(),
                        [](const JobView& v) { return v.state == RowState::Running; });
  if (o.Has("json")) {
    std::printf("[");
    for (size_t i = 0; i < views.size(); ++i) {
      std::printf("%s\n  %s", i == 0 ? "" : ",", JobJson(views[i]).c_str());
    }
    std::printf("%s]\n", views.empty() ? "" : "\n");
    return kExitOk;
  }
  if (views.empty()) {
    std::printf("no rows%s\n", o.Has("all") ? "" : " to show; --all shows every row");
    return kExitOk;
  }
  std::vector<std::vector<std::string>> cells = {{"KEY", "RT", "STATUS", "STATE", "PROGRAM", "PID",
                                                  "START", "END", "NEXT RUN", "RUNNING",
                                                  "LAST RUN"}};
  for (const JobView& v : views) cells.push_back(TableRow(v));
  PrintTable(cells);
  return kExitOk;
}

}  // namespace kvr::ctl
