// Command line of KVRJOBSTR: the diagnostics switch ("/D" or "-D", any case,
// anywhere, the program name included) and the instance number (the first
// argument after the program name, when it begins with a decimal digit: its
// leading decimal number). Reading never fails: arguments longer than 255
// characters are examined cut to 255, and an instance number too large for
// 32 bits is taken as INT32_MAX.
#pragma once

#include <cstdint>

namespace kvr {

struct CommandLine {
  bool diagnostics = false;
  int32_t instance = -1;  // -1: the single controller
  bool instanceMode() const { return instance >= 0; }
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace kvr
