// Service socket: the Unix stream socket in the abstract namespace that
// stands in for the watching service's named pipe, shared by the
// controller's side (PosixEnv::CallService) and by kvrjobsvc.
//
// A pipe name such as "\\.\pipe\kvrjobctl3" names the socket "kvrjobctl3"
// (its last component). Both ends accept a peer only when it runs as the
// same user or as root. Every function reports failure by its result with
// errno set (or carried in the ServiceReply); none throws, none blocks
// longer than the waits it is given.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

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

// Fills an abstract-namespace address for the name (with the prefix above).
// False (ENAMETOOLONG) when it does not fit or the name is empty (EINVAL).
bool MakeServiceAddress(std::string_view socketName, sockaddr_un* address, socklen_t* length);

// A listening, non-blocking, close-on-exec socket bound to the name; -1 with
// errno on failure (EADDRINUSE when another process listens there).
int ListenServiceSocket(std::string_view socketName, int backlog);

// True when the peer of a connected Unix socket runs as this process's
// effective user or as root. False (errno EPERM) for any other peer, or
// when the peer's credentials cannot be read.
bool PeerIsTrusted(int fd);

// Connects to the socket of the pipe name, sends the request bytes and
// waits at most replyTimeoutMs for the reply (at most kServiceMessageSize
// bytes, read until the peer closes, the buffer is full or the reply has
// stopped coming). Not answered, with errno as error, on any failure: no
// socket (ECONNREFUSED), untrusted peer (EPERM), no reply in time
// (ETIMEDOUT), a peer that closes without a byte (ECONNRESET).
ServiceReply CallServiceSocket(std::string_view pipeName, const char* request, size_t requestSize,
                               int connectWaitMs, int replyTimeoutMs);

}  // namespace kvr
