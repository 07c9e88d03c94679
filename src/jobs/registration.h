// JobRegistration: the start-up work on the job table. Ends the leftover
// processes of the standing jobs (run type 04) and deletes their rows,
// registers the product's standing programs and the per-client jobs anew,
// registers the MAP processing job, the data export and the daily and
// interval system jobs, resets the start attempts of the standing jobs and
// deletes the expired single runs. Every change is committed where the
// system commits it; failures are logged and never stop the start-up.
#pragma once

#include <cstdint>

namespace kvr {

struct Subsystems;

class JobRegistration {
 public:
  explicit JobRegistration(Subsystems& sys);

  void CheckRT04Jobs();
  void AddRT04Jobs();
  void SQLInsertNewJob();
  void AddExportJob();
  // The result of the final commit (its caller does not look at it).
  int AddRT03SystemJobs(int64_t passTime);
  // The statement's status code (0, 1403 when no row changed, negative).
  int ResetRT04StartAttempts();
  int DeleteExpiredRT01Jobs();

 private:
  Subsystems& sys_;
};

}  // namespace kvr
