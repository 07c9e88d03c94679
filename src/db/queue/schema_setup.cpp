#include "db/queue/schema_setup.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "db/client/connection.h"
#include "platform/posix_files.h"

namespace kvr {

namespace {

bool IsBlank(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isspace(c); });
}

std::vector<std::string> ScriptFiles(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".sql") files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

std::vector<std::string> SplitSqlStatements(std::string_view script) {
  std::vector<std::string> out;
  std::string current;
  char quote = 0;
  for (size_t i = 0; i < script.size(); ++i) {
    char c = script[i];
    if (quote) {
      current.push_back(c);
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
      current.push_back(c);
    } else if (c == '-' && i + 1 < script.size() && script[i + 1] == '-') {
      while (i < script.size() && script[i] != '\n') ++i;
      current.push_back('\n');
    } else if (c == ';') {
      if (!IsBlank(current)) out.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!IsBlank(current)) out.push_back(current);
  for (std::string& s : out) {
    size_t b = s.find_first_not_of(" \t\r\n");
    size_t e = s.find_last_not_of(" \t\r\n");
    s = s.substr(b, e - b + 1);
  }
  return out;
}

bool IsPlainSchemaName(std::string_view name) {
  if (name.empty() || name.size() > 30) return false;
  if (!std::isalpha(static_cast<unsigned char>(name[0])) ||
      static_cast<unsigned char>(name[0]) > 127) {
    return false;
  }
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u > 127 || !(std::isalnum(u) || c == '_' || c == '$' || c == '#')) return false;
  }
  return true;
}

int ApplySchema(Connection& db, const std::string& sqlDir, std::string* error) {
  std::string engine(db.BackendName());
  if (engine.empty()) {
    if (error) *error = "not connected to a database";
    return kSqlNotConnected;
  }
  std::string dir = sqlDir + "/" + engine;
  std::vector<std::string> files = ScriptFiles(dir);
  if (files.empty()) {
    if (error) *error = "no table definitions (*.sql) found in " + dir;
    return -1;
  }
  for (const std::string& file : files) {
    // Read like every other file: without waiting on a FIFO, a regular file
    // of bounded size only.
    int readError = 0;
    std::optional<std::string> text = ReadWholeFile(file, &readError);
    if (!text) {
      if (error) *error = "cannot read " + file + ": " + std::strerror(readError);
      return -1;
    }
    for (const std::string& statement : SplitSqlStatements(*text)) {
      int rc = db.Execute(statement);
      if (rc != kSqlOk) {
        if (error) {
          *error = file + ": " + db.LastMessage() + "\n  in: " + statement.substr(0, 200);
        }
        return rc;
      }
    }
  }
  int rc = db.Commit();
  if (rc != kSqlOk && error) *error = "commit failed: " + db.LastMessage();
  return rc;
}

}  // namespace kvr
