// JobExecutor: supervision of the managed jobs. CheckProcessTime looks at
// every entry once per pass: a job whose process is gone, carries another
// program, or was created after the job's start (its id was handed on) is
// closed as "98" and left alone; a job over its maximum running time is
// ended and closed as "99". CheckProcessID closes an older entry whose
// process id a new start has just received.
#include <string>

#include "core/logger.h"
#include "db/client/win1252.h"
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

// The ends found in one look are committed together: one commit (one sync
// of the disk) for every job that ended since the last pass, instead of one
// each. Until that commit the session keeps each end (ended_rows.h), so a
// commit that cannot write loses none of them.
void JobExecutor::CheckProcessTime() {
  output_.CollectEndings();  // the children reaped by the rebuild
  endsPending_.clear();
  endsBatched_ = true;
  CheckEntries();
  endsBatched_ = false;
  CommitEnds();
}

void JobExecutor::CheckEntries() {
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    ProcessEntry& entry = (*table_)[i];
    if (entry.withoutProcess) {
      entry.withoutProcess = false;
      JobEnding ending{entry.unknownAfterRestart ? JobEnding::kUnknownAfterRestart
                                                 : JobEnding::kUnknown};
      CloseEntry(entry, "98", ending, kGoneUpdateFailed, kGoneCommitFailed);
    } else if (entry.pid != 0) {
      CheckEntry(entry);
    }
  }
}

// One read of the process's status per check. A process known to be the
// job's is compared by its creation only; one not known yet is judged by
// its mark, read once.
void JobExecutor::CheckEntry(ProcessEntry& entry) {
  auto stat = env_.ReadProcessStat(entry.pid);
  if (stat && !stat->alive) {
    env_.ReapChildren();  // ended since the rebuild: its status is collected now
    stat.reset();
  }
  if (!stat) {
    CloseGone(entry, false);
    return;
  }
  if (entry.startTicks == 0) {
    std::string why;
    switch (Identify(entry, &why)) {
      case Identity::kOwn:
        entry.startTicks = stat->startTicks;
        break;
      case Identity::kForeign:
        CloseForeign(entry, why);
        return;
      case Identity::kUnmarked:
        CheckUnmarked(entry, *stat);
        return;
      case Identity::kGone:
        CloseGone(entry, false);
        return;
    }
  } else if (stat->startTicks != entry.startTicks) {
    CloseGone(entry, true);  // the id went to a newer process
    return;
  }
  if (!entry.bornMs) entry.bornMs = BirthMs(stat->startTime);
  UpdateRunningTime(entry, stat->startTime);
  if (entry.idUnwritten) WriteStartedId(entry);
  if (entry.jobmrt > 0 &&
      static_cast<int64_t>(entry.runningTime) > static_cast<int64_t>(entry.jobmrt)) {
    EndOverrunningJob(entry);
    return;
  }
  output_.CheckSize(entry.jobsda.view(), entry.jobke2.view());
}

// The job's process has ended (or its id went to another process, whose
// status is not the job's): the row gets "98" with how the job ended.
void JobExecutor::CloseGone(ProcessEntry& entry, bool idHandedOn) {
  Pid pid = entry.pid;
  std::optional<ExitStatus> status;
  if (!idHandedOn) status = env_.TakeExitStatus(pid);
  CloseEntry(entry, kStatusGone, JobEnding::Of(status), kGoneUpdateFailed, kGoneCommitFailed);
  output_.Ended(pid, entry.jobsda.view(), entry.jobke2.view(), false, status);
}

// A process without any mark under a row of another program (or of a start
// before marks): it is the job's while it carries the row's program name
// (compared as a prefix where JOBNAM had to cut it) and was not created
// after the job's start. It is never signalled: over its time, the row is
// closed and the process left alone.
void JobExecutor::CheckUnmarked(ProcessEntry& entry, const ProcessStat& stat) {
  std::string base = kUnknownName;
  if (auto image = env_.ProcessImageOf(entry.pid)) base = Utf8ToWin1252(image->baseName);
  std::string_view name = TrimmedRight(entry.programName.view());
  bool cut = entry.jobnam.size() == decltype(entry.jobnam)::kWidth;
  bool sameName = EqualsNoCase(name, base) || (cut && base.size() > name.size() &&
                                               EqualsNoCase(name, base.substr(0, name.size())));
  std::optional<bool> ours = CreatedByJob(entry, stat.startTime);
  if (!sameName || ours == false) {
    std::string nameText(name);
    CloseForeign(entry, !sameName ? BoundedPrintf("it carries no job mark and runs %s, not %s",
                                                  base.c_str(), nameText.c_str())
                                  : "it carries no job mark and was created after the job's start");
    return;
  }
  if (ours == true && !entry.bornMs) entry.bornMs = BirthMs(stat.startTime);
  UpdateRunningTime(entry, stat.startTime);
  if (ours == true && entry.jobmrt > 0 &&
      static_cast<int64_t>(entry.runningTime) > static_cast<int64_t>(entry.jobmrt)) {
    CloseForeign(entry, "it carries no job mark and is over the job's time");
  }
}

