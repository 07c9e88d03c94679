// The controller's start-up sequence and its passes, driven step by step on
// a FakeEnv with a real SQLite queue.
#include <gtest/gtest.h>

#include <cstdio>

#include "controller/controller_fixture.h"

namespace kvr::test {
namespace {

// The service answers the first `answers` contacts that are made. Each
// contact takes five seconds of fake time, so no contact of the start-up is
// skipped by the three-second rule.
void AnswerFirst(ControllerHarness& h, int answers) {
  auto calls = std::make_shared<int>(0);
  h.env.service = [&h, calls, answers](const std::string&) {
    h.env.Advance(5);
    ServiceReply reply;
    reply.answered = (*calls)++ < answers;
    reply.reply = "OK";
    reply.error = reply.answered ? 0 : 111;
    return reply;
  };
}

TEST(ControllerStartUp, StopsWithStatusZeroAtEveryContactWithoutAnswer) {
  // The start-up makes six contacts: dbConnect twice, cleanupServer, one
  // in the walk over the (empty) run type 04 rows, CheckRT04Jobs and
  // AddRT01Jobs. A walk that gets no answer ends, and the contact after it
  // is made all the same.
  for (int answers = 0; answers <= 5; ++answers) {
    SCOPED_TRACE(answers);
    ControllerHarness h;
    AnswerFirst(h, answers);
    EXPECT_EQ(h.controller->Run(), 0);
    std::string log = h.MainLog();
    EXPECT_TRUE(Contains(log, "** Jobcontroller KVRJOBSTR wurde gestartet **")) << log;
    EXPECT_TRUE(Contains(log, "Service antwortet nicht! ErrCode: 111! KVRJOBSTR wird beendet!"));
    EXPECT_EQ(Contains(log, "Flag-Datei NLF wurde erstellt."), answers >= 2) << log;
    EXPECT_FALSE(Contains(log, "Ende Initialisierung + Beginn Verarbeitung!"));
    EXPECT_FALSE(Contains(log, "Alle verwalteten Jobs beenden!"));
    EXPECT_EQ(static_cast<int>(h.env.serviceCalls.size()), answers + 1 + (answers == 3));
  }
}

TEST(ControllerStartUp, InstanceNumberNamesBannerAndPipe) {
  ControllerHarness h("", Engine::Sqlite, "3");
  ASSERT_TRUE(h.StartUp());
  EXPECT_TRUE(Contains(h.MainLog(), "** Clusterdienst: JOBCONTROLLER 3. gestartet **"));
  EXPECT_EQ(h.controller->pipeName(), "\\\\.\\pipe\\kvrjobctl3");
  ASSERT_FALSE(h.env.serviceCalls.empty());
  EXPECT_EQ(h.env.serviceCalls[0], "\\\\.\\pipe\\kvrjobctl3");
  EXPECT_EQ(h.env.lastRequest, "KVRJOBSTR.EXE");
}

TEST(ControllerStartUp, FailedConnectNamesItsCauseAndExitsOne) {
  struct Case {
    const char* name;
    const char* fileText;  // nullptr: the file is removed; "": credentials of a bad database
    const char* cause;
  };
  const Case cases[] = {
      {"missing", nullptr, "KVRJOBSTR: cannot start: no credential file at .\\VELTRONIA.INI"},
      {"garbage", "\x01\x02binary\xff\n", ".\\VELTRONIA.INI is not a credential file"},
      {"no database", "", "KVRJOBSTR: cannot start: the database at sqlite:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ControllerHarness h;
    std::string file = h.programDir() + "/VELTRONIA.INI";
    if (c.fileText == nullptr) {
      std::remove(file.c_str());
    } else if (*c.fileText != '\0') {
      h.dir.Write("jobctl/VELTRONIA.INI", c.fileText);
    } else {
      TestDatabase bad = h.database;
      bad.service = "sqlite:" + h.dir.path() + "/no-such-dir/x.db";
      WriteCredentialFile(file, bad);
    }
    EXPECT_EQ(h.controller->Run(), 1);
    EXPECT_TRUE(Contains(h.MainLog(), "- Verbindung zur Datenbank fehlgeschlagen, Fehler : -"))
        << h.MainLog();
    EXPECT_TRUE(Contains(h.MainLog(), c.cause)) << h.MainLog();
    EXPECT_TRUE(Contains(h.env.console, c.cause)) << h.env.console;
    EXPECT_FALSE(Contains(h.MainLog(), "Flag-Datei"));
  }
}

TEST(ControllerPass, StartsDueJobsWithinMaxJobsAndEndsThemWhenTheServiceStops) {
  ControllerHarness h("[JOBATR]\nMAXJOBS=2\n");
  ASSERT_TRUE(h.StartUp());
  h.AddJob("01", "FIRST", "prog1 a", "", "", 0, 0, "20261207080000");
  h.AddJob("01", "SECOND", "prog2 b", "", "", 0, 0, "20261207080001");
  h.AddJob("04", "STANDING", "prog4", "", "", 0, 0, "20261207080002");
  ASSERT_TRUE(h.controller->RunPass());
  // Run type 04 comes first and counts towards MAXJOBS, which it ignores.
  EXPECT_EQ(h.Field("JOBSTS", "STANDING"), "01");
  EXPECT_EQ(h.Field("JOBSTS", "FIRST"), "01");
  EXPECT_EQ(h.Field("JOBSTS", "SECOND"), "");  // MAXJOBS 2 is reached
  EXPECT_EQ(h.Field("JOBNAM", "FIRST"), "prog1");

  // The first job ends: it is closed, and the second may start.
  h.env.EndProcess(std::stoi(h.Field("JOBNUM", "FIRST")));
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "FIRST"), "98");
  EXPECT_EQ(h.Field("JOBSTS", "SECOND"), "01");

