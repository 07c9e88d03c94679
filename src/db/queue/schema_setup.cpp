#include "db/queue/schema_setup.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <optional>

#include "db/client/connection.h"
#include "platform/env.h"
#include "platform/posix_files.h"

namespace kvr {

namespace {

bool IsBlank(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isspace(c); });
}

// How the set-up lists a folder and reads a file: through an Env, or with
// the platform's file functions for callers without one.
using ListFolder = std::function<std::optional<std::vector<std::string>>(const std::string&, int*)>;
using ReadScript = std::function<std::optional<std::string>(const std::string&, int*)>;

// The *.sql files of the folder, in name order.
std::vector<std::string> ScriptFiles(const ListFolder& list, const std::string& dir) {
  std::vector<std::string> files;
  int listError = 0;
  std::optional<std::vector<std::string>> names = list(dir, &listError);
  if (!names) return files;
  for (const std::string& name : *names) {
    if (name.size() > 4 && name.ends_with(".sql")) files.push_back(dir + "/" + name);
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

namespace {

int ApplyScripts(const ListFolder& list, const ReadScript& read, Connection& db,
                 const std::string& sqlDir, std::string* error) {
  std::string engine(db.BackendName());
  if (engine.empty()) {
    if (error) *error = "not connected to a database";
    return kSqlNotConnected;
  }
  std::string dir = sqlDir + "/" + engine;
  std::vector<std::string> files = ScriptFiles(list, dir);
  if (files.empty()) {
    if (error) *error = "no table definitions (*.sql) found in " + dir;
    return -1;
  }
  for (const std::string& file : files) {
    // Read like every other file: without waiting on a FIFO, a regular file
    // of bounded size only.
    int readError = 0;
    std::optional<std::string> text = read(file, &readError);
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

}  // namespace

int ApplySchema(Env& env, Connection& db, const std::string& sqlDir, std::string* error) {
  return ApplyScripts([&env](const std::string& dir, int* e) { return env.ListDirectory(dir, e); },
                      [&env](const std::string& path, int* e) { return env.ReadFile(path, e); }, db,
                      sqlDir, error);
}

int ApplySchema(Connection& db, const std::string& sqlDir, std::string* error) {
  return ApplyScripts(
      PosixListDirectory, [](const std::string& path, int* e) { return ReadWholeFile(path, e); },
      db, sqlDir, error);
}

}  // namespace kvr
