// EndWriter: the one place a job's end is written into its row.
//
// WriteEnd writes JOBSTS and JOBEDA (now) into the entry and the row,
// knowing how the job ended, and records the run in the run history; only
// the row of the entry's own run is written (still "01" with the entry's
// process id and start time), so an entry of an earlier run never closes a
// later one. The Close calls write the end, commit it (or keep it for the
// batch of one supervision), free the entry and count the job down. A
// failed update or commit is a line in the main log; the entry is freed
// all the same and the row left for a later pass. Nothing throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/client/named_statement.h"
#include "exec/executor_state.h"
#include "platform/env.h"

namespace kvr {

class Logger;
class Session;
class JobOutput;
class RunHistory;

// How a job ended, as its end is written into its row.
struct JobEnding {
  enum Kind {
    kExited,               // code: exit status
    kSignaled,             // code: the signal's number
    kOverrun,              // ended for its running time
    kShutDown,             // ended because the watching service stopped
    kDatabaseLost,         // ended because the database connection was lost
    kUnknownAfterRestart,  // claimed before a crash, no process found
    kUnknown,              // gone, its exit status not known to us
  };
  Kind kind = kUnknown;
  int code = 0;
  static JobEnding Of(const std::optional<ExitStatus>& status);
};

class EndWriter {
 public:
  EndWriter(Env& env, Logger& log, Session& session, ExecutorState& state, JobOutput& output,
            RunHistory& history);

  // The end into the entry and the row; the update's result, nothing
  // committed. A row no longer in this run is left as it is, with a line,
  // and counts as written.
  int WriteEnd(ProcessEntry& entry, std::string_view status, JobEnding ending);
  // Writes the end (a failed update leaves the row in "01" for the next
  // pass to close again), commits it unless a batch is open, and frees the
  // entry all the same. The formats are the lines of a failed update and
  // commit (%s the program name, %ld the code); nullptr: those of a job
  // found gone.
  void CloseEntry(ProcessEntry& entry, std::string_view status, JobEnding ending,
                  const char* updateFormat = nullptr, const char* commitFormat = nullptr);
  // The job's process has ended (or its id went to another process): "98"
  // with how the job ended, and its output file closed.
  void CloseGone(ProcessEntry& entry, bool idHandedOn);
  // The process under the entry is not the job's: "98", the process left
  // alone, with a line saying why.
  void CloseForeign(ProcessEntry& entry, const std::string& why);
  // Closes as "98" an older entry that carries a newly created process id.
  void CheckProcessID(Pid pid);

  // Between these two the ends written by CloseEntry are committed
  // together, with one commit, at CommitBatch.
  void BeginBatch();
  void CommitBatch();

 private:
  void CommitEnds();

  Env& env_;
  Logger& log_;
  Session& session_;
  ExecutorState& state_;
  JobOutput& output_;
  RunHistory& history_;
  // The ends written by one supervision, committed together after it.
  struct PendingEnd {
    const char* commitFormat;
    std::string jobnam;
  };
  bool endsBatched_ = false;
  std::vector<PendingEnd> endsPending_;
};

}  // namespace kvr
