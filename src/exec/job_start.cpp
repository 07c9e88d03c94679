// JobStarter: the job start. One due row becomes a process: the process is
// created only when a process entry is free and the row has been claimed,
// with the job's mark in its environment and its command line in UTF-8,
// recorded in the entry and in the row (status "01" with program name, id
// and start time), and its origin joins the exclusion list. A failed creation marks the row "90",
// counts the attempt and tells the users.
#include "exec/job_start.h"

#include <string>
#include <vector>

#include "core/logger.h"
#include "db/client/win1252.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "exec/exec_text.h"
#include "exec/job_output.h"
#include "exec/job_output_files.h"
#include "exec/run_history.h"
#include "messages/message_poster.h"

namespace kvr {

namespace {

constexpr int32_t kMaxStartAttempts = 10;

// The five bytes Windows-1252 leaves undefined stand for no character.
bool ConvertibleToUtf8(std::string_view text) {
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) return false;
  }
  return true;
}
constexpr char kUnknownName[] = "unknown";

constexpr char kTableFull[] = "Start PGM: %s Prozesstabelle voll, Job nicht gestartet!\n";
constexpr char kStarted[] = "Start PGM: %s Cmd: %s\n";
constexpr char kUpdateAfterStartFailed[] =
    "Start PGM: %s Cmd: %s Fehler Update Kvr500Job RC: %ld\n";
constexpr char kCreateFailed[] = "Start PGM: %s Cmd: %s fehlgeschlagen!\n";
constexpr char kCreateFailedMessage[] = "Der Job %s konnte nicht gestartet werden!";
constexpr char kFailedUpdateFailed[] = "Start PGM: %s Fehler Update Kvr500Job(2) RC: %ld\n";
constexpr char kNotConvertible[] =
    "Start PGM: %s holds characters without a UTF-8 form; not started\n";
constexpr char kClaimCommitFailed[] = "SQLCommit: Start PGM %s vor dem Start! RC: %ld\n";
constexpr char kFailedCommitFailed[] = "SQLCommit: Start PGM %s fehlgeschlagen! RC: %ld\n";

}  // namespace

JobStarter::JobStarter(Env& env, Logger& log, Session& session, MessagePoster& poster,
                       ExecutorState& state, const JobIdentity& identity, EndWriter& ends,
                       JobOutput& output, RunHistory& history)
    : env_(env),
      log_(log),
      session_(session),
      poster_(poster),
      state_(state),
      identity_(identity),
      ends_(ends),
      output_(output),
      history_(history) {}

// The row is claimed before the process is created: "01" with JOBNUM "0"
// and the start time, committed. A database that does not take the claim
// means no process in this pass. A crash after the claim leaves a row that
// a restarted controller resolves through the job's mark, so a row never
// runs twice. Once the process runs its id is written; when that fails the
// job keeps running, supervised, and its id is written by a later pass.
// The id is made durable by the next commit (the next start's claim, or
// the end of the pass) instead of a commit of its own: the claim already
// makes the start safe, and a commit costs a round trip and a flush to
// disk. Until then other programs read the row as claimed; should that
// commit be lost, the next pass finds the process by its mark and writes
// the id again.
//
// Within a start batch the claim is not committed here: the row is counted
// as running and its origin excluded at once, so the caller's next
// selection sees the batch, and FinishStartBatch (or a batch grown to
// kMaxStartBatch) commits every claim with one commit before it creates
// their processes.
int JobStarter::StartJob(const JobRow& row) {
  if (row.jobstv > kMaxStartAttempts) return kStartRefused;
  int32_t attempts = row.jobstv + 1;  // written only when the start fails
  std::string cmd(row.jobcmd.view());
  std::string_view jobda1 = row.jobda1.view(), jobke2 = row.jobke2.view();

  // No free entry: nothing is created, the row stays due for a later pass.
  if (!EntryFreeForClaim()) {
    log_.MainF(kTableFull, cmd.c_str());
    return kStartTableFull;
  }
  if (!ConvertibleToUtf8(cmd)) {
    log_.MainF(kNotConvertible, cmd.c_str());
    return StartFailed(cmd, jobda1, jobke2, attempts, kRunNotConvertible, {});
  }
  ClaimedStart start{cmd,
                     std::string(jobda1),
                     std::string(jobke2),
                     std::string(row.joburv.view()),
                     row.jobmrt,
                     attempts,
                     TimeStamp14(env_, env_.Now())};
  if (!batching_) {
    // The claim goes into a transaction of its own, committed with a sync of
    // the disk, not into one a started job's id left open without.
    session_.SQLCommit();
  }
  if (int rc = ClaimRow(cmd, start.stamp, attempts, jobda1, jobke2, !batching_); rc != 0) {
    return rc;
  }
  if (!batching_) return Launch(start, false);
  AddStartedOrigin(row.joburv.view());
  ++state_.runningJobs;
  claims_.push_back(std::move(start));
  if (claims_.size() < kMaxStartBatch) return kStartOk;
  return LaunchClaims() ? kStartOk : kStartUpdateFailed;
}

