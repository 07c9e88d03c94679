// JobTerminator: ending jobs. KillAllProcs ends every managed job when the
// watching service or the database is lost; KillLeftoverProcess ends a
// standing job's leftover process at start-up. Only processes that carry
// this controller's mark are ever ended, each with its whole tree (its
// process group, the marked descendants that left it, and the descendants
// that left it and dropped the mark, found through their parents); system hosts and,
// in instance mode, command interpreters are never ended.
#include "exec/terminate.h"

#include <string>

#include "core/logger.h"
#include "core/service_contact.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "exec/exec_text.h"
#include "exec/job_output.h"
#include "platform/command_words.h"

namespace kvr {

namespace {

constexpr char kSystemHost[] = "svchost.exe";
constexpr char kCommandInterpreter[] = "cmd.exe";
constexpr char kDailyClosing[] = "nachtlauf.exe";

constexpr char kProcessEnded[] = "Prozess beendet: %s ProcessID %d\n";
constexpr char kKillCommitFailed[] = "SQLCommit: Kill Process! RC: %ld\n";
constexpr char kNoProcessInfo[] = "Keine Prozessinformationen vorhanden. Error: %ld!\n";
constexpr char kNoProcessName[] = "Der Prozessname konnte nicht ermittelt werden. Error: %ld!\n";
constexpr char kNoProcessPath[] = "Der Prozesspfad konnte nicht ermittelt werden. Error: %ld!\n";
constexpr char kNotEnded[] = "Prozess wurde nicht beendet: %s (PID: %ld) Pfad: %s!\n";
constexpr char kNotEndedUnmarked[] =
    "Job %s %s: process %d carries no job mark; not ended, row left as it is\n";

// Error numbers given for a process that cannot be inspected.
constexpr long kNoSuchProcess = 3;  // ESRCH
constexpr long kNoAccess = 13;      // EACCES

constexpr int kEndPollMs = 50;

bool Spared(std::string_view name, bool instanceMode) {
  return EqualsNoCase(name, kSystemHost) ||
         (instanceMode && EqualsNoCase(name, kCommandInterpreter));
}

}  // namespace

JobTerminator::JobTerminator(Env& env, Logger& log, Session& session, ServiceContact& contact,
                             ExecutorState& state, JobIdentity& identity, EndWriter& ends,
                             JobOutput& output, bool instanceMode)
    : env_(env),
      log_(log),
      session_(session),
      contact_(contact),
      state_(state),
      identity_(identity),
      ends_(ends),
      output_(output),
      instanceMode_(instanceMode) {}

// All jobs are signalled first, then each row and line is written in the
// table's order, then the jobs are waited for together (bounded), so ending
// many jobs takes about as long as ending one.
void JobTerminator::KillAllProcs(int reason) {
  JobEnding ending{reason == kReasonDatabaseLost ? JobEnding::kDatabaseLost : JobEnding::kShutDown};
  std::vector<MarkedProcess> marked = identity_.MarkedProcesses();
  std::vector<ProcessRef> targets;
  std::vector<char> verdicts(ProcessTable::kCapacity, 0);  // 'e'nd, 'k'eep, 'g'one, 'f'oreign
  std::vector<std::string> why(ProcessTable::kCapacity);
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    ProcessEntry& entry = state_.table[i];
    if (entry.pid == 0) continue;
    auto stat = env_.ReadProcessStat(entry.pid);
    Identity identity = Identity::kGone;
    if (stat && stat->alive && entry.jobsts.view() == kStatusRunning) {
      if (entry.startTicks != 0) {
        identity = stat->startTicks == entry.startTicks ? Identity::kOwn : Identity::kForeign;
      } else {
        identity = identity_.Identify(entry, &why[i]);
        if (identity == Identity::kOwn) entry.startTicks = stat->startTicks;
      }
    }
    std::string_view name = TrimmedRight(entry.programName.view());
    if (identity == Identity::kOwn && !Spared(name, instanceMode_)) {
      verdicts[i] = 'e';
      if (!EqualsNoCase(name, kDailyClosing)) {
        for (const ProcessRef& ref : identity_.JobTree(entry, marked)) targets.push_back(ref);
      }
    } else if (identity == Identity::kGone && entry.jobsts.view() == kStatusRunning &&
               reason == kReasonServiceLost) {
      verdicts[i] = 'g';  // ended since the last supervision: no later pass closes it
    } else {
      verdicts[i] = identity == Identity::kForeign    ? 'f'
                    : identity == Identity::kUnmarked ? 'u'
                                                      : 'k';
    }
  }
  // The jobs' descendants that left their groups and their marks go with
  // them; so do the controller's children that no job names: descendants
  // whose parents have gone, which no job can be told for.
  for (const ProcessRef& ref : identity_.DescendantsOf(targets)) targets.push_back(ref);
  std::size_t named = targets.size();
  for (Pid pid : env_.OwnProcesses()) {
    auto stat = env_.ReadProcessStat(pid);
    if (!stat || !stat->alive || stat->parent != env_.SelfPid()) continue;
    bool known = false;
    for (std::size_t i = 0; i < named && !known; ++i) known = targets[i].pid == pid;
    if (!known) targets.push_back({pid, stat->startTicks});
  }
  env_.EndProcesses(targets);
  WriteAllEnds(verdicts, why, ending, reason);
  AwaitEnded(targets);
  if (reason == kReasonServiceLost) output_.CollectEndings();  // the last chance to write them
}

