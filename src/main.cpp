// KVRJOBSTR: reads the command line, builds the Controller on the real
// system and runs it until the watching service stops answering. --help,
// -h and --version print and start nothing.
#include <cstdio>
#include <cstring>

#include "controller/controller.h"
#include "core/command_line.h"
#include "core/version.h"
#include "platform/posix_env.h"

namespace {

constexpr char kUsage[] =
    "usage: KVRJOBSTR [/D] [INSTANCE]\n"
    "The job controller: works the job queue KVSYSTEM.KVR500JOB in passes,\n"
    "starting, supervising and ending its jobs, while its watching service\n"
    "(kvrjobsvc) answers on the socket kvrjobctl (or kvrjobctl<INSTANCE>).\n"
    "It reads KVRJOBCTL.INI beside the program and the credential file it\n"
    "names, and logs to KVRJOBCTL.LOG there.\n"
    "  /D or -D    diagnostics: print the program path and settings\n"
    "  INSTANCE    run as instance INSTANCE (a number)\n"
    "  --help, -h  this text;  --version  the version\n"
    "Exit status: 0 after an orderly stop (service gone, SIGTERM, SIGINT),\n"
    "1 when the database could not be used at start-up.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("KVRJOBSTR %s\n", kvr::kVersion);
    return 0;
  }
  // Console lines reach a file or a pipe as they happen.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  kvr::PosixEnv env;  // takes SIGTERM and SIGINT as stop requests
  kvr::Controller controller(env, kvr::ParseCommandLine(argc, argv));
  return controller.Run();
}
