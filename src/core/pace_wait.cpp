#include "core/pace_wait.h"

#include <algorithm>

namespace kvr {

// The jobs to watch: those given, less the ones whose end woke a wait
// already (their rows are closed by the pass that follows). A job that is
// no longer given is forgotten, so the list cannot grow.
void PaceWait::WatchedJobs() {
  jobsNow_.clear();
  if (jobs_) jobs_(&jobsNow_);
  std::erase_if(wokenFor_, [&](Pid pid) {
    return std::find(jobsNow_.begin(), jobsNow_.end(), pid) == jobsNow_.end();
  });
  std::erase_if(jobsNow_, [&](Pid pid) {
    return std::find(wokenFor_.begin(), wokenFor_.end(), pid) != wokenFor_.end();
  });
}

int64_t PaceWait::RecheckInMs() const {
  int64_t soonest = 0;
  for (const WakeSource* s : fdSources_) {
    int64_t in = s->RecheckInMs();
    if (in > 0 && (soonest == 0 || in < soonest)) soonest = in;
  }
  return soonest;
}

bool PaceWait::Recheck() {
  bool news = false;
  for (WakeSource* s : fdSources_) {
    if (s->RecheckInMs() > 0 && s->Confirm()) news = true;
  }
  return news;
}

bool PaceWait::PollOnce(int64_t left, bool* woken, int* idleReadable) {
  std::span<const int> fds(fds_);
  if (*idleReadable >= kMaxIdleReadable) fds = {};
  const int64_t recheckIn = fds.empty() ? 0 : RecheckInMs();
  const bool recheck = recheckIn > 0;
  WakeResult r = env_.WaitForWake(recheck ? std::min(left, recheckIn) : left, fds, jobsNow_);
  switch (r.kind) {
    case WakeResult::Kind::TimedOut:
      if (!recheck) return true;
      *woken = Recheck();
      return *woken;
    case WakeResult::Kind::Stop:
      return true;
    case WakeResult::Kind::ChildEnded:
      wokenFor_.push_back(r.child);
      std::erase(jobsNow_, r.child);
      *woken = true;
      return true;
    case WakeResult::Kind::Readable:
      if (fdSources_[static_cast<size_t>(r.index)]->Confirm()) {
        *woken = true;
        return true;
      }
      ++*idleReadable;
      return false;
  }
  return true;
}

bool PaceWait::Wait(int64_t ms) {
  const int64_t start = env_.SteadyMillis();
  WatchedJobs();
  bool woken = false;
  fds_.clear();
  fdSources_.clear();
  for (WakeSource* source : sources_) {
    if (source->Arm()) woken = true;
    if (source->fd() >= 0) {
      fds_.push_back(source->fd());
      fdSources_.push_back(source);
    }
  }
  int idleReadable = 0;
  while (!woken) {
    int64_t left = start + ms - env_.SteadyMillis();
    if (left <= 0 || PollOnce(left, &woken, &idleReadable)) break;
  }
  if (woken) {
    ++wakes_;
    int64_t earliest = std::max(start, lastEndMs_ < 0 ? start : lastEndMs_ + kMinimumGapMs);
    int64_t gap = std::min(earliest, start + ms) - env_.SteadyMillis();
    if (gap > 0) env_.SleepMs(gap);
  }
  lastEndMs_ = env_.SteadyMillis();
  return woken;
}

}  // namespace kvr
