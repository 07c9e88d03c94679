#include "support/test_pg.h"

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kvr::test {
namespace {

std::string EnvText(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// A libpq connection as the configured user, or null with *error set.
PGconn* AdminConnect(const PgSettings& s, const std::string& dbname, std::string* error) {
  std::string host = s.host.empty() ? s.socketDir : s.host;
  const char* keys[] = {"host", "port", "user", "password", "dbname", "connect_timeout", nullptr};
  const char* values[] = {
      host.c_str(), s.port.c_str(), s.user.c_str(), s.password.c_str(), dbname.c_str(),
      "5",          nullptr};
  PGconn* conn = PQconnectdbParams(keys, values, 0);
  if (PQstatus(conn) != CONNECTION_OK) {
    if (error)
      *error =
          std::string("cannot connect to ") + host + ":" + s.port + ": " + PQerrorMessage(conn);
    PQfinish(conn);
    return nullptr;
  }
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);  // "does not exist, skipping"
  return conn;
}

bool ExecOn(PGconn* conn, const std::string& sql, std::string* error) {
  PGresult* r = PQexec(conn, sql.c_str());
  ExecStatusType st = PQresultStatus(r);
  bool ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
  if (!ok && error) *error = PQresultErrorMessage(r);
  PQclear(r);
  return ok;
}

uint32_t Fnv1a(std::string_view text) {
  uint32_t h = 2166136261u;
  for (unsigned char c : text) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace

PgSettings ReadPgSettings() {
  PgSettings s;
  s.host = EnvText("KVR_TEST_PG_HOST");
  s.port = EnvText("KVR_TEST_PG_PORT");
  s.user = EnvText("KVR_TEST_PG_USER");
  s.password = EnvText("KVR_TEST_PG_PASSWORD");
  s.socketDir = EnvText("KVR_TEST_PG_SOCKET_DIR");
  s.data = EnvText("KVR_TEST_PG_DATA");
  s.bin = EnvText("KVR_TEST_PG_BIN");
  if (s.port.empty()) s.port = "5432";
  return s;
}

bool PgConfigured() {
  PgSettings s = ReadPgSettings();
  return (!s.host.empty() || !s.socketDir.empty()) && !s.user.empty();
}

bool PgRequired() { return EnvText("KVR_TEST_REQUIRE_PG") == "1"; }

std::string PgDatabaseName(std::string_view testName) {
  std::string name = "kvrt_";
  for (char c : testName) {
    unsigned char u = static_cast<unsigned char>(c);
    name += std::isalnum(u) ? static_cast<char>(std::tolower(u)) : '_';
  }
  char tag[16];
#ifdef KVR_BIN_DIR
  std::snprintf(tag, sizeof tag, "_%06x", Fnv1a(KVR_BIN_DIR) & 0xFFFFFFu);
#else
  std::snprintf(tag, sizeof tag, "_%06x", 0u);
#endif
  if (name.size() > 63 - 7) {
    // Keep names of long tests apart by a hash of the whole name.
    char h[16];
    std::snprintf(h, sizeof h, "%08x", Fnv1a(testName));
    name = name.substr(0, 63 - 7 - 9) + "_" + h;
  }
  return name + tag;
}

PgDatabase CreatePgDatabase(std::string_view testName, const PgSettings& s) {
  PgDatabase db;
  if ((s.host.empty() && s.socketDir.empty()) || s.user.empty()) {
    db.error = "KVR_TEST_PG_HOST / KVR_TEST_PG_USER not set";
    return db;
  }
  db.name = PgDatabaseName(testName);
  db.login = s.user;
  db.password = s.password;
  std::string host = s.host.empty() ? s.socketDir : s.host;
  db.service = host + ":" + s.port + "/" + db.name;
  if (!s.socketDir.empty()) {
    db.socketService = "postgresql:///" + db.name + "?host=" + s.socketDir + "&port=" + s.port;
  }
  PGconn* conn = AdminConnect(s, "postgres", &db.error);
  if (!conn) return db;
  std::string err;
  bool ok =
      ExecOn(conn, "DROP DATABASE IF EXISTS " + db.name + " WITH (FORCE)", &err) &&
      ExecOn(conn, "CREATE DATABASE " + db.name + " ENCODING 'UTF8' TEMPLATE template0", &err);
  PQfinish(conn);
  if (!ok) {
    db.error = "cannot create database " + db.name + ": " + err;
    return db;
  }
  db.ok = true;
  return db;
}

PgDatabase CreatePgDatabase(std::string_view testName) {
  return CreatePgDatabase(testName, ReadPgSettings());
}

PgDatabase CreatePgDatabaseForCurrentTest() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "_" + info->name() : "no_test";
  return CreatePgDatabase(name);
}

bool PgExec(const std::string& dbname, const std::string& sql, std::string* error) {
  PGconn* conn = AdminConnect(ReadPgSettings(), dbname, error);
  if (!conn) return false;
  bool ok = ExecOn(conn, sql, error);
  PQfinish(conn);
  return ok;
}

// ---------------------------------------------------------------------------
// PrivatePgCluster

PrivatePgCluster::PrivatePgCluster() : settings_(ReadPgSettings()) {}

PrivatePgCluster::~PrivatePgCluster() {
  if (running_) Stop();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::string PrivatePgCluster::AsOwner(const std::string& command) const {
  return asRoot_ ? "runuser -u postgres -- " + command : command;
}

bool PrivatePgCluster::Run(const std::string& command, const char* what) {
  std::string full = AsOwner(command) + " >>" + logFile_ + ".tool 2>&1";
  int rc = std::system(full.c_str());
  if (rc != 0) {
    error_ = std::string(what) + " failed (" + std::to_string(rc) + "), see " + logFile_;
    return false;
  }
  return true;
}

bool PrivatePgCluster::Init() {
  if (initialised_) return Start();
  char tmpl[] = "/tmp/kvrpgc-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    error_ = "mkdtemp failed";
    return false;
  }
  dir_ = tmpl;
  dataDir_ = dir_ + "/data";
  sockDir_ = dir_ + "/sock";
  logFile_ = dir_ + "/server.log";
  std::filesystem::create_directories(sockDir_);
  std::string pwfile = dir_ + "/pwfile";
  {
    std::ofstream out(pwfile);
    out << password_ << "\n";
  }
  asRoot_ = geteuid() == 0;
  if (asRoot_) {
    const passwd* pw = getpwnam("postgres");
    if (!pw) {
      error_ = "no user postgres to run the server";
      return false;
    }
    for (const std::string& p : {dir_, sockDir_, pwfile}) {
      if (chown(p.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        error_ = "chown failed on " + p;
        return false;
      }
    }
  }
  std::string bin = settings_.bin.empty() ? "" : settings_.bin + "/";
  if (!Run(bin + "initdb -D " + dataDir_ + " -U " + login_ + " --pwfile=" + pwfile +
               " -A scram-sha-256 -E UTF8 --no-locale --no-sync",
           "initdb")) {
    return false;
  }
  port_ = FreePort();
  if (port_ == 0) {
    error_ = "no free port";
    return false;
  }
  initialised_ = true;
  return Start();
}

bool PrivatePgCluster::Start() {
  if (!initialised_) return Init();
  if (running_) return true;
  std::string bin = settings_.bin.empty() ? "" : settings_.bin + "/";
  std::string opts = "-p " + std::to_string(port_) + " -k " + sockDir_ +
                     " -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=20";
  if (!Run(
          bin + "pg_ctl -D " + dataDir_ + " -l " + logFile_ + " -w -t 60 -o \"" + opts + "\" start",
          "pg_ctl start")) {
    return false;
  }
  running_ = true;
  return true;
}

bool PrivatePgCluster::Stop() {
  if (!running_) return true;
  std::string bin = settings_.bin.empty() ? "" : settings_.bin + "/";
  bool ok = Run(bin + "pg_ctl -D " + dataDir_ + " -m fast -w -t 60 stop", "pg_ctl stop");
  if (ok) running_ = false;
  return ok;
}

bool PrivatePgCluster::Restart() { return Stop() && Start(); }

bool PrivatePgCluster::CreateDatabase(const std::string& name) {
  PgSettings s;
  s.host = "127.0.0.1";
  s.port = std::to_string(port_);
  s.user = login_;
  s.password = password_;
  PGconn* conn = AdminConnect(s, "postgres", &error_);
  if (!conn) return false;
  bool ok =
      ExecOn(conn, "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)", &error_) &&
      ExecOn(conn, "CREATE DATABASE " + name + " ENCODING 'UTF8' TEMPLATE template0", &error_);
  PQfinish(conn);
  return ok;
}

std::string PrivatePgCluster::connectText(const std::string& dbname) const {
  return login_ + "/" + password_ + "@127.0.0.1:" + std::to_string(port_) + "/" + dbname;
}

}  // namespace kvr::test
