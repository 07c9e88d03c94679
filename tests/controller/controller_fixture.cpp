#include "controller/controller_fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "core/command_line.h"
#include "db/credentials/credential_file.h"

namespace kvr::test {

void WriteCredentialFile(const std::string& path, const TestDatabase& db) {
  struct Entry {
    const char* key;
    std::string value;
  };
  std::vector<Entry> entries = {{"NET8", db.service},
                                {"SCHEMA", db.schema + "."},
                                {"LOGIN", db.login},
                                {"PASS", db.password},
                                {"DB_SYSTEM", "ORACLE"}};
  std::string content;
  int number = 1;
  for (const auto& e : entries) {
    content += ";VELTRONIA;\r\n" + std::to_string(number++) + ";" + e.key + ";" +
               EncipherCredentialValue(e.value) + "\r\n";
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

ControllerHarness::ControllerHarness(const std::string& ini, Engine engine,
                                     const std::string& args) {
  database = MakeTestDatabase(engine, "controller", dir.path());
  EXPECT_TRUE(database.ok) << database.error;
  SetUp(ini, args);
}

ControllerHarness::ControllerHarness(const std::string& ini, const TestDatabase& db,
                                     const std::string& args)
    : database(db) {
  SetUp(ini, args);
}

void ControllerHarness::SetUp(const std::string& ini, const std::string& args) {
  dir.Write("jobctl/KVRJOBCTL.INI", ini);
  dir.Write("veltronia_php/log/.keep", "");
  env.programPath = programDir() + "/KVRJOBSTR";
  WriteCredentialFile(programDir() + "/VELTRONIA.INI", database);
  std::vector<std::string> words = {"KVRJOBSTR"};
  if (!args.empty()) words.push_back(args);
  std::vector<const char*> argv;
  for (auto& w : words) argv.push_back(w.c_str());
  controller = std::make_unique<Controller>(
      env, ParseCommandLine(static_cast<int>(argv.size()), argv.data()));
}

ControllerHarness::~ControllerHarness() {
  // The controller made the program directory its current directory; leave
  // it before the directory goes.
  if (chdir("/") != 0) ADD_FAILURE() << "chdir";
}

bool ControllerHarness::StartUp() {
  bool ok = controller->StartUp();
  controller->session().SQLCommit();
  // The pass tests begin with a queue of their own rows only.
  Exec(
      "delete from KVSYSTEM.KVR500JOB where JOBKE2 in ('Export KVRJOBSTR','MAP VERARBEITUNG',"
      "'DAILY SYSTEMJOB','INTERVALL SYSTEMJOB')");
  return ok;
}

Connection& ControllerHarness::db() {
  if (!own_) {
    own_ = MakeConnection();
    int rc = own_->Connect(database.connectText());
    EXPECT_EQ(rc, 0) << own_->LastMessage();
  }
  return *own_;
}

void ControllerHarness::Exec(const std::string& sql) {
  int rc = db().Execute(sql);
  EXPECT_TRUE(rc == 0 || rc == kSqlNoData) << sql << ": " << db().LastMessage();
  db().Commit();
}

std::string ControllerHarness::Field(const std::string& column, const std::string& jobke2) {
  char buffer[1025] = {};
  Out out[] = {Out::Text(buffer, 1024)};
  std::string sql = "select " + column + " from KVSYSTEM.KVR500JOB where JOBKE2 = '" + jobke2 + "'";
  db().SelectOne(sql, {}, out);
  db().Commit();
  return buffer;
}

long ControllerHarness::Count(const std::string& sql) {
  int32_t n = 0;
  Out out[] = {Out::Int(&n)};
  int rc = db().SelectOne(sql, {}, out);
  EXPECT_EQ(rc, 0) << sql << ": " << db().LastMessage();
  db().Commit();
  return n;
}

void ControllerHarness::AddJob(const std::string& runType, const std::string& jobke2,
                               const std::string& command, const std::string& origin,
                               const std::string& status, int maxRuntime, int attempts,
                               const std::string& jobda1) {
  Bind in[] = {Bind::Text(jobda1),    Bind::Text(jobke2),  Bind::Text(origin), Bind::Text(command),
               Bind::Int(maxRuntime), Bind::Text(runType), Bind::Text(status), Bind::Int(attempts)};
  int rc = db().Execute(
      "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobUrv,JobCmd,JobMrt,JobRty,JobSts,JobStv) "
      "values (:b0,:b1,:b2,:b3,:b4,:b5,:b6,:b7)",
      in);
  EXPECT_EQ(rc, 0) << db().LastMessage();
  db().Commit();
}

}  // namespace kvr::test
