// The world of a controller around a FakeEnv and a fresh test database of
// either engine, for the job-table operations: rows are written and read
// back through the same session, processes are scripted by the FakeEnv.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "controller/world.h"
#include "support/local_zone.h"
#include "support/test_config.h"
#include "support/test_database.h"

namespace kvr {

class JobsFixture : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_TEST_DATABASE(db, GetParam(), dir_.path());
    Config config = test::LogsIn(dir_.path());
    config.programDir = dir_.path() + "/";
    service_ = db.service;
    world_ = std::make_unique<World>(env_, config, -1);
    ASSERT_EQ(session().SQLConnect(db.login, db.password, db.service, db.schema), 0);
  }

  Session& session() { return world_->session(); }
  const StartContext& startContext() const { return world_->startContext(); }

  void Run(const std::string& sql) {
    ASSERT_EQ(session().db().Execute(sql), 0) << sql << ": " << session().db().LastMessage();
  }
  // A run type row with the given key, status, next run and timing values.
  void AddRow(const std::string& rty, const std::string& ke2, const std::string& sts,
              const std::string& nrt, const std::string& more = "",
              const std::string& values = "") {
    Run("insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBRTY,JOBSTS,JOBNRT,JOBSTV" +
        more + ") values ('20260101000000','" + ke2 + "','','prog " + ke2 + "','" + rty + "','" +
        sts + "','" + nrt + "',0" + values + ")");
  }
  // One column of a row as text ("" for null or no row).
  std::string Field(const std::string& column, const std::string& ke2) {
    char value[600] = {};
    Out out[] = {Out::Text(value, sizeof value - 1)};
    session().db().SelectOne(
        "select " + column + " from KVSYSTEM.KVR500JOB where JOBKE2='" + ke2 + "'", {}, out);
    return value;
  }
  long Count(const std::string& where) {
    int32_t n = -1;
    Out out[] = {Out::Int(&n)};
    session().db().SelectOne("select count(*) from KVSYSTEM.KVR500JOB where " + where, {}, out);
    return n;
  }
  std::string MainLog() const { return dir_.Read("KVRJOBCTL.LOG"); }

  std::string service_;  // the test database's service text
  LocalZone zone_;
  FakeEnv env_;
  test::TempDir dir_;
  std::unique_ptr<World> world_;
};

}  // namespace kvr
