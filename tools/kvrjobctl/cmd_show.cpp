// kvrjobctl show KEY: every column of one job row, with the meaning of its
// run type and status and what the row is doing now.
#include <cstdio>
#include <string>
#include <vector>

#include "ctl_command.h"
#include "db/client/win1252.h"
#include "job_output_tail.h"
#include "job_view.h"
#include "platform/clock.h"
#include "run_view.h"

namespace kvr::ctl {

namespace {

constexpr char kHelp[] =
    "usage: kvrjobctl show KEY [--json] [--file PATH | --connect L/P@S]\n"
    "Shows every column of one job row. KEY is the job's name (JOBKE2) when no\n"
    "other row has it, else JOBDA1/JOBKE2 as kvrjobctl list shows it.\n"
    "  --json             the row as one JSON object\n"
    "With JOBOUTDIR set in KVRJOBCTL.INI, the last lines of the job's latest\n"
    "output file follow the row.\n";

void Line(const char* label, const std::string& value) {
  std::printf("%-22s %s\n", label, PrintableText(Win1252ToUtf8(value)).c_str());
}

std::string Num(int32_t v) { return std::to_string(v); }

void PrintRow(const JobView& v) {
  const JobRow& r = v.row;
  Line("key", v.key);
  Line("state", RowStateName(v.state));
  Line("run type (JOBRTY)", r.jobrty.str() + " " + RunTypeMeaning(r.jobrty.view()));
  Line("status (JOBSTS)", StatusText(r));
  if (!v.lastRun.empty()) Line("last run", v.lastRun);
  Line("origin (JOBURV)", r.joburv.str());
  Line("command (JOBCMD)", r.jobcmd.str());
  Line("program (JOBNAM)", r.jobnam.str());
  Line("process id (JOBNUM)", r.jobnum.str());
  Line("start (JOBSDA)", FormatTimestamp(r.jobsda.view()));
  Line("end (JOBEDA)", FormatTimestamp(r.jobeda.view()));
  Line("running time", v.runningTime);
  Line("next run (JOBNRT)", FormatTimestamp(r.jobnrt.view()));
  Line("earliest (JOBDLT)", FormatTimestamp(r.jobdlt.view()));
  Line("max. seconds (JOBMRT)", r.jobmrt > 0 ? Num(r.jobmrt) : Num(r.jobmrt) + " (no limit)");
  Line("attempts (JOBSTV)", Num(r.jobstv));
  Line("timing (JOBDLS)", Num(r.jobdls));
  Line("time plan (JOBSCD)", r.jobscd.str());
  Line("priority (JOBPRI)", Num(r.jobpri));
  Line("parameter (JOBPRM)", r.jobprm.str());
  Line("remark (JOBBEM)", r.jobbem.str());
  Line("user (JOBUSR)", r.jobusr.str());
  Line("JOBCDI", r.jobcdi.str());
  Line("JOBRUS", r.jobrus.str());
}

// The output file holds whatever the job wrote: control bytes other than
// line end and tab (terminal escapes, NUL) are shown as '?', so that the
// tail cannot drive the operator's terminal.
std::string Printable(std::string text) {
  for (char& c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if ((b < 0x20 && c != '\n' && c != '\t') || b == 0x7f) c = '?';
  }
  return text;
}

void PrintOutputTail(Env& env, const JobRow& row) {
  auto tail = LatestJobOutput(env, row.jobke2.view());
  if (!tail) return;
  std::printf("%-22s %s\n", "output file", tail->path.c_str());
  tail->lines = Printable(std::move(tail->lines));
  std::fwrite(tail->lines.data(), 1, tail->lines.size(), stdout);
  if (!tail->lines.empty() && tail->lines.back() != '\n') std::fputc('\n', stdout);
}

}  // namespace

int RunShow(Env& env, const std::vector<std::string>& args) {
  Options o;
  std::string key;
  if (int rc = ParseKeyCommand(args, {}, {"json"}, kHelp, &key, &o); rc >= 0) return rc;
  ToolSession tool(env);
  if (!ConnectTarget(env, o, &tool)) return kExitError;
  JobRow row;
  if (int rc = FindJob(tool, key, &row); rc != kExitOk) return rc;
  // Its state depends on the other rows (a running job of its origin).
  std::vector<JobRow> rows;
  int rc = ReadQueueRows(tool.session(), "", &rows);
  if (rc != kSqlOk) return ReportDatabaseError(tool, "reading the queue failed", rc);
  const std::string now = TimeStamp14(env, env.Now());
  std::vector<RowState> states = ClassifyQueue(rows, now);
  RowState state = ClassifyRow(row, now);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].jobda1.view() == row.jobda1.view() && rows[i].jobke2.view() == row.jobke2.view())
      state = states[i];
  }
  JobView view = MakeJobView(env, row, state, now);
  std::vector<RunRecord> runs;
  bool noHistory = false;
  if (!ReadRunHistory(tool, "", &runs, &noHistory)) return kExitError;
  view.lastRun = LastRunOf(LatestRuns(runs), view.key);
  if (o.Has("json")) {
    std::printf("%s\n", JobJson(view).c_str());
  } else {
    PrintRow(view);
    PrintOutputTail(env, row);
  }
  return kExitOk;
}

}  // namespace kvr::ctl
