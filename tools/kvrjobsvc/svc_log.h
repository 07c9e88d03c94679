// kvrjobsvc's event log: one line per event on standard error, beginning
// with the local time and "kvrjobsvc: ".
#pragma once

namespace kvrsvc {

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Milliseconds of the monotonic clock.
long long NowMs();

}  // namespace kvrsvc
