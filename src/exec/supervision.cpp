// JobExecutor: supervision of the managed jobs. CheckProcessTime looks at
// every entry once per pass: a job whose process is gone, carries another
// program, or was created after the job's start (its id was handed on) is
// closed as "98" and left alone; a job over its maximum running time is
// ended and closed as "99". CheckProcessID closes an older entry whose
// process id a new start has just received.
#include <string>

#include "core/logger.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "exec/exec_text.h"
#include "exec/job_executor.h"
#include "messages/message_poster.h"
#include "platform/command_words.h"

namespace kvr {

namespace {

constexpr char kUnknownName[] = "unknown";

constexpr char kOverrunLine[] = "END PGM: PGM %s wird wegen Laufzeitueberschreitung beendet!\n";
constexpr char kOverrunMessage[] =
    "Programm %s wird wegen Laufzeit\xFC"
    "berschreitung abgebrochen!";
constexpr char kOverrunUpdateFailed[] = "Update CheckProcessTime(1): %s Fehler RC: %ld\n";
constexpr char kOverrunCommitFailed[] = "SQLCommit: CheckProcessTime(1): Job beenden %s! RC: %ld\n";
constexpr char kGoneUpdateFailed[] = "Update CheckProcessTime(2): %s Fehler RC: %ld\n";
constexpr char kGoneCommitFailed[] = "SQLCommit: CheckProcessTime(2): Job beendet %s! RC: %ld\n";
constexpr char kReusedUpdateFailed[] = "- Update JobStatus: %s CheckProcessID! Fehler RC: %ld\n";
constexpr char kReusedCommitFailed[] = "SQLCommit: CheckProcessID: Job %s! RC: %ld\n";

constexpr char kMonitoringOff[] =
    "Info: Laufzeit\xFC"
    "berwachung vor Uhrzeitumstellung deaktiviert.\n";
constexpr char kMonitoringOn[] =
    "Info: Laufzeit\xFC"
    "berwachung nach Uhrzeitumstellung aktiviert.\n";

}  // namespace

void JobExecutor::CheckProcessTime() {
  output_.CollectEndings();  // the children reaped by the rebuild
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    ProcessEntry& entry = (*table_)[i];
    if (entry.withoutProcess) {
      entry.withoutProcess = false;
      CloseEntry(entry, "98", kGoneUpdateFailed, kGoneCommitFailed);
    } else if (entry.pid != 0) {
      CheckEntry(entry);
    }
  }
}

void JobExecutor::CheckEntry(ProcessEntry& entry) {
  bool opened = env_.ProcessAlive(entry.pid);
  std::string base = kUnknownName;
  std::optional<int64_t> created;
  bool imageRead = false;
  if (opened) {
    created = env_.ProcessStartTime(entry.pid);
    if (auto image = env_.ProcessImageOf(entry.pid)) {
      imageRead = true;
      base = image->baseName;
      UpdateRunningTime(entry, created);
    }
  }
  bool sameName = opened && EqualsNoCase(TrimmedRight(entry.programName.view()), base);
  std::optional<bool> ours = CreatedByJob(entry, created);
  if (ours == true && !entry.bornMs) entry.bornMs = BirthMs(*created);
  if (sameName && ours == true && entry.jobmrt > 0 &&
      static_cast<int64_t>(entry.runningTime) > static_cast<int64_t>(entry.jobmrt)) {
    EndOverrunningJob(entry);
    return;
  }
  // Another process under the job's id: the job's own process has ended.
  if (!sameName || ours == false) {
    Pid pid = entry.pid;
    CloseEntry(entry, "98", kGoneUpdateFailed, kGoneCommitFailed);
    // A process whose image could be read is another one under the id: its
    // status is not the job's. Without the image (the job gone, or just
    // exiting and not yet reaped) the job's own status is still to come.
    output_.Ended(pid, entry.jobsda.view(), entry.jobke2.view(), !imageRead);
    return;
  }
  output_.CheckSize(entry.jobsda.view(), entry.jobke2.view());
}

