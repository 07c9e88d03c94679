// PosixEnv: ending processes. A process is signalled only while it is still
// the one named by its id and creation: the check and the signal go
// through a pidfd where the kernel has them, so an id handed on meanwhile
// never gets the signal. A process that leads its own group is ended with
// its group. SIGTERM first; what is left after the grace period gets
// SIGKILL, moved on at each ReapChildren and EndProcesses, never waited for.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix_env.h"

namespace kvr {

namespace {

int PidfdOpen(Pid pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

int PidfdSignal(int fd, int sig) {
#ifdef SYS_pidfd_send_signal
  return static_cast<int>(syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0));
#else
  (void)fd;
  (void)sig;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

// The pidfd is taken before the creation is compared: when the creation
// read afterwards is the expected one, the pidfd can only name that
// process or one that had ended before it (whose signal then fails).
bool PosixEnv::SignalIdentified(const ProcessRef& target, int sig, bool group) {
  int fd = PidfdOpen(target.pid);
  if (fd < 0 && errno != ENOSYS) return false;  // no such process
  auto stat = ReadProcessStat(target.pid);
  bool same = stat && (target.startTicks == 0 || stat->startTicks == target.startTicks);
  bool sent = false;
  if (same) {
    if (fd >= 0) {
      sent = PidfdSignal(fd, group ? 0 : sig) == 0;
    } else {
      sent = group || kill(target.pid, sig) == 0;
    }
    if (sent && group) sent = kill(-target.pid, sig) == 0;
  }
  if (fd >= 0) close(fd);
  return sent;
}

void PosixEnv::KillById(Pid pid) {
  auto stat = ReadProcessStat(pid);
  if (!stat) {
    MovePendingKillsOn();
    return;
  }
  EndProcesses({ProcessRef{pid, stat->startTicks}});
}

void PosixEnv::EndProcesses(const std::vector<ProcessRef>& targets) {
  MovePendingKillsOn();
  pid_t self = getpid();
  pid_t ownGroup = getpgrp();
  for (const ProcessRef& target : targets) {
    if (target.pid <= 1 || target.pid == self) continue;
    pid_t group = getpgid(target.pid);
    if (group < 0 || target.pid == ownGroup) continue;
    bool leads = group == target.pid;
    if (!SignalIdentified(target, SIGTERM, leads)) continue;
    PendingKill pending{target.pid, leads, SteadyMillis() + killGraceMs_, target.startTicks};
    bool due = false;
    for (const PendingKill& p : pendingKills_) {
      due = due || (p.target == pending.target && p.group == pending.group);
    }
    if (!due) pendingKills_.push_back(pending);
  }
}

// SIGKILL to every target whose grace has run out and that is still the
// one that got SIGTERM: a leader that is alive again with another start time
// is a new process that took the id, and is left alone. A group whose
// leader has gone keeps its id while members are left, so they are reached.
void PosixEnv::MovePendingKillsOn() {
  int64_t now = SteadyMillis();
  size_t kept = 0;
  for (size_t i = 0; i < pendingKills_.size(); ++i) {
    PendingKill p = pendingKills_[i];
    Pid signalTarget = p.group ? -p.target : p.target;
    if (kill(signalTarget, 0) != 0 && errno == ESRCH) continue;  // all gone
    auto stat = ReadProcessStat(p.target);
    bool reused = stat && p.startTicks != 0 && stat->startTicks != p.startTicks;
    if (reused || (!p.group && (!stat || !stat->alive))) continue;
    if (now >= p.killAtMs) {
      if (stat) {
        SignalIdentified({p.target, p.startTicks}, SIGKILL, p.group);
      } else {
        kill(signalTarget, SIGKILL);  // the leader is gone, its group is not
      }
      continue;
    }
    pendingKills_[kept++] = p;
  }
  pendingKills_.resize(kept);
}

}  // namespace kvr
