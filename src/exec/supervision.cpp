// Supervisor: supervision of the managed jobs. CheckProcessTime looks at
// every entry once per pass: a job whose process is gone, carries another
// program, or was created after the job's start (its id was handed on) is
// closed as "98" and left alone; a job over its maximum running time is
// ended and closed as "99".
#include "exec/supervision.h"

#include <string>

#include "core/logger.h"
#include "db/client/win1252.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "exec/exec_text.h"
#include "exec/job_output.h"
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

constexpr char kMonitoringOff[] =
    "Info: Laufzeit\xFC"
    "berwachung vor Uhrzeitumstellung deaktiviert.\n";
constexpr char kMonitoringOn[] =
    "Info: Laufzeit\xFC"
    "berwachung nach Uhrzeitumstellung aktiviert.\n";

}  // namespace

Supervisor::Supervisor(Env& env, Logger& log, Session& session, MessagePoster& poster,
                       ExecutorState& state, JobIdentity& identity, EndWriter& ends,
                       JobOutput& output)
    : env_(env),
      log_(log),
      session_(session),
      poster_(poster),
      state_(state),
      identity_(identity),
      ends_(ends),
      output_(output) {}

// The ends found in one look are committed together: one commit (one sync
// of the disk) for every job that ended since the last pass, instead of one
// each. Until that commit the session keeps each end (ended_rows.h), so a
// commit that cannot write loses none of them.
void Supervisor::CheckProcessTime() {
  output_.CollectEndings();  // the children reaped by the rebuild
  ends_.BeginBatch();
  CheckEntries();
  ends_.CommitBatch();
}

void Supervisor::CheckEntries() {
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    ProcessEntry& entry = state_.table[i];
    if (entry.withoutProcess) {
      entry.withoutProcess = false;
      JobEnding ending{entry.unknownAfterRestart ? JobEnding::kUnknownAfterRestart
                                                 : JobEnding::kUnknown};
      ends_.CloseEntry(entry, "98", ending);
    } else if (entry.pid != 0) {
      CheckEntry(entry);
    }
  }
}

// One read of the process's status per check. A process known to be the
// job's is compared by its creation only; one not known yet is judged by
// its mark, read once.
void Supervisor::CheckEntry(ProcessEntry& entry) {
  auto stat = env_.ReadProcessStat(entry.pid);
  if (stat && !stat->alive) {
    env_.ReapChildren();  // ended since the rebuild: its status is collected now
    stat.reset();
  }
  if (!stat) {
    ends_.CloseGone(entry, false);
    return;
  }
  if (entry.startTicks == 0) {
    std::string why;
    switch (identity_.Identify(entry, &why)) {
      case Identity::kOwn:
        entry.startTicks = stat->startTicks;
        break;
      case Identity::kForeign:
        ends_.CloseForeign(entry, why);
        return;
      case Identity::kUnmarked:
        CheckUnmarked(entry, *stat);
        return;
      case Identity::kGone:
        ends_.CloseGone(entry, false);
        return;
    }
  } else if (stat->startTicks != entry.startTicks) {
    ends_.CloseGone(entry, true);  // the id went to a newer process
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

// A process without any mark under a row of another program (or of a start
// before marks): it is the job's while it carries the row's program name
// (compared as a prefix where JOBNAM had to cut it) and was not created
// after the job's start. It is never signalled: over its time, the row is
// closed and the process left alone.
void Supervisor::CheckUnmarked(ProcessEntry& entry, const ProcessStat& stat) {
  std::string base = kUnknownName;
  if (auto image = env_.ProcessImageOf(entry.pid)) base = Utf8ToWin1252(image->baseName);
  std::string_view name = TrimmedRight(entry.programName.view());
  bool cut = entry.jobnam.size() == decltype(entry.jobnam)::kWidth;
  bool sameName = EqualsNoCase(name, base) || (cut && base.size() > name.size() &&
                                               EqualsNoCase(name, base.substr(0, name.size())));
  std::optional<bool> ours = CreatedByJob(entry, stat.startTime);
  if (!sameName || ours == false) {
    std::string nameText(name);
    ends_.CloseForeign(entry, !sameName
                                  ? BoundedPrintf("it carries no job mark and runs %s, not %s",
                                                  base.c_str(), nameText.c_str())
                                  : "it carries no job mark and was created after the job's start");
    return;
  }
  if (ours == true && !entry.bornMs) entry.bornMs = BirthMs(stat.startTime);
  UpdateRunningTime(entry, stat.startTime);
  if (ours == true && entry.jobmrt > 0 &&
      static_cast<int64_t>(entry.runningTime) > static_cast<int64_t>(entry.jobmrt)) {
    ends_.CloseForeign(entry, "it carries no job mark and is over the job's time");
  }
}

// Running time from the creation to now, except in the night hours of the
// last Sundays of March and October, when the clocks change.
void Supervisor::UpdateRunningTime(ProcessEntry& entry, int64_t created) {
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
bool Supervisor::InSuspensionWindow(int64_t now) {
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
int64_t Supervisor::BirthMs(int64_t created) {
  return env_.SteadyMillis() - (env_.Now() - created) * 1000;
}

std::optional<bool> Supervisor::CreatedByJob(const ProcessEntry& entry,
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
void Supervisor::EndOverrunningJob(ProcessEntry& entry) {
  log_.MainF(kOverrunLine, entry.jobnam.c_str());
  poster_.PostNachricht(BoundedPrintf(kOverrunMessage, entry.jobnam.c_str()));
  const ProcessEntry ended = entry;
  int rc = ends_.WriteEnd(entry, kStatusEnded, JobEnding{JobEnding::kOverrun});
  if (rc != 0) {
    log_.MainF(kOverrunUpdateFailed, entry.jobnam.c_str(), static_cast<long>(rc));
  }
  // Committed here, whatever else the pass collects for its own commit.
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kOverrunCommitFailed, entry.jobnam.c_str(), static_cast<long>(commit));
  }
  entry.pid = 0;
  --state_.runningJobs;
  identity_.EndJob(ended, 50);
  output_.Ended(ended.pid, ended.jobsda.view(), ended.jobke2.view());
}

// A claimed row gets its process id as soon as the database takes it.
void Supervisor::WriteStartedId(ProcessEntry& entry) {
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

}  // namespace kvr
