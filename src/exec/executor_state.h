// ExecutorState: what the parts of the job executor share, and nothing else.
//
// The process table of the running jobs, its saved copy, the exclusion list
// of their origins and the running-jobs count. The rebuild fills them each
// pass, the start adds to them, supervision and the ending of jobs free
// entries and count down. The JobExecutor owns one and hands it to each
// part by reference; a part keeps its own state (its batches, its flags)
// to itself.
#pragma once

#include <cstdint>

#include "exec/exclusion_list.h"
#include "exec/process_table.h"

namespace kvr {

struct ExecutorState {
  ProcessTable table;
  ProcessTable saved;  // the copy taken before each rebuild
  ExclusionList exclusions;
  int32_t runningJobs = 0;
};

}  // namespace kvr
