#include "ctl_command.h"

#include <cstdio>

#include "db/client/connection.h"

namespace kvr::ctl {

const char kTargetOptionsHelp[] =
    "  --file PATH        credential file (default ./VELTRONIA.INI)\n"
    "  --connect L/P@S    connect text instead of the credential file\n"
    "  --schema NAME      schema to switch to (default: from the credential file,\n"
    "                     KVSYSTEM with --connect)\n"
    "  --help             this text\n";

int ParseCommand(const std::vector<std::string>& args, std::vector<std::string> known,
                 std::vector<std::string> flags, const char* help, Options* o) {
  known.insert(known.end(), {"file", "connect", "schema"});
  flags.push_back("help");
  if (!ParseOptions(args, known, flags, o)) {
    std::fprintf(stderr, "%s%s", help, kTargetOptionsHelp);
    return kExitUsage;
  }
  if (o->Has("help")) {
    std::printf("%s%s", help, kTargetOptionsHelp);
    return kExitOk;
  }
  return -1;
}

int ParseKeyCommand(const std::vector<std::string>& args, std::vector<std::string> known,
                    std::vector<std::string> flags, const char* help, std::string* key,
                    Options* o) {
  for (const std::string& arg : args) {
    if (arg == "--help") {
      std::printf("%s%s", help, kTargetOptionsHelp);
      return kExitOk;
    }
  }
  if (args.empty() || args[0].rfind("--", 0) == 0) {
    std::fprintf(stderr, "kvrjobctl: the KEY of a job is missing\n%s%s", help, kTargetOptionsHelp);
    return kExitUsage;
  }
  *key = args[0];
  return ParseCommand({args.begin() + 1, args.end()}, std::move(known), std::move(flags), help, o);
}

bool ConnectTarget(Env& env, const Options& o, ToolSession* tool) {
  Target t;
  return ResolveTarget(env, o, &t) && tool->Connect(t);
}

std::string WhatToDo(int code) {
  switch (code) {
    case kSqlTableMissing:
    case kSqlSchemaMissing:
    case kSqlInvalidIdentifier:
      return "the job controller's tables are missing or incomplete: run kvrjobctl init";
    case kSqlInvalidLogin:
      return "the login or password is wrong: write the credentials anew with "
             "kvrjobctl credentials";
    case kSqlCannotConnect:
    case kSqlNotConnected:
      return "the database cannot be reached: check that its server runs and that the "
             "service in the credentials is right";
    default:
      return "";
  }
}

int ReportDatabaseError(ToolSession& tool, const char* what, int code) {
  std::string message;
  tool.session().GetLastSQLError(nullptr, &message);
  std::fprintf(stderr, "kvrjobctl: %s: %d %s\n", what, code, message.c_str());
  std::string hint = WhatToDo(code);
  if (!hint.empty()) std::fprintf(stderr, "kvrjobctl: %s\n", hint.c_str());
  return kExitError;
}

}  // namespace kvr::ctl
