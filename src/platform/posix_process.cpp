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
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <span>
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

// Reads a small file of /proc whole; empty when it cannot be read (*error
// then holds errno).
std::string ReadProcFile(const std::string& path, int* error = nullptr) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error != nullptr) *error = errno;
    return {};
  }
  std::string text;
  char buffer[1024];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n < 0 && error != nullptr) *error = errno;
      break;
    }
  }
  close(fd);
  return text;
}

// The fields of /proc/PID/stat behind the command name (which may hold
// blanks and parentheses, so the split starts after the last ')'): index 0
// is the state (field 3), index 19 the start time in clock ticks (field 22).
// The fields that are asked for (indexes in ascending order) are put into
// out; false when the text ends before the last of them.
bool StatFields(std::string_view stat, std::span<const size_t> wanted,
                std::span<std::string_view> out) {
  size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return false;
  std::string_view rest = stat.substr(close + 1);
  size_t i = 0, field = 0, next = 0;
  while (i < rest.size() && next < wanted.size()) {
    while (i < rest.size() && rest[i] == ' ') ++i;
    size_t begin = i;
    while (i < rest.size() && rest[i] != ' ' && rest[i] != '\n') ++i;
    if (i == begin) break;
    if (field++ == wanted[next]) out[next++] = rest.substr(begin, i - begin);
  }
  return next == wanted.size();
}

template <typename T>
bool ParseField(std::string_view f, T* value) {
  return std::from_chars(f.data(), f.data() + f.size(), *value).ec == std::errc();
}

// /proc/PID/stat with one read into the buffer: the kernel makes the whole
// text for each read, and it is far shorter than the buffer. A text that
// fills the buffer is read again whole. Empty when it cannot be read.
std::string_view ReadStat(Pid pid, char (&buffer)[512], std::string* longer) {
  char path[40];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  ssize_t n = 0;
  do {
    n = read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return {};
  if (static_cast<size_t>(n) < sizeof buffer) return {buffer, static_cast<size_t>(n)};
  *longer = ReadProcFile(path);
  return *longer;
}

// State, parent, group and start ticks of /proc/PID/stat, the start time
// left 0 (the caller knows the boot time). One read, nothing allocated.
std::optional<ProcessStat> ParseStat(Pid pid) {
  if (pid <= 0) return std::nullopt;
  char buffer[512];
  std::string longer;
  constexpr size_t kWanted[] = {0, 1, 2, 19};
  std::string_view fields[4];
  if (!StatFields(ReadStat(pid, buffer, &longer), kWanted, fields)) return std::nullopt;
  ProcessStat result;
  result.alive = fields[0] != "Z" && fields[0] != "X" && fields[0] != "x";
  if (!ParseField(fields[1], &result.parent) || !ParseField(fields[2], &result.group) ||
      !ParseField(fields[3], &result.startTicks)) {
    return std::nullopt;
  }
  return result;
}

std::optional<uint64_t> StartTicks(Pid pid) {
  auto stat = ParseStat(pid);
  if (!stat) return std::nullopt;
  return stat->startTicks;
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
// The controller's environment with the given variables added; a variable
// of the same name is replaced.
std::vector<std::string> JobEnvironment(const std::vector<std::string>& added) {
  std::vector<std::string> vars;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view var(*e);
    std::string_view name = var.substr(0, var.find('='));
    bool replaced = false;
    for (const std::string& a : added) {
      replaced = replaced || std::string_view(a).substr(0, a.find('=')) == name;
    }
    if (!replaced) vars.emplace_back(var);
  }
  vars.insert(vars.end(), added.begin(), added.end());
  return vars;
}

std::vector<char*> PointersOf(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& t : texts) pointers.push_back(t.data());
  pointers.push_back(nullptr);
  return pointers;
}

