// A controller on a FakeEnv in a temporary program directory with an SQLite
// (or PostgreSQL) database: the credential file is written for it, the
// service is scripted, and the queue can be filled and read directly.
#pragma once

#include <memory>
#include <string>

#include "controller/controller.h"
#include "db/client/connection.h"
#include "platform/fake_env.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace kvr::test {

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// How often the part stands in the text (overlaps counted).
inline size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Writes a credential file that the controller reads back to the values.
void WriteCredentialFile(const std::string& path, const TestDatabase& db);

class ControllerHarness {
 public:
  explicit ControllerHarness(const std::string& ini = "[JOBATR]\nMAXJOBS=3\n",
                             Engine engine = Engine::Sqlite, const std::string& args = "");
  // A controller on a database the test made itself.
  ControllerHarness(const std::string& ini, const TestDatabase& database,
                    const std::string& args = "");

  FakeEnv env;
  TempDir dir;
  TestDatabase database;
  std::unique_ptr<Controller> controller;

  std::string programDir() const { return dir.path() + "/jobctl"; }
  std::string MainLog() const { return dir.Read("jobctl/KVRJOBCTL.LOG"); }
  // A separate connection to the same database, for the test's own reads
  // and writes (committed at once).
  ~ControllerHarness();
  // The controller's start-up, with its open work committed as the first
  // pass would, so that the test's own writes do not wait on it.
  bool StartUp();
  Connection& db();
  void DropConnection() { own_.reset(); }
  void Exec(const std::string& sql);
  std::string Field(const std::string& column, const std::string& jobke2);
  long Count(const std::string& sql);
  void AddJob(const std::string& runType, const std::string& jobke2, const std::string& command,
              const std::string& origin = "", const std::string& status = "", int maxRuntime = 0,
              int attempts = 0, const std::string& jobda1 = "20261207080000");

 private:
  void SetUp(const std::string& ini, const std::string& args);
  std::unique_ptr<Connection> own_;
};

}  // namespace kvr::test
