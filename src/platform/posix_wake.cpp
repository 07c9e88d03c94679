// PosixEnv: the wait for a wake. SIGCHLD, SIGTERM and SIGINT are read from
// a signalfd polled together with the caller's descriptors; SIGCHLD is
// blocked from the first wait on (children get it back unblocked at their
// start), so a job's end cannot be lost between two waits. Whether one of
// the watched children ended is asked with waitid(WNOWAIT), which leaves
// the child for ReapChildren and its exit status.
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/posix_env.h"

namespace kvr {

namespace {

// The first watched child that has ended, or 0.
Pid EndedChild(std::span<const Pid> children) {
  for (Pid pid : children) {
    if (pid <= 0) continue;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      return pid;
    }
  }
  return 0;
}

}  // namespace

bool PosixEnv::OpenWakeSignals() {
  if (wakeSignalFd_ >= 0) return true;
  if (!tookStopSignals_) return false;
  sigset_t child;
  sigemptyset(&child);
  sigaddset(&child, SIGCHLD);
  if (pthread_sigmask(SIG_BLOCK, &child, nullptr) != 0) return false;
  sigset_t all = stopSignals_;
  sigaddset(&all, SIGCHLD);
  wakeSignalFd_ = signalfd(-1, &all, SFD_NONBLOCK | SFD_CLOEXEC);
  return wakeSignalFd_ >= 0;
}

// Takes every pending signal off the signalfd; a stop signal is latched.
void PosixEnv::DrainWakeSignals() {
  signalfd_siginfo info;
  while (read(wakeSignalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) stopRequested_ = true;
  }
}

WakeResult PosixEnv::WaitForWake(int64_t ms, std::span<const int> fds,
                                 std::span<const Pid> children) {
  WakeResult r;
  const bool signals = OpenWakeSignals();
  const int64_t deadline = SteadyMillis() + (ms < 0 ? 0 : ms);
  std::vector<pollfd> polled;
  for (int fd : fds) polled.push_back(pollfd{fd, POLLIN, 0});
  if (signals) polled.push_back(pollfd{wakeSignalFd_, POLLIN, 0});
  for (;;) {
    if (signals) DrainWakeSignals();
    if (StopRequested()) {
      r.kind = WakeResult::Kind::Stop;
      return r;
    }
    if (Pid pid = EndedChild(children); pid != 0) {
      r.kind = WakeResult::Kind::ChildEnded;
      r.child = pid;
      return r;
    }
    int64_t left = deadline - SteadyMillis();
    if (left <= 0) return r;
    for (pollfd& p : polled) p.revents = 0;
    int n = poll(polled.data(), polled.size(), static_cast<int>(left));
    if (n < 0 && errno != EINTR) return r;
    for (size_t i = 0; n > 0 && i < fds.size(); ++i) {
      if (polled[i].revents != 0) {
        r.kind = WakeResult::Kind::Readable;
        r.index = static_cast<int>(i);
        return r;
      }
    }
  }
}

}  // namespace kvr
