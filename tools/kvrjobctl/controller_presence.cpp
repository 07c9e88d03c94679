#include "controller_presence.h"

#include <cstdio>

#include "db/client/connection.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "platform/env.h"

namespace kvr::ctl {

namespace {

constexpr char kFlagFile[] = "NLF";
// Not a status the controller's selections or its process table know.
constexpr std::string_view kProbeStatus = "CK";
constexpr int64_t kPollMs = 100;

constexpr char kReadStatusRow[] =
    "select JOBSTS  from KVSYSTEM.KVR500JOB where (JOBDA1=:b0 and JOBKE2=:b1)";
constexpr char kTakeBackProbe[] =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0 where ((JOBDA1=:b1 and JOBKE2=:b2) and "
    "JOBSTS=:b3)";

// 0 with *status filled, 1403 without a status row, or the error.
int ReadStatusRow(Session& session, FixedText<2>* status) {
  *status = "";
  const Bind in[] = {Bind::Text(kStatusRowDa1), Bind::Text(kStatusRowKe2)};
  const Out out[] = {Out::Text(*status)};
  int rc = session.db().SelectOne(kReadStatusRow, in, out);
  session.SQLCommit();  // a later read must see the controller's new commits
  return rc;
}

// Marks the row and polls; the time until a pass blanked it, or -1.
int64_t Probe(Env& env, Session& session, int64_t waitMs, int* rc) {
  *rc = SQLUpdateJobStatus(session, kProbeStatus, kStatusRowDa1, kStatusRowKe2);
  if (*rc == kSqlOk) *rc = session.SQLCommit();
  if (*rc != kSqlOk) return -1;
  const int64_t start = env.SteadyMillis();
  FixedText<2> status;
  for (;;) {
    env.SleepMs(kPollMs);
    *rc = ReadStatusRow(session, &status);
    if (*rc != kSqlOk) return -1;
    const int64_t elapsed = env.SteadyMillis() - start;
    if (status.view() != kProbeStatus) return elapsed;
    if (elapsed >= waitMs) break;
  }
  const Bind in[] = {Bind::Text(kStatusWaiting), Bind::Text(kStatusRowDa1),
                     Bind::Text(kStatusRowKe2), Bind::Text(kProbeStatus)};
  session.db().Execute(kTakeBackProbe, in);
  session.SQLCommit();
  return -1;
}

std::string Summarize(const ControllerPresence& p, int64_t waitMs) {
  char line[400];
  if (!p.statusRow) {
    std::snprintf(line, sizeof line, "no controller has worked this queue yet (no status row)%s",
                  p.flagFile ? ", but the flag file NLF is here: look into KVRJOBCTL.LOG"
                             : ": start one, e.g. systemctl start kvrjobsvc@N");
  } else if (!p.probed) {
    std::snprintf(line, sizeof line, "%s (flag file only, not checked in the queue)",
                  p.flagFile ? "a controller runs from this directory"
                             : "no controller runs from this directory");
  } else if (p.holding) {
    std::snprintf(line, sizeof line, "a controller works the queue (its pass answered in %.1f s)%s",
                  static_cast<double>(p.answeredMs) / 1000.0,
                  p.flagFile ? "" : ", from another directory: there is no flag file NLF here");
  } else if (p.flagFile) {
    std::snprintf(line, sizeof line,
                  "the flag file NLF is here, but no pass came within %.0f s: the controller "
                  "has stopped without cleaning up, hangs or has lost the database; see "
                  "KVRJOBCTL.LOG and journalctl -u kvrjobsvc@N",
                  static_cast<double>(waitMs) / 1000.0);
  } else {
    std::snprintf(line, sizeof line,
                  "no controller works the queue (no pass within %.0f s, no flag file NLF): "
                  "start one, e.g. systemctl start kvrjobsvc@N",
                  static_cast<double>(waitMs) / 1000.0);
  }
  return line;
}

}  // namespace

// The queue lock of the controller, where the engine gives one, answers
// this question directly and belongs here, before the status-row probe;
// the probe stays the answer where no lock can be asked.
ControllerPresence CheckControllerPresence(Env& env, Session& session, int64_t waitMs) {
  ControllerPresence p;
  p.flagFile = env.FileReadable(kFlagFile);
  FixedText<2> status;
  int rc = ReadStatusRow(session, &status);
  if (rc != kSqlOk && rc != kSqlNoData) {
    p.summary = "not known: the status row cannot be read";
    return p;
  }
  p.statusRow = rc == kSqlOk;
  if (p.statusRow && waitMs > 0) {
    p.probed = true;
    p.answeredMs = Probe(env, session, waitMs, &rc);
    if (rc != kSqlOk) {
      p.probed = false;
      p.summary = "not known: the status row cannot be written";
      return p;
    }
    p.holding = p.answeredMs >= 0;
  } else {
    p.holding = p.statusRow && p.flagFile;
  }
  p.summary = Summarize(p, waitMs);
  return p;
}

}  // namespace kvr::ctl
