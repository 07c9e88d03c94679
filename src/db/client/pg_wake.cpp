// The PostgreSQL wake source: LISTEN on the queue's channel.
#include <libpq-fe.h>

#include <string>

#include "db/client/wake_sources.h"

namespace kvr {

namespace {

class PgWakeSource : public WakeSource {
 public:
  explicit PgWakeSource(PGconn* conn) : conn_(conn), self_(PQbackendPID(conn)) {}

  int fd() const override { return lost_ ? -1 : PQsocket(conn_); }

  // Notifications read in with the pass's own statements are waiting in
  // libpq already.
  bool Arm() override { return lost_ ? false : Take(); }

  bool Confirm() override {
    if (lost_) return false;
    if (PQconsumeInput(conn_) == 0) return Lose();
    return Take();
  }

 private:
  bool Take() {
    bool other = false;
    while (PGnotify* n = PQnotifies(conn_)) {
      if (n->be_pid != self_) other = true;
      PQfreemem(n);
    }
    if (PQstatus(conn_) != CONNECTION_OK) return Lose();
    return other;
  }
  bool Lose() {
    lost_ = true;
    return true;
  }

  PGconn* conn_;
  int self_;
  bool lost_ = false;
};

}  // namespace

std::unique_ptr<WakeSource> MakePgWakeSource(pg_conn* conn) {
  if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) return nullptr;
  std::string listen = std::string("LISTEN ") + kQueueChannel;
  PGresult* r = PQexec(conn, listen.c_str());
  bool ok = r != nullptr && PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  if (!ok) return nullptr;
  return std::make_unique<PgWakeSource>(conn);
}

}  // namespace kvr
