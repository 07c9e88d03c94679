// Controller: the queue lock and the standby. A controller without the lock
// keeps its service contacts and asks for the lock once a pass; it writes
// nothing to the database and posts no messages until it has it.
#include <cstdio>
#include <string>

#include "controller/controller.h"
#include "db/queue/job_table.h"
#include "housekeeping/flag_file.h"

namespace kvr {

namespace {

constexpr char kProgramWord[] = "KVRJOBSTR";
constexpr char kStandbyLabel[] = "Bereitschaft!";
constexpr char kUnknownHolder[] = "unbekannt";

constexpr char kStandbyFormat[] =
    "Warteschlange wird bereits von einem anderen Jobcontroller bearbeitet, warte als "
    "Bereitschaft! (%s)\n";
constexpr char kLockFailedFormat[] =
    "Sperre der Warteschlange nicht m\xF6"
    "glich, warte als Bereitschaft! (%s)\n";
constexpr char kTakeOverText[] =
    "Sperre der Warteschlange erhalten, Jobcontroller beginnt die Verarbeitung!\n";
constexpr char kStandbyEndText[] = "Jobcontroller in Bereitschaft wird beendet!\n";

}  // namespace

QueueLockRequest Controller::LockRequest() {
  QueueLockRequest request;
  request.program = kProgramWord;
  request.holder = QueueLockHolder(env_);
  request.queueSchema = std::string(kQueueSchema);
  return request;
}

// afterRunning: the controller worked the queue until a reconnect found the
// lock taken. Its jobs are left running: their rows name them, so the
// holder adopts them as a restarted controller does, and this one neither
// supervises nor ends them any more.
void Controller::EnterStandby(bool afterRunning) {
  standby_ = true;
  world_.contact().SetPaceWait(nullptr);  // the holder's work wakes the holder only
  if (afterRunning) {
    world_.executor().ClearProcessTable();
    world_.executor().ClearSavedProcessTable();
    DeleteFlagFile(env_, world_.log(), kFlagFileName);
  }
  connectionGood_ = true;
  failedChecks_ = 0;
  NoteStandby(world_.session().queueLock());
}

// One line when the standby begins, and again only when its reason (the
// holder, or the failure) changes.
void Controller::NoteStandby(const QueueLockResult& lock) {
  const bool busy = lock.state == QueueLockState::Busy;
  std::string about =
      busy ? (lock.holder.empty() ? std::string(kUnknownHolder) : lock.holder) : lock.error;
  std::string note = (busy ? "B " : "F ") + about;
  if (note == standbyNote_) return;
  standbyNote_ = note;
  char line[512];
  std::snprintf(line, sizeof line, busy ? kStandbyFormat : kLockFailedFormat, about.c_str());
  world_.log().Main(line);
  env_.ConsoleWrite(line);
}

bool Controller::StandbyPass() {
  if (!world_.contact().Contact(kStandbyLabel, true)) return false;
  // Jobs left from before a fall back to standby are still children.
  env_.ReapChildren();
  const QueueLockResult& lock = world_.session().TryQueueLock();
  if (!lock.held()) {
    NoteStandby(lock);
    return true;
  }
  standby_ = false;
  standbyNote_.clear();
  world_.contact().SetPaceWait(paceWait());
  world_.log().Main(kTakeOverText);
  env_.ConsoleWrite(kTakeOverText);
  if (!StartFromDatabase()) {
    stoppedInStartUp_ = true;
    return false;
  }
  return true;
}

void Controller::ShutDownStandby() {
  world_.log().Main(kStandbyEndText);
  world_.poster().FreeStrNachricht();
}

}  // namespace kvr
