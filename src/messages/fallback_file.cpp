// The re-import of the fallback file JOBCTLMSG.log: every line that is one
// message insert of the form this module writes is executed again; any other
// line is counted as read, not taken over, and keeps the file. The file is
// deleted only when every line was taken over (or there was none), and
// only once the rows taken over are committed: the file is their one copy,
// and an uncommitted row dies with a lost connection or a reconnect.
#include <cstring>
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
constexpr char kNotCommittedFormat[] =
    "Nachrichten nicht festgeschrieben! RC: %d. Datei nicht geloescht!\n";

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

}  // namespace

void MessagePoster::ReimportFallbackFile() {
  std::optional<std::string> content = env_.ReadFile(fallbackPath_);
  if (!content) return;
  int read = 0;
  int taken = 0;
  std::string_view rest = *content;
  while (!rest.empty()) {
    FileLine line = NextLine(&rest);
    ++read;
    if (!IsNachrichtInsert(line.text)) {
      log_.Main(WithText(kNotAMessageFormat, line.text.substr(0, kLoggedLineLimit)));
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
    }
  }
  FinishReimport(read, taken);
}

void MessagePoster::FinishReimport(int read, int taken) {
  if (read == 0) {
    log_.Main(kNoLines);
    DeleteFallbackFile(kDeleteEmptyFailedFormat);
    return;
  }
  log_.MainF(kCountsFormat, read, taken);
  if (read != taken) {
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
  DeleteFallbackFile(kDeleteFailedFormat);
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
