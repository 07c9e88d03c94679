#include "jobs/schedule_table.h"

#include "db/client/connection.h"
#include "db/session.h"

namespace kvr {

namespace {

constexpr char kReadSchedule[] =
    "select SCDART ,SCDTYP ,SCDTAG ,TO_CHAR(SCDDTM,'yyyymmdd') ,TO_CHAR(SCDUHR,'HH24MISS') "
    ",SCDDWH ,TO_CHAR(SCDBIS,'yyyymmdd') into :b0:b1,:b2:b3,:b4:b5,:b6:b7,:b8:b9,:b10:b11,"
    ":b12:b13  from KVSYSTEM.KVR800SCD where (((SCDLIZ=:b14 and SCDMND=:b15) and SCDNAM=:b16) "
    "and SCDSBE=:b17)";

}  // namespace

int SQLReadKvr800Scd(Session& session, const ScheduleKey& key, ScheduleRow* row) {
  *row = ScheduleRow();
  const Bind in[] = {Bind::Text(key.scdliz), Bind::Text(key.scdmnd), Bind::Text(key.scdnam),
                     Bind::Text(key.scdsbe)};
  const Out out[] = {Out::Int(&row->scdart), Out::Int(&row->scdtyp), Out::Text(row->scdtag),
                     Out::Int(&row->scddtm), Out::Text(row->scduhr), Out::Text(row->scddwh),
                     Out::Int(&row->scdbis)};
  return session.db().SelectOne(kReadSchedule, in, out);
}

void AppendScheduleStatements(StatementList* list) {
  list->push_back({"ReadKvr800Scd", kReadSchedule});
}

}  // namespace kvr
