#include "controller/world.h"

#include <utility>

namespace kvr {

World::World(Env& env, Config config, int32_t instance)
    : env_(env),
      config_(std::move(config)),
      instance_(instance),
      log_(env_, config_),
      contact_(env_, log_, instance_),
      session_(env_, log_),
      poster_(env_, log_, session_),
      executor_(env_, log_, session_, poster_, contact_, instance_ >= 0, config_.programDir,
                config_.jobOutput, instance_),
      startContext_{env_, log_, session_, contact_, executor_, config_.maxJobs},
      loops_(startContext_),
      registration_(env_, log_, session_, contact_, executor_, instance_, config_.dailyJobTime),
      timed_(env_, log_, session_, config_.dailyJobTime, config_.intervalMinutes),
      scheduled_(startContext_),
      closing_(startContext_),
      housekeeping_(env_, log_, session_, poster_, executor_.history(), registration_,
                    {config_.runHistoryDays, instanceMode()}) {
  poster_.SetFallbackPath(kMessageFallbackFile);
  if (config_.failureNotice) executor_.history().SetFailureNotice(&poster_);
}

}  // namespace kvr
