// QueueView: the operator's read-only view of the job queue: reading rows
// of KVSYSTEM.KVR500JOB with all 22 columns, the meaning of run types and
// statuses in words, and what a row is doing now under the controller's
// selection rules (running, due, held back, waiting for its time, failed,
// ended, idle). Nothing here writes to the database.
//
// Timestamps are the queue's 14-digit local-time texts; `now` is such a
// text. Reads return the client's status code (0, or the error; running
// out of rows is 0).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/queue/job_table.h"

namespace kvr {

class Env;
class Session;

enum class RowState {
  Running,  // status "01": the controller manages its process
  Due,      // the next pass starts it
  Held,     // due, but a running job of the same origin (or, for run type
            // 05, any running job) keeps it back
  Waiting,  // waits for its next run time or earliest start
  Failed,   // its start failed and it will not be tried again by itself
  Ended,    // ended; waits for the controller to set its next run, or
            // (single runs) for nothing
  Idle,     // not worked: the status row, run type 06, no further run
};

// "running", "due", "held", "waiting", "failed", "ended", "idle".
const char* RowStateName(RowState state);
// "single run", "timed", ... ; "unknown run type" for other values.
const char* RunTypeMeaning(std::string_view runType);
// "waiting", "scheduled", "running", ... ; "unknown status" for others.
const char* StatusMeaning(std::string_view status);

// The row's state by its own columns (origins of other rows not looked at).
RowState ClassifyRow(const JobRow& row, std::string_view now);
// The states of all rows, with due rows held back by the running ones.
std::vector<RowState> ClassifyQueue(const std::vector<JobRow>& rows, std::string_view now);

// Counts of rows by state; the status row is not counted.
struct QueueCounts {
  int running = 0, due = 0, held = 0, waiting = 0, failed = 0, ended = 0, idle = 0;
};
QueueCounts CountStates(const std::vector<JobRow>& rows, const std::vector<RowState>& states);

// Every row in key order; with a run type, only the rows of that type.
int ReadQueueRows(Session& session, std::string_view runType, std::vector<JobRow>* rows);
// The rows named `name` (JOBKE2), in the order of JOBDA1.
int ReadQueueRowsNamed(Session& session, std::string_view name, std::vector<JobRow>* rows);

// Seconds between two timestamps in local time; -1 when either is not a
// 14-digit time.
int64_t SecondsBetween(Env& env, std::string_view from, std::string_view to);
// "45s", "12m05s", "3h02m", "2d04h".
std::string FormatDuration(int64_t seconds);
// "2024-05-01 12:00:00" from "20240501120000"; other texts as they are.
std::string FormatTimestamp(std::string_view timestamp);

// The view's read statements, by name.
void AppendQueueViewStatements(StatementList* list);

}  // namespace kvr
