// FakeEnv: the scripted wait for a wake.
#include <algorithm>

#include "platform/fake_env.h"

namespace kvr {

// What ends a wait now, if anything: a stop or a watched child that ended.
std::optional<WakeResult> FakeEnv::WakeFor(std::span<const Pid> children) {
  WakeResult r;
  if (stop_) {
    r.kind = WakeResult::Kind::Stop;
    return r;
  }
  for (Pid pid : children) {
    if (unreaped_.count(pid) != 0) {
      r.kind = WakeResult::Kind::ChildEnded;
      r.child = pid;
      return r;
    }
  }
  return std::nullopt;
}

WakeResult FakeEnv::WaitForWake(int64_t ms, std::span<const int> fds,
                                std::span<const Pid> children) {
  waits.push_back(ms);
  int64_t left = ms < 0 ? 0 : ms;
  for (;;) {
    if (std::optional<WakeResult> r = WakeFor(children)) return *r;
    if (wakes.empty() || wakes.front().afterMs >= left) {
      if (!wakes.empty()) wakes.front().afterMs -= left;
      AdvanceMs(left);
      return WakeResult{};
    }
    Wake event = wakes.front();
    wakes.pop_front();
    AdvanceMs(event.afterMs);
    left -= event.afterMs;
    for (Wake& later : wakes) later.afterMs -= event.afterMs;
    if (event.action) event.action();
    if (event.endChild != 0) EndProcess(event.endChild);
    if (event.stop) stop_ = true;
    auto at = std::find(fds.begin(), fds.end(), event.fd);
    if (event.fd >= 0 && at != fds.end()) {
      WakeResult r;
      r.kind = WakeResult::Kind::Readable;
      r.index = static_cast<int>(at - fds.begin());
      return r;
    }
  }
}

}  // namespace kvr
