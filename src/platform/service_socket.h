// Service socket: the Unix stream socket that stands in for the watching
// service's named pipe, shared by the controller's side
// (PosixEnv::CallService) and by kvrjobsvc.
//
// A pipe name such as "\\.\pipe\kvrjobctl3" names the socket "kvrjobctl3"
// (its last component), a file in a folder only this user can write
// (ServiceSocketDir), so no other user can take the name first. Both ends
// accept a peer only when it runs as the same user or as root. Every function reports failure by
// its result with errno set (or carried in the ServiceReply); none throws, none blocks longer than
// the waits it is given.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace kvr {

// Wait for a connection to be accepted, like the pipe's wait for an
// instance of the pipe to become available.
inline constexpr int kServiceConnectWaitMs = 1000;

// The socket name of a pipe name: the text after its last '\' (or '/').
std::string ServiceSocketName(std::string_view pipeName);

// When this environment variable is set, its text goes before every socket
// name, so that a test run (or a second installation) has sockets of its own
// beside a service listening on the plain names.
inline constexpr char kServiceSocketPrefixVariable[] = "KVR_SERVICE_SOCKET_PREFIX";

// The folder of the sockets: RUNTIME_DIRECTORY (the first one systemd's
// RuntimeDirectory= gives the unit), else $XDG_RUNTIME_DIR/kvrjobstr, else
// /tmp/kvrjobstr-UID, or HOME/.kvrjobstr when that name in /tmp is taken by
// another user (so no other user can keep an instance from starting).
inline constexpr char kRuntimeDirectoryVariable[] = "RUNTIME_DIRECTORY";
inline constexpr char kServiceSocketFolder[] = "kvrjobstr";
std::string ServiceSocketDir();
// The shared /tmp folder, or HOME/.kvrjobstr when the shared one exists and
// is not a private folder of this user (or the shared one when there is no
// home to move to).
std::string UnplantedSocketDir(const std::string& shared, const std::string& home);
// Makes the folder (0700) when it is missing, then checks it: a directory,
// not a link, owned by this process's effective user, writable by nobody
// else. False with errno (EPERM when it fails the check).
bool CheckServiceSocketDir(const std::string& dir);

// Fills the address of the name's socket file (with the prefix above) in
// the checked folder. False with errno: EINVAL for an empty name,
// ENAMETOOLONG when the path does not fit, EPERM for a folder that fails
// the check.
bool MakeServiceAddress(std::string_view socketName, sockaddr_un* address, socklen_t* length);

// A listening, non-blocking, close-on-exec socket bound to the name; -1 with
// errno on failure (EADDRINUSE when another process listens there). A socket
// file left by a service that has gone is replaced.
int ListenServiceSocket(std::string_view socketName, int backlog);
// Removes the name's socket file (when the service stops listening).
void RemoveServiceSocket(std::string_view socketName);

// True when the peer of a connected Unix socket runs as this process's
// effective user or as root. False (errno EPERM) for any other peer, or
// when the peer's credentials cannot be read.
bool PeerIsTrusted(int fd);

// Counts refused contacts so that they are logged at most once a minute:
// Refused gives the count to log (this one and those not logged since)
// when a minute has passed since the last line, else 0.
class RefusalCounter {
 public:
  static constexpr int64_t kIntervalMs = 60000;
  long Refused(int64_t nowMs);

 private:
  long unlogged_ = 0;
  std::optional<int64_t> lastLogMs_;
};

// Connects to the socket of the pipe name, sends the request bytes and
// waits at most replyTimeoutMs for the reply (at most kServiceMessageSize
// bytes, read until the peer closes, the buffer is full or the reply has
// stopped coming). Not answered, with errno as error, on any failure: no
// socket (ECONNREFUSED), untrusted peer (EPERM), no reply in time
// (ETIMEDOUT), a peer that closes without a byte (ECONNRESET).
ServiceReply CallServiceSocket(std::string_view pipeName, const char* request, size_t requestSize,
                               int connectWaitMs, int replyTimeoutMs);

}  // namespace kvr
