#include "platform/job_mark.h"

#include <iterator>

namespace kvr {

bool SameOwner(const MarkOwner& a, const MarkOwner& b) { return a.queue == b.queue; }

std::vector<std::string> JobMarkEnvironment(const JobMark& mark) {
  auto var = [](const char* name, const std::string& value) {
    return std::string(name) + "=" + value;
  };
  return {var(kMarkQueue, mark.owner.queue), var(kMarkInstance, mark.owner.instance),
          var(kMarkJobda1, mark.jobda1), var(kMarkJobke2, mark.jobke2),
          var(kMarkJobsda, mark.jobsda)};
}

std::optional<JobMark> JobMarkOf(std::string_view environment) {
  JobMark mark;
  unsigned found = 0;
  struct Slot {
    std::string_view name;
    std::string* value;
  };
  const Slot slots[] = {{kMarkQueue, &mark.owner.queue},
                        {kMarkInstance, &mark.owner.instance},
                        {kMarkJobda1, &mark.jobda1},
                        {kMarkJobke2, &mark.jobke2},
                        {kMarkJobsda, &mark.jobsda}};
  while (!environment.empty()) {
    std::size_t end = environment.find('\0');
    std::string_view var = environment.substr(0, end);
    environment.remove_prefix(end == std::string_view::npos ? environment.size() : end + 1);
    std::size_t eq = var.find('=');
    if (eq == std::string_view::npos) continue;
    for (unsigned i = 0; i < std::size(slots); ++i) {
      if (var.substr(0, eq) != slots[i].name) continue;
      slots[i].value->assign(var.substr(eq + 1));
      found |= 1u << i;
    }
  }
  if (found != (1u << std::size(slots)) - 1) return std::nullopt;
  return mark;
}

}  // namespace kvr
