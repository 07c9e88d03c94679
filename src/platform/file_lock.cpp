// PosixEnv: file locks and the host name.
//
// The lock is an open-file-description write lock (F_OFD_SETLK) on the whole
// file: it belongs to the descriptor opened here, so a second try from the
// same process is refused like one from another process, and closing some
// other descriptor of the file leaves it alone. The descriptor is opened
// close-on-exec, so a started job does not carry the lock past the end of
// the program that took it. The file is never deleted: a holder's file
// removed and made anew would let a second holder lock the new one; the
// holder can ask whether its path still names the file it locked.
//
// A byte lock is taken on a descriptor of its own, which is never closed
// while the process lives: closing any descriptor of a file drops every
// POSIX record lock the process holds on it, those of a database library
// included. Given up, the descriptor waits in a pool for the next lock on
// the same file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/posix_env.h"
#include "platform/posix_files.h"

namespace kvr {

namespace {

constexpr size_t kMaxHolderText = 256;
// A new holder writes its text just after it took the lock; a reader that
// comes in between finds the file empty and looks again for a moment.
constexpr int kHolderReadTries = 20;
constexpr long kHolderReadPauseNs = 5'000'000;

using FileId = std::pair<dev_t, ino_t>;

// True when the path names the file open at the descriptor.
bool SameFile(int fd, const std::string& path) {
  struct stat opened {
  }, named{};
  return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

class PosixFileLock : public FileLock {
 public:
  PosixFileLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixFileLock() override { close(fd_); }
  PosixFileLock(const PosixFileLock&) = delete;
  PosixFileLock& operator=(const PosixFileLock&) = delete;
  bool AtPath() const override { return SameFile(fd_, path_); }

 private:
  int fd_;
  std::string path_;
};

int SetLock(int fd, short type, off_t start, off_t length) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = length;  // 0: to the end of the file, however long
  range.l_pid = 0;       // must be 0 for an open-file-description lock
  return fcntl(fd, F_OFD_SETLK, &range) == 0 ? 0 : errno;
}

}  // namespace

// Descriptors of byte-locked files not locked at present, by file.
class OpenFilePool {
 public:
  ~OpenFilePool() {
    for (auto& [id, fds] : idle_) {
      for (int fd : fds) close(fd);
    }
  }
  // An idle descriptor of the file the path names, else a new one (or -1
  // with *error set).
  int Take(const std::string& path, int* error) {
    struct stat named {};
    if (stat(path.c_str(), &named) == 0) {
      std::lock_guard<std::mutex> guard(mutex_);
      auto it = idle_.find(FileId(named.st_dev, named.st_ino));
      if (it != idle_.end() && !it->second.empty()) {
        int fd = it->second.back();
        it->second.pop_back();
        return fd;
      }
    }
    int fd;
    do {
      fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      *error = errno;
      return -1;
    }
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      *error = S_ISDIR(opened.st_mode) ? EISDIR : EINVAL;
      close(fd);  // no record lock lives on anything but a regular file
      return -1;
    }
    return fd;
  }
  void Give(int fd) {
    struct stat opened {};
    if (fstat(fd, &opened) != 0) return;
    std::lock_guard<std::mutex> guard(mutex_);
    idle_[FileId(opened.st_dev, opened.st_ino)].push_back(fd);
  }

 private:
  std::mutex mutex_;
  std::map<FileId, std::vector<int>> idle_;
};

namespace {

class PosixByteLock : public FileLock {
 public:
  PosixByteLock(std::shared_ptr<OpenFilePool> pool, int fd, off_t offset, std::string path)
      : pool_(std::move(pool)), fd_(fd), offset_(offset), path_(std::move(path)) {}
  ~PosixByteLock() override {
    SetLock(fd_, F_UNLCK, offset_, 1);
    pool_->Give(fd_);
  }
  PosixByteLock(const PosixByteLock&) = delete;
  PosixByteLock& operator=(const PosixByteLock&) = delete;
  bool AtPath() const override { return SameFile(fd_, path_); }

 private:
  std::shared_ptr<OpenFilePool> pool_;
  int fd_;
  off_t offset_;
  std::string path_;
};

std::string TrimmedText(std::string text) {
  size_t end = text.find_last_not_of(" \t\r\n");
  text.erase(end == std::string::npos ? 0 : end + 1);
  size_t begin = text.find_first_not_of(" \t\r\n");
  return begin == std::string::npos ? std::string() : text.substr(begin);
}

std::string ReadHolder(int fd) {
  char buffer[kMaxHolderText];
  ssize_t n;
  do {
    n = pread(fd, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return {};
  std::string text(buffer, static_cast<size_t>(n));
  for (char& c : text) {
    if (c == '\0' || c == '\n' || c == '\r') c = ' ';
  }
  return TrimmedText(text);
}

// The descriptor was just opened, so its position is the start of the file.
bool WriteHolder(int fd, std::string_view text) {
  return ftruncate(fd, 0) == 0 && PosixWriteAll(fd, text);
}

}  // namespace

FileLockResult PosixEnv::TryLockFile(const std::string& path, std::string_view holderText) {
  FileLockResult result;
  int fd;
  do {
    fd = open(NativePath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    result.error = errno;
    return result;
  }
  if (int error = SetLock(fd, F_WRLCK, 0, 0); error != 0) {
    if (error == EAGAIN || error == EACCES) {
      result.busy = true;
      result.holder = ReadHolder(fd);
      for (int i = 1; i < kHolderReadTries && result.holder.empty(); ++i) {
        const timespec pause{0, kHolderReadPauseNs};
        nanosleep(&pause, nullptr);
        result.holder = ReadHolder(fd);
      }
    } else {
      result.error = error;
    }
    close(fd);
    return result;
  }
  // The holder's text is a courtesy for others; the lock holds without it.
  WriteHolder(fd, holderText.substr(0, kMaxHolderText));
  result.lock = std::make_unique<PosixFileLock>(fd, NativePath(path));
  return result;
}

FileLockResult PosixEnv::TryLockFileByte(const std::string& path, uint64_t offset) {
  FileLockResult result;
  if (!lockFiles_) lockFiles_ = std::make_shared<OpenFilePool>();
  const std::string native = NativePath(path);
  int fd = lockFiles_->Take(native, &result.error);
  if (fd < 0) return result;
  const off_t at = static_cast<off_t>(offset);
  if (int error = SetLock(fd, F_WRLCK, at, 1); error != 0) {
    result.busy = error == EAGAIN || error == EACCES;
    if (!result.busy) result.error = error;
    lockFiles_->Give(fd);
    return result;
  }
  result.lock = std::make_unique<PosixByteLock>(lockFiles_, fd, at, native);
  return result;
}

std::string PosixEnv::HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace kvr
