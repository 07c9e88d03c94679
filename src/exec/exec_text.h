// The process id a JOBNUM text names. (The executor's formatting, stamps
// and case come from core/text.h, platform/clock.h and
// platform/ascii_case.h, included here for its files.)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/text.h"
#include "platform/ascii_case.h"
#include "platform/clock.h"
#include "platform/env.h"

namespace kvr {

// The process id a JOBNUM text names: only decimal digits (trailing blanks
// and tabs allowed); 0 for an empty, signed, non-numeric or too large text.
Pid PidFromJobNum(std::string_view jobnum);

}  // namespace kvr
