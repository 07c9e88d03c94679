// The SQLite wake source: inotify on the database file and its
// write-ahead log, confirmed by PRAGMA data_version.
#include <sqlite3.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "db/client/wake_sources.h"

namespace kvr {

namespace {

class SqliteWakeSource : public WakeSource {
 public:
  SqliteWakeSource(sqlite3* db, int fd) : db_(db), fd_(fd) { seen_ = DataVersion(); }
  ~SqliteWakeSource() override {
    sqlite3_finalize(version_);
    close(fd_);
  }

  int fd() const override { return fd_; }
  // Events that came while the pass ran are mostly the controller's own
  // writes, but one may be another program's commit still being published:
  // a few quick looks cover that, without costing an idle controller much.
  bool Arm() override {
    bool events = Drain();
    fast_ = slow_ = 0;
    if (Changed()) return true;
    if (events) fast_ = kArmRechecks;
    return false;
  }
  // The log is written, then synced, and only then is the commit published
  // in the shared index, which tells nobody: an event can come well before
  // the change is visible (a sync can take a hundred milliseconds on a busy
  // disk). Looks follow one that found nothing, often at first, then
  // slower, for about a second.
  bool Confirm() override {
    bool events = Drain();
    if (Changed()) {
      fast_ = slow_ = 0;
      return true;
    }
    if (events) {
      fast_ = kFastRechecks;
      slow_ = kSlowRechecks;
    } else if (fast_ > 0) {
      --fast_;
    } else if (slow_ > 0) {
      --slow_;
    }
    return false;
  }
  int64_t RecheckInMs() const override {
    if (fast_ > 0) return kFastRecheckMs;
    return slow_ > 0 ? kSlowRecheckMs : 0;
  }

 private:
  // After an event: 25 looks 2 ms apart, then 95 looks 10 ms apart, about
  // a second in all.
  static constexpr int64_t kFastRecheckMs = 2;
  static constexpr int64_t kSlowRecheckMs = 10;
  static constexpr int kFastRechecks = 25;
  static constexpr int kSlowRechecks = 95;
  // After the pass's own writes, a few quick looks only (they are its own
  // writes almost always, and come every pass).
  static constexpr int kArmRechecks = 3;

  // Takes the pending inotify events; true when there were any.
  bool Drain() {
    char events[4096];
    bool any = false;
    while (read(fd_, events, sizeof events) > 0) any = true;
    return any;
  }

  // Whether another connection has committed since the last look.
  bool Changed() {
    Drain();
    int64_t now = DataVersion();
    if (now == seen_) return false;
    seen_ = now;
    return true;
  }

  int64_t DataVersion() {
    if (version_ == nullptr &&
        sqlite3_prepare_v2(db_, "PRAGMA data_version", -1, &version_, nullptr) != SQLITE_OK) {
      return seen_;
    }
    int64_t v = seen_;
    if (sqlite3_step(version_) == SQLITE_ROW) v = sqlite3_column_int64(version_, 0);
    sqlite3_reset(version_);
    return v;
  }

  sqlite3* db_;
  int fd_;
  sqlite3_stmt* version_ = nullptr;
  int64_t seen_ = 0;
  int fast_ = 0;  // quick looks left
  int slow_ = 0;  // slower looks left after them
};

}  // namespace

std::unique_ptr<WakeSource> MakeSqliteWakeSource(sqlite3* db) {
  const char* file = sqlite3_db_filename(db, "main");
  if (file == nullptr || *file == '\0') return nullptr;  // an in-memory database
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  const uint32_t mask = IN_MODIFY | IN_CLOSE_WRITE;
  bool watched = inotify_add_watch(fd, file, mask) >= 0;
  std::string wal = std::string(file) + "-wal";
  watched = inotify_add_watch(fd, wal.c_str(), mask) >= 0 || watched;
  if (!watched) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<SqliteWakeSource>(db, fd);
}

}  // namespace kvr
