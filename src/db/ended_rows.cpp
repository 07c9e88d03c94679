#include "db/ended_rows.h"

#include "core/text.h"
#include "db/client/connection.h"

namespace kvr {

namespace {

// The end of one run: the row must still be running with the run's process
// id (or the "0" of its claim, as long as the id is not written or not
// committed) and the run's start time, so an end of an earlier run never
// closes the row's later run. The last input is a status besides "01" the
// run's row may read (see WriteRunEnd).
constexpr char kWriteRunEnd[] =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNAM=:b1,JOBUSR=:b2,JOBNUM=:b3,JOBSDA=:b4,"
    "JOBEDA=:b5,JOBSTV=:b6 where ((JOBDA1=:b7 and JOBKE2=:b8) and rtrim(JOBNUM) in (:b9,:b10) "
    "and (rtrim(JOBSDA)=:b11 or JOBSDA is null) and JOBSTS in ('01',:b12))";

constexpr size_t kMaxKept = 1024;

bool KeptStatus(std::string_view status) {
  return status == "98" || status == "99" || status == "90";
}

}  // namespace

void EndedRows::Note(int code, const JobRunUpdate& end, std::string_view runStart,
                     std::string_view runNum) {
  if (!KeptStatus(end.status)) return;
  if (code != kSqlOk && !IsWriteFault(code)) return;
  if (rows_.size() >= kMaxKept) rows_.pop_front();
  rows_.push_back(
      Row{std::string(end.status), std::string(end.name), std::string(end.user),
          std::string(end.num), std::string(end.sda), std::string(end.eda), std::string(end.da1),
          std::string(end.ke2), std::string(TrimmedRight(runStart)),
          std::string(TrimmedRight(runNum.empty() ? end.num : runNum)), end.stv, code == kSqlOk});
}

JobRunUpdate EndedRows::Row::end() const {
  return {.da1 = da1,
          .ke2 = ke2,
          .status = status,
          .name = name,
          .user = user,
          .num = num,
          .sda = sda,
          .eda = eda,
          .stv = stv};
}

void EndedRows::Committed() {
  std::erase_if(rows_, [](const Row& r) { return r.written; });
}

int WriteRunEnd(Connection& db, const JobRunUpdate& end, std::string_view runNum,
                std::string_view runStart, std::string_view closedAs) {
  JobRunBinds in(end, {Bind::Text(TrimmedRight(runNum)), Bind::Text(kClaimedJobNum),
                       Bind::Text(TrimmedRight(runStart)), Bind::Text(closedAs)});
  return db.Execute(kWriteRunEnd, in.binds());
}

int EndedRows::Replay(Connection& db) {
  int first = 0;
  for (const Row& r : rows_) {
    // A failed start's "90" also replaces the "98" another controller gave
    // its claim when it found no process of it (it could not know why).
    int rc = WriteRunEnd(db, r.end(), r.runNum, r.runStart, r.status == "90" ? "98" : "01");
    if (rc != 0 && rc != kSqlNoData && first == 0) first = rc;
  }
  return first;
}

void AppendEndedRowStatements(StatementList* list) {
  list->push_back({"WriteRunEnd", kWriteRunEnd});
}

}  // namespace kvr
