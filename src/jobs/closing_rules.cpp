#include "jobs/closing_rules.h"

#include <cstdio>
#include <string>

#include "jobs/calendar.h"
#include "platform/clock.h"

namespace kvr {

namespace {

constexpr int32_t kMinutesPerDay = 24 * 60;
constexpr char kNoDownload[] = "/NODNL";
constexpr char kClosingOrigin[] = "Nachtlauf";
constexpr char kClosingCommand[] = "Nachtlauf.exe";
constexpr char kClosingCommandNoDownload[] = "Nachtlauf.exe /NODNL";
constexpr char kKeyWithDownload[] = "NLF+D%02d";
constexpr char kKeyWithoutDownload[] = "NLF+_%02d";

int32_t TimeOfDay(int32_t time) { return time % kMinutesPerDay; }

// Takes the first configured time of the half that equals the row's time.
bool TakeTime(ClosingTimes& times, std::size_t first, int32_t rowMinute) {
  for (std::size_t i = first; i < first + kClosingSlots; ++i) {
    if (times[i] > 0 && TimeOfDay(times[i]) == rowMinute) {
      times[i] = kClosingTimeTaken;
      return true;
    }
  }
  return false;
}

JobRow ClosingRow(const std::string& stamp, const std::tm& day, std::size_t slot, bool download,
                  int32_t time) {
  JobRow row;
  char text[64];
  row.jobda1 = stamp;
  std::snprintf(text, sizeof text, download ? kKeyWithDownload : kKeyWithoutDownload,
                static_cast<int>(slot));
  row.jobke2 = text;
  row.joburv = kClosingOrigin;
  row.jobcmd = download ? kClosingCommand : kClosingCommandNoDownload;
  row.jobrty = kRunType08;
  row.jobstv = 1;
  std::tm at = day;
  at.tm_hour = static_cast<int>(time / 60);
  at.tm_min = static_cast<int>(time % 60);
  at.tm_sec = 0;
  row.jobnrt = TimeStamp14(at);
  return row;
}

}  // namespace

ClosingReconciliation ReconcileClosingRows(std::span<const JobRow> rows,
                                           const ClosingTimes& times) {
  ClosingReconciliation result;
  result.untaken = times;
  std::vector<std::size_t> withDownload, withoutDownload;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (StatusValue(rows[i].jobsts) > 10) {
      result.finished.push_back(i);
    } else if (rows[i].jobcmd.view().find(kNoDownload) != std::string_view::npos) {
      withoutDownload.push_back(i);
    } else {
      withDownload.push_back(i);
    }
  }
  for (std::size_t i : withDownload) {
    if (!TakeTime(result.untaken, 0, MinuteOfStamp(rows[i].jobnrt))) result.unmatched.push_back(i);
  }
  for (std::size_t i : withoutDownload) {
    if (!TakeTime(result.untaken, kClosingSlots, MinuteOfStamp(rows[i].jobnrt))) {
      result.unmatched.push_back(i);
    }
  }
  return result;
}

std::vector<JobRow> NewClosingRows(Env& env, int64_t now, const ClosingTimes& untaken) {
  const std::tm local = LocalFields(env, now);
  const std::string stamp = TimeStamp14(local);
  const int32_t nowMinute = MinuteOfDay(local);
  const std::tm tomorrow = ShiftedFields(env, local, 1, 0, 0);
  std::vector<JobRow> rows;
  for (std::size_t slot = 0; slot < kClosingSlots; ++slot) {
    for (bool download : {true, false}) {
      int32_t time = untaken[download ? slot : slot + kClosingSlots];
      if (time <= 0) continue;
      time = TimeOfDay(time);
      rows.push_back(ClosingRow(stamp, nowMinute >= time ? tomorrow : local, slot, download, time));
    }
  }
  return rows;
}

}  // namespace kvr
