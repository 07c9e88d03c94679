// RunNowPlan: what makes a job row due at the controller's next pass
// without changing its kind, worked out from the row as read:
//   01, 09      a blank status
//   05          a blank status, and no earliest start in the future
//   04          a blank status and the start attempts back to 0
//   03, 08      status "00" and a next run of now
//   07          the scheduling request (JOBDLS 1), and a next run of now
//               when the row's next run lies in the future or is missing
// A running row, run type 06, the status row and unknown run types are
// refused with the reason. Pure: the caller writes the row.
#pragma once

#include <string>
#include <string_view>

#include "db/queue/job_table.h"

namespace kvr {

struct RunNowPlan {
  bool refused = false;
  std::string reason;  // why refused, in words
  std::string note;    // what the operator should know about the run, or empty
  JobRow row;          // the row to write: JOBSTS, JOBNRT, JOBDLT, JOBDLS, JOBSTV
};

RunNowPlan PlanRunNow(const JobRow& row, std::string_view now);

}  // namespace kvr
