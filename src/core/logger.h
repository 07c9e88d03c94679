// Logger: the controller's two log files, the main log and the debug log.
//
// Each line is written on its own: the file is opened for appending, moved
// to its one ".BAK" backup first when it is larger than the size limit, and
// closed again, so others may read, move or delete a log at any time. A line
// is the local time "%Y-%m-%d %H:%M:%S", two blanks and the caller's text
// (it carries its own line end). Control characters are written escaped
// ("\n", "\r", "\x1B"), so a text taken from a row or a file cannot begin a
// line of its own: kept are tabs, the line end, and a line break followed
// by the "-   " of the system's continuation lines (SQLState, SQLMsg). The debug log is written
// only when the configuration switches it on. No failure reaches the
// caller: a log that cannot be opened, moved or written loses the line.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/config.h"
#include "core/text.h"
#include "platform/env.h"

namespace kvr {

// A line of a text of any length: the format's first %s replaced by the
// text, cut at a zero byte as a C text would be (no other conversion is
// looked at; a format without %s comes back as it is).
// The text is escaped as OneLine does.
std::string WithText(const char* format, std::string_view text);
// The text with every control character escaped ("\n", "\r", "\t", "\x1B"),
// a backslash kept as it is: a text of one line for a log line.
std::string OneLine(std::string_view text);
// What a log writer makes of a caller's text (see above).
std::string LogLineText(std::string_view text);

// One log file with its backup and size limit.
class LogWriter {
 public:
  LogWriter(Env& env, std::string path, std::string backupPath, int64_t limitBytes, bool enabled);
  // Appends one line: time stamp, two blanks, the text as it stands.
  void Write(std::string_view text);
  bool enabled() const { return enabled_; }
  const std::string& path() const { return path_; }

 private:
  Env& env_;
  std::string path_;
  std::string backupPath_;
  int64_t limitBytes_;
  bool enabled_;
};

class Logger {
 public:
  Logger(Env& env, const Config& config);

  void Main(std::string_view text);
  void MainF(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Nothing happens when the debug log is off.
  void Debug(std::string_view text);
  void DebugF(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  LogWriter main_;
  LogWriter debug_;
};

}  // namespace kvr
