#include "exec/subsystems.h"

#include <utility>

namespace kvr {

Subsystems::Subsystems(Env& environment, Config configuration, int32_t instanceNumber)
    : env(environment),
      config(std::move(configuration)),
      instance(instanceNumber),
      log(env, config),
      contact(env, log),
      session(env, log),
      poster(env, log, session),
      executor(env, log, session, poster, contact, instanceNumber >= 0, config.programDir,
               config.jobOutput, instanceNumber) {
  if (config.failureNotice) executor.history().SetFailureNotice(&poster);
}

}  // namespace kvr
