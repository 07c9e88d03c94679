#include "supervisor.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/spawn_signals.h"
#include "svc_log.h"

extern char** environ;

namespace kvrsvc {

namespace {

std::string DescribeStatus(int status) {
  char text[64];
  if (WIFEXITED(status)) {
    std::snprintf(text, sizeof text, "%d", WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    std::snprintf(text, sizeof text, "signal %d", WTERMSIG(status));
  } else {
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(status));
  }
  return text;
}

// posix_spawnp with the signals the service holds back set free again.
int SpawnChild(const std::vector<std::string>& command, pid_t* pid) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  kvr::SetChildSignals(&attr);
  int rc = posix_spawnp(pid, argv[0], nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  return rc;
}

// The parent of a process from /proc/PID/stat (0 when it cannot be read).
// The name in parentheses may hold blanks and ')', so the fields are read
// after the last ')'.
pid_t ParentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 1));
  char state = 0;
  long parent = 0;
  if (!(fields >> state >> parent)) return 0;
  return static_cast<pid_t>(parent);
}

}  // namespace

bool IsSelfOrDescendant(pid_t pid, pid_t ancestor) {
  if (ancestor <= 0) return false;
  // Bounded: a chain of this depth below a controller is no contact of it.
  for (int depth = 0; depth < 64 && pid > 1; ++depth) {
    if (pid == ancestor) return true;
    pid = ParentOf(pid);
  }
  return false;
}

Supervisor::Supervisor(std::vector<std::string> command, int watchSeconds, int graceSeconds)
    : command_(std::move(command)), watchSeconds_(watchSeconds), graceSeconds_(graceSeconds) {}

void Supervisor::Start() {
  if (command_.empty() || pid_ > 0) return;
  restartAtMs_ = -1;
  pid_t pid = 0;
  int rc = SpawnChild(command_, &pid);
  if (rc != 0) {
    Log("cannot start controller %s: %s", command_[0].c_str(), std::strerror(rc));
    ScheduleRestart("start failed");
    return;
  }
  pid_ = pid;
  startedMs_ = NowMs();
  lastContactMs_ = startedMs_;
  killAtMs_ = -1;
  Log("started controller pid %d", static_cast<int>(pid_));
}

void Supervisor::ScheduleRestart(const char* what) {
  Log("%s, restarting in %d s", what, delaySeconds_);
  restartAtMs_ = NowMs() + 1000LL * delaySeconds_;
  delaySeconds_ = delaySeconds_ * 2 > kMaxDelaySeconds ? kMaxDelaySeconds : delaySeconds_ * 2;
}

void Supervisor::Reap() {
  for (;;) {
    int status = 0;
    pid_t done = waitpid(-1, &status, WNOHANG);
    if (done <= 0) return;
    if (done != pid_) continue;
    pid_ = 0;
    killAtMs_ = -1;
    if (NowMs() - startedMs_ >= 1000LL * kSteadySeconds) delaySeconds_ = kFirstDelaySeconds;
    std::string what = "controller exited with status " + DescribeStatus(status);
    ScheduleRestart(what.c_str());
  }
}

void Supervisor::NoteContact(pid_t peer) {
  if (pid_ > 0 && killAtMs_ < 0 && IsSelfOrDescendant(peer, pid_)) lastContactMs_ = NowMs();
}

int Supervisor::Tick() {
  if (restartAtMs_ >= 0 && restartAtMs_ <= NowMs()) Start();
  long long now = NowMs();
  long long next = restartAtMs_ < 0 ? -1 : restartAtMs_ - now;
  long long watch = Watch(now);
  if (next < 0 || (watch >= 0 && watch < next)) next = watch;
  return static_cast<int>(next);
}

long long Supervisor::Watch(long long now) {
  if (pid_ <= 0 || watchSeconds_ <= 0) return -1;
  if (killAtMs_ >= 0) {
    if (now < killAtMs_) return killAtMs_ - now;
    Log("controller pid %d did not end within %d s, killing it", static_cast<int>(pid_),
        graceSeconds_);
    kill(pid_, SIGKILL);
    killAtMs_ = -1;
    lastContactMs_ = now;  // its end comes with SIGCHLD; no second kill meanwhile
  }
  long long due = lastContactMs_ + 1000LL * watchSeconds_;
  if (now < due) return due - now;
  Log("controller pid %d has not contacted the service for %lld s, ending it (SIGTERM)",
      static_cast<int>(pid_), (now - lastContactMs_) / 1000);
  kill(pid_, SIGTERM);
  kill(pid_, SIGCONT);  // a stopped controller takes the SIGTERM only when it runs
  killAtMs_ = now + 1000LL * graceSeconds_;
  return killAtMs_ - now;
}

void Supervisor::Stop(int signalFd, int waitSeconds) {
  restartAtMs_ = -1;
  if (pid_ <= 0) return;
  Log("waiting up to %d s for controller pid %d to exit", waitSeconds, static_cast<int>(pid_));
  long long deadline = NowMs() + 1000LL * waitSeconds;
  while (pid_ > 0) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno == ECHILD)) {
      Log("controller exited with status %s", DescribeStatus(status).c_str());
      pid_ = 0;
      return;
    }
    long long left = deadline - NowMs();
    if (left <= 0) break;
    // SIGCHLD (or another stop signal) ends the wait early; drain it.
    pollfd p{signalFd, POLLIN, 0};
    if (poll(&p, 1, left > 200 ? 200 : static_cast<int>(left)) > 0) {
      signalfd_siginfo info;
      ssize_t ignored = read(signalFd, &info, sizeof info);
      (void)ignored;
    }
  }
  Log("controller pid %d did not exit within %d s, killing it", static_cast<int>(pid_),
      waitSeconds);
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = 0;
}

}  // namespace kvrsvc
