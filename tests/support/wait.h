// Waiting in tests by polling for the condition instead of sleeping for a
// guessed time, and service sockets of the test run's own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>

namespace kvr::test {

// Polls the condition until it holds or the time is over; true when it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(20),
             std::chrono::milliseconds poll = std::chrono::milliseconds(50));

// Waits for a child to exit; returns its exit status (128 + signal when a
// signal ended it), or -1 on time-out (its process group and the child are
// then killed and reaped).
int WaitExit(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Gives this test program's service sockets (and those of the programs it
// starts) names no other program uses, so a service listening on the plain
// names beside the tests does not answer them. Idempotent.
void UseOwnServiceSockets();

}  // namespace kvr::test
