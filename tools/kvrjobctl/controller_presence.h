// Whether a controller works the queue, as kvrjobctl status answers it.
//
// The answer comes from the queue lock the working controller holds: a try
// that gets the lock shows that none holds it (the lock is given back at
// once), a refused one names the holder ("host pid"). The flag file NLF of
// the current directory and the status row only add to the operator's line.
// The check writes nothing to the queue.
#pragma once

#include <cstdint>
#include <string>

namespace kvr {
class Env;
class Session;
}  // namespace kvr

namespace kvr::ctl {

struct ControllerPresence {
  bool known = false;      // the lock could be asked
  bool holding = false;    // a controller holds the queue
  std::string holder;      // its "host pid" when holding (may be empty)
  bool flagFile = false;   // NLF exists in the current directory
  bool statusRow = false;  // the status row exists (a controller has worked the queue)
  std::string summary;     // one line for the operator, what to do included
};

// Asks the lock; when it is free, asks again for up to waitMs (a controller
// that is just starting or taking over).
ControllerPresence CheckControllerPresence(Env& env, Session& session, int64_t waitMs);

}  // namespace kvr::ctl
