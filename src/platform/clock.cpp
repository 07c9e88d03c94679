#include "platform/clock.h"

#include <cstdio>
#include <limits>

#include "platform/env.h"

namespace kvr {

int64_t MonotonicMillis() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::tm LocalTimeOf(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  std::tm out{};
  localtime_r(&tt, &out);
  return out;
}

std::tm UtcTimeOf(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  std::tm out{};
  gmtime_r(&tt, &out);
  return out;
}

int64_t MakeLocalTimeOf(std::tm local) { return static_cast<int64_t>(mktime(&local)); }

std::string TimeStamp14(const std::tm& fields) {
  char text[96];  // room for six ints of any value
  int n = std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", fields.tm_year + 1900,
                        fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min,
                        fields.tm_sec);
  return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string TimeStamp14(Env& env, int64_t t) { return TimeStamp14(env.LocalTime(t)); }

namespace {

bool ReadNumber(std::string_view text, size_t at, size_t len, int* out) {
  int v = 0;
  for (size_t i = at; i < at + len; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *out = v;
  return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t SecondsOfFields(const std::tm& tm) {
  return DaysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) * 86400 + tm.tm_hour * 3600 +
         tm.tm_min * 60 + tm.tm_sec;
}

}  // namespace

std::optional<int64_t> LatestTimeOfStamp(Env& env, std::string_view stamp) {
  if (stamp.size() != 14) return std::nullopt;
  int year, month, day, hour, minute, second;
  if (!ReadNumber(stamp, 0, 4, &year) || !ReadNumber(stamp, 4, 2, &month) ||
      !ReadNumber(stamp, 6, 2, &day) || !ReadNumber(stamp, 8, 2, &hour) ||
      !ReadNumber(stamp, 10, 2, &minute) || !ReadNumber(stamp, 12, 2, &second)) {
    return std::nullopt;
  }
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60) {
    return std::nullopt;
  }
  // Each reading of the stamp (zone rules, standard time, summer time) that
  // gives back the same local fields is a time the stamp may stand for.
  std::optional<int64_t> latest;
  for (int isdst : {-1, 0, 1}) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = isdst;
    int64_t t = env.MakeLocalTime(tm);
    if (t == -1) continue;
    std::tm back = env.LocalTime(t);
    if (back.tm_mday != day || back.tm_hour != hour || back.tm_min != minute) continue;
    if (!latest || t > *latest) latest = t;
  }
  return latest;
}

uint32_t ElapsedSeconds(Env& env, int64_t from, int64_t to) {
  int64_t span = SecondsOfFields(env.UtcTime(to)) - SecondsOfFields(env.UtcTime(from));
  if (span <= 0) return 0;
  if (span > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(span);
}

}  // namespace kvr
