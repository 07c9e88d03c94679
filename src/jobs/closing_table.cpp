#include "jobs/closing_table.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "db/client/connection.h"
#include "db/session.h"
#include "exec/selection.h"

namespace kvr {

namespace {

constexpr char kReadClientTimes[] =
    "select MNDT01 ,MNDT02 ,MNDT03 ,MNDT04 ,MNDT05 ,MNDT06 ,MNDT07 ,MNDT08 ,MNDT09 ,MNDT10 "
    ",MNDT11 ,MNDT12 ,MNDD01 ,MNDD02 ,MNDD03 ,MNDD04 ,MNDD05 ,MNDD06 ,MNDD07 ,MNDD08 ,MNDD09 "
    ",MNDD10 ,MNDD11 ,MNDD12 into :b0:b1,:b2:b3,:b4:b5,:b6:b7,:b8:b9,:b10:b11,:b12:b13,"
    ":b14:b15,:b16:b17,:b18:b19,:b20:b21,:b22:b23,:b24:b25,:b26:b27,:b28:b29,:b30:b31,:b32:b33,"
    ":b34:b35,:b36:b37,:b38:b39,:b40:b41,:b42:b43,:b44:b45,:b46:b47  from KvSystem.Kvr112Mnd "
    "where ((MndSch=:b48 and MNDKON=0) and (((((((((((((((((((((((MNDT01+MNDT02)+MNDT03)+MNDT04)"
    "+MNDT05)+MNDT06)+MNDT07)+MNDT08)+MNDT09)+MNDT10)+MNDT11)+MNDT12)+MNDD01)+MNDD02)+MNDD03)"
    "+MNDD04)+MNDD05)+MNDD06)+MNDD07)+MNDD08)+MNDD09)+MNDD10)+MNDD11)+MNDD12)>0)";

constexpr char kFirstClientTimes[] =
    "select MNDT01 ,MNDT02 ,MNDT03 ,MNDT04 ,MNDT05 ,MNDT06 ,MNDT07 ,MNDT08 ,MNDT09 ,MNDT10 "
    ",MNDT11 ,MNDT12 ,MNDD01 ,MNDD02 ,MNDD03 ,MNDD04 ,MNDD05 ,MNDD06 ,MNDD07 ,MNDD08 ,MNDD09 "
    ",MNDD10 ,MNDD11 ,MNDD12  from KvSystem.Kvr112Mnd where (MNDKON=0 and (((((((((((((((((((((("
    "(MNDT01+MNDT02)+MNDT03)+MNDT04)+MNDT05)+MNDT06)+MNDT07)+MNDT08)+MNDT09)+MNDT10)+MNDT11)"
    "+MNDT12)+MNDD01)+MNDD02)+MNDD03)+MNDD04)+MNDD05)+MNDD06)+MNDD07)+MNDD08)+MNDD09)+MNDD10)"
    "+MNDD11)+MNDD12)>0) order by MNDNUM";

// Placed before the ORDER BY of the run type 09 selection, once per row
// passed over.
constexpr char kPassedOverPiece[] = " AND NOT (JOBDA1 = '%s' AND JOBKE2 = '%s') ";
constexpr char kPassedOverLongKeyPiece[] =
    " AND NOT (JOBDA1 = '%s' AND LENGTH(JOBKE2) > 32 AND SUBSTR(JOBKE2, 1, 32) = '%s') ";
constexpr std::string_view kSelect09Order = " ORDER BY JOBDA1, JOBKE2";

std::string Quoted(std::string_view text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

}  // namespace

int SQLReadKvr112Mnd(Session& session, std::string_view schema, ClosingTimes* times) {
  ClosingTimes read{};
  // All 24 outputs share one indicator: a null column leaves its 0.
  std::vector<Out> out;
  for (int32_t& time : read) out.push_back(Out::Int(&time));
  FixedText<20> schemaName(schema);
  const Bind in[] = {Bind::Text(schemaName)};
  int rc = session.db().SelectOne(kReadClientTimes, in, out);
  if (rc == kSqlNoData) {
    int status = 0;
    std::unique_ptr<Cursor> cursor = session.db().Open(kFirstClientTimes, {}, &status);
    if (!cursor) return status != 0 ? status : kSqlNotConnected;
    if (status != 0) return status;
    rc = cursor->Fetch(out);
    cursor->Close();
  }
  if (rc == 0) *times = read;
  return rc;
}

std::string Select09ExceptText(const char* list, std::span<const JobKey> passedOver) {
  std::string text = SelectionText09(list);
  if (text.empty() || passedOver.empty() || !text.ends_with(kSelect09Order)) return text;
  std::string pieces;
  char piece[256];
  for (const JobKey& key : passedOver) {
    std::snprintf(piece, sizeof piece, key.keyTooLong ? kPassedOverLongKeyPiece : kPassedOverPiece,
                  Quoted(key.jobda1).c_str(), Quoted(key.jobke2).c_str());
    pieces += piece;
  }
  text.insert(text.size() - kSelect09Order.size(), pieces);
  if (text.size() > kMaxSelectionLength) return std::string();
  return text;
}

int SelectKvr500Job09Except(Session& session, const ExclusionList& list,
                            std::span<const JobKey> passedOver, JobRow* row) {
  return SelectJobColumnsInto(session, Select09ExceptText(list.Text(), passedOver), row);
}

void AppendClosingStatements(StatementList* list) {
  const std::string_view day = "20260101000000";
  const JobKey passedOver[] = {{day, std::string_view("A'1")},
                               {day, std::string_view("B")},
                               {day, std::string_view("C23456789012345678901234567890123"), true}};
  list->insert(list->end(), {{"ReadKvr112Mnd", kReadClientTimes},
                             {"FirstClientTimes", kFirstClientTimes},
                             {"Select09PassingOver", Select09ExceptText("' '", passedOver)}});
}

}  // namespace kvr
