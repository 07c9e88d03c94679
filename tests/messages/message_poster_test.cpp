#include "messages/message_poster.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <memory>
#include <string>

#include "core/config.h"
#include "core/logger.h"
#include "db/session.h"
#include "messages/message_insert.h"
#include "messages/poster_world.h"
#include "platform/fake_env.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace kvr {
namespace {

using test::PosterWorld;

// --------------------------------------------------------------- record

TEST(MessageRecord, CreationAndErrorText) {
  PosterWorld w;
  MessagePoster poster(w.env, *w.log, *w.session);
  EXPECT_EQ(poster.record(), nullptr);
  ASSERT_TRUE(poster.CreateStrNachricht());
  EXPECT_EQ(poster.record()->msgtyp, "1");
  EXPECT_EQ(poster.record()->msgval, 1);
  EXPECT_TRUE(poster.record()->msgtxt.empty());
  EXPECT_EQ(poster.record()->msgtnr, 0);
  EXPECT_EQ(poster.CheckStrNachricht(), 0);

  const std::string error = "Parameterfehler : Nachricht nicht spezifiziert";
  char buffer[64];
  EXPECT_STREQ(poster.GetNachrichtError(buffer, 60), error.c_str());
  EXPECT_STREQ(poster.GetNachrichtError(buffer, 15), error.substr(0, 15).c_str());
  EXPECT_STREQ(poster.GetNachrichtError(buffer, 0), "");

  poster.FreeStrNachricht();
  EXPECT_EQ(poster.record(), nullptr);
  poster.FreeStrNachricht();
  EXPECT_EQ(poster.BuildNachrichtInsert(), nullptr);
}

// The rules are tried in order: each step mends the field of the rule that
// failed before and the next rule's text must come up.
TEST(MessageRecord, ValidationRulesInTheirOrder) {
  PosterWorld w;
  MessagePoster poster(w.env, *w.log, *w.session);
  poster.CreateStrNachricht();
  StrNachricht& r = *poster.record();
  r.msgcat = "warnhinweise";
  r.msgadr = "ALL";
  r.msgber = "GEN";
  struct Step {
    const char* error;
    std::function<void()> mend;
  };
  const Step steps[] = {
      {"Nachricht nicht spezifiziert", [&] { r.msgtxt = std::string(121, 'x'); }},
      {"Nachricht zu lang", [&] { r.msgtxt = std::string(120, 'x'); }},
      {"Absender (Modul) nicht spezifiziert", [&] { r.msgmod = "main"; }},
      {"Absender (Programm) nicht spezifiziert", [&] { r.msgsrc = "KVRJOBSTR"; }},
      {"Absender (Schema) nicht spezifiziert", [&] { r.msgsch = "KVSYSTEM"; }},
      {"Absender (Liz oder Mnd) nicht spezifiziert", [&] { r.msgliz = "99999"; }},
      {"Absender (Liz oder Mnd) nicht spezifiziert", [&] { r.msgmnd = "99999"; }},
      {"Absender (Erfasser) nicht spezifiziert", [&] { r.msgerf = "SYSTEM"; }},
      {"Kategorie nicht spezifiziert", [&] { r.msgcat = "DEBUG"; }},
      {"Empf\xE4"
       "nger nicht spezifiziert",
       [&] { r.msgadr = "SES"; }},
      {"Empf\xE4"
       "nger (Berechtigung) nicht spezifiziert",
       [&] { r.msgber = "SBE"; }},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(poster.CheckStrNachricht(), 0);
    EXPECT_EQ(poster.lastError(), std::string("Parameterfehler : ") + step.error);
    EXPECT_EQ(poster.BuildNachrichtInsert(), nullptr);
    step.mend();
  }
  EXPECT_EQ(poster.CheckStrNachricht(), 1);
  r.msgtxt.clear();
  r.msgtnr = 7;  // a stored text number is a message too
  EXPECT_EQ(poster.CheckStrNachricht(), 1);
}

TEST(MessageRecord, KeyAndTimeOfTheStatement) {
  PosterWorld w;
  w.poster->record()->msgtxt = "x";
  const char* sql = w.poster->BuildNachrichtInsert();
  ASSERT_NE(sql, nullptr);
  std::string text(sql);
  std::string uidPrefix = std::string(kNachrichtInsertPrefix) + "'" + std::to_string(w.env.Now());
  EXPECT_EQ(text.rfind(uidPrefix, 0), 0u) << text;
  std::size_t random = text.find('\'', uidPrefix.size());
  std::string number = text.substr(uidPrefix.size(), random - uidPrefix.size());
  ASSERT_FALSE(number.empty());
  EXPECT_LE(std::stoi(number), 32767);
  EXPECT_NE(text.find("'20261207084312',    0, 'SYSTEM')"), std::string::npos);
}

// ------------------------------------------------------- text lengths

TEST(MessagePost, TextLengthsOnTheTimePrefixedField) {
  struct Case {
    std::size_t length;
    bool inserted;
    bool loggedWhole;
  };
  const Case cases[] = {{0, true, false},    {100, true, false}, {101, false, false},
                        {220, false, false}, {221, false, true}, {5000, false, true}};
  for (const Case& c : cases) {
    PosterWorld w;
    ASSERT_TRUE(w.Connect(Engine::Sqlite, "lengths"));
    std::string text(c.length, 'a');
    w.poster->PostNachricht(text);
    std::string log = w.MainLog();
    EXPECT_EQ(w.Count(), c.inserted ? 1 : 0) << c.length;
    EXPECT_EQ(log.find("Parameterfehler : Nachricht zu lang\n") != std::string::npos, !c.inserted)
        << c.length;
    EXPECT_EQ(log.find("Msg: " + text + "\n") != std::string::npos, c.loggedWhole) << c.length;
    EXPECT_FALSE(w.env.FileReadable(w.fallback())) << c.length;
    if (c.inserted) {
      EXPECT_EQ(w.Column("MSGTXT"), "07.12.2026 08:43:12 " + text);
    }
  }
}

// ------------------------------------------------ posting, both engines

class MessagePostDb : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    name_ =
        std::string("msgpost_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name_) {
      if (c == '/') c = '_';
    }
    ASSERT_TRUE(w_.Connect(GetParam(), name_)) << w_.db.error;
  }
  PosterWorld w_;
  std::string name_;
};

