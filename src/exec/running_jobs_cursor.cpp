#include "exec/running_jobs_cursor.h"

#include "db/client/connection.h"
#include "db/session.h"

namespace kvr {

RunningJobsCursor::RunningJobsCursor() = default;

RunningJobsCursor::~RunningJobsCursor() { Close(); }

int RunningJobsCursor::Open(Session& session, std::string_view status) {
  Close();
  status_.assign(status.substr(0, 2));
  const Bind in[] = {Bind::Text(status_)};
  int rc = 0;
  cursor_ = session.db().Open(kRunningJobsStatement, in, &rc);
  if (!cursor_) return rc != 0 ? rc : kSqlNotConnected;
  return rc;
}

int RunningJobsCursor::Fetch(RunningJobRow* row) {
  *row = RunningJobRow();
  if (!cursor_) return kSqlNotConnected;
  const Out out[] = {Out::Text(row->jobda1), Out::Text(row->jobke2), Out::Text(row->joburv),
                     Out::Text(row->jobrty), Out::Text(row->jobsts), Out::Text(row->jobnam),
                     Out::Text(row->jobusr), Out::Text(row->jobnum), Out::Text(row->jobsda),
                     Out::Text(row->jobeda), Out::Int(&row->jobmrt), Out::Int(&row->jobstv)};
  return cursor_->Fetch(out);
}

int RunningJobsCursor::Close() {
  if (!cursor_) return 0;
  int rc = cursor_->Close();
  cursor_.reset();
  return rc;
}

void AppendRunningJobsStatements(StatementList* list) {
  list->push_back({"RunningJobsCursor", kRunningJobsStatement});
}

}  // namespace kvr
