// The demo as a new user runs it, beside the test suite on an instance of
// its own: it starts, the job its text suggests runs, a second demo on the
// same instance says why it cannot start, and SIGTERM stops it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "e2e/program_dir.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace kvr::test {
namespace {

using std::chrono::seconds;

std::string SourceRoot() { return std::string(KVR_SQL_DIR) + "/.."; }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the demo with its output into a file; its pid.
pid_t StartDemo(int instance, const std::string& folder, const std::string& out) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("KVR_DEMO_BIN", KVR_BIN_DIR, 1);
    std::string cmd = "exec bash '" + SourceRoot() + "/scripts/demo.sh' --instance " +
                      std::to_string(instance) + " '" + folder + "' >'" + out + "' 2>&1";
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

TEST(Demo, StartsRunsTheSuggestedJobAndSaysWhyASecondOneCannotStart) {
  UseOwnServiceSockets();
  TempDir base;
  int instance = SpareInstance(9);
  pid_t demo = StartDemo(instance, base.path() + "/one", base.path() + "/one.out");
  const std::string prog = base.path() + "/one/jobctl";
  ASSERT_TRUE(WaitFor(
      [&] {
        return ReadAll(prog + "/KVRJOBCTL.LOG").find("Ende Initialisierung") != std::string::npos;
      },
      seconds(60)))
      << ReadAll(base.path() + "/one.out");
  auto ctl = [&](const std::string& args) {
    return system(("cd '" + prog + "' && ./kvrjobctl " + args + " >ctl.out 2>&1").c_str());
  };
  ASSERT_EQ(ctl("add --name DEMO --command \"sleep 1\""), 0);
  EXPECT_TRUE(WaitFor(
      [&] {
        return ctl("history DEMO") == 0 &&
               ReadAll(prog + "/ctl.out").find("exit 0") != std::string::npos;
      },
      seconds(30)))
      << ReadAll(prog + "/ctl.out");
  EXPECT_EQ(ReadAll(prog + "/KVRJOBCTL.LOG").find("fehlgeschlagen"), std::string::npos)
      << ReadAll(prog + "/KVRJOBCTL.LOG");

  pid_t second = StartDemo(instance, base.path() + "/two", base.path() + "/two.out");
  EXPECT_EQ(WaitExit(second, seconds(60)), 1);
  EXPECT_NE(ReadAll(base.path() + "/two.out").find("another kvrjobsvc may serve this instance"),
            std::string::npos)
      << ReadAll(base.path() + "/two.out");

  kill(demo, SIGTERM);
  EXPECT_EQ(WaitExit(demo, seconds(60)), 0) << ReadAll(base.path() + "/one.out");
}

}  // namespace
}  // namespace kvr::test
