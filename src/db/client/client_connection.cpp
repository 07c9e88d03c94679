// The client facade behind MakeConnection: parses the connect text, picks
// the backend at Connect, translates statements (cached per text), turns
// rows into the caller's fixed-width fields and keeps LastCode and
// LastMessage (scrubbed of the password, at most 70 characters).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "db/client/backend.h"
#include "db/client/connect_text.h"
#include "db/client/connection.h"
#include "db/client/pg_backend.h"
#include "db/client/sqlite_backend.h"

namespace kvr {
namespace {

constexpr size_t kMaxMessage = 70;
// Statements built as text (the selections carry the exclusion list, the
// due-job read the current time) would grow the cache without end.
constexpr size_t kTranslationCacheSize = 256;

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
};

DbStatus NoData() { return DbStatus{kSqlNoData, "ORA-01403: no data found"}; }

// Copies one row into the output fields. A NULL leaves the field alone.
DbStatus FillOutputs(const RowSet& rows, size_t row, std::span<const Out> out) {
  if (out.size() > rows.columns) {
    return DbStatus{-1007, "ORA-01007: variable not in select list"};
  }
  for (size_t c = 0; c < out.size(); ++c) {
    const std::optional<std::string>& cell = rows.at(row, c);
    if (!cell) continue;
    const Out& o = out[c];
    if (o.isText()) {
      if (!o.textBuffer()) continue;
      size_t n = std::min(cell->size(), o.width());
      std::memcpy(o.textBuffer(), cell->data(), n);
      o.textBuffer()[n] = '\0';
    } else if (o.integer()) {
      const char* s = cell->c_str();
      char* end = nullptr;
      errno = 0;
      long long v = std::strtoll(s, &end, 10);
      if (end == s || *end != '\0') {
        double d = std::strtod(s, &end);
        if (end == s || *end != '\0') return DbStatus{-1722, "ORA-01722: invalid number"};
        v = static_cast<long long>(d);
      }
      if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) {
        return DbStatus{-1455, "ORA-01455: converting column overflows integer datatype"};
      }
      *o.integer() = static_cast<int32_t>(v);
    }
  }
  return {};
}

class ClientConnection;

// Rows are read at Open; the cursor hands them out one by one.
class BufferedCursor : public Cursor {
 public:
  BufferedCursor(ClientConnection* owner, RowSet rows) : owner_(owner), rows_(std::move(rows)) {}
  int Fetch(std::span<const Out> out) override;
  int Close() override;

 private:
  ClientConnection* owner_;
  RowSet rows_;
  size_t next_ = 0;
  bool closed_ = false;
};

class ClientConnection : public Connection {
 public:
  explicit ClientConnection(const ConnectionOptions& o) : options_(o) {}

  int Connect(const std::string& connectText) override;
  int Execute(std::string_view sql, std::span<const Bind> in) override;
  int SelectOne(std::string_view sql, std::span<const Bind> in, std::span<const Out> out) override;
  std::unique_ptr<Cursor> Open(std::string_view sql, std::span<const Bind> in,
                               int* status) override;
  int Commit() override;
  QueueLockResult TryQueueLock(Env& env, const QueueLockRequest& request) override;
  void ReleaseQueueLock() override {
    if (backend_) backend_->ReleaseQueueLock();
  }
  std::string_view BackendName() const override {
    return backend_ ? backend_->name() : std::string_view();
  }
  std::unique_ptr<WakeSource> OpenWakeSource() override {
    return backend_ ? backend_->OpenWakeSource() : nullptr;
  }
  int LastCode() const override { return lastCode_; }
  std::string LastMessage() const override { return lastMessage_; }

  int Set(const DbStatus& st);

 private:
  const Translation& Translate(std::string_view sql);
  DbStatus Query(std::string_view sql, std::span<const Bind> in, RowSet* rows);

  ConnectionOptions options_;
  std::unique_ptr<Backend> backend_;
  std::unordered_map<std::string, Translation, TextHash, std::equal_to<>> cache_;
  std::string cacheSchema_;
  std::string password_, uriPassword_;
  int lastCode_ = 0;
  std::string lastMessage_;
};

int BufferedCursor::Fetch(std::span<const Out> out) {
  if (closed_) return owner_->Set(DbStatus{-1001, "ORA-01001: invalid cursor"});
  if (next_ >= rows_.rows()) return owner_->Set(NoData());
  return owner_->Set(FillOutputs(rows_, next_++, out));
}

int BufferedCursor::Close() {
  if (closed_) return owner_->Set({});  // closing twice is harmless
  closed_ = true;
  rows_ = RowSet();
  return owner_->Set({});
}

