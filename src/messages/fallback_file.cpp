// The re-import of the fallback file JOBCTLMSG.log: every line that is one
// message insert of the form this module writes is executed again, up to
// the first that fails (the table is away: the rest waits for the next
// post); any other line (one cut short, one written by hand) is moved to
// JOBCTLMSG.bad beside it. The file is deleted only when every line was
// taken over or moved (or there was none), and only once the rows taken
// over are committed: the file is their one copy, and an uncommitted row
// dies with a lost connection or a reconnect.
//
// Also the delivery of the messages held in memory, which the fallback file
// did not take when they were posted: to the table where it takes them,
// the rest to the file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "core/logger.h"
#include "db/client/connection.h"
#include "db/session.h"
#include "messages/message_insert.h"
#include "messages/message_poster.h"
#include "platform/env.h"

namespace kvr {

namespace {

constexpr char kLineFormat[] = "Nachricht fuer den Nachrichten-Pool! SQL: %s!\n";
constexpr char kNotAMessageFormat[] = "Zeile ist keine Nachricht, nicht uebernommen: %s!\n";
constexpr char kTransferred[] = "Nachricht wurde in den Nachrichtenpool uebertragen!\n";
constexpr char kExistsFormat[] = "Eintrag existiert bereits.! RC: %d!\n";
constexpr char kFailedFormat[] = "Fehler beim Schreiben in den Nachrichten-Pool! RC: %d!\n";
constexpr char kNoLines[] = "Keine Nachrichten in KVRCTLMSG.LOG gefunden!\n";
constexpr char kDeleted[] = "Temporaerdatei JOBCTLMSG.log geloescht!\n";
constexpr char kDeleteEmptyFailedFormat[] =
    "Fehler beim Loeschen der Temporaeratei JOBCTLMSG.log: %s!\n";
constexpr char kDeleteFailedFormat[] = "Fehler beim Loeschen der Temporaerdatei JOBCTLMSG: %s!\n";
constexpr char kCountsFormat[] = "Anzahl Nachrichten gelesen: %d. Davon eingepflegt: %d!\n";
constexpr char kKeptFormat[] = "%d von %d Nachrichten eingepflegt. Datei nicht geloescht!\n";
constexpr char kMovedFormat[] = "%d Zeilen ohne Nachricht nach %s verschoben!\n";
constexpr char kMoveFailedFormat[] = "Fehler beim Schreiben von %s: %s. Datei nicht geloescht!\n";
constexpr char kUnreadableFormat[] = "Temporaerdatei JOBCTLMSG.log nicht lesbar: %s!\n";
constexpr char kHeldDeliveredFormat[] =
    "Gehaltene Nachrichten uebertragen: %zu in den Nachrichten-Pool, %zu in die "
    "JOBCTLMSG.log, %zu weiter gehalten!\n";
constexpr char kHeldLostFormat[] = "Nachricht (Msg) verloren! SQL: %s!\n";
constexpr char kNotCommittedFormat[] =
    "Nachrichten nicht festgeschrieben! RC: %d. Datei nicht geloescht!\n";

// The fallback file of a long outage may be large; it is still read whole,
// up to this bound (about 150000 messages).
constexpr std::size_t kMaxFallbackBytes = std::size_t{64} << 20;

// A line not taken over is logged with at most this many characters: it is
// no statement anyway, and a file of garbage must not flood the log.
constexpr std::size_t kLoggedLineLimit = kNachrichtStatementSize - 1;

// One line of the file: its text without the line end, and whether it had
// one (the log shows the line as read, line end included).
struct FileLine {
  std::string_view text;
  bool ended;
};

// Cuts the next line off the rest of the content; a last line without line
// end is a line too. A carriage return before the line feed (a file from
// a Windows system) is not part of the text.
FileLine NextLine(std::string_view* rest) {
  std::size_t end = rest->find('\n');
  FileLine line{rest->substr(0, end), end != std::string_view::npos};
  *rest = line.ended ? rest->substr(end + 1) : std::string_view();
  if (line.text.ends_with('\r')) line.text.remove_suffix(1);
  return line;
}

// True when a failed insert says nothing about its line but that the table
// cannot be written now: the lines behind it need not be tried.
bool TableAway(int rc) {
  return IsWriteFault(rc) || rc == kSqlTableMissing || rc == -54 || rc == -1013;
}

// The file beside the fallback file that takes the lines that are no
// messages: its name with the extension ".bad".
std::string AsidePath(const std::string& path) {
  size_t base = path.find_last_of("/\\");
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (base != std::string::npos && dot < base)) return path + ".bad";
  return path.substr(0, dot) + ".bad";
}

}  // namespace

