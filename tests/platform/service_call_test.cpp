#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/posix_env.h"
#include "platform/service_socket.h"

namespace kvr {
namespace {

enum class Behaviour { Answer, CloseAtOnce, NeverAnswer };

// A one-connection service on a socket name of its own, run by a thread.
class TinyService {
 public:
  TinyService(const std::string& name, Behaviour behaviour) : name_(name) {
    listenFd_ = ListenServiceSocket(name, 4);
    if (listenFd_ < 0) return;
    thread_ = std::thread([this, behaviour] { Serve(behaviour); });
  }
  ~TinyService() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) {
      close(listenFd_);
      RemoveServiceSocket(name_);
    }
  }
  bool listening() const { return listenFd_ >= 0; }
  // Every byte the one connection sent; waits for the service to finish.
  std::string Received() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  void Serve(Behaviour behaviour) {
    int fd = -1;
    while (!done_ && fd < 0) {
      fd = accept(listenFd_, nullptr, nullptr);
      if (fd < 0) usleep(5000);
    }
    if (fd < 0) return;
    if (behaviour == Behaviour::Answer) {
      char buffer[kServiceMessageSize];
      size_t got = 0;
      while (got < sizeof buffer) {
        ssize_t n = recv(fd, buffer + got, sizeof buffer - got, 0);
        if (n > 0)
          got += static_cast<size_t>(n);
        else if (n == 0 || errno != EAGAIN)
          break;
        else
          usleep(1000);
      }
      request_.assign(buffer, got);
      send(fd, "OK", 2, MSG_NOSIGNAL);
    }
    while (behaviour == Behaviour::NeverAnswer && !done_) usleep(5000);
    close(fd);
  }

  std::string name_;
  int listenFd_ = -1;
  std::atomic<bool> done_{false};
  std::thread thread_;
  std::string request_;
};

std::string UniqueName(const char* what) {
  return "kvrtest-" + std::to_string(getpid()) + "-" + what;
}

const char kRequest[kServiceMessageSize] = "KVRJOBSTR.EXE";

TEST(ServiceSocketName, IsThePipeNamesLastComponent) {
  EXPECT_EQ(ServiceSocketName("\\\\.\\pipe\\kvrjobctl3"), "kvrjobctl3");
  EXPECT_EQ(ServiceSocketName("\\\\.\\pipe\\kvrjobctl"), "kvrjobctl");
  EXPECT_EQ(ServiceSocketName("kvrjobctl"), "kvrjobctl");
}

TEST(CallService, AnsweredServiceGetsTheRequestBytes) {
  std::string name = UniqueName("answer");
  TinyService service(name, Behaviour::Answer);
  ASSERT_TRUE(service.listening());
  PosixEnv env;
  ServiceReply r = env.CallService("\\\\.\\pipe\\" + name, kRequest, 3000);
  EXPECT_TRUE(r.answered) << r.error;
  EXPECT_EQ(r.reply, "OK");
  // The whole fixed-size request: the text, then zero bytes to its end.
  std::string sent = service.Received();
  ASSERT_EQ(sent.size(), static_cast<size_t>(kServiceMessageSize));
  EXPECT_EQ(sent, std::string(kRequest, kServiceMessageSize));
}

TEST(CallService, FailuresAreNoAnswerWithTheirErrorCode) {
  PosixEnv env;
  // Nobody listens.
  ServiceReply r = env.CallService("\\\\.\\pipe\\" + UniqueName("none"), kRequest, 3000);
  EXPECT_FALSE(r.answered);
  EXPECT_EQ(r.error, ECONNREFUSED);

  // Accepts and closes without a byte.
  std::string closing = UniqueName("close");
  TinyService closer(closing, Behaviour::CloseAtOnce);
  ASSERT_TRUE(closer.listening());
  r = env.CallService("\\\\.\\pipe\\" + closing, kRequest, 3000);
  EXPECT_FALSE(r.answered);
  EXPECT_NE(r.error, 0);
}

TEST(CallService, ServiceThatNeverAnswersIsGivenUpAfterTheWait) {
  std::string name = UniqueName("mute");
  TinyService service(name, Behaviour::NeverAnswer);
  ASSERT_TRUE(service.listening());
  PosixEnv env;
  int64_t start = env.SteadyMillis();
  ServiceReply r = env.CallService("\\\\.\\pipe\\" + name, kRequest, 300);
  int64_t took = env.SteadyMillis() - start;
  EXPECT_FALSE(r.answered);
  EXPECT_EQ(r.error, ETIMEDOUT);
  EXPECT_GE(took, 290);
  EXPECT_LT(took, 2000);
}

