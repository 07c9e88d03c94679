// The list readers of the timed, scheduled and closing jobs: every row of a
// run type through the timed-job cursor (or only its ended and requested rows), and the window of a
// time plan that holds a minute. Statements as the system writes them; nothing is committed;
// results are the client's status codes.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "db/queue/job_table.h"
#include "jobs/next_run_rules.h"

namespace kvr {

class Session;

// Returned by FindTimePlanWindow when more than one window holds the minute.
inline constexpr int kSqlTooManyRows = -1422;

// Appends every row of the run type, in the order the database gives them,
// to the list. A failed open leaves the list as it was; a failed fetch (or
// memory running out) ends the list there. Nothing is reported.
void ReadRunTypeJobs(Session& session, std::string_view runType, std::vector<JobRow>& list);

// The same for the rows of the run type that are ended (a status above "90")
// or carry a run request (JOBDLS 1); waiting and running rows are not read.
void ReadEndedOrRequestedJobs(Session& session, std::string_view runType,
                              std::vector<JobRow>& list);

// The window of plan planId on the weekday (Monday 1 ... Sunday 7) that
// holds the minute of day, from KVR139TPL for timing kind 0 and from
// KVR141DZT for every other kind: 0 found (window filled), 1403 none,
// kSqlTooManyRows when several do, another code on a database error.
int FindTimePlanWindow(Session& session, std::string_view planId, int32_t weekday, int32_t minute,
                       int32_t timingKind, PlanWindow* window);

void AppendRunTypeListStatements(StatementList* list);

}  // namespace kvr
