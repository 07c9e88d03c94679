// JobIdentity: which process is a job's. A process is the job's when it
// carries the job's mark (this controller's queue and instance, the row's
// key and start time); from then on the id and the creation name it. The
// job's tree is its process group, every process with the job's mark
// that has left the group, and the processes descending from these through
// their parents.
#include "exec/job_identity.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "exec/exec_text.h"

namespace kvr {

JobIdentity::JobIdentity(Env& env, MarkOwner owner) : env_(env), owner_(std::move(owner)) {}

void JobIdentity::SetMarkQueue(const std::string& service) {
  constexpr std::string_view kSqlite = "sqlite:";
  std::string queue = NativePath(service);
  if (queue.rfind(kSqlite, 0) == 0 && queue.size() > kSqlite.size() &&
      queue[kSqlite.size()] != '/') {
    queue.insert(kSqlite.size(), env_.CurrentDir() + "/");
  }
  owner_.queue = queue;
}

Identity JobIdentity::Identify(const ProcessEntry& entry, std::string* why) {
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

std::vector<MarkedProcess> JobIdentity::MarkedProcesses() {
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

std::vector<ProcessRef> JobIdentity::JobTree(const ProcessEntry& entry,
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
std::vector<ProcessRef> JobIdentity::DescendantsOf(const std::vector<ProcessRef>& roots) {
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

void JobIdentity::EndJob(const ProcessEntry& entry, int pauseMs) {
  if (entry.pid > 1 && entry.pid != env_.SelfPid()) {
    std::vector<ProcessRef> tree = JobTree(entry, MarkedProcesses());
    for (const ProcessRef& ref : DescendantsOf(tree)) tree.push_back(ref);
    env_.EndProcesses(tree);
  }
  if (pauseMs > 0) env_.SleepMs(pauseMs);
}

}  // namespace kvr
