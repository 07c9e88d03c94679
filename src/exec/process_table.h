// ProcessTable: the controller's table of managed job processes.
//
// 1024 fixed entries, used from the first entry on; an entry with process id
// 0 is free. Every text field is a FixedText of the job table's width, so no
// field can overflow and the table never allocates after construction: it
// is cleared, rebuilt and copied in place every pass. The table itself
// decides nothing; the job executor fills, reads and frees its entries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "db/client/fixed_text.h"
#include "db/job_run.h"
#include "exec/running_jobs_cursor.h"
#include "platform/env.h"

namespace kvr {

// Longest program name an entry keeps (a Windows path component).
inline constexpr std::size_t kProgramNameWidth = 259;

// The job's row as the running-jobs read delivers it, and what the
// controller keeps beside it about the process.
struct ProcessEntry : RunningJobRow {
  Pid pid = 0;                               // 0: free entry
  FixedText<kProgramNameWidth> programName;  // name the job's process must carry
  uint32_t runningTime = 0;                  // seconds, from the last check
  // Filled from a row in "01" whose JOBNUM names no process that can be the
  // job's (empty, not a number, init, the controller): closed as gone.
  bool withoutProcess = false;
  // When the job's process was created, on the steady clock (milliseconds),
  // as known from its start or an earlier check; carried from pass to pass
  // through the saved copy. Unlike the wall clock, a step of the system
  // clock does not move it.
  std::optional<int64_t> bornMs;
  // The creation (in ticks) of the job's process once it is known to be the
  // job's: started here or carrying the job's mark. 0: not known yet.
  uint64_t startTicks = 0;
  // The row was claimed (JOBNUM "0") and the process id is still to be
  // written into it.
  bool idUnwritten = false;
  // How a row closed without a process ended (withoutProcess).
  bool unknownAfterRestart = false;

  // Every field empty or 0.
  void Clear();
  // No process, no row key, nothing to close: as good as cleared.
  bool blank() const;
  bool free() const { return pid == 0; }
};

class ProcessTable {
 public:
  static constexpr std::size_t kCapacity = 1024;

  // Clears every entry.
  void Clear();
  // Becomes a copy of the other table.
  void CopyFrom(const ProcessTable& other);
  // Index of the first free entry, or -1 when all are taken.
  int FirstFree() const;
  // Number of entries that are taken (process id other than 0).
  std::size_t CountTaken() const;

  ProcessEntry& operator[](std::size_t i) { return entries_[i]; }
  const ProcessEntry& operator[](std::size_t i) const { return entries_[i]; }
  static constexpr std::size_t size() { return kCapacity; }

 private:
  // One past the last entry that is not blank.
  std::size_t UsedEnd() const;
  std::array<ProcessEntry, kCapacity> entries_;
};

}  // namespace kvr
