#include "messages/message_poster.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/logger.h"
#include "db/client/connection.h"
#include "db/session.h"
#include "messages/message_insert.h"
#include "platform/clock.h"
#include "platform/env.h"

namespace kvr {

namespace {

static_assert(kMaxNachrichtInsertLength < kNachrichtStatementSize,
              "every message insert must fit the statement buffer");

constexpr char kCreateError[] = "Programmfehler : Stuktur STRNACHRICHT kann nicht erstellt werden";
constexpr char kNoRecordFormat[] =
    "Programmfehler : keine Struktur STRNACHRICHT, Nachricht nicht gesendet: %s!\n";
constexpr char kLongTextFormat[] = "Msg: %s\n";
constexpr char kTextTimeFormat[] = "%d.%m.%Y %H:%M:%S";
constexpr char kUidFormat[] = "%ld%ld";
constexpr std::size_t kLongText = 220;
constexpr int kRandomMax = 32767;

constexpr char kPostFailedFormat[] =
    "Fehler beim Schreiben in den Nachrichten-Pool(Msg)! SQL: %s!\n";
constexpr char kKeptFormat[] =
    "Nachricht (Msg) in Temporaerdatei JOBCTLMSG.log gestellt! SQL: %s!\n";
constexpr char kKeepFailedFormat[] =
    "Fehler beim Schreiben der Nachricht (Msg) in die JOBCTLMSG.log: %s!\n";
constexpr char kHeldFormat[] = "Nachricht (Msg) im Speicher gehalten! SQL: %s!\n";
constexpr char kDroppedFormat[] = "Nachricht (Msg) verworfen, Speicher voll! SQL: %s!\n";

std::string FormatTime(Env& env, int64_t t, const char* format) {
  std::tm local = env.LocalTime(t);
  char buffer[64];
  std::size_t n = std::strftime(buffer, sizeof buffer, format, &local);
  return std::string(buffer, n);
}

bool OneOf(std::string_view value, std::initializer_list<std::string_view> accepted) {
  for (std::string_view a : accepted) {
    if (value == a) return true;
  }
  return false;
}

}  // namespace

MessagePoster::MessagePoster(Env& env, Logger& log, Session& session)
    : env_(env), log_(log), session_(session) {
  session_.SetCommitWatcher([this](bool durable) { CommitDecided(durable); });
}

MessagePoster::~MessagePoster() { session_.SetCommitWatcher(nullptr); }

// A message counts as delivered only once its transaction is committed;
// the inserts of work that was lost go to the fallback file instead.
void MessagePoster::CommitDecided(bool durable) {
  std::vector<std::string> lost;
  lost.swap(uncommitted_);
  if (durable) return;
  for (const std::string& statement : lost) KeepInFallbackFile(statement);
}

bool MessagePoster::CreateStrNachricht() {
  record_.reset();
  record_.reset(new (std::nothrow) StrNachricht());
  if (!record_) {
    lastError_ = kCreateError;
    return false;
  }
  record_->msgtyp = "1";
  record_->msgval = 1;
  random_.seed(static_cast<std::minstd_rand::result_type>(env_.Now()));
  return true;
}

void MessagePoster::FreeStrNachricht() { record_.reset(); }

char* MessagePoster::GetNachrichtError(char* buffer, std::size_t length) const {
  std::size_t n = std::min(lastError_.size(), length);
  std::memcpy(buffer, lastError_.data(), n);
  buffer[n] = '\0';
  return buffer;
}

int MessagePoster::CheckStrNachricht() {
  const char* error = nullptr;
  const StrNachricht& r = *record_;
  if (r.msgtxt.empty() && r.msgtnr == 0 && r.msglnk.empty()) {
    error = "Parameterfehler : Nachricht nicht spezifiziert";
  } else if (r.msgtxt.size() > 120) {
    error = "Parameterfehler : Nachricht zu lang";
  } else if (r.msgmod.empty()) {
    error = "Parameterfehler : Absender (Modul) nicht spezifiziert";
  } else if (r.msgsrc.empty()) {
    error = "Parameterfehler : Absender (Programm) nicht spezifiziert";
  } else if (r.msgsch.empty()) {
    error = "Parameterfehler : Absender (Schema) nicht spezifiziert";
  } else if (r.msgliz.empty() || r.msgmnd.empty()) {
    error = "Parameterfehler : Absender (Liz oder Mnd) nicht spezifiziert";
  } else if (r.msgerf.empty()) {
    error = "Parameterfehler : Absender (Erfasser) nicht spezifiziert";
  } else if (!OneOf(r.msgcat, {"WARNHINWEISE", "PROTOKOLLE", "NACHRICHTEN", "DEBUG"})) {
    error = "Parameterfehler : Kategorie nicht spezifiziert";
  } else if (!OneOf(r.msgadr, {"SES", "USR", "GEN"})) {
    error =
        "Parameterfehler : Empf\xE4"
        "nger nicht spezifiziert";
  } else if (!OneOf(r.msgber, {"ORBANEX", "ADMIN", "SBE", "ALL"})) {
    error =
        "Parameterfehler : Empf\xE4"
        "nger (Berechtigung) nicht spezifiziert";
  }
  if (error == nullptr) return 1;
  lastError_ = error;
  return 0;
}

int MessagePoster::NextRandom() {
  std::uniform_int_distribution<int> draw(0, kRandomMax);
  return draw(random_);
}

const char* MessagePoster::BuildNachrichtInsert() {
  if (!record_ || !CheckStrNachricht()) return nullptr;
  int64_t now = env_.Now();
  std::string msgtin = TimeStamp14(env_.LocalTime(now));
  char msguid[48];
  std::snprintf(msguid, sizeof msguid, kUidFormat, static_cast<long>(now),
                static_cast<long>(NextRandom()));
  statement_ = FormatNachrichtInsert(*record_, msguid, msgtin);
  return statement_.c_str();
}

int MessagePoster::SQLExecDynamic(std::string_view statement) {
  std::string_view text = statement.substr(0, kNachrichtStatementSize - 1);
  std::size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  return session_.db().Execute(text);
}

void MessagePoster::PostNachricht(std::string_view text) {
  if (FileExists(env_, fallbackPath_)) ReimportFallbackFile();
  DeliverHeld();
  if (text.size() > kLongText) log_.Main(WithText(kLongTextFormat, text));
  if (!record_) {
    log_.Main(WithText(kNoRecordFormat, text));
    return;
  }
  std::string stamp = FormatTime(env_, env_.Now(), kTextTimeFormat);
  // "%s %s" of the time and the text; the field cuts what does not fit.
  record_->msgtxt = stamp + " " + std::string(text);

  // A key that exists already means another message of this second drew
  // the same number: draw again rather than lose the new message.
  for (int attempt = 1;; ++attempt) {
    if (BuildNachrichtInsert() == nullptr) {
      char error[2049];
      GetNachrichtError(error, 2048);
      log_.Main(std::string(error) + "\n");
      return;
    }
    int rc = SQLExecDynamic(statement_);
    if (rc == kSqlOk) {
      uncommitted_.push_back(statement_);
      return;
    }
    if (rc != kSqlDuplicateKey) break;
    if (attempt == kNachrichtKeyAttempts) return;
  }
  KeepInFallbackFile(statement_);
}

void MessagePoster::KeepInFallbackFile(const std::string& statement) {
  log_.Main(WithText(kPostFailedFormat, statement));
  int error = AppendWhole(env_, fallbackPath_, statement + "\n");
  if (error == 0) {
    log_.Main(WithText(kKeptFormat, statement));
    return;
  }
  log_.Main(WithText(kKeepFailedFormat, std::strerror(error)));
  Hold(statement);
}

void MessagePoster::Hold(const std::string& statement) {
  if (held_.size() >= kMaxHeldNachrichten) {
    log_.Main(WithText(kDroppedFormat, held_.front()));
    held_.pop_front();
  }
  held_.push_back(statement);
  log_.Main(WithText(kHeldFormat, statement));
}

int AppendWhole(Env& env, const std::string& path, const std::string& lines) {
  int error = 0;
  std::unique_ptr<AppendFile> file = env.OpenAppend(path, &error);
  if (!file) return error != 0 ? error : EIO;
  int64_t before = file->Size();
  errno = 0;
  if (file->Write(lines)) return 0;
  error = errno != 0 ? errno : EIO;
  file.reset();
  // What a full disk let through is no whole line: cut it off again, so the
  // file holds whole lines only.
  env.TruncateFile(path, before);
  return error;
}

int FileExists(Env& env, const std::string& path) { return env.FileReadable(path) ? 1 : 0; }

}  // namespace kvr
