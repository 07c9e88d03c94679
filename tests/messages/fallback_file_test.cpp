// The fallback file JOBCTLMSG.log: keeping failed inserts, feeding them back,
// and refusing every line that is not a message insert.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "core/config.h"
#include "core/logger.h"
#include "db/session.h"
#include "messages/message_insert.h"
#include "messages/message_poster.h"
#include "messages/poster_world.h"
#include "platform/fake_env.h"
#include "support/temp_dir.h"
#include "support/test_database.h"
#include "support/test_pg.h"

namespace kvr {
namespace {

using FallbackWorld = test::PosterWorld;

// A statement as the poster writes it, with its own key.
std::string Insert(int key, const std::string& text = "aus der Datei") {
  StrNachricht r;
  r.msgtxt = text;
  SetControllerSender(r);
  r.msgtyp = "1";
  r.msgval = 1;
  return FormatNachrichtInsert(r, "1765098123" + std::to_string(key), "20261207084312");
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// ------------------------------------------- without a database session

// The session is never connected: every insert fails and the statement
// goes to the file, one line each.
TEST(FallbackFile, FailedInsertsAreKeptOneLineEach) {
  FallbackWorld w;
  w.poster->PostNachricht("it's\nbroken");
  const std::string first = w.File();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.back(), '\n');
  EXPECT_EQ(first.find('\n'), first.size() - 1);
  EXPECT_TRUE(IsNachrichtInsert(first.substr(0, first.size() - 1)));
  std::string statement = first.substr(0, first.size() - 1);
  EXPECT_TRUE(
      w.Logged("Fehler beim Schreiben in den Nachrichten-Pool(Msg)! SQL: " + statement + "!\n"));
  EXPECT_TRUE(w.Logged(
      "Nachricht (Msg) in Temporaerdatei JOBCTLMSG.log gestellt! SQL: " + statement + "!\n"));

  w.ClearLog();
  w.poster->PostNachricht("zweite");
  // The line as read, its line end written escaped: one event, one log line.
  EXPECT_TRUE(w.Logged("Nachricht fuer den Nachrichten-Pool! SQL: " + statement + "\\n!\n"));
  EXPECT_TRUE(w.Logged("Fehler beim Schreiben in den Nachrichten-Pool! RC: -3114!\n"));
  EXPECT_TRUE(w.Logged("Anzahl Nachrichten gelesen: 1. Davon eingepflegt: 0!\n"));
  EXPECT_TRUE(w.Logged("0 von 1 Nachrichten eingepflegt. Datei nicht geloescht!\n"));
  std::string both = w.File();
  EXPECT_EQ(both.rfind(first, 0), 0u);
  EXPECT_EQ(std::count(both.begin(), both.end(), '\n'), 2);
}

TEST(FallbackFile, MissingFolderLosesTheMessageWithALogLine) {
  FallbackWorld w;
  w.poster->SetFallbackPath(w.dir.File("nowhere/JOBCTLMSG.log"));
  w.poster->PostNachricht("verloren");
  EXPECT_TRUE(
      w.Logged("Fehler beim Schreiben der Nachricht (Msg) in die JOBCTLMSG.log: "
               "No such file or directory!\n"));
  EXPECT_FALSE(w.env.FileReadable(w.dir.File("nowhere/JOBCTLMSG.log")));
}

TEST(FileExists, ReadableFilesOnly) {
  FallbackWorld w;
  w.dir.Write("a.txt", "");
  EXPECT_EQ(FileExists(w.env, w.dir.File("a.txt")), 1);
  EXPECT_EQ(FileExists(w.env, w.dir.File("b.txt")), 0);
}

// While the table cannot be written a post tries the first waiting line
// only; a line that a full disk would cut short is not written at all.
TEST(FallbackFile, OutageTriesTheFirstLineOnlyAndShortWritesAreCutBack) {
  FallbackWorld w;
  const std::string waiting = Insert(1) + "\n" + Insert(2) + "\n" + Insert(3) + "\n";
  w.WriteFile(waiting);
  w.poster->PostNachricht("neu");
  EXPECT_EQ(Occurrences(w.MainLog(), "Nachricht fuer den Nachrichten-Pool! SQL:"), 1u)
      << w.MainLog();
  EXPECT_TRUE(w.Logged("0 von 3 Nachrichten eingepflegt. Datei nicht geloescht!\n"));
  const std::string four = w.File();
  EXPECT_EQ(std::count(four.begin(), four.end(), '\n'), 4);

  // A write limit just past the end of the file: the next line gets in
  // part way, as on a full disk, and must leave no torn line behind.
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit tight = old;
  tight.rlim_cur = four.size() + 40;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  w.poster->PostNachricht("kein Platz");
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(w.File(), four);
}

// Neither the table (no session) nor the file takes the messages: they are
// held in memory and written to the file as soon as it takes them, by the
// next delivery, in the order they were posted.
TEST(FallbackFile, HeldMessagesGoToTheFileOnceItTakesThem) {
  struct Case {
    const char* name;
    bool fullDisk;  // else the file's folder is missing
  };
  for (const Case& c : {Case{"missing folder", false}, Case{"full disk", true}}) {
    SCOPED_TRACE(c.name);
    FallbackWorld w;
    if (!c.fullDisk) w.poster->SetFallbackPath(w.dir.File("later/JOBCTLMSG.log"));
    const std::string before = c.fullDisk ? Insert(1) + "\n" : "";
    if (c.fullDisk) w.WriteFile(before);
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = old;
    tight.rlim_cur = before.size() + 40;
    if (c.fullDisk) {
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    }
    w.poster->PostNachricht("erste");
    w.poster->PostNachricht("zweite");
    w.poster->DeliverHeld();  // still nowhere to go
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(w.poster->heldCount(), 2u);
    if (c.fullDisk) {
      EXPECT_EQ(w.File(), before);
    }

    if (!c.fullDisk) w.dir.Write("later/.keep", "");
    w.ClearLog();
    w.poster->DeliverHeld();
    EXPECT_EQ(w.poster->heldCount(), 0u);
    std::string file = w.env.ReadFile(w.poster->fallbackPath(), nullptr).value_or("");
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), c.fullDisk ? 3 : 2) << file;
    EXPECT_LT(file.find(" erste'"), file.find(" zweite'"));
    EXPECT_TRUE(
        w.Logged("Gehaltene Nachrichten uebertragen: 0 in den Nachrichten-Pool, 2 in die "
                 "JOBCTLMSG.log, 0 weiter gehalten!\n"))
        << w.MainLog();
  }
}

