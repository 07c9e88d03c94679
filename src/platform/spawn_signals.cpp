#include "platform/spawn_signals.h"

#include <signal.h>

#include <initializer_list>

namespace kvr {

void SetChildSignals(posix_spawnattr_t* attr, short extraFlags) {
  sigset_t mask;
  sigemptyset(&mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGPIPE, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD}) {
    sigaddset(&defaults, sig);
  }
  posix_spawnattr_setsigmask(attr, &mask);
  posix_spawnattr_setsigdefault(attr, &defaults);
  posix_spawnattr_setflags(
      attr, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extraFlags));
}

}  // namespace kvr
