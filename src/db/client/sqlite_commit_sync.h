// SqliteCommitSync: whether an SQLite transaction's commit waits for the
// disk. The connection commits as it was opened (full sync in WAL mode: the
// log is synced before the commit returns). A transaction asked for with
// Connection::DeferNextCommitSync commits with synchronous=NORMAL instead:
// the log is written but its sync is left to the next full commit, which
// covers every frame before its own. SQLite changes the level only outside
// a transaction, so it is set just before the BEGIN; a level that cannot be
// set back fails that BEGIN rather than let a later commit go unsynced.
#pragma once

#include "db/client/backend.h"

struct sqlite3;

namespace kvr {

class SqliteCommitSync {
 public:
  // Asked while a transaction is open, it does nothing.
  void Defer(bool inTransaction) {
    if (!inTransaction) wanted_ = true;
  }
  // Before BEGIN: sets the level the new transaction commits with. A
  // failure here is the BEGIN's.
  DbStatus BeforeBegin(sqlite3* db);
  // A commit ends what was asked, also one with nothing to commit.
  void Committed() { wanted_ = false; }
  // A new connection starts at its own level.
  void Reset() { *this = SqliteCommitSync(); }

 private:
  bool wanted_ = false;
  bool deferred_ = false;  // the connection is at NORMAL now
  int opened_ = -1;        // the connection's own level, once read
};

}  // namespace kvr
