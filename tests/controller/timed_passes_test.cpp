// Passes of the controller across a minute and a day boundary on the
// FakeEnv's clock: the run type 03 evaluation once a minute, a closing time
// that becomes a row, starts when due and is made again for the next day.
#include <gtest/gtest.h>

#include "controller/controller_fixture.h"
#include "support/local_zone.h"

namespace kvr::test {
namespace {

TEST(ControllerTimedPasses, AcrossAMinuteAndADay) {
  LocalZone zone;
  ControllerHarness h;
  h.env.SetLocalTime(2026, 12, 31, 23, 58, 0);
  ASSERT_TRUE(h.StartUp());
  h.Exec(
      "insert into KVSYSTEM.KVR112MND (MNDLIZ,MNDNUM,MNDSCH,MNDKON,MNDT01,MNDT02,MNDT03,"
      "MNDT04,MNDT05,MNDT06,MNDT07,MNDT08,MNDT09,MNDT10,MNDT11,MNDT12,MNDD01,MNDD02,MNDD03,"
      "MNDD04,MNDD05,MNDD06,MNDD07,MNDD08,MNDD09,MNDD10,MNDD11,MNDD12) values "
      "('1','00001','VELTRONIA',0,1439,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0)");
  h.AddJob("03", "DAILY", "daily", "", "98");
  h.AddJob("03", "INTERVAL", "interval", "", "98");
  h.Exec("update KVSYSTEM.KVR500JOB set JOBDLS=2, JOBNRT='20261231070000' where JOBKE2='DAILY'");
  h.Exec(
      "update KVSYSTEM.KVR500JOB set JOBDLS=3, JOBNRT='20261231000000' "
      "where JOBKE2='INTERVAL'");

  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBNRT", "NLF+D00"), "20261231235900");
  EXPECT_EQ(h.Field("JOBSTS", "NLF+D00"), "");
  EXPECT_EQ(h.Field("JOBNRT", "DAILY"), "20270101070000");
  const std::string firstNext = h.Field("JOBNRT", "INTERVAL");
  EXPECT_EQ(firstNext.substr(0, 12), "202701010058");

  // Still the first minute: the ended interval run is not looked at yet,
  // and the closing row is not due.
  h.Exec(
      "update KVSYSTEM.KVR500JOB set JOBSTS='98', JOBNRT='20261231000000' "
      "where JOBKE2='INTERVAL'");
  h.env.SetLocalTime(2026, 12, 31, 23, 58, 58);
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "INTERVAL"), "98");
  EXPECT_EQ(h.Field("JOBSTS", "NLF+D00"), "");

  // The next minute: re-evaluated, and the closing row starts.
  h.env.SetLocalTime(2026, 12, 31, 23, 59, 5);
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "INTERVAL"), "00");
  EXPECT_EQ(h.Field("JOBNRT", "INTERVAL").substr(0, 12), "202701010059");
  EXPECT_EQ(h.Field("JOBSTS", "NLF+D00"), "01");
  EXPECT_EQ(h.Field("JOBSTS", "DAILY"), "00");

  // After midnight the ended closing run is made again for the new day.
  h.env.EndProcess(std::stoi(h.Field("JOBNUM", "NLF+D00")));
  h.env.SetLocalTime(2027, 1, 1, 0, 0, 10);
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Count("select count(*) from KVSYSTEM.KVR500JOB where JOBRTY='08'"), 1);
  EXPECT_EQ(h.Field("JOBNRT", "NLF+D00"), "20270101235900");
  EXPECT_EQ(h.Field("JOBSTS", "NLF+D00"), "");

  // The daily job is due at its time on the new day.
  h.env.SetLocalTime(2027, 1, 1, 7, 0, 30);
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "DAILY"), "01");
  EXPECT_EQ(h.MainLog().find("Fehler bei der Verarbeitung"), std::string::npos) << h.MainLog();
}

}  // namespace
}  // namespace kvr::test
