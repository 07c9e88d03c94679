#include "db/queue/job_table.h"

#include "core/text.h"
#include "db/client/connection.h"
#include "db/session.h"

namespace kvr {

namespace {

int Run(Session& session, std::string_view sql, std::initializer_list<Bind> in) {
  return session.db().Execute(sql, std::span<const Bind>(in.begin(), in.size()));
}

}  // namespace

constexpr std::string_view kSQLUpdateJobRun =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNAM=:b1,JOBUSR=:b2,JOBNUM=:b3,JOBSDA=:b4,"
    "JOBEDA=:b5,JOBSTV=:b6 where (JOBDA1=:b7 and JOBKE2=:b8)";

int SQLUpdateJobRun(Session& session, const JobRunUpdate& run) {
  JobRunBinds in(run);
  int rc = session.db().Execute(kSQLUpdateJobRun, in.binds());
  // An end stays known until it is durable.
  session.endedRows().Note(rc, in.bound(), in.bound().sda);
  return rc;
}

int MarkStartFailed(Session& session, std::string_view da1, std::string_view ke2, int32_t attempts,
                    std::string_view claimedAt) {
  JobRunBinds in({.da1 = da1, .ke2 = ke2, .status = kStatusStartFailed, .stv = attempts});
  int rc = session.db().Execute(kSQLUpdateJobRun, in.binds());
  if (!claimedAt.empty()) session.endedRows().Note(rc, in.bound(), claimedAt, kClaimedJobNum);
  return rc;
}

int WriteStatusRow(Session& session, std::string* line) {
  // The row says the same every pass: its write proves the database can be
  // written, its loss in a power failure loses nothing.
  session.db().DeferNextCommitSync();
  int code = SQLUpdateJobStatus(session, kStatusWaiting, kStatusRowDa1, kStatusRowKe2);
  if (code == kSqlNoData) {
    code = SQLInsertJob(session, kStatusRowDa1, kStatusRowKe2, kStatusRowOrigin, "", 0, kRunType99);
    if (code != kSqlOk) {
      *line =
          StringPrintf("- Fehler beim Anlegen des Statusjobs! RC: %ld\n", static_cast<long>(code));
    }
  } else if (code != kSqlOk) {
    *line = StringPrintf("- Fehler beim Update des Statusjobs! RC: %d\n", code);
  }
  // A commit that cannot write fails the check: the status row did not
  // reach the database, and neither would anything else.
  int commit = session.SQLCommit();
  if (code == kSqlOk && IsWriteFault(commit)) {
    code = commit;
    *line = StringPrintf("- Fehler beim Commit des Statusjobs! RC: %d\n", code);
  }
  return code;
}

constexpr std::string_view kSQLUpdateJobStatus =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0 where (JOBDA1=:b1 and JOBKE2=:b2)";

int SQLUpdateJobStatus(Session& session, std::string_view status, std::string_view da1,
                       std::string_view ke2) {
  FixedText<2> sts(status);
  FixedText<14> key1(da1);
  FixedText<32> key2(ke2);
  return Run(session, kSQLUpdateJobStatus, {Bind::Text(sts), Bind::Text(key1), Bind::Text(key2)});
}

constexpr std::string_view kSQLInsertJob =
    "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobUrv,JobCmd,JobMrt,JobRty,JobStv) "
    "values (:b0,:b1,:b2,:b3,:b4,:b5,0)";

int SQLInsertJob(Session& session, std::string_view da1, std::string_view ke2, std::string_view urv,
                 std::string_view cmd, int32_t mrt, std::string_view rty) {
  FixedText<14> key1(da1);
  FixedText<32> key2(ke2);
  FixedText<256> origin(urv), command(cmd);
  FixedText<2> runType(rty);
  return Run(session, kSQLInsertJob,
             {Bind::Text(key1), Bind::Text(key2), Bind::Text(origin), Bind::Text(command),
              Bind::Int(mrt), Bind::Text(runType)});
}

constexpr std::string_view kSQLDeleteJob =
    "delete  from KVSYSTEM.KVR500JOB  where (JOBDA1=:b0 and JOBKE2=:b1)";

int SQLDeleteJob(Session& session, std::string_view da1, std::string_view ke2) {
  FixedText<14> key1(da1);
  FixedText<32> key2(ke2);
  return Run(session, kSQLDeleteJob, {Bind::Text(key1), Bind::Text(key2)});
}

constexpr std::string_view kDeleteExpiredRT01Jobs =
    "delete  from KVSYSTEM.KVR500JOB  where (((JOBRTY='01' and "
    "JOBDA1<=to_char((sysdate-30),'yyyymmdd')) and JOBDA1<>'20010101120000') and "
    "JOBKE2<>'MAP VERARBEITUNG')";

int DeleteExpiredRT01Jobs(Session& session) { return Run(session, kDeleteExpiredRT01Jobs, {}); }

constexpr std::string_view kResetRT04StartAttempts =
    "update KVSYSTEM.KVR500JOB  set JOBSTV=0 where (JOBRTY='04' and JOBSTV>1)";

int ResetRT04StartAttempts(Session& session) { return Run(session, kResetRT04StartAttempts, {}); }

void AppendJobTableStatements(StatementList* list) {
  list->insert(list->end(), {{"UpdateJobRun", std::string(kSQLUpdateJobRun)},
                             {"UpdateJobStatus", std::string(kSQLUpdateJobStatus)},
                             {"InsertJob", std::string(kSQLInsertJob)},
                             {"DeleteJob", std::string(kSQLDeleteJob)},
                             {"DeleteExpiredRT01Jobs", std::string(kDeleteExpiredRT01Jobs)},
                             {"ResetRT04StartAttempts", std::string(kResetRT04StartAttempts)}});
}

}  // namespace kvr
