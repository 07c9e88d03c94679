#include "platform/service_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/clock.h"

namespace kvr {

namespace {

// Once the first reply bytes are in, further bytes of the same reply are
// waited for this long at most (the service normally closes at once).
constexpr int kReplyTailWaitMs = 50;

// Milliseconds left until the deadline, never negative.
int Remaining(int64_t deadline) {
  int64_t left = deadline - MonotonicMillis();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Polls one descriptor for the events until the deadline. Returns the
// revents, 0 on time-out, -1 on error (errno set).
int PollUntil(int fd, short events, int64_t deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int rc = poll(&p, 1, Remaining(deadline));
    if (rc > 0) return p.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// Closes the descriptor when the call ends, keeping errno as it was.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    int saved = errno;
    if (fd_ >= 0) close(fd_);
    errno = saved;
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

ServiceReply NoAnswer(int error) {
  ServiceReply r;
  r.answered = false;
  r.error = error;
  return r;
}

// Connects the non-blocking socket, waiting until the deadline when the
// service is busy (full backlog) or the connect is in progress.
bool ConnectBounded(int fd, const sockaddr_un& address, socklen_t length, int64_t deadline) {
  for (;;) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      // Every pending connection slot is taken: try again shortly.
      if (Remaining(deadline) == 0) {
        errno = ETIMEDOUT;
        return false;
      }
      timespec pause{0, 10 * 1000000L};
      nanosleep(&pause, nullptr);
      continue;
    }
    if (errno != EINPROGRESS) return false;
    int ev = PollUntil(fd, POLLOUT, deadline);
    if (ev < 0) return false;
    if (ev == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) return false;
    if (soError != 0) {
      errno = soError;
      return false;
    }
    return true;
  }
}

bool SendAll(int fd, const char* data, size_t size, int64_t deadline) {
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    int ev = PollUntil(fd, POLLOUT, deadline);
    if (ev < 0) return false;
    if (ev == 0) {
      errno = ETIMEDOUT;
      return false;
    }
  }
  return true;
}

// Reads the reply: the first bytes within the deadline, further bytes while
// they keep coming, until the peer closes or the buffer is full.
ServiceReply ReceiveReply(int fd, int64_t deadline) {
  char buffer[kServiceMessageSize];
  size_t got = 0;
  while (got < sizeof buffer) {
    int64_t waitUntil = deadline;
    if (got > 0) {
      int64_t tail = MonotonicMillis() + kReplyTailWaitMs;
      if (tail < waitUntil) waitUntil = tail;
    }
    int ev = PollUntil(fd, POLLIN, waitUntil);
    if (ev < 0) return NoAnswer(errno);
    if (ev == 0) {
      if (got > 0) break;
      return NoAnswer(ETIMEDOUT);
    }
    ssize_t n = recv(fd, buffer + got, sizeof buffer - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0 && got == 0) return NoAnswer(errno);
    break;  // the peer closed (or failed after sending its reply)
  }
  if (got == 0) return NoAnswer(ECONNRESET);
  ServiceReply r;
  r.answered = true;
  r.reply.assign(buffer, strnlen(buffer, got));
  return r;
}

}  // namespace

std::string ServiceSocketName(std::string_view pipeName) {
  size_t cut = pipeName.find_last_of("\\/");
  if (cut == std::string_view::npos) return std::string(pipeName);
  return std::string(pipeName.substr(cut + 1));
}

namespace {

// The home folder of the effective user from the user database (not $HOME,
// which the caller may have changed); empty when there is none.
std::string HomeOfEffectiveUser() {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    return {};
  }
  return found->pw_dir;
}

// True when the path exists and is not a private folder of this user.
bool TakenByOther(const std::string& dir) {
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) return false;
  return !S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH));
}

}  // namespace

std::string ServiceSocketDir() {
  if (const char* runtime = std::getenv(kRuntimeDirectoryVariable); runtime && *runtime) {
    std::string first(runtime);
    return first.substr(0, first.find(':'));  // systemd lists several with ':'
  }
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
    return std::string(xdg) + "/" + kServiceSocketFolder;
  }
  return UnplantedSocketDir(
      std::string("/tmp/") + kServiceSocketFolder + "-" + std::to_string(geteuid()),
      HomeOfEffectiveUser());
}

