// Whether a controller works the queue, as kvrjobctl status answers it.
//
// The answer comes from two facts the controller leaves: its flag file NLF
// in the program directory while it runs, and the status row it rewrites
// with a blank status in every pass. The check marks the status row and
// watches for the controller's next pass to blank it again, so a flag file
// left behind by a killed controller is told apart from a working one.
#pragma once

#include <cstdint>
#include <string>

namespace kvr {
class Env;
class Session;
}  // namespace kvr

namespace kvr::ctl {

struct ControllerPresence {
  bool holding = false;     // a controller works the queue
  bool flagFile = false;    // NLF exists in the current directory
  bool statusRow = false;   // the status row exists
  bool probed = false;      // the status row was marked and watched
  int64_t answeredMs = -1;  // how soon a pass blanked the mark; -1: none
  std::string summary;      // one line for the operator, what to do included
};

// Marks the status row and waits up to waitMs for a pass to blank it
// (waitMs 0: no mark, the flag file alone answers). The mark is taken back
// when no pass came. Database errors make the answer "not known".
ControllerPresence CheckControllerPresence(Env& env, Session& session, int64_t waitMs);

}  // namespace kvr::ctl
