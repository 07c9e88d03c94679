// KVRJOBSTR: reads the command line, builds the Controller on the real
// system and runs it until the watching service stops answering.
#include <cstdio>

#include "controller/controller.h"
#include "core/command_line.h"
#include "platform/posix_env.h"

int main(int argc, char** argv) {
  // Console lines reach a file or a pipe as they happen.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  kvr::PosixEnv env;  // takes SIGTERM and SIGINT as stop requests
  kvr::Controller controller(env, kvr::ParseCommandLine(argc, argv));
  return controller.Run();
}
