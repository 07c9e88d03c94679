// kvrjobctl's command-line options and the shared steps of its commands:
// option parsing, reading the credentials, connecting a session.
// Errors are printed to standard error (never with the password) and the
// functions return false; nothing throws.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/logger.h"
#include "db/session.h"
#include "platform/posix_env.h"

namespace kvr::ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;

// "--name value" and "--name=value" options; flags (no value) listed in
// `flags` are stored with the value "1".
struct Options {
  std::map<std::string, std::string> values;
  bool Has(const std::string& name) const { return values.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
};

// False with a message on stderr for an unknown option or a missing value.
bool ParseOptions(const std::vector<std::string>& args, const std::vector<std::string>& known,
                  const std::vector<std::string>& flags, Options* out);

// The database to work on.
struct Target {
  std::string login, password, service, schema = "KVSYSTEM";
};

// From --connect LOGIN/PASSWORD@SERVICE, or else from the credential file
// (--file, default ./VELTRONIA.INI) as the controller reads it.
bool ResolveTarget(Env& env, const Options& options, Target* target);

// A session for the tool: a logger whose lines go nowhere and a session.
class ToolSession {
 public:
  explicit ToolSession(Env& env);
  // Connects and switches to the target's schema; prints the failure.
  bool Connect(const Target& target);
  Session& session() { return session_; }

 private:
  Logger log_;
  Session session_;
};

int RunCredentials(Env& env, const std::vector<std::string>& args);
int RunInit(Env& env, const std::vector<std::string>& args);
int RunList(Env& env, const std::vector<std::string>& args);
int RunAdd(Env& env, const std::vector<std::string>& args);
int RunStatus(Env& env, const std::vector<std::string>& args);
int RunShow(Env& env, const std::vector<std::string>& args);
int RunRunNow(Env& env, const std::vector<std::string>& args);
int RunHistoryCommand(Env& env, const std::vector<std::string>& args);
int RunCancel(Env& env, const std::vector<std::string>& args);
int RunDelete(Env& env, const std::vector<std::string>& args);

}  // namespace kvr::ctl
