// The tables of one client schema, made from the definitions of the sample
// client MANDANT1 with the client's own name in its place.
#include <cctype>
#include <cstring>
#include <functional>
#include <optional>

#include "db/client/connection.h"
#include "db/queue/schema_setup.h"
#include "platform/ascii_case.h"
#include "platform/env.h"
#include "platform/posix_files.h"

namespace kvr {

namespace {

constexpr char kClientTemplate[] = "02_mandant1.sql";
constexpr std::string_view kSampleClient = "MANDANT1";

// How the script is read: through an Env, or with the platform's file
// function for callers without one.
using ReadScript = std::function<std::optional<std::string>(const std::string&, int*)>;

bool IsNameChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || c == '#';
}

}  // namespace

std::string RenameClientSchema(std::string_view script, std::string_view schema) {
  std::string out;
  for (std::size_t i = 0; i < script.size();) {
    bool starts =
        i + kSampleClient.size() <= script.size() && (i == 0 || !IsNameChar(script[i - 1]));
    for (std::size_t k = 0; starts && k < kSampleClient.size(); ++k) {
      starts = AsciiUpper(script[i + k]) == kSampleClient[k];
    }
    std::size_t after = i + kSampleClient.size();
    if (starts && (after == script.size() || !IsNameChar(script[after]))) {
      out += schema;
      i = after;
    } else {
      out += script[i++];
    }
  }
  return out;
}

namespace {

int ApplyClientScript(const ReadScript& read, Connection& db, const std::string& sqlDir,
                      const std::string& schema, std::string* error) {
  if (!IsPlainSchemaName(schema)) {
    if (error) *error = "not a plain schema name: '" + schema + "'";
    return kSqlInvalidIdentifier;
  }
  std::string engine(db.BackendName());
  if (engine.empty()) {
    if (error) *error = "not connected to a database";
    return kSqlNotConnected;
  }
  // PostgreSQL folds unquoted names to lower case, the SQLite tables are
  // stored under upper-case names: each engine gets the name as it keeps it.
  std::string name = engine == "postgres" ? ToLowerAscii(schema) : ToUpperAscii(schema);
  std::string file = sqlDir + "/" + engine + "/" + kClientTemplate;
  int readError = 0;
  std::optional<std::string> text = read(file, &readError);
  if (!text) {
    if (error) *error = "cannot read " + file + ": " + std::strerror(readError);
    return -1;
  }
  for (const std::string& statement : SplitSqlStatements(RenameClientSchema(*text, name))) {
    if (int rc = db.Execute(statement); rc != kSqlOk) {
      if (error) *error = file + ": " + db.LastMessage() + "\n  in: " + statement.substr(0, 200);
      return rc;
    }
  }
  int rc = db.Commit();
  if (rc != kSqlOk && error) *error = "commit failed: " + db.LastMessage();
  return rc;
}

}  // namespace

int ApplyClientSchema(Env& env, Connection& db, const std::string& sqlDir,
                      const std::string& schema, std::string* error) {
  return ApplyClientScript(
      [&env](const std::string& path, int* e) { return env.ReadFile(path, e); }, db, sqlDir, schema,
      error);
}

int ApplyClientSchema(Connection& db, const std::string& sqlDir, const std::string& schema,
                      std::string* error) {
  return ApplyClientScript([](const std::string& path, int* e) { return ReadWholeFile(path, e); },
                           db, sqlDir, schema, error);
}

}  // namespace kvr
