#include "controller_presence.h"

#include <cstdio>

#include "db/client/connection.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "platform/env.h"

namespace kvr::ctl {

namespace {

constexpr char kFlagFile[] = "NLF";
constexpr char kProgramWord[] = "kvrjobctl";
constexpr int64_t kPollMs = 200;

constexpr char kReadStatusRow[] =
    "select JOBSTS  from KVSYSTEM.KVR500JOB where (JOBDA1=:b0 and JOBKE2=:b1)";

// 0 when the status row exists, 1403 without it, or the error.
int ReadStatusRow(Session& session) {
  FixedText<2> status;
  const Bind in[] = {Bind::Text(kStatusRowDa1), Bind::Text(kStatusRowKe2)};
  const Out out[] = {Out::Text(status)};
  int rc = session.db().SelectOne(kReadStatusRow, in, out);
  session.SQLCommit();
  return rc;
}

// One try; a lock that was got is given back at once.
QueueLockResult AskLock(Env& env, Session& session) {
  QueueLockRequest request;
  request.program = kProgramWord;
  request.holder = env.HostName() + " " + std::to_string(static_cast<long>(env.SelfPid())) +
                   " (kvrjobctl status)";
  request.queueSchema = std::string(kQueueSchema);
  QueueLockResult r = session.db().TryQueueLock(env, request);
  if (r.held()) session.db().ReleaseQueueLock();
  session.SQLCommit();
  return r;
}

std::string Summarize(const ControllerPresence& p) {
  char line[400];
  if (p.holding) {
    std::snprintf(line, sizeof line, "a controller works the queue (%s)%s",
                  p.holder.empty() ? "holder not named" : p.holder.c_str(),
                  p.flagFile ? "" : ", from another directory: there is no flag file NLF here");
  } else if (!p.statusRow) {
    std::snprintf(line, sizeof line, "no controller has worked this queue yet (no status row)%s",
                  p.flagFile ? ", but the flag file NLF is here: look into KVRJOBCTL.LOG"
                             : ": start one, e.g. systemctl start kvrjobsvc@N");
  } else if (p.flagFile) {
    std::snprintf(line, sizeof line,
                  "the flag file NLF is here, but no controller holds the queue: the controller "
                  "has stopped without cleaning up; see KVRJOBCTL.LOG and journalctl -u "
                  "kvrjobsvc@N");
  } else {
    std::snprintf(line, sizeof line,
                  "no controller works the queue (none holds it, no flag file NLF): start one, "
                  "e.g. systemctl start kvrjobsvc@N");
  }
  return line;
}

}  // namespace

ControllerPresence CheckControllerPresence(Env& env, Session& session, int64_t waitMs) {
  ControllerPresence p;
  p.flagFile = env.FileReadable(kFlagFile);
  int rc = ReadStatusRow(session);
  if (rc != kSqlOk && rc != kSqlNoData) {
    p.summary = "not known: the status row cannot be read";
    return p;
  }
  p.statusRow = rc == kSqlOk;
  const int64_t start = env.SteadyMillis();
  QueueLockResult lock = AskLock(env, session);
  while (lock.state == QueueLockState::Held && env.SteadyMillis() - start < waitMs) {
    env.SleepMs(kPollMs);
    lock = AskLock(env, session);
  }
  if (lock.state == QueueLockState::Failed) {
    p.summary = "not known: the queue lock cannot be asked (" + lock.error + ")";
    return p;
  }
  p.known = true;
  p.holding = lock.state == QueueLockState::Busy;
  p.holder = lock.holder;
  p.summary = Summarize(p);
  return p;
}

}  // namespace kvr::ctl
