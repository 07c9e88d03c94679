// UnreadableRows: what the queue's holder does with a job row it cannot
// read (a value that is no number, a number beyond 32 bits, a key or text
// longer than its field; see RowFault), so that one such row never stops a
// selection, the supervision or a pass.
//
// A waiting row is set aside: marked failed ("90"; a standing row also gets
// the attempt count 11, past the selection's limit) by its full key as read,
// and skipped; the fetch goes on with the next row. A running row ("01") is
// delivered with what can be read, or, when its key itself does not fit,
// skipped and left "01". Each row is named once in the main log with the
// code, the text and the column. A row that is not a job row (no JOBDA1,
// JOBKE2 and JOBSTS in the select list) keeps its fault code.
//
// GuardCursor wraps a cursor of the session with this handling; fields of a
// skipped row are put back as the caller had them before the fetch.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "db/client/connection.h"
#include "db/client/named_statement.h"

namespace kvr {

class Logger;

// Copies of output fields, to put them back after a skipped row.
struct SavedFields {
  explicit SavedFields(std::span<const Out> out);
  void Restore(std::span<const Out> out) const;
  std::vector<std::string> texts;
  std::vector<int32_t> integers;
};

class UnreadableRows {
 public:
  enum class Verdict { Deliver, Skip, Fail };

  explicit UnreadableRows(Logger& log) : log_(log) {}
  // True when a fetch's answer and fault make the row unreadable: a number
  // that cannot be read, a key or command longer than its field.
  static bool Unreadable(int code, const RowFault& fault);
  // Decides about an unreadable row; db runs the set-aside.
  Verdict Judge(Connection& db, const RowFault& fault);
  // Opens the cursor's statement again (null when it cannot be read again).
  using Reopen = std::function<std::unique_ptr<Cursor>(int* status)>;
  // The cursor with the handling above; db must outlive it.
  std::unique_ptr<Cursor> GuardCursor(std::unique_ptr<Cursor> cursor, Reopen reopen,
                                      Connection& db);
  // A single-row select through the handling: Deliver gives 0, Skip 1403.
  int GuardSelectOne(Connection& db, int code, std::span<const Out> out, const SavedFields& saved);
  // The keys (JOBDA1, JOBKE2) of the waiting rows set aside since the last
  // call (at most kMaxSetAsideKept): a selection that still takes rows in
  // "90" (run type 09) passes them over by these.
  std::vector<std::pair<std::string, std::string>> TakeSetAside();
  static constexpr size_t kMaxSetAsideKept = 64;

 private:
  // True the first time a row is named (bounded memory).
  bool FirstTime(const std::string& key);
  Logger& log_;
  std::set<std::string> named_;
  std::vector<std::pair<std::string, std::string>> setAside_;
};

// The set-aside statements, for the statement registry.
void AppendUnreadableRowStatements(StatementList* list);

}  // namespace kvr
