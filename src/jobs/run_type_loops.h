// RunTypeLoops: the pass's start loops of run types 05, 04, 01 and 03 (see
// StartLoop for the loop and the policies).
//
// Owns the pass error flag and the run type 05 due flag of the current pass
// (both cleared by BeginPass). Each Work function returns false when the
// pass must end there; it has then written its failure line to the main
// log.
#pragma once

#include <string_view>

#include "db/queue/job_table.h"
#include "jobs/start_loop.h"

namespace kvr {

class RunTypeLoops {
 public:
  explicit RunTypeLoops(const StartContext& ctx);

  // Clears the pass error and the run type 05 due flag.
  void BeginPass();

  bool WorkRunType05();
  bool WorkRunType04() { return Work(kRunType04); }
  bool WorkRunType01() { return Work(kRunType01); }
  bool WorkRunType03() { return Work(kRunType03); }

  bool runType05Due() const { return runType05Due_; }
  bool passError() const { return passError_; }

 private:
  bool Work(std::string_view runType);

  StartContext ctx_;
  bool passError_ = false;
  bool runType05Due_ = false;
};

}  // namespace kvr
