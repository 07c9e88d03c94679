#include "db/queue/queue_view.h"

#include <cstdio>
#include <ctime>
#include <set>

#include "db/client/connection.h"
#include "db/session.h"
#include "platform/clock.h"
#include "platform/env.h"

namespace kvr {

namespace {

constexpr char kColumns[] =
    "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBCMD ,JOBCDI ,JOBPRM ,JOBRUS ,JOBMRT ,JOBRTY ,JOBPRI ,"
    "JOBDLS ,JOBDLT ,JOBBEM ,JOBSCD ,JOBSTS ,JOBNAM ,JOBUSR ,JOBNUM ,JOBSDA ,JOBEDA ,JOBNRT ,"
    "JOBSTV  from KVSYSTEM.KVR500JOB";
constexpr std::string_view kStatusRunType99 = "99";
constexpr int32_t kMaxStartAttempts = 10;

int ReadRows(Session& session, const std::string& sql, std::span<const Bind> in,
             std::vector<JobRow>* rows) {
  JobRow r;
  const Out out[] = {
      Out::Text(r.jobda1), Out::Text(r.jobke2), Out::Text(r.joburv), Out::Text(r.jobcmd),
      Out::Text(r.jobcdi), Out::Text(r.jobprm), Out::Text(r.jobrus), Out::Int(&r.jobmrt),
      Out::Text(r.jobrty), Out::Int(&r.jobpri), Out::Int(&r.jobdls), Out::Text(r.jobdlt),
      Out::Text(r.jobbem), Out::Text(r.jobscd), Out::Text(r.jobsts), Out::Text(r.jobnam),
      Out::Text(r.jobusr), Out::Text(r.jobnum), Out::Text(r.jobsda), Out::Text(r.jobeda),
      Out::Text(r.jobnrt), Out::Int(&r.jobstv)};
  int rc = kSqlOk;
  std::unique_ptr<Cursor> cursor = session.db().Open(sql, in, &rc);
  if (!cursor) return rc;
  for (;;) {
    r.Clear();
    rc = cursor->Fetch(out);
    // A row with a number that cannot be read is shown with what can be.
    if (rc != kSqlOk && !IsRowFault(rc)) break;
    rows->push_back(r);
  }
  cursor->Close();
  return rc == kSqlNoData ? kSqlOk : rc;
}

bool Blank(std::string_view status) {
  return status.find_first_not_of(' ') == std::string_view::npos;
}

bool Ended(std::string_view status) { return status == kStatusGone || status == kStatusEnded; }

// State of a row whose status is not "01", by the rules of its run type.
RowState ByRunType(const JobRow& row, std::string_view now) {
  const std::string_view rty = row.jobrty.view(), sts = row.jobsts.view();
  const bool blank = Blank(sts);
  if (rty == kRunType01 || rty == kRunType05) {
    if (blank) {
      std::string_view dlt = row.jobdlt.view();
      bool come = rty == kRunType01 || dlt.empty() || dlt <= now;
      return come ? RowState::Due : RowState::Waiting;
    }
  } else if (rty == kRunType04 || rty == kRunType09) {
    if (blank || sts >= kStatusStartFailed) {
      bool given = rty == kRunType04 && row.jobstv > kMaxStartAttempts;
      return given ? RowState::Failed : RowState::Due;
    }
    return RowState::Idle;
  } else if (rty == kRunType03 || rty == kRunType07 || rty == kRunType08) {
    if (blank || sts == kStatusScheduled) {
      std::string_view nrt = row.jobnrt.view();
      return !nrt.empty() && nrt <= now ? RowState::Due : RowState::Waiting;
    }
    if (sts == kStatusNoFurtherRun) return RowState::Idle;
  } else {
    return RowState::Idle;  // 06, the status row, unknown run types
  }
  if (sts == kStatusStartFailed) return RowState::Failed;
  if (Ended(sts)) return RowState::Ended;
  return RowState::Idle;
}

// Run types whose selection leaves out the origins of the running jobs.
bool UsesExclusionList(std::string_view rty) {
  return rty == kRunType01 || rty == kRunType03 || rty == kRunType04 || rty == kRunType05;
}

}  // namespace

const char* RowStateName(RowState state) {
  switch (state) {
    case RowState::Running:
      return "running";
    case RowState::Due:
      return "due";
    case RowState::Held:
      return "held";
    case RowState::Waiting:
      return "waiting";
    case RowState::Failed:
      return "failed";
    case RowState::Ended:
      return "ended";
    case RowState::Idle:
      return "idle";
  }
  return "idle";
}

const char* RunTypeMeaning(std::string_view rty) {
  if (rty == kRunType01) return "single run";
  if (rty == kRunType03) return "timed";
  if (rty == kRunType04) return "standing";
  if (rty == kRunType05) return "exclusive";
  if (rty == kRunType06) return "not managed";
  if (rty == kRunType07) return "scheduled";
  if (rty == kRunType08) return "daily closing";
  if (rty == kRunType09) return "closing follow-up";
  if (rty == kStatusRunType99) return "status row";
  return "unknown run type";
}

const char* StatusMeaning(std::string_view sts) {
  if (sts.empty()) return "waiting";
  if (sts == kStatusWaitingAgain) return "waiting again";
  if (sts == kStatusScheduled) return "scheduled";
  if (sts == kStatusRunning) return "running";
  if (sts == kStatusStartFailed) return "start failed";
  if (sts == kStatusNoFurtherRun) return "no further run";
  if (sts == kStatusGone) return "ended";
  if (sts == kStatusEnded) return "ended by the controller";
  return "unknown status";
}

RowState ClassifyRow(const JobRow& row, std::string_view now) {
  const std::string_view rty = row.jobrty.view();
  if (rty == kRunType06 || rty == kStatusRunType99) return RowState::Idle;
  if (row.jobsts.view() == kStatusRunning) return RowState::Running;
  RowState state = ByRunType(row, now);
  // The start refuses a row whose attempts are above the limit.
  if (state == RowState::Due && row.jobstv > kMaxStartAttempts) return RowState::Failed;
  return state;
}

std::vector<RowState> ClassifyQueue(const std::vector<JobRow>& rows, std::string_view now) {
  std::vector<RowState> states;
  std::set<std::string_view> origins;
  bool anyRunning = false;
  for (const JobRow& row : rows) {
    states.push_back(ClassifyRow(row, now));
    if (states.back() != RowState::Running) continue;
    anyRunning = true;
    if (!row.joburv.view().empty()) origins.insert(row.joburv.view());
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string_view rty = rows[i].jobrty.view();
    if (states[i] != RowState::Due || !UsesExclusionList(rty)) continue;
    if (origins.count(rows[i].joburv.view()) != 0 || (rty == kRunType05 && anyRunning)) {
      states[i] = RowState::Held;
    }
  }
  return states;
}

QueueCounts CountStates(const std::vector<JobRow>& rows, const std::vector<RowState>& states) {
  QueueCounts c;
  for (size_t i = 0; i < rows.size() && i < states.size(); ++i) {
    if (rows[i].jobrty.view() == kStatusRunType99) continue;
    int* slot[] = {&c.running, &c.due, &c.held, &c.waiting, &c.failed, &c.ended, &c.idle};
    ++*slot[static_cast<int>(states[i])];
  }
  return c;
}

const std::string kReadAllRows = std::string(kColumns) + " order by JOBDA1 ,JOBKE2";
const std::string kReadRunTypeRows =
    std::string(kColumns) + " where JOBRTY=:b0 order by JOBDA1 ,JOBKE2";

int ReadQueueRows(Session& session, std::string_view runType, std::vector<JobRow>* rows) {
  if (runType.empty()) return ReadRows(session, kReadAllRows, {}, rows);
  const Bind in[] = {Bind::Text(runType)};
  return ReadRows(session, kReadRunTypeRows, in, rows);
}

const std::string kReadNamedRows = std::string(kColumns) + " where JOBKE2=:b0 order by JOBDA1";

int ReadQueueRowsNamed(Session& session, std::string_view name, std::vector<JobRow>* rows) {
  const Bind in[] = {Bind::Text(name)};
  return ReadRows(session, kReadNamedRows, in, rows);
}

void AppendQueueViewStatements(StatementList* list) {
  list->insert(list->end(), {{"ReadAllRows", kReadAllRows},
                             {"ReadRunTypeRows", kReadRunTypeRows},
                             {"ReadNamedRows", kReadNamedRows}});
}

int64_t SecondsBetween(Env& env, std::string_view from, std::string_view to) {
  auto parse = [&env](std::string_view t, int64_t* out) {
    if (t.size() != 14 || t.find_first_not_of("0123456789") != std::string_view::npos) return false;
    auto num = [t](size_t at, size_t n) { return std::stoi(std::string(t.substr(at, n))); };
    std::tm tm{};
    tm.tm_year = num(0, 4) - 1900;
    tm.tm_mon = num(4, 2) - 1;
    tm.tm_mday = num(6, 2);
    tm.tm_hour = num(8, 2);
    tm.tm_min = num(10, 2);
    tm.tm_sec = num(12, 2);
    tm.tm_isdst = -1;
    *out = env.MakeLocalTime(tm);
    return true;
  };
  int64_t a = 0, b = 0;
  if (!parse(from, &a) || !parse(to, &b)) return -1;
  return b - a;
}

std::string FormatDuration(int64_t s) {
  char text[48];
  if (s < 60) {
    std::snprintf(text, sizeof text, "%llds", static_cast<long long>(s));
  } else if (s < 3600) {
    std::snprintf(text, sizeof text, "%lldm%02llds", static_cast<long long>(s / 60),
                  static_cast<long long>(s % 60));
  } else if (s < 86400) {
    std::snprintf(text, sizeof text, "%lldh%02lldm", static_cast<long long>(s / 3600),
                  static_cast<long long>(s % 3600 / 60));
  } else {
    std::snprintf(text, sizeof text, "%lldd%02lldh", static_cast<long long>(s / 86400),
                  static_cast<long long>(s % 86400 / 3600));
  }
  return text;
}

std::string FormatTimestamp(std::string_view t) {
  if (t.size() != 14 || t.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::string(t);
  }
  std::string s(t.substr(0, 4));
  s += '-';
  s += t.substr(4, 2);
  s += '-';
  s += t.substr(6, 2);
  s += ' ';
  s += t.substr(8, 2);
  s += ':';
  s += t.substr(10, 2);
  s += ':';
  s += t.substr(12, 2);
  return s;
}

}  // namespace kvr
