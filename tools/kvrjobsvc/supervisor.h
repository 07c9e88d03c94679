// Supervisor: the controller command kvrjobsvc runs as its child.
// Starts it with default signal handling and an empty signal mask, and
// starts it again after it ended on its own, waiting 1 s, then twice as long
// after each further end up to 60 s; a child that ran steadily for a minute
// brings the wait back to 1 s. On stop it waits a bounded time for the child
// to end by itself and then kills it.
//
// It also watches the child: a child that has not contacted the service
// (itself or a process below it) for the watch time is taken for hung and
// ended: SIGTERM with SIGCONT (so a stopped controller can act on it and end
// its jobs), SIGKILL when it is still there after the grace time. Its end is
// then handled like any other, so it is started again and the queue lock it
// held is free for a standby meanwhile. Every such end is logged with why.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kvrsvc {

class Supervisor {
 public:
  static constexpr int kFirstDelaySeconds = 1;
  static constexpr int kMaxDelaySeconds = 60;
  static constexpr int kSteadySeconds = 60;

  // watchSeconds 0 leaves the child unwatched; graceSeconds is the time
  // between SIGTERM and SIGKILL when the watch ends the child.
  Supervisor(std::vector<std::string> command, int watchSeconds, int graceSeconds);

  bool hasCommand() const { return !command_.empty(); }
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Starts the child now (a failure schedules the next try).
  void Start();
  // Reaps an ended child and schedules its restart (call on SIGCHLD).
  void Reap();
  // An answered contact of the process peer: counts for the watch when it
  // is the child or runs below it.
  void NoteContact(pid_t peer);
  // Starts the child when its restart is due and ends a child that stopped
  // contacting; returns the milliseconds until the next of these is due
  // (-1: none).
  int Tick();
  // Waits up to waitSeconds for the child to exit, reading the signal
  // descriptor for SIGCHLD, then kills what is left.
  void Stop(int signalFd, int waitSeconds);

 private:
  void ScheduleRestart(const char* what);
  // The watch's part of Tick: ms until its next step, -1 for none.
  long long Watch(long long now);

  std::vector<std::string> command_;
  int watchSeconds_;
  int graceSeconds_;
  pid_t pid_ = 0;
  long long startedMs_ = 0;
  long long lastContactMs_ = 0;
  long long killAtMs_ = -1;  // >= 0 while an ended child is given its grace
  long long restartAtMs_ = -1;
  int delaySeconds_ = kFirstDelaySeconds;
};

// True when pid is ancestor or lies below it in the process tree (read from
// /proc; false when a process on the way has gone).
bool IsSelfOrDescendant(pid_t pid, pid_t ancestor);

}  // namespace kvrsvc