// The bound drops the oldest message, with a line naming it; what is still
// held at shut-down is named as lost.
TEST(FallbackFile, HeldMessagesAreBoundedAndNamedWhenLost) {
  FallbackWorld w;
  w.poster->SetFallbackPath(w.dir.File("nowhere/JOBCTLMSG.log"));
  for (size_t i = 0; i <= kMaxHeldNachrichten; ++i) {
    w.poster->PostNachricht("n" + std::to_string(i));
    if (i == 0) w.ClearLog();
  }
  EXPECT_EQ(w.poster->heldCount(), kMaxHeldNachrichten);
  const std::string log = w.MainLog();
  EXPECT_EQ(Occurrences(log, "Nachricht (Msg) verworfen, Speicher voll! SQL: "), 1u);
  const size_t dropped = log.find("Nachricht (Msg) verworfen, Speicher voll! SQL: ");
  EXPECT_NE(log.find(" n0'", dropped), std::string::npos);
  w.ClearLog();
  w.poster->DeliverHeldAtEnd();
  EXPECT_EQ(w.poster->heldCount(), 0u);
  EXPECT_EQ(Occurrences(w.MainLog(), "Nachricht (Msg) verloren! SQL: "), kMaxHeldNachrichten);
}

// ------------------------------------------------ re-import, both engines

class FallbackDb : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    std::string name =
        std::string("fallback_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    ASSERT_TRUE(w_.Connect(GetParam(), name)) << w_.db.error;
  }
  FallbackWorld w_;
};

