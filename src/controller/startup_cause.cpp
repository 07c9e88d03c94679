#include "controller/startup_cause.h"

#include "db/client/connection.h"

namespace kvr {

namespace {

std::string Because(Env& env, const StartupFacts& f) {
  const std::string& path = f.credentialPath;
  if (!env.FileReadable(path)) return "no credential file at " + path + " (KVRINI)";
  // Readable, but the entries that make a login are not there, or the
  // deciphered values are too long for the columns they go into.
  if (f.login.empty() || f.service.empty() || f.code == kSqlValueTooLarge) {
    return path + " is not a credential file (kvrjobctl credentials writes one)";
  }
  switch (f.code) {
    case kSqlInvalidLogin:
      return "the database refused the login of " + f.login + " at " + f.service;
    case kSqlCannotConnect:
      return "no database server at " + f.service;
    case kSqlSchemaMissing:
      return "schema " + f.schema + " missing at " + f.service + ": run kvrjobctl init";
    case kSqlTableMissing:
      return "the job tables are missing at " + f.service + ": run kvrjobctl init";
    default:
      return "the database at " + f.service + " could not be used (code " + std::to_string(f.code) +
             ")";
  }
}

}  // namespace

std::string StartupCause(Env& env, const StartupFacts& facts) {
  return "KVRJOBSTR: cannot start: " + Because(env, facts) + "\n";
}

}  // namespace kvr
