// MessagePoster: the controller's path for user messages into the message
// table KVSYSTEM.KVR200MSG. It owns the one message record (StrNachricht),
// the last error text, the pseudo-random generator of the message keys, the
// most recently built INSERT statement and the path of the fallback file
// that keeps statements which could not be executed.
//
// PostNachricht never fails towards its caller: whatever goes wrong is
// written to the main log, and a message whose insert failed is appended to
// the fallback file, which every post first tries to feed back into the
// table. Only lines that are one message insert of the form this module
// writes are ever executed from the file; the other lines are moved to
// JOBCTLMSG.bad beside it, so that the file can go. A line is appended
// whole or not at all. While the table cannot be written, a re-import stops
// at the first line that fails and keeps the rest for the next post. A new message becomes durable
// with the next commit of the session; when that work is lost instead (a commit that cannot write,
// a new connection), the messages inserted since the last commit go to the fallback file. A
// re-import that took over every line of the file commits before it deletes the file, and keeps the
// file when that commit fails.
//
// A message that neither the table nor the fallback file takes (the database away and the file's
// disk full) is held in memory, up to kMaxHeldNachrichten (a line names each one the bound drops),
// and delivered by DeliverHeld to whichever of the two takes it first; DeliverHeldAtEnd tries once
// more at shut-down and names each message that is still held as lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "messages/str_nachricht.h"

namespace kvr {

class Env;
class Logger;
class Session;

// Size of the statement buffer: a statement has at most this many
// characters minus one.
inline constexpr std::size_t kNachrichtStatementSize = 4096;

// How often a new message whose key exists already is tried with a new
// random number before it is taken as existing.
inline constexpr int kNachrichtKeyAttempts = 5;

// Most messages held in memory while neither the table nor the fallback
// file takes them; the oldest goes when a new one comes on top.
inline constexpr std::size_t kMaxHeldNachrichten = 10000;

class MessagePoster {
 public:
  MessagePoster(Env& env, Logger& log, Session& session);
  ~MessagePoster();
  MessagePoster(const MessagePoster&) = delete;
  MessagePoster& operator=(const MessagePoster&) = delete;

  // Releases an existing record, makes a new zero-filled one with MSGTYP
  // "1" and MSGVAL 1, and seeds the key generator with the current time.
  // false (with the last error text set) when the record cannot be made.
  bool CreateStrNachricht();
  // Releases the record; harmless when there is none.
  void FreeStrNachricht();
  // The record, or null when there is none.
  StrNachricht* record() { return record_.get(); }

  // Copies the last error text into buffer: whole when shorter than length,
  // else its first length characters and a zero byte behind them (buffer
  // must hold length + 1 bytes). Returns buffer.
  char* GetNachrichtError(char* buffer, std::size_t length) const;
  const std::string& lastError() const { return lastError_; }

  // 1 when the record may be inserted, else 0 with the last error text set.
  int CheckStrNachricht();

  // The INSERT statement for the record, with a fresh key (current time and
  // the next random number) and insertion time; null when the record is
  // refused by CheckStrNachricht. The text stays valid until the next build.
  const char* BuildNachrichtInsert();

  // Executes a statement given as text (at most 4095 characters are taken)
  // and returns the database code: 0, -1 for an existing key, other values
  // for failures. Does not commit.
  int SQLExecDynamic(std::string_view statement);

  // Path of the fallback file as the system writes it (Env maps '\').
  void SetFallbackPath(std::string path) { fallbackPath_ = std::move(path); }
  const std::string& fallbackPath() const { return fallbackPath_; }

  // Re-imports the fallback file, then inserts the text as a new message
  // (prefixed with the local time), keeping it in the fallback file when the
  // insert fails. Reports only to the main log.
  void PostNachricht(std::string_view text);

  // Delivers the messages held in memory: each to the table when it takes
  // it, the rest to the fallback file in one write. Cheap when none is
  // held; the controller calls it every pass.
  void DeliverHeld();
  // At shut-down: delivers the held messages once more, commits what went
  // to the table, and names every message still held as lost.
  void DeliverHeldAtEnd();
  std::size_t heldCount() const { return held_.size(); }

 private:
  int NextRandom();
  void ReimportFallbackFile();
  // Ends a re-import: the file goes once every line is taken over or
  // moved aside (the lines that are no messages, in notMessages).
  void FinishReimport(int read, int taken, int moved, const std::string& notMessages);
  // Appends the lines to the file beside the fallback file; true when done.
  bool MoveAside(const std::string& lines, int count);
  void DeleteFallbackFile(const char* failureFormat);
  void KeepInFallbackFile(const std::string& statement);
  // Keeps a statement that the fallback file did not take.
  void Hold(const std::string& statement);
  // The session's word on the work since the last commit.
  void CommitDecided(bool durable);

  Env& env_;
  Logger& log_;
  Session& session_;
  std::unique_ptr<StrNachricht> record_;
  std::string lastError_;
  std::minstd_rand random_;
  std::string statement_;
  std::string fallbackPath_;
  std::vector<std::string> uncommitted_;  // inserted since the last commit
  std::deque<std::string> held_;          // taken by neither table nor file
};

// Appends the lines with one write, cutting the file back to its old length
// when that write fails part way (a full disk): 0 or errno.
int AppendWhole(Env& env, const std::string& path, const std::string& lines);

// 1 when the file can be opened for reading, else 0.
int FileExists(Env& env, const std::string& path);

}  // namespace kvr
