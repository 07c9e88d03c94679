// kvrjobctl init, list and add: the commands that work on the database.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "ctl_options.h"
#include "db/queue/job_table.h"
#include "db/queue/schema_setup.h"

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

const std::vector<std::string> kTargetOptions = {"file", "connect", "schema"};

// Parses the options of a command; prints help or the error.
int Parse(const std::vector<std::string>& args, std::vector<std::string> known,
          const char* help, Options* o) {
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

}  // namespace

int RunInit(Env& env, const std::vector<std::string>& args) {
  static constexpr char kHelp[] =
      "usage: kvrjobctl init [--file PATH | --connect LOGIN/PASSWORD@SERVICE] [--sql-dir DIR]\n"
      "                      [--client SCHEMA]\n"
      "Creates the tables of the job controller; running it again does no harm.\n"
      "With --client, creates only the tables of that client schema.\n";
  Options o;
  if (int rc = Parse(args, {"sql-dir", "client"}, kHelp, &o); rc >= 0) return rc;
  Target t;
  if (!ResolveTarget(env, o, &t)) return kExitError;
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
  rc = o.Has("client") ? ApplyClientSchema(*db, sqlDir, o.Get("client"), &error)
                       : ApplySchema(*db, sqlDir, &error);
  if (rc != kSqlOk) {
    std::fprintf(stderr, "kvrjobctl: creating the tables failed (%d): %s\n", rc, error.c_str());
    return kExitError;
  }
  std::printf("tables created from %s/%s\n", sqlDir.c_str(), std::string(db->BackendName()).c_str());
  return kExitOk;
}

constexpr char kSelectQueue[] =
    "select JOBDA1 ,JOBKE2 ,JOBRTY ,JOBSTS ,JOBNAM ,JOBNUM ,JOBSDA ,JOBEDA ,JOBURV ,JOBCMD  "
    "from KVSYSTEM.KVR500JOB order by JOBDA1 ,JOBKE2";

int RunList(Env& env, const std::vector<std::string>& args) {
  static constexpr char kHelp[] =
      "usage: kvrjobctl list [--file PATH | --connect LOGIN/PASSWORD@SERVICE]\n"
      "Shows the job queue, one row a line, in key order.\n";
  Options o;
  if (int rc = Parse(args, {}, kHelp, &o); rc >= 0) return rc;
  Target t;
  if (!ResolveTarget(env, o, &t)) return kExitError;
  ToolSession tool(env);
  if (!tool.Connect(t)) return kExitError;
  std::vector<std::vector<std::string>> rows = {
      {"JOBDA1", "JOBKE2", "JOBRTY", "JOBSTS", "JOBNAM", "JOBNUM", "JOBSDA", "JOBEDA", "JOBURV",
       "JOBCMD"}};
  JobRow r;
  Out out[] = {Out::Text(r.jobda1), Out::Text(r.jobke2), Out::Text(r.jobrty),
               Out::Text(r.jobsts), Out::Text(r.jobnam), Out::Text(r.jobnum),
               Out::Text(r.jobsda), Out::Text(r.jobeda), Out::Text(r.joburv),
               Out::Text(r.jobcmd)};
  int rc = kSqlOk;
  std::unique_ptr<Cursor> cursor = tool.session().db().Open(kSelectQueue, {}, &rc);
  while (cursor) {
    r.Clear();
    rc = cursor->Fetch(out);
    if (rc != kSqlOk) break;
    rows.push_back({r.jobda1.str(), r.jobke2.str(), r.jobrty.str(), r.jobsts.str(),
                    r.jobnam.str(), r.jobnum.str(), r.jobsda.str(), r.jobeda.str(),
                    r.joburv.str(), r.jobcmd.str()});
  }
  if (rc != kSqlNoData) {
    std::string message;
    tool.session().GetLastSQLError(nullptr, &message);
    std::fprintf(stderr, "kvrjobctl: reading the queue failed: %d %s\n", rc, message.c_str());
    return kExitError;
  }
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
  }
  return kExitOk;
}

int RunAdd(Env& env, const std::vector<std::string>& args) {
  static constexpr char kHelp[] =
      "usage: kvrjobctl add --name NAME --command COMMAND [--origin ORIGIN]\n"
      "                     [--max-runtime SECONDS] [--file PATH | --connect L/P@S]\n"
      "Registers a run type 01 job, keyed by the local time of now and NAME.\n";
  Options o;
  if (int rc = Parse(args, {"name", "command", "origin", "max-runtime"}, kHelp, &o); rc >= 0)
    return rc;
  const std::string name = o.Get("name"), command = o.Get("command");
  if (name.empty() || command.empty() || name.size() > 32 || command.size() > 256 ||
      o.Get("origin").size() > 256) {
    std::fprintf(stderr,
                 "kvrjobctl: --name (1 to 32 characters) and --command (1 to 256) are "
                 "needed; --origin has at most 256\n");
    return kExitUsage;
  }
  char* end = nullptr;
  const std::string mrtText = o.Get("max-runtime", "0");
  long mrt = std::strtol(mrtText.c_str(), &end, 10);
  if (end == mrtText.c_str() || *end != '\0' || mrt < 0 || mrt > 2147483647L) {
    std::fprintf(stderr, "kvrjobctl: --max-runtime must be a number of seconds\n");
    return kExitUsage;
  }
  Target t;
  if (!ResolveTarget(env, o, &t)) return kExitError;
  ToolSession tool(env);
  if (!tool.Connect(t)) return kExitError;
  std::tm now = env.LocalTime(env.Now());
  char da1[32];
  std::snprintf(da1, sizeof da1, "%04d%02d%02d%02d%02d%02d", now.tm_year + 1900,
                now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
  int rc = SQLInsertJob(tool.session(), da1, name, o.Get("origin"), command,
                        static_cast<int32_t>(mrt), kRunType01);
  if (rc == kSqlOk) rc = tool.session().SQLCommit();
  if (rc != kSqlOk) {
    std::string message;
    tool.session().GetLastSQLError(nullptr, &message);
    std::fprintf(stderr, "kvrjobctl: the job could not be registered: %d %s\n", rc,
                 message.c_str());
    return kExitError;
  }
  std::printf("job registered: %s %s\n", da1, name.c_str());
  return kExitOk;
}

}  // namespace kvr::ctl
