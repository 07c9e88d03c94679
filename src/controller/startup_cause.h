// StartupCause: one plain English line that names why the controller could
// not connect at start-up, printed beside the system's own line with its
// code: no credential file, a file that is not one, a refused login, no
// server, a missing schema. Pure apart from asking Env whether the
// credential file can be read.
#pragma once

#include <string>

#include "platform/env.h"

namespace kvr {

struct StartupFacts {
  std::string credentialPath;  // as configured (KVRINI)
  std::string login, service, schema;
  int code = 0;  // the connect's status code
};

// "KVRJOBSTR: cannot start: ...\n".
std::string StartupCause(Env& env, const StartupFacts& facts);

// Exit status of a controller whose start-up failed (0: an orderly stop).
inline constexpr int kExitStartupFailed = 1;

}  // namespace kvr