// posix_spawn with the job's settings: own process group, standard input
// from /dev/null, standard output and error to outputFd when it is open,
// no descriptors of the controller beyond 0-2, empty signal mask and
// default dispositions. 0 or the errno.
int SpawnProgram(const std::string& program, std::vector<std::string>& words, int outputFd,
                 char** envp, Pid* pid) {
  std::vector<char*> argv = PointersOf(words);
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
  int rc = posix_spawn(&child, program.c_str(), &actions, &attr, argv.data(), envp);
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

SpawnResult PosixEnv::Spawn(const std::string& commandLine) {
  return SpawnWith(SpawnRequest{commandLine, {}, {}});
}

SpawnResult PosixEnv::SpawnWithOutput(const std::string& commandLine,
                                      const std::string& outputPath) {
  return SpawnWith(SpawnRequest{commandLine, outputPath, {}});
}

// Descendants that leave a job (a double fork, setsid) become children of
// the controller instead of init's, so they are reaped here and can be
// found when the job is ended.
SpawnResult PosixEnv::SpawnJobProcess(const SpawnRequest& request) {
  if (!subreaper_) subreaper_ = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
  return SpawnWith(request);
}

// The output file is opened here, before the spawn: opened by the child it
// would make the whole creation fail, and the job must start all the same.
SpawnResult PosixEnv::SpawnWith(const SpawnRequest& request) {
  SpawnResult result;
  std::vector<std::string> words;
  if (!SplitCommandLine(request.commandLine, &words)) {
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
  if (!request.outputPath.empty()) {
    outputFd = PosixOpenOutputFile(request.outputPath, &result.outputError);
  }
  std::vector<std::string> vars;
  std::vector<char*> envp;
  if (!request.environment.empty()) {
    vars = JobEnvironment(request.environment);
    envp = PointersOf(vars);
  }
  Pid pid = 0;
  int rc = SpawnProgram(program, words, outputFd, envp.empty() ? environ : envp.data(), &pid);
  if (outputFd >= 0) close(outputFd);
  if (rc != 0) {
    result.error = rc;
    return result;
  }
  result.created = true;
  result.pid = pid;
  return result;
}

std::optional<ProcessStat> PosixEnv::ReadProcessStat(Pid pid) {
  auto stat = ParseStat(pid);
  if (!stat) return std::nullopt;
  long perSecond = sysconf(_SC_CLK_TCK);
  if (!bootTime_) bootTime_ = BootTime();
  if (bootTime_ && perSecond > 0) {
    stat->startTime =
        *bootTime_ + static_cast<int64_t>(stat->startTicks / static_cast<uint64_t>(perSecond));
  }
  return stat;
}

bool PosixEnv::ProcessAlive(Pid pid) {
  auto stat = ParseStat(pid);
  return stat && stat->alive;
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
  auto stat = ReadProcessStat(pid);
  if (!stat || !stat->alive || !bootTime_) return std::nullopt;
  return stat->startTime;
}

std::optional<std::string> PosixEnv::ProcessEnvironment(Pid pid, int* error) {
  int e = 0;
  std::string text = ReadProcFile(ProcPath(pid, "environ"), &e);
  if (e != 0) {
    if (error != nullptr) *error = e;
    return std::nullopt;
  }
  return text;
}

std::vector<Pid> PosixEnv::OwnProcesses() {
  std::vector<Pid> pids;
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return pids;
  uid_t me = geteuid();
  pid_t self = getpid();
  while (dirent* entry = readdir(dir)) {
    Pid pid = 0;
    const char* name = entry->d_name;
    auto [end, ec] = std::from_chars(name, name + strlen(name), pid);
    if (ec != std::errc() || *end != '\0' || pid == self) continue;
    struct stat st;
    if (fstatat(dirfd(dir), name, &st, 0) == 0 && st.st_uid == me) pids.push_back(pid);
  }
  closedir(dir);
  return pids;
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

// The controller, its service and PID 1 are spared whatever their image: a
// kill by name must never end the controller's own family. Only processes
// of the controller's own user are looked at.
void PosixEnv::KillByImageName(const std::string& imageName) {
  std::vector<ProcessRef> matches;
  ProcessFamily family{getpid(), getppid(), getpgid(getppid())};
  for (Pid pid : OwnProcesses()) {
    if (SparedByImageKill(pid, family)) continue;
    auto path = ExecutablePath(pid);
    if (!path || !EqualsNoCase(BaseName(*path), imageName)) continue;
    if (auto ticks = StartTicks(pid)) matches.push_back({pid, *ticks});
  }
  EndProcesses(matches);
}

Pid PosixEnv::SelfPid() { return static_cast<Pid>(getpid()); }

}  // namespace kvr