// Sets RUNTIME_DIRECTORY for the test's time.
class RuntimeDirectory {
 public:
  explicit RuntimeDirectory(const std::string& dir) {
    setenv(kRuntimeDirectoryVariable, dir.c_str(), 1);
  }
  ~RuntimeDirectory() { unsetenv(kRuntimeDirectoryVariable); }
};

// Another user's socket folder is never used: neither to listen nor to call.
TEST(CallService, FolderOfAnotherUserIsNotUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a folder of another user";
  std::string dir = "/tmp/kvrtest-stranger-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
  {
    RuntimeDirectory runtime(dir);
    PosixEnv env;
    ServiceReply r = env.CallService("\\\\.\\pipe\\" + UniqueName("stranger"), kRequest, 1000);
    EXPECT_FALSE(r.answered);
    EXPECT_EQ(r.error, EPERM);
    EXPECT_LT(ListenServiceSocket(UniqueName("stranger"), 4), 0);
    EXPECT_EQ(errno, EPERM);
  }
  rmdir(dir.c_str());
}

// A /tmp folder planted by another user moves the sockets into the home
// folder; the user's own folder, or none yet, keeps them in /tmp.
TEST(ServiceSocketDir, PlantedSharedFolderMovesToHome) {
  std::string base = "/tmp/kvrtest-plant-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((base + "/own").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((base + "/open").c_str(), 0777), 0);
  ASSERT_EQ(chmod((base + "/open").c_str(), 0777), 0);
  EXPECT_EQ(UnplantedSocketDir(base + "/none", "/home/u"), base + "/none");
  EXPECT_EQ(UnplantedSocketDir(base + "/own", "/home/u"), base + "/own");
  EXPECT_EQ(UnplantedSocketDir(base + "/open", "/home/u"), "/home/u/.kvrjobstr");
  EXPECT_EQ(UnplantedSocketDir(base + "/open", ""), base + "/open");
  if (geteuid() == 0) {
    ASSERT_EQ(mkdir((base + "/stranger").c_str(), 0700), 0);
    ASSERT_EQ(chown((base + "/stranger").c_str(), 65534, 65534), 0);
    EXPECT_EQ(UnplantedSocketDir(base + "/stranger", "/root"), "/root/.kvrjobstr");
  }
  std::filesystem::remove_all(base);
}

TEST(ServiceSocketDir, OnlyAPrivateFolderOfThisUserPasses) {
  std::string base = "/tmp/kvrtest-dirs-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
  struct Case {
    const char* name;
    int mode;  // -1: missing; -2: a link to a private folder
    bool passes;
  };
  const Case cases[] = {{"missing", -1, true},   {"private", 0700, true}, {"readable", 0755, true},
                        {"shared", 0777, false}, {"group", 0770, false},  {"link", -2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = base + "/" + c.name;
    if (c.mode >= 0) {
      ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
      ASSERT_EQ(chmod(dir.c_str(), static_cast<mode_t>(c.mode)), 0);
    } else if (c.mode == -2) {
      ASSERT_EQ(symlink((base + "/private").c_str(), dir.c_str()), 0);
    }
    errno = 0;
    EXPECT_EQ(CheckServiceSocketDir(dir), c.passes);
    if (!c.passes) {
      EXPECT_EQ(errno, EPERM);
    }
  }
  struct stat st {};
  ASSERT_EQ(stat((base + "/missing").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  std::filesystem::remove_all(base);
}

TEST(RefusalCounter, LogsAtMostOnceAMinuteWithTheCount) {
  const std::pair<int64_t, long> refusals[] = {{1000, 1},  {1010, 0},  {60999, 0},
                                               {61000, 3}, {61001, 0}, {500000, 2}};
  RefusalCounter counter;
  for (auto [at, logged] : refusals) EXPECT_EQ(counter.Refused(at), logged) << at;
}

TEST(ListenServiceSocket, SecondListenerOnTheSameNameFails) {
  std::string name = UniqueName("twice");
  int first = ListenServiceSocket(name, 4);
  ASSERT_GE(first, 0);
  EXPECT_LT(ListenServiceSocket(name, 4), 0);
  EXPECT_EQ(errno, EADDRINUSE);
  close(first);
  int again = ListenServiceSocket(name, 4);  // free again once closed
  EXPECT_GE(again, 0);
  if (again >= 0) close(again);
}

}  // namespace
}  // namespace kvr