  // A standing job that ends is started again in the pass that closes it.
  std::string standing = h.Field("JOBNUM", "STANDING");
  h.env.EndProcess(std::stoi(standing));
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "STANDING"), "01");
  EXPECT_NE(h.Field("JOBNUM", "STANDING"), standing);

  // The service goes away: every managed job is ended and closed "99".
  h.env.service = [](const std::string&) { return ServiceReply{false, "", 111}; };
  EXPECT_FALSE(h.controller->RunPass());
  h.controller->ShutDown();
  EXPECT_EQ(h.Field("JOBSTS", "STANDING"), "99");
  EXPECT_EQ(h.Field("JOBSTS", "SECOND"), "99");
  EXPECT_TRUE(Contains(h.MainLog(), "Flag-Datei NLF wurde geloescht."));
  EXPECT_EQ(h.Count("select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like "
                    "'%Der Jobcontroller wurde beendet!%'"),
            1);
  EXPECT_EQ(h.Count("select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like "
                    "'%Jobcontroller-Dienst antwortet nicht => Jobs werden beendet!%'"),
            1);
}

// The stop closes a job that ended by itself since the last pass ("98"),
// while the table restored for it also holds the entry of an earlier run of
// a standing row (closed and started again in the last pass): that entry
// never writes over the row's later run, running or ended.
TEST(ControllerStop, ClosesJobsEndedJustBeforeItButNeverALaterRunOfTheirRow) {
  struct Case {
    const char* name;
    bool laterRunEnds;
    const char* laterStatus;
  };
  const Case cases[] = {{"later run running", false, "99"}, {"later run ended", true, "98"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ControllerHarness h;
    ASSERT_TRUE(h.StartUp());
    h.AddJob("04", "STANDING", "prog4", "", "", 0, 0, "20261207080000");
    h.AddJob("01", "SHORT", "prog1", "", "", 0, 0, "20261207080001");
    ASSERT_TRUE(h.controller->RunPass());
    std::string earlier = h.Field("JOBNUM", "STANDING");
    h.env.EndProcess(std::stoi(earlier));
    ASSERT_TRUE(h.controller->RunPass());
    std::string later = h.Field("JOBNUM", "STANDING");
    ASSERT_NE(later, earlier);
    h.env.EndProcess(std::stoi(h.Field("JOBNUM", "SHORT")), ExitStatus{false, 3});
    if (c.laterRunEnds) h.env.EndProcess(std::stoi(later));

    h.env.service = [](const std::string&) { return ServiceReply{false, "", 111}; };
    EXPECT_FALSE(h.controller->RunPass());
    h.controller->ShutDown();
    EXPECT_EQ(h.Field("JOBSTS", "SHORT"), "98");
    EXPECT_EQ(h.Field("JOBSTS", "STANDING"), c.laterStatus);
    EXPECT_EQ(h.Field("JOBNUM", "STANDING"), later);
    EXPECT_TRUE(Contains(h.MainLog(), "STANDING: the row no longer runs process " + earlier))
        << h.MainLog();
  }
}

TEST(ControllerPass, RunType05StartsOnlyWithoutRunningJobsAndHoldsBackTheOthers) {
  ControllerHarness h;
  ASSERT_TRUE(h.StartUp());
  h.AddJob("01", "RUNNING", "longjob");
  ASSERT_TRUE(h.controller->RunPass());
  ASSERT_EQ(h.Field("JOBSTS", "RUNNING"), "01");

  h.AddJob("05", "EXCLUSIVE", "exclusive");
  h.AddJob("01", "WAITING", "other");
  h.AddJob("04", "STANDING", "standing");
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "EXCLUSIVE"), "");  // a job still runs
  EXPECT_EQ(h.Field("JOBSTS", "WAITING"), "");    // held back while run type 05 is due
  EXPECT_EQ(h.Field("JOBSTS", "STANDING"), "");

  h.env.EndProcess(std::stoi(h.Field("JOBNUM", "RUNNING")));
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "RUNNING"), "98");
  EXPECT_EQ(h.Field("JOBSTS", "EXCLUSIVE"), "01");
  EXPECT_EQ(h.Field("JOBSTS", "WAITING"), "");

  h.env.EndProcess(std::stoi(h.Field("JOBNUM", "EXCLUSIVE")));
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "EXCLUSIVE"), "98");
  EXPECT_EQ(h.Field("JOBSTS", "WAITING"), "01");
  EXPECT_EQ(h.Field("JOBSTS", "STANDING"), "01");
}

