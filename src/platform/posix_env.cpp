// PosixEnv: signals, clock, files, console, service contact and disk space.
// The process methods live in posix_process.cpp.
#include "platform/posix_env.h"

#include <pthread.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/clock.h"
#include "platform/mount_points.h"
#include "platform/posix_files.h"
#include "platform/service_socket.h"

namespace kvr {

namespace {

void WriteConsoleBytes(std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // a closed console loses the text
    }
  }
}

}  // namespace

std::string NativePath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

// ------------------------------------------------------------ stop signals

PosixEnv::PosixEnv() {
  sigemptyset(&stopSignals_);
  sigemptyset(&previousMask_);
  sigaddset(&stopSignals_, SIGTERM);
  sigaddset(&stopSignals_, SIGINT);
  tookStopSignals_ = pthread_sigmask(SIG_BLOCK, &stopSignals_, &previousMask_) == 0;
}

PosixEnv::~PosixEnv() {
  if (wakeSignalFd_ >= 0) close(wakeSignalFd_);
  if (!tookStopSignals_) return;
  // Stops that arrived after the last poll belong to this object: take them
  // before unblocking, so they do not end the process on the way out.
  const timespec noWait{0, 0};
  while (sigtimedwait(&stopSignals_, nullptr, &noWait) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void PosixEnv::PollSignals(int64_t waitMs) {
  if (waitMs < 0) waitMs = 0;
  timespec wait{static_cast<time_t>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000000L};
  int sig = sigtimedwait(&stopSignals_, nullptr, &wait);
  if (sig == SIGTERM || sig == SIGINT) stopRequested_ = true;
}

bool PosixEnv::StopRequested() {
  if (!tookStopSignals_) return false;
  if (!stopRequested_) PollSignals(0);
  return stopRequested_;
}

void PosixEnv::SleepMs(int64_t ms) {
  if (ms <= 0) return;
  // Once a stop has been requested the shut-down's own pauses must last as
  // long as they say (they give ended jobs time to go); only a stop that
  // arrives during a sleep cuts it short.
  if (!tookStopSignals_ || stopRequested_) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return;
  }
  int64_t deadline = SteadyMillis() + ms;
  while (!stopRequested_) {
    int64_t left = deadline - SteadyMillis();
    if (left <= 0) return;
    // Returns at the first stop signal, on time-out, or early on EINTR
    // (then the loop waits out the rest).
    PollSignals(left);
  }
}

// ------------------------------------------------------------------- clock

int64_t PosixEnv::Now() { return static_cast<int64_t>(time(nullptr)); }

int64_t PosixEnv::SteadyMillis() { return MonotonicMillis(); }

std::tm PosixEnv::LocalTime(int64_t t) { return LocalTimeOf(t); }

std::tm PosixEnv::UtcTime(int64_t t) { return UtcTimeOf(t); }

int64_t PosixEnv::MakeLocalTime(std::tm local) { return MakeLocalTimeOf(local); }

// ------------------------------------------------- program and directories

std::string PosixEnv::ProgramPath() {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);  // the target may have been cut: retry
  }
}

bool PosixEnv::SetCurrentDir(const std::string& dir) { return ChangeDirectory(dir); }

std::string PosixEnv::CurrentDir() { return WorkingDirectory(); }

// ------------------------------------------------------------------- files

std::unique_ptr<AppendFile> PosixEnv::OpenAppend(const std::string& path, int* error) {
  return OpenAppendFile(path, error);
}

std::optional<std::string> PosixEnv::ReadFile(const std::string& path, int* error,
                                              size_t maxBytes) {
  return ReadWholeFile(path, error, maxBytes);
}

bool PosixEnv::FileReadable(const std::string& path) { return IsReadableFile(path); }

int PosixEnv::RenameFile(const std::string& from, const std::string& to) {
  return RenamePath(from, to);
}

int PosixEnv::DeleteFile(const std::string& path) { return DeletePath(path); }

std::optional<uint64_t> PosixEnv::FreeBytes(const std::string& path) {
  struct statvfs vfs {};
  if (statvfs(NativePath(path).c_str(), &vfs) != 0) return std::nullopt;
  return static_cast<uint64_t>(vfs.f_bfree) * static_cast<uint64_t>(vfs.f_frsize);
}

std::string PosixEnv::CurrentMountPoint() {
  std::string dir = CurrentDir();
  if (dir.empty()) return {};
  std::optional<std::string> table = ReadFile("/proc/self/mountinfo", nullptr);
  return table ? MountPointOf(*table, dir) : std::string();
}

int PosixEnv::MakeDirectory(const std::string& path) { return PosixMakeDirectory(path); }

std::optional<std::vector<std::string>> PosixEnv::ListDirectory(const std::string& path,
                                                                int* error) {
  return PosixListDirectory(path, error);
}

std::optional<int64_t> PosixEnv::FileSize(const std::string& path) { return PosixFileSize(path); }

int PosixEnv::TruncateFile(const std::string& path, int64_t size) {
  return PosixTruncateFile(path, size);
}

std::optional<std::string> PosixEnv::ReadFileTail(const std::string& path, int64_t maxBytes) {
  return PosixReadFileTail(path, maxBytes);
}

// ---------------------------------------------------------------- console

bool PosixEnv::ConsoleIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

// A console that is a pipe without a reader must not end the controller
// with SIGPIPE: the signal is held back during the write and a SIGPIPE the
// write raised is taken away before the old mask returns.
void PosixEnv::ConsoleWrite(std::string_view text) {
  sigset_t pipeSignal, oldMask, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigemptyset(&pending);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &oldMask);
  sigpending(&pending);
  bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  WriteConsoleBytes(text);
  if (!wasPending) {
    const timespec noWait{0, 0};
    sigtimedwait(&pipeSignal, nullptr, &noWait);
  }
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
}

// -------------------------------------------------------- service contact

ServiceReply PosixEnv::CallService(const std::string& pipeName,
                                   const char (&request)[kServiceMessageSize], int replyTimeoutMs) {
  return CallServiceSocket(pipeName, request, kServiceMessageSize, kServiceConnectWaitMs,
                           replyTimeoutMs);
}

}  // namespace kvr
