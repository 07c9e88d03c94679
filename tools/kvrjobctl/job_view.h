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
};

JobView MakeJobView(Env& env, const JobRow& row, RowState state, const std::string& now);

// "01 running"; a blank status gives its meaning alone.
std::string StatusText(const JobRow& row);
// Two digits.
bool ValidRunType(const std::string& text);
// The view as one line of JSON (texts turned into UTF-8).
std::string JobJson(const JobView& view);

// Finds the row an operator means by KEY: a job name (JOBKE2) that is
// unique in the queue, or JOBDA1/JOBKE2. Prints what is wrong (no such
// job, a name used by several rows, with their keys) and returns the exit
// status; kExitOk with *row filled when found.
int FindJob(ToolSession& tool, const std::string& key, JobRow* row);

}  // namespace kvr::ctl
