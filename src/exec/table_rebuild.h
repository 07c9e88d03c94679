// TableRebuild: the process table's life in a pass and its rebuild from the
// job rows in status "01".
//
// Before each rebuild the table is saved (after a rebuild that broke off,
// added to the copy); the rebuild reaps ended children, reads every running
// row into the table and the exclusion list, counts them as running, and
// carries over from the saved copy what is known of each job's process (its
// creation, and the id of a claimed row). A claimed row no process of which
// is found is left for supervision to close. Restore (before all jobs are
// ended) adds to the table every saved entry it does not hold.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "exec/executor_state.h"
#include "exec/job_identity.h"
#include "platform/env.h"

namespace kvr {

class Logger;
class Session;
struct RunningJobRow;

class TableRebuild {
 public:
  TableRebuild(Env& env, Logger& log, Session& session, ExecutorState& state,
               JobIdentity& identity);

  void SaveProcessTable();
  void RestoreProcessTable();
  void ClearSavedProcessTable();
  // Clears every entry and empties the exclusion list.
  void ClearProcessTable();
  // 1 rebuilt; 0 reading failed, *sqlCode the last SQL error code.
  int GetKvProcs(int* sqlCode);

 private:
  void FillEntry(ProcessEntry& entry, const RunningJobRow& row);
  void CarryBirth(ProcessEntry& entry, std::size_t index);
  void FindClaimedProcess(ProcessEntry& entry);
  void LogUnsupervised(const ProcessEntry& entry);
  void LogCursorFailure(const char* format, int rc, int* sqlCode);

  Env& env_;
  Logger& log_;
  Session& session_;
  ExecutorState& state_;
  JobIdentity& identity_;
  bool rebuildBroken_ = false;                   // the last GetKvProcs did not read every row
  std::vector<std::string> unsupervisedLogged_;  // rows "01" without id, logged once
};

}  // namespace kvr