std::string UnplantedSocketDir(const std::string& shared, const std::string& home) {
  // Anyone may create a name in /tmp first. When that name is taken by
  // another user, both ends (which see the same /tmp) move to a folder in
  // the user's home, which no other user can plant.
  if (!TakenByOther(shared) || home.empty()) return shared;
  return home + "/." + kServiceSocketFolder;
}

bool CheckServiceSocketDir(const std::string& dir) {
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT) return false;
    // Made private; a folder someone else made meanwhile is checked below.
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (lstat(dir.c_str(), &st) != 0) return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
    errno = EPERM;
    return false;
  }
  return true;
}

bool MakeServiceAddress(std::string_view socketName, sockaddr_un* address, socklen_t* length) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (socketName.empty()) {
    errno = EINVAL;
    return false;
  }
  const std::string dir = ServiceSocketDir();
  if (!CheckServiceSocketDir(dir)) return false;
  const char* prefix = std::getenv(kServiceSocketPrefixVariable);
  std::string path = dir + "/" + (prefix != nullptr ? prefix : "");
  path += socketName;
  if (path.size() > sizeof address->sun_path - 1) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address->sun_path, path.data(), path.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

namespace {

// True when a service answers connections at the address.
bool SomeoneListens(const sockaddr_un& address, socklen_t length) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;  // cannot tell: leave the file alone
  FdCloser closer(fd);
  int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
  return rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
}

// Binds; a socket file that nobody listens on any more (a service that was
// killed) is removed first.
int BindFree(int fd, const sockaddr_un& address, socklen_t length) {
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return 0;
  if (errno != EADDRINUSE) return -1;
  struct stat st {};
  if (lstat(address.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode) ||
      SomeoneListens(address, length)) {
    errno = EADDRINUSE;
    return -1;
  }
  unlink(address.sun_path);
  return bind(fd, reinterpret_cast<const sockaddr*>(&address), length);
}

}  // namespace

int ListenServiceSocket(std::string_view socketName, int backlog) {
  sockaddr_un address;
  socklen_t length = 0;
  if (!MakeServiceAddress(socketName, &address, &length)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (BindFree(fd, address, length) != 0 || listen(fd, backlog) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void RemoveServiceSocket(std::string_view socketName) {
  sockaddr_un address;
  socklen_t length = 0;
  if (MakeServiceAddress(socketName, &address, &length)) unlink(address.sun_path);
}

long RefusalCounter::Refused(int64_t nowMs) {
  ++unlogged_;
  if (lastLogMs_ && nowMs - *lastLogMs_ < kIntervalMs) return 0;
  lastLogMs_ = nowMs;
  long count = unlogged_;
  unlogged_ = 0;
  return count;
}

bool PeerIsTrusted(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    errno = EPERM;
    return false;
  }
  if (cred.uid == geteuid() || cred.uid == 0) return true;
  errno = EPERM;
  return false;
}

ServiceReply CallServiceSocket(std::string_view pipeName, const char* request, size_t requestSize,
                               int connectWaitMs, int replyTimeoutMs) {
  sockaddr_un address;
  socklen_t length = 0;
  if (!MakeServiceAddress(ServiceSocketName(pipeName), &address, &length)) return NoAnswer(errno);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return NoAnswer(errno);
  FdCloser closer(fd);

  if (!ConnectBounded(fd, address, length, MonotonicMillis() + connectWaitMs)) {
    // No socket file is no service, as a file nobody listens on.
    return NoAnswer(errno == ENOENT ? ECONNREFUSED : errno);
  }
  if (!PeerIsTrusted(fd)) return NoAnswer(EPERM);
  int64_t deadline = MonotonicMillis() + (replyTimeoutMs > 0 ? replyTimeoutMs : 0);
  if (!SendAll(fd, request, requestSize, deadline)) return NoAnswer(errno);
  return ReceiveReply(fd, deadline);
}

}  // namespace kvr
