// The run history as kvrjobctl shows it: reading the runs (a missing table
// is said once and read as no runs), the last run of each job, a run as a
// table row or JSON, and the --since dates an operator types.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ctl_options.h"
#include "exec/run_history.h"

namespace kvr::ctl {

// Runs started at or after `since` (empty: all), latest first. A missing
// table is no runs (with *missing set); another error is printed and
// false.
bool ReadRunHistory(ToolSession& tool, const std::string& since, std::vector<RunRecord>* runs,
                    bool* missing);
// The latest run of each job, by "JOBDA1/JOBKE2".
std::map<std::string, RunRecord> LatestRuns(const std::vector<RunRecord>& runs);
// "exit 3" for the job's latest run; empty when none is recorded.
std::string LastRunOf(const std::map<std::string, RunRecord>& latest, const std::string& key);
// One run as a JSON object.
std::string RunJson(const RunRecord& run);
// "2026-05-04", "2026-05-04 12:00", "2026-05-04 12:00:00" or 14 digits as
// a 14-digit time; nothing for other texts.
std::optional<std::string> SinceStamp(const std::string& text);

}  // namespace kvr::ctl