// The message table goes away: the post lands in the file; once the table
// is back the next post takes the kept line over and deletes the file.
TEST_P(FallbackDb, TableMissingThenBack) {
  Connection& c = w_.session->db();
  // SQLite keeps every schema in one file under the name "SCHEMA.TABLE".
  const bool sqlite = GetParam() == Engine::Sqlite;
  const char* away = sqlite ? "ALTER TABLE KVSYSTEM.KVR200MSG RENAME TO \"KVSYSTEM.KVR200MSG_AWAY\""
                            : "ALTER TABLE KVSYSTEM.KVR200MSG RENAME TO KVR200MSG_AWAY";
  ASSERT_EQ(c.Execute(away), 0) << c.LastMessage();
  w_.poster->PostNachricht("waehrend die Tabelle fehlt");
  EXPECT_TRUE(w_.FileThere());
  EXPECT_TRUE(w_.Logged("Nachricht (Msg) in Temporaerdatei JOBCTLMSG.log gestellt!"));
  const char* back = sqlite ? "ALTER TABLE KVSYSTEM.KVR200MSG_AWAY RENAME TO \"KVSYSTEM.KVR200MSG\""
                            : "ALTER TABLE KVSYSTEM.KVR200MSG_AWAY RENAME TO KVR200MSG";
  ASSERT_EQ(c.Execute(back), 0) << c.LastMessage();

  w_.ClearLog();
  w_.env.Advance(1);
  w_.poster->PostNachricht("Datenbankverbindung wiederhergestellt => Neustart der Jobs!");
  EXPECT_TRUE(w_.Logged("Nachricht wurde in den Nachrichtenpool uebertragen!\n"));
  EXPECT_TRUE(w_.Logged("Anzahl Nachrichten gelesen: 1. Davon eingepflegt: 1!\n"));
  EXPECT_TRUE(w_.Logged("Temporaerdatei JOBCTLMSG.log geloescht!\n"));
  EXPECT_FALSE(w_.FileThere());
  EXPECT_EQ(w_.Count(), 2);
}

TEST_P(FallbackDb, OneFailingLineOfThreeKeepsTheFileUnchanged) {
  // The middle line is a message insert that the table refuses: a client
  // number the table does not take.
  const char* refuse =
      GetParam() == Engine::Sqlite
          ? "CREATE TRIGGER KVR200MSG_REFUSE BEFORE INSERT ON \"KVSYSTEM.KVR200MSG\" WHEN "
            "NEW.MSGMND = '00000' BEGIN SELECT RAISE(ABORT, 'refused'); END"
          : "ALTER TABLE KVSYSTEM.KVR200MSG ADD CONSTRAINT KVR200MSG_REFUSE CHECK "
            "(MSGMND <> '00000')";
  ASSERT_EQ(w_.session->db().Execute(refuse), 0) << w_.session->db().LastMessage();
  std::string failing = Insert(3);
  failing.replace(failing.find("'99999'"), 7, "'00000'");
  const std::string content = Insert(1) + "\n" + failing + "\n" + Insert(2);
  w_.WriteFile(content);
  w_.poster->PostNachricht("neu");
  EXPECT_TRUE(w_.Logged("Anzahl Nachrichten gelesen: 3. Davon eingepflegt: 2!\n")) << w_.MainLog();
  EXPECT_TRUE(w_.Logged("2 von 3 Nachrichten eingepflegt. Datei nicht geloescht!\n"));
  EXPECT_EQ(w_.File(), content);
  EXPECT_EQ(w_.Count(), 3);

  // Again: the lines taken over before now exist already and still count.
  w_.ClearLog();
  w_.poster->PostNachricht("noch eine");
  EXPECT_TRUE(w_.Logged("Eintrag existiert bereits.! RC: -1!\n"));
  EXPECT_TRUE(w_.Logged("Anzahl Nachrichten gelesen: 3. Davon eingepflegt: 2!\n"));
  EXPECT_EQ(w_.Count(), 4);
}

