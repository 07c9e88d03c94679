#include "platform/clock.h"

#include <cstdio>

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

}  // namespace kvr
