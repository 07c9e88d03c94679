// Wake sources of the two engines: how the controller learns, while it
// waits between passes, that another program changed the queue.
//
// PostgreSQL: the connection listens on the channel kQueueChannel, which
// the trigger on KVSYSTEM.KVR500JOB (sql/postgres) notifies on inserts and
// on updates of the columns that make a row due. Notifications the
// connection's own statements caused (the status row of every pass, the
// rows of started and ended jobs) are told apart by the sender's process id
// and do not wake. A connection that breaks wakes once and is then left
// alone: the next pass finds it gone like any lost database.
//
// SQLite: inotify on the database file and its write-ahead log; a change
// counts only when PRAGMA data_version of the connection moved, which it
// does for commits of other connections only, never for its own.
//
// Only the backends include this; each source borrows the backend's handle
// and must go before it.
#pragma once

#include <memory>

#include "platform/wake_source.h"

struct pg_conn;
struct sqlite3;

namespace kvr {

inline constexpr char kQueueChannel[] = "kvr500job";

std::unique_ptr<WakeSource> MakePgWakeSource(pg_conn* conn);
std::unique_ptr<WakeSource> MakeSqliteWakeSource(sqlite3* db);

}  // namespace kvr
