// RunHistory: the controller's record of each run of a job in
// KVSYSTEM.KVR510RUN, one row per start that ended: the job's key, run
// type and command, its process id, start and end, how it ended and the
// output file.
//
// Record is called where the end of a job is written into its row, before
// the caller's commit, so the run and the row's close become durable
// together. How the run ended is what the caller decided as it closed the
// row: the exit status or signal taken from the reaping, an overrun, a
// shut-down, a lost database, or unknown when the process was not the
// controller's child (adopted after a restart) or its id went to another
// process.
//
// A cancel asked for by the operator (kvrjobctl cancel) is a run row with
// RUNEND "cancel" and no end, written beside a JOBMRT of 1 that lets the
// controller end the job as it ends an overrun, with the row's own JOBMRT
// kept in RUNCOD: that end closes the run row and puts JOBMRT back.
//
// A run that cannot be written because the connection is gone is kept (a
// bounded number) and written by the next Prune, which the clean-up runs
// after a reconnect. A missing table costs one line in the main log at the
// first Prune (the start-up clean-up) and turns recording off. Nothing
// throws; a failed insert never keeps a row from being closed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/client/named_statement.h"
#include "platform/env.h"

namespace kvr {

class Logger;
class Session;
class JobOutput;
class MessagePoster;
struct ProcessEntry;

// How a run ended, as stored in RUNEND.
inline constexpr std::string_view kRunExit = "exit";          // RUNCOD: exit status
inline constexpr std::string_view kRunSignal = "signal";      // RUNCOD: signal number
inline constexpr std::string_view kRunOverrun = "overrun";    // over JOBMRT, ended
inline constexpr std::string_view kRunCancelled = "cancel";   // ended at the operator's request
inline constexpr std::string_view kRunShutdown = "shutdown";  // ended as the controller stopped
inline constexpr std::string_view kRunDbLost = "dblost";      // ended for a lost database
inline constexpr std::string_view kRunUnknown = "unknown";    // gone, status not known
inline constexpr std::string_view kRunNoStart = "nostart";    // not created; RUNCOD: errno
// RUNCOD of a start that failed because the command has characters the
// file system's UTF-8 cannot be given.
inline constexpr int32_t kRunNotConvertible = -1;

// One run as stored.
struct RunRecord {
  std::string da1, ke2, start, pid, runType, command, end, how, output;
  int32_t code = 0;
};

// A run ended badly: a status other than 0, a signal, an overrun, no start.
bool RunFailed(std::string_view how, int32_t code);
// "exit 3", "signal 9", "overrun", "cancelled", "shut-down", ...
std::string RunResultText(std::string_view how, int32_t code);

class RunHistory {
 public:
  static constexpr std::size_t kMaxPending = 1024;
  static constexpr int32_t kDefaultDays = 30;

  RunHistory(Env& env, Logger& log, Session& session, const JobOutput& output);

  // With a poster, a job that ends by itself with a status other than 0, or
  // by a signal from outside the controller, gets a user message.
  void SetFailureNotice(MessagePoster* poster) { notice_ = poster; }
  // Records the end of the entry's run: `how` (one of the kRun... words)
  // with its exit status or signal number in `code`.
  void Record(const ProcessEntry& entry, std::string_view how, int32_t code);
  // Writes the kept runs, then deletes runs that ended more than `days`
  // days ago (days < 1: the default) and commits.
  void Prune(int32_t days);
  bool enabled() const { return enabled_; }
  std::size_t pending() const { return pending_.size(); }

 private:
  int Insert(const RunRecord& run);
  int CloseCancelled(const RunRecord& run);

  Env& env_;
  Logger& log_;
  Session& session_;
  const JobOutput& output_;
  MessagePoster* notice_ = nullptr;
  bool enabled_ = true;
  std::vector<RunRecord> pending_;
};

// Statements on the run table.
int SQLInsertRun(Session& session, const RunRecord& run);
int SQLDeleteExpiredRuns(Session& session, std::string_view before);
// The cancel request of a run: 0 with *keptMrt, 1403 when there is none.
int SQLSelectCancelRequest(Session& session, const RunRecord& run, int32_t* keptMrt);
int SQLCloseCancelledRun(Session& session, const RunRecord& run);
int SQLRestoreJobMrt(Session& session, std::string_view da1, std::string_view ke2, int32_t mrt);
// Asks for the end of a running job (kvrjobctl cancel): the run row in
// RUNEND "cancel" with the row's JOBMRT kept, and JOBMRT set to 1.
int SQLInsertCancelRequest(Session& session, const RunRecord& run, int32_t keptMrt);
int SQLSetJobMrtForCancel(Session& session, std::string_view da1, std::string_view ke2);
// Every run started at or after `since` (a 14-digit time; empty: all),
// the latest start first; 0 or the client's error code.
int ReadRuns(Session& session, std::string_view since, std::vector<RunRecord>* runs);
void AppendRunHistoryStatements(StatementList* list);

}  // namespace kvr
