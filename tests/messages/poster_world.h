// PosterWorld: a message poster with the controller's record on a FakeEnv,
// its main log in a temporary folder, a fallback file below it, and a
// session connected on request; shared by the poster and fallback tests.
#pragma once

#include <memory>
#include <string>

#include "core/config.h"
#include "core/logger.h"
#include "db/client/connection.h"
#include "db/session.h"
#include "messages/message_poster.h"
#include "messages/str_nachricht.h"
#include "platform/fake_env.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "support/test_database.h"

namespace kvr::test {

struct PosterWorld {
  TempDir dir;
  FakeEnv env;
  Config config;
  std::unique_ptr<Logger> log;
  std::unique_ptr<Session> session;
  std::unique_ptr<MessagePoster> poster;
  TestDatabase db;

  PosterWorld() {
    config = LogsIn(dir.path());
    env.SetLocalTime(2026, 12, 7, 8, 43, 12);
    log = std::make_unique<Logger>(env, config);
    session = std::make_unique<Session>(env, *log);
    poster = MakePoster();
    dir.Write("log/.keep", "");
  }

  std::unique_ptr<MessagePoster> MakePoster() {
    auto p = std::make_unique<MessagePoster>(env, *log, *session);
    p->CreateStrNachricht();
    SetControllerSender(*p->record());
    p->SetFallbackPath(fallback());
    return p;
  }

  std::string fallback() const { return dir.File("log/JOBCTLMSG.log"); }
  std::string File() const { return dir.Read("log/JOBCTLMSG.log"); }
  bool FileThere() { return env.FileReadable(poster->fallbackPath()); }
  void WriteFile(const std::string& content) const { dir.Write("log/JOBCTLMSG.log", content); }
  std::string MainLog() const { return dir.Read("KVRJOBCTL.LOG"); }
  bool Logged(const std::string& text) const { return MainLog().find(text) != std::string::npos; }
  void ClearLog() const { dir.Write("KVRJOBCTL.LOG", ""); }

  bool Connect(Engine engine, const std::string& name) {
    db = MakeTestDatabase(engine, name, dir.path());
    if (!db.ok) return false;
    return session->SQLConnect(db.login, db.password, db.service, db.schema) == 0;
  }

  // Rows of the message table (with a where clause), or of another table.
  int32_t Count(const char* where = "") {
    int32_t n = -1;
    std::string sql = std::string("select count(*) from KVSYSTEM.KVR200MSG") + where;
    const Out out[] = {Out::Int(&n)};
    session->db().SelectOne(sql, {}, out);
    return n;
  }

  int32_t CountIn(const std::string& table) {
    int32_t n = -1;
    const Out out[] = {Out::Int(&n)};
    session->db().SelectOne("select count(*) from " + table, {}, out);
    return n;
  }

  std::string Column(const char* column) {
    FixedText<1024> value;
    std::string sql = std::string("select ") + column + " from KVSYSTEM.KVR200MSG";
    const Out out[] = {Out::Text(value)};
    session->db().SelectOne(sql, {}, out);
    return value.str();
  }
};

}  // namespace kvr::test
