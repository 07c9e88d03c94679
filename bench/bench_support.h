// Helpers the benchmarks share: the command line (--help, the instance
// numbers), real controller installations with their watching service, and
// polling with a time-out.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/credentials/credential_file.h"
#include "support/test_database.h"

namespace kvr::bench {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// True when the arguments ask for the usage (which is then printed).
inline bool WantsHelp(int argc, char** argv, const char* usage) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(usage, stdout);
      return true;
    }
  }
  return false;
}

// The value of "--name N", or the fallback when it is not given.
inline long LongOption(int argc, char** argv, const char* name, long fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
  }
  return fallback;
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool WaitFor(const std::function<bool()>& condition, double timeoutMs, int pollMs = 5) {
  auto start = Clock::now();
  while (MsSince(start) < timeoutMs) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return condition();
}

inline pid_t SpawnIn(const std::string& dir, const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (chdir(dir.c_str()) != 0) _exit(126);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

inline void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 400; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// One controller installation: program directory, service and controller.
struct Installation {
  std::string dir;
  int instance = 0;
  pid_t service = 0, controller = 0;
  std::string Log() const { return ReadAll(dir + "/KVRJOBCTL.LOG"); }
  void StartController() {
    controller = SpawnIn(dir, {dir + "/KVRJOBSTR", std::to_string(instance)});
  }
  void StopAll() {
    Stop(service);
    Stop(controller);
    service = controller = 0;
  }
};

// Where the programs come from: KVR_BENCH_BIN_DIR when set (to measure
// another build's programs with this benchmark), else this build's.
inline std::string BinDir() {
  const char* dir = std::getenv("KVR_BENCH_BIN_DIR");
  return dir != nullptr && *dir != '\0' ? dir : KVR_BIN_DIR;
}

// Makes the program directory (program, INI, credentials) and starts the
// service of the instance.
inline void Install(Installation& in, const TestDatabase& db, const std::string& ini) {
  namespace fs = std::filesystem;
  fs::create_directories(in.dir);
  fs::create_directories(in.dir + "/../veltronia_php/log");
  fs::copy_file(BinDir() + "/KVRJOBSTR", in.dir + "/KVRJOBSTR",
                fs::copy_options::overwrite_existing);
  std::ofstream(in.dir + "/KVRJOBCTL.INI") << ini;
  const std::pair<const char*, std::string> entries[] = {{"NET8", db.service},
                                                         {"SCHEMA", db.schema + "."},
                                                         {"LOGIN", db.login},
                                                         {"PASS", db.password},
                                                         {"DB_SYSTEM", "ORACLE"}};
  std::ofstream cred(in.dir + "/VELTRONIA.INI", std::ios::binary);
  int number = 1;
  for (const auto& [key, value] : entries) {
    cred << ";VELTRONIA;\r\n"
         << number++ << ";" << key << ";" << EncipherCredentialValue(value) << "\r\n";
  }
  in.service = SpawnIn(in.dir, {BinDir() + "/kvrjobsvc", std::to_string(in.instance)});
}

}  // namespace kvr::bench
