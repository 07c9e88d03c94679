// kvrjobctl init and add: the commands that set up and fill the queue.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "add_run_types.h"
#include "ctl_options.h"
#include "db/client/win1252.h"
#include "db/queue/job_table.h"
#include "db/queue/queue_view.h"
#include "db/queue/schema_setup.h"
#include "init_files.h"
#include "platform/clock.h"

#ifndef KVR_SQL_DIR
#define KVR_SQL_DIR "sql"
#endif

namespace kvr::ctl {

namespace {

constexpr char kTargetHelp[] =
    "  --file PATH        credential file (default ./VELTRONIA.INI)\n"
    "  --connect L/P@S    connect text instead of the credential file\n"
    "  --schema NAME      schema to switch to (default: from the credential file,\n"
    "                     KVSYSTEM with --connect)\n";

constexpr char kIniName[] = "KVRJOBCTL.INI";

const std::vector<std::string> kTargetOptions = {"file", "connect", "schema"};

// Parses the options of a command; prints help or the error.
int Parse(const std::vector<std::string>& args, std::vector<std::string> known, const char* help,
          Options* o) {
  known.insert(known.end(), kTargetOptions.begin(), kTargetOptions.end());
  if (!ParseOptions(args, known, {"help"}, o)) {
    std::fprintf(stderr, "%s%s", help, kTargetHelp);
    return kExitUsage;
  }
  if (o->Has("help")) {
    std::printf("%s%s", help, kTargetHelp);
    return kExitOk;
  }
  return -1;
}

// The table definitions: beside the program, else those of the build.
std::string FindSqlDir(Env& env, const Options& o) {
  if (o.Has("sql-dir")) return o.Get("sql-dir");
  std::filesystem::path exe(env.ProgramPath());
  std::error_code ec;
  std::filesystem::path beside = exe.parent_path() / ".." / "share" / "kvrjobstr" / "sql";
  if (!exe.empty() && std::filesystem::is_directory(beside, ec)) return beside.string();
  return KVR_SQL_DIR;
}

// Converts an argument from UTF-8 to the queue's Windows-1252; false when
// it holds a character Windows-1252 cannot hold or is not UTF-8.
bool ToQueueText(std::string* text) {
  std::string converted = Utf8ToWin1252(*text);
  if (Win1252ToUtf8(converted) != *text) return false;
  *text = std::move(converted);
  return true;
}

}  // namespace

int RunInit(Env& env, const std::vector<std::string>& args) {
  static constexpr char kHelp[] =
      "usage: kvrjobctl init [--file PATH | --connect LOGIN/PASSWORD@SERVICE] [--sql-dir DIR]\n"
      "                      [--client SCHEMA]\n"
      "Creates the tables of the job controller; running it again does no harm.\n"
      "With --client, creates only the tables of that client schema.\n"
      "A new SQLite database file is made readable by its owner only. Without a\n"
      "KVRJOBCTL.INI in this directory, writes one with the defaults, commented\n"
      "(never over an existing one).\n";
  Options o;
  if (int rc = Parse(args, {"sql-dir", "client"}, kHelp, &o); rc >= 0) return rc;
  Target t;
  if (!ResolveTarget(env, o, &t)) return kExitError;
  if (!PrepareSqliteFile(t.service)) {
    std::perror(("kvrjobctl: cannot create the database file of " + t.service).c_str());
    return kExitError;
  }
  // The schema may not exist yet: connect without switching to it.
  std::unique_ptr<Connection> db = MakeConnection();
  std::string text = t.login + "/" + t.password + "@" + t.service;
  int rc = db->Connect(text);
  std::fill(text.begin(), text.end(), '\0');
  if (rc != kSqlOk) {
    std::fprintf(stderr, "kvrjobctl: cannot connect as %s: %d %s\n", t.login.c_str(), rc,
                 db->LastMessage().c_str());
    return kExitError;
  }
  std::string sqlDir = FindSqlDir(env, o), error;
  rc = o.Has("client") ? ApplyClientSchema(env, *db, sqlDir, o.Get("client"), &error)
                       : ApplySchema(env, *db, sqlDir, &error);
  if (rc != kSqlOk) {
    std::fprintf(stderr, "kvrjobctl: creating the tables failed (%d): %s\n", rc, error.c_str());
    return kExitError;
  }
  std::printf("tables created from %s/%s\n", sqlDir.c_str(),
              std::string(db->BackendName()).c_str());
  if (!o.Has("client") && WriteDefaultIni(kIniName)) {
    std::printf("%s written with the defaults (JOBOUTDIR=joboutput); edit it to change them\n",
                kIniName);
  }
  return kExitOk;
}

namespace {

constexpr char kAddHelp[] =
    "usage: kvrjobctl add --name NAME --command COMMAND [--origin ORIGIN]\n"
    "                     [--max-runtime SECONDS] [--file PATH | --connect L/P@S]\n"
    "                     [--run-type 03 (--time-plan PLAN [--timing KIND] | --timing 2|3)]\n"
    "                     [--run-type 07 --schedule NAME#SBE#LIZ#MND]\n"
    "Registers a job, keyed by the local time of now and NAME (run type 07: the\n"
    "schedule key). Run type 01 by default; a run type 03 or 07 job gets its first\n"
    "run from its plan or schedule at the controller's next evaluation.\n"
    "COMMAND: words split at blanks and tabs; double quotes group words and are\n"
    "removed, single quotes do not group; '\\' becomes '/'. No shell reads it:\n"
    "  --command './job.sh \"a b\"'             two words: ./job.sh, a b\n"
    "  --command 'sh -c \"echo hi; exit 3\"'     a shell line as one word\n"
    "A program word with '/' is taken from the program directory; a bare one\n"
    "there first, then on PATH.\n"
    "Run type 03: --timing 2 daily at DAILYJOBUHRZT, --timing 3 every\n"
    "INTERVALLJOBZYKLUS minutes; else --time-plan PLAN names a plan id with\n"
    "active windows (weekday, from/to minute, step) in KVSYSTEM.KVR139TPL\n"
    "(timing 0) or KVSYSTEM.KVR141DZT (other kinds); a plan without one is\n"
    "refused, as the controller would park the job (97).\n"
    "Run type 07: --schedule NAME#SBE#LIZ#MND, the key of a row of\n"
    "KVSYSTEM.KVR800SCD.\n";

// The new job's words: the key's name, the command and the origin in the
// queue's text, and the running time. False, with its line, when one is not
// usable.
struct NewJob {
  std::string name, command, origin;
  int32_t mrt = 0;
};

bool ReadNewJob(const Options& o, const RunTypeChoice& choice, NewJob* job) {
  job->name = choice.runType == "07" ? choice.schedule : o.Get("name");
  job->command = o.Get("command");
  job->origin = o.Get("origin");
  // The terminal gives UTF-8; the queue holds the controller's single-byte
  // text, so "./Prüfung/x" is stored as the controller will read it.
  if (!ToQueueText(&job->name) || !ToQueueText(&job->command) || !ToQueueText(&job->origin)) {
    std::fprintf(stderr,
                 "kvrjobctl: --name, --command and --origin take UTF-8 text of "
                 "characters Windows-1252 can hold\n");
    return false;
  }
  if (job->name.empty() || job->command.empty() || job->name.size() > 32 ||
      job->command.size() > 256 || job->origin.size() > 256) {
    std::fprintf(stderr,
                 "kvrjobctl: --name (1 to 32 characters) and --command (1 to 256) are "
                 "needed; --origin has at most 256\n");
    return false;
  }
  char* end = nullptr;
  const std::string mrtText = o.Get("max-runtime", "0");
  long mrt = std::strtol(mrtText.c_str(), &end, 10);
  if (end == mrtText.c_str() || *end != '\0' || mrt < 0 || mrt > 2147483647L) {
    std::fprintf(stderr, "kvrjobctl: --max-runtime must be a number of seconds\n");
    return false;
  }
  job->mrt = static_cast<int32_t>(mrt);
  return true;
}

}  // namespace

int RunAdd(Env& env, const std::vector<std::string>& args) {
  Options o;
  std::vector<std::string> known = {"name", "command", "origin", "max-runtime"};
  known.insert(known.end(), kRunTypeOptions.begin(), kRunTypeOptions.end());
  if (int rc = Parse(args, known, kAddHelp, &o); rc >= 0) return rc;
  RunTypeChoice choice;
  NewJob job;
  if (!ReadRunTypeChoice(o, &choice) || !ReadNewJob(o, choice, &job)) return kExitUsage;
  Target t;
  if (!ResolveTarget(env, o, &t)) return kExitError;
  ToolSession tool(env);
  if (!tool.Connect(t)) return kExitError;
  if (choice.runType == "07" && !ScheduleExists(tool.session(), &choice)) return kExitError;
  if (!TimePlanExists(tool.session(), choice)) return kExitError;
  const std::string da1 = TimeStamp14(env, env.Now());
  int rc =
      SQLInsertJob(tool.session(), da1, job.name, job.origin, job.command, job.mrt, choice.runType);
  if (rc == kSqlOk) rc = ApplyRunTypeChoice(tool.session(), choice, da1, job.name);
  if (rc == kSqlOk) rc = tool.session().SQLCommit();
  if (rc != kSqlOk) {
    std::string message;
    tool.session().GetLastSQLError(nullptr, &message);
    std::fprintf(stderr, "kvrjobctl: the job could not be registered: %d %s\n", rc,
                 message.c_str());
    return kExitError;
  }
  std::printf("job registered: %s %s\n", da1.c_str(), job.name.c_str());
  return kExitOk;
}

}  // namespace kvr::ctl
