#include "exec/run_history.h"

#include <cerrno>

#include "core/logger.h"
#include "db/client/connection.h"
#include "db/session.h"
#include "exec/exec_text.h"
#include "exec/job_output.h"
#include "exec/process_table.h"
#include "messages/message_poster.h"

namespace kvr {

namespace {

constexpr char kTableMissing[] =
    "Laufprotokoll KVSYSTEM.KVR510RUN nicht vorhanden (kvrjobctl init legt es an), RC: %ld\n";
constexpr int64_t kSecondsPerDay = 86400;
constexpr char kExitNotice[] = "Programm %s (Job %s) wurde mit Status %ld beendet!";
constexpr char kSignalNotice[] = "Programm %s (Job %s) wurde durch Signal %ld beendet!";

int Run(Session& session, std::string_view sql, std::initializer_list<Bind> in) {
  return session.db().Execute(sql, std::span<const Bind>(in.begin(), in.size()));
}

}  // namespace

bool RunFailed(std::string_view how, int32_t code) {
  if (how == kRunExit) return code != 0;
  return how == kRunSignal || how == kRunOverrun || how == kRunNoStart;
}

std::string RunResultText(std::string_view how, int32_t code) {
  if (how == kRunExit) return "exit " + std::to_string(code);
  if (how == kRunSignal) return "signal " + std::to_string(code);
  if (how == kRunCancelled) return "cancelled";
  if (how == kRunShutdown) return "shut-down";
  if (how == kRunDbLost) return "database lost";
  if (how == kRunNoStart) {
    switch (code) {
      case kRunNotConvertible:
        return "not started: command not convertible";
      case ENOENT:
        return "not started: program not found";
      case EACCES:
      case ENOEXEC:
        return "not started: not executable";
      default:
        return code > 0 ? "not started: errno " + std::to_string(code) : "not started";
    }
  }
  return std::string(how);
}

RunHistory::RunHistory(Env& env, Logger& log, Session& session, const JobOutput& output)
    : env_(env), log_(log), session_(session), output_(output) {}

void RunHistory::Record(const ProcessEntry& entry, std::string_view how, int32_t code) {
  if ((!enabled_ && notice_ == nullptr) || entry.jobsda.view().empty()) return;
  RunRecord run;
  run.da1 = entry.jobda1.str();
  run.ke2 = entry.jobke2.str();
  run.start = entry.jobsda.str();
  run.pid = entry.jobnum.view().empty() ? "0" : entry.jobnum.str();
  run.end = entry.jobeda.str();
  run.how = how;
  run.code = code;
  if (notice_ != nullptr && (how == kRunSignal || (how == kRunExit && code != 0))) {
    notice_->PostNachricht(BoundedPrintf(how == kRunSignal ? kSignalNotice : kExitNotice,
                                         entry.jobnam.c_str(), entry.jobke2.c_str(),
                                         static_cast<long>(code)));
  }
  if (!enabled_) return;
  if (output_.enabled()) run.output = output_.PathOf(run.start, run.ke2);
  int rc = Insert(run);
  if (rc == kSqlNotConnected && pending_.size() < kMaxPending) pending_.push_back(std::move(run));
}

int RunHistory::Insert(const RunRecord& run) {
  int rc = SQLInsertRun(session_, run);
  if (rc == kSqlDuplicateKey) return CloseCancelled(run);
  if (rc == kSqlTableMissing) enabled_ = false;
  return rc;
}

// The run was asked to end: its row says so already; the end is added and
// the job's own maximum running time put back.
int RunHistory::CloseCancelled(const RunRecord& run) {
  int32_t kept = 0;
  int rc = SQLSelectCancelRequest(session_, run, &kept);
  if (rc != kSqlOk) return rc;
  rc = SQLCloseCancelledRun(session_, run);
  if (rc != kSqlOk) return rc;
  return SQLRestoreJobMrt(session_, run.da1, run.ke2, kept);
}

void RunHistory::Prune(int32_t days) {
  if (!enabled_) return;
  std::vector<RunRecord> kept = std::move(pending_);
  pending_.clear();
  for (const RunRecord& run : kept) {
    if (Insert(run) == kSqlNotConnected) pending_.push_back(run);
  }
  if (days < 1) days = kDefaultDays;
  std::string before = TimeStamp14(env_, env_.Now() - days * kSecondsPerDay);
  int rc = SQLDeleteExpiredRuns(session_, before);
  if (rc == kSqlTableMissing) {
    enabled_ = false;
    pending_.clear();
    log_.MainF(kTableMissing, static_cast<long>(rc));
  }
  session_.SQLCommit();
}

// ------------------------------------------------------------- statements

constexpr std::string_view kSQLInsertRun =
    "insert into KVSYSTEM.KVR510RUN (RUNDA1,RUNKE2,RUNSDA,RUNNUM,RUNRTY,RUNCMD,RUNEDA,RUNEND,"
    "RUNCOD,RUNOUT) select JOBDA1,JOBKE2,:b0,:b1,JOBRTY,JOBCMD,:b2,:b3,:b4,:b5 from "
    "KVSYSTEM.KVR500JOB where (JOBDA1=:b6 and JOBKE2=:b7)";

int SQLInsertRun(Session& session, const RunRecord& run) {
  FixedText<14> start(run.start), end(run.end), da1(run.da1);
  FixedText<8> pid(run.pid);
  FixedText<10> how(run.how);
  FixedText<256> output(run.output);
  FixedText<32> ke2(run.ke2);
  return Run(session, kSQLInsertRun,
             {Bind::Text(start), Bind::Text(pid), Bind::Text(end), Bind::Text(how),
              Bind::Int(run.code), Bind::Text(output), Bind::Text(da1), Bind::Text(ke2)});
}

constexpr std::string_view kSQLDeleteExpiredRuns =
    "delete  from KVSYSTEM.KVR510RUN  where RUNEDA<:b0";

int SQLDeleteExpiredRuns(Session& session, std::string_view before) {
  FixedText<14> stamp(before);
  return Run(session, kSQLDeleteExpiredRuns, {Bind::Text(stamp)});
}

constexpr std::string_view kSQLSelectCancelRequest =
    "select RUNCOD into :b0  from KVSYSTEM.KVR510RUN where ((((RUNDA1=:b1 and RUNKE2=:b2) and "
    "RUNSDA=:b3) and RUNNUM=:b4) and RUNEND='cancel')";

int SQLSelectCancelRequest(Session& session, const RunRecord& run, int32_t* keptMrt) {
  FixedText<14> da1(run.da1), start(run.start);
  FixedText<32> ke2(run.ke2);
  FixedText<8> pid(run.pid);
  Bind in[] = {Bind::Text(da1), Bind::Text(ke2), Bind::Text(start), Bind::Text(pid)};
  Out out[] = {Out::Int(keptMrt)};
  return session.db().SelectOne(kSQLSelectCancelRequest, in, out);
}

constexpr std::string_view kSQLCloseCancelledRun =
    "update KVSYSTEM.KVR510RUN  set RUNEDA=:b0,RUNEND=:b1,RUNCOD=:b2,RUNOUT=:b3 where "
    "((((RUNDA1=:b4 "
    "and RUNKE2=:b5) and RUNSDA=:b6) and RUNNUM=:b7) and RUNEND='cancel')";

int SQLCloseCancelledRun(Session& session, const RunRecord& run) {
  FixedText<14> end(run.end), da1(run.da1), start(run.start);
  FixedText<256> output(run.output);
  FixedText<32> ke2(run.ke2);
  FixedText<8> pid(run.pid);
  // Ended as an overrun: by the cancel. Ended by itself first: as it ended.
  FixedText<10> how(run.how == kRunOverrun ? kRunCancelled : std::string_view(run.how));
  int32_t code = run.how == kRunOverrun ? 0 : run.code;
  return Run(session, kSQLCloseCancelledRun,
             {Bind::Text(end), Bind::Text(how), Bind::Int(code), Bind::Text(output),
              Bind::Text(da1), Bind::Text(ke2), Bind::Text(start), Bind::Text(pid)});
}

constexpr std::string_view kSQLRestoreJobMrt =
    "update KVSYSTEM.KVR500JOB  set JOBMRT=:b0 where (JOBDA1=:b1 and JOBKE2=:b2)";

int SQLRestoreJobMrt(Session& session, std::string_view da1, std::string_view ke2, int32_t mrt) {
  FixedText<14> key1(da1);
  FixedText<32> key2(ke2);
  return Run(session, kSQLRestoreJobMrt, {Bind::Int(mrt), Bind::Text(key1), Bind::Text(key2)});
}

constexpr std::string_view kSQLInsertCancelRequest =
    "insert into KVSYSTEM.KVR510RUN (RUNDA1,RUNKE2,RUNSDA,RUNNUM,RUNRTY,RUNCMD,RUNEND,RUNCOD) "
    "select JOBDA1,JOBKE2,JOBSDA,JOBNUM,JOBRTY,JOBCMD,'cancel',:b0 from KVSYSTEM.KVR500JOB "
    "where ((((JOBDA1=:b1 and JOBKE2=:b2) and JOBSDA=:b3) and JOBNUM=:b4) and JOBSTS='01')";

int SQLInsertCancelRequest(Session& session, const RunRecord& run, int32_t keptMrt) {
  FixedText<14> da1(run.da1), start(run.start);
  FixedText<32> ke2(run.ke2);
  FixedText<8> pid(run.pid);
  return Run(
      session, kSQLInsertCancelRequest,
      {Bind::Int(keptMrt), Bind::Text(da1), Bind::Text(ke2), Bind::Text(start), Bind::Text(pid)});
}

constexpr std::string_view kSQLSetJobMrtForCancel =
    "update KVSYSTEM.KVR500JOB  set JOBMRT=1 where ((JOBDA1=:b0 and JOBKE2=:b1) and "
    "JOBSTS='01')";

int SQLSetJobMrtForCancel(Session& session, std::string_view da1, std::string_view ke2) {
  FixedText<14> key1(da1);
  FixedText<32> key2(ke2);
  return Run(session, kSQLSetJobMrtForCancel, {Bind::Text(key1), Bind::Text(key2)});
}

void AppendRunReadStatements(StatementList* list);

void AppendRunHistoryStatements(StatementList* list) {
  AppendRunReadStatements(list);
  list->insert(list->end(), {{"InsertRun", std::string(kSQLInsertRun)},
                             {"DeleteExpiredRuns", std::string(kSQLDeleteExpiredRuns)},
                             {"SelectCancelRequest", std::string(kSQLSelectCancelRequest)},
                             {"CloseCancelledRun", std::string(kSQLCloseCancelledRun)},
                             {"RestoreJobMrt", std::string(kSQLRestoreJobMrt)},
                             {"InsertCancelRequest", std::string(kSQLInsertCancelRequest)},
                             {"SetJobMrtForCancel", std::string(kSQLSetJobMrtForCancel)}});
}

}  // namespace kvr
