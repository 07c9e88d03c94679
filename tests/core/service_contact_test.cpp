#include "core/service_contact.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/fake_env.h"
#include "support/temp_dir.h"

namespace kvr {
namespace {

class ServiceContactTest : public ::testing::Test {
 protected:
  ServiceContactTest() { env_.SetLocalTime(2026, 12, 7, 8, 0, 0); }
  // Both logs in the test's directory, the debug log switched on.
  static Config LogsIn(const test::TempDir& dir) {
    Config config;
    config.kvrLog = dir.path() + "/main.LOG";
    config.mainLogBackup = dir.path() + "/main.BAK";
    config.dbgFile = dir.path() + "/dbg.LOG";
    config.debugLogBackup = dir.path() + "/dbg.BAK";
    config.dbgLog = 1;
    return config;
  }
  std::string MainLog() { return dir_.Read("main.LOG"); }
  std::string DebugLog() { return dir_.Read("dbg.LOG"); }

  FakeEnv env_;
  test::TempDir dir_;
  Config config_{LogsIn(dir_)};
  Logger log_{env_, config_};
  ServiceContact contact_{env_, log_};
};

TEST_F(ServiceContactTest, AnsweredContactSendsTheRequestAndWaitsASecond) {
  ServiceContact instance3{env_, log_, 3};  // the pipe of instance 3
  int64_t start = env_.Now();
  EXPECT_EQ(instance3.Contact("dbConnect", false), 1);
  EXPECT_EQ(env_.serviceCalls, std::vector<std::string>{"\\\\.\\pipe\\kvrjobctl3"});
  EXPECT_EQ(env_.lastRequest, "KVRJOBSTR.EXE");
  EXPECT_GT(env_.lastReplyTimeoutMs, 0);  // a bounded wait for the reply
  EXPECT_EQ(env_.sleeps, std::vector<int64_t>{1000});
  EXPECT_EQ(env_.console, "KVRJOBSTR: received: OK\n");
  EXPECT_EQ(instance3.nextContactTime(), start + 3);
  EXPECT_EQ(DebugLog(),
            "2026-12-07 08:00:00  Service kontaktiert! dbConnect\n"
            "2026-12-07 08:00:00  Service antwortet!\n");
  EXPECT_EQ(MainLog(), "");
}

TEST_F(ServiceContactTest, UnforcedContactsWithinThreeSecondsAreSkipped) {
  int64_t start = env_.Now();
  ASSERT_EQ(contact_.Contact("a", false), 1);  // now start+1 after the wait
  std::string debugBefore = DebugLog();
  env_.Advance(1);  // start+2
  EXPECT_EQ(contact_.Contact("b", false), 1);
  EXPECT_EQ(env_.serviceCalls.size(), 1u);
  EXPECT_EQ(DebugLog(), debugBefore);  // no line at all
  EXPECT_EQ(contact_.nextContactTime(), start + 3);
  env_.Advance(1);  // start+3: due again
  EXPECT_EQ(contact_.Contact("c", false), 1);
  EXPECT_EQ(env_.serviceCalls.size(), 2u);
  EXPECT_EQ(contact_.nextContactTime(), start + 6);
}

TEST_F(ServiceContactTest, ForcedContactIsAlwaysMadeAndMovesTheNextTime) {
  int64_t start = env_.Now();
  ASSERT_EQ(contact_.Contact("a", false), 1);  // waits 1 s
  EXPECT_EQ(contact_.Contact("Hauptschleife!", true), 1);
  EXPECT_EQ(env_.serviceCalls.size(), 2u);
  EXPECT_EQ(contact_.nextContactTime(), start + 1 + 3);
}

TEST_F(ServiceContactTest, NoAnswerLogsTheErrorCodeAndWaits100Ms) {
  env_.service = [](const std::string&) { return ServiceReply{false, "", ECONNREFUSED}; };
  EXPECT_EQ(contact_.Contact("cleanupServer", false), 0);
  EXPECT_EQ(env_.sleeps, std::vector<int64_t>{100});
  EXPECT_EQ(MainLog(),
            "2026-12-07 08:00:00  Service antwortet nicht! ErrCode: 111! "
            "KVRJOBSTR wird beendet!\n");
  EXPECT_EQ(DebugLog(),
            "2026-12-07 08:00:00  Service kontaktiert! cleanupServer\n"
            "2026-12-07 08:00:00  Service antwortet nicht 111!\n");
  EXPECT_EQ(env_.console, "");
}

TEST_F(ServiceContactTest, StopRequestEndsLikeAServiceThatIsGone) {
  env_.RequestStop();
  ASSERT_EQ(contact_.Contact("Hauptschleife!", true), 0);
  EXPECT_TRUE(env_.serviceCalls.empty());
  EXPECT_EQ(MainLog(),
            "2026-12-07 08:00:00  Signal zum Beenden erhalten! KVRJOBSTR wird beendet!\n");
  // A contact within the interval is still skipped and counts as answered.
  EXPECT_EQ(contact_.Contact("KillAllProcs", false), 1);
  EXPECT_TRUE(env_.serviceCalls.empty());
}

TEST_F(ServiceContactTest, LongReplyIsShownWhole) {
  std::string reply(80, 'r');
  env_.service = [reply](const std::string&) { return ServiceReply{true, reply, 0}; };
  EXPECT_EQ(contact_.Contact("x", true), 1);
  EXPECT_EQ(env_.console, "KVRJOBSTR: received: " + reply + "\n");
}

}  // namespace
}  // namespace kvr