TEST_P(FallbackDb, ForeignStatementsAreNeverExecuted) {
  ASSERT_EQ(w_.session->db().Execute(
                "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobRty,JobStv) values "
                "('20260101000000','JOB','01',0)"),
            0);
  const std::string injected = std::string(kNachrichtInsertPrefix) +
                               "'1', 0, 'x'); DELETE FROM KVSYSTEM.KVR500JOB; --', '')";
  w_.WriteFile("DELETE FROM KVSYSTEM.KVR500JOB\n" + injected + "\n" + Insert(5) + "\n");
  w_.poster->PostNachricht("neu");
  EXPECT_EQ(w_.CountIn("KVSYSTEM.KVR500JOB"), 1);
  EXPECT_TRUE(
      w_.Logged("Zeile ist keine Nachricht, nicht uebernommen: DELETE FROM KVSYSTEM.KVR500JOB!\n"));
  EXPECT_TRUE(w_.Logged("Zeile ist keine Nachricht, nicht uebernommen: " + injected + "!\n"));
  EXPECT_TRUE(w_.Logged("Anzahl Nachrichten gelesen: 3. Davon eingepflegt: 1!\n"));
  // Moved aside, named once, so that the file can go.
  EXPECT_FALSE(w_.FileThere());
  EXPECT_EQ(w_.dir.Read("log/JOBCTLMSG.bad"), "DELETE FROM KVSYSTEM.KVR500JOB\n" + injected + "\n");
  EXPECT_TRUE(w_.Logged("2 Zeilen ohne Nachricht nach " + w_.dir.File("log/JOBCTLMSG.bad") +
                        " verschoben!\n"));
  EXPECT_EQ(w_.Count(), 2);
}

TEST_P(FallbackDb, OddFileContents) {
  struct Case {
    const char* name;
    std::string content;
    int read, taken;
  };
  const std::string garbage("\x00\x01\xff\xfe\x80\n\x7f\x00zz", 11);
  const Case cases[] = {
      {"last line without line end", Insert(1) + "\n" + Insert(2), 2, 2},
      {"lines from a Windows system", Insert(3) + "\r\n" + Insert(4) + "\r\n", 2, 2},
      {"line of 5000 characters", std::string(5000, 'x') + "\n" + Insert(5) + "\n", 2, 1},
      {"binary garbage", garbage, 2, 0},
      {"an empty line", Insert(6) + "\n\n", 2, 1},
  };
  for (const Case& c : cases) {
    w_.ClearLog();
    w_.WriteFile(c.content);
    w_.poster->PostNachricht("neu");
    char counts[128];
    std::snprintf(counts, sizeof counts, "Anzahl Nachrichten gelesen: %d. Davon eingepflegt: %d!\n",
                  c.read, c.taken);
    EXPECT_TRUE(w_.Logged(counts)) << c.name << "\n" << w_.MainLog();
    EXPECT_FALSE(w_.FileThere()) << c.name;
    std::string aside = w_.dir.Read("log/JOBCTLMSG.bad");
    EXPECT_EQ(std::count(aside.begin(), aside.end(), '\n'), c.read - c.taken) << c.name;
    std::remove(w_.dir.File("log/JOBCTLMSG.bad").c_str());
  }
}

TEST_P(FallbackDb, EmptyFileIsDeleted) {
  w_.WriteFile("");
  w_.poster->PostNachricht("neu");
  EXPECT_TRUE(w_.Logged("Keine Nachrichten in KVRCTLMSG.LOG gefunden!\n"));
  EXPECT_TRUE(w_.Logged("Temporaerdatei JOBCTLMSG.log geloescht!\n"));
  EXPECT_FALSE(w_.FileThere());
  EXPECT_EQ(w_.Count(), 1);
}

