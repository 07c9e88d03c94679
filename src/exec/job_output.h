// JobOutput: the output files of the started jobs, when the configuration
// names an output folder (JOBOUTDIR).
//
// Before a start it readies the folder (made when missing, one level) and
// removes the oldest files beyond the kept count, sparing the files of the
// jobs still running; the job's standard output and error then go to its own
// file. In every supervision a running job's file that has grown past the
// size cap is cut back to the cap, ending in a line that says so, so the
// file keeps the first capBytes of the output. When a job has ended, its
// exit status or the signal that ended it is written at the end of its file
// and into the debug log; a status that the reaping has not brought in yet
// is waited for over the next passes, for a bounded time and count.
//
// A folder that cannot be made, listed or written, or whose volume has less
// room than one capped file, costs one line in the debug log: the job still
// starts, with the controller's standard output. Without a folder nothing
// here does anything. Nothing throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.h"
#include "platform/env.h"

namespace kvr {

class Logger;

class JobOutput {
 public:
  // How long an ended job's status is waited for (the kill's grace period
  // and then some), and how many endings are waited for at most.
  static constexpr int64_t kStatusWaitMs = 15000;
  static constexpr std::size_t kMaxAwaited = 1024;

  JobOutput(Env& env, Logger& log, JobOutputSettings settings);

  bool enabled() const { return settings_.enabled(); }
  const JobOutputSettings& settings() const { return settings_; }
  // Path of the file of the job started at the stamp under the key.
  std::string PathOf(std::string_view stamp, std::string_view key) const;

  // Readies the file of a job about to start; its path, or empty when the
  // job is to start without one. `running` names the files of the running
  // jobs, which are never removed.
  std::string Prepare(std::string_view stamp, std::string_view key,
                      const std::vector<std::string>& running);
  // After the creation: the file could not be opened (errno).
  void OpenFailed(const std::string& path, int error);
  // A new process got the id: an ending still awaited under it is settled
  // now, and a status left over from an earlier child is dropped, so that
  // no job is ever given another one's status.
  void Started(Pid pid);
  // Cuts the running job's file when it has grown past the cap.
  void CheckSize(std::string_view stamp, std::string_view key);
  // The job's process has ended or is being ended: its status line is
  // written now when known, else once it comes in. mayWait false: the id
  // already belongs to another process, so only a status kept now is the
  // job's own. status: the job's status when the caller has taken it.
  void Ended(Pid pid, std::string_view stamp, std::string_view key, bool mayWait = true,
             std::optional<ExitStatus> status = std::nullopt);
  // Writes the statuses that have come in; gives up on those waited for too
  // long ("not known"). Call after the reaping.
  void CollectEndings();
  std::size_t awaited() const { return awaited_.size(); }

 private:
  struct Awaited {
    Pid pid;
    std::string stamp, key;
    int64_t giveUpMs;
  };
  bool ReadyFolder();
  void Prune(const std::vector<std::string>& running);
  void WriteEnd(const Awaited& job, const std::optional<ExitStatus>& status);

  Env& env_;
  Logger& log_;
  JobOutputSettings settings_;
  std::vector<Awaited> awaited_;
  std::vector<std::string> cut_;  // files cut already (logged once each)
};

}  // namespace kvr
