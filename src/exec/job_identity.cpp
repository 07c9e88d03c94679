// JobExecutor: which process is a job's. A process is the job's when it
// carries the job's mark (this controller's queue and instance, the row's
// key and start time); from then on the id and the creation name it. The
// job's tree is its process group, every process with the job's mark
// that has left the group, and the processes descending from these through
// their parents. At start-up the marked processes whose rows do
// not name them are adopted by their rows. A job's end is written only onto
// the row of that run, never onto a later run of the same row.
#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/logger.h"
#include "db/client/connection.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "exec/exec_text.h"
#include "exec/job_executor.h"

namespace kvr {

namespace {

constexpr char kForeignProcess[] =
    "Job %s %s: process %d is not this job's (%s); row closed as ended, process left alone\n";
constexpr char kAdopted[] = "Job %s %s: process %d of the start at %s taken over after restart\n";
constexpr char kNoRowToAdopt[] =
    "Job %s %s: process %d carries the job's mark, no row; left alone\n";
constexpr char kAdoptFailed[] = "Job %s %s: process %d not taken over, update RC: %ld\n";
constexpr char kOutlivedEnd[] =
    "Job %s %s: process %d of the start at %s outlived the end of its run; ended now\n";

constexpr char kReadJobRun[] =
    "select JOBSTS ,JOBNUM ,JOBSDA into :b0:b1,:b2:b3,:b4:b5  from KVSYSTEM.KVR500JOB where "
    "(JOBDA1=:b6 and JOBKE2=:b7)";

// The end of one run: the row must still be running with the entry's
// process id (or the "0" of its claim, as long as the id is not written or
// not committed) and the entry's start time. An entry of an earlier run (kept in the saved copy
// of the table) thus never closes the row's later run.
constexpr char kCloseRun[] =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNAM=:b1,JOBUSR=:b2,JOBNUM=:b3,JOBSDA=:b4,"
    "JOBEDA=:b5,JOBSTV=:b6 where ((JOBDA1=:b7 and JOBKE2=:b8) and JOBSTS='01' and "
    "rtrim(JOBNUM) in (:b9,:b10) and (rtrim(JOBSDA)=:b11 or JOBSDA is null))";
constexpr char kRunNotClosed[] =
    "Job %s %s: the row no longer runs process %s of the start at %s; end not written\n";

struct JobRun {
  FixedText<2> jobsts;
  FixedText<8> jobnum;
  FixedText<14> jobsda;
};

int ReadJobRun(Session& session, std::string_view da1, std::string_view ke2, JobRun* run) {
  FixedText<14> key1(da1);
  FixedText<32> key2(ke2);
  const Bind in[] = {Bind::Text(key1), Bind::Text(key2)};
  const Out out[] = {Out::Text(run->jobsts), Out::Text(run->jobnum), Out::Text(run->jobsda)};
  return session.db().SelectOne(kReadJobRun, in, out);
}

}  // namespace

void AppendJobIdentityStatements(StatementList* list) {
  list->push_back({"ReadJobRun", kReadJobRun});
  list->push_back({"CloseJobRun", kCloseRun});
}

namespace {

// The run history's word for how a job ended.
std::string_view RunEndOf(const JobEnding& ending) {
  switch (ending.kind) {
    case JobEnding::kExited:
      return kRunExit;
    case JobEnding::kSignaled:
      return kRunSignal;
    case JobEnding::kOverrun:
      return kRunOverrun;
    case JobEnding::kShutDown:
      return kRunShutdown;
    case JobEnding::kDatabaseLost:
      return kRunDbLost;
    case JobEnding::kUnknownAfterRestart:
    case JobEnding::kUnknown:
      break;
  }
  return kRunUnknown;
}

}  // namespace

// A row no longer in this run (closed by another program, or started again
// since the entry was taken) is left as it is, with a line; the caller
// goes on as after a written end.
int JobExecutor::WriteEnd(ProcessEntry& entry, std::string_view status, JobEnding ending) {
  entry.jobeda = TimeStamp14(env_, env_.Now());
  entry.jobsts = status;
  FixedText<2> sts(status);
  FixedText<8> num(entry.jobnum.view()), claim(kClaimedJobNum);
  if (entry.idUnwritten && entry.pid != 0) num = std::to_string(entry.pid);
  FixedText<14> sda(TrimmedRight(entry.jobsda.view()));
  const Bind in[] = {Bind::Text(sts),          Bind::Text(entry.jobnam), Bind::Text(entry.jobusr),
                     Bind::Text(entry.jobnum), Bind::Text(entry.jobsda), Bind::Text(entry.jobeda),
                     Bind::Int(entry.jobstv),  Bind::Text(entry.jobda1), Bind::Text(entry.jobke2),
                     Bind::Text(num),          Bind::Text(claim),        Bind::Text(sda)};
  int rc = session_.db().Execute(kCloseRun, in);
  // An end stays known until it is durable.
  session_.endedRows().Note(rc, sts.view(), entry.jobnam.view(), entry.jobusr.view(),
                            entry.jobnum.view(), entry.jobsda.view(), entry.jobeda.view(),
                            entry.jobstv, entry.jobda1.view(), entry.jobke2.view());
  if (rc == kSqlNoData) {
    log_.MainF(kRunNotClosed, entry.jobda1.c_str(), entry.jobke2.c_str(), num.c_str(),
               entry.jobsda.c_str());
    return 0;
  }
  // Committed with the row; kept for later while the connection is gone.
  if (rc == 0 || rc == kSqlNotConnected) {
    history_.Record(entry, RunEndOf(ending), ending.code);
  }
  return rc;
}

void JobExecutor::SetMarkQueue(const std::string& service) {
  constexpr std::string_view kSqlite = "sqlite:";
  std::string queue = NativePath(service);
  if (queue.rfind(kSqlite, 0) == 0 && queue.size() > kSqlite.size() &&
      queue[kSqlite.size()] != '/') {
    queue.insert(kSqlite.size(), env_.CurrentDir() + "/");
  }
  owner_.queue = queue;
}

JobExecutor::Identity JobExecutor::Identify(const ProcessEntry& entry, std::string* why) {
  int error = 0;
  auto environment = env_.ProcessEnvironment(entry.pid, &error);
  if (!environment) {
    if (error == ESRCH || error == ENOENT) return Identity::kGone;
    *why = BoundedPrintf("its mark cannot be read: %s", std::strerror(error));
    return Identity::kForeign;
  }
  auto mark = JobMarkOf(*environment);
  if (!mark) return Identity::kUnmarked;
  if (!SameOwner(mark->owner, owner_)) {
    *why = "it carries the mark of another queue";
    return Identity::kForeign;
  }
  if (!mark->SameRun(entry.jobda1.view(), entry.jobke2.view(), entry.jobsda.view())) {
    *why = BoundedPrintf("it carries the mark of job %s %s started at %s", mark->jobda1.c_str(),
                         mark->jobke2.c_str(), mark->jobsda.c_str());
    return Identity::kForeign;
  }
  return Identity::kOwn;
}

std::vector<JobExecutor::MarkedProcess> JobExecutor::MarkedProcesses() {
  std::vector<MarkedProcess> marked;
  for (Pid pid : env_.OwnProcesses()) {
    auto environment = env_.ProcessEnvironment(pid);
    if (!environment) continue;
    auto mark = JobMarkOf(*environment);
    if (!mark || !SameOwner(mark->owner, owner_)) continue;
    auto stat = env_.ReadProcessStat(pid);
    if (!stat || !stat->alive) continue;
    marked.push_back({pid, *stat, std::move(*mark)});
  }
  return marked;
}

std::vector<ProcessRef> JobExecutor::JobTree(const ProcessEntry& entry,
                                             const std::vector<MarkedProcess>& marked) {
  std::vector<ProcessRef> tree{{entry.pid, entry.startTicks}};
  for (const MarkedProcess& p : marked) {
    if (p.pid == entry.pid || p.stat.group == entry.pid) continue;  // reached through the group
    if (p.mark.SameRun(entry.jobda1.view(), entry.jobke2.view(), entry.jobsda.view())) {
      tree.push_back({p.pid, p.stat.startTicks});
    }
  }
  return tree;
}

// A child counts only while its parent is still the tree's process after
// the child was read: an id is not handed on while its process lives, so a
// process whose parent took a freed id is never taken. Children inside a
// group whose leader is in the tree are passed through, not named (the
// group's signal reaches them).
std::vector<ProcessRef> JobExecutor::DescendantsOf(const std::vector<ProcessRef>& roots) {
  std::unordered_multimap<Pid, std::pair<Pid, ProcessStat>> children;
  for (Pid pid : env_.OwnProcesses()) {
    auto stat = env_.ReadProcessStat(pid);
    if (stat && stat->alive && stat->parent > 1)
      children.emplace(stat->parent, std::pair(pid, *stat));
  }
  std::vector<ProcessRef> tree = roots, found;
  std::unordered_set<Pid> inTree;
  for (const ProcessRef& r : roots) inTree.insert(r.pid);
  for (std::size_t next = 0; next < tree.size() && !children.empty(); ++next) {
    const ProcessRef parent = tree[next];
    auto [first, last] = children.equal_range(parent.pid);
    if (first == last || parent.startTicks == 0) continue;
    auto again = env_.ReadProcessStat(parent.pid);
    if (!again || again->startTicks != parent.startTicks) continue;
    for (auto it = first; it != last; ++it) {
      const auto& [pid, stat] = it->second;
      if (!inTree.insert(pid).second) continue;
      tree.push_back({pid, stat.startTicks});
      if (stat.group == pid || inTree.count(stat.group) == 0) found.push_back(tree.back());
    }
  }
  return found;
}

void JobExecutor::EndJob(const ProcessEntry& entry, int pauseMs) {
  if (entry.pid > 1 && entry.pid != env_.SelfPid()) {
    std::vector<ProcessRef> tree = JobTree(entry, MarkedProcesses());
    for (const ProcessRef& ref : DescendantsOf(tree)) tree.push_back(ref);
    env_.EndProcesses(tree);
  }
  if (pauseMs > 0) env_.SleepMs(pauseMs);
}

void JobExecutor::CloseForeign(ProcessEntry& entry, const std::string& why) {
  log_.MainF(kForeignProcess, entry.jobda1.c_str(), entry.jobke2.c_str(),
             static_cast<int>(entry.pid), why.c_str());
  CloseEntry(entry, kStatusGone, JobEnding{}, nullptr, nullptr);
}

// The first process of each job (the earliest created of its mark) is the
// job's own; its descendants carry the same mark.
int JobExecutor::AdoptMarkedProcesses() {
  std::vector<MarkedProcess> marked = MarkedProcesses();
  int adopted = 0;
  for (const MarkedProcess& p : marked) {
    bool first = true;
    for (const MarkedProcess& q : marked) {
      if (q.pid != p.pid && q.mark.SameRun(p.mark.jobda1, p.mark.jobke2, p.mark.jobsda) &&
          q.stat.startTicks <= p.stat.startTicks &&
          (q.stat.startTicks < p.stat.startTicks || q.pid < p.pid)) {
        first = false;
      }
    }
    if (first && AdoptOne(p, marked)) ++adopted;
  }
  return adopted;
}

// The row names the process already, or a live process of a later start:
// nothing to do. A row whose run was ended ("99" with the mark's start: a
// controller died between writing the end and signalling the job, or
// before the job's grace ran out) gets its job ended now, with its tree.
// Otherwise the row becomes "01" with the process.
bool JobExecutor::AdoptOne(const MarkedProcess& p, const std::vector<MarkedProcess>& marked) {
  const JobMark& m = p.mark;
  JobRun run;
  int rc = ReadJobRun(session_, m.jobda1, m.jobke2, &run);
  if (rc == kSqlNoData) {
    log_.MainF(kNoRowToAdopt, m.jobda1.c_str(), m.jobke2.c_str(), p.pid);
    return false;
  }
  if (rc != 0) return false;
  std::string_view num = TrimmedRight(run.jobnum.view());
  bool running = run.jobsts.view() == kStatusRunning;
  if (running && PidFromJobNum(num) == p.pid) return false;
  if (running && run.jobsda.view() != m.jobsda && PidFromJobNum(num) > 1) return false;
  if (run.jobsts.view() == kStatusEnded && TrimmedRight(run.jobsda.view()) == m.jobsda) {
    log_.Main(
        BoundedPrintf(kOutlivedEnd, m.jobda1.c_str(), m.jobke2.c_str(), p.pid, m.jobsda.c_str()));
    ProcessEntry entry;
    entry.pid = p.pid;
    entry.startTicks = p.stat.startTicks;
    entry.jobda1 = m.jobda1;
    entry.jobke2 = m.jobke2;
    entry.jobsda = m.jobsda;
    std::vector<ProcessRef> tree = JobTree(entry, marked);
    for (const ProcessRef& ref : DescendantsOf(tree)) tree.push_back(ref);
    env_.EndProcesses(tree);
    return false;
  }
  std::string name = "unknown";
  if (auto image = env_.ProcessImageOf(p.pid)) name = ToLowerAscii(image->baseName);
  std::string pid = std::to_string(p.pid);
  rc = SQLUpdateJobRun(session_, {.da1 = m.jobda1,
                                  .ke2 = m.jobke2,
                                  .status = kStatusRunning,
                                  .name = name,
                                  .num = pid,
                                  .sda = m.jobsda,
                                  .stv = 1});
  if (rc != 0) {
    log_.MainF(kAdoptFailed, m.jobda1.c_str(), m.jobke2.c_str(), p.pid, static_cast<long>(rc));
    return false;
  }
  session_.SQLCommit();
  log_.MainF(kAdopted, m.jobda1.c_str(), m.jobke2.c_str(), p.pid, m.jobsda.c_str());
  return true;
}

}  // namespace kvr
