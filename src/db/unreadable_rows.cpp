#include "db/unreadable_rows.h"

#include <cstring>

#include "core/logger.h"
#include "db/queue/job_table.h"
#include "db/session.h"

namespace kvr {

namespace {

constexpr char kSetAside[] =
    "update KVSYSTEM.KVR500JOB  set JOBSTS='90' where (JOBDA1=:b0 and JOBKE2=:b1)";
// A standing row in "90" stays due up to 10 attempts: 11 keeps it out.
constexpr char kSetAsideStanding[] =
    "update KVSYSTEM.KVR500JOB  set JOBSTS='90',JOBSTV=11 where (JOBDA1=:b0 and JOBKE2=:b1)";

constexpr size_t kMaxNamed = 4096;

std::string Trimmed(const std::string* text) {
  if (!text) return std::string();
  std::string s = *text;
  return TrimRight(s);
}

// Fetches through the inner cursor and judges each faulted row. A result
// of one row that was set aside (a selection of the first due row) is read
// again, so the next due row comes in the same call; a row that comes back
// after it was set aside ends the reading.
class GuardedCursor : public Cursor {
 public:
  GuardedCursor(std::unique_ptr<Cursor> inner, UnreadableRows::Reopen reopen, Connection& db,
                UnreadableRows& rows)
      : inner_(std::move(inner)), reopen_(std::move(reopen)), db_(db), rows_(rows) {}
  int Fetch(std::span<const Out> out) override {
    SavedFields saved(out);
    for (int reads = 0;;) {
      int rc = inner_->Fetch(out);
      if (rc == kSqlNoData && ReadAgain(&reads)) continue;
      if (rc == kSqlOk || IsRowFault(rc)) ++fetched_;
      const RowFault* fault = inner_->Fault();
      if (!fault || !UnreadableRows::Unreadable(rc, *fault)) return rc;
      UnreadableRows::Verdict v = rows_.Judge(db_, *fault);
      if (v == UnreadableRows::Verdict::Fail) return rc;
      if (v == UnreadableRows::Verdict::Deliver) return kSqlOk;
      std::string key = KeyOf(*fault);
      if (!skipped_.insert(key).second) return kSqlNoData;  // set aside before: no progress
      ++skippedHere_;
      saved.Restore(out);
    }
  }
  const RowFault* Fault() const override { return inner_->Fault(); }
  int Close() override { return inner_->Close(); }

 private:
  static std::string KeyOf(const RowFault& f) {
    const std::string* da1 = f.Value("JOBDA1");
    const std::string* ke2 = f.Value("JOBKE2");
    return (da1 ? *da1 : std::string()) + '\x1F' + (ke2 ? *ke2 : std::string());
  }
  bool ReadAgain(int* reads) {
    if (!reopen_ || fetched_ != 1 || skippedHere_ != 1 || ++*reads > kMaxReadsAgain) return false;
    int status = 0;
    std::unique_ptr<Cursor> again = reopen_(&status);
    if (!again) return false;
    inner_ = std::move(again);
    fetched_ = 0;
    skippedHere_ = 0;
    return true;
  }
  static constexpr int kMaxReadsAgain = 16;

