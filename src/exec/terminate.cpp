// JobExecutor: ending jobs. KillAllProcs ends every managed job when the
// watching service or the database is lost; KillLeftoverProcess ends a
// standing job's leftover process at start-up. A process is ended only when
// it still carries the job's program (and, in instance mode, lies below the
// controller's directory); system hosts and, in instance mode, command
// interpreters are never ended.
#include <string>

#include "core/logger.h"
#include "core/service_contact.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "exec/exec_text.h"
#include "exec/job_executor.h"
#include "platform/command_words.h"
#include "platform/posix_env.h"

namespace kvr {

namespace {

constexpr char kUnknownName[] = "unknown";
constexpr char kSystemHost[] = "svchost.exe";
constexpr char kCommandInterpreter[] = "cmd.exe";
constexpr char kDailyClosing[] = "nachtlauf.exe";

constexpr char kProcessEnded[] = "Prozess beendet: %s ProcessID %d\n";
constexpr char kKillCommitFailed[] = "SQLCommit: Kill Process! RC: %ld\n";
constexpr char kNoProcessInfo[] = "Keine Prozessinformationen vorhanden. Error: %ld!\n";
constexpr char kNoProcessName[] = "Der Prozessname konnte nicht ermittelt werden. Error: %ld!\n";
constexpr char kNoProcessPath[] = "Der Prozesspfad konnte nicht ermittelt werden. Error: %ld!\n";
constexpr char kNotEnded[] = "Prozess wurde nicht beendet: %s (PID: %ld) Pfad: %s!\n";

// Error numbers given for a process that cannot be inspected.
constexpr long kNoSuchProcess = 3;  // ESRCH
constexpr long kNoAccess = 13;      // EACCES

// Time given to the jobs ended at shut-down to go before the controller
// ends (their SIGKILL, should they ignore SIGTERM, is sent meanwhile).
constexpr int64_t kShutdownWaitMs = (PosixEnv::kKillGraceSeconds + 1) * 1000;
constexpr int kShutdownPollMs = 100;

}  // namespace

bool JobExecutor::InProgramDir(const std::string& path) const {
  if (programDir_.empty()) return false;  // unknown directory: end nothing
  std::string_view dir(path);
  dir = dir.substr(0, dir.size() - BaseName(dir).size());
  return dir.find(programDir_) != std::string_view::npos;
}

bool JobExecutor::MayEndInAllProcs(const ProcessEntry& entry,
                                   const std::optional<ProcessImage>& image) {
  std::string base = image ? image->baseName : kUnknownName;
  if (!EqualsNoCase(TrimmedRight(entry.programName.view()), base)) return false;
  if (EqualsNoCase(base, kSystemHost)) return false;
  if (!instanceMode_) return true;
  return image && InProgramDir(image->path) && !EqualsNoCase(base, kCommandInterpreter);
}

void JobExecutor::KillAllProcs(int reason) {
  RunHistory::Ending ending(history_, reason == kReasonServiceLost ? kRunShutdown : kRunDbLost);
  std::vector<Pid> ended;
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    ProcessEntry& entry = (*table_)[i];
    if (entry.pid == 0) continue;
    Pid pid = entry.pid;
    bool opened = env_.ProcessAlive(pid);
    std::optional<ProcessImage> image;
    if (opened) image = env_.ProcessImageOf(pid);
    std::optional<bool> ours =
        opened ? CreatedByJob(entry, env_.ProcessStartTime(pid)) : std::nullopt;
    if (!opened || entry.jobsts.view() != kStatusRunning) {
      entry.pid = 0;  // gone, or already closed in this pass: the row is left
    } else if (ours == false) {
      CloseForAllProcs(entry, kStatusGone);  // the id went to a newer process
      output_.Ended(pid, entry.jobsda.view(), entry.jobke2.view(), false);
    } else if (ours == true && MayEndInAllProcs(entry, image)) {
      bool spared = EqualsNoCase(TrimmedRight(entry.programName.view()), kDailyClosing);
      if (!spared) {
        KillById(pid, 0);
        ended.push_back(pid);
      }
      CloseForAllProcs(entry, kStatusEnded);
      if (!spared) output_.Ended(pid, entry.jobsda.view(), entry.jobke2.view());
      log_.Main(BoundedPrintf(kProcessEnded, entry.programName.c_str(), static_cast<int>(pid)));
      env_.SleepMs(100);
    } else {
      entry.pid = 0;
    }
    if (reason == kReasonDatabaseLost) contact_.Contact("KillAllProcs", false);
  }
  if (reason == kReasonServiceLost) {
    AwaitEnded(ended);
    output_.CollectEndings();  // the controller ends: the last chance to write them
  }
}

// The row gets the status and the end time; the update's result is not
// looked at (with the database lost it fails), a failed commit is logged.
void JobExecutor::CloseForAllProcs(ProcessEntry& entry, std::string_view status) {
  WriteEnd(entry, status);
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.Main(BoundedPrintf(kKillCommitFailed, static_cast<long>(commit)));
  }
  entry.pid = 0;
}

// Before the controller ends, the ended jobs get their grace period, so that
// one that ignores SIGTERM still gets SIGKILL instead of outliving us.
void JobExecutor::AwaitEnded(const std::vector<Pid>& ended) {
  int64_t deadline = env_.SteadyMillis() + kShutdownWaitMs;
  for (;;) {
    env_.ReapChildren();
    bool anyAlive = false;
    for (Pid pid : ended) anyAlive = anyAlive || env_.ProcessAlive(pid);
    if (!anyAlive || env_.SteadyMillis() >= deadline) return;
    env_.SleepMs(kShutdownPollMs);
  }
}

void JobExecutor::KillLeftoverProcess(Pid pid, std::string_view programName) {
  if (programName.empty()) return;
  std::string name(programName);
  if (!instanceMode_) {
    env_.KillByImageName(name);
    return;
  }
  if (pid == 0) return;
  if (!env_.ProcessAlive(pid)) {
    log_.Main(BoundedPrintf(kNoProcessInfo, kNoSuchProcess));
    return;
  }
  auto image = env_.ProcessImageOf(pid);
  if (!image) {
    log_.Main(BoundedPrintf(kNoProcessInfo, kNoAccess));
    return;
  }
  if (image->baseName.empty()) {
    log_.Main(BoundedPrintf(kNoProcessName, kNoAccess));
    return;
  }
  if (image->path.empty()) {
    log_.Main(BoundedPrintf(kNoProcessPath, kNoAccess));
    return;
  }
  if (EqualsNoCase(name, image->baseName) && InProgramDir(image->path) &&
      !EqualsNoCase(name, kSystemHost) && !EqualsNoCase(name, kCommandInterpreter)) {
    KillById(pid, 0);
    return;
  }
  log_.Main(BoundedPrintf(kNotEnded, image->baseName.c_str(), static_cast<long>(pid),
                          image->path.c_str()));
}

}  // namespace kvr
