// Profile reader: values of an initialisation file ("[SECTION]" headers,
// "KEY=value" lines), with the results the system's Windows profile call
// gives.
//
// Section and key are matched without regard to case and the first match
// wins; the value is trimmed of surrounding blanks and tabs and of one pair
// of enclosing quotes (double or single) and cut to maxChars characters.
// Lines beginning with ';' are comments, lines without '=' are ignored, CR
// LF line ends read like LF. The file is taken as bytes: a NUL byte ends the
// value it stands in, long lines are read like short ones. Never fails: a
// missing file, section or key gives the default (also cut to maxChars).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace kvr {

std::string ReadProfileString(Env& env, std::string_view section, std::string_view key,
                              std::string_view defaultValue, size_t maxChars,
                              const std::string& path);

// The same over a file's content already in memory.
std::string FindProfileString(std::string_view content, std::string_view section,
                              std::string_view key, std::string_view defaultValue, size_t maxChars);

}  // namespace kvr