// Running time from the creation to now, except in the night hours of the
// last Sundays of March and October, when the clocks change.
void JobExecutor::UpdateRunningTime(ProcessEntry& entry, std::optional<int64_t> created) {
  int64_t now = env_.Now();
  if (InSuspensionWindow(now)) {
    if (monitoring_) {
      log_.Main(kMonitoringOff);
      monitoring_ = false;
    }
    entry.runningTime = 0;
  } else {
    if (!monitoring_) {
      log_.Main(kMonitoringOn);
      monitoring_ = true;
    }
    entry.runningTime = created ? ElapsedSeconds(env_, *created, now) : 0;
  }
  env_.SleepMs(0);
}

bool JobExecutor::InSuspensionWindow(int64_t now) {
  std::tm local = env_.LocalTime(now);
  bool month = local.tm_mon == 2 || local.tm_mon == 9;
  return month && local.tm_wday == 0 && local.tm_mday >= 25 && local.tm_hour >= 1 &&
         local.tm_hour <= 5;
}

// Once the creation of the job's process is known, a process under its id
// is compared with that: the wall clock may have been set forward since the
// row's start time was written, which would make the job's own process look
// newer than the job. The creation time and the current time move together
// with the wall clock, so their difference (the process's age) does not.
int64_t JobExecutor::BirthMs(int64_t created) {
  return env_.SteadyMillis() - (env_.Now() - created) * 1000;
}

std::optional<bool> JobExecutor::CreatedByJob(const ProcessEntry& entry,
                                              std::optional<int64_t> created) {
  if (!created) return std::nullopt;
  if (entry.bornMs) return BirthMs(*created) <= *entry.bornMs + kBirthToleranceMs;
  auto started = LatestTimeOfStamp(env_, entry.jobsda.view());
  if (!started) return std::nullopt;
  return *created <= *started + kStartTolerance;
}

void JobExecutor::EndOverrunningJob(ProcessEntry& entry) {
  log_.Main(BoundedPrintf(kOverrunLine, entry.jobnam.c_str()));
  poster_.PostNachricht(BoundedPrintf(kOverrunMessage, entry.jobnam.c_str()));
  Pid pid = entry.pid;
  KillById(pid, 50);
  CloseEntry(entry, "99", kOverrunUpdateFailed, kOverrunCommitFailed);
  output_.Ended(pid, entry.jobsda.view(), entry.jobke2.view());
}

// Writes the end of the job into its row (a failed update leaves the row in
// "01" for the next pass to close again) and frees the entry all the same.
void JobExecutor::CloseEntry(ProcessEntry& entry, std::string_view status, const char* updateFormat,
                             const char* commitFormat) {
  int rc = WriteEnd(entry, status);
  if (rc != 0) {
    log_.Main(BoundedPrintf(updateFormat, entry.jobnam.c_str(), static_cast<long>(rc)));
  } else if (int commit = session_.SQLCommit(); commit != 0) {
    log_.Main(BoundedPrintf(commitFormat, entry.jobnam.c_str(), static_cast<long>(commit)));
  }
  entry.pid = 0;
  --runningJobs_;
}

// Every entry is looked at: entries closed earlier in the pass leave gaps,
// so the running jobs count says nothing about where the taken ones are.
// The closed entry is freed and no longer counted as running.
void JobExecutor::CheckProcessID(Pid pid) {
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    ProcessEntry& entry = (*table_)[i];
    if (entry.pid != pid || entry.jobsts.view() != kStatusRunning) continue;
    CloseEntry(entry, kStatusGone, kReusedUpdateFailed, kReusedCommitFailed);
    // The id went to the new job: only a status kept now is this one's.
    output_.Ended(pid, entry.jobsda.view(), entry.jobke2.view(), false);
  }
}

}  // namespace kvr
