#include "e2e/program_dir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace kvr::test {

namespace fs = std::filesystem;

ProgramDir::ProgramDir(const std::string& service, const std::string& login,
                       const std::string& password, const std::string& ini) {
  UseOwnServiceSockets();
  progDir_ = base_.path() + "/jobctl";
  fs::create_directories(progDir_);
  fs::create_directories(base_.path() + "/veltronia_php/log");
  fs::copy_file(std::string(KVR_BIN_DIR) + "/KVRJOBSTR", progDir_ + "/KVRJOBSTR");
  fs::copy_file(std::string(KVR_BIN_DIR) + "/kvrjobctl", progDir_ + "/kvrjobctl");
  if (!ini.empty()) base_.Write("jobctl/KVRJOBCTL.INI", ini);
  if (service.empty()) return;
  connectText_ = login + "/" + password + "@" + service;
  int rc = Shell("./kvrjobctl credentials --file VELTRONIA.INI --service '" + service +
                 "' --schema KVSYSTEM --login '" + login + "' --password '" + password +
                 "' --db-system ORACLE >/dev/null && ./kvrjobctl init --sql-dir '" +
                 std::string(KVR_SQL_DIR) + "' >/dev/null");
  EXPECT_EQ(rc, 0) << "kvrjobctl credentials/init failed";
}

ProgramDir::~ProgramDir() = default;

std::string ProgramDir::Read(const std::string& name) const {
  std::ifstream in(File(name), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void ProgramDir::InstallProgram(const std::string& from, const std::string& name) const {
  fs::copy_file(from, File(name), fs::copy_options::overwrite_existing);
}

int ProgramDir::Shell(const std::string& command) const {
  std::string line = "cd '" + progDir_ + "' && " + command;
  int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t ProgramDir::Spawn(const std::string& command, const std::string& logName) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (chdir(progDir_.c_str()) != 0) _exit(126);
    std::string redirected = "exec " + command + " >>'" + base_.path() + "/" + logName + "' 2>&1";
    execl("/bin/sh", "sh", "-c", redirected.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

pid_t ProgramDir::StartService(int instance) {
  pid_t pid = Spawn(std::string("'") + KVR_BIN_DIR + "/kvrjobsvc' " + std::to_string(instance),
                    "service.out");
  const std::string listening = "listening on kvrjobctl" + std::to_string(instance);
  EXPECT_TRUE(WaitFor([&] {
    std::ifstream in(base_.path() + "/service.out");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str().find(listening) != std::string::npos;
  })) << "kvrjobsvc "
      << instance << " does not listen";
  return pid;
}

pid_t ProgramDir::StartServiceWithController(int instance, const std::string& serviceOptions) {
  return Spawn(std::string("'") + KVR_BIN_DIR + "/kvrjobsvc' " + serviceOptions + " " +
                   std::to_string(instance) + " -- '" + progDir_ + "/KVRJOBSTR' " +
                   std::to_string(instance),
               "service.out");
}

std::string ProgramDir::ServiceLog() const { return base_.Read("service.out"); }

pid_t ProgramDir::StartController(const std::string& args) {
  return Spawn("'" + progDir_ + "/KVRJOBSTR' " + args, "controller.out");
}

std::unique_ptr<Connection> ProgramDir::Connect() const {
  auto db = MakeConnection();
  std::string text = connectText_;
  // An SQLite path in the credentials is relative to the program directory.
  auto at = text.rfind("@sqlite:");
  if (at != std::string::npos && text.compare(at + 8, 1, "/") != 0) {
    text.insert(at + 8, progDir_ + "/");
  }
  int rc = db->Connect(text);
  EXPECT_EQ(rc, 0) << db->LastMessage();
  return db;
}

std::string QueryText(Connection& db, const std::string& sql) {
  char buffer[1025] = {};
  Out out[] = {Out::Text(buffer, 1024)};
  db.SelectOne(sql, {}, out);
  db.Commit();
  return buffer;
}

long QueryCount(Connection& db, const std::string& sql) {
  int32_t count = 0;
  Out out[] = {Out::Int(&count)};
  db.SelectOne(sql, {}, out);
  db.Commit();
  return count;
}

// Kept apart from the numbers the service tests use (60000 to 80003).
int UniqueInstance(int k) { return 100000 + (getpid() % 9000) * 10 + k; }
int SpareInstance(int k) { return 200000 + (getpid() % 9000) * 10 + k; }

bool ProcessRunning(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content;
  std::getline(stat, content);
  auto close = content.rfind(')');
  return close != std::string::npos && close + 2 < content.size() && content[close + 2] != 'Z';
}

}  // namespace kvr::test
