// PaceWait: the wait after the service's answer that sets the pace of the
// passes. It lasts its full length unless there is new work: a wake source
// (the database telling of a change by another program) or the end of one
// of the watched jobs. A wake ends the wait early, but never less than
// kMinimumGapMs after the previous wait ended, so passes cannot follow each
// other faster than that; each job's end wakes at most once, and a source
// wakes only for what came since it last did. Without wakes the wait is
// exactly its length.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/env.h"
#include "platform/wake_source.h"

namespace kvr {

class PaceWait {
 public:
  static constexpr int64_t kMinimumGapMs = 20;
  // Readable descriptors whose source finds nothing, within one wait, after
  // which the descriptors are left alone for the rest of it (a descriptor
  // that stays readable must not spin the controller).
  static constexpr int kMaxIdleReadable = 64;
  explicit PaceWait(Env& env) : env_(env) {}

  void AddSource(WakeSource* source) { sources_.push_back(source); }
  // Gives the process ids of the jobs to watch, asked before each wait.
  void SetJobs(std::function<void(std::vector<Pid>*)> jobs) { jobs_ = std::move(jobs); }

  // Waits ms, or less when woken (see above). True when woken early.
  bool Wait(int64_t ms);

  int64_t wakes() const { return wakes_; }

 private:
  void WatchedJobs();
  // One poll of the env: true when the wait ends (woken or stop).
  bool PollOnce(int64_t left, bool* woken, int* idleReadable);
  // Asks again the sources that wanted it; true when one found news.
  bool Recheck();
  // The soonest recheck a source asked for, in ms; 0 when none did.
  int64_t RecheckInMs() const;

  Env& env_;
  std::vector<WakeSource*> sources_;
  std::function<void(std::vector<Pid>*)> jobs_;
  std::vector<Pid> jobsNow_;   // the jobs of this wait, less those that woke
  std::vector<Pid> wokenFor_;  // jobs whose end has woken a wait already
  std::vector<int> fds_;       // descriptors of this wait
  std::vector<WakeSource*> fdSources_;
  int64_t lastEndMs_ = -1;  // when the last wait ended; -1 before
  int64_t wakes_ = 0;
};

}  // namespace kvr