// The file is the only copy of its messages: it may go only once the rows
// taken over are committed. A reconnect right after the post (the session
// dropping its open work) must not lose them.
TEST_P(FallbackDb, TakenOverLinesAreCommittedBeforeTheFileGoes) {
  w_.WriteFile(Insert(1) + "\n" + Insert(2) + "\n");
  w_.poster->PostNachricht("neu");
  EXPECT_TRUE(w_.Logged("Anzahl Nachrichten gelesen: 2. Davon eingepflegt: 2!\n"));
  EXPECT_FALSE(w_.FileThere());
  ASSERT_EQ(w_.session->SQLConnect(w_.db.login, w_.db.password, w_.db.service, w_.db.schema), 0);
  EXPECT_EQ(w_.Count(), 2);  // the new message was not committed yet; the kept ones were
  if (GetParam() != Engine::Postgres) return;

  // A commit that fails takes the rows with it: the file stays as it was.
  const std::string dbname = w_.db.service.substr(w_.db.service.rfind('/') + 1);
  std::string error;
  ASSERT_TRUE(
      test::PgExec(dbname,
                   "CREATE FUNCTION kvsystem.refuse_late() RETURNS trigger LANGUAGE plpgsql AS "
                   "'BEGIN RAISE EXCEPTION ''refused at commit''; END';"
                   "CREATE CONSTRAINT TRIGGER refuse_late AFTER INSERT ON kvsystem.kvr200msg "
                   "DEFERRABLE INITIALLY DEFERRED FOR EACH ROW WHEN (NEW.msgmnd = '00000') "
                   "EXECUTE FUNCTION kvsystem.refuse_late()",
                   &error))
      << error;
  std::string late = Insert(3);
  late.replace(late.find("'99999'"), 7, "'00000'");
  w_.WriteFile(late + "\n");
  w_.ClearLog();
  w_.poster->PostNachricht("danach");
  EXPECT_TRUE(w_.Logged("Anzahl Nachrichten gelesen: 1. Davon eingepflegt: 1!\n"));
  EXPECT_TRUE(w_.Logged("Nachrichten nicht festgeschrieben! RC: -20000. Datei nicht geloescht!\n"))
      << w_.MainLog();
  EXPECT_EQ(w_.File(), late + "\n");
}

// Held messages reach the table once it is back; at shut-down they are
// committed there.
TEST_P(FallbackDb, HeldMessagesReachTheTableWhenItIsBack) {
  Connection& c = w_.session->db();
  const bool sqlite = GetParam() == Engine::Sqlite;
  const char* away = sqlite ? "ALTER TABLE KVSYSTEM.KVR200MSG RENAME TO \"KVSYSTEM.KVR200MSG_AWAY\""
                            : "ALTER TABLE KVSYSTEM.KVR200MSG RENAME TO KVR200MSG_AWAY";
  const char* back = sqlite ? "ALTER TABLE KVSYSTEM.KVR200MSG_AWAY RENAME TO \"KVSYSTEM.KVR200MSG\""
                            : "ALTER TABLE KVSYSTEM.KVR200MSG_AWAY RENAME TO KVR200MSG";
  w_.poster->SetFallbackPath(w_.dir.File("nowhere/JOBCTLMSG.log"));
  ASSERT_EQ(c.Execute(away), 0) << c.LastMessage();
  ASSERT_EQ(w_.session->SQLCommit(), 0);
  w_.poster->PostNachricht("gehalten");
  w_.poster->DeliverHeld();
  EXPECT_EQ(w_.poster->heldCount(), 1u);
  ASSERT_EQ(c.Execute(back), 0) << c.LastMessage();
  ASSERT_EQ(w_.session->SQLCommit(), 0);
  w_.poster->DeliverHeldAtEnd();
  EXPECT_EQ(w_.poster->heldCount(), 0u);
  EXPECT_TRUE(
      w_.Logged("Gehaltene Nachrichten uebertragen: 1 in den Nachrichten-Pool, 0 in die "
                "JOBCTLMSG.log, 0 weiter gehalten!\n"))
      << w_.MainLog();
  ASSERT_EQ(w_.session->SQLConnect(w_.db.login, w_.db.password, w_.db.service, w_.db.schema), 0);
  EXPECT_EQ(w_.Count(" where MSGTXT like '% gehalten'"), 1);
}

TEST_P(FallbackDb, TenThousandLinesAreTakenOver) {
  std::string content;
  for (int i = 0; i < 10000; ++i) content += Insert(10000 + i) + "\n";
  w_.WriteFile(content);
  w_.poster->PostNachricht("neu");
  EXPECT_TRUE(w_.Logged("Anzahl Nachrichten gelesen: 10000. Davon eingepflegt: 10000!\n"));
  EXPECT_FALSE(w_.FileThere());
  EXPECT_EQ(w_.Count(), 10001);
}

INSTANTIATE_TEST_SUITE_P(Engines, FallbackDb, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr
