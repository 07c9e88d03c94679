// TableRebuild: the process table's life in a pass and its rebuild from the
// job rows in status "01" (GetKvProcs).
#include "exec/table_rebuild.h"

#include <string>

#include "core/logger.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "exec/exec_text.h"
#include "exec/running_jobs_cursor.h"

namespace kvr {

namespace {

constexpr char kOpenCursorFailed[] =
    "RTY01Jobs einlesen: Open Cursor! Fehler RC: %ld, SQLCode: %ld\n-   SQLState: %s\n-   "
    "SQLMsg: %s\n";
constexpr char kUnsupervised[] =
    "Job %s %s: status 01 without process id, counted as running, not supervised\n";
constexpr char kClaimWithoutProcess[] =
    "Job %s %s: claimed for its start at %s, no process of it found; closed as ended\n";
constexpr std::size_t kMaxLoggedRows = 1024;

constexpr char kFetchCursorFailed[] =
    "RTY01Jobs einlesen: Fetch Cursor! Fehler RC: %ld, SQLCode: %ld\n-   SQLState: %s\n-   "
    "SQLMsg: %s\n";

}  // namespace

TableRebuild::TableRebuild(Env& env, Logger& log, Session& session, ExecutorState& state,
                           JobIdentity& identity)
    : env_(env), log_(log), session_(session), state_(state), identity_(identity) {}

namespace {

// Adds to 'into' every taken entry of 'from' it does not hold (same process
// id and key), each into a free entry while there is one.
void MergeEntries(ProcessTable& into, const ProcessTable& from) {
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    const ProcessEntry& other = from[i];
    if (other.free()) continue;
    bool held = false;
    for (std::size_t j = 0; j < ProcessTable::kCapacity && !held; ++j) {
      held = into[j].pid == other.pid && into[j].jobda1 == other.jobda1 &&
             into[j].jobke2 == other.jobke2;
    }
    if (held) continue;
    int slot = into.FirstFree();
    if (slot < 0) return;
    into[static_cast<std::size_t>(slot)] = other;
  }
}

}  // namespace

// After a rebuild that broke off, the table holds only part of the running
// jobs: taken alone as the copy it would lose the others for good when the
// rebuild keeps failing, so it is added to the copy instead.
void TableRebuild::SaveProcessTable() {
  if (rebuildBroken_) {
    MergeEntries(state_.saved, state_.table);
  } else {
    state_.saved.CopyFrom(state_.table);
  }
}
// The saved copy stands for a table that a broken pass may have left empty
// or half rebuilt; the table itself holds the jobs started since the copy
// was taken. Both together are every job that may still run: the entries of
// the table stay, and each saved entry the table does not hold (same
// process id and key) is put back into a free entry.
void TableRebuild::RestoreProcessTable() { MergeEntries(state_.table, state_.saved); }
void TableRebuild::ClearSavedProcessTable() { state_.saved.Clear(); }

void TableRebuild::ClearProcessTable() {
  state_.table.Clear();
  state_.exclusions.Clear();
}

void TableRebuild::LogCursorFailure(const char* format, int rc, int* sqlCode) {
  std::string state, message;
  *sqlCode = session_.GetLastSQLError(&state, &message);
  log_.MainF(format, static_cast<long>(rc), static_cast<long>(*sqlCode), state.c_str(),
             message.c_str());
}

void TableRebuild::FillEntry(ProcessEntry& entry, const RunningJobRow& row) {
  entry.Clear();
  static_cast<RunningJobRow&>(entry) = row;
  entry.jobnam = TrimmedRight(row.jobnam.view());
  entry.programName = entry.jobnam.view();
  entry.jobnum = TrimmedRight(row.jobnum.view());
  // An empty JOBNUM (a row of another program) gives an entry without
  // process that is counted as running; "0" is a row claimed for its start.
  // Any other JOBNUM that cannot name the job's own process (not a plain
  // number, init, the controller itself) leaves the entry without process;
  // CheckProcessTime closes such a row as gone.
  if (entry.jobnum.view().empty()) {
    LogUnsupervised(entry);
    return;
  }
  if (entry.jobnum.view() == kClaimedJobNum) {
    entry.idUnwritten = true;
    return;
  }
  Pid pid = PidFromJobNum(entry.jobnum.view());
  if (pid <= 1 || pid == env_.SelfPid()) {
    entry.pid = 0;
    entry.withoutProcess = true;
  } else {
    entry.pid = pid;
  }
}

void TableRebuild::LogUnsupervised(const ProcessEntry& entry) {
  std::string key = entry.jobda1.str() + " " + entry.jobke2.str();
  for (const std::string& k : unsupervisedLogged_) {
    if (k == key) return;
  }
  if (unsupervisedLogged_.size() >= kMaxLoggedRows) unsupervisedLogged_.clear();
  unsupervisedLogged_.push_back(key);
  log_.MainF(kUnsupervised, entry.jobda1.c_str(), entry.jobke2.c_str());
}

// What is known of the job's process from the saved copy, for the same row
// (usually at the same index, as the rows come in the same order): its
// creation, and for a claimed row the process id itself.
void TableRebuild::CarryBirth(ProcessEntry& entry, std::size_t index) {
  if (entry.pid == 0 && !entry.idUnwritten) return;
  const ProcessTable& saved = state_.saved;
  auto same = [&entry](const ProcessEntry& s) {
    bool process = entry.idUnwritten ? s.pid != 0 && s.jobsda == entry.jobsda : s.pid == entry.pid;
    return process && s.jobda1 == entry.jobda1 && s.jobke2 == entry.jobke2;
  };
  const ProcessEntry* from = same(saved[index]) ? &saved[index] : nullptr;
  for (std::size_t i = 0; from == nullptr && i < ProcessTable::kCapacity; ++i) {
    if (same(saved[i])) from = &saved[i];
  }
  if (from != nullptr) {
    entry.bornMs = from->bornMs;
    entry.startTicks = from->startTicks;
    entry.pid = from->pid;
  } else if (entry.idUnwritten) {
    FindClaimedProcess(entry);
  }
}

// A claimed row this controller does not know (a crash came between the
// claim and the writing of the id): its process is the one with the row's
// mark; without one the job is closed, whether it ran or not is not known.
void TableRebuild::FindClaimedProcess(ProcessEntry& entry) {
  for (const MarkedProcess& p : identity_.MarkedProcesses()) {
    if (!p.mark.SameRun(entry.jobda1.view(), entry.jobke2.view(), entry.jobsda.view())) continue;
    if (entry.pid != 0 && entry.startTicks <= p.stat.startTicks) continue;  // the first one
    entry.pid = p.pid;
    entry.startTicks = p.stat.startTicks;
  }
  if (entry.pid != 0) return;
  log_.MainF(kClaimWithoutProcess, entry.jobda1.c_str(), entry.jobke2.c_str(),
             entry.jobsda.c_str());
  entry.withoutProcess = true;
  entry.unknownAfterRestart = true;
  entry.idUnwritten = false;
}

int TableRebuild::GetKvProcs(int* sqlCode) {
  env_.ReapChildren();
  *sqlCode = 0;
  rebuildBroken_ = true;  // until the last row has been read
  RunningJobsCursor cursor;
  int rc = cursor.Open(session_, kStatusRunning);
  if (rc != 0) {
    LogCursorFailure(kOpenCursorFailed, rc, sqlCode);
    return 0;
  }
  std::size_t fill = 0;
  RunningJobRow row;
  while (fill < ProcessTable::kCapacity) {
    rc = cursor.Fetch(&row);
    if (rc == kSqlNoData) break;
    if (rc != 0) {
      LogCursorFailure(kFetchCursorFailed, rc, sqlCode);
      return 0;
    }
    FillEntry(state_.table[fill], row);
    if (!state_.exclusions.AddRunningOrigin(row.joburv.view()))
      log_.Main(kExclusionListFullMessage);
    CarryBirth(state_.table[fill], fill);
    ++fill;
  }
  state_.exclusions.FinishRebuild();
  cursor.Close();
  rebuildBroken_ = false;
  state_.runningJobs = static_cast<int32_t>(fill);
  return 1;
}

}  // namespace kvr
