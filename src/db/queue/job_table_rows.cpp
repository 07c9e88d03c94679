// The job-table statements that take their values from a JobRow.
#include "db/client/connection.h"
#include "db/queue/job_table.h"
#include "db/session.h"

namespace kvr {

namespace {

int Run(Session& session, std::string_view sql, std::initializer_list<Bind> in) {
  return session.db().Execute(sql, std::span<const Bind>(in.begin(), in.size()));
}

}  // namespace

constexpr std::string_view kSQLUpdateJobNextRun =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNRT=:b1 where (JOBDA1=:b2 and JOBKE2=:b3)";

int SQLUpdateJobNextRun(Session& session, const JobRow& r) {
  return Run(
      session, kSQLUpdateJobNextRun,
      {Bind::Text(r.jobsts), Bind::Text(r.jobnrt), Bind::Text(r.jobda1), Bind::Text(r.jobke2)});
}

constexpr std::string_view kSQLUpdateJobStatusDls =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBDLS=:b1 where (JOBDA1=:b2 and JOBKE2=:b3)";

int SQLUpdateJobStatusDls(Session& session, const JobRow& r) {
  return Run(
      session, kSQLUpdateJobStatusDls,
      {Bind::Text(r.jobsts), Bind::Int(r.jobdls), Bind::Text(r.jobda1), Bind::Text(r.jobke2)});
}

constexpr std::string_view kSQLRescheduleJob =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNRT=:b1,JOBSTV=0 where (JOBDA1=:b2 and "
    "JOBKE2=:b3)";

int SQLRescheduleJob(Session& session, const JobRow& r) {
  return Run(
      session, kSQLRescheduleJob,
      {Bind::Text(r.jobsts), Bind::Text(r.jobnrt), Bind::Text(r.jobda1), Bind::Text(r.jobke2)});
}

constexpr std::string_view kSQLInsertTimedJob =
    "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobUrv,JobCmd,JobRty,JobStv,JobNrt) "
    "values (:b0,:b1,:b2,:b3,:b4,:b5,:b6)";

int SQLInsertTimedJob(Session& session, const JobRow& r) {
  return Run(
      session, kSQLInsertTimedJob,
      {Bind::Text(r.jobda1), Bind::Text(r.jobke2), Bind::Text(r.joburv), Bind::Text(r.jobcmd),
       Bind::Text(r.jobrty), Bind::Int(r.jobstv), Bind::Text(r.jobnrt)});
}

constexpr std::string_view kSQLInsertTimedJobDls =
    "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobUrv,JobCmd,JobRty,JobStv,JobNrt,JobDls) "
    "values (:b0,:b1,:b2,:b3,:b4,:b5,:b6,:b7)";

int SQLInsertTimedJobDls(Session& session, const JobRow& r) {
  return Run(
      session, kSQLInsertTimedJobDls,
      {Bind::Text(r.jobda1), Bind::Text(r.jobke2), Bind::Text(r.joburv), Bind::Text(r.jobcmd),
       Bind::Text(r.jobrty), Bind::Int(r.jobstv), Bind::Text(r.jobnrt), Bind::Int(r.jobdls)});
}

constexpr std::string_view kSQLInsertFullJob =
    "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobUrv,JobCmd,JobCdi,JobPrm,JobRus,JobMrt,"
    "JobRty,JobPri,JobDls,JobDlt,JobBem,JobScd,JobSts,JobNam,JobUsr,JobNum,JobSda,JobEda,"
    "JobNrt,JobStv) values (:b0,:b1,:b2,:b3,:b4,:b5,:b6,:b7,:b8,:b9,:b10,:b11,:b12,:b13,"
    ":b14,:b15,:b16,:b17,:b18,:b19,:b20,:b21)";

int SQLInsertFullJob(Session& session, const JobRow& r) {
  return Run(
      session, kSQLInsertFullJob,
      {Bind::Text(r.jobda1), Bind::Text(r.jobke2), Bind::Text(r.joburv), Bind::Text(r.jobcmd),
       Bind::Text(r.jobcdi), Bind::Text(r.jobprm), Bind::Text(r.jobrus), Bind::Int(r.jobmrt),
       Bind::Text(r.jobrty), Bind::Int(r.jobpri),  Bind::Int(r.jobdls),  Bind::Text(r.jobdlt),
       Bind::Text(r.jobbem), Bind::Text(r.jobscd), Bind::Text(r.jobsts), Bind::Text(r.jobnam),
       Bind::Text(r.jobusr), Bind::Text(r.jobnum), Bind::Text(r.jobsda), Bind::Text(r.jobeda),
       Bind::Text(r.jobnrt), Bind::Int(r.jobstv)});
}

constexpr std::string_view kSQLStartMAPJob =
    "update KVSYSTEM.KVR500JOB  set JOBSTS='  ',JOBSDA='',JOBEDA='',JOBSTV=0 where "
    "(((JOBDA1=:b0 and JOBKE2=:b1) and JOBPRM>'0') and JOBSTS>'90')";

int SQLStartMAPJob(Session& session, const JobRow& r) {
  return Run(session, kSQLStartMAPJob, {Bind::Text(r.jobda1), Bind::Text(r.jobke2)});
}

constexpr std::string_view kSQLStartMAPDeleteJob =
    "update KVSYSTEM.KVR500JOB  set JOBSTS='  ',JOBSDA='',JOBEDA='',JOBPRM='2',JOBSTV=0 "
    "where ((JOBDA1=:b0 and JOBKE2=:b1) and JOBSTS>'90')";

int SQLStartMAPDeleteJob(Session& session, const JobRow& r) {
  return Run(session, kSQLStartMAPDeleteJob, {Bind::Text(r.jobda1), Bind::Text(r.jobke2)});
}

void AppendJobRowStatements(StatementList* list) {
  list->insert(list->end(), {{"UpdateJobNextRun", std::string(kSQLUpdateJobNextRun)},
                             {"UpdateJobStatusDls", std::string(kSQLUpdateJobStatusDls)},
                             {"RescheduleJob", std::string(kSQLRescheduleJob)},
                             {"InsertTimedJob", std::string(kSQLInsertTimedJob)},
                             {"InsertTimedJobDls", std::string(kSQLInsertTimedJobDls)},
                             {"InsertFullJob", std::string(kSQLInsertFullJob)},
                             {"StartMAPJob", std::string(kSQLStartMAPJob)},
                             {"StartMAPDeleteJob", std::string(kSQLStartMAPDeleteJob)}});
}

}  // namespace kvr
