// The real file system: appending, reading, renaming, deleting, the current
// directory, and the folders and files of job output.
#include "platform/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace kvr {

namespace {

class PosixAppendFile : public AppendFile {
 public:
  explicit PosixAppendFile(int fd) : fd_(fd) {}
  ~PosixAppendFile() override { close(fd_); }
  PosixAppendFile(const PosixAppendFile&) = delete;
  PosixAppendFile& operator=(const PosixAppendFile&) = delete;

  int64_t Size() override {
    off_t end = lseek(fd_, 0, SEEK_END);
    return end < 0 ? 0 : static_cast<int64_t>(end);
  }

  bool Write(std::string_view bytes) override { return PosixWriteAll(fd_, bytes); }

 private:
  int fd_;
};

void SetError(int* error, int value) {
  if (error != nullptr) *error = value;
}

}  // namespace

bool PosixWriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

bool ChangeDirectory(const std::string& dir) { return chdir(NativePath(dir).c_str()) == 0; }

std::string WorkingDirectory() {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::char_traits<char>::length(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, int* error) {
  // Opened without waiting, so a FIFO without reader fails at once instead
  // of holding the caller; writes to anything that is opened then wait as
  // usual.
  int fd = open(NativePath(path).c_str(),
                O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) {
    SetError(error, errno);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  SetError(error, 0);
  return std::make_unique<PosixAppendFile>(fd);
}

// Opens a file for reading without waiting (a FIFO without writer, a
// device) and only when it is a regular file: -1 with errno set otherwise.
int OpenRegularForReading(const std::string& path) {
  int fd;
  do {
    fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

std::optional<std::string> ReadWholeFile(const std::string& path, int* error, size_t maxBytes) {
  int fd = OpenRegularForReading(path);
  if (fd < 0) {
    SetError(error, errno);
    return std::nullopt;
  }
  std::string content;
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      content.append(chunk, static_cast<size_t>(n));
      if (content.size() > maxBytes) {
        close(fd);
        SetError(error, EFBIG);
        return std::nullopt;
      }
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      SetError(error, errno);
      close(fd);
      return std::nullopt;
    }
  }
  close(fd);
  SetError(error, 0);
  return content;
}

bool IsReadableFile(const std::string& path) {
  int fd = OpenRegularForReading(path);
  if (fd < 0) return false;
  close(fd);
  return true;
}

int RenamePath(const std::string& from, const std::string& to) {
  return rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0 ? 0 : errno;
}

int DeletePath(const std::string& path) {
  return unlink(NativePath(path).c_str()) == 0 ? 0 : errno;
}

int PosixMakeDirectory(const std::string& path) {
  std::string native = NativePath(path);
  if (mkdir(native.c_str(), 0750) == 0) return 0;
  int error = errno;
  struct stat st {};
  if (error == EEXIST && stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  return error;
}

std::optional<std::vector<std::string>> PosixListDirectory(const std::string& path, int* error) {
  DIR* dir = opendir(NativePath(path).c_str());
  if (dir == nullptr) {
    SetError(error, errno);
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  closedir(dir);
  SetError(error, 0);
  return names;
}

std::optional<int64_t> PosixFileSize(const std::string& path) {
  struct stat st {};
  if (stat(NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<int64_t>(st.st_size);
}

int PosixTruncateFile(const std::string& path, int64_t size) {
  return truncate(NativePath(path).c_str(), static_cast<off_t>(size)) == 0 ? 0 : errno;
}

std::optional<std::string> PosixReadFileTail(const std::string& path, int64_t maxBytes) {
  int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return std::nullopt;
  }
  int64_t from = st.st_size > maxBytes ? st.st_size - maxBytes : 0;
  std::string text;
  char chunk[65536];
  off_t at = static_cast<off_t>(from);
  for (;;) {
    ssize_t n = pread(fd, chunk, sizeof chunk, at);
    if (n > 0) {
      text.append(chunk, static_cast<size_t>(n));
      at += n;
      if (static_cast<int64_t>(text.size()) >= maxBytes) break;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  close(fd);
  if (static_cast<int64_t>(text.size()) > maxBytes) {
    text.erase(0, text.size() - static_cast<size_t>(maxBytes));  // grew meanwhile
  }
  return text;
}

int PosixOpenOutputFile(const std::string& path, int* error) {
  // A link planted in the output folder is never followed.
  int fd =
      open(NativePath(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
  SetError(error, fd < 0 ? errno : 0);
  return fd;
}

}  // namespace kvr
