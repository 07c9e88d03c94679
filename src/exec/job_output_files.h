// Job output files: their names and the texts written into them.
//
// A started job's standard output and error go to "<start>_<key>.log" in
// the output folder: the start time stamp (14 digits) and the job's key
// (JOBKE2) made safe for a file name. The key keeps letters, digits, '.',
// '-' and '_'; every other byte becomes %XX, so two keys never share a name
// and no key can leave the folder. Names sort by start time. Pure functions,
// shared by the controller and kvrjobctl; nothing here touches a file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace kvr {

// The key as it stands in a file name (trailing blanks of the column dropped).
std::string SafeFileKey(std::string_view key);
// "<stamp>_<safe key>.log".
std::string JobOutputName(std::string_view stamp, std::string_view key);
// True for a name of that form (14 digits, '_', any safe key, ".log").
bool IsJobOutputName(std::string_view name);
// The folder and the name joined with one '/'.
std::string JoinPath(std::string_view dir, std::string_view name);

// The newest of the names that belong to the key; nothing when none does.
std::optional<std::string> LatestOutputName(const std::vector<std::string>& names,
                                            std::string_view key);
// The output files to remove, oldest first, so that at most `keep` of them
// stay; a name listed in `spared` (a running job's file) is never chosen.
std::vector<std::string> OutputNamesToPrune(std::vector<std::string> names, std::size_t keep,
                                            const std::vector<std::string>& spared);

// "exit status 3" or "ended by signal 9 (Killed)".
std::string ExitStatusText(const ExitStatus& status);
// The line that ends a job's output file; `when` is the local time text.
std::string EndOfOutputLine(std::string_view when, const std::optional<ExitStatus>& status);
// The line that replaces what was cut off an over-long file.
std::string CutOutputLine(int64_t capBytes);

// The last n lines of a text (a last line without line end counts).
std::string LastLines(std::string_view text, std::size_t n);

}  // namespace kvr
