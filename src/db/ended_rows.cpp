#include "db/ended_rows.h"

#include "db/client/connection.h"
#include "db/client/fixed_text.h"

namespace kvr {

namespace {

constexpr char kReplayEnd[] =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNAM=:b1,JOBUSR=:b2,JOBNUM=:b3,JOBSDA=:b4,"
    "JOBEDA=:b5,JOBSTV=:b6 where ((JOBDA1=:b7 and JOBKE2=:b8) and JOBSTS='01')";

constexpr size_t kMaxKept = 1024;

}  // namespace

void EndedRows::Note(int code, std::string_view status, std::string_view name,
                     std::string_view user, std::string_view num, std::string_view sda,
                     std::string_view eda, int32_t stv, std::string_view da1,
                     std::string_view ke2) {
  if (status != "98" && status != "99") return;
  if (code != kSqlOk && !IsWriteFault(code)) return;
  if (rows_.size() >= kMaxKept) rows_.pop_front();
  rows_.push_back(Row{std::string(status), std::string(name), std::string(user), std::string(num),
                      std::string(sda), std::string(eda), std::string(da1), std::string(ke2), stv,
                      code == kSqlOk});
}

void EndedRows::Committed() {
  std::erase_if(rows_, [](const Row& r) { return r.written; });
}

int EndedRows::Replay(Connection& db) {
  int first = 0;
  for (const Row& r : rows_) {
    FixedText<2> sts(r.status);
    FixedText<64> nam(r.name);
    FixedText<128> usr(r.user);
    FixedText<8> num(r.num);
    FixedText<14> sda(r.sda), eda(r.eda), da1(r.da1);
    FixedText<32> ke2(r.ke2);
    const Bind in[] = {Bind::Text(sts),  Bind::Text(nam), Bind::Text(usr),
                       Bind::Text(num),  Bind::Text(sda), Bind::Text(eda),
                       Bind::Int(r.stv), Bind::Text(da1), Bind::Text(ke2)};
    int rc = db.Execute(kReplayEnd, in);
    if (rc != 0 && rc != kSqlNoData && first == 0) first = rc;
  }
  return first;
}

void AppendEndedRowStatements(StatementList* list) {
  list->push_back({"ReplayJobEnd", kReplayEnd});
}

}  // namespace kvr
