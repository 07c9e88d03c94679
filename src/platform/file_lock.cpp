// PosixEnv: file locks and the host name.
//
// The lock is an open-file-description write lock (F_OFD_SETLK) on the whole
// file: it belongs to the descriptor opened here, so a second try from the
// same process is refused like one from another process, and closing some
// other descriptor of the file leaves it alone. The descriptor is opened
// close-on-exec, so a started job does not carry the lock past the end of
// the program that took it. The file is never deleted: a holder's file
// removed and made anew would let a second holder lock the new one.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "platform/posix_env.h"
#include "platform/posix_files.h"

namespace kvr {

namespace {

constexpr size_t kMaxHolderText = 256;
// A new holder writes its text just after it took the lock; a reader that
// comes in between finds the file empty and looks again for a moment.
constexpr int kHolderReadTries = 20;
constexpr long kHolderReadPauseNs = 5'000'000;

class PosixFileLock : public FileLock {
 public:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  ~PosixFileLock() override { close(fd_); }
  PosixFileLock(const PosixFileLock&) = delete;
  PosixFileLock& operator=(const PosixFileLock&) = delete;

 private:
  int fd_;
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
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  whole.l_start = 0;
  whole.l_len = 0;  // the whole file, however long
  whole.l_pid = 0;  // must be 0 for an open-file-description lock
  if (fcntl(fd, F_OFD_SETLK, &whole) != 0) {
    int error = errno;
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
  result.lock = std::make_unique<PosixFileLock>(fd);
  return result;
}

std::string PosixEnv::HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace kvr
