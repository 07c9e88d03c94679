// PosixEnv: job processes through posix_spawn and /proc.
//
// A job runs in its own process group, so that ending it (SIGTERM, and
// SIGKILL after the grace period for what is left) reaches the children it
// started too. Pending kills are kept in the PosixEnv and moved on at each
// ReapChildren and KillById; nothing here waits for a process.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/command_words.h"
#include "platform/mount_points.h"
#include "platform/posix_env.h"
#include "platform/posix_files.h"
#include "platform/spawn_signals.h"

extern char** environ;

namespace kvr {

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";
constexpr char kDefaultPath[] = "/usr/local/bin:/usr/bin:/bin";

std::string ProcPath(Pid pid, const char* leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

// Reads a small file of /proc whole; empty when it cannot be read.
std::string ReadProcFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buffer[1024];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  close(fd);
  return text;
}

// The fields of /proc/PID/stat (views into the given text) behind the command name (which may hold
// blanks and parentheses, so the split starts after the last ')'): index 0
// is the state (field 3), index 19 the start time in clock ticks (field 22).
std::vector<std::string_view> StatFields(const std::string& stat) {
  std::vector<std::string_view> fields;
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return fields;
  std::string_view rest(stat);
  rest.remove_prefix(close + 1);
  size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && rest[i] == ' ') ++i;
    size_t begin = i;
    while (i < rest.size() && rest[i] != ' ' && rest[i] != '\n') ++i;
    if (i > begin) fields.push_back(rest.substr(begin, i - begin));
    if (i < rest.size() && rest[i] == '\n') break;
  }
  return fields;
}

std::optional<uint64_t> StartTicks(Pid pid) {
  if (pid <= 0) return std::nullopt;
  std::string stat = ReadProcFile(ProcPath(pid, "stat"));
  auto fields = StatFields(stat);
  if (fields.size() < 20) return std::nullopt;
  uint64_t ticks = 0;
  auto f = fields[19];
  if (std::from_chars(f.data(), f.data() + f.size(), ticks).ec != std::errc()) {
    return std::nullopt;
  }
  return ticks;
}

std::optional<int64_t> BootTime() {
  std::string stat = ReadProcFile("/proc/stat");
  size_t at = stat.find("\nbtime ");
  if (at == std::string::npos) return std::nullopt;
  at += 7;
  int64_t btime = 0;
  if (std::from_chars(stat.data() + at, stat.data() + stat.size(), btime).ec != std::errc()) {
    return std::nullopt;
  }
  return btime;
}

std::optional<std::string> ExecutablePath(Pid pid) {
  std::string buffer(PATH_MAX, '\0');
  ssize_t n = readlink(ProcPath(pid, "exe").c_str(), buffer.data(), buffer.size());
  if (n <= 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(n));
  if (buffer.size() > kDeletedSuffix.size() &&
      buffer.compare(buffer.size() - kDeletedSuffix.size(), kDeletedSuffix.size(),
                     kDeletedSuffix) == 0) {
    buffer.resize(buffer.size() - kDeletedSuffix.size());
  }
  return buffer;
}

// posix_spawn with the job's settings: own process group, standard input
// from /dev/null, standard output and error to outputFd when it is open,
// no descriptors of the controller beyond 0-2, empty signal mask and
// default dispositions. 0 or the errno.
int SpawnProgram(const std::string& program, std::vector<std::string>& words, int outputFd,
                 Pid* pid) {
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (outputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  SetChildSignals(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);

  pid_t child = 0;
  int rc = posix_spawn(&child, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) *pid = static_cast<Pid>(child);
  return rc;
}

ExitStatus ExitStatusOf(int waitStatus) {
  ExitStatus status;
  if (WIFSIGNALED(waitStatus)) {
    status.signaled = true;
    status.code = WTERMSIG(waitStatus);
  } else {
    status.code = WEXITSTATUS(waitStatus);
  }
  return status;
}

}  // namespace

SpawnResult PosixEnv::Spawn(const std::string& commandLine) { return SpawnJob(commandLine, {}); }

SpawnResult PosixEnv::SpawnWithOutput(const std::string& commandLine,
                                      const std::string& outputPath) {
  return SpawnJob(commandLine, outputPath);
}

// The output file is opened here, before the spawn: opened by the child it
// would make the whole creation fail, and the job must start all the same.
SpawnResult PosixEnv::SpawnJob(const std::string& commandLine, const std::string& outputPath) {
  SpawnResult result;
  std::vector<std::string> words;
  if (!SplitCommandLine(commandLine, &words)) {
    result.error = EINVAL;
    return result;
  }
  const char* path = std::getenv("PATH");
  int error = 0;
  std::string program = FindProgram(words[0], path != nullptr ? path : kDefaultPath, &error);
  if (program.empty()) {
    result.error = error;
    return result;
  }
  int outputFd = -1;
  if (!outputPath.empty()) outputFd = PosixOpenOutputFile(outputPath, &result.outputError);
  Pid pid = 0;
  int rc = SpawnProgram(program, words, outputFd, &pid);
  if (outputFd >= 0) close(outputFd);
  if (rc != 0) {
    result.error = rc;
    return result;
  }
  result.created = true;
  result.pid = pid;
  return result;
}

