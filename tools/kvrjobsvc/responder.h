// Responder: the listening service socket and the contacts in progress.
// Every contact is served on its own in one poll loop: its request (up to
// 80 bytes) is read as it comes, "OK" is sent back and the contact closed.
// A contact that sends nothing is dropped after a few seconds without
// holding up any other. Peers of another user (other than root) are
// refused, with at most one log line a minute that counts them. The socket
// file is removed when the responder closes. Each answered contact is told
// to the contact watcher with the peer's process id.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/service_socket.h"

namespace kvrsvc {

class Responder {
 public:
  Responder() = default;
  ~Responder();
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Binds and listens; false with errno when the name is taken or invalid.
  bool Listen(const std::string& socketName);
  void SetContactWatcher(std::function<void(pid_t)> watcher) { watcher_ = std::move(watcher); }
  // Closes the listening socket and every open contact: from then on the
  // service cannot be reached.
  void Close();

  // Appends the descriptors to wait for, beginning at index *first, and
  // returns the milliseconds until the next contact's time-out (-1: none).
  int AddPollFds(std::vector<pollfd>* fds, size_t* first) const;
  // Works the events of the descriptors added by AddPollFds (at first), and
  // the time-outs.
  void Handle(const std::vector<pollfd>& fds, size_t first);

 private:
  struct Contact {
    int fd;
    size_t received;
    long long deadlineMs;
    pid_t peer;
  };
  void AcceptAll();
  // False when the contact is finished (answered, failed or closed).
  bool Serve(Contact& contact);

  std::string socketName_;
  kvr::RefusalCounter refused_;
  int listenFd_ = -1;
  std::vector<Contact> contacts_;
  std::function<void(pid_t)> watcher_;
};

}  // namespace kvrsvc