// Running time from the creation to now, except in the night hours of the
// last Sundays of March and October, when the clocks change.
void JobExecutor::UpdateRunningTime(ProcessEntry& entry, int64_t created) {
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
    entry.runningTime = ElapsedSeconds(env_, created, now);
  }
  env_.SleepMs(0);
}

// The answer is kept for the second it was asked for: every job of a pass
// asks within the same second or two.
bool JobExecutor::InSuspensionWindow(int64_t now) {
  if (windowCheckedAt_ == now) return inWindow_;
  std::tm local = env_.LocalTime(now);
  bool month = local.tm_mon == 2 || local.tm_mon == 9;
  inWindow_ = month && local.tm_wday == 0 && local.tm_mday >= 25 && local.tm_hour >= 1 &&
              local.tm_hour <= 5;
  windowCheckedAt_ = now;
  return inWindow_;
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

// The decision is durable before the job is signalled: the row's "99" and
// the message are committed together, then the job's tree is ended. Another
// program reading the row sees "01" until then, and "99" from the commit on,
// while the job still has its grace period to go. A controller that dies
// before the commit leaves both undone (its successor finds the job over its
// time again); one that dies after it leaves a row "99" naming a live
// process of its mark, which its successor ends (AdoptMarkedProcesses). A
// failed commit is a lost database: the session writes the "99" again once
// the database takes writes, the message goes to the fallback file, and the
// job is ended all the same.
void JobExecutor::EndOverrunningJob(ProcessEntry& entry) {
  log_.MainF(kOverrunLine, entry.jobnam.c_str());
  poster_.PostNachricht(BoundedPrintf(kOverrunMessage, entry.jobnam.c_str()));
  const ProcessEntry ended = entry;
  int rc = WriteEnd(entry, kStatusEnded, JobEnding{JobEnding::kOverrun});
  if (rc != 0) {
    log_.MainF(kOverrunUpdateFailed, entry.jobnam.c_str(), static_cast<long>(rc));
  }
  // Committed here, whatever else the pass collects for its own commit.
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kOverrunCommitFailed, entry.jobnam.c_str(), static_cast<long>(commit));
  }
  entry.pid = 0;
  --runningJobs_;
  EndJob(ended, 50);
  output_.Ended(ended.pid, ended.jobsda.view(), ended.jobke2.view());
}

// A claimed row gets its process id as soon as the database takes it.
void JobExecutor::WriteStartedId(ProcessEntry& entry) {
  std::string pid = std::to_string(entry.pid);
  int rc = SQLUpdateJobRun(session_, {.da1 = entry.jobda1,
                                      .ke2 = entry.jobke2,
                                      .status = kStatusRunning,
                                      .name = entry.jobnam,
                                      .user = entry.jobusr,
                                      .num = pid,
                                      .sda = entry.jobsda,
                                      .stv = 1});
  if (rc != 0 || session_.SQLCommit() != 0) return;  // tried again in the next pass
  entry.jobnum = pid;
  entry.idUnwritten = false;
}

// Writes the end of the job into its row (a failed update leaves the row in
// "01" for the next pass to close again) and frees the entry all the same.
void JobExecutor::CloseEntry(ProcessEntry& entry, std::string_view status, JobEnding ending,
                             const char* updateFormat, const char* commitFormat) {
  if (updateFormat == nullptr) updateFormat = kGoneUpdateFailed;
  if (commitFormat == nullptr) commitFormat = kGoneCommitFailed;
  int rc = WriteEnd(entry, status, ending);
  if (rc != 0) {
    log_.MainF(updateFormat, entry.jobnam.c_str(), static_cast<long>(rc));
  } else if (endsBatched_) {
    endsPending_.push_back({commitFormat, entry.jobnam.str()});
  } else if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(commitFormat, entry.jobnam.c_str(), static_cast<long>(commit));
  }
  entry.pid = 0;
  --runningJobs_;
}

// A failed commit is written once for each end it held, in the line that
// end's own commit would have written.
void JobExecutor::CommitEnds() {
  if (endsPending_.empty()) return;
  if (int commit = session_.SQLCommit(); commit != 0) {
    for (const PendingEnd& end : endsPending_) {
      log_.MainF(end.commitFormat, end.jobnam.c_str(), static_cast<long>(commit));
    }
  }
  endsPending_.clear();
}

// Every entry is looked at: entries closed earlier in the pass leave gaps,
// so the running jobs count says nothing about where the taken ones are.
// The closed entry is freed and no longer counted as running.
void JobExecutor::CheckProcessID(Pid pid) {
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    ProcessEntry& entry = (*table_)[i];
    if (entry.pid != pid || entry.jobsts.view() != kStatusRunning) continue;
    CloseEntry(entry, kStatusGone, JobEnding{}, kReusedUpdateFailed, kReusedCommitFailed);
    // The id went to the new job: only a status kept now is this one's.
    output_.Ended(pid, entry.jobsda.view(), entry.jobke2.view(), false);
  }
}

}  // namespace kvr
