// One job row as kvrjobctl shows it: its key as the operator types it
// (JOBDA1/JOBKE2), its state, next run and running time in words, and as a
// JSON object; and the lookup of a row by the key an operator typed.
#pragma once

#include <string>
#include <vector>

#include "ctl_options.h"
#include "db/queue/queue_view.h"

namespace kvr::ctl {

struct JobView {
  JobRow row;
  RowState state = RowState::Idle;
  std::string key;              // "JOBDA1/JOBKE2"
  std::string nextRun;          // JOBNRT (03, 07, 08), JOBDLT (05); else empty
  int64_t runningSeconds = -1;  // since the start (running) or start to end
  std::string runningTime;      // runningSeconds in words; empty when -1
  std::string lastRun;          // how the last recorded run ended ("exit 3"); empty: none
};

JobView MakeJobView(Env& env, const JobRow& row, RowState state, const std::string& now);

// "01 running"; a blank status gives its meaning alone.
std::string StatusText(const JobRow& row);
// One of the run types the queue knows (01, 03 to 09, 99).
bool ValidRunType(const std::string& text);
// A JSON string of a Windows-1252 text (turned into UTF-8, control
// characters escaped).
std::string JsonText(std::string_view text);
// Appends "name": json to an object being built ("{" ...).
void Field(std::string* out, const char* name, const std::string& json);
// The view as one line of JSON (texts turned into UTF-8).
std::string JobJson(const JobView& view);

// The text with control characters (terminal escapes, NUL) shown as '?'.
std::string PrintableText(std::string text);
// Cells as a table: the first row the header, columns padded with blanks,
// Windows-1252 texts turned into UTF-8, control characters shown as '?'.
void PrintTable(const std::vector<std::vector<std::string>>& cells);

// Finds the row an operator means by KEY: a job name (JOBKE2) that is
// unique in the queue, or JOBDA1/JOBKE2. Prints what is wrong (no such
// job, a name used by several rows, with their keys) and returns the exit
// status; kExitOk with *row filled when found.
int FindJob(ToolSession& tool, const std::string& key, JobRow* row);

}  // namespace kvr::ctl
