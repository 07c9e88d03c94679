// Env: the controller's only door to the operating system and the clock.
//
// Everything that touches the system (time, sleeping, files, the service
// socket, processes, disk space, the console, stop signals) goes through one
// Env object, so that the whole controller can run on the real system
// (PosixEnv) or on a scripted one (FakeEnv) in tests. No method throws; every
// failure is a result value with the system's error number where it has one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvr {

using Pid = int32_t;

// Size of a service-contact request and of the longest reply read.
inline constexpr int kServiceMessageSize = 80;

// A file opened for appending. Closing happens in the destructor.
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  // Current size in bytes (the position at the end of the file).
  virtual int64_t Size() = 0;
  // Appends the bytes as they stand; false when the write failed.
  virtual bool Write(std::string_view bytes) = 0;
};

// The most ReadFile reads of one file unless told otherwise.
inline constexpr size_t kMaxReadFileBytes = size_t{1} << 20;

// An exclusive lock on a file, held until the object is destroyed.
class FileLock {
 public:
  virtual ~FileLock() = default;
  // True while the path the lock was taken on still names the locked file
  // (not removed, not replaced by another file).
  virtual bool AtPath() const { return true; }
};

// Outcome of a try for a file lock: the lock, or busy with what its holder
// wrote into the file, or the errno of the step that failed.
struct FileLockResult {
  std::unique_ptr<FileLock> lock;  // set when the lock was taken
  bool busy = false;               // another holder has it
  std::string holder;              // busy: the holder's text (trimmed; may be empty)
  int error = 0;                   // errno when neither taken nor busy
};

struct ServiceReply {
  bool answered = false;
  std::string reply;  // the reply bytes up to the first zero byte
  int error = 0;      // errno of the failing step when not answered
};

struct SpawnResult {
  bool created = false;
  Pid pid = 0;
  int error = 0;  // errno when not created
  // SpawnWithOutput only: errno when the output file could not be opened;
  // the process then runs with the controller's standard output and error.
  int outputError = 0;
};

// How an ended child process ended: its exit status, or the signal that
// ended it.
struct ExitStatus {
  bool signaled = false;
  int code = 0;  // exit status (0-255), or the signal's number
};

// Wait statuses of ended children kept for TakeExitStatus at most; beyond
// this the oldest are dropped, so children nobody asks about cannot make
// the list grow without end.
inline constexpr std::size_t kKeptExitStatuses = 1024;

// One read of a process's status (/proc/PID/stat). The id together with
// the creation (startTicks) names one process for as long as it lives,
// whatever it execs into; an id handed on later comes with another creation.
struct ProcessStat {
  bool alive = false;       // false: a zombie, ended but not yet reaped
  uint64_t startTicks = 0;  // creation in clock ticks since boot
  int64_t startTime = 0;    // creation in calendar seconds (UTC)
  Pid parent = 0;
  Pid group = 0;
};

// A process by id and creation: what may be signalled.
struct ProcessRef {
  Pid pid = 0;
  uint64_t startTicks = 0;
};

// A job's process to create: the command line (split into words as for
// Spawn, bytes as the file system takes them), an output file (empty: the
// controller's standard output) and variables added to the environment
// ("NAME=value", replacing one of the same name).
struct SpawnRequest {
  std::string commandLine;
  std::string outputPath;
  std::vector<std::string> environment;
};

// What /proc tells of a live process's executable.
struct ProcessImage {
  std::string baseName;  // base name of the executable, without " (deleted)"
  std::string path;      // full path of the executable
};

// What ended a WaitForWake.
struct WakeResult {
  enum class Kind { TimedOut, Stop, Readable, ChildEnded };
  Kind kind = Kind::TimedOut;
  int index = -1;  // Readable: index of the descriptor in the list given
  Pid child = 0;   // ChildEnded: the child that ended (not reaped)
};

class Env {
 public:
  virtual ~Env() = default;