TEST(ControllerPass, RefusedAndFailingRowsNeverHangThePass) {
  ControllerHarness h;
  ASSERT_TRUE(h.StartUp());
  // A run type 01 row over its attempts is refused and marked failed, so it
  // neither comes back in the loop nor holds back the rows behind it.
  h.AddJob("01", "REFUSED", "prog", "", "", 0, 11, "20261207080000");
  h.AddJob("01", "BEHIND", "prog", "", "", 0, 0, "20261207080003");
  // A run type 04 row whose program cannot be started is tried until its
  // attempts pass 10, then left alone.
  h.AddJob("04", "BROKEN", "broken", "", "", 0, 0, "20261207080001");
  h.env.spawner = [&h](const std::string& command) {
    SpawnResult r;
    if (command == "broken") return r;
    FakeEnv::Process process;
    process.baseName = command;
    process.path = "/usr/bin/" + command;
    process.startTime = h.env.Now();
    r.created = true;
    r.pid = h.env.AddProcess(process);
    return r;
  };
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "REFUSED"), "90");
  EXPECT_EQ(h.Field("JOBSTV", "REFUSED"), "11");
  EXPECT_EQ(h.Field("JOBNUM", "REFUSED"), "");
  EXPECT_EQ(h.Field("JOBSTS", "BEHIND"), "01");
  EXPECT_EQ(h.Field("JOBSTS", "BROKEN"), "90");
  EXPECT_EQ(h.Field("JOBSTV", "BROKEN"), "11");
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTV", "BROKEN"), "11");

  // A run type 05 row over its attempts holds back the other run types for
  // one pass only (once no job runs).
  h.env.EndProcess(std::stoi(h.Field("JOBNUM", "BEHIND")));
  h.AddJob("05", "EXCLUSIVE", "prog", "", "", 0, 11, "20261207080004");
  h.AddJob("04", "AFTER", "prog", "", "", 0, 0, "20261207080005");
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "EXCLUSIVE"), "90");
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "AFTER"), "01");
}