int ClientConnection::Set(const DbStatus& st) {
  lastCode_ = st.code;
  if (st.code == 0) {
    lastMessage_.clear();
    return 0;
  }
  std::string m = ScrubSecret(ScrubSecret(st.message, password_), uriPassword_);
  for (char& c : m) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  if (m.size() > kMaxMessage) m.resize(kMaxMessage);
  lastMessage_ = std::move(m);
  return st.code;
}

int ClientConnection::Connect(const std::string& connectText) {
  backend_.reset();  // a new session; whatever the old one held is gone
  cache_.clear();
  cacheSchema_.clear();
  ConnectTarget target;
  DbStatus st;
  bool parsed = ParseConnectText(connectText, &target, &st.code, &st.message);
  password_ = target.password;
  uriPassword_ = UriPassword(target.uri);
  if (!parsed) return Set(st);
  std::unique_ptr<Backend> b = target.kind == BackendKind::Sqlite
                                   ? MakeSqliteBackend(options_.sqliteBusyTimeoutMs)
                                   : MakePgBackend(options_.pgConnectTimeoutSeconds);
  st = b->Connect(target);
  if (st.code == 0) backend_ = std::move(b);
  return Set(st);
}

const Translation& ClientConnection::Translate(std::string_view sql) {
  if (backend_->dialect() == Dialect::Sqlite && backend_->currentSchema() != cacheSchema_) {
    cache_.clear();  // unqualified names now mean another schema
    cacheSchema_ = backend_->currentSchema();
  }
  auto it = cache_.find(sql);
  if (it != cache_.end()) return it->second;
  if (cache_.size() >= kTranslationCacheSize) cache_.clear();
  Translation t = TranslateStatement(sql, backend_->dialect(), cacheSchema_);
  return cache_.emplace(std::string(sql), std::move(t)).first->second;
}

DbStatus ClientConnection::Query(std::string_view sql, std::span<const Bind> in, RowSet* rows) {
  if (!backend_) return DbStatus{kSqlNotConnected, kMsgNotConnected};
  const Translation& t = Translate(sql);
  if (t.isAlterSession()) return backend_->SetSchema(t.schema);
  int64_t affected = -1;
  DbStatus st = backend_->Run(t, in, rows, &affected);
  if (st.code == 0 && affected == 0 &&
      (t.kind == StatementKind::Update || t.kind == StatementKind::Delete ||
       t.kind == StatementKind::Insert)) {
    return NoData();
  }
  return st;
}

int ClientConnection::Execute(std::string_view sql, std::span<const Bind> in) {
  return Set(Query(sql, in, nullptr));
}

int ClientConnection::SelectOne(std::string_view sql, std::span<const Bind> in,
                                std::span<const Out> out) {
  RowSet rows;
  DbStatus st = Query(sql, in, &rows);
  if (st.code != 0) return Set(st);
  if (rows.rows() == 0) return Set(NoData());
  return Set(FillOutputs(rows, 0, out));
}

std::unique_ptr<Cursor> ClientConnection::Open(std::string_view sql, std::span<const Bind> in,
                                               int* status) {
  RowSet rows;
  DbStatus st = Query(sql, in, &rows);
  int code = Set(st);
  if (status) *status = code;
  if (code != 0) return nullptr;
  return std::make_unique<BufferedCursor>(this, std::move(rows));
}

int ClientConnection::Commit() {
  if (!backend_) return Set(DbStatus{kSqlNotConnected, kMsgNotConnected});
  return Set(backend_->Commit());
}

QueueLockResult ClientConnection::TryQueueLock(Env& env, const QueueLockRequest& request) {
  if (!backend_) {
    Set(DbStatus{kSqlNotConnected, kMsgNotConnected});
    QueueLockResult r;
    r.state = QueueLockState::Failed;
    r.code = kSqlNotConnected;
    r.error = kMsgNotConnected;
    return r;
  }
  QueueLockResult r = backend_->TryQueueLock(env, request);
  if (r.state == QueueLockState::Failed) {
    // The error keeps its full length (it names the lock file) but is
    // scrubbed of the password like any message.
    r.error = ScrubSecret(ScrubSecret(r.error, password_), uriPassword_);
    Set(DbStatus{r.code, r.error});
  } else {
    Set({});
  }
  return r;
}

}  // namespace

std::unique_ptr<Connection> MakeConnection() { return MakeConnection(ConnectionOptions()); }

std::unique_ptr<Connection> MakeConnection(const ConnectionOptions& options) {
  return std::make_unique<ClientConnection>(options);
}

}  // namespace kvr
