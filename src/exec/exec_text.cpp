#include "exec/exec_text.h"

#include <cstdarg>
#include <cstdio>
#include <limits>

#include "platform/clock.h"

namespace kvr {

std::string BoundedPrintf(const char* format, ...) {
  char buffer[kExecTextSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return std::string();
  return std::string(buffer);
}

std::string LocalStampOf(Env& env, int64_t t) { return TimeStamp14(env.LocalTime(t)); }

std::string_view TrimmedRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

Pid PidFromJobNum(std::string_view jobnum) {
  std::string_view digits = TrimmedRight(jobnum);
  if (digits.empty()) return 0;
  int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<Pid>::max()) return 0;
  }
  return static_cast<Pid>(value);
}

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

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace kvr
