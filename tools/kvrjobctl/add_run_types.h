// kvrjobctl add for the timed and scheduled run types: the options that
// make a run type 03 row follow a time plan (or the daily or interval
// rule) and a run type 07 row follow a schedule row. A new row is
// registered as ended, so the controller sets its first run by its plan or
// schedule instead of starting it at once; a row of a schedule that runs
// once waits, so it runs at once. Errors go to standard error.
#pragma once

#include <string>

#include "ctl_options.h"

namespace kvr::ctl {

// The options add knows beyond its own.
inline const std::vector<std::string> kRunTypeOptions = {"run-type", "time-plan", "timing",
                                                         "schedule"};

struct RunTypeChoice {
  std::string runType = "01";
  std::string plan;          // JOBSCD of a run type 03 row
  int32_t timing = 0;        // JOBDLS of a run type 03 row
  std::string schedule;      // the JOBKE2 of a run type 07 row
  int32_t scheduleType = 0;  // its SCDTYP, read by ScheduleExists
};

// Checks the options; false (with a message) when they do not fit together.
bool ReadRunTypeChoice(const Options& o, RunTypeChoice* choice);

// Run type 07: false (with a message) when no schedule row has the key;
// else notes the schedule's type in the choice.
bool ScheduleExists(Session& session, RunTypeChoice* choice);

// Run type 03 with a plan: false (with a message) when the plan has no
// active window in its table (KVR139TPL for timing 0, else KVR141DZT), as
// the controller would park such a row "97" for good.
bool TimePlanExists(Session& session, const RunTypeChoice& choice);

// Writes the plan, timing kind and first status of the registered row;
// the status code.
int ApplyRunTypeChoice(Session& session, const RunTypeChoice& choice, const std::string& da1,
                       const std::string& ke2);

}  // namespace kvr::ctl
