#include "responder.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/env.h"
#include "platform/service_socket.h"
#include "svc_log.h"

namespace kvrsvc {

namespace {

constexpr int kBacklog = 64;
constexpr size_t kMaxContacts = 256;
// A contact that has not sent its request by then is dropped.
constexpr long long kRequestWaitMs = 5000;
constexpr char kReply[] = "OK";

pid_t PeerPid(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? cred.pid : 0;
}

}  // namespace

Responder::~Responder() { Close(); }

bool Responder::Listen(const std::string& socketName) {
  listenFd_ = kvr::ListenServiceSocket(socketName, kBacklog);
  if (listenFd_ >= 0) socketName_ = socketName;
  return listenFd_ >= 0;
}

void Responder::Close() {
  if (listenFd_ >= 0) {
    close(listenFd_);
    kvr::RemoveServiceSocket(socketName_);
  }
  listenFd_ = -1;
  for (Contact& c : contacts_) close(c.fd);
  contacts_.clear();
}

int Responder::AddPollFds(std::vector<pollfd>* fds, size_t* first) const {
  *first = fds->size();
  if (listenFd_ < 0) return -1;
  fds->push_back(pollfd{listenFd_, POLLIN, 0});
  long long next = -1;
  long long now = NowMs();
  for (const Contact& c : contacts_) {
    fds->push_back(pollfd{c.fd, POLLIN, 0});
    long long left = c.deadlineMs > now ? c.deadlineMs - now : 0;
    if (next < 0 || left < next) next = left;
  }
  return static_cast<int>(next);
}

void Responder::Handle(const std::vector<pollfd>& fds, size_t first) {
  if (listenFd_ < 0) return;
  // Contacts first: their entries follow the listening socket's in order.
  std::vector<Contact> kept;
  kept.reserve(contacts_.size());
  long long now = NowMs();
  for (size_t i = 0; i < contacts_.size(); ++i) {
    Contact& c = contacts_[i];
    size_t at = first + 1 + i;
    bool ready = at < fds.size() && fds[at].revents != 0;
    bool open = true;
    if (ready) {
      open = Serve(c);
    } else if (now >= c.deadlineMs) {
      open = false;  // sent no request in time
    }
    if (open) {
      kept.push_back(c);
    } else {
      close(c.fd);
    }
  }
  contacts_.swap(kept);
  if (first < fds.size() && fds[first].revents != 0) AcceptAll();
}

void Responder::AcceptAll() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: nothing more waiting; other errors: try next round
    }
    if (!kvr::PeerIsTrusted(fd)) {
      // Once a minute at most: a user connecting in a loop cannot fill the log.
      if (long n = refused_.Refused(NowMs()); n > 0) {
        Log("refused %ld contact(s) of other users", n);
      }
      close(fd);
      continue;
    }
    if (contacts_.size() >= kMaxContacts) {
      close(fd);  // too many contacts at once: the caller sees no answer
      continue;
    }
    contacts_.push_back(Contact{fd, 0, NowMs() + kRequestWaitMs, PeerPid(fd)});
  }
}

bool Responder::Serve(Contact& contact) {
  char buffer[kvr::kServiceMessageSize];
  for (;;) {
    ssize_t n = recv(contact.fd, buffer, sizeof buffer - contact.received, 0);
    if (n > 0) {
      contact.received += static_cast<size_t>(n);
      if (contact.received < sizeof buffer) continue;
      break;  // the whole request is in
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;  // wait for the rest
    if (n < 0) return false;
    if (contact.received == 0) return false;  // closed without a request
    break;                                    // the caller finished a short request
  }
  ssize_t sent = send(contact.fd, kReply, sizeof kReply - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent > 0 && watcher_) watcher_(contact.peer);
  return false;  // a caller that is gone gets no answer
}

}  // namespace kvrsvc
