// Configuration of KVRJOBSTR: finds the program's directory, makes it the
// current directory, and reads the settings of section JOBATR of
// KVRJOBCTL.INI beside the program, each with its default when the file or
// the key is missing (the nine settings of the controller, the wake-up
// switch and the three of
// the job output files). Derives the ".BAK" names of the two logs. With the
// diagnostics switch, prints its findings to the console. Never fails.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace kvr {

// Where the jobs' standard output and error go: with a folder, each started
// job gets a file of its own there; without one (the default) they go to the
// controller's standard output.
struct JobOutputSettings {
  static constexpr int64_t kDefaultCapBytes = 10 * 1024 * 1024;
  static constexpr int32_t kDefaultKeptFiles = 500;

  std::string dir;                        // JOBOUTDIR; empty: no files
  int64_t capBytes = kDefaultCapBytes;    // JOBOUTSIZE; a file is cut beyond it
  int32_t keptFiles = kDefaultKeptFiles;  // JOBOUTFILES; older files are removed
  bool enabled() const { return !dir.empty(); }
};

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
  JobOutputSettings jobOutput;
  // RUNHISTDAYS: days a run stays in the run history; not a number above 0
  // gives 30.
  int32_t runHistoryDays = 30;
  // WAKEUPS: the wait between passes ends early on new work (a change to
  // the queue by another program, a job's end); 0 turns this off.
  bool wakeUps = true;
  // JOBFAILMSG=1: a user message for every job that ends with an exit
  // status other than 0 or by a signal the controller did not send. Off by
  // default: the product's users see every message.
  bool failureNotice = false;
  // One line for the main log per value that could not be read as what it
  // is (a number, a time hh:mm): the value still means what it always did.
  std::vector<std::string> warnings;
};

Config ReadConfig(Env& env, bool diagnostics);

// The job output keys of section JOBATR of the given file. A size or count
// that is not a number above 0 gives the default. kvrjobctl reads them too.
JobOutputSettings ReadJobOutputSettings(Env& env, const std::string& file);

// A path split like the system's path splitter: drive (always empty here),
// directory with its trailing separator ('\' or '/'), file name, extension
// with its dot.
struct PathParts {
  std::string drive, dir, fname, ext;
};
PathParts SplitPath(std::string_view path);

// The path with ".BAK" in place of its extension.
std::string BackupPath(std::string_view path);

// The held hhmmss value of a time text: "hh?mm" (exactly five characters)
// gives "hhmm00", any other length "070000".
std::string TimeTextToHhmmss(std::string_view text);

}  // namespace kvr
