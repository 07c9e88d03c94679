#include "support/wait.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "platform/service_socket.h"

namespace kvr::test {

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds poll) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(poll);
  }
  return condition();
}

int WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
  int status = 0;
  bool exited = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (!exited) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void UseOwnServiceSockets() {
  std::string prefix = "kvrtest" + std::to_string(getpid()) + ".";
  setenv(kServiceSocketPrefixVariable, prefix.c_str(), 0);
}

}  // namespace kvr::test
