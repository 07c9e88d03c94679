// End-to-end tests of the watching service: the real kvrjobsvc binary,
// contacted over its socket the way the controller contacts it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/program_dir.h"
#include "platform/service_socket.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace kvr {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const std::string kService = KVR_BIN_DIR "/kvrjobsvc";

using test::WaitExit;
using test::WaitFor;

// An instance number of its own for each test of this run.
int Instance(int k) { return 60000 + static_cast<int>(getpid() % 5000) * 4 + k; }

ServiceReply Contact(int instance) {
  char request[kServiceMessageSize] = "KVRJOBSTR.EXE";
  std::string pipe = "\\\\.\\pipe\\kvrjobctl" + std::to_string(instance);
  return CallServiceSocket(pipe, request, sizeof request, 1000, 3000);
}

class KvrjobsvcTest : public ::testing::Test {
 protected:
  KvrjobsvcTest() { test::UseOwnServiceSockets(); }
  ~KvrjobsvcTest() override {
    for (pid_t pid : started_) {
      if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  }

  // Starts kvrjobsvc with the arguments; its standard error goes to
  // stderr.log in the test's directory.
  pid_t Start(const std::vector<std::string>& args, const char* stopWait = nullptr) {
    std::string log = dir_.File("stderr.log");
    pid_t pid = fork();
    if (pid == 0) {
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) dup2(fd, STDERR_FILENO);
      if (stopWait != nullptr) setenv("KVRJOBSVC_STOP_WAIT_SECONDS", stopWait, 1);
      std::vector<char*> argv{const_cast<char*>(kService.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(kService.c_str(), argv.data());
      _exit(127);
    }
    started_.push_back(pid);
    return pid;
  }

  std::string Log() const { return dir_.Read("stderr.log"); }

  test::TempDir dir_;
  std::vector<pid_t> started_;
};

TEST_F(KvrjobsvcTest, AnswersItsInstanceAndStopsAnsweringOnSigterm) {
  int instance = Instance(0);
  pid_t svc = Start({std::to_string(instance)});
  ASSERT_TRUE(WaitFor([&] { return Contact(instance).answered; }, milliseconds(5000))) << Log();
  ServiceReply reply = Contact(instance);
  EXPECT_EQ(reply.reply, "OK");
  EXPECT_FALSE(Contact(instance + 1).answered);  // another instance's socket

  // A contact that connects and sends nothing holds up no other contact.
  sockaddr_un address;
  socklen_t length = 0;
  ASSERT_TRUE(MakeServiceAddress("kvrjobctl" + std::to_string(instance), &address, &length));
  int idle = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(connect(idle, reinterpret_cast<sockaddr*>(&address), length), 0);
  auto before = Clock::now();
  EXPECT_TRUE(Contact(instance).answered);
  EXPECT_LT(Clock::now() - before, milliseconds(1000));
  close(idle);

  // A second service on the same instance fails clearly.
  pid_t second = Start({std::to_string(instance)});
  EXPECT_NE(WaitExit(second, milliseconds(5000)), 0);
  EXPECT_NE(Log().find("Address already in use"), std::string::npos) << Log();

  ASSERT_EQ(kill(svc, SIGTERM), 0);
  EXPECT_EQ(WaitExit(svc, milliseconds(5000)), 0);
  reply = Contact(instance);
  EXPECT_FALSE(reply.answered);
  EXPECT_EQ(reply.error, ECONNREFUSED);
  EXPECT_NE(Log().find("kvrjobsvc: listening on kvrjobctl" + std::to_string(instance)),
            std::string::npos);
  EXPECT_NE(Log().find("stopping"), std::string::npos);
}

TEST_F(KvrjobsvcTest, RestartsAChildThatEnds) {
  int instance = Instance(1);
  std::string file = dir_.File("runs");
  pid_t svc =
      Start({std::to_string(instance), "--", "/bin/sh", "-c", "echo x >> '" + file + "'; exit 3"});
  auto lines = [&] {
    std::string text = dir_.Read("runs");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  };
  ASSERT_TRUE(WaitFor([&] { return lines() >= 2; }, milliseconds(8000))) << Log();
  EXPECT_TRUE(Contact(instance).answered);
  ASSERT_EQ(kill(svc, SIGINT), 0);
  EXPECT_EQ(WaitExit(svc, milliseconds(5000)), 0);
  std::string log = Log();
  EXPECT_NE(log.find("controller exited with status 3, restarting in 1 s"), std::string::npos)
      << log;
  EXPECT_NE(log.find("controller exited with status 3, restarting in 2 s"), std::string::npos)
      << log;
}

TEST_F(KvrjobsvcTest, KillsAChildThatDoesNotExitWithinTheWait) {
  int instance = Instance(2);
  std::string pidFile = dir_.File("child.pid");
  pid_t svc = Start({std::to_string(instance), "--", "/bin/sh", "-c",
                     "echo $$ > '" + pidFile + "'; exec sleep 100"},
                    "1");
  ASSERT_TRUE(WaitFor([&] { return !dir_.Read("child.pid").empty(); }, milliseconds(5000)));
  pid_t child = static_cast<pid_t>(std::atol(dir_.Read("child.pid").c_str()));
  ASSERT_GT(child, 0);
  auto before = Clock::now();
  ASSERT_EQ(kill(svc, SIGTERM), 0);
  EXPECT_EQ(WaitExit(svc, milliseconds(10000)), 0);
  EXPECT_GE(Clock::now() - before, milliseconds(900));
  EXPECT_NE(kill(child, 0), 0);  // gone (killed and reaped)
  EXPECT_NE(Log().find("killing it"), std::string::npos) << Log();
}

TEST_F(KvrjobsvcTest, ChildThatEndsWithinTheWaitIsNotKilled) {
  int instance = Instance(3);
  // Ends on its own a moment after the service stopped, like the controller
  // after its next contact found no service.
  std::string marker = dir_.File("ended");
  std::string controller =
      "i=0; while [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); "
      "[ -e '" +
      dir_.File("stop") + "' ] && { echo done > '" + marker + "'; exit 0; }; done";
  pid_t svc = Start({std::to_string(instance), "--", "/bin/sh", "-c", controller}, "20");
  ASSERT_TRUE(WaitFor([&] { return Contact(instance).answered; }, milliseconds(5000)));
  ASSERT_EQ(kill(svc, SIGTERM), 0);
  ASSERT_TRUE(WaitFor([&] { return !Contact(instance).answered; }, milliseconds(2000)));
  dir_.Write("stop", "");
  auto before = Clock::now();
  EXPECT_EQ(WaitExit(svc, milliseconds(10000)), 0);
  EXPECT_LT(Clock::now() - before, milliseconds(5000));
  EXPECT_EQ(dir_.Read("ended"), "done\n");
  EXPECT_EQ(Log().find("killing it"), std::string::npos) << Log();
}

// A child that never contacts the service and ignores SIGTERM is ended with
// SIGKILL after the grace time and started again; one that goes on
// contacting (below) is left alone.
TEST_F(KvrjobsvcTest, EndsASilentChildAndStartsItAgain) {
  int instance = Instance(0);
  std::string runs = dir_.File("runs");
  pid_t svc = Start({"--watch", "2", std::to_string(instance), "--", "/bin/sh", "-c",
                     "echo $$ >> '" + runs + "'; trap '' TERM; exec sleep 100"},
                    "1");
  auto count = [&] {
    std::string text = dir_.Read("runs");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  };
  ASSERT_TRUE(WaitFor([&] { return count() >= 2; }, milliseconds(20000))) << Log();
  pid_t first = static_cast<pid_t>(std::atol(dir_.Read("runs").c_str()));
  EXPECT_NE(kill(first, 0), 0);  // gone (killed and reaped)
  ASSERT_EQ(kill(svc, SIGTERM), 0);
  EXPECT_EQ(WaitExit(svc, milliseconds(10000)), 0);
  std::string log = Log();
  for (const std::string& line :
       {"controller pid " + std::to_string(first) + " has not contacted the service for ",
        "controller pid " + std::to_string(first) + " did not end within 1 s, killing it",
        std::string("controller exited with status signal 9, restarting in 1 s")}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
}

int ControllerPid(const std::string& serviceLog, size_t nth) {
  const std::string started = "started controller pid ";
  size_t at = std::string::npos;
  for (size_t i = 0, from = 0; i < nth; ++i, from = at + 1) {
    at = serviceLog.find(started, from);
    if (at == std::string::npos) return 0;
  }
  return std::atoi(serviceLog.c_str() + at + started.size());
}

// A working controller contacts the service in every pass and is left
// alone; stopped (SIGSTOP), it is ended, ends its jobs on the SIGTERM the
// service sends with SIGCONT, and a new one takes the queue.
TEST(KvrjobsvcWatch, EndsAStoppedControllerAndANewOneWorksTheQueue) {
  test::ProgramDir dir("sqlite:kvr.db", "kvr", "demo");
  pid_t svc = dir.StartServiceWithController(Instance(1), "--watch 3");
  constexpr char kWorking[] = "Ende Initialisierung + Beginn Verarbeitung!";
  ASSERT_TRUE(WaitFor([&] { return dir.MainLog().find(kWorking) != std::string::npos; }))
      << dir.ServiceLog();
  pid_t first = ControllerPid(dir.ServiceLog(), 1);
  ASSERT_GT(first, 0) << dir.ServiceLog();
  std::this_thread::sleep_for(milliseconds(4500));  // longer than the watch time
  EXPECT_EQ(dir.ServiceLog().find("has not contacted"), std::string::npos) << dir.ServiceLog();

  ASSERT_EQ(kill(first, SIGSTOP), 0);
  ASSERT_TRUE(WaitFor([&] { return ControllerPid(dir.ServiceLog(), 2) > 0; }, milliseconds(30000)))
      << dir.ServiceLog();
  EXPECT_FALSE(test::ProcessRunning(first));
  ASSERT_TRUE(WaitFor([&] {
    std::string log = dir.MainLog();
    return log.find(kWorking) != log.rfind(kWorking);
  })) << dir.MainLog();
  ASSERT_EQ(kill(svc, SIGTERM), 0);
  EXPECT_EQ(WaitExit(svc, milliseconds(30000)), 0);
  std::string log = dir.ServiceLog();
  EXPECT_NE(log.find("controller pid " + std::to_string(first) + " has not contacted the service"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("killing it"), std::string::npos) << log;  // it ended on SIGTERM
  EXPECT_NE(dir.MainLog().find("Alle verwalteten Jobs beenden!"), std::string::npos);
}

}  // namespace
}  // namespace kvr
