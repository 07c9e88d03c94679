// Translation of the system's statement texts for both backends.
#include "db/client/translate.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

#include "controller/statement_registry.h"
#include "db/client/win1252.h"

namespace kvr {
namespace {

// True when `word` appears in the text outside of string literals, in any
// case, as a whole word.
bool HasWordOutsideLiterals(const std::string& text, std::string word) {
  std::string upper;
  bool inLiteral = false;
  for (char c : text) {
    if (c == '\'') inLiteral = !inLiteral;
    upper += inLiteral ? ' ' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (size_t p = upper.find(word); p != std::string::npos; p = upper.find(word, p + 1)) {
    bool before =
        p == 0 || !(std::isalnum(static_cast<unsigned char>(upper[p - 1])) || upper[p - 1] == '_');
    size_t e = p + word.size();
    bool after = e >= upper.size() ||
                 !(std::isalnum(static_cast<unsigned char>(upper[e])) || upper[e] == '_');
    if (before && after) return true;
  }
  return false;
}

// True when the text holds the literal '' (not a doubled quote inside one),
// other than in the empty-text half of a translated NULL test.
bool HasEmptyLiteral(std::string text) {
  for (const char* test : {" = '')", " <> '')"}) {
    for (size_t p = text.find(test); p != std::string::npos; p = text.find(test)) {
      text.erase(p, std::string_view(test).size() - 1);
    }
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\'') continue;
    if (i + 1 < text.size() && text[i + 1] == '\'') return true;
    for (++i; i < text.size(); ++i) {  // skip the literal and its doubled quotes
      if (text[i] == '\'' && !(i + 1 < text.size() && text[i + 1] == '\'')) break;
      if (text[i] == '\'') ++i;
    }
  }
  return false;
}

// Host variables each statement of the system binds and writes: the inputs
// and the outputs of its into list. Every registered statement must be here
// and nothing else, so a new statement cannot go unchecked.
const std::map<std::string, std::pair<int, int>>& ExpectedHostVariables() {
  static const std::map<std::string, std::pair<int, int>> kExpected = {
      {"SetSchema", {0, 0}},
      {"SetAsideUnreadableRow", {2, 0}},
      {"WriteRunEnd", {13, 0}},
      {"SetAsideUnreadableStandingRow", {2, 0}},
      {"UpdateJobRun", {9, 0}},
      {"UpdateJobStatus", {3, 0}},
      {"InsertJob", {6, 0}},
      {"DeleteJob", {2, 0}},
      {"DeleteExpiredRT01Jobs", {0, 0}},
      {"ResetRT04StartAttempts", {0, 0}},
      {"UpdateJobNextRun", {4, 0}},
      {"UpdateJobStatusDls", {4, 0}},
      {"RescheduleJob", {4, 0}},
      {"InsertTimedJob", {7, 0}},
      {"InsertTimedJobDls", {8, 0}},
      {"InsertFullJob", {22, 0}},
      {"StartMAPJob", {2, 0}},
      {"StartMAPDeleteJob", {2, 0}},
      {"ReadAllRows", {0, 0}},
      {"ReadRunTypeRows", {1, 0}},
      {"ReadNamedRows", {1, 0}},
      {"RunningJobsCursor", {1, 0}},
      {"ReadJobRun", {2, 3}},
      {"Select05", {0, 0}},
      {"Select04", {0, 0}},
      {"Select01", {0, 0}},
      {"Select09", {0, 0}},
      {"ReadKvr500Job", {0, 0}},
      {"MessageInsert", {0, 0}},
      {"RunTypeCursor", {1, 0}},
      {"ClientCursor", {0, 0}},
      {"ClientCheck", {0, 0}},
      {"PlanningGroupCount", {0, 1}},
      {"PersonCursor", {0, 0}},
      {"TimedJobCursor", {1, 0}},
      {"TimePlanWindow139", {3, 3}},
      {"EndedJobCursor", {1, 0}},
      {"RequestedJobCursor", {1, 0}},
      {"TimePlanWindow141", {3, 3}},
      {"ReadKvr800Scd", {4, 7}},
      {"ReadKvr112Mnd", {1, 24}},
      {"FirstClientTimes", {0, 0}},
      {"Select09PassingOver", {0, 0}},
      {"CountUnfinishedDnlJobs", {0, 1}},
      {"ReadRuns", {1, 0}},
      {"InsertRun", {8, 0}},
      {"DeleteExpiredRuns", {1, 0}},
      {"SelectCancelRequest", {4, 1}},
      {"CloseCancelledRun", {8, 0}},
      {"RestoreJobMrt", {3, 0}},
      {"InsertCancelRequest", {5, 0}},
      {"SetJobMrtForCancel", {2, 0}},
  };
  return kExpected;
}

TEST(StatementRegistry, NamesEachStatementOnceAndEveryOneHasItsExpectation) {
  std::map<std::string, int> seen;
  for (const NamedStatement& s : StatementRegistry()) {
    EXPECT_FALSE(s.text.empty()) << s.name;  // a sample that did not fit would be empty
    EXPECT_EQ(++seen[s.name], 1) << s.name;
    EXPECT_TRUE(ExpectedHostVariables().count(s.name)) << s.name << " has no expectation";
  }
  for (const auto& [name, counts] : ExpectedHostVariables()) {
    EXPECT_TRUE(seen.count(name)) << name << " is no longer registered";
  }
}

class SystemStatementTest : public ::testing::TestWithParam<NamedStatement> {};

// Every statement of the system: no Oracle-only construct survives, the
// host variables are counted right, and SQLite sees only quoted table names.
TEST_P(SystemStatementTest, TranslatesForBothBackends) {
  const NamedStatement& s = GetParam();
  auto expected = ExpectedHostVariables().find(s.name);
  ASSERT_NE(expected, ExpectedHostVariables().end());
  const bool rownum = HasWordOutsideLiterals(s.text, "rownum");
  for (Dialect d : {Dialect::Postgres, Dialect::Sqlite}) {
    SCOPED_TRACE(d == Dialect::Postgres ? "postgres" : "sqlite");
    Translation t = TranslateStatement(s.text, d, "KVSYSTEM");
    EXPECT_EQ(t.inputCount, expected->second.first);
    EXPECT_EQ(t.outputCount, expected->second.second);
    EXPECT_EQ(t.text.find(":b"), std::string::npos) << t.text;
    for (const char* w : {"sysdate", "rownum", "into :b0"}) {
      EXPECT_FALSE(HasWordOutsideLiterals(t.text, w)) << w << " in " << t.text;
    }
    EXPECT_FALSE(HasEmptyLiteral(t.text)) << t.text;
    if (rownum) {
      // The job queue's due rows that others hold locked are passed over.
      EXPECT_TRUE(
          t.text.ends_with(d == Dialect::Postgres ? " LIMIT 1 FOR UPDATE SKIP LOCKED" : " LIMIT 1"))
          << t.text;
      EXPECT_LT(t.text.find("ORDER BY"), t.text.find("LIMIT 1"));
    }
    if (d == Dialect::Sqlite) {
      EXPECT_FALSE(HasWordOutsideLiterals(t.text, "to_char")) << t.text;
      // Each table reference is a quoted upper-case "KVSYSTEM.NAME".
      std::string u = t.text;
      for (size_t p = 0; (p = u.find("KVSYSTEM.", p)) != std::string::npos; ++p) {
        ASSERT_GT(p, 0u);
        EXPECT_EQ(u[p - 1], '"') << t.text;
      }
      EXPECT_EQ(t.text.find("kvsystem."), std::string::npos) << t.text;
      EXPECT_EQ(t.text.find("KvSystem."), std::string::npos) << t.text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, SystemStatementTest, ::testing::ValuesIn(StatementRegistry()),
                         [](const auto& info) { return info.param.name; });

TEST(Translate, SelectionTakesFirstRowInKeyOrder) {
  const std::string sql =
      " SELECT       JOBDA1,JOBKE2 "
      " FROM KVSYSTEM.KVR500JOB "
      " WHERE JOBRTY = '04' "
      " AND   JOBSTV <= 10 "
      " AND   ROWNUM = 1 "
      " AND ((JOBURV is not null AND JOBURV NOT IN ( 'A', 'O''B' )) or (JOBURV is null)) "
      " ORDER BY JOBDA1, JOBKE2";
  EXPECT_EQ(TranslateStatement(sql, Dialect::Postgres, "").text,
            " SELECT       JOBDA1,JOBKE2  FROM KVSYSTEM.KVR500JOB  WHERE JOBRTY = '04'  AND   "
            "JOBSTV <= 10    AND (((JOBURV is not null and JOBURV::text <> '') AND JOBURV NOT IN "
            "( 'A', 'O''B' )) or ((JOBURV is null or JOBURV::text = '')))  ORDER BY JOBDA1, JOBKE2 "
            "LIMIT 1 FOR UPDATE SKIP LOCKED");
  EXPECT_EQ(TranslateStatement(sql, Dialect::Sqlite, "MANDANT1").text,
            " SELECT       JOBDA1,JOBKE2  FROM \"KVSYSTEM.KVR500JOB\"  WHERE JOBRTY = '04'  AND   "
            "JOBSTV <= 10    AND (((JOBURV is not null and JOBURV <> '') AND JOBURV NOT IN ( "
            "'A', 'O''B' )) or ((JOBURV is null or JOBURV = '')))  ORDER BY JOBDA1 NULLS LAST, "
            "JOBKE2 NULLS LAST LIMIT 1");
}

TEST(Translate, RownumInAnyPlaceOfTheWhereClause) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"select A from T where ROWNUM = 1 and B = 2", "select A from T where  B = 2 LIMIT 1"},
      {"select A from T where B = 2 and rownum=1 order by A",
       "select A from T where B = 2  order by A LIMIT 1"},
      {"select A from T where ROWNUM = 1 order by A", "select A from T  order by A LIMIT 1"},
      {"select A from T where ROWNUM = 1", "select A from T LIMIT 1"},
      {"select ROWNUM_X from T where B = 'ROWNUM = 1'",
       "select ROWNUM_X from T where B = 'ROWNUM = 1'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TranslateStatement(c.in, Dialect::Postgres, "").text, c.out) << c.in;
  }
}

TEST(Translate, LiteralsAndHostVariables) {
  Translation t = TranslateStatement(
      "update T set A='',B='  ',C='it''s :b9 sysdate',D='''' where E=:b1 and F=:b0:i0 and G=:b1",
      Dialect::Postgres, "");
  EXPECT_EQ(t.text,
            "update T set A=NULL,B='  ',C='it''s :b9 sysdate',D='''' where E=$1 and F=$2 and G=$1");
  EXPECT_EQ(t.inputCount, 2);
  EXPECT_EQ(t.placeholders, (std::vector<int>{0, 1, 0}));
  EXPECT_EQ(t.kind, StatementKind::Update);
  EXPECT_EQ(TranslateStatement("select 1 from T where A=:b0 and B=:b0", Dialect::Sqlite, "S").text,
            "select 1 from \"S.T\" where A=?1 and B=?1");
}

TEST(Translate, IntoListGivesOutputs) {
  Translation t = TranslateStatement(
      "select A ,B , coalesce (C,0)  into :b0:b1 ,:b2, :b3:b4  from T where K=:b5",
      Dialect::Postgres, "");
  EXPECT_EQ(t.outputCount, 3);
  EXPECT_EQ(t.inputCount, 1);
  EXPECT_EQ(t.text, "select A ,B , coalesce (C,0)    from T where K=$1");
}

TEST(Translate, DatesOnEachBackend) {
  struct Case {
    const char* in;
    const char* pg;
    const char* sqlite;
  } cases[] = {
      {"to_char(sysdate, 'yyyymmddhh24miss')", "to_char(LOCALTIMESTAMP(0), 'YYYYMMDDHH24MISS')",
       "strftime('%Y%m%d%H%M%S', 'now','localtime')"},
      {"to_char((sysdate-30),'yyyymmdd')",
       "to_char((LOCALTIMESTAMP(0) - interval '30 days'), 'YYYYMMDD')",
       "strftime('%Y%m%d', 'now','localtime','-30 days')"},
      {"to_char(SCDDTM,'HH24MISS')", "to_char(SCDDTM, 'HH24MISS')", "strftime('%H%M%S', SCDDTM)"},
      {"sysdate + 1", "(LOCALTIMESTAMP(0) + interval '1 days')",
       "strftime('%Y-%m-%d %H:%M:%S','now','localtime','+1 days')"},
      {"nvl(A,0)", "coalesce(A,0)", "coalesce(A,0)"},
  };
  for (const Case& c : cases) {
    std::string sql = std::string("select ") + c.in + " from dual";
    EXPECT_EQ(TranslateStatement(sql, Dialect::Postgres, "").text,
              std::string("select ") + c.pg + " ");
    EXPECT_EQ(TranslateStatement(sql, Dialect::Sqlite, "").text,
              std::string("select ") + c.sqlite + " ");
  }
}

TEST(Translate, SqliteTableNames) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"select A from KvSystem.Kvr500Job where X=1",
       "select A from \"KVSYSTEM.KVR500JOB\" where X=1"},
      {"insert into Kvr300Pnr (A) values (1)", "insert into \"MANDANT1.KVR300PNR\" (A) values (1)"},
      {"update KVR701PlG  set A=1", "update \"MANDANT1.KVR701PLG\"  set A=1"},
      {"select a.X from Kvr303Sbe a, kvsystem.kvr112mnd b where a.K=b.K",
       "select a.X from \"MANDANT1.KVR303SBE\" a, \"KVSYSTEM.KVR112MND\" b where a.K=b.K"},
      {"select X from (select Y from T) where Z in (select Z from U)",
       "select X from (select Y from \"MANDANT1.T\") where Z in (select Z from \"MANDANT1.U\")"},
      {"create table IF NOT EXISTS S2.T2 (A int)", "create table IF NOT EXISTS \"S2.T2\" (A int)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TranslateStatement(c.in, Dialect::Sqlite, "Mandant1").text, c.out) << c.in;
    EXPECT_EQ(TranslateStatement(c.in, Dialect::Postgres, "Mandant1").text, c.in) << c.in;
  }
}

