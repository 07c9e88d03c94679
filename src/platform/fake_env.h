// FakeEnv: a scripted Env for tests.
//
// It implements Env itself, so a method it lacks does not compile instead of
// reaching the real system. Exactly the file and directory methods forward
// to the real file system (platform/posix_files.h; tests work in temporary
// directories), and the calendar conversions are the C library's (local
// time follows TZ). Everything else is scripted: the clock moves only when a
// test says so or when something sleeps; disk space, the mount point and the
// program path are set by the test; the console is a string; the service
// answers as scripted; processes are records, so every supervision and
// termination rule can be tested without real processes, and nothing is
// ever killed or spawned. What the code under test asked is recorded for
// the test to look at.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/env.h"

namespace kvr {

class FakeEnv : public Env {
 public:
  struct Process {
    Pid pid = 0;
    bool alive = true;
    bool imageReadable = true;  // false: /proc/PID/exe cannot be read
    std::string baseName;       // executable base name
    std::string path;           // full executable path
    int64_t startTime = 0;      // creation time, calendar seconds
    bool child = true;          // false: its end leaves no wait status
    // Creation in ticks: with the id, the process's identity (0: a new
    // value is given by AddProcess).
    uint64_t startTicks = 0;
    Pid parent = 1;
    Pid group = 0;  // 0: leads its own group
    // The environment (zero-separated NAME=value texts) and the errno when
    // it cannot be read (another user's process).
    std::string environment;
    int environmentError = 0;
    bool ownUser = true;       // runs as the controller's user
    bool ignoresTerm = false;  // EndProcesses leaves it running (its grace period)
  };
  // The grace period the fake reports (a process with ignoresTerm stays
  // through it); the real one's default.
  int64_t killGraceMs = 5000;

  FakeEnv();

  // --- Clock ------------------------------------------------------------
  // Sets the calendar time (seconds since 1970, UTC).
  void SetNow(int64_t t) { now_ = t; }
  // Sets the clock to a local time (interpreted with the process's TZ).
  void SetLocalTime(int year, int month, int day, int hour, int minute, int second);
  void Advance(int64_t seconds) { now_ += seconds; }
  int64_t Now() override { return now_; }
  int64_t SteadyMillis() override { return now_ * 1000 + subMillis_; }
  std::tm LocalTime(int64_t t) override;
  std::tm UtcTime(int64_t t) override;
  int64_t MakeLocalTime(std::tm local) override;
  void SleepMs(int64_t ms) override;
  std::vector<int64_t> sleeps;  // every SleepMs in order

  // --- Waits for a wake (fake_env_wake.cpp) -----------------------------
  // Events that happen during waits, in order; afterMs counts from the
  // start of the wait that reaches it (a wait that ends before it takes its
  // length off). An event runs its action (a test's write, say), ends
  // endChild (EndProcess), requests a stop, or makes the descriptor fd
  // readable; the wait ends when it concerns it.
  struct Wake {
    int64_t afterMs = 0;
    int fd = -1;
    Pid endChild = 0;
    bool stop = false;
    std::function<void()> action;
  };
  std::deque<Wake> wakes;
  std::vector<int64_t> waits;  // the length asked of every WaitForWake
  WakeResult WaitForWake(int64_t ms, std::span<const int> fds,
                         std::span<const Pid> children) override;

  // --- Stop requests ----------------------------------------------------
  void RequestStop() { stop_ = true; }
  bool StopRequested() override { return stop_; }

  // --- Program path and console ----------------------------------------
  std::string programPath = "/opt/kvr/KVRJOBSTR";
  std::string ProgramPath() override { return programPath; }
  bool SetCurrentDir(const std::string& dir) override;
  std::string CurrentDir() override;
  void ConsoleWrite(std::string_view text) override { console += text; }
  bool ConsoleIsTerminal() override { return consoleIsTerminal; }
  std::string console;
  bool consoleIsTerminal = true;

  // --- Files (the real file system) ---------------------------------------
  std::unique_ptr<AppendFile> OpenAppend(const std::string& path, int* error) override;
  std::optional<std::string> ReadFile(const std::string& path, int* error,
                                      size_t maxBytes = kMaxReadFileBytes) override;
  bool FileReadable(const std::string& path) override;
  int RenameFile(const std::string& from, const std::string& to) override;
  int DeleteFile(const std::string& path) override;

  // --- Disk space -------------------------------------------------------
  // Free bytes by path; a path not listed has no answer (query fails).
  std::map<std::string, uint64_t> freeBytes;
  std::optional<uint64_t> FreeBytes(const std::string& path) override;

  // --- Mount point of the current directory ------------------------------
  // What CurrentMountPoint answers; empty: the look-up fails.
  std::string mountPoint = "/";
  std::string CurrentMountPoint() override { return mountPoint; }

