// JobRegistration: the controller's own system jobs: the export job, the
// MAP processing job and the daily and interval system jobs.
#include <ctime>

#include "core/logger.h"
#include "db/session.h"
#include "jobs/registration.h"
#include "platform/clock.h"
#include "platform/env.h"

namespace kvr {

namespace {

constexpr char kExportFailed[] = "Insert RT01Job(1): VEL EXPORT! RC: %ld\n";
constexpr char kMapFailed[] = "SQLInsertNewJob(): MAP VERARBEITUNG! RC: %ld\n";
constexpr char kRt01CommitFailed[] = "SQLCommit: AddRT01Jobs! RC: %ld\n";

// The texts of the daily and the interval system job.
struct TimedSystemJob {
  const char* da1;
  const char* ke2;
  const char* urv;
  const char* cmd;
  int32_t dls;
  const char* registering;
  const char* insertFailed;
  const char* registered;
  const char* updateAfterInsertFailed;
  const char* updateFailed;
};

constexpr TimedSystemJob kDailyJob = {"20000101070000",
                                      "DAILY SYSTEMJOB",
                                      "DAILYJOB",
                                      "php ..\\veltronia_php\\KV_Jobs\\dailyJob.php",
                                      2,
                                      "- Daily Systemjob eintragen!\n",
                                      "- Fehler beim Anlegen des daily Systemjobs! RC: %ld\n",
                                      "- Der daily Systemjob wurde eingetragen!\n",
                                      "- Fehler beim Update des daily Systemjobs! RC: %ld\n",
                                      "- Fehler beim Update des daily Systemjob! RC: %d\n"};

constexpr TimedSystemJob kIntervalJob = {
    "20000101080000",
    "INTERVALL SYSTEMJOB",
    "INTERVALLJOB",
    "php ..\\veltronia_php\\KV_Jobs\\intervallJob.php",
    3,
    "- Intervall Systemjob eintragen!\n",
    "- Fehler beim Anlegen des Intervall Systemjobs! RC: %ld\n",
    "- Der Intervall Systemjob wurde eingetragen!\n",
    "- Fehler beim Update des Intervall Systemjobs! RC: %ld\n",
    "- Fehler beim Update des Intervall Systemjob! RC: %d\n"};

// The daily job's predecessor, removed when the daily job is first made.
constexpr char kReminderMailKe2[] = "ERINNERUNGSMAILS SYSTEMJOB";
constexpr char kReminderDeleteFailed[] =
    "- Fehler beim Loeschen des Erinnerungsmailjobs! RC: %ld\n";

std::string LocalText(Env& env, const char* format) {
  std::tm local = env.LocalTime(env.Now());
  char text[32];
  std::strftime(text, sizeof text, format, &local);
  return text;
}

}  // namespace

void JobRegistration::SQLInsertNewJob() {
  AddExportJob();
  mapJob_.Clear();
  mapJob_.jobda1 = "20010101120000";
  mapJob_.jobke2 = "MAP VERARBEITUNG";
  mapJob_.joburv = "MAPVERARBEITUNG";
  mapJob_.jobcmd = "php ..\\veltronia_php\\map\\urlaubstafel\\antragsverarbeitung.php";
  mapJob_.jobprm = "0";
  mapJob_.jobmrt = 3600;
  mapJob_.jobrty = kRunType01;
  mapJob_.jobbem = "VELTRONIA MAP ANTRAGSVERARBEITUNG";
  mapJob_.jobsts = kStatusGone;
  int rc = SQLInsertFullJob(session_, mapJob_);
  if (rc != 0 && rc != kSqlDuplicateKey) {
    log_.MainF(kMapFailed, static_cast<long>(rc));
  }
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kRt01CommitFailed, static_cast<long>(commit));
  }
}

void JobRegistration::AddExportJob() {
  std::string now = TimeStamp14(env_, env_.Now());
  int rc = SQLInsertJob(session_, now, "Export KVRJOBSTR", "VEL EXPORT", "exportlauf.bat qlnk.bat",
                        3600, kRunType01);
  if (rc != 0) log_.MainF(kExportFailed, static_cast<long>(rc));
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kRt01CommitFailed, static_cast<long>(commit));
  }
}

int JobRegistration::AddRT03SystemJobs(int64_t /*passTime*/) {
  AddTimedSystemJob(true);
  AddTimedSystemJob(false);
  return session_.SQLCommit();
}

// Sets the job due at its next run; makes the row first when it is missing.
// The success line is written only when the row was really made.
void JobRegistration::AddTimedSystemJob(bool daily) {
  const TimedSystemJob& job = daily ? kDailyJob : kIntervalJob;
  JobRow row;
  row.jobda1 = job.da1;
  row.jobke2 = job.ke2;
  row.joburv = job.urv;
  row.jobcmd = job.cmd;
  row.jobrty = kRunType03;
  row.jobstv = 0;
  row.jobdls = job.dls;
  row.jobsts = kStatusWaiting;
  row.jobnrt = daily ? LocalText(env_, "%Y%m%d") + dailyJobTime_ : TimeStamp14(env_, env_.Now());
  log_.Main(job.registering);
  int rc = SQLUpdateJobNextRun(session_, row);
  if (rc == kSqlNoData) {
    if (daily) {
      int deleted = SQLDeleteJob(session_, job.da1, kReminderMailKe2);
      if (deleted != 0 && deleted != kSqlNoData) {
        log_.MainF(kReminderDeleteFailed, static_cast<long>(deleted));
      }
    }
    int inserted = SQLInsertTimedJobDls(session_, row);
    if (inserted != 0) {
      log_.MainF(job.insertFailed, static_cast<long>(inserted));
    } else {
      log_.Main(job.registered);
    }
    int updated = SQLUpdateJobNextRun(session_, row);
    if (updated != 0) {
      log_.MainF(job.updateAfterInsertFailed, static_cast<long>(updated));
    }
  } else if (rc != 0) {
    log_.MainF(job.updateFailed, rc);
  }
}

}  // namespace kvr