  // --- Clock ------------------------------------------------------------
  // Calendar time in seconds since 1970 (UTC), like time().
  virtual int64_t Now() = 0;
  // Milliseconds of a steady clock; only differences are meaningful.
  virtual int64_t SteadyMillis() = 0;
  // Broken-down local time (follows TZ) and UTC time of a calendar time.
  virtual std::tm LocalTime(int64_t t) = 0;
  virtual std::tm UtcTime(int64_t t) = 0;
  // Local broken-down time back to calendar seconds, like mktime()
  // (tm_isdst as given; -1 lets the zone rules decide).
  virtual int64_t MakeLocalTime(std::tm local) = 0;
  // Waits; a real Env returns early once a stop has been requested.
  virtual void SleepMs(int64_t ms) = 0;

  // Waits at most ms for the first of: a stop request, one of the
  // descriptors readable, one of the given children ended (it is left
  // unreaped for ReapChildren). A child that ended before the call counts.
  virtual WakeResult WaitForWake(int64_t ms, std::span<const int> fds,
                                 std::span<const Pid> children) = 0;

  // --- Stop requests ----------------------------------------------------
  // True once SIGTERM or SIGINT has reached the process (latched).
  virtual bool StopRequested() = 0;

  // --- Program and directories -----------------------------------------
  // Full path of the running program; empty when it cannot be found.
  virtual std::string ProgramPath() = 0;
  virtual bool SetCurrentDir(const std::string& dir) = 0;
  virtual std::string CurrentDir() = 0;  // empty on failure

  // --- Files (paths are given as the system writes them; the Env turns
  // '\' into '/' before the operating system sees them) -------------------
  virtual std::unique_ptr<AppendFile> OpenAppend(const std::string& path, int* error = nullptr) = 0;
  // The whole file, or nothing when it cannot be opened for reading. Only a
  // regular file of at most maxBytes is read; anything else (a FIFO, a
  // device, a directory, a larger file) is refused at once with EINVAL,
  // EISDIR or EFBIG.
  virtual std::optional<std::string> ReadFile(const std::string& path, int* error = nullptr,
                                              size_t maxBytes = kMaxReadFileBytes) = 0;
  // True when the file is a regular file that can be opened for reading.
  virtual bool FileReadable(const std::string& path) = 0;
  // 0 on success, else errno.
  virtual int RenameFile(const std::string& from, const std::string& to) = 0;
  virtual int DeleteFile(const std::string& path) = 0;
  // Free bytes of the volume holding the path (f_bfree * f_frsize).
  virtual std::optional<uint64_t> FreeBytes(const std::string& path) = 0;
  // Mount point of the file system holding the current directory (the
  // controller's "drive"); empty when it cannot be found.
  virtual std::string CurrentMountPoint() = 0;
  // Makes one directory level; 0 also when a directory of that name exists
  // already, else errno.
  virtual int MakeDirectory(const std::string& path) = 0;
  // The names in a directory, without "." and ".."; nothing when the
  // directory cannot be read (*error then holds errno).
  virtual std::optional<std::vector<std::string>> ListDirectory(const std::string& path,
                                                                int* error = nullptr) = 0;
  // Size in bytes of an existing file; nothing when it cannot be looked at.
  virtual std::optional<int64_t> FileSize(const std::string& path) = 0;
  // Cuts a file to the given size; 0 or errno.
  virtual int TruncateFile(const std::string& path, int64_t size) = 0;
  // The last maxBytes of a file (all of a shorter one); nothing when the
  // file cannot be read.
  virtual std::optional<std::string> ReadFileTail(const std::string& path, int64_t maxBytes) = 0;

  // Tries, without waiting, for an exclusive lock on the file (created when
  // missing). Taken, the file's content is replaced by holderText, so that
  // others can name the holder. The lock belongs to the returned object, not
  // to the process: two tries in one process exclude each other, closing
  // another descriptor of the file does not release it, and started
  // processes do not inherit it.
  virtual FileLockResult TryLockFile(const std::string& path, std::string_view holderText) = 0;
  // Tries, without waiting, for an exclusive lock on one byte of an existing
  // regular file, leaving its content alone (a lock that stays with the file
  // however its name is changed). Like TryLockFile's lock it belongs to the
  // returned object. The file stays open with the Env even after the lock
  // is given up: closing a descriptor would drop the record locks other
  // code of this process (a database library) holds on the same file.
  virtual FileLockResult TryLockFileByte(const std::string& path, uint64_t offset) = 0;

