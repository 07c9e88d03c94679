#include "jobs/run_type_loops.h"

namespace kvr {

RunTypeLoops::RunTypeLoops(const StartContext& ctx) : ctx_(ctx) {}

void RunTypeLoops::BeginPass() {
  passError_ = false;
  runType05Due_ = false;
}

bool RunTypeLoops::WorkRunType05() {
  StartLoopResult result = RunStartLoop(ctx_, StartPolicyOf(kRunType05), false);
  runType05Due_ = result.rowSelected;
  passError_ = result.failed;
  return result.passGoesOn;
}

bool RunTypeLoops::Work(std::string_view runType) {
  StartLoopResult result = RunStartLoop(ctx_, StartPolicyOf(runType), runType05Due_);
  passError_ = result.failed;
  return result.passGoesOn;
}

}  // namespace kvr
