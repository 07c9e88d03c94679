#include "controller/statement_registry.h"

#include "db/queue/job_table.h"
#include "db/queue/queue_view.h"
#include "db/session.h"
#include "exec/job_executor.h"
#include "exec/run_history.h"
#include "exec/running_jobs_cursor.h"
#include "exec/selection.h"
#include "housekeeping/housekeeping.h"
#include "jobs/closing_table.h"
#include "jobs/registration.h"
#include "jobs/run_type_list.h"
#include "jobs/schedule_table.h"
#include "messages/message_insert.h"

namespace kvr {

StatementList StatementRegistry() {
  StatementList list;
  for (void (*append)(StatementList*) :
       {AppendSessionStatements, AppendJobTableStatements, AppendJobRowStatements,
        AppendQueueViewStatements, AppendRunningJobsStatements, AppendJobIdentityStatements,
        AppendSelectionStatements, AppendMessageStatements, AppendRegistrationStatements,
        AppendClientJobStatements, AppendRunTypeListStatements, AppendScheduleStatements,
        AppendClosingStatements, AppendHousekeepingStatements, AppendRunHistoryStatements}) {
    append(&list);
  }
  return list;
}

}  // namespace kvr
