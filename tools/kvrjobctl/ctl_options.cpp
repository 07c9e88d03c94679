#include "ctl_options.h"

#include <algorithm>
#include <cstdio>

#include "db/credentials/credential_file.h"
#include "job_view.h"

namespace kvr::ctl {

bool ParseOptions(const std::vector<std::string>& args, const std::vector<std::string>& known,
                  const std::vector<std::string>& flags, Options* out) {
  auto listed = [](const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      std::fprintf(stderr, "kvrjobctl: unexpected argument '%s'\n", arg.c_str());
      return false;
    }
    std::string name = arg.substr(2), value;
    bool inlineValue = false;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inlineValue = true;
    }
    if (listed(flags, name)) {
      out->values[name] = "1";
      continue;
    }
    if (!listed(known, name)) {
      std::fprintf(stderr, "kvrjobctl: unknown option '--%s'\n", name.c_str());
      return false;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "kvrjobctl: option '--%s' needs a value\n", name.c_str());
        return false;
      }
      value = args[++i];
    }
    out->values[name] = value;
  }
  return true;
}

bool ResolveTarget(Env& env, const Options& options, Target* target) {
  if (options.Has("connect")) {
    // Login up to the first '/', password up to the next '@': joined again
    // this gives back the text as written, whatever the parts hold.
    const std::string text = options.Get("connect");
    size_t slash = text.find('/');
    size_t at = slash == std::string::npos ? std::string::npos : text.find('@', slash + 1);
    if (slash == std::string::npos || at == std::string::npos) {
      std::fprintf(stderr, "kvrjobctl: --connect must have the form LOGIN/PASSWORD@SERVICE\n");
      return false;
    }
    target->login = text.substr(0, slash);
    target->password = text.substr(slash + 1, at - slash - 1);
    target->service = text.substr(at + 1);
    if (options.Has("schema")) target->schema = options.Get("schema");
    return true;
  }
  const std::string path = options.Get("file", "./VELTRONIA.INI");
  if (!env.FileReadable(path)) {
    std::fprintf(stderr,
                 "kvrjobctl: cannot read the credential file %s: run kvrjobctl in the "
                 "controller's program directory (or give it with -C DIR), or write the "
                 "file with kvrjobctl credentials\n",
                 path.c_str());
    return false;
  }
  CredentialSet set = ReadCredentialSet(env, path);  // as the controller reads it
  target->service = std::move(set.service);
  target->login = std::move(set.login);
  target->password = std::move(set.password);
  target->schema = options.Has("schema") ? options.Get("schema") : set.schema;
  if (target->service.empty() || target->login.empty()) {
    std::fprintf(stderr, "kvrjobctl: the credential file %s holds no service or login\n",
                 path.c_str());
    return false;
  }
  return true;
}

namespace {

// The tool writes no controller logs: its messages go to the terminal.
Config ToolConfig() {
  Config config;
  config.kvrLog = "/dev/null";
  config.dbgFile = "/dev/null";
  config.mainLogBackup = "/dev/null";
  config.debugLogBackup = "/dev/null";
  return config;
}

}  // namespace

ToolSession::ToolSession(Env& env) : log_(env, ToolConfig()), session_(env, log_) {}

bool ToolSession::Connect(const Target& t) {
  int rc = session().SQLConnect(t.login, t.password, t.service, t.schema);
  if (rc == kSqlOk) return true;
  std::string message;
  session().GetLastSQLError(nullptr, &message);
  // A service text may itself carry a password (a URI with user:password@),
  // so it is only shown when it cannot.
  bool showService =
      t.service.find('@') == std::string::npos && t.service.find("password") == std::string::npos;
  // A credential file that is no credential file deciphers to any bytes:
  // they are shown with their control characters as '?'.
  std::fprintf(stderr, "kvrjobctl: cannot connect to %s as %s (schema %s): %d %s\n",
               showService ? PrintableText(t.service).c_str() : "the service",
               PrintableText(t.login).c_str(), PrintableText(t.schema).c_str(), rc,
               PrintableText(message).c_str());
  if (rc == kSqlSchemaMissing) {
    std::fprintf(stderr, "kvrjobctl: the schema %s is missing: run kvrjobctl init\n",
                 t.schema.c_str());
  } else if (rc == kSqlInvalidLogin) {
    std::fprintf(stderr,
                 "kvrjobctl: the login or password is wrong: write the credentials "
                 "anew with kvrjobctl credentials\n");
  } else if (rc == kSqlCannotConnect) {
    std::fprintf(stderr,
                 "kvrjobctl: the database cannot be reached: check that its server "
                 "runs and that the service in the credentials is right\n");
  }
  return false;
}

}  // namespace kvr::ctl
