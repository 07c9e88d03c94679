// QueueWake: the session's wake source, one object for the session's life.
// It forwards to the source of the current connection: opened after each
// (re)connect when wake-ups are on, closed before the connection goes, so
// it never outlives the connection it borrows. Without a connection (or
// with wake-ups off) it has no descriptor and never wakes.
#pragma once

#include <memory>

#include "db/client/connection.h"
#include "platform/wake_source.h"

namespace kvr {

class QueueWake : public WakeSource {
 public:
  // Off by default; the controller turns it on before it connects.
  void SetEnabled(bool on) { enabled_ = on; }
  bool enabled() const { return enabled_; }
  // True while a source of the current connection is open.
  bool open() const { return source_ != nullptr; }

  // Session: after a connect, and before the connection is replaced.
  void Open(Connection& connection) { source_ = enabled_ ? connection.OpenWakeSource() : nullptr; }
  void Close() { source_.reset(); }

  int fd() const override { return source_ ? source_->fd() : -1; }
  bool Arm() override { return source_ ? source_->Arm() : false; }
  bool Confirm() override { return source_ ? source_->Confirm() : false; }
  int64_t RecheckInMs() const override { return source_ ? source_->RecheckInMs() : 0; }

 private:
  bool enabled_ = false;
  std::unique_ptr<WakeSource> source_;
};

}  // namespace kvr
