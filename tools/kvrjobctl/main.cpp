// kvrjobctl: the operator's tool for the job controller's database.
//   kvrjobctl credentials   write an enciphered credential file
//   kvrjobctl init          create the tables
//   kvrjobctl list          show the job queue
//   kvrjobctl add           register a run type 01 job
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ctl_options.h"

namespace {

constexpr char kUsage[] =
    "usage: kvrjobctl COMMAND [OPTIONS]\n"
    "commands:\n"
    "  credentials  write an enciphered credential file\n"
    "  init         create the tables of the job controller\n"
    "  list         show the job queue\n"
    "  add          register a run type 01 job\n"
    "'kvrjobctl COMMAND --help' describes the options of a command.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? kvr::ctl::kExitUsage : kvr::ctl::kExitOk;
  }
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  kvr::PosixEnv env;
  if (command == "credentials") return kvr::ctl::RunCredentials(env, args);
  if (command == "init") return kvr::ctl::RunInit(env, args);
  if (command == "list") return kvr::ctl::RunList(env, args);
  if (command == "add") return kvr::ctl::RunAdd(env, args);
  std::fprintf(stderr, "kvrjobctl: unknown command '%s'\n%s", command.c_str(), kUsage);
  return kvr::ctl::kExitUsage;
}
