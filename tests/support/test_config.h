// The configuration the tests and benchmarks start from: the defaults, with
// the main and debug log and their backups in a folder of the test's own,
// under the names the controller gives them.
#pragma once

#include <string>

#include "core/config.h"

namespace kvr::test {

inline Config LogsIn(const std::string& folder) {
  Config config;
  config.kvrLog = folder + "/KVRJOBCTL.LOG";
  config.dbgFile = folder + "/KVRJOBDBG.LOG";
  config.mainLogBackup = folder + "/KVRJOBCTL.BAK";
  config.debugLogBackup = folder + "/KVRJOBDBG.BAK";
  return config;
}

}  // namespace kvr::test
