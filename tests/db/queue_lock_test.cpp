// The queue lock on both engines: one holder per queue, the second refused
// with the holder named, free again when the holder's connection ends or
// gives it up; a session takes it anew with every connect.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "db/client/connection.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "platform/fake_env.h"
#include "platform/posix_env.h"
#include "support/test_config.h"
#include "support/test_database.h"
#include "support/wait.h"

namespace kvr {
namespace {

QueueLockRequest Request(const std::string& holder) {
  return QueueLockRequest{"KVRJOBSTR", holder, "KVSYSTEM"};
}

class QueueLockTest : public ::testing::TestWithParam<Engine> {
 protected:
  std::unique_ptr<Connection> Connect(const TestDatabase& db) {
    auto c = MakeConnection();
    EXPECT_EQ(c->Connect(db.connectText()), 0) << c->LastMessage();
    return c;
  }
  PosixEnv env_;
  test::TempDir dir_;
};

TEST_P(QueueLockTest, OneHolderTheOthersToldWhoAndFreedWithTheConnection) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  auto first = Connect(db);
  auto second = Connect(db);
  struct Step {
    const char* what;
    Connection* conn;
    const char* holder;
    QueueLockState want;
    const char* wantHolder;
  };
  const Step steps[] = {
      {"first takes it", first.get(), "hostA 11", QueueLockState::Held, ""},
      {"first again", first.get(), "hostA 11", QueueLockState::Held, ""},
      {"second refused", second.get(), "hostB 22", QueueLockState::Busy, "hostA 11"},
      {"second again", second.get(), "hostB 22", QueueLockState::Busy, "hostA 11"},
  };
  for (const Step& s : steps) {
    QueueLockResult r = s.conn->TryQueueLock(env_, Request(s.holder));
    EXPECT_EQ(r.state, s.want) << s.what << ": " << r.error;
    EXPECT_EQ(r.holder, s.wantHolder) << s.what;
    s.conn->Commit();
  }
  // One release frees it although it was asked for twice.
  first->ReleaseQueueLock();
  first->Commit();
  EXPECT_EQ(second->TryQueueLock(env_, Request("hostB 22")).state, QueueLockState::Held);
  second->Commit();
  EXPECT_EQ(first->TryQueueLock(env_, Request("hostA 11")).holder, "hostB 22");
  first->Commit();
  second.reset();  // the connection ends: the lock goes with it
  auto third = Connect(db);
  bool taken = false;
  for (int i = 0; i < 50 && !taken; ++i) {
    taken = third->TryQueueLock(env_, Request("hostC 33")).held();
    third->Commit();
    if (!taken) env_.SleepMs(100);  // the server ends the session's backend
  }
  EXPECT_TRUE(taken);
}

TEST_P(QueueLockTest, SessionTakesItWithEveryConnectAndTriesAgainOnAsking) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  Config config = test::LogsIn(dir_.path());
  Logger log(env_, config);
  Session holder(env_, log), standby(env_, log);
  holder.RequireQueueLock(Request("hostA 1"));
  standby.RequireQueueLock(Request("hostB 2"));
  ASSERT_EQ(holder.SQLConnect(db.login, db.password, db.service, db.schema), 0);
  EXPECT_TRUE(holder.queueLockHeld());
  ASSERT_EQ(standby.SQLConnect(db.login, db.password, db.service, db.schema), 0);
  EXPECT_EQ(standby.queueLock().state, QueueLockState::Busy);
  EXPECT_EQ(standby.queueLock().holder, "hostA 1");
  EXPECT_EQ(standby.TryQueueLock().state, QueueLockState::Busy);

  // The holder's reconnect gives the lock up with the old connection, and
  // takes it again on the new one.
  EXPECT_EQ(holder.connectCount(), 1);
  ASSERT_EQ(holder.SQLConnect(db.login, db.password, db.service, db.schema), 0);
  EXPECT_EQ(holder.connectCount(), 2);
  // PostgreSQL ends the old connection's backend, and with it its lock, a
  // moment after the client has gone; asking again takes it then.
  EXPECT_TRUE(test::WaitFor([&] { return holder.queueLockHeld() || holder.TryQueueLock().held(); },
                            std::chrono::seconds(10)))
      << holder.queueLock().error;
  EXPECT_EQ(standby.TryQueueLock().holder, "hostA 1");
  // A session that never asked for it takes nothing.
  Session plain(env_, log);
  ASSERT_EQ(plain.SQLConnect(db.login, db.password, db.service, db.schema), 0);
  EXPECT_EQ(plain.queueLock().state, QueueLockState::NotTried);
}

TEST_P(QueueLockTest, EachDatabaseHasALockOfItsOwn) {
  TestDatabase one = MakeTestDatabase(GetParam(), "lock_one", dir_.path());
  test::TempDir otherDir;
  TestDatabase two = MakeTestDatabase(GetParam(), "lock_two", otherDir.path());
  if (!one.ok || !two.ok) {
    KVR_REQUIRE_ENGINE(GetParam());
    FAIL() << one.error << two.error;
  }
  auto a = Connect(one);
  auto b = Connect(two);
  EXPECT_TRUE(a->TryQueueLock(env_, Request("h 1")).held());
  EXPECT_TRUE(b->TryQueueLock(env_, Request("h 2")).held());
}

