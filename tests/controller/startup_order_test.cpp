// The start-up's registration and clean-up as a whole: the steps in their
// order, what they leave in the queue, and a second start on the same day
// as a numbered instance.
#include <gtest/gtest.h>

#include <filesystem>

#include "controller/controller_fixture.h"

namespace kvr::test {
namespace {

// Every contact takes five seconds, so none of the start-up is skipped.
void SlowService(ControllerHarness& h) {
  h.env.service = [&h](const std::string&) {
    h.env.Advance(5);
    return ServiceReply{true, "OK", 0};
  };
}

// True when the parts stand in the text in the given order.
bool InOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& p : parts) {
    at = text.find(p, at);
    if (at == std::string::npos) return false;
    at += p.size();
  }
  return true;
}

TEST(ControllerStartUpOrder, CleansRegistersAndIsQuietTheSecondTime) {
  ControllerHarness h("[JOBATR]\nDBGLOG=1\n");
  SlowService(h);
  h.env.SetLocalTime(2026, 12, 7, 8, 0, 0);
  h.dir.Write("transfer/Geraetezentrale/qlnk.running", "");
  h.dir.Write("jobctl/ArchivZug.exe", "");
  h.Exec(
      "insert into KVSYSTEM.KVR112MND (MNDLIZ,MNDNUM,MNDSCH,MNDNA1,MNDKON) values "
      "('12345','01','MANDANT1','Kunde',0)");
  h.Exec("insert into MANDANT1.KVR303SBE (SBEDTQ,SBEPNR,SBEQEV) values ('anna','17',1)");
  h.AddJob("04", "Schema: MANDANT1", "old", "MANDANT1", "01", 0, 0, "20000101120000");
  h.Exec("update KVSYSTEM.KVR500JOB set JOBNAM='kvrrec_oracle.exe' where JOBRTY='04'");
  h.AddJob("01", "EXPIRED", "x", "", "98", 0, 0, "20261001080000");
  ASSERT_TRUE(h.controller->StartUp());
  h.controller->session().SQLCommit();

  EXPECT_TRUE(InOrder(
      h.MainLog(),
      {"Flag-Datei NLF wurde erstellt.", "Ende 04 Jobs anlegen!\n", "Ende 01 Jobs anlegen!\n",
       "- Daily Systemjob eintragen!\n", "- Der daily Systemjob wurde eingetragen!\n",
       "- Intervall Systemjob eintragen!\n", "- Der Intervall Systemjob wurde eingetragen!\n",
       "Ende Initialisierung + Beginn Verarbeitung!\n"}))
      << h.MainLog();
  EXPECT_TRUE(InOrder(h.dir.Read("jobctl/KVRJOBDBG.LOG"),
                      {"dbConnect", "dbConnect", "cleanupServer", "CheckRT04Jobs", "CheckRT04Jobs",
                       "AddRT01Jobs"}));
  // The product's check program by name; a leftover job only by its mark.
  EXPECT_EQ(h.env.killedImages, (std::vector<std::string>{"LAUFPRUEF.EXE"}));
  EXPECT_FALSE(std::filesystem::exists(h.dir.File("transfer/Geraetezentrale/qlnk.running")));
  EXPECT_EQ(h.Count("select count(*) from KVSYSTEM.KVR500JOB where JOBKE2='EXPIRED'"), 0);
  EXPECT_EQ(h.Field("JOBCMD", "Schema: MANDANT1"),
            "KVRREC_ORACLE.EXE ..\\files\\1234501.ini USER:MANDANT1#ALLE");
  EXPECT_EQ(h.Field("JOBURV", "PNR: 17"), "anna");
  EXPECT_EQ(h.Field("JOBURV", "SystemJob"), "ArchivZug");
  for (const char* job :
       {"MAP VERARBEITUNG", "Export KVRJOBSTR", "DAILY SYSTEMJOB", "INTERVALL SYSTEMJOB"}) {
    EXPECT_NE(h.Field("JOBDA1", job), "") << job;
  }

  // Started again the same day as instance 2, after the standing jobs ran.
  h.Exec("update KVSYSTEM.KVR500JOB set JOBNAM='kvrrec_oracle.exe' where JOBRTY='04'");
  ControllerHarness again("[JOBATR]\n", h.database, "2");
  SlowService(again);
  again.env.SetLocalTime(2026, 12, 7, 9, 0, 0);
  ASSERT_TRUE(again.controller->StartUp());
  again.controller->session().SQLCommit();
  EXPECT_FALSE(InOrder(again.MainLog(), {"wurde eingetragen"})) << again.MainLog();
  EXPECT_EQ(again.Count("select count(*) from KVSYSTEM.KVR500JOB where JOBCMD like "
                        "'KVRREC_ORACLE.EXE %USER:MANDANT1#ALLE 2'"),
            1);
  EXPECT_EQ(again.Count("select count(*) from KVSYSTEM.KVR500JOB where JOBKE2='Export KVRJOBSTR'"),
            2);
}

}  // namespace
}  // namespace kvr::test