TEST_P(MessagePostDb, PostsTheRowWithTheRecordsValues) {
  w_.poster->PostNachricht("Der Jobcontroller wurde gestartet!");
  ASSERT_EQ(w_.Count(), 1);
  EXPECT_EQ(w_.Column("MSGTXT"), "07.12.2026 08:43:12 Der Jobcontroller wurde gestartet!");
  EXPECT_EQ(w_.Column("MSGTIN"), "20261207084312");
  EXPECT_EQ(w_.Column("MSGUID").rfind(std::to_string(w_.env.Now()), 0), 0u);
  EXPECT_EQ(w_.Count(" where MSGSTS = 0 and MSGTNR = 0 and MSGVAL = 1 and MSGPRI = 0"), 1);
  EXPECT_EQ(
      w_.Count(" where MSGMOD = 'main' and MSGSRC = 'KVRJOBSTR' and MSGSCH = 'KVSYSTEM' "
               "and MSGCAT = 'WARNHINWEISE' and MSGADR = 'GEN' and MSGBER = 'ORBANEX' and "
               "MSGMND = '99999' and MSGLIZ = '99999' and MSGERF = 'SYSTEM' and MSGTYP = '1'"),
      1);
  EXPECT_EQ(w_.MainLog(), "");
  EXPECT_FALSE(w_.env.FileReadable(w_.fallback()));
}

TEST_P(MessagePostDb, QuotesLineEndsPercentAndUmlautsReachTheTable) {
  const std::string text =
      "Programm o'neil.exe wird wegen Laufzeit\xFC"
      "berschreitung\r\n100% 'ab'!";
  w_.poster->PostNachricht(text);
  ASSERT_EQ(w_.Count(), 1) << w_.MainLog();
  EXPECT_EQ(w_.Column("MSGTXT"),
            "07.12.2026 08:43:12 Programm o'neil.exe wird wegen Laufzeit\xFC"
            "berschreitung  100% 'ab'!");
  EXPECT_FALSE(w_.env.FileReadable(w_.fallback()));
  if (GetParam() != Engine::Sqlite) return;
  // Other programs read the SQLite file as UTF-8 once the row is committed.
  ASSERT_EQ(w_.session->SQLCommit(), 0);
  std::string path = w_.db.service.substr(std::string("sqlite:").size());
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(raw, "select MSGTXT from \"KVSYSTEM.KVR200MSG\"", -1, &stmt, nullptr),
      SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  std::string stored(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  EXPECT_NE(stored.find("Laufzeit\xC3\xBC"
                        "berschreitung"),
            std::string::npos)
      << stored;
  sqlite3_finalize(stmt);
  sqlite3_close(raw);
}

// Two posters seeded in the same second draw the same numbers: the second
// post meets an existing key and must draw again instead of being dropped.
TEST_P(MessagePostDb, KeyCollisionDrawsANewNumber) {
  std::unique_ptr<MessagePoster> twin = w_.MakePoster();
  w_.poster->PostNachricht("erste");
  twin->PostNachricht("zweite");
  EXPECT_EQ(w_.Count(), 2);
  EXPECT_EQ(w_.MainLog(), "");
}

TEST_P(MessagePostDb, KeyTakenOnEveryAttemptIsDroppedSilently) {
  // A third poster of the same seed learns the keys the post will draw and
  // takes all of them first.
  std::unique_ptr<MessagePoster> spy = w_.MakePoster();
  std::unique_ptr<MessagePoster> poster = w_.MakePoster();
  for (int i = 0; i < kNachrichtKeyAttempts; ++i) {
    spy->record()->msgtxt = "vorher";
    ASSERT_EQ(spy->SQLExecDynamic(spy->BuildNachrichtInsert()), 0);
  }
  poster->PostNachricht("verloren");
  EXPECT_EQ(w_.Count(), kNachrichtKeyAttempts);
  EXPECT_EQ(w_.MainLog(), "");
  EXPECT_FALSE(w_.env.FileReadable(w_.fallback()));
}

INSTANTIATE_TEST_SUITE_P(Engines, MessagePostDb,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr
