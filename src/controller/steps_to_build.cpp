// The steps of the start-up and the pass whose work is not built yet: the
// start-up registration of standing and system jobs, the timed, scheduled
// and daily-closing run types, and the housekeeping chores. Each is called
// from its place in the sequence and does nothing; none logs success. When
// one is built, its body moves into its own module (jobs/ or housekeeping/)
// and the call here stays.
#include "controller/controller.h"

namespace kvr {

// Start-up: transfer files, expired run type 01 rows, the activity check.
void Controller::CleanupServer() {}

// Start-up: ends leftover processes of the standing jobs, deletes their rows.
void Controller::CheckRT04Jobs() {}

// Start-up: registers the standing system programs and per-client jobs.
void Controller::AddRT04Jobs() {}

// Start-up: registers the MAP processing job.
void Controller::InsertNewJobs() {}

// Start-up: registers the daily and interval system jobs.
void Controller::AddRT03SystemJobs() {}

// Pass: the four-hourly disk-space warning.
void Controller::CheckDiskSpace() {}

// Pass: re-arms the MAP processing job once it has finished.
void Controller::CheckMAPVerarbeitungsjob() {}

// Pass: computes the next run of the timed jobs. Nothing to bring up to date
// yet, so the pass goes on.
bool Controller::UpdateRT03Jobs() { return true; }

// Pass: scheduled jobs.
bool Controller::WorkRunType07() { return true; }

// Pass: daily-closing jobs.
bool Controller::WorkRunType08() { return true; }

// Pass: daily-closing follow-up jobs.
bool Controller::WorkRunType09() { return true; }

// After a lost connection is back: interrupted downloads.
void Controller::CheckDownloads() {}

}  // namespace kvr
