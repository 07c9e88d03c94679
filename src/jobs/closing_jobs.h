// ClosingJobs: run types 08 and 09, the daily closing. Keeps one run type 08
// row per closing time of the clients (updateKvr500Job08, every pass) and
// starts the due rows of both run types unless a run type 05 job is due.
// A run type 09 row whose start was refused or failed is passed over for
// the rest of the pass, so it cannot hold the loop or the rows behind it.
// Each check returns false when the pass must end (the service stopped
// answering, a read or a row update failed).
#pragma once

#include "jobs/start_loop.h"

namespace kvr {

class ClosingJobs {
 public:
  explicit ClosingJobs(const StartContext& ctx);

  bool checkKvrJobs08(bool runType05Due);
  bool checkKvrJobs09(bool runType05Due);

  // Brings the run type 08 rows in line with the closing times: 1 done (or
  // no client has times), 0 the service stopped answering or the times
  // could not be read.
  int updateKvr500Job08();

 private:
  StartContext ctx_;
};

}  // namespace kvr
