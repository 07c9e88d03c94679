// RunHistory: reading the runs back, for the operator's tool and tests.
#include "db/client/connection.h"
#include "db/session.h"
#include "exec/run_history.h"

namespace kvr {

constexpr std::string_view kSQLReadRuns =
    "select RUNDA1 ,RUNKE2 ,RUNSDA ,RUNNUM ,RUNRTY ,RUNCMD ,RUNEDA ,RUNEND ,RUNCOD ,RUNOUT  from "
    "KVSYSTEM.KVR510RUN where RUNSDA>=:b0 order by RUNSDA desc,RUNDA1,RUNKE2";

int ReadRuns(Session& session, std::string_view since, std::vector<RunRecord>* runs) {
  FixedText<14> from(since.empty() ? std::string_view("0") : since);
  Bind in[] = {Bind::Text(from)};
  int rc = 0;
  auto cursor = session.db().Open(kSQLReadRuns, in, &rc);
  if (!cursor) return rc;
  for (;;) {
    FixedText<14> da1, start, end;
    FixedText<32> ke2;
    FixedText<8> pid;
    FixedText<2> rty;
    FixedText<256> cmd, output;
    FixedText<10> how;
    int32_t code = 0;
    Out out[] = {Out::Text(da1),  Out::Text(ke2),   Out::Text(start), Out::Text(pid),
                 Out::Text(rty),  Out::Text(cmd),   Out::Text(end),   Out::Text(how),
                 Out::Int(&code), Out::Text(output)};
    rc = cursor->Fetch(out);
    if (rc == kSqlNoData) return kSqlOk;
    if (rc != kSqlOk) return rc;
    runs->push_back(RunRecord{da1.str(), ke2.str(), start.str(), pid.str(), rty.str(), cmd.str(),
                              end.str(), how.str(), output.str(), code});
  }
}

void AppendRunReadStatements(StatementList* list) {
  list->push_back({"ReadRuns", std::string(kSQLReadRuns)});
}

}  // namespace kvr
