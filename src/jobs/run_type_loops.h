// RunTypeLoops: the pass's selection loops of run types 05, 04, 01 and 03.
//
// Each loop selects one due row at a time and hands it to the job start,
// whose update of the row (status "01" or "90", or a grown exclusion list)
// makes the next selection see the next row. Owns the pass error flag and
// the run type 05 due flag of the current pass (both cleared by BeginPass).
// Each Work function returns false when the pass must end there; it has then
// written its failure line to the main log.
#pragma once

#include <cstdint>
#include <string_view>

namespace kvr {

struct Subsystems;

class RunTypeLoops {
 public:
  explicit RunTypeLoops(Subsystems& sys);

  // Clears the pass error and the run type 05 due flag.
  void BeginPass();

  bool WorkRunType05();
  bool WorkRunType04();
  bool WorkRunType01();
  bool WorkRunType03();

  // Starts one selected row; false when the loop around it must end (a
  // failed row update is a pass error; a refused or unplaceable start left
  // the row as it was, so the same row would come back at once).
  bool StartSelected(std::string_view command, std::string_view jobda1, std::string_view jobke2,
                     std::string_view joburv, int32_t jobmrt, int32_t jobstv);

  bool runType05Due() const { return runType05Due_; }
  bool passError() const { return passError_; }

 private:
  void LogSelectionError(const char* selection);
  bool EndOfLoop(const char* failureLine);
  bool RetireRefusedRow(std::string_view command, std::string_view jobda1, std::string_view jobke2,
                        int32_t jobstv);

  Subsystems& sys_;
  bool passError_ = false;
  bool runType05Due_ = false;
};

}  // namespace kvr