TEST(Translate, AlterSession) {
  Translation t =
      TranslateStatement("ALTER SESSION SET CURRENT_SCHEMA=MANDANT1", Dialect::Sqlite, "");
  EXPECT_TRUE(t.isAlterSession());
  EXPECT_EQ(t.schema, "MANDANT1");
  t = TranslateStatement("alter session  set current_schema = kvsystem ", Dialect::Postgres, "");
  EXPECT_TRUE(t.isAlterSession());
  EXPECT_EQ(t.schema, "kvsystem");
  t = TranslateStatement("ALTER SESSION SET CURRENT_SCHEMA=", Dialect::Postgres, "");
  EXPECT_TRUE(t.isAlterSession());
  EXPECT_EQ(t.schema, "");
}

// Statement texts and values reach SQLite as UTF-8 and come back unchanged.
TEST(CharacterSet, Windows1252RoundTrip) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string utf8 = Win1252ToUtf8(all);
  EXPECT_EQ(Utf8ToWin1252(utf8), all);  // the undefined bytes survive too
  EXPECT_EQ(Win1252ToUtf8("\xFC\x80\x9F"), "\xC3\xBC\xE2\x82\xAC\xC5\xB8");
  EXPECT_EQ(Utf8ToWin1252("\xE2\x82\xAC \xE4\xB8\xAD"), "\x80 ?");  // not in the set: '?'
  EXPECT_EQ(Utf8ToWin1252("bad \xFC\xC3"), "bad \xFC\xC3");         // no UTF-8: bytes as they are
  EXPECT_EQ(Utf8ToWin1252("\xED\xA0\x80"), "?");                    // a surrogate is no character
}

}  // namespace
}  // namespace kvr