bool PosixEnv::ProcessAlive(Pid pid) {
  if (pid <= 0) return false;
  std::string stat = ReadProcFile(ProcPath(pid, "stat"));  // the fields point into it
  auto fields = StatFields(stat);
  if (fields.empty()) return false;
  return fields[0] != "Z" && fields[0] != "X" && fields[0] != "x";
}

std::optional<ProcessImage> PosixEnv::ProcessImageOf(Pid pid) {
  if (!ProcessAlive(pid)) return std::nullopt;
  auto path = ExecutablePath(pid);
  if (!path) return std::nullopt;
  ProcessImage image;
  image.baseName = std::string(BaseName(*path));
  image.path = std::move(*path);
  return image;
}

std::optional<int64_t> PosixEnv::ProcessStartTime(Pid pid) {
  if (!ProcessAlive(pid)) return std::nullopt;
  auto ticks = StartTicks(pid);
  auto boot = BootTime();
  long perSecond = sysconf(_SC_CLK_TCK);
  if (!ticks || !boot || perSecond <= 0) return std::nullopt;
  return *boot + static_cast<int64_t>(*ticks / static_cast<uint64_t>(perSecond));
}

void PosixEnv::ReapChildren() {
  int status = 0;
  for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
    KeepExitStatus(static_cast<Pid>(pid), status);
  }
  MovePendingKillsOn();
}

// A reused id replaces the older status; a full list drops its oldest.
void PosixEnv::KeepExitStatus(Pid pid, int waitStatus) {
  for (auto it = exitStatuses_.begin(); it != exitStatuses_.end(); ++it) {
    if (it->first == pid) {
      exitStatuses_.erase(it);
      break;
    }
  }
  if (exitStatuses_.size() >= kKeptExitStatuses) exitStatuses_.erase(exitStatuses_.begin());
  exitStatuses_.emplace_back(pid, ExitStatusOf(waitStatus));
}

std::optional<ExitStatus> PosixEnv::TakeExitStatus(Pid pid) {
  for (auto it = exitStatuses_.begin(); it != exitStatuses_.end(); ++it) {
    if (it->first != pid) continue;
    ExitStatus status = it->second;
    exitStatuses_.erase(it);
    return status;
  }
  return std::nullopt;
}

std::optional<ExitStatus> PosixEnv::PeekExitStatus(Pid pid) {
  for (const auto& [id, status] : exitStatuses_) {
    if (id == pid) return status;
  }
  return std::nullopt;
}

void PosixEnv::KillById(Pid pid) {
  MovePendingKillsOn();
  if (pid <= 1 || pid == getpid()) return;
  pid_t group = getpgid(pid);
  if (group < 0) return;           // no such process
  if (group == getpgrp()) return;  // the controller's own group
  PendingKill pending{pid, group == pid, SteadyMillis() + killGraceMs_};
  pending.startTicks = StartTicks(pid).value_or(0);
  int rc = pending.group ? kill(-pid, SIGTERM) : kill(pid, SIGTERM);
  if (rc != 0) return;
  for (const PendingKill& p : pendingKills_) {
    if (p.target == pending.target && p.group == pending.group) return;  // already due
  }
  pendingKills_.push_back(pending);
}

// The controller, its service and PID 1 are spared whatever their image: a
// kill by name must never end the controller's own family.
void PosixEnv::KillByImageName(const std::string& imageName) {
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return;
  std::vector<Pid> matches;
  ProcessFamily family{getpid(), getppid(), getpgid(getppid())};
  while (dirent* entry = readdir(dir)) {
    Pid pid = 0;
    const char* name = entry->d_name;
    auto [end, ec] = std::from_chars(name, name + strlen(name), pid);
    if (ec != std::errc() || *end != '\0' || SparedByImageKill(pid, family)) continue;
    auto path = ExecutablePath(pid);
    if (path && EqualsNoCase(BaseName(*path), imageName)) matches.push_back(pid);
  }
  closedir(dir);
  for (Pid pid : matches) KillById(pid);
}

Pid PosixEnv::SelfPid() { return static_cast<Pid>(getpid()); }

// SIGKILL to every target whose grace has run out and that is still the
// one that got SIGTERM: a leader that is alive again with another start time
// is a new process that took the id, and is left alone.
void PosixEnv::MovePendingKillsOn() {
  int64_t now = SteadyMillis();
  size_t kept = 0;
  for (size_t i = 0; i < pendingKills_.size(); ++i) {
    PendingKill p = pendingKills_[i];
    Pid signalTarget = p.group ? -p.target : p.target;
    if (kill(signalTarget, 0) != 0 && errno == ESRCH) continue;  // all gone
    auto ticks = StartTicks(p.target);
    bool reused = ticks && p.startTicks != 0 && *ticks != p.startTicks;
    if (reused || (!p.group && !ticks)) continue;
    if (now >= p.killAtMs) {
      kill(signalTarget, SIGKILL);
      continue;
    }
    pendingKills_[kept++] = p;
  }
  pendingKills_.resize(kept);
}

}  // namespace kvr
