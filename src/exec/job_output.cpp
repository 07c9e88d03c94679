#include "exec/job_output.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "core/logger.h"
#include "exec/job_output_files.h"

namespace kvr {

namespace {

constexpr char kNoFolder[] =
    "Job output: folder %s cannot be made (%d: %s); job %s starts without output file\n";
constexpr char kFolderFull[] =
    "Job output: folder %s has %" PRIu64 " bytes free, less than the cap of %" PRId64
    "; job %s starts without output file\n";
constexpr char kNoListing[] =
    "Job output: folder %s cannot be read (%d: %s); no old file removed\n";
constexpr char kNoRemoval[] = "Job output: old file %s cannot be removed (%d: %s)\n";
constexpr char kNoOpen[] =
    "Job output: file %s cannot be opened (%d: %s); the job runs without it\n";
constexpr char kCut[] = "Job output: file %s cut at %" PRId64 " bytes\n";
constexpr char kNoCut[] = "Job output: file %s cannot be cut (%d: %s)\n";
constexpr char kEnded[] = "Job %s (PID %d): %s\n";

std::string LocalTimeText(Env& env) {
  std::tm t = env.LocalTime(env.Now());
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &t);
  return text;
}

}  // namespace

JobOutput::JobOutput(Env& env, Logger& log, JobOutputSettings settings)
    : env_(env), log_(log), settings_(std::move(settings)) {}

std::string JobOutput::PathOf(std::string_view stamp, std::string_view key) const {
  return JoinPath(settings_.dir, JobOutputName(stamp, key));
}

std::string JobOutput::Prepare(std::string_view stamp, std::string_view key,
                               const std::vector<std::string>& running) {
  if (!enabled()) return {};
  std::string keyText(key);
  if (int error = env_.MakeDirectory(settings_.dir); error != 0) {
    log_.DebugF(kNoFolder, settings_.dir.c_str(), error, std::strerror(error), keyText.c_str());
    return {};
  }
  auto free = env_.FreeBytes(settings_.dir);
  if (free && *free < static_cast<uint64_t>(settings_.capBytes)) {
    log_.DebugF(kFolderFull, settings_.dir.c_str(), *free, settings_.capBytes, keyText.c_str());
    return {};
  }
  Prune(running);
  return PathOf(stamp, key);
}

// Makes room for the new file: at most keptFiles remain with it.
void JobOutput::Prune(const std::vector<std::string>& running) {
  int error = 0;
  auto names = env_.ListDirectory(settings_.dir, &error);
  if (!names) {
    log_.DebugF(kNoListing, settings_.dir.c_str(), error, std::strerror(error));
    return;
  }
  std::size_t keep = static_cast<std::size_t>(settings_.keptFiles) - 1;
  for (const std::string& name : OutputNamesToPrune(std::move(*names), keep, running)) {
    std::string path = JoinPath(settings_.dir, name);
    if (int rc = env_.DeleteFile(path); rc != 0) {
      log_.DebugF(kNoRemoval, path.c_str(), rc, std::strerror(rc));
    }
  }
}

void JobOutput::OpenFailed(const std::string& path, int error) {
  log_.DebugF(kNoOpen, path.c_str(), error, std::strerror(error));
}

void JobOutput::Started(Pid pid) {
  if (!enabled()) return;
  std::optional<ExitStatus> earlier = env_.TakeExitStatus(pid);
  auto it = std::find_if(awaited_.begin(), awaited_.end(),
                         [pid](const Awaited& a) { return a.pid == pid; });
  if (it == awaited_.end()) return;
  Awaited job = *it;
  awaited_.erase(it);
  WriteEnd(job, earlier);
}

// The first capBytes stay, then the line that says so; output written after
// a cut is cut again at the next check. A file not known as cut (as after a
// restart) is cut at the cap itself, which gives the same file again.
void JobOutput::CheckSize(std::string_view stamp, std::string_view key) {
  if (!enabled()) return;
  std::string path = PathOf(stamp, key);
  const std::string line = CutOutputLine(settings_.capBytes);
  bool cutBefore = std::find(cut_.begin(), cut_.end(), path) != cut_.end();
  int64_t allowed = settings_.capBytes + (cutBefore ? static_cast<int64_t>(line.size()) : 0);
  auto size = env_.FileSize(path);
  if (!size || *size <= allowed) return;
  if (int error = env_.TruncateFile(path, settings_.capBytes); error != 0) {
    log_.DebugF(kNoCut, path.c_str(), error, std::strerror(error));
    return;
  }
  if (auto file = env_.OpenAppend(path)) file->Write(line);
  if (!cutBefore) {
    log_.DebugF(kCut, path.c_str(), settings_.capBytes);
    if (cut_.size() >= kMaxAwaited) cut_.erase(cut_.begin());
    cut_.push_back(path);
  }
}

void JobOutput::Ended(Pid pid, std::string_view stamp, std::string_view key, bool mayWait,
                      std::optional<ExitStatus> status) {
  if (!enabled() || pid <= 0) return;
  Awaited job{pid, std::string(stamp), std::string(key), env_.SteadyMillis() + kStatusWaitMs};
  if (!status) status = env_.TakeExitStatus(pid);
  if (status || !mayWait) {
    WriteEnd(job, status);
    return;
  }
  if (awaited_.size() >= kMaxAwaited) {
    WriteEnd(awaited_.front(), std::nullopt);
    awaited_.erase(awaited_.begin());
  }
  awaited_.push_back(std::move(job));
}

void JobOutput::CollectEndings() {
  if (awaited_.empty()) return;
  int64_t now = env_.SteadyMillis();
  std::vector<Awaited> still;
  for (Awaited& job : awaited_) {
    auto status = env_.TakeExitStatus(job.pid);
    if (status || now >= job.giveUpMs) {
      WriteEnd(job, status);
    } else {
      still.push_back(std::move(job));
    }
  }
  awaited_ = std::move(still);
}

// The line goes only into a file that is there: one removed meanwhile is
// not made again just for it.
void JobOutput::WriteEnd(const Awaited& job, const std::optional<ExitStatus>& status) {
  std::string path = PathOf(job.stamp, job.key);
  if (env_.FileSize(path)) {
    CheckSize(job.stamp, job.key);
    if (auto file = env_.OpenAppend(path))
      file->Write(EndOfOutputLine(LocalTimeText(env_), status));
  }
  std::string text = status ? ExitStatusText(*status) : "ended, exit status not known";
  log_.DebugF(kEnded, job.key.c_str(), static_cast<int>(job.pid), text.c_str());
  cut_.erase(std::remove(cut_.begin(), cut_.end(), path), cut_.end());
}

}  // namespace kvr