// The claims of a batch go into a transaction of their own (one that a
// started job's id left open would commit without a sync of the disk).
void JobStarter::BeginStartBatch() {
  session_.SQLCommit();
  batching_ = true;
}

bool JobStarter::FinishStartBatch() {
  batching_ = false;
  return LaunchClaims();
}

// One commit makes every claim of the batch durable; only then are their
// processes created, each one whatever became of the others, all before
// any of their rows is written again: a database that makes each write wait
// (another program holding it busy) must not stretch the time in which a
// controller that dies leaves committed claims without their processes. A
// commit that fails creates none: each claim's line is written and the rows
// stay as the database has them (due again, or, should the claims have
// reached it all the same, closed by the next pass as claimed without a
// process).
bool JobStarter::LaunchClaims() {
  if (claims_.empty()) return true;
  std::vector<ClaimedStart> claims = std::move(claims_);
  claims_.clear();
  if (int commit = session_.SQLCommit(); commit != 0) {
    for (const ClaimedStart& c : claims) {
      log_.MainF(kClaimCommitFailed, c.command.c_str(), static_cast<long>(commit));
    }
    state_.runningJobs -= static_cast<int32_t>(claims.size());
    return false;
  }
  std::vector<ProcessEntry*> created(claims.size());
  std::vector<int> errors(claims.size());
  for (std::size_t i = 0; i < claims.size(); ++i) created[i] = Create(claims[i], true, &errors[i]);
  bool ok = true;
  for (std::size_t i = 0; i < claims.size(); ++i) {
    const ClaimedStart& c = claims[i];
    int rc = created[i]
                 ? RecordStart(c, *created[i])
                 : StartFailed(c.command, c.jobda1, c.jobke2, c.attempts, errors[i], c.stamp);
    if (rc == kStartUpdateFailed) ok = false;
  }
  return ok;
}

// A free entry for one more claim: the entries the batch's claims will take
// are not free for it.
bool JobStarter::EntryFreeForClaim() const {
  if (claims_.empty()) return state_.table.FirstFree() >= 0;
  return ProcessTable::kCapacity - state_.table.CountTaken() > claims_.size();
}

// Creates the process of a committed claim and records it. `counted`: the
// claim is counted as running and its origin excluded already.
int JobStarter::Launch(const ClaimedStart& start, bool counted) {
  int error = 0;
  ProcessEntry* entry = Create(start, counted, &error);
  if (!entry) {
    return StartFailed(start.command, start.jobda1, start.jobke2, start.attempts, error,
                       start.stamp);
  }
  return RecordStart(start, *entry);
}

ProcessEntry* JobStarter::Create(const ClaimedStart& start, bool counted, int* error) {
  SpawnResult spawn =
      SpawnJob(Win1252ToUtf8(start.command), start.stamp, start.jobda1, start.jobke2);
  if (!spawn.created || spawn.pid <= 0) {
    if (counted) --state_.runningJobs;
    *error = spawn.error;
    return nullptr;
  }

  ends_.CheckProcessID(spawn.pid);
  output_.Started(spawn.pid);  // after the older job under the id has ended
  ProcessEntry& entry = state_.table[static_cast<std::size_t>(state_.table.FirstFree())];
  entry.Clear();
  entry.pid = spawn.pid;
  entry.bornMs = env_.SteadyMillis();
  if (auto stat = env_.ReadProcessStat(spawn.pid)) entry.startTicks = stat->startTicks;
  std::string name = ToLowerAscii(Utf8ToWin1252(FindProgramName(spawn.pid)));
  entry.jobda1 = start.jobda1;
  entry.jobke2 = start.jobke2;
  entry.joburv = start.joburv;
  entry.jobsts = kStatusRunning;
  entry.jobnam = name;
  entry.programName = entry.jobnam.view();  // the name as the row keeps it
  entry.jobnum = std::to_string(spawn.pid);
  entry.jobsda = start.stamp;
  entry.jobmrt = start.jobmrt;
  if (!counted) {
    AddStartedOrigin(start.joburv);
    ++state_.runningJobs;
  }
  return &entry;
}

