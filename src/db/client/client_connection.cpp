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

// Reads a column value as a 32-bit integer: 0 and *value set, or the code
// of a row fault. An empty text is NULL and leaves *value alone.
int ToInteger(const std::string& text, int32_t* value) {
  if (text.empty()) return kSqlOk;
  const char* s = text.c_str();
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s, &end, 10);
  if (end == s || *end != '\0') {
    errno = 0;
    double d = std::strtod(s, &end);
    if (end == s || *end != '\0' || d != d) return kSqlInvalidNumber;
    if (d < static_cast<double>(INT32_MIN) || d > static_cast<double>(INT32_MAX)) {
      return kSqlIntegerOverflow;
    }
    v = static_cast<long long>(d);
  }
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return kSqlIntegerOverflow;
  *value = static_cast<int32_t>(v);
  return kSqlOk;
}

const char* FaultMessage(int code) {
  switch (code) {
    case kSqlInvalidNumber:
      return "ORA-01722: invalid number";
    case kSqlIntegerOverflow:
      return "ORA-01455: converting column overflows integer datatype";
    default:
      return "ORA-01406: fetched column value was truncated";
  }
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

// The row as read, for a caller that sets it aside.
void DescribeFault(const RowSet& rows, size_t row, size_t column, int code, RowFault* fault) {
  fault->code = code;
  fault->message = FaultMessage(code);
  fault->names.clear();
  fault->values.clear();
  for (size_t c = 0; c < rows.columns; ++c) {
    fault->names.push_back(Upper(c < rows.names.size() ? rows.names[c] : std::string()));
    fault->values.push_back(rows.at(row, c));
  }
  fault->column = fault->names[column];
  if (fault->column.empty()) fault->column = "#" + std::to_string(column + 1);
}

// Copies one row into the output fields. A NULL leaves the field alone. A
// number that cannot be read leaves its field alone too; the other fields
// are filled, and the first such value is described in *fault and answered.
// A text longer than its field is cut, as an Oracle client does with an
// indicator: the fetch succeeds, and *fault notes the first cut column.
DbStatus FillOutputs(const RowSet& rows, size_t row, std::span<const Out> out, RowFault* fault) {
  if (out.size() > rows.columns) {
    return DbStatus{-1007, "ORA-01007: variable not in select list"};
  }
  int first = kSqlOk;
  for (size_t c = 0; c < out.size(); ++c) {
    const std::optional<std::string>& cell = rows.at(row, c);
    if (!cell) continue;
    const Out& o = out[c];
    int code = kSqlOk;
    if (o.isText()) {
      if (!o.textBuffer()) continue;
      size_t n = std::min(cell->size(), o.width());
      std::memcpy(o.textBuffer(), cell->data(), n);
      o.textBuffer()[n] = '\0';
      if (cell->size() > o.width()) code = kSqlValueTruncated;
    } else if (o.integer()) {
      code = ToInteger(*cell, o.integer());
    }
    if (code == kSqlOk) continue;
    if (fault->code == 0 || (first == kSqlOk && code != kSqlValueTruncated)) {
      DescribeFault(rows, row, c, code, fault);
    }
    if (code != kSqlValueTruncated && first == kSqlOk) first = code;
  }
  if (first == kSqlOk) return {};
  return DbStatus{first, fault->message + " (" + fault->column + ")"};
}

class ClientConnection;

// Rows are read at Open; the cursor hands them out one by one.
class BufferedCursor : public Cursor {
 public:
  BufferedCursor(ClientConnection* owner, RowSet rows) : owner_(owner), rows_(std::move(rows)) {}
  int Fetch(std::span<const Out> out) override;
  const RowFault* Fault() const override { return fault_.code != 0 ? &fault_ : nullptr; }
  // (A fetch that cut a text answers 0 and still has its Fault.)
  int Close() override;

 private:
  ClientConnection* owner_;
  RowSet rows_;
  size_t next_ = 0;
  bool closed_ = false;
  RowFault fault_;
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
  void DeferNextCommitSync() override {
    if (backend_) backend_->DeferNextCommitSync();
  }
  QueueLockResult TryQueueLock(Env& env, const QueueLockRequest& request) override;
  void ReleaseQueueLock() override {
    if (backend_) backend_->ReleaseQueueLock();
  }
  bool CheckDatabaseFile() override { return !backend_ || backend_->CheckDatabaseFile(); }
  std::string_view BackendName() const override {
    return backend_ ? backend_->name() : std::string_view();
  }
  std::unique_ptr<WakeSource> OpenWakeSource() override {
    return backend_ ? backend_->OpenWakeSource() : nullptr;
  }
  int LastCode() const override { return lastCode_; }
  std::string LastMessage() const override { return lastMessage_; }
  const RowFault* LastRowFault() const override {
    return lastFault_.code != 0 ? &lastFault_ : nullptr;
  }

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
  RowFault lastFault_;
};

int BufferedCursor::Fetch(std::span<const Out> out) {
  fault_ = RowFault();
  if (closed_) return owner_->Set(DbStatus{-1001, "ORA-01001: invalid cursor"});
  if (next_ >= rows_.rows()) return owner_->Set(NoData());
  return owner_->Set(FillOutputs(rows_, next_++, out, &fault_));
}

// Closing a buffered cursor cannot fail; the last status stays that of the
// last fetch, so a failure line written after the close carries its code.
int BufferedCursor::Close() {
  closed_ = true;
  rows_ = RowSet();
  return kSqlOk;
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
  std::unique_ptr<Backend> b =
      target.kind == BackendKind::Sqlite
          ? MakeSqliteBackend(options_.sqliteBusyTimeoutMs, options_.stopRequested)
          : MakePgBackend(options_);
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
  lastFault_ = RowFault();
  RowSet rows;
  DbStatus st = Query(sql, in, &rows);
  if (st.code != 0) return Set(st);
  if (rows.rows() == 0) return Set(NoData());
  return Set(FillOutputs(rows, 0, out, &lastFault_));
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