void MessagePoster::ReimportFallbackFile() {
  int error = 0;
  std::optional<std::string> content = env_.ReadFile(fallbackPath_, &error, kMaxFallbackBytes);
  if (!content) {
    if (error != ENOENT) {
      log_.Main(WithText(kUnreadableFormat, std::strerror(error)));
    }
    return;
  }
  int read = 0;
  int taken = 0;
  int moved = 0;
  bool stopped = false;
  std::string notMessages;
  std::string_view rest = *content;
  while (!rest.empty()) {
    FileLine line = NextLine(&rest);
    ++read;
    if (stopped) continue;
    if (!IsNachrichtInsert(line.text)) {
      log_.Main(WithText(kNotAMessageFormat, line.text.substr(0, kLoggedLineLimit)));
      notMessages.append(line.text).append("\n");
      ++moved;
      continue;
    }
    std::string asRead(line.text);
    if (line.ended) asRead += '\n';
    log_.Main(WithText(kLineFormat, asRead));
    int rc = SQLExecDynamic(line.text);
    if (rc == kSqlOk) {
      log_.Main(kTransferred);
      ++taken;
    } else if (rc == kSqlDuplicateKey) {
      log_.MainF(kExistsFormat, rc);
      ++taken;
    } else {
      log_.MainF(kFailedFormat, rc);
      stopped = TableAway(rc);
    }
  }
  FinishReimport(read, taken, moved, notMessages);
}

void MessagePoster::FinishReimport(int read, int taken, int moved, const std::string& notMessages) {
  if (read == 0) {
    log_.Main(kNoLines);
    DeleteFallbackFile(kDeleteEmptyFailedFormat);
    return;
  }
  log_.MainF(kCountsFormat, read, taken);
  if (read != taken + moved) {
    log_.MainF(kKeptFormat, taken, read);
    return;
  }
  // Commit before the file goes, so that no message lives only in an open
  // transaction. This also makes the caller's open work durable early,
  // which the next commit of the pass would do anyway.
  int rc = session_.SQLCommit();
  if (rc != kSqlOk) {
    log_.MainF(kNotCommittedFormat, rc);
    return;
  }
  if (moved > 0 && !MoveAside(notMessages, moved)) return;
  DeleteFallbackFile(kDeleteFailedFormat);
}

bool MessagePoster::MoveAside(const std::string& lines, int count) {
  const std::string aside = AsidePath(fallbackPath_);
  int error = AppendWhole(env_, aside, lines);
  if (error != 0) {
    char line[512];
    std::snprintf(line, sizeof line, kMoveFailedFormat, aside.c_str(), std::strerror(error));
    log_.Main(line);
    return false;
  }
  char line[512];
  std::snprintf(line, sizeof line, kMovedFormat, count, aside.c_str());
  log_.Main(line);
  return true;
}

// While the table is away the first try says so and the rest is not
// tried; while the file cannot be opened nothing is copied: a long outage
// costs each pass two failed calls, not one per held message.
void MessagePoster::DeliverHeld() {
  if (held_.empty()) return;
  std::size_t toTable = 0;
  std::deque<std::string> refused;  // by the table, for themselves
  while (!held_.empty()) {
    int rc = SQLExecDynamic(held_.front());
    if (rc != kSqlOk && rc != kSqlDuplicateKey && TableAway(rc)) break;
    if (rc == kSqlOk) {
      uncommitted_.push_back(std::move(held_.front()));
    } else if (rc != kSqlDuplicateKey) {
      refused.push_back(std::move(held_.front()));
    }
    if (rc == kSqlOk || rc == kSqlDuplicateKey) ++toTable;
    held_.pop_front();
  }
  held_.insert(held_.begin(), std::make_move_iterator(refused.begin()),
               std::make_move_iterator(refused.end()));
  std::size_t toFile = 0;
  if (!held_.empty() && env_.OpenAppend(fallbackPath_)) {
    std::string lines;
    for (const std::string& statement : held_) lines.append(statement).append("\n");
    if (AppendWhole(env_, fallbackPath_, lines) == 0) {
      toFile = held_.size();
      held_.clear();
    }
  }
  if (toTable + toFile == 0) return;
  char line[256];
  std::snprintf(line, sizeof line, kHeldDeliveredFormat, toTable, toFile, held_.size());
  log_.Main(line);
}

void MessagePoster::DeliverHeldAtEnd() {
  if (held_.empty()) return;
  DeliverHeld();
  // A commit that loses them hands them back to the file, or holds them.
  if (!uncommitted_.empty()) session_.SQLCommit();
  for (const std::string& statement : held_) log_.Main(WithText(kHeldLostFormat, statement));
  held_.clear();
}

void MessagePoster::DeleteFallbackFile(const char* failureFormat) {
  int error = env_.DeleteFile(fallbackPath_);
  if (error == 0) {
    log_.Main(kDeleted);
  } else {
    log_.Main(WithText(failureFormat, std::strerror(error)));
  }
}

}  // namespace kvr
