// Job selection: finding one due row of the job table KVSYSTEM.KVR500JOB per
// call, run type by run type. Each selection builds its statement text with
// the exclusion list in place, opens a cursor on it, fetches one row (the
// first due row in key order), closes the cursor and delivers the row.
// Nothing is marked or held between calls.
//
// Results: 0 a row was delivered; 1403 nothing due; kSqlStatementTooLong
// when the text would exceed 8000 characters (nothing is sent or logged;
// with the capped exclusion list this cannot happen); any other value is the
// database's code, for the caller to log with GetLastSQLError. On any
// result but 0 the outputs hold nothing of a row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "db/client/fixed_text.h"
#include "db/queue/job_table.h"
#include "exec/exclusion_list.h"
#include "exec/running_jobs_cursor.h"

namespace kvr {

class Env;
class Session;

// Returned when a selection text would be longer than kMaxSelectionLength.
inline constexpr int kSqlStatementTooLong = -1704;
inline constexpr std::size_t kSelectionBufferSize = 8192;
inline constexpr std::size_t kMaxSelectionLength = 8000;

// Run types 05 (exclusive, due by JOBDLT on the server's clock), 04
// (standing, up to 10 start attempts) and 01 (single run): the ten columns
// JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, JOBSTS, JOBSDA, JOBEDA,
// JOBSTV. Clear the row first.
int SQLSelectKvr500Job05(Session& session, const ExclusionList& list, JobRow* row);
int SQLSelectKvr500Job04(Session& session, const ExclusionList& list, JobRow* row);
int SQLSelectKvr500Job01(Session& session, const ExclusionList& list, JobRow* row);

// Run type 09: writes the ten columns into the caller's row and leaves its
// other fields as they are.
int SQLSelectKvr500Job09(Session& session, const ExclusionList& list, JobRow* row);
// Runs a selection text of the same ten columns (an empty text is refused
// as too long) and, on 0, writes them into the row as SQLSelectKvr500Job09.
int SelectJobColumnsInto(Session& session, const std::string& text, JobRow* row);

// Run types 03, 07, 08: due by JOBNRT against the controller's local time at
// the call. Clears the row first.
int SQLReadKvr500Job(Session& session, Env& env, std::string_view runType,
                     const ExclusionList& list, JobRow* row);

// The statement texts as sent, for the given exclusion list text (and, for
// the read, the run type and the 14-digit local time). Empty when the text
// would be longer than kMaxSelectionLength.
std::string SelectionText05(const char* list);
std::string SelectionText04(const char* list);
std::string SelectionText01(const char* list);
std::string SelectionText09(const char* list);
std::string ReadJobText(std::string_view runType, std::string_view localTime, const char* list);

// The selection texts with sample exclusion lists, by name.
void AppendSelectionStatements(StatementList* list);

}  // namespace kvr
