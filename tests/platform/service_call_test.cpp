#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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
    if (listenFd_ >= 0) close(listenFd_);
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

TEST(CallService, ServiceOfAnotherUserIsNotTrusted) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a service as another user";
  std::string name = UniqueName("stranger");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The listening socket carries the credentials of its creator.
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    int fd = ListenServiceSocket(name, 4);
    if (fd >= 0) fcntl(fd, F_SETFL, 0);  // wait in accept
    char c = fd >= 0 ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(3);
    int conn = accept(fd, nullptr, nullptr);
    if (conn >= 0) {
      char buffer[kServiceMessageSize];
      ssize_t ignored = recv(conn, buffer, sizeof buffer, 0);
      (void)ignored;
      ignored = send(conn, "OK", 2, MSG_NOSIGNAL);
      close(conn);
    }
    _exit(0);
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  ASSERT_EQ(c, 'y');
  PosixEnv env;
  ServiceReply r = env.CallService("\\\\.\\pipe\\" + name, kRequest, 1000);
  EXPECT_FALSE(r.answered);
  EXPECT_EQ(r.error, EPERM);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
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