TEST(ControllerPass, TimedJobsStartWhenDueByTheControllersClock) {
  ControllerHarness h;
  ASSERT_TRUE(h.StartUp());
  h.AddJob("03", "TIMED", "timed", "", "00");
  // An interval job: its waiting row keeps the JOBNRT it has.
  h.Exec(
      "update KVSYSTEM.KVR500JOB set JOBNRT = '20991231235959', JOBDLS = 3 "
      "where JOBKE2 = 'TIMED'");
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "TIMED"), "00");
  h.Exec("update KVSYSTEM.KVR500JOB set JOBNRT = '20000101000000' where JOBKE2 = 'TIMED'");
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.Field("JOBSTS", "TIMED"), "01");
  EXPECT_EQ(h.Field("JOBSTV", "TIMED"), "1");
}

TEST(ControllerPass, StopSignalShutsDownAtTheNextForcedContact) {
  ControllerHarness h;
  ASSERT_TRUE(h.StartUp());
  ASSERT_TRUE(h.controller->RunPass());
  h.env.RequestStop();
  EXPECT_FALSE(h.controller->RunPass());
  h.controller->ShutDown();
  EXPECT_TRUE(Contains(h.MainLog(), "Alle verwalteten Jobs beenden!"));
}

}  // namespace
}  // namespace kvr::test

namespace kvr::test {
namespace {

TEST(ControllerMessages, StartMessageWaitsInTheFallbackFileUntilTheTableIsBack) {
  ControllerHarness h;
  h.Exec("ALTER TABLE \"KVSYSTEM.KVR200MSG\" RENAME TO \"KVSYSTEM.KVR200MSG_AWAY\"");
  ASSERT_TRUE(h.StartUp());
  std::string fallback = h.dir.Read("veltronia_php/log/JOBCTLMSG.log");
  EXPECT_NE(fallback.find("Der Jobcontroller wurde gestartet!"), std::string::npos) << fallback;

  h.Exec("ALTER TABLE \"KVSYSTEM.KVR200MSG_AWAY\" RENAME TO \"KVSYSTEM.KVR200MSG\"");
  ASSERT_TRUE(h.controller->RunPass());
  h.env.service = [](const std::string&) { return ServiceReply{false, "", 111}; };
  EXPECT_FALSE(h.controller->RunPass());
  h.controller->ShutDown();
  EXPECT_TRUE(h.dir.Read("veltronia_php/log/JOBCTLMSG.log").empty());
  for (const char* text : {"Der Jobcontroller wurde gestartet!",
                           "Jobcontroller-Dienst antwortet nicht => Jobs werden beendet!",
                           "Der Jobcontroller wurde beendet!"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(
        h.Count(std::string("select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like '%") + text +
                "' and MSGSRC = 'KVRJOBSTR' and MSGMOD = 'main' and MSGSCH = 'KVSYSTEM' "
                "and MSGLIZ = '99999' and MSGMND = '99999' and MSGERF = 'SYSTEM' and "
                "MSGADR = 'GEN' and MSGBER = 'ORBANEX' and MSGCAT = 'WARNHINWEISE'"),
        1);
  }
}

}  // namespace
}  // namespace kvr::test
