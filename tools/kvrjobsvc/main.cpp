// kvrjobsvc: the watching service of KVRJOBSTR.
//
//   kvrjobsvc [--watch SECONDS] [INSTANCE] [-- COMMAND ARGS...]
//
// Answers every contact on the socket "kvrjobctl" (or "kvrjobctl<INSTANCE>")
// and, given a command, runs it as its child and restarts it when it ends,
// or when it has stopped contacting the service for the watch time.
// On SIGTERM or SIGINT it stops answering at once, gives the child a bounded
// time to end its jobs and exit, kills it if it is still there, and exits 0.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/text.h"
#include "core/version.h"
#include "platform/service_socket.h"
#include "responder.h"
#include "supervisor.h"
#include "svc_log.h"

namespace {

// Ending 1000 jobs takes the controller about 10 s (all signalled at once,
// their grace period waited for together, one row each); the wait leaves
// room for a pass that was busy when the stop came.
constexpr int kDefaultStopWaitSeconds = 60;
constexpr char kStopWaitVariable[] = "KVRJOBSVC_STOP_WAIT_SECONDS";

// A healthy controller contacts the service in every pass and every few
// seconds within long steps, but a single step may legitimately keep it
// away: a statement may run into the 30 s statement timeout, a lost
// connection is noticed only after up to 30 s (TCP user timeout), a new
// connection tries each of two hosts for up to 10 s, ending the jobs waits
// up to 6 s, and the lost database is waited out 2 s between checks. That
// chain comes to about 60 s; twice as much keeps a controller under a busy
// or failing database from being ended for it, and still frees the queue
// lock of a hung one within about two minutes.
constexpr int kDefaultWatchSeconds = 120;

constexpr char kUsage[] =
    "usage: kvrjobsvc [--watch SECONDS] [INSTANCE] [-- COMMAND ARGS...]\n"
    "\n"
    "Answers the contacts of KVRJOBSTR on the socket kvrjobctl (or\n"
    "kvrjobctl<INSTANCE>). Given a command, runs it as a child and restarts it\n"
    "when it ends (after 1 s, doubling up to 60 s; back to 1 s after a minute\n"
    "of steady running). On SIGTERM or SIGINT it stops answering, waits for\n"
    "the child to exit, kills it if it is still there, and exits 0.\n"
    "\n"
    "  --watch SECONDS  a child that has not contacted the service for this\n"
    "                   long is ended (SIGTERM, SIGKILL after the stop wait)\n"
    "                   and started again (default 120; 0: never)\n"
    "\n"
    "Environment:\n"
    "  KVRJOBSVC_STOP_WAIT_SECONDS  seconds to wait for the child on stop\n"
    "                               (default 60)\n";

struct Options {
  std::string socketName = "kvrjobctl";
  int watchSeconds = kDefaultWatchSeconds;
  std::vector<std::string> command;
};

bool AllDigits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// 0: run; 1: help printed; 2: usage error.
int ParseOptions(int argc, char** argv, Options* options) {
  int i = 1;
  if (i < argc && (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 1;
  }
  if (i < argc && std::strcmp(argv[i], "--version") == 0) {
    std::printf("kvrjobsvc %s\n", kvr::kVersion);
    return 1;
  }
  if (i < argc && std::strcmp(argv[i], "--watch") == 0) {
    if (i + 1 >= argc || !AllDigits(argv[i + 1])) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    options->watchSeconds = kvr::LeadingNumber32(argv[i + 1]);
    i += 2;
  }
  if (i < argc && std::strcmp(argv[i], "--") != 0) {
    if (!AllDigits(argv[i])) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    // The same number the controller takes from the same argument.
    options->socketName += std::to_string(kvr::LeadingNumber32(argv[i]));
    ++i;
  }
  if (i < argc) {
    if (std::strcmp(argv[i], "--") != 0 || i + 1 >= argc) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    for (++i; i < argc; ++i) options->command.emplace_back(argv[i]);
  }
  return 0;
}

int StopWaitSeconds() {
  const char* text = std::getenv(kStopWaitVariable);
  if (text == nullptr || !AllDigits(text)) return kDefaultStopWaitSeconds;
  return kvr::LeadingNumber32(text);
}

int MinTimeout(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

// Serves until a stop signal arrives.
void Serve(int signalFd, kvrsvc::Responder& responder, kvrsvc::Supervisor& supervisor) {
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back(pollfd{signalFd, POLLIN, 0});
    size_t first = 0;
    int timeout = MinTimeout(responder.AddPollFds(&fds, &first), supervisor.Tick());
    int rc = poll(fds.data(), fds.size(), timeout);
    if (rc < 0 && errno != EINTR) {
      kvrsvc::Log("poll failed: %s", std::strerror(errno));
      return;
    }
    if (rc > 0 && fds[0].revents != 0) {
      signalfd_siginfo info;
      while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) return;
        if (info.ssi_signo == SIGCHLD) supervisor.Reap();
      }
    }
    responder.Handle(fds, first);  // events, or only time-outs
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int parsed = ParseOptions(argc, argv, &options);
  if (parsed == 1) return 0;
  if (parsed == 2) return 2;

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGCHLD);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signalFd < 0) {
    kvrsvc::Log("cannot take signals: %s", std::strerror(errno));
    return 1;
  }

  kvrsvc::Responder responder;
  if (!responder.Listen(options.socketName)) {
    int error = errno;
    kvrsvc::Log("cannot listen on %s in %s: %s%s", options.socketName.c_str(),
                kvr::ServiceSocketDir().c_str(), std::strerror(error),
                error == EADDRINUSE ? " (another kvrjobsvc serves this instance)"
                : error == EPERM    ? " (the folder must belong to this user, writable by no other;"
                                      " XDG_RUNTIME_DIR may name another)"
                                    : "");
    return 1;
  }
  kvrsvc::Log("listening on %s in %s", options.socketName.c_str(), kvr::ServiceSocketDir().c_str());

  const int stopWait = StopWaitSeconds();
  kvrsvc::Supervisor supervisor(options.command, options.watchSeconds, stopWait);
  responder.SetContactWatcher([&supervisor](pid_t peer) { supervisor.NoteContact(peer); });
  if (supervisor.hasCommand() && options.watchSeconds > 0) {
    kvrsvc::Log("a controller silent for %d s is ended and started again", options.watchSeconds);
  }
  supervisor.Start();
  Serve(signalFd, responder, supervisor);

  kvrsvc::Log("stopping");
  responder.Close();
  supervisor.Stop(signalFd, stopWait);
  kvrsvc::Log("stopped");
  close(signalFd);
  return 0;
}