  std::unique_ptr<Cursor> inner_;
  UnreadableRows::Reopen reopen_;
  Connection& db_;
  UnreadableRows& rows_;
  int fetched_ = 0;      // rows of the current result read so far
  int skippedHere_ = 0;  // of them set aside
  std::set<std::string> skipped_;
};

}  // namespace

SavedFields::SavedFields(std::span<const Out> out) {
  for (const Out& o : out) {
    if (o.isText()) {
      texts.emplace_back(o.textBuffer() ? o.textBuffer() : "");
    } else {
      integers.push_back(o.integer() ? *o.integer() : 0);
    }
  }
}

void SavedFields::Restore(std::span<const Out> out) const {
  size_t t = 0, i = 0;
  for (const Out& o : out) {
    if (o.isText()) {
      const std::string& s = texts[t++];
      if (!o.textBuffer()) continue;
      size_t n = std::min(s.size(), o.width());
      std::memcpy(o.textBuffer(), s.data(), n);
      o.textBuffer()[n] = '\0';
    } else {
      int32_t v = integers[i++];
      if (o.integer()) *o.integer() = v;
    }
  }
}

bool UnreadableRows::FirstTime(const std::string& key) {
  if (named_.size() >= kMaxNamed) named_.clear();
  return named_.insert(key).second;
}

UnreadableRows::Verdict UnreadableRows::Judge(Connection& db, const RowFault& fault) {
  const std::string* da1 = fault.Value("JOBDA1");
  const std::string* ke2 = fault.Value("JOBKE2");
  bool hasStatus = false;
  for (const std::string& n : fault.names) hasStatus = hasStatus || n == "JOBSTS";
  if (!da1 || !ke2 || !hasStatus) return Verdict::Fail;
  const std::string status = Trimmed(fault.Value("JOBSTS"));
  const bool keyFault = fault.column == "JOBDA1" || fault.column == "JOBKE2";
  const std::string what =
      StringPrintf("%d %s, Spalte %s", fault.code, fault.message.c_str(), fault.column.c_str());
  // Named once while it waits (its own set-aside, "90", changes nothing
  // here) and once more when it is found running.
  const bool running = status == kStatusRunning;
  const bool first = FirstTime(*da1 + '\x1F' + *ke2 + '\x1F' + fault.column + '\x1F' +
                               (running ? "01" : "") + '\x1F' + std::to_string(fault.code));
  if (running) {
    if (first) {
      log_.Main("- Laufender Job " + *da1 + " / " + *ke2 + " nicht lesbar: " + what +
                (keyFault ? "; bleibt auf 01 stehen\n" : "; ueberwacht mit den lesbaren Werten\n"));
    }
    return keyFault ? Verdict::Skip : Verdict::Deliver;
  }
  if (setAside_.size() < kMaxSetAsideKept) setAside_.emplace_back(*da1, *ke2);
  const Bind key[] = {Bind::Text(*da1), Bind::Text(*ke2)};
  const bool standing = Trimmed(fault.Value("JOBRTY")) == kRunType04;
  int rc = db.Execute(standing ? kSetAsideStanding : kSetAside, key);
  if (first) {
    std::string line = "- Job " + *da1 + " / " + *ke2 + " nicht lesbar: " + what;
    line += rc == kSqlOk ? "; Status 90 gesetzt\n"
                         : StringPrintf("; Status 90 nicht gesetzt, RC: %d\n", rc);
    log_.Main(line);
  }
  return Verdict::Skip;
}

std::unique_ptr<Cursor> UnreadableRows::GuardCursor(std::unique_ptr<Cursor> cursor, Reopen reopen,
                                                    Connection& db) {
  if (!cursor) return cursor;
  return std::make_unique<GuardedCursor>(std::move(cursor), std::move(reopen), db, *this);
}

bool UnreadableRows::Unreadable(int code, const RowFault& fault) {
  if (IsRowFault(code)) return true;
  // A cut key addresses no row, a cut command is another command.
  return code == kSqlOk && fault.code == kSqlValueTruncated &&
         (fault.column == "JOBDA1" || fault.column == "JOBKE2" || fault.column == "JOBCMD");
}

int UnreadableRows::GuardSelectOne(Connection& db, int code, std::span<const Out> out,
                                   const SavedFields& saved) {
  const RowFault* fault = db.LastRowFault();
  if (!fault || !Unreadable(code, *fault)) return code;
  RowFault copy = *fault;  // the set-aside statement replaces the connection's
  Verdict v = Judge(db, copy);
  if (v == Verdict::Fail) return code;
  if (v == Verdict::Deliver) return kSqlOk;
  saved.Restore(out);
  return kSqlNoData;
}

std::vector<std::pair<std::string, std::string>> UnreadableRows::TakeSetAside() {
  return std::exchange(setAside_, {});
}

void AppendUnreadableRowStatements(StatementList* list) {
  list->insert(list->end(), {{"SetAsideUnreadableRow", kSetAside},
                             {"SetAsideUnreadableStandingRow", kSetAsideStanding}});
}

}  // namespace kvr