namespace kvr {
namespace {

// The client statements: unqualified names resolve in the client schema set
// last, a qualified one names its own.
TEST(Translate, ClientStatementsInTheClientSchema) {
  const std::pair<const char*, const char*> cases[] = {
      {"select SbeDtq ,SbePnr  from Kvr303Sbe where SbeQev=1", "\"MANDANT2.KVR303SBE\""},
      {"select count(*)  into :b0:b1  from KVR701PlG", "\"MANDANT2.KVR701PLG\""},
      {"Select Count(*) from MANDANT1.Kvr300Pnr", "\"MANDANT1.KVR300PNR\""},
      {"select MndSch ,MndLiz ,MndNum  from KvSystem.Kvr112Mnd where (MndKon<>1 and "
       "MndNa1<>'Firma 1')",
       "\"KVSYSTEM.KVR112MND\""},
  };
  for (auto [sql, table] : cases) {
    EXPECT_NE(TranslateStatement(sql, Dialect::Sqlite, "MANDANT2").text.find(table),
              std::string::npos)
        << sql;
    Translation pg = TranslateStatement(sql, Dialect::Postgres, "mandant2");
    EXPECT_EQ(pg.text.find('"'), std::string::npos) << pg.text;
  }
}

}  // namespace
}  // namespace kvr
