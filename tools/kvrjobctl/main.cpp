// kvrjobctl: the operator's tool for the job controller's database.
//   kvrjobctl credentials   write an enciphered credential file
//   kvrjobctl init          create the tables
//   kvrjobctl list          show the job queue
//   kvrjobctl add           register a run type 01 job
//   kvrjobctl status        is a controller working the queue, row counts
//   kvrjobctl show KEY      one job row
//   kvrjobctl run-now KEY   make a job due at the next pass
//   kvrjobctl history       the recorded runs
//   kvrjobctl cancel KEY    have the controller end a running job
//   kvrjobctl delete KEY    remove a job row that is not running
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/version.h"
#include "ctl_options.h"

namespace {

constexpr char kUsage[] =
    "usage: kvrjobctl [-C DIR] COMMAND [OPTIONS]\n"
    "  -C DIR       work in DIR, the controller's program directory\n"
    "               (for instance /var/lib/kvrjobstr/3)\n"
    "commands:\n"
    "  status       is a controller working the queue; rows running, due, failed\n"
    "  credentials  write an enciphered credential file\n"
    "  init         create the tables of the job controller\n"
    "  list         show the job queue as a table (--all, --run-type, --json)\n"
    "  show KEY     show one job row\n"
    "  run-now KEY  make a job due at the controller's next pass\n"
    "  add          register a run type 01 job\n"
    "  history      the recorded runs and how each ended (--failed, --json)\n"
    "  cancel KEY   have the controller end a running job\n"
    "  delete KEY   remove a job row that is not running\n"
    "'kvrjobctl COMMAND --help' describes the options of a command.\n";

}  // namespace

int main(int argc, char** argv) {
  kvr::PosixEnv env;
  if (argc >= 2 && std::strcmp(argv[1], "-C") == 0) {
    if (argc < 3) {
      std::fprintf(stderr, "kvrjobctl: -C needs a directory\n%s", kUsage);
      return kvr::ctl::kExitUsage;
    }
    if (!env.SetCurrentDir(argv[2])) {
      std::perror((std::string("kvrjobctl: cannot work in ") + argv[2]).c_str());
      return kvr::ctl::kExitError;
    }
    argv[2] = argv[0];
    argc -= 2;
    argv += 2;
  }
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? kvr::ctl::kExitUsage : kvr::ctl::kExitOk;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("kvrjobctl %s\n", kvr::kVersion);
    return kvr::ctl::kExitOk;
  }
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "credentials") return kvr::ctl::RunCredentials(env, args);
  if (command == "init") return kvr::ctl::RunInit(env, args);
  if (command == "list") return kvr::ctl::RunList(env, args);
  if (command == "add") return kvr::ctl::RunAdd(env, args);
  if (command == "status") return kvr::ctl::RunStatus(env, args);
  if (command == "show") return kvr::ctl::RunShow(env, args);
  if (command == "run-now") return kvr::ctl::RunRunNow(env, args);
  if (command == "history") return kvr::ctl::RunHistoryCommand(env, args);
  if (command == "cancel") return kvr::ctl::RunCancel(env, args);
  if (command == "delete") return kvr::ctl::RunDelete(env, args);
  std::fprintf(stderr, "kvrjobctl: unknown command '%s'\n%s", command.c_str(), kUsage);
  return kvr::ctl::kExitUsage;
}
