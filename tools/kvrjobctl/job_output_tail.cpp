#include "job_output_tail.h"

#include "core/config.h"
#include "exec/job_output_files.h"

namespace kvr::ctl {

namespace {

constexpr char kConfigFile[] = "KVRJOBCTL.INI";

}  // namespace

std::optional<OutputTail> LatestJobOutput(Env& env, std::string_view jobke2) {
  JobOutputSettings settings = ReadJobOutputSettings(env, kConfigFile);
  if (!settings.enabled()) return std::nullopt;
  auto names = env.ListDirectory(settings.dir);
  if (!names) return std::nullopt;
  auto name = LatestOutputName(*names, jobke2);
  if (!name) return std::nullopt;
  std::string path = NativePath(JoinPath(settings.dir, *name));
  auto text = env.ReadFileTail(path, kTailBytes);
  if (!text) return std::nullopt;
  if (path.front() != '/') {
    std::string here = env.CurrentDir();
    if (!here.empty()) path = JoinPath(here, path.rfind("./", 0) == 0 ? path.substr(2) : path);
  }
  return OutputTail{path, LastLines(*text, kTailLines)};
}

}  // namespace kvr::ctl
