#include "exec/exec_text.h"

#include <limits>

namespace kvr {

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

}  // namespace kvr
