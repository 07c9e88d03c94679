// PostgreSQL test support: the development server's settings from the
// KVR_TEST_PG_* variables, a fresh database per test, and a private
// throwaway cluster for tests that must stop and start a server.
//
// Nothing here throws. Functions that can fail report it through an `ok`
// flag and an error text, so a test can skip (server not configured) or fail
// (KVR_TEST_REQUIRE_PG=1) with a clear reason; see KVR_PG_DATABASE below.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kvr::test {

// The KVR_TEST_PG_* variables (empty when unset).
struct PgSettings {
  std::string host;       // KVR_TEST_PG_HOST
  std::string port;       // KVR_TEST_PG_PORT
  std::string user;       // KVR_TEST_PG_USER
  std::string password;   // KVR_TEST_PG_PASSWORD
  std::string socketDir;  // KVR_TEST_PG_SOCKET_DIR
  std::string data;       // KVR_TEST_PG_DATA
  std::string bin;        // KVR_TEST_PG_BIN (initdb, pg_ctl)
};
PgSettings ReadPgSettings();

// True when host (or socket dir) and user are set.
bool PgConfigured();
// True when KVR_TEST_REQUIRE_PG is "1": PostgreSQL tests must fail, not
// skip, when the server cannot be used.
bool PgRequired();

// A database made for one test.
struct PgDatabase {
  bool ok = false;
  std::string error;  // why it could not be made (no password in it)
  std::string name;   // database name (lower case)
  std::string login;
  std::string password;
  std::string service;        // "HOST:PORT/DBNAME" (TCP, password login)
  std::string socketService;  // "postgresql:///DBNAME?host=SOCKETDIR&port=PORT"
  // "LOGIN/PASSWORD@HOST:PORT/DBNAME", ready for Connection::Connect and
  // Session::SQLConnect.
  std::string connectText() const { return login + "/" + password + "@" + service; }
  // The same over the local socket (falls back to TCP without socket dir).
  std::string socketConnectText() const {
    return login + "/" + password + "@" + (socketService.empty() ? service : socketService);
  }
};

// Turns a test name into a database name: lower-case letters, digits and
// '_', prefixed "kvrt_", with a short tag of the build directory so that two
// build trees running the same test do not share a database; at most 63
// characters.
std::string PgDatabaseName(std::string_view testName);

// Drops the database of that name if it exists and creates it anew with
// ENCODING 'UTF8' TEMPLATE template0, on the server of the settings.
PgDatabase CreatePgDatabase(std::string_view testName, const PgSettings& settings);
PgDatabase CreatePgDatabase(std::string_view testName);
// The same, named after the running gtest ("Suite.Test/param").
PgDatabase CreatePgDatabaseForCurrentTest();

// Runs one SQL text (several statements allowed) on a database of the
// server as the configured user; false with the server's message otherwise.
bool PgExec(const std::string& dbname, const std::string& sql, std::string* error = nullptr);

// Skips the test when PostgreSQL is not configured, fails it when it is
// required and cannot be used. Use inside a test body or SetUp.
#define KVR_PG_SKIP_OR_FAIL(why)                          \
  do {                                                    \
    if (::kvr::test::PgRequired()) {                      \
      FAIL() << "PostgreSQL required: " << (why);         \
    } else {                                              \
      GTEST_SKIP() << "PostgreSQL not usable: " << (why); \
    }                                                     \
  } while (0)

// Declares `var` as a fresh PgDatabase for the running test, or skips/fails.
#define KVR_PG_DATABASE(var)                                                   \
  ::kvr::test::PgDatabase var = ::kvr::test::CreatePgDatabaseForCurrentTest(); \
  if (!var.ok) KVR_PG_SKIP_OR_FAIL(var.error)

// A private PostgreSQL cluster in a temporary directory: initdb (as user
// postgres when running as root), scram-sha-256 password login for the
// configured user, a free TCP port on 127.0.0.1 and its own socket
// directory. Tests may stop and start it at will; the destructor stops it
// and removes everything.
class PrivatePgCluster {
 public:
  PrivatePgCluster();
  ~PrivatePgCluster();
  PrivatePgCluster(const PrivatePgCluster&) = delete;
  PrivatePgCluster& operator=(const PrivatePgCluster&) = delete;

  // Creates the cluster (initdb) and starts it; false with error() set.
  bool Init();
  bool Start();
  bool Stop();  // fast shutdown, waits until the server has gone
  bool Restart();
  // Creates a database on the running cluster.
  bool CreateDatabase(const std::string& name);

  bool running() const { return running_; }
  int port() const { return port_; }
  const std::string& error() const { return error_; }
  const std::string& login() const { return login_; }
  const std::string& password() const { return password_; }
  const std::string& socketDir() const { return sockDir_; }
  // "LOGIN/PASSWORD@127.0.0.1:PORT/DBNAME"
  std::string connectText(const std::string& dbname) const;

 private:
  bool Run(const std::string& command, const char* what);
  std::string AsOwner(const std::string& command) const;

  PgSettings settings_;
  std::string dir_, dataDir_, sockDir_, logFile_;
  std::string login_ = "kvrpriv", password_ = "kvr priv/pw";
  int port_ = 0;
  bool asRoot_ = false;
  bool initialised_ = false;
  bool running_ = false;
  std::string error_;
};

}  // namespace kvr::test
