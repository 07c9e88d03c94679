// The signal set-up of a child made with posix_spawn, shared by the job
// processes of the controller and by the service's controller child: an
// empty signal mask and the default disposition of every signal a parent of
// this system blocks, ignores or handles, so a child starts as one made from
// a shell would.
#pragma once

#include <spawn.h>

namespace kvr {

// Sets mask and dispositions on the attributes; extraFlags (for instance
// POSIX_SPAWN_SETPGROUP) are set together with the signal flags.
void SetChildSignals(posix_spawnattr_t* attr, short extraFlags = 0);

}  // namespace kvr
