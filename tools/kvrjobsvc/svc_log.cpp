#include "svc_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/clock.h"

namespace kvrsvc {

void Log(const char* format, ...) {
  char line[1024];
  std::tm local = kvr::LocalTimeOf(time(nullptr));
  size_t n = std::strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S kvrjobsvc: ", &local);
  va_list args;
  va_start(args, format);
  int m = std::vsnprintf(line + n, sizeof line - n - 1, format, args);
  va_end(args);
  if (m < 0) m = 0;
  n += static_cast<size_t>(m) < sizeof line - n - 1 ? static_cast<size_t>(m) : sizeof line - n - 2;
  line[n++] = '\n';
  // One write per line, so lines of several processes do not interleave.
  ssize_t ignored = write(STDERR_FILENO, line, n);
  (void)ignored;
}

long long NowMs() { return kvr::MonotonicMillis(); }

}  // namespace kvrsvc
