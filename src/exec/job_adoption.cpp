// JobAdoption: at start-up the marked processes whose rows do not name
// them are adopted by their rows; those of a run already ended are ended.
#include "exec/job_adoption.h"

#include <string>

#include "core/logger.h"
#include "db/client/connection.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "exec/exec_text.h"

namespace kvr {

namespace {

constexpr char kAdopted[] = "Job %s %s: process %d of the start at %s taken over after restart\n";
constexpr char kNoRowToAdopt[] =
    "Job %s %s: process %d carries the job's mark, no row; left alone\n";
constexpr char kAdoptFailed[] = "Job %s %s: process %d not taken over, update RC: %ld\n";
constexpr char kOutlivedEnd[] =
    "Job %s %s: process %d of the start at %s outlived the end of its run; ended now\n";

constexpr char kReadJobRun[] =
    "select JOBSTS ,JOBNUM ,JOBSDA into :b0:b1,:b2:b3,:b4:b5  from KVSYSTEM.KVR500JOB where "
    "(JOBDA1=:b6 and JOBKE2=:b7)";

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

void AppendJobAdoptionStatements(StatementList* list) {
  list->push_back({"ReadJobRun", kReadJobRun});
}

JobAdoption::JobAdoption(Env& env, Logger& log, Session& session, JobIdentity& identity)
    : env_(env), log_(log), session_(session), identity_(identity) {}

// The first process of each job (the earliest created of its mark) is the
// job's own; its descendants carry the same mark.
int JobAdoption::AdoptMarkedProcesses() {
  std::vector<MarkedProcess> marked = identity_.MarkedProcesses();
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
bool JobAdoption::AdoptOne(const MarkedProcess& p, const std::vector<MarkedProcess>& marked) {
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
    std::vector<ProcessRef> tree = identity_.JobTree(entry, marked);
    for (const ProcessRef& ref : identity_.DescendantsOf(tree)) tree.push_back(ref);
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
