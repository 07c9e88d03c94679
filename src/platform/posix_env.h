// PosixEnv: the real Env on Linux.
//
// Clock and sleep from the system (local time follows TZ); files through
// NativePath; the service contact over an abstract-namespace Unix socket;
// processes through posix_spawn and /proc. SIGTERM and SIGINT are blocked at
// construction and polled with sigtimedwait, so no signal handler and no
// global flag are needed: SleepMs waits on the signal set and returns early
// once a stop has been requested. Children get the signals back unblocked.
//
// Pending kills (SIGTERM sent, SIGKILL due after the grace period) are kept
// here and moved on by ReapChildren and KillById, never by blocking. The
// wait statuses of reaped children are kept here until taken, at most
// kKeptExitStatuses of them.
#pragma once

#include <csignal>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/env.h"

namespace kvr {

class OpenFilePool;

class PosixEnv : public Env {
 public:
  // Seconds a process group gets between SIGTERM and SIGKILL.
  static constexpr int kKillGraceSeconds = 5;

  PosixEnv();
  ~PosixEnv() override;

  int64_t Now() override;
  int64_t SteadyMillis() override;
  std::tm LocalTime(int64_t t) override;
  std::tm UtcTime(int64_t t) override;
  int64_t MakeLocalTime(std::tm local) override;
  void SleepMs(int64_t ms) override;
  bool StopRequested() override;
  WakeResult WaitForWake(int64_t ms, std::span<const int> fds,
                         std::span<const Pid> children) override;

  std::string ProgramPath() override;
  bool SetCurrentDir(const std::string& dir) override;
  std::string CurrentDir() override;

  std::unique_ptr<AppendFile> OpenAppend(const std::string& path, int* error) override;
  std::optional<std::string> ReadFile(const std::string& path, int* error,
                                      size_t maxBytes = kMaxReadFileBytes) override;
  bool FileReadable(const std::string& path) override;
  int RenameFile(const std::string& from, const std::string& to) override;
  int DeleteFile(const std::string& path) override;
  std::optional<uint64_t> FreeBytes(const std::string& path) override;
  std::string CurrentMountPoint() override;
  int MakeDirectory(const std::string& path) override;
  std::optional<std::vector<std::string>> ListDirectory(const std::string& path,
                                                        int* error = nullptr) override;
  std::optional<int64_t> FileSize(const std::string& path) override;
  int TruncateFile(const std::string& path, int64_t size) override;
  std::optional<std::string> ReadFileTail(const std::string& path, int64_t maxBytes) override;

  void ConsoleWrite(std::string_view text) override;
  bool ConsoleIsTerminal() override;

  ServiceReply CallService(const std::string& pipeName, const char (&request)[kServiceMessageSize],
                           int replyTimeoutMs) override;

  SpawnResult Spawn(const std::string& commandLine) override;
  SpawnResult SpawnWithOutput(const std::string& commandLine,
                              const std::string& outputPath) override;
  bool ProcessAlive(Pid pid) override;
  std::optional<ProcessImage> ProcessImageOf(Pid pid) override;
  std::optional<int64_t> ProcessStartTime(Pid pid) override;
  std::optional<ProcessStat> ReadProcessStat(Pid pid) override;
  std::optional<std::string> ProcessEnvironment(Pid pid, int* error = nullptr) override;
  std::vector<Pid> OwnProcesses() override;
  SpawnResult SpawnJobProcess(const SpawnRequest& request) override;
  void EndProcesses(const std::vector<ProcessRef>& targets) override;
  void ReapChildren() override;
  std::optional<ExitStatus> TakeExitStatus(Pid pid) override;
  void KillById(Pid pid) override;
  void KillByImageName(const std::string& imageName) override;
  int64_t KillGraceMs() override { return killGraceMs_; }
  Pid SelfPid() override;
  std::string HostName() override;

  FileLockResult TryLockFile(const std::string& path, std::string_view holderText) override;
  FileLockResult TryLockFileByte(const std::string& path, uint64_t offset) override;

  // Milliseconds between SIGTERM and SIGKILL; tests shorten the grace.
  void SetKillGraceMs(int64_t ms) { killGraceMs_ = ms; }

 private:
  struct PendingKill {
    Pid target;               // process group id (or pid when it leads no group)
    bool group;               // true when target is a process group
    int64_t killAtMs;         // SteadyMillis() at which SIGKILL is due
    uint64_t startTicks = 0;  // start of the target's leader, to spot a reused id
  };
  void MovePendingKillsOn();
  // Sends the signal when the process is still the one named (to its group
  // when group); true when sent.
  bool SignalIdentified(const ProcessRef& target, int sig, bool group);
  void KeepExitStatus(Pid pid, int waitStatus);
  SpawnResult SpawnWith(const SpawnRequest& request);
  void PollSignals(int64_t waitMs);
  // posix_wake.cpp: the signalfd for SIGCHLD and the stop signals, made at
  // the first wait (SIGCHLD stays blocked from then on); -1 before.
  bool OpenWakeSignals();
  void DrainWakeSignals();
  int wakeSignalFd_ = -1;

  sigset_t stopSignals_;
  sigset_t previousMask_;
  bool tookStopSignals_ = false;
  bool stopRequested_ = false;
  std::vector<PendingKill> pendingKills_;
  // Wait statuses of reaped children not yet taken, oldest first.
  std::vector<std::pair<Pid, ExitStatus>> exitStatuses_;
  int64_t killGraceMs_ = kKillGraceSeconds * 1000;
  std::optional<int64_t> bootTime_;  // read once, at the first need
  bool subreaper_ = false;
  // file_lock.cpp: descriptors of byte-locked files, kept open for reuse.
  std::shared_ptr<OpenFilePool> lockFiles_;
};

}  // namespace kvr
