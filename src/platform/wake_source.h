// WakeSource: something outside the controller that can tell it there is
// new work, through a descriptor that becomes readable (a database
// connection's notifications, a watched file). The pace wait polls the
// descriptor and asks the source what it means; a source never blocks.
#pragma once

#include <cstdint>

namespace kvr {

class WakeSource {
 public:
  virtual ~WakeSource() = default;
  // The descriptor to poll for reading; -1 when there is none (not open,
  // or lost).
  virtual int fd() const = 0;
  // Before a wait: takes in what is pending. True when new work is known
  // already (it came while the pass ran).
  virtual bool Arm() = 0;
  // The descriptor is readable: takes in what came. True when it is new
  // work of another program, or when the source was lost (the next pass
  // then finds out what happened). Leaves the descriptor drained.
  virtual bool Confirm() = 0;
  // After a Confirm that found nothing: in how many milliseconds Confirm
  // should be asked again, as the news may follow the descriptor's event by
  // a moment (an SQLite commit becomes visible only once its log has
  // reached the disk); 0 when it need not be.
  virtual int64_t RecheckInMs() const { return 0; }
};

}  // namespace kvr
