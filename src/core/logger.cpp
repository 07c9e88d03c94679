#include "core/logger.h"

#include <cstdio>
#include <memory>
#include <utility>

namespace kvr {

namespace {

constexpr char kTimeFormat[] = "%Y-%m-%d %H:%M:%S";
constexpr char kAfterTime[] = "  ";

bool IsControl(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

void AppendEscaped(char c, std::string* out) {
  switch (c) {
    case '\n':
      *out += "\\n";
      return;
    case '\r':
      *out += "\\r";
      return;
    case '\t':
      *out += "\\t";
      return;
    default: {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
      *out += hex;
    }
  }
}

// A line break the system's own texts carry: the end of the text (possibly
// followed by more line ends) or the start of a "-   " continuation line.
bool KeptLineBreak(std::string_view text, size_t at) {
  std::string_view rest = text.substr(at + 1);
  if (rest.find_first_not_of('\n') == std::string_view::npos) return true;
  return rest.substr(0, 4) == "-   ";
}

}  // namespace

std::string OneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (IsControl(c)) {
      AppendEscaped(c, &out);
    } else {
      out += c;
    }
  }
  return out;
}

std::string LogLineText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (!IsControl(c) || c == '\t' || (c == '\n' && KeptLineBreak(text, i))) {
      out += c;
    } else {
      AppendEscaped(c, &out);
    }
  }
  return out;
}

LogWriter::LogWriter(Env& env, std::string path, std::string backupPath, int64_t limitBytes,
                     bool enabled)
    : env_(env),
      path_(std::move(path)),
      backupPath_(std::move(backupPath)),
      limitBytes_(limitBytes),
      enabled_(enabled) {}

void LogWriter::Write(std::string_view text) {
  if (!enabled_) return;
  std::unique_ptr<AppendFile> file = env_.OpenAppend(path_, nullptr);
  if (!file) return;
  if (file->Size() > limitBytes_) {
    file.reset();
    env_.DeleteFile(backupPath_);         // a missing backup is no error
    env_.RenameFile(path_, backupPath_);  // a failed move keeps the log
    file = env_.OpenAppend(path_, nullptr);
    if (!file) return;
  }
  std::tm local = env_.LocalTime(env_.Now());
  char stamp[64];
  size_t n = std::strftime(stamp, sizeof stamp, kTimeFormat, &local);
  std::string line;
  line.reserve(n + 2 + text.size());
  line.append(stamp, n).append(kAfterTime).append(LogLineText(text));
  file->Write(line);
}

Logger::Logger(Env& env, const Config& config)
    : main_(env, config.kvrLog, config.mainLogBackup, config.maxLogSize, true),
      debug_(env, config.dbgFile, config.debugLogBackup, config.maxLogSize, config.dbgLog != 0) {}

void Logger::Main(std::string_view text) { main_.Write(text); }

void Logger::MainF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StringPrintfV(format, args);
  va_end(args);
  main_.Write(text);
}

void Logger::Debug(std::string_view text) { debug_.Write(text); }

void Logger::DebugF(const char* format, ...) {
  if (!debug_.enabled()) return;
  va_list args;
  va_start(args, format);
  std::string text = StringPrintfV(format, args);
  va_end(args);
  debug_.Write(text);
}

std::string WithText(const char* format, std::string_view text) {
  std::string_view f = format;
  std::size_t at = f.find("%s");
  if (at == std::string_view::npos) return std::string(f);
  text = text.substr(0, text.find('\0'));
  std::string line(f.substr(0, at));
  line += OneLine(text);
  line += f.substr(at + 2);
  return line;
}

}  // namespace kvr
