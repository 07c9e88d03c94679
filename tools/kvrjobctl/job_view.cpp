#include "job_view.h"

#include <algorithm>
#include <cstdio>

#include "ctl_command.h"
#include "db/client/win1252.h"

namespace kvr::ctl {

namespace {

constexpr size_t kDa1Chars = 14;

}  // namespace

std::string JsonText(std::string_view text) {
  std::string utf8 = Win1252ToUtf8(text), out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void Field(std::string* out, const char* name, const std::string& json) {
  if (out->size() > 1) *out += ", ";
  *out += "\"";
  *out += name;
  *out += "\": ";
  *out += json;
}

JobView MakeJobView(Env& env, const JobRow& row, RowState state, const std::string& now) {
  JobView v;
  v.row = row;
  v.state = state;
  v.key = row.jobda1.str() + "/" + row.jobke2.str();
  const std::string_view rty = row.jobrty.view();
  if (rty == kRunType03 || rty == kRunType07 || rty == kRunType08) v.nextRun = row.jobnrt.str();
  if (rty == kRunType05) v.nextRun = row.jobdlt.str();
  if (state == RowState::Running) {
    v.runningSeconds = SecondsBetween(env, row.jobsda.view(), now);
  } else if (!row.jobsda.view().empty() && row.jobeda.view() >= row.jobsda.view()) {
    v.runningSeconds = SecondsBetween(env, row.jobsda.view(), row.jobeda.view());
  }
  if (v.runningSeconds >= 0) v.runningTime = FormatDuration(v.runningSeconds);
  return v;
}

std::string StatusText(const JobRow& row) {
  const std::string_view sts = row.jobsts.view();
  if (sts.find_first_not_of(' ') == std::string_view::npos) return StatusMeaning(sts);
  return std::string(sts) + " " + StatusMeaning(sts);
}

bool ValidRunType(const std::string& text) {
  for (std::string_view known : {kRunType01, kRunType03, kRunType04, kRunType05, kRunType06,
                                 kRunType07, kRunType08, kRunType09, kRunType99}) {
    if (text == known) return true;
  }
  return false;
}

std::string JobJson(const JobView& v) {
  const JobRow& r = v.row;
  std::string out = "{";
  Field(&out, "key", JsonText(v.key));
  Field(&out, "jobda1", JsonText(r.jobda1.view()));
  Field(&out, "jobke2", JsonText(r.jobke2.view()));
  Field(&out, "runType", JsonText(r.jobrty.view()));
  Field(&out, "runTypeMeaning", JsonText(RunTypeMeaning(r.jobrty.view())));
  Field(&out, "status", JsonText(r.jobsts.view()));
  Field(&out, "statusMeaning", JsonText(StatusMeaning(r.jobsts.view())));
  Field(&out, "state", JsonText(RowStateName(v.state)));
  Field(&out, "origin", JsonText(r.joburv.view()));
  Field(&out, "command", JsonText(r.jobcmd.view()));
  Field(&out, "program", JsonText(r.jobnam.view()));
  Field(&out, "pid", JsonText(r.jobnum.view()));
  Field(&out, "start", JsonText(r.jobsda.view()));
  Field(&out, "end", JsonText(r.jobeda.view()));
  Field(&out, "nextRun", JsonText(v.nextRun));
  Field(&out, "runningSeconds",
        v.runningSeconds >= 0 ? std::to_string(v.runningSeconds) : std::string("null"));
  Field(&out, "maxRuntime", std::to_string(r.jobmrt));
  Field(&out, "attempts", std::to_string(r.jobstv));
  Field(&out, "lastRun", JsonText(v.lastRun));
  return out + "}";
}

std::string PrintableText(std::string text) {
  for (char& c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) c = '?';
  }
  return text;
}

void PrintTable(const std::vector<std::vector<std::string>>& cells) {
  std::vector<size_t> width(cells[0].size(), 0);
  for (const auto& row : cells)
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  for (const auto& row : cells) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];  // one byte a character: padded before the conversion
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", PrintableText(Win1252ToUtf8(line)).c_str());
  }
}

int FindJob(ToolSession& tool, const std::string& typed, JobRow* row) {
  const std::string key = Utf8ToWin1252(typed);  // the queue's texts are Windows-1252
  std::vector<JobRow> rows;
  int rc = ReadQueueRowsNamed(tool.session(), key, &rows);
  // JOBDA1/JOBKE2 when the whole text names no row.
  if (rc == kSqlOk && rows.empty() && key.size() > kDa1Chars + 1 && key[kDa1Chars] == '/') {
    std::vector<JobRow> named;
    rc = ReadQueueRowsNamed(tool.session(), key.substr(kDa1Chars + 1), &named);
    for (const JobRow& r : named) {
      if (r.jobda1.view() == std::string_view(key).substr(0, kDa1Chars)) rows.push_back(r);
    }
  }
  tool.session().SQLCommit();
  if (rc != kSqlOk) return ReportDatabaseError(tool, "reading the queue failed", rc);
  if (rows.empty()) {
    std::fprintf(stderr,
                 "kvrjobctl: no job '%s' in the queue; kvrjobctl list --all shows the keys\n",
                 typed.c_str());
    return kExitError;
  }
  if (rows.size() > 1) {
    std::fprintf(stderr, "kvrjobctl: %zu jobs are named '%s'; give one of their keys:\n",
                 rows.size(), typed.c_str());
    for (const JobRow& r : rows) {
      std::fprintf(stderr, "  %s/%s\n", r.jobda1.c_str(), Win1252ToUtf8(r.jobke2.view()).c_str());
    }
    return kExitError;
  }
  *row = rows[0];
  return kExitOk;
}

}  // namespace kvr::ctl
