// Every statement the controller sends runs on both engines against the real
// tables: DML and cursors with as many inputs as the statement binds, the
// single-row selects into as many fields as their into list names.
#include "controller/statement_registry.h"

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "db/client/translate.h"
#include "support/test_database.h"

namespace kvr {
namespace {

class RegisteredStatementsTest : public SessionFixture {};

bool FirstWordIsSelect(const std::string& text) {
  size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return false;
  std::string word = text.substr(start, 6);
  for (char& ch : word) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return word == "select";
}

// No row matches the sample inputs, so a DML statement may touch none.
bool Accepted(int rc) { return rc == 0 || rc == kSqlNoData; }

TEST_P(RegisteredStatementsTest, EveryStatementRunsOnTheEngine) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  Connection& c = session_->db();
  const Dialect dialect = GetParam() == Engine::Sqlite ? Dialect::Sqlite : Dialect::Postgres;
  const StatementList all = StatementRegistry();
  for (size_t i = 0; i < all.size(); ++i) {
    const NamedStatement& s = all[i];
    SCOPED_TRACE(s.name);
    // Unqualified tables are the client schema's, as when the registration
    // runs in a client's schema.
    ASSERT_EQ(c.Execute("ALTER SESSION SET CURRENT_SCHEMA=MANDANT1"), 0) << c.LastMessage();
    Translation t = TranslateStatement(s.text, dialect, "MANDANT1");
    // The first input (a key where there is one) differs between statements,
    // so the inserts do not collide.
    const std::string first = std::to_string(i + 1);
    std::vector<Bind> in(static_cast<size_t>(t.inputCount), Bind::Text("0"));
    if (!in.empty()) in[0] = Bind::Text(first);
    std::vector<FixedText<64>> fields(static_cast<size_t>(t.outputCount));
    std::vector<Out> out;
    for (FixedText<64>& f : fields) out.push_back(Out::Text(f));
    const bool query = FirstWordIsSelect(s.text);
    int rc = 0;
    if (t.outputCount > 0) {
      rc = c.SelectOne(s.text, in, out);
    } else if (query) {
      std::unique_ptr<Cursor> cursor = c.Open(s.text, in, &rc);
      ASSERT_TRUE(cursor) << rc << ": " << c.LastMessage();
      FixedText<64> first;
      const Out one[] = {Out::Text(first)};
      rc = cursor->Fetch(one);
      cursor->Close();
    } else {
      rc = c.Execute(s.text, in);
    }
    EXPECT_TRUE(Accepted(rc)) << rc << ": " << c.LastMessage() << "\n" << s.text;
    c.Commit();
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, RegisteredStatementsTest,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr
