// The start-up registration and the housekeeping on a FakeEnv in a program
// directory of a temporary folder, with a fresh database of either engine
// holding the KVSYSTEM tables and the client schema MANDANT1. The program
// directory is the current directory while a test runs, so the program
// files a test writes there count as present.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>

#include "controller/world.h"
#include "db/queue/schema_setup.h"
#include "messages/str_nachricht.h"
#include "support/test_config.h"
#include "support/test_database.h"

namespace kvr::test {

class RegistrationTest : public ::testing::TestWithParam<Engine> {
 public:
  void SetUp() override {
    KVR_TEST_DATABASE(database, GetParam(), dir_.path());
    db_ = database;
    Start(-1);
  }
  void TearDown() override {
    if (chdir("/") != 0) ADD_FAILURE() << "chdir";
  }
  // (Re)builds the world, as a new start of the controller would.
  void Start(int32_t instance) {
    Config config = LogsIn(dir_.File("jobctl"));
    config.programDir = dir_.path() + "/jobctl/";
    config.dailyJobTime = dailyJobTime_;
    dir_.Write("jobctl/.keep", "");
    ASSERT_TRUE(env_.SetCurrentDir(dir_.path() + "/jobctl"));
    world_.reset();
    world_ = std::make_unique<World>(env_, config, instance);
    registration_ = &world_->registration();
    ASSERT_EQ(session().SQLConnect(db_.login, db_.password, db_.service, db_.schema), 0);
    ASSERT_TRUE(world_->poster().CreateStrNachricht());
    SetControllerSender(*world_->poster().record());
  }
  Session& session() { return world_->session(); }
  std::string Log() const { return dir_.Read("jobctl/KVRJOBCTL.LOG"); }
  bool Logged(const std::string& part) const { return Log().find(part) != std::string::npos; }
  void Exec(const std::string& sql) {
    int rc = session().db().Execute(sql);
    ASSERT_TRUE(rc == 0 || rc == kSqlNoData) << sql << ": " << session().db().LastMessage();
    session().SQLCommit();
  }
  // A client row and, in its schema, the given persons marked for their own
  // programs; the schema's tables are made when missing.
  void AddClient(const std::string& schema, const std::string& liz, const std::string& num,
                 int persons = 0) {
    std::string error;
    ASSERT_EQ(ApplyClientSchema(session().db(), TestSqlDir(), schema, &error), 0) << error;
    Exec("insert into KVSYSTEM.KVR112MND (MNDLIZ,MNDNUM,MNDSCH,MNDNA1,MNDKON) values ('" + liz +
         "','" + num + "','" + schema + "','Kunde " + num + "',0)");
    for (int p = 1; p <= persons; ++p) {
      std::string n = std::to_string(p);
      Exec("insert into " + schema + ".KVR303SBE (SBEDTQ,SBEPNR,SBEQEV) values ('user" + n + "','" +
           n + "',1)");
    }
  }
  long Count(const std::string& where) {
    int32_t n = -1;
    Out out[] = {Out::Int(&n)};
    std::string sql = "select count(*) from KVSYSTEM.KVR500JOB where " + where;
    EXPECT_EQ(session().db().SelectOne(sql, {}, out), 0) << sql;
    return n;
  }
  std::string Field(const std::string& column, const std::string& where) {
    FixedText<256> value;
    Out out[] = {Out::Text(value)};
    std::string sql = "select " + column + " from KVSYSTEM.KVR500JOB where " + where;
    EXPECT_EQ(session().db().SelectOne(sql, {}, out), 0) << sql;
    return value.str();
  }

  TempDir dir_;
  FakeEnv env_;
  TestDatabase db_;
  std::string dailyJobTime_ = "070000";
  // The credential set's word in program file names.
  const std::string programDbWord_ = "ORACLE";
  std::unique_ptr<World> world_;
  JobRegistration* registration_ = nullptr;
};

}  // namespace kvr::test
