// StartLoop: the one select-and-start loop of every run type that starts
// jobs, driven by a table of run-type policies.
//
// Each selection delivers the first due row of the run type; the start's
// update of the row (status "01" or "90", a grown exclusion list) makes the
// next selection see the next row. A policy says where the rows come from,
// whether the row's attempts count, what a start that left its row due does
// (refused for its attempts, no free process entry), which service contact
// follows each start and what gates the loop. Every loop yields to a due run
// type 05 job. The loop writes the lines of a failed selection or start; it
// never commits.
#pragma once

#include <cstdint>
#include <string_view>

namespace kvr {

class Env;
class JobExecutor;
class Logger;
class ServiceContact;
class Session;

// What the modules that start jobs use.
struct StartContext {
  Env& env;
  Logger& log;
  Session& session;
  ServiceContact& contact;
  JobExecutor& executor;
  int32_t maxJobs;  // run type 01 rows are selected while fewer jobs run
};

// Where a run type's due rows come from.
enum class RowSource {
  kSelect05,     // the exclusive selection (due by JOBDLT)
  kSelect04,     // standing jobs, up to 10 attempts
  kSelect01,     // single runs
  kDueByTime,    // due by JOBNRT on the local clock (03, 07, 08)
  kPassingOver,  // run type 09 without the rows passed over in this pass
};

// What holds a loop besides a due run type 05 job.
enum class StartGate {
  kNone,
  kNothingRunning,  // the row is started only while no job runs (one row)
  kBelowMaxJobs,    // the next row is selected while fewer than MAXJOBS run
};

// What sets a run type's loop apart besides its rows and its gate.
enum StartFlag : unsigned {
  // The row's attempts (JOBSTV) go to the start; else none are counted, so
  // the row is never refused.
  kCountsAttempts = 1u << 0,
  // A row not started (refused, no free entry, failed) is passed over for
  // the rest of the pass, and so is a row set aside as unreadable. Else a
  // refused row is marked as failed, and no free entry ends the loop (the
  // row waits for a later pass).
  kPassesOver = 1u << 1,
  // The loop starts from a blank exclusion list.
  kBlankExclusions = 1u << 2,
  // One selection a pass.
  kOneRow = 1u << 3,
  // A lost contact after a start ends the pass, not only the loop.
  kContactLossEndsPass = 1u << 4,
  // The rows' claims are committed together before their processes are
  // created (one commit, one sync, for many starts).
  kBatchesStarts = 1u << 5,
};

struct StartPolicy {
  std::string_view runType;
  RowSource source;
  StartGate gate;
  unsigned flags;  // StartFlag values
  // The selection's name in its error line; empty: the read's line.
  std::string_view selectionName;
  // The contact after each start; empty: none.
  std::string_view contactLabel;
  // Written before the selection's error line; may be empty.
  std::string_view errorLead;
  // Written when the pass ends for a failed selection / a failed row
  // update; empty: the caller writes its own.
  std::string_view selectFailedLine, startFailedLine;

  bool Has(StartFlag flag) const { return (flags & flag) != 0; }
};

// The policy of a run type that starts jobs (05, 04, 01, 03, 07, 08, 09).
const StartPolicy& StartPolicyOf(std::string_view runType);

struct StartLoopResult {
  bool passGoesOn = true;  // false: the pass ends here
  bool failed = false;     // a selection or a row update failed
  bool rowSelected = false;
};

// Selects and starts the policy's due rows until none is left, a gate
// holds, or the pass must end.
StartLoopResult RunStartLoop(StartContext& ctx, const StartPolicy& policy, bool runType05Due);

}  // namespace kvr
