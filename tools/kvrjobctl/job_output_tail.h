// The tail of a job's latest output file, for kvrjobctl show. The output
// folder comes from JOBOUTDIR of KVRJOBCTL.INI in the current directory (the
// controller's program directory, where kvrjobctl works); a relative folder
// is taken from there, as the controller takes it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace kvr::ctl {

struct OutputTail {
  std::string path;   // the file, as an absolute path where it can be made one
  std::string lines;  // its last lines
};

// Lines shown, and the bytes read from the file's end to find them.
inline constexpr std::size_t kTailLines = 20;
inline constexpr int64_t kTailBytes = 64 * 1024;

// Nothing without an output folder, or when the job has no file there.
std::optional<OutputTail> LatestJobOutput(Env& env, std::string_view jobke2);

}  // namespace kvr::ctl