INSTANTIATE_TEST_SUITE_P(Engines, QueueLockTest,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

// Others name the holder by its host and process id; a host without a
// name still gives a holder of two words.
TEST(QueueLockHolder, HostAndProcessId) {
  FakeEnv env;
  EXPECT_EQ(QueueLockHolder(env), "fakehost 4242");
  env.hostName = "";
  EXPECT_EQ(QueueLockHolder(env), "? 4242");
}

TEST(QueueLockSqlite, LockFileThatCannotBeMadeIsAFailureNamingIt) {
  test::TempDir dir;
  PosixEnv env;
  TestDatabase db = MakeTestDatabase(Engine::Sqlite, "lockfile", dir.path());
  ASSERT_TRUE(db.ok) << db.error;
  std::string file = db.service.substr(db.service.find(':') + 1);
  ASSERT_EQ(mkdir((file + ".lock").c_str(), 0755), 0);  // a directory in the way
  auto c = MakeConnection();
  ASSERT_EQ(c->Connect(db.connectText()), 0);
  QueueLockResult r = c->TryQueueLock(env, Request("h 1"));
  EXPECT_EQ(r.state, QueueLockState::Failed);
  // The name of the file (the password, should the path hold it, is masked).
  const std::string name = file.substr(file.rfind('/') + 1) + ".lock";
  EXPECT_NE(r.error.find(name), std::string::npos) << r.error;
  EXPECT_NE(r.error.find("Is a directory"), std::string::npos) << r.error;
  EXPECT_NE(r.code, 0);
}

std::string SqliteFile(const TestDatabase& db) {
  return db.service.substr(db.service.find(':') + 1);
}

// The lock stays on the database file: a lock file removed or replaced
// under its holder lets nobody in, and the holder's next check of the file
// puts its name back for others to read.
TEST(QueueLockSqlite, LockFileRemovedOrReplacedLetsNoSecondHolderIn) {
  for (bool replace : {false, true}) {
    test::TempDir dir;
    PosixEnv env;
    TestDatabase db = MakeTestDatabase(Engine::Sqlite, "lockgone", dir.path());
    ASSERT_TRUE(db.ok) << db.error;
    auto holder = MakeConnection();
    auto second = MakeConnection();
    ASSERT_EQ(holder->Connect(db.connectText()), 0);
    ASSERT_EQ(second->Connect(db.connectText()), 0);
    ASSERT_TRUE(holder->TryQueueLock(env, Request("hostA 1")).held());
    const std::string lock = SqliteFile(db) + ".lock";
    ASSERT_EQ(std::remove(lock.c_str()), 0);
    if (replace) std::ofstream(lock) << "cleaner 9";
    EXPECT_EQ(second->TryQueueLock(env, Request("hostB 2")).state, QueueLockState::Busy)
        << "replaced: " << replace;
    EXPECT_TRUE(holder->CheckDatabaseFile());
    QueueLockResult r = second->TryQueueLock(env, Request("hostB 2"));
    EXPECT_EQ(r.state, QueueLockState::Busy) << "replaced: " << replace;
    EXPECT_EQ(r.holder, "hostA 1") << "replaced: " << replace;
    holder.reset();
    EXPECT_TRUE(second->TryQueueLock(env, Request("hostB 2")).held()) << "replaced: " << replace;
  }
}

// A database file replaced under the holder: its check finds the session
// lost and gives the lock up; the standby takes the new file, and the old
// holder, connected to the file at the path, finds it held.
TEST(QueueLockSqlite, ReplacedDatabaseFileLosesTheSessionAndOneHolderWorksTheNewFile) {
  test::TempDir dir, other;
  PosixEnv env;
  TestDatabase db = MakeTestDatabase(Engine::Sqlite, "replaced", dir.path());
  TestDatabase fresh = MakeTestDatabase(Engine::Sqlite, "replaced", other.path());
  ASSERT_TRUE(db.ok && fresh.ok) << db.error << fresh.error;
  Config config = test::LogsIn(dir.path());
  Logger log(env, config);
  Session holder(env, log), standby(env, log);
  holder.RequireQueueLock(Request("hostA 1"));
  standby.RequireQueueLock(Request("hostB 2"));
  ASSERT_EQ(holder.SQLConnect(db.login, db.password, db.service, db.schema), 0);
  ASSERT_TRUE(holder.queueLockHeld());
  EXPECT_EQ(holder.CheckDB(WriteStatusRow), 1);

  ASSERT_EQ(std::rename(SqliteFile(fresh).c_str(), SqliteFile(db).c_str()), 0);
  ASSERT_EQ(standby.SQLConnect(db.login, db.password, db.service, db.schema), 0);
  EXPECT_FALSE(standby.queueLockHeld()) << "taken before the holder noticed";
  EXPECT_EQ(holder.CheckDB(WriteStatusRow), 0);
  EXPECT_TRUE(holder.writesLost());
  EXPECT_TRUE(standby.TryQueueLock().held());
  EXPECT_EQ(holder.CheckDB(WriteStatusRow), 1);  // connected to the file at the path
  EXPECT_FALSE(holder.queueLockHeld());
  EXPECT_EQ(holder.queueLock().holder, "hostB 2");
  EXPECT_TRUE(standby.db().CheckDatabaseFile());
}

TEST(QueueLockSqlite, NotConnectedIsAFailureThatSaysSo) {
  PosixEnv env;
  auto c = MakeConnection();
  QueueLockResult r = c->TryQueueLock(env, Request("h 1"));
  EXPECT_EQ(r.state, QueueLockState::Failed);
  EXPECT_EQ(r.code, kSqlNotConnected);
}

}  // namespace
}  // namespace kvr
