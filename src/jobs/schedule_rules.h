// Schedule rules of the scheduled jobs (run type 07): the schedule key a
// JOBKE2 names, the schedule row as read, and the decision for a row whose
// last run has ended: re-arm it (with its next run), delete it (its
// schedule is gone or over and its last end is more than three months old)
// or leave it. No database, no clock of their own: the time is passed in.
#pragma once

#include <cstdint>
#include <string_view>

#include "db/client/fixed_text.h"
#include "db/queue/job_table.h"
#include "platform/env.h"

namespace kvr {

// The four key fields of a schedule row, from the "#"-separated parts of
// JOBKE2; a part longer than its field is cut at the field's width.
struct ScheduleKey {
  FixedText<50> scdnam;
  FixedText<8> scdsbe;
  FixedText<5> scdliz;
  FixedText<5> scdmnd;
};

ScheduleKey SplitScheduleKey(std::string_view jobke2);

// One row of KVSYSTEM.KVR800SCD with its dates as yyyymmdd numbers (0 when
// null) and its time of day as HH24MISS text.
struct ScheduleRow {
  int32_t scdart = 0;
  int32_t scdtyp = 0;
  FixedText<7> scdtag;
  int32_t scddtm = 0;
  FixedText<8> scduhr;
  FixedText<50> scddwh;
  int32_t scdbis = 0;
};

enum class ScheduleAction {
  kLeave,   // the row stays as it is
  kDelete,  // the row is deleted
  kRearm,   // status "00", JOBNRT below, start attempts 0
};

struct ScheduleDecision {
  ScheduleAction action = ScheduleAction::kLeave;
  FixedText<14> jobnrt;  // the row's JOBNRT after a re-arm
};

// The date three months before the local time at now, as yyyymmdd (the
// calendar normalises: 31 May gives 3 March, or 2 March in a leap year).
int32_t DeletionBound(Env& env, int64_t now);

// The decision for an ended run type 07 row; schedule is null when the row
// names no schedule row.
ScheduleDecision DecideBySchedule(Env& env, int64_t now, const JobRow& row,
                                  const ScheduleRow* schedule);

}  // namespace kvr
