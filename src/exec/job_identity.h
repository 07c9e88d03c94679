// JobIdentity: which process is a job's, and the job's whole tree.
//
// A process is the job's when it carries the job's mark (this controller's
// queue and instance, the row's key and start time, platform/job_mark.h);
// from then on the id and the creation name it. The job's tree is its
// process group, every process with the job's mark that has left the
// group, and the processes descending from these through their parents.
// Owns the mark owner (the queue and instance the controller's marks name).
// Reads processes only through Env; EndJob is the one call here that
// signals, and only the tree of a process known to be the job's.
#pragma once

#include <string>
#include <vector>

#include "exec/process_table.h"
#include "platform/env.h"
#include "platform/job_mark.h"

namespace kvr {

// A process of the controller's user and the mark it carries.
struct MarkedProcess {
  Pid pid = 0;
  ProcessStat stat;
  JobMark mark;
};

// What the process under an entry's id is: the job's own, another
// process, one without any mark (judged by the caller), or none.
enum class Identity { kOwn, kForeign, kUnmarked, kGone };

class JobIdentity {
 public:
  JobIdentity(Env& env, MarkOwner owner);

  const MarkOwner& owner() const { return owner_; }
  // Names the queue in the jobs' mark: the database service as the
  // credentials give it (a relative SQLite path taken from the current
  // directory).
  void SetMarkQueue(const std::string& service);

  // Reads the mark of the entry's process; *why says why it is foreign.
  Identity Identify(const ProcessEntry& entry, std::string* why);
  // Every live process of the controller's user with this owner's mark.
  std::vector<MarkedProcess> MarkedProcesses();
  // The job's process and its descendants that left its group.
  std::vector<ProcessRef> JobTree(const ProcessEntry& entry,
                                  const std::vector<MarkedProcess>& marked);
  // The descendants of the roots found through their parents (those that
  // left the group and dropped the mark while their parent lives), each
  // group of the tree named once.
  std::vector<ProcessRef> DescendantsOf(const std::vector<ProcessRef>& roots);
  // Ends the job's process with its descendants; pauseMs waited after.
  void EndJob(const ProcessEntry& entry, int pauseMs);

 private:
  Env& env_;
  MarkOwner owner_;
};

}  // namespace kvr