void JobTerminator::WriteAllEnds(const std::vector<char>& verdicts, std::vector<std::string>& why,
                                 JobEnding ending, int reason) {
  env_.ReapChildren();  // the exit statuses of the jobs that ended by themselves
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    ProcessEntry& entry = state_.table[i];
    if (entry.pid == 0) continue;
    Pid pid = entry.pid;
    if (verdicts[i] == 'e') {
      bool spared = EqualsNoCase(TrimmedRight(entry.programName.view()), kDailyClosing);
      std::string stamp = entry.jobsda.str(), key = entry.jobke2.str();
      CloseForAllProcs(entry, kStatusEnded, ending, pid);
      if (!spared) output_.Ended(pid, stamp, key);
    } else if (verdicts[i] == 'g') {
      ends_.CloseGone(entry, false);
    } else if (verdicts[i] == 'f') {
      if (why[i].empty()) why[i] = "its id went to a newer process";
      ends_.CloseForeign(entry, why[i]);
    } else if (verdicts[i] == 'u') {
      log_.MainF(kNotEndedUnmarked, entry.jobda1.c_str(), entry.jobke2.c_str(),
                 static_cast<int>(pid));
      entry.pid = 0;
    } else {
      entry.pid = 0;  // gone, or already closed in this pass: the row is left
    }
    if (reason == kReasonDatabaseLost) contact_.Contact("KillAllProcs", false);
  }
}

// The row gets the status and the end time; the update's result is not
// looked at (with the database lost it fails). The line comes before the
// commit, a failed commit is logged after it.
void JobTerminator::CloseForAllProcs(ProcessEntry& entry, std::string_view status, JobEnding ending,
                                     Pid loggedPid) {
  ends_.WriteEnd(entry, status, ending);
  log_.MainF(kProcessEnded, entry.programName.c_str(), static_cast<int>(loggedPid));
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kKillCommitFailed, static_cast<long>(commit));
  }
  entry.pid = 0;
}

// The ended jobs get their grace period, so that one that ignores SIGTERM
// still gets SIGKILL instead of outliving the controller.
void JobTerminator::AwaitEnded(const std::vector<ProcessRef>& ended) {
  if (ended.empty()) return;
  // The ended jobs get their grace period (their SIGKILL, should they
  // ignore SIGTERM, is sent meanwhile) and a second more to go.
  int64_t deadline = env_.SteadyMillis() + env_.KillGraceMs() + 1000;
  std::size_t first = 0;  // all before it are gone
  for (;;) {
    env_.ReapChildren();
    while (first < ended.size()) {
      auto stat = env_.ReadProcessStat(ended[first].pid);
      if (stat && stat->alive && stat->startTicks == ended[first].startTicks) break;
      ++first;
    }
    if (first == ended.size() || env_.SteadyMillis() >= deadline) return;
    env_.SleepMs(kEndPollMs);
  }
}

// A standing job's leftover: in instance mode the process of the row's id,
// when it carries this controller's mark; otherwise every marked process of
// the image name.
void JobTerminator::KillLeftoverProcess(Pid pid, std::string_view programName) {
  if (programName.empty()) return;
  std::string name(programName);
  if (!instanceMode_) {
    KillLeftoverByName(name);
    return;
  }
  if (pid == 0) return;
  if (!env_.ProcessAlive(pid)) {
    log_.MainF(kNoProcessInfo, kNoSuchProcess);
    return;
  }
  auto image = env_.ProcessImageOf(pid);
  if (!image) {
    log_.MainF(kNoProcessInfo, kNoAccess);
    return;
  }
  if (image->baseName.empty()) {
    log_.MainF(kNoProcessName, kNoAccess);
    return;
  }
  if (image->path.empty()) {
    log_.MainF(kNoProcessPath, kNoAccess);
    return;
  }
  std::vector<MarkedProcess> marked = identity_.MarkedProcesses();
  for (const MarkedProcess& p : marked) {
    if (p.pid != pid || !EqualsNoCase(name, image->baseName) || Spared(name, true)) continue;
    ProcessEntry entry;
    entry.pid = pid;
    entry.startTicks = p.stat.startTicks;
    entry.jobda1 = p.mark.jobda1;
    entry.jobke2 = p.mark.jobke2;
    entry.jobsda = p.mark.jobsda;
    env_.EndProcesses(identity_.JobTree(entry, marked));
    return;
  }
  log_.MainF(kNotEnded, image->baseName.c_str(), static_cast<long>(pid), image->path.c_str());
}

void JobTerminator::KillLeftoverByName(const std::string& name) {
  std::vector<ProcessRef> targets;
  for (const MarkedProcess& p : identity_.MarkedProcesses()) {
    auto image = env_.ProcessImageOf(p.pid);
    if (image && EqualsNoCase(image->baseName, name)) targets.push_back({p.pid, p.stat.startTicks});
  }
  env_.EndProcesses(targets);
}

}  // namespace kvr
