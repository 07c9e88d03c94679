// bench_job_output: what the job output files cost the controller.
//
// 1. Readying one job's file (folder check, free space, listing and pruning
//    a folder that holds JOBOUTFILES files) with 500 and with 5000 kept files.
// 2. Starting /bin/true without and with an output file: the time per spawn
//    (the extra open before the spawn).
// 3. The size check a running job's file gets each pass (one stat).
#include <chrono>
#include <cstdio>
#include <string>

#include "bench_support.h"
#include "core/config.h"
#include "core/logger.h"
#include "exec/job_output.h"
#include "exec/job_output_files.h"
#include "platform/posix_env.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace kvr {
namespace {

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Fourteen digits that sort as they were made.
std::string Stamp(int i) {
  char text[24];
  std::snprintf(text, sizeof text, "2026%010u", static_cast<unsigned>(i));
  return text;
}

void BenchPrepare(Env& env, Logger& log, int kept) {
  test::TempDir dir;
  JobOutputSettings settings;
  settings.dir = dir.File("out");
  settings.keptFiles = kept;
  JobOutput output(env, log, settings);
  env.MakeDirectory(settings.dir);
  for (int i = 0; i < kept; ++i) {
    if (auto f = env.OpenAppend(JoinPath(settings.dir, JobOutputName(Stamp(i), "FILL")))) {
      f->Write("x\n");
    }
  }
  constexpr int kRounds = 200;
  double start = NowMs();
  for (int i = 0; i < kRounds; ++i) {
    std::string path = output.Prepare(Stamp(kept + i), "NEW", {});
    if (auto f = env.OpenAppend(path)) f->Write("y\n");  // the file the start would make
  }
  double ms = (NowMs() - start) / kRounds;
  std::printf("prepare with %5d kept files: %.3f ms per start\n", kept, ms);
}

void BenchSpawn(Env& env) {
  test::TempDir dir;
  constexpr int kRounds = 200;
  for (int withFile = 0; withFile < 2; ++withFile) {
    double start = NowMs();
    for (int i = 0; i < kRounds; ++i) {
      SpawnResult r =
          withFile ? env.SpawnWithOutput("/bin/true", dir.File("job.log")) : env.Spawn("/bin/true");
      if (!r.created) std::printf("spawn failed: %d\n", r.error);
      if (i % 32 == 0) env.ReapChildren();
    }
    double ms = (NowMs() - start) / kRounds;
    std::printf("spawn %-18s %.3f ms per start\n", withFile ? "with output file:" : "plain:", ms);
  }
  for (int i = 0; i < 50; ++i) {
    env.ReapChildren();
    env.SleepMs(10);
  }
}

void BenchSizeCheck(Env& env, Logger& log) {
  test::TempDir dir;
  JobOutputSettings settings;
  settings.dir = dir.path();
  JobOutput output(env, log, settings);
  if (auto f = env.OpenAppend(output.PathOf(Stamp(1), "RUN"))) f->Write("some output\n");
  constexpr int kRounds = 20000;
  double start = NowMs();
  for (int i = 0; i < kRounds; ++i) output.CheckSize(Stamp(1), "RUN");
  double us = (NowMs() - start) * 1000 / kRounds;
  std::printf("size check of a running job's file: %.2f us per pass\n", us);
}

}  // namespace
}  // namespace kvr

int main(int argc, char** argv) {
  if (kvr::bench::WantsHelp(argc, argv, "usage: bench_job_output\n")) return 0;
  kvr::PosixEnv env;
  kvr::test::TempDir logs;
  kvr::Config config = kvr::test::LogsIn(logs.path());
  kvr::Logger log(env, config);
  kvr::BenchPrepare(env, log, 500);
  kvr::BenchPrepare(env, log, 5000);
  kvr::BenchSpawn(env);
  kvr::BenchSizeCheck(env, log);
  return 0;
}
