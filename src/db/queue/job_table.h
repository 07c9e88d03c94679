// Job table: the row of KVSYSTEM.KVR500JOB as the controller sees it, the
// vocabulary of run types and statuses, and the statements on the table that
// several parts of the controller share.
//
// Each statement text is a named constant next to the function that runs it
// and is sent exactly as written. Every function takes the session first,
// runs one statement without committing (the caller commits) and returns the
// status code: 0 success, 1403 no row (also an update or delete that touched
// no row), -1 a duplicate key, another negative code for other errors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "db/client/fixed_text.h"
#include "db/client/named_statement.h"
#include "db/job_run.h"

namespace kvr {

class Session;

// Run types (JOBRTY).
inline constexpr std::string_view kRunType01 = "01";  // single run
inline constexpr std::string_view kRunType03 = "03";  // timed, recurring
inline constexpr std::string_view kRunType04 = "04";  // standing
inline constexpr std::string_view kRunType05 = "05";  // exclusive
inline constexpr std::string_view kRunType06 = "06";  // not managed
inline constexpr std::string_view kRunType07 = "07";  // scheduled
inline constexpr std::string_view kRunType08 = "08";  // daily closing
inline constexpr std::string_view kRunType09 = "09";  // daily closing follow-up
inline constexpr std::string_view kRunType99 = "99";  // the status row

// Statuses (JOBSTS).
inline constexpr std::string_view kStatusWaiting = "";
inline constexpr std::string_view kStatusWaitingAgain = "  ";
inline constexpr std::string_view kStatusScheduled = "00";
inline constexpr std::string_view kStatusRunning = "01";
inline constexpr std::string_view kStatusStartFailed = "90";
inline constexpr std::string_view kStatusNoFurtherRun = "97";
inline constexpr std::string_view kStatusGone = "98";
inline constexpr std::string_view kStatusEnded = "99";

// Schema of the queue table: the queue lock is named after it.
inline constexpr std::string_view kQueueSchema = "KVSYSTEM";

// The controller's status row, rewritten by every database check.
inline constexpr std::string_view kStatusRowDa1 = "99999999999999";
inline constexpr std::string_view kStatusRowKe2 = "VIVOROVOZE STATUSJOB";
inline constexpr std::string_view kStatusRowOrigin = "STATUSJOB";

// One full row of the job table, the 22 columns in their order.
struct JobRow {
  FixedText<14> jobda1;
  FixedText<32> jobke2;
  FixedText<256> joburv;
  FixedText<256> jobcmd;
  FixedText<256> jobcdi;
  FixedText<512> jobprm;
  FixedText<128> jobrus;
  int32_t jobmrt = 0;
  FixedText<2> jobrty;
  int32_t jobpri = 0;
  int32_t jobdls = 0;
  FixedText<14> jobdlt;
  FixedText<256> jobbem;
  FixedText<10> jobscd;
  FixedText<2> jobsts;
  FixedText<64> jobnam;
  FixedText<128> jobusr;
  FixedText<8> jobnum;
  FixedText<14> jobsda;
  FixedText<14> jobeda;
  FixedText<14> jobnrt;
  int32_t jobstv = 0;

  // Empties every field (texts empty, integers 0).
  void Clear() { *this = JobRow(); }
};

// --- Statements with their own inputs ----------------------------------
// The run columns one row's start, adoption or end writes, by the row's key.
int SQLUpdateJobRun(Session& session, const JobRunUpdate& run);
// A start that failed: "90" with the attempts counted so far, every other
// run column emptied. claimedAt: the JOBSDA of the row's claim, when it was
// claimed; a "90" lost with its connection is then written again onto that
// claim once the session works again.
int MarkStartFailed(Session& session, std::string_view da1, std::string_view ke2, int32_t attempts,
                    std::string_view claimedAt = {});
int SQLUpdateJobStatus(Session& session, std::string_view status, std::string_view da1,
                       std::string_view ke2);
int SQLInsertJob(Session& session, std::string_view da1, std::string_view ke2, std::string_view urv,
                 std::string_view cmd, int32_t mrt, std::string_view rty);
int SQLDeleteJob(Session& session, std::string_view da1, std::string_view ke2);
// Deletes run type 01 rows older than 30 days, never the MAP processing job.
int DeleteExpiredRT01Jobs(Session& session);
// Sets the start attempts of run type 04 rows above 1 back to 0.
int ResetRT04StartAttempts(Session& session);
// The controller's status row written (made when missing) and committed:
// the database check's proof that the database can be written (a
// Session::WriteProbe). 0, or the failing code with its line in *line.
int WriteStatusRow(Session& session, std::string* line);

// --- Statements that take their values from a JobRow -------------------
int SQLUpdateJobNextRun(Session& session, const JobRow& row);    // JOBSTS, JOBNRT
int SQLUpdateJobStatusDls(Session& session, const JobRow& row);  // JOBSTS, JOBDLS
int SQLRescheduleJob(Session& session, const JobRow& row);       // JOBSTS, JOBNRT, JOBSTV=0
int SQLInsertTimedJob(Session& session, const JobRow& row);
int SQLInsertTimedJobDls(Session& session, const JobRow& row);
int SQLInsertFullJob(Session& session, const JobRow& row);  // all 22 columns
// Re-arms the MAP processing job ("  ") when JOBPRM>'0' and JOBSTS>'90'.
int SQLStartMAPJob(Session& session, const JobRow& row);
// Re-arms it with JOBPRM '2' when JOBSTS>'90'.
int SQLStartMAPDeleteJob(Session& session, const JobRow& row);

// The statements above, by the names of their constants.
void AppendJobTableStatements(StatementList* list);  // with their own inputs
void AppendJobRowStatements(StatementList* list);    // from a JobRow

}  // namespace kvr
