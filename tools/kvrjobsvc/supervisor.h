// Supervisor: the controller command kvrjobsvc runs as its child.
// Starts it with default signal handling and an empty signal mask, and
// starts it again after it ended on its own, waiting 1 s, then twice as long
// after each further end up to 60 s; a child that ran steadily for a minute
// brings the wait back to 1 s. On stop it waits a bounded time for the child
// to end by itself and then kills it.
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

  explicit Supervisor(std::vector<std::string> command);

  bool hasCommand() const { return !command_.empty(); }
  bool running() const { return pid_ > 0; }

  // Starts the child now (a failure schedules the next try).
  void Start();
  // Reaps an ended child and schedules its restart (call on SIGCHLD).
  void Reap();
  // Starts the child when its restart is due; returns the milliseconds
  // until the next restart (-1: none due).
  int Tick();
  // Waits up to waitSeconds for the child to exit, reading the signal
  // descriptor for SIGCHLD, then kills what is left.
  void Stop(int signalFd, int waitSeconds);

 private:
  void ScheduleRestart(const char* what);

  std::vector<std::string> command_;
  pid_t pid_ = 0;
  long long startedMs_ = 0;
  long long restartAtMs_ = -1;
  int delaySeconds_ = kFirstDelaySeconds;
};

}  // namespace kvrsvc
