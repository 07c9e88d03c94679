// The schedule table KVSYSTEM.KVR800SCD as the scheduled jobs read it: one
// schedule row by its four key fields, its dates as yyyymmdd numbers and
// its time of day as HH24MISS text. Returns the client's status code.
#pragma once

#include "db/client/named_statement.h"
#include "jobs/schedule_rules.h"

namespace kvr {

class Session;

// 0 found (row filled), 1403 no such schedule, another code on an error.
// The row is cleared first; a null column reads as empty or 0.
int SQLReadKvr800Scd(Session& session, const ScheduleKey& key, ScheduleRow* row);

void AppendScheduleStatements(StatementList* list);

}  // namespace kvr
