// Configuration of KVRJOBSTR: finds the program's directory, makes it the
// current directory, and reads the nine settings of section JOBATR of
// KVRJOBCTL.INI beside the program, each with its default when the file or
// the key is missing. Derives the ".BAK" names of the two logs. With the
// diagnostics switch, prints its findings to the console. Never fails.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace kvr {

struct Config {
  int32_t maxJobs = 3;
  std::string kvrIni = ".\\VELTRONIA.INI", kvrLog = ".\\KVRJOBCTL.LOG",
              dbgFile = ".\\KVRJOBDBG.LOG";
  int32_t dbgLog = 0;
  int64_t maxLogSize = 5000000;                               // bytes
  std::string emailTime = "070000", dailyJobTime = "070000";  // hhmmss
  int32_t intervalMinutes = 60;
  // Directory of the program, with leading and trailing '/'.
  std::string programDir;
  // The log paths with ".BAK" in place of their extension, as Windows text.
  std::string mainLogBackup, debugLogBackup;
};

Config ReadConfig(Env& env, bool diagnostics);

// A path split like the system's path splitter: drive (always empty here),
// directory with its trailing separator ('\' or '/'), file name, extension
// with its dot.
struct PathParts {
  std::string drive, dir, fname, ext;
};
PathParts SplitPath(std::string_view path);

// The path with ".BAK" in place of its extension.
std::string BackupPath(std::string_view path);

// The text's leading decimal number (after blanks, with an optional sign),
// 0 when there is none; clamped to the type's range instead of wrapping.
int32_t LeadingNumber32(std::string_view text);
int64_t LeadingNumber64(std::string_view text);

// The held hhmmss value of a time text: "hh?mm" (exactly five characters)
// gives "hhmm00", any other length "070000".
std::string TimeTextToHhmmss(std::string_view text);

}  // namespace kvr
