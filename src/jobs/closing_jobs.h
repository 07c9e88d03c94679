// ClosingJobs: run types 08 and 09, the daily closing. Keeps one run type 08
// row per closing time of the clients and starts the due rows of both run
// types unless a run type 05 job is due. Each returns false when the pass
// must end (the service stopped answering, a read or a start failed).
#pragma once

namespace kvr {

struct Subsystems;

class ClosingJobs {
 public:
  explicit ClosingJobs(Subsystems& sys);

  bool checkKvrJobs08(bool runType05Due);
  bool checkKvrJobs09(bool runType05Due);

 private:
  Subsystems& sys_;
};

}  // namespace kvr