  // --- Directories and job output files ----------------------------------
  // Real files of the test's temporary directory; a path listed here fails
  // every call below (and ReadFile and SpawnWithOutput's opening) with its
  // errno.
  std::map<std::string, int> fileErrors;
  int MakeDirectory(const std::string& path) override;
  std::optional<std::vector<std::string>> ListDirectory(const std::string& path,
                                                        int* error = nullptr) override;
  std::optional<int64_t> FileSize(const std::string& path) override;
  int TruncateFile(const std::string& path, int64_t size) override;
  std::optional<std::string> ReadFileTail(const std::string& path, int64_t maxBytes) override;

  // --- Service ----------------------------------------------------------
  // Decides each call; the default answers "OK". A call takes replyDelayMs
  // of fake time.
  std::function<ServiceReply(const std::string& pipeName)> service;
  std::vector<std::string> serviceCalls;  // pipe name of every call made
  ServiceReply CallService(const std::string& pipeName, const char (&request)[kServiceMessageSize],
                           int replyTimeoutMs) override;
  std::string lastRequest;     // request bytes up to the first zero
  int64_t replyDelayMs = 0;    // fake time each call takes
  int lastReplyTimeoutMs = 0;  // reply wait given with the last call

  // --- Processes --------------------------------------------------------
  // Adds a live process; returns its pid (a new one when pid is 0).
  Pid AddProcess(Process process);
  // Marks a process as ended (it then reads as gone). A child's status is
  // kept from the next ReapChildren on, for TakeExitStatus.
  void EndProcess(Pid pid, ExitStatus status = {});
  Process* FindProcess(Pid pid);
  // Decides each Spawn; the default creates a live process whose base name
  // is the first word's base name, started now.
  std::function<SpawnResult(const std::string& commandLine)> spawner;
  std::vector<std::string> spawned;         // every command line given to Spawn
  std::vector<std::string> spawnedOutputs;  // every output path of SpawnWithOutput
  std::vector<Pid> killedIds;               // every KillById
  std::vector<std::string> killedImages;    // every KillByImageName
  std::vector<SpawnRequest> spawnRequests;  // every SpawnJobProcess
  bool subreaper = false;                   // set by the first SpawnJobProcess
  int reapCalls = 0;
  Pid selfPid = 4242;

  SpawnResult Spawn(const std::string& commandLine) override;
  // Creates the output file (empty) unless fileErrors names it, then spawns.
  SpawnResult SpawnWithOutput(const std::string& commandLine,
                              const std::string& outputPath) override;
  bool ProcessAlive(Pid pid) override;
  std::optional<ProcessImage> ProcessImageOf(Pid pid) override;
  std::optional<int64_t> ProcessStartTime(Pid pid) override;
  std::optional<ProcessStat> ReadProcessStat(Pid pid) override;
  std::optional<std::string> ProcessEnvironment(Pid pid, int* error = nullptr) override;
  std::vector<Pid> OwnProcesses() override;
  // Spawns (with output when the request names a file) and gives the new
  // process the request's environment.
  SpawnResult SpawnJobProcess(const SpawnRequest& request) override;
  // Records each id in killedIds; a process still of the named creation
  // ends at once by SIGTERM.
  void EndProcesses(const std::vector<ProcessRef>& targets) override;
  // Runs at the start of every EndProcesses (a test looks at the database
  // as it is at the moment of a signal).
  std::function<void()> beforeEnd;
  int statReads = 0;  // ReadProcessStat calls
  void ReapChildren() override;
  std::optional<ExitStatus> TakeExitStatus(Pid pid) override;
  // Records the kill; the process ends at once by SIGTERM (no grace).
  void KillById(Pid pid) override;
  void KillByImageName(const std::string& imageName) override;
  int64_t KillGraceMs() override { return killGraceMs; }
  Pid SelfPid() override { return selfPid; }

  // --- Host name and file locks (in memory) -----------------------------
  std::string hostName = "fakehost";
  std::string HostName() override { return hostName; }
  // The holder text of every file lock held, by path: put there by the code
  // under test (removed again when its lock object goes) or by a test that
  // plays another holder (erase the entry to free the lock).
  std::map<std::string, std::string> fileLocks;
  // Paths whose tries fail with the given errno.
  std::map<std::string, int> fileLockErrors;
  int fileLockTries = 0;
  FileLockResult TryLockFile(const std::string& path, std::string_view holderText) override;
  // Kept in fileLocks too, under "PATH@OFFSET", with the holder text "".
  // A test plays a removed or replaced lock file by erasing or changing the
  // entry of a lock the code holds: that lock is then no longer AtPath.
  FileLockResult TryLockFileByte(const std::string& path, uint64_t offset) override;

 private:
  void AdvanceMs(int64_t ms);
  std::optional<WakeResult> WakeFor(std::span<const Pid> children);
  int64_t now_ = 0;
  int64_t subMillis_ = 0;
  bool stop_ = false;
  Pid nextPid_ = 10000;
  uint64_t nextTicks_ = 1000;
  std::map<Pid, Process> processes_;
  std::map<Pid, ExitStatus> unreaped_;  // ended, not yet reaped
  std::map<Pid, ExitStatus> reaped_;    // reaped, not yet taken
};

}  // namespace kvr
