// The PostgreSQL queue trigger: which changes to KVSYSTEM.KVR500JOB notify
// the channel a waiting controller listens on. Each case runs on another
// connection, followed in its transaction by a notification of a channel of
// the test's own: everything the case caused has arrived before that one.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <poll.h>

#include <string>

#include "db/client/connection.h"
#include "support/test_database.h"
#include "support/test_pg.h"

namespace kvr {
namespace {

// Notifications of kvr500job up to the closing one; -1 when it never came.
int NotificationsUntilDone(PGconn* listener) {
  int count = 0;
  for (int polls = 0; polls < 100; ++polls) {
    pollfd p{PQsocket(listener), POLLIN, 0};
    if (poll(&p, 1, 100) < 0 || PQconsumeInput(listener) == 0) return -1;
    while (PGnotify* n = PQnotifies(listener)) {
      bool done = std::string(n->relname) == "kvrtest_done";
      PQfreemem(n);
      if (done) return count;
      ++count;
    }
  }
  return -1;
}

TEST(QueueTrigger, NotifiesChangesThatCanMakeARowDueOnly) {
  KVR_PG_DATABASE(db);
  auto conn = MakeConnection();
  ASSERT_EQ(conn->Connect(db.connectText()), 0) << conn->LastMessage();
  std::string error;
  ASSERT_EQ(ApplyTestSchema(*conn, &error), 0) << error;
  // Applying the definitions again is harmless (an installation's init).
  ASSERT_EQ(ApplyTestSchema(*conn, &error), 0) << error;
  const test::PgSettings s = test::ReadPgSettings();
  std::string info = "host=" + s.host + " port=" + s.port + " user=" + s.user +
                     " password=" + s.password + " dbname=" + db.name;
  PGconn* listener = PQconnectdb(info.c_str());
  ASSERT_EQ(PQstatus(listener), CONNECTION_OK) << PQerrorMessage(listener);
  PQclear(PQexec(listener, "LISTEN kvr500job; LISTEN kvrtest_done"));
  ASSERT_TRUE(
      test::PgExec(db.name,
                   "insert into kvsystem.kvr500job (jobda1,jobke2,jobsts) values ('1','A','00'),"
                   "('1','B','00'),('1','S','00'); NOTIFY kvrtest_done"));
  ASSERT_EQ(NotificationsUntilDone(listener), 1);
  const struct {
    const char* name;
    const char* sql;
    int notifications;
  } cases[] = {
      {"a new row", "insert into kvsystem.kvr500job (jobda1,jobke2) values ('2','N')", 1},
      {"the status row written again", "update kvsystem.kvr500job set jobsts='00' where jobke2='S'",
       0},
      {"a status that changes", "update kvsystem.kvr500job set jobsts='01' where jobke2='A'", 1},
      {"the same next runs again", "update kvsystem.kvr500job set jobnrt=jobnrt", 0},
      {"a next run from nothing", "update kvsystem.kvr500job set jobnrt='1' where jobke2='B'", 1},
      {"no row matched", "update kvsystem.kvr500job set jobsts='01' where jobke2='none'", 0},
      {"many rows in one transaction", "update kvsystem.kvr500job set jobsts='02'", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(test::PgExec(db.name, std::string(c.sql) + "; NOTIFY kvrtest_done", &error))
        << error;
    EXPECT_EQ(NotificationsUntilDone(listener), c.notifications);
  }
  PQfinish(listener);
}

}  // namespace
}  // namespace kvr
