#include "run_view.h"

#include <cctype>
#include <cstdio>

#include "ctl_command.h"
#include "db/client/connection.h"
#include "job_view.h"

namespace kvr::ctl {

bool ReadRunHistory(ToolSession& tool, const std::string& since, std::vector<RunRecord>* runs,
                    bool* missing) {
  int rc = ReadRuns(tool.session(), since, runs);
  tool.session().SQLCommit();
  *missing = rc == kSqlTableMissing;
  if (rc == kSqlOk || *missing) return true;
  ReportDatabaseError(tool, "reading the run history failed", rc);
  return false;
}

std::map<std::string, RunRecord> LatestRuns(const std::vector<RunRecord>& runs) {
  std::map<std::string, RunRecord> latest;
  for (const RunRecord& run : runs) {
    // The runs come latest first: the first of each key is kept.
    latest.emplace(run.da1 + "/" + run.ke2, run);
  }
  return latest;
}

std::string LastRunOf(const std::map<std::string, RunRecord>& latest, const std::string& key) {
  auto it = latest.find(key);
  if (it == latest.end()) return "";
  if (it->second.end.empty()) return "being cancelled";
  return RunResultText(it->second.how, it->second.code);
}

std::string RunJson(const RunRecord& r) {
  std::string out = "{";
  Field(&out, "key", JsonText(r.da1 + "/" + r.ke2));
  Field(&out, "runType", JsonText(r.runType));
  Field(&out, "command", JsonText(r.command));
  Field(&out, "pid", JsonText(r.pid));
  Field(&out, "start", JsonText(r.start));
  Field(&out, "end", JsonText(r.end));
  Field(&out, "how", JsonText(r.how));
  Field(&out, "code", std::to_string(r.code));
  Field(&out, "result", JsonText(RunResultText(r.how, r.code)));
  Field(&out, "failed", RunFailed(r.how, r.code) ? "true" : "false");
  Field(&out, "output", JsonText(r.output));
  return out + "}";
}

std::optional<std::string> SinceStamp(const std::string& text) {
  std::string digits;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      digits += c;
    } else if (!(c == '-' && (i == 4 || i == 7)) && !(c == ' ' && i == 10) &&
               !(c == 'T' && i == 10) && !(c == ':' && (i == 13 || i == 16))) {
      return std::nullopt;
    }
  }
  if (digits.size() != 8 && digits.size() != 12 && digits.size() != 14) return std::nullopt;
  digits.resize(14, '0');
  return digits;
}

}  // namespace kvr::ctl
