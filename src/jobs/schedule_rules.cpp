#include "jobs/schedule_rules.h"

#include <cstdio>
#include <optional>
#include <string>

#include "jobs/calendar.h"

namespace kvr {

namespace {

// Schedule types (SCDTYP).
constexpr int32_t kOnceA = -1, kOnceB = 1, kDaily = 2, kWeekdays = 3, kMonthly = 4, kQuarterlyA = 5,
                  kQuarterlyB = 6, kYearly = 7;
constexpr int32_t kAllWeekdays = 127;

// Noon keeps date arithmetic clear of the hours a clock change skips.
std::tm NoonOf(const std::tm& day) {
  std::tm noon = day;
  noon.tm_hour = 12;
  noon.tm_min = 0;
  noon.tm_sec = 0;
  return noon;
}

// The next date of a repeating type from the base day; nothing when the
// weekday mask selects no day.
std::optional<std::tm> NextDate(Env& env, const std::tm& base, int32_t type, int32_t mask) {
  switch (type) {
    case kDaily:
      return ShiftedFields(env, base, 1, 0, 0);
    case kMonthly:
      return ShiftedFields(env, base, 0, 1, 0);
    case kQuarterlyA:
    case kQuarterlyB:
      return ShiftedFields(env, base, 0, 3, 0);
    case kYearly:
      return ShiftedFields(env, base, 0, 12, 0);
    default:
      break;
  }
  if (mask < 1 || mask > kAllWeekdays) return std::nullopt;
  std::tm day = base;
  for (int i = 0; i < 7; ++i) {
    day = ShiftedFields(env, day, 1, 0, 0);
    if (mask & (1 << (WeekdayOf(day) - 1))) return day;
  }
  return std::nullopt;
}

ScheduleDecision DeleteIfOld(int32_t lastEnd, int32_t bound) {
  ScheduleDecision decision;
  if (lastEnd < bound) decision.action = ScheduleAction::kDelete;
  return decision;
}

}  // namespace

ScheduleKey SplitScheduleKey(std::string_view jobke2) {
  // Empty views keep a data pointer, so copying them never reads from null.
  std::string_view parts[4] = {"", "", "", ""};
  for (auto& part : parts) {
    std::size_t hash = jobke2.find('#');
    part = jobke2.substr(0, hash);
    jobke2 = hash == std::string_view::npos ? std::string_view("") : jobke2.substr(hash + 1);
  }
  ScheduleKey key;
  key.scdnam = parts[0];
  key.scdsbe = parts[1];
  key.scdliz = parts[2];
  key.scdmnd = parts[3];
  return key;
}

int32_t DeletionBound(Env& env, int64_t now) {
  return DateNumberOf(ShiftedFields(env, LocalFields(env, now), 0, -3, 0));
}

ScheduleDecision DecideBySchedule(Env& env, int64_t now, const JobRow& row,
                                  const ScheduleRow* schedule) {
  const std::tm today = NoonOf(LocalFields(env, now));
  const int32_t todayDate = DateNumberOf(today);
  const int32_t bound = DeletionBound(env, now);
  const int32_t lastEnd = DateOfStamp(row.jobeda);
  if (schedule == nullptr) return DeleteIfOld(lastEnd, bound);
  const int32_t type = schedule->scdtyp;
  if (type == kOnceA || type == kOnceB) return DeleteIfOld(lastEnd, bound);
  ScheduleDecision decision;
  decision.jobnrt = row.jobnrt;
  if (type < kDaily || type > kYearly) {  // 0 and unknown types: again at once
    decision.action = ScheduleAction::kRearm;
    return decision;
  }
  const int32_t mask = LeadingNumber32(schedule->scdtag);
  if ((schedule->scdbis != 0 && schedule->scdbis < todayDate) ||
      (type == kWeekdays && (mask < 1 || mask > kAllWeekdays))) {
    return DeleteIfOld(lastEnd, bound);
  }
  // A run that started before today (across midnight) counts from yesterday.
  const bool startedBefore = DateOfStamp(row.jobsda) < todayDate;
  const std::tm base = startedBefore ? ShiftedFields(env, today, -1, 0, 0) : today;
  std::optional<std::tm> next = NextDate(env, base, type, mask);
  if (!next) return DeleteIfOld(lastEnd, bound);
  const int32_t nextDate = DateNumberOf(*next);
  if (schedule->scdbis > 0 && nextDate > schedule->scdbis) return decision;  // stays ended
  char text[32];
  std::string time = schedule->scduhr.str().substr(0, 6);
  std::snprintf(text, sizeof text, "%ld%s", static_cast<long>(nextDate), time.c_str());
  decision.jobnrt = text;
  decision.action = ScheduleAction::kRearm;
  return decision;
}

}  // namespace kvr
