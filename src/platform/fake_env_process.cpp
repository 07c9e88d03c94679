// FakeEnv: scripted processes. Every process is a record; Spawn, the kills
// and the queries work on the records and note what was asked.
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/command_words.h"
#include "platform/fake_env.h"
#include "platform/posix_files.h"

namespace kvr {

Pid FakeEnv::AddProcess(Process process) {
  if (process.pid == 0) {
    while (processes_.count(nextPid_) != 0) ++nextPid_;
    process.pid = nextPid_++;
  }
  Pid pid = process.pid;
  if (process.startTicks == 0) process.startTicks = nextTicks_++;
  processes_[pid] = std::move(process);
  return pid;
}

void FakeEnv::EndProcess(Pid pid, ExitStatus status) {
  Process* p = FindProcess(pid);
  if (p == nullptr || !p->alive) return;
  p->alive = false;
  if (p->child) unreaped_[pid] = status;
}

void FakeEnv::ReapChildren() {
  ++reapCalls;
  for (const auto& [pid, status] : unreaped_) reaped_[pid] = status;
  unreaped_.clear();
}

std::optional<ExitStatus> FakeEnv::TakeExitStatus(Pid pid) {
  auto it = reaped_.find(pid);
  if (it == reaped_.end()) return std::nullopt;
  ExitStatus status = it->second;
  reaped_.erase(it);
  return status;
}

FakeEnv::Process* FakeEnv::FindProcess(Pid pid) {
  auto it = processes_.find(pid);
  return it == processes_.end() ? nullptr : &it->second;
}

SpawnResult FakeEnv::Spawn(const std::string& commandLine) {
  spawned.push_back(commandLine);
  if (spawner) return spawner(commandLine);
  SpawnResult result;
  std::vector<std::string> words;
  if (!SplitCommandLine(commandLine, &words)) {
    result.error = EINVAL;
    return result;
  }
  Process process;
  process.baseName = std::string(BaseName(words[0]));
  process.path = words[0];
  process.startTime = Now();
  result.created = true;
  result.pid = AddProcess(std::move(process));
  return result;
}

SpawnResult FakeEnv::SpawnWithOutput(const std::string& commandLine,
                                     const std::string& outputPath) {
  spawnedOutputs.push_back(outputPath);
  int outputError = 0;
  if (auto it = fileErrors.find(outputPath); it != fileErrors.end()) {
    outputError = it->second;
  } else if (int fd = PosixOpenOutputFile(outputPath, &outputError); fd >= 0) {
    close(fd);
  }
  SpawnResult result = Spawn(commandLine);
  if (result.created) result.outputError = outputError;
  return result;
}

bool FakeEnv::ProcessAlive(Pid pid) {
  Process* p = pid > 0 ? FindProcess(pid) : nullptr;
  return p != nullptr && p->alive;
}

std::optional<ProcessImage> FakeEnv::ProcessImageOf(Pid pid) {
  if (!ProcessAlive(pid)) return std::nullopt;
  Process* p = FindProcess(pid);
  if (!p->imageReadable) return std::nullopt;
  return ProcessImage{p->baseName, p->path};
}

std::optional<int64_t> FakeEnv::ProcessStartTime(Pid pid) {
  if (!ProcessAlive(pid)) return std::nullopt;
  return FindProcess(pid)->startTime;
}

std::optional<ProcessStat> FakeEnv::ReadProcessStat(Pid pid) {
  ++statReads;
  Process* p = pid > 0 ? FindProcess(pid) : nullptr;
  if (p == nullptr || (!p->alive && unreaped_.count(pid) == 0)) return std::nullopt;
  ProcessStat stat;
  stat.alive = p->alive;
  stat.startTicks = p->startTicks;
  stat.startTime = p->startTime;
  stat.parent = p->parent;
  stat.group = p->group == 0 ? pid : p->group;
  return stat;
}

std::optional<std::string> FakeEnv::ProcessEnvironment(Pid pid, int* error) {
  Process* p = ProcessAlive(pid) ? FindProcess(pid) : nullptr;
  int e = p == nullptr ? ESRCH : p->environmentError;
  if (e != 0) {
    if (error != nullptr) *error = e;
    return std::nullopt;
  }
  return p->environment;
}

std::vector<Pid> FakeEnv::OwnProcesses() {
  std::vector<Pid> pids;
  for (const auto& [pid, process] : processes_) {
    if (process.alive && process.ownUser && pid != selfPid) pids.push_back(pid);
  }
  return pids;
}

SpawnResult FakeEnv::SpawnJobProcess(const SpawnRequest& request) {
  subreaper = true;
  spawnRequests.push_back(request);
  SpawnResult result = request.outputPath.empty()
                           ? Spawn(request.commandLine)
                           : SpawnWithOutput(request.commandLine, request.outputPath);
  if (Process* p = result.created ? FindProcess(result.pid) : nullptr) {
    p->parent = selfPid;
    for (const std::string& var : request.environment) p->environment += var + '\0';
  }
  return result;
}

void FakeEnv::EndProcesses(const std::vector<ProcessRef>& targets) {
  if (beforeEnd) beforeEnd();
  for (const ProcessRef& t : targets) {
    killedIds.push_back(t.pid);
    Process* p = FindProcess(t.pid);
    if (p != nullptr && !p->ignoresTerm && (t.startTicks == 0 || t.startTicks == p->startTicks)) {
      EndProcess(t.pid, ExitStatus{true, SIGTERM});
    }
  }
}

void FakeEnv::KillById(Pid pid) {
  killedIds.push_back(pid);
  EndProcess(pid, ExitStatus{true, SIGTERM});
}

void FakeEnv::KillByImageName(const std::string& imageName) {
  killedImages.push_back(imageName);
  for (auto& [pid, process] : processes_) {
    if (pid != selfPid && process.alive && process.ownUser &&
        EqualsNoCase(process.baseName, imageName)) {
      EndProcess(pid, ExitStatus{true, SIGTERM});
    }
  }
}

}  // namespace kvr