int JobStarter::RecordStart(const ClaimedStart& start, ProcessEntry& entry) {
  const std::string& cmd = start.command;
  // The row is "01" since its claim was committed and synced; the process
  // id adds no status, and the next claim's or end's sync covers it.
  session_.db().DeferNextCommitSync();
  int rc = SQLUpdateJobRun(session_, {.da1 = start.jobda1,
                                      .ke2 = start.jobke2,
                                      .status = kStatusRunning,
                                      .name = entry.jobnam,
                                      .num = entry.jobnum,
                                      .sda = start.stamp,
                                      .stv = 1});
  if (rc != 0) {
    log_.MainF(kUpdateAfterStartFailed, cmd.c_str(), entry.jobnam.c_str(), static_cast<long>(rc));
    entry.idUnwritten = true;
    return kStartUpdateFailed;
  }
  log_.MainF(kStarted, cmd.c_str(), entry.jobnam.c_str());
  return kStartOk;
}

// 0 when the claim is committed; else kStartUpdateFailed with its line.
// A commit that reports failure creates no process. Should that claim reach
// the database all the same (an SQLite commit failing with an I/O error
// after its journal was written, replayed by the next open), the next pass
// finds the row claimed without any process of its mark and closes it "98"
// with its end unknown: that start is lost, not doubled; the line of the
// failed commit and the row's "claimed ..., no process of it found" line
// name it in the main log.
int JobStarter::ClaimRow(const std::string& command, std::string_view stamp, int32_t attempts,
                         std::string_view jobda1, std::string_view jobke2, bool commit) {
  int rc = SQLUpdateJobRun(session_, {.da1 = jobda1,
                                      .ke2 = jobke2,
                                      .status = kStatusRunning,
                                      .num = kClaimedJobNum,
                                      .sda = stamp,
                                      .stv = attempts});
  if (rc != 0) {
    log_.MainF(kUpdateAfterStartFailed, command.c_str(), "", static_cast<long>(rc));
    return kStartUpdateFailed;
  }
  if (!commit) return 0;
  if (int committed = session_.SQLCommit(); committed != 0) {
    log_.MainF(kClaimCommitFailed, command.c_str(), static_cast<long>(committed));
    return kStartUpdateFailed;
  }
  return 0;
}

// With an output folder the job writes into a file of its own; a file that
// cannot be had leaves the job on the controller's standard output.
SpawnResult JobStarter::SpawnJob(const std::string& command, std::string_view stamp,
                                 std::string_view jobda1, std::string_view jobke2) {
  std::string path = output_.Prepare(stamp, jobke2, RunningOutputNames());
  JobMark mark{identity_.owner(), std::string(jobda1), std::string(jobke2), std::string(stamp)};
  SpawnResult spawn = env_.SpawnJobProcess({command, path, JobMarkEnvironment(mark)});
  if (path.empty()) return spawn;
  if (!spawn.created) {
    if (env_.FileSize(path) == 0) env_.DeleteFile(path);  // nothing was written
  } else if (spawn.outputError != 0) {
    output_.OpenFailed(path, spawn.outputError);
  }
  return spawn;
}

std::vector<std::string> JobStarter::RunningOutputNames() const {
  std::vector<std::string> names;
  if (!output_.enabled()) return names;
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    const ProcessEntry& entry = state_.table[i];
    if (!entry.free()) names.push_back(JobOutputName(entry.jobsda.view(), entry.jobke2.view()));
  }
  return names;
}

int JobStarter::StartFailed(const std::string& command, std::string_view jobda1,
                            std::string_view jobke2, int32_t attempts, int why,
                            std::string_view claimedAt) {
  log_.MainF(kCreateFailed, command.c_str(), "");
  poster_.PostNachricht(BoundedPrintf(kCreateFailedMessage, command.c_str()));
  // A "90" lost with the connection is written again onto the claim.
  int rc = MarkStartFailed(session_, jobda1, jobke2, attempts, claimedAt);
  if (rc != 0) {
    log_.MainF(kFailedUpdateFailed, command.c_str(), static_cast<long>(rc));
    return kStartUpdateFailed;
  }
  // The run history keeps why, committed with the row's "90".
  ProcessEntry run;
  run.jobda1 = jobda1;
  run.jobke2 = jobke2;
  run.jobsda = TimeStamp14(env_, env_.Now());
  run.jobeda = run.jobsda.view();
  history_.Record(run, kRunNoStart, why);
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kFailedCommitFailed, command.c_str(), static_cast<long>(commit));
  }
  return kStartFailed;
}

// The base name of the new process's image. On Linux it can be read at once;
// the bounded retry stays for an image that cannot be read yet. A process
// that has already ended is "unknown" at once.
std::string JobStarter::FindProgramName(Pid pid) {
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    if (!env_.ProcessAlive(pid)) break;
    if (auto image = env_.ProcessImageOf(pid); image && !image->baseName.empty()) {
      return image->baseName;
    }
    if (attempt + 1 < kNameTries) env_.SleepMs(kNameRetryMs);
  }
  return kUnknownName;
}

void JobStarter::AddStartedOrigin(std::string_view origin) {
  if (!state_.exclusions.AddStartedOrigin(origin)) log_.Main(kExclusionListFullMessage);
}

}  // namespace kvr