  // --- Console ----------------------------------------------------------
  // Writes the text to standard output at once (no buffering left behind).
  virtual void ConsoleWrite(std::string_view text) = 0;
  // True when standard output is a terminal (not a file, a pipe, a journal).
  virtual bool ConsoleIsTerminal() = 0;

  // --- Service contact --------------------------------------------------
  // Connects to the service socket of the given pipe name's last component,
  // sends the request bytes, and waits at most replyTimeoutMs for a reply.
  virtual ServiceReply CallService(const std::string& pipeName,
                                   const char (&request)[kServiceMessageSize],
                                   int replyTimeoutMs) = 0;

  // --- Processes --------------------------------------------------------
  // Creates a process from a command line (split into words; the program
  // looked up in the current directory, then on PATH). The child gets its
  // own process group and standard input from /dev/null.
  virtual SpawnResult Spawn(const std::string& commandLine) = 0;
  // The same, with the child's standard output and error appended to the
  // file at outputPath (created when missing). A file that cannot be opened
  // does not stop the start: see SpawnResult::outputError.
  virtual SpawnResult SpawnWithOutput(const std::string& commandLine,
                                      const std::string& outputPath) = 0;
  // True when the process exists and is not a zombie.
  virtual bool ProcessAlive(Pid pid) = 0;
  // The executable of a live process; nothing when it cannot be read.
  virtual std::optional<ProcessImage> ProcessImageOf(Pid pid) = 0;
  // Creation time of a live process in calendar seconds (UTC).
  virtual std::optional<int64_t> ProcessStartTime(Pid pid) = 0;
  // The process's status in one read; nothing when no process has the id
  // (a zombie is there, not alive).
  virtual std::optional<ProcessStat> ReadProcessStat(Pid pid) = 0;
  // The environment the process was started with (NAME=value texts, each
  // ended by a zero byte); nothing when it cannot be read (*error: errno,
  // EACCES for another user's process or a hidden one).
  virtual std::optional<std::string> ProcessEnvironment(Pid pid, int* error = nullptr) = 0;
  // The ids of the live processes of the controller's user, the controller
  // itself left out.
  virtual std::vector<Pid> OwnProcesses() = 0;
  // Creates a job's process as Spawn does, with the request's output file
  // and environment. The first call makes the controller the subreaper of
  // its jobs, so descendants that leave a job stay its children.
  virtual SpawnResult SpawnJobProcess(const SpawnRequest& request) = 0;
  // Ends the processes: each is checked to be still the one named (id and
  // creation) before any signal, through a pidfd where the kernel has them;
  // SIGTERM goes to its process group when it leads one (else to itself),
  // and SIGKILL to what is left after the grace period. Never ends pid 0, 1,
  // the controller or its group. Does not block.
  virtual void EndProcesses(const std::vector<ProcessRef>& targets) = 0;
  // Reaps ended children, keeping each one's wait status for
  // TakeExitStatus, and moves pending kills on (SIGKILL after the grace
  // period). Called before each supervision; never blocks.
  virtual void ReapChildren() = 0;
  // The kept wait status of an ended child, handed out once; nothing when
  // none is kept for the id (not reaped yet, not a child, or taken).
  virtual std::optional<ExitStatus> TakeExitStatus(Pid pid) = 0;
  // Ends a process: SIGTERM to its process group (or to the process when it
  // leads none), SIGKILL to what is left after the grace period. Never ends
  // pid 0, 1, or the controller itself. Does not block.
  virtual void KillById(Pid pid) = 0;
  // Ends every process whose executable's base name equals the name without
  // regard to case and that runs as the controller's user, except the
  // controller itself, its parent (the watching service), the leader of the
  // parent's process group and PID 1.
  virtual void KillByImageName(const std::string& imageName) = 0;
  // Milliseconds between an ending's SIGTERM and its SIGKILL: a caller that
  // waits for ended processes to be gone waits at least this long.
  virtual int64_t KillGraceMs() = 0;
  virtual Pid SelfPid() = 0;
  // Name of this machine; empty when it cannot be read.
  virtual std::string HostName() = 0;
};

// Turns every '\' into '/': the one place where Windows paths of the system
// become paths of this platform.
std::string NativePath(std::string_view path);

}  // namespace kvr
