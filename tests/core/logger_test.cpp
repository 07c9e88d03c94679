#include "core/logger.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fake_env.h"
#include "support/temp_dir.h"

namespace kvr {
namespace {

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.kvrLog = dir_.path() + "\\main.LOG";
    config_.mainLogBackup = BackupPath(config_.kvrLog);
    config_.dbgFile = dir_.path() + "\\dbg.LOG";
    config_.debugLogBackup = BackupPath(config_.dbgFile);
    env_.SetLocalTime(2026, 12, 7, 8, 38, 53);
  }

  FakeEnv env_;
  test::TempDir dir_;
  Config config_;
};

TEST_F(LoggerTest, LineIsLocalTimeTwoBlanksAndTheTextAsGiven) {
  Logger log(env_, config_);
  log.Main("first\n");
  log.Main("run on ");
  log.Main("100% %s %d\n");
  log.MainF("rc %ld %s\n", 42L, "x%sy");
  EXPECT_EQ(dir_.Read("main.LOG"),
            "2026-12-07 08:38:53  first\n"
            "2026-12-07 08:38:53  run on 2026-12-07 08:38:53  100% %s %d\n"
            "2026-12-07 08:38:53  rc 42 x%sy\n");
}

TEST_F(LoggerTest, LongFormattedTextsAreWrittenWhole) {
  Logger log(env_, config_);
  std::string statement(8000, 'S');
  log.MainF("SQL: %s\n", statement.c_str());
  EXPECT_EQ(dir_.Read("main.LOG"), "2026-12-07 08:38:53  SQL: " + statement + "\n");
}

TEST_F(LoggerTest, LogMovesToBackupOnlyWhenStrictlyOverTheLimit) {
  config_.maxLogSize = 1000000;  // MAXLOGSIZE 1
  Logger log(env_, config_);
  dir_.Write("main.LOG", std::string(1000000, 'a'));
  dir_.Write("main.BAK", "old backup");
  log.Main("kept\n");
  EXPECT_EQ(dir_.Read("main.LOG").size(), 1000000u + 26u);
  EXPECT_EQ(dir_.Read("main.BAK"), "old backup");

  dir_.Write("main.LOG", std::string(1000001, 'b'));
  log.Main("moved\n");
  EXPECT_EQ(dir_.Read("main.LOG"), "2026-12-07 08:38:53  moved\n");
  EXPECT_EQ(dir_.Read("main.BAK"), std::string(1000001, 'b'));
}

TEST_F(LoggerTest, ZeroLimitMovesEveryNonEmptyLog) {
  config_.maxLogSize = 0;
  Logger log(env_, config_);
  log.Main("one\n");
  log.Main("two\n");
  EXPECT_EQ(dir_.Read("main.LOG"), "2026-12-07 08:38:53  two\n");
  EXPECT_EQ(dir_.Read("main.BAK"), "2026-12-07 08:38:53  one\n");
}

TEST_F(LoggerTest, DebugLogOnlyWhenSwitchedOn) {
  {
    Logger log(env_, config_);
    log.Debug("quiet\n");
    log.DebugF("quiet %d\n", 1);
    EXPECT_FALSE(env_.FileReadable(config_.dbgFile));
  }
  config_.dbgLog = 1;
  Logger log(env_, config_);
  log.DebugF("Service antwortet nicht %d!", 111);
  EXPECT_EQ(dir_.Read("dbg.LOG"), "2026-12-07 08:38:53  Service antwortet nicht 111!");
  EXPECT_FALSE(env_.FileReadable(config_.kvrLog));
}

TEST_F(LoggerTest, LogThatCannotBeOpenedLosesTheLineSilently) {
  config_.kvrLog = dir_.path() + "\\missing\\main.LOG";
  config_.mainLogBackup = BackupPath(config_.kvrLog);
  Logger log(env_, config_);
  log.Main("lost\n");
  log.MainF("lost %d\n", 2);
  EXPECT_FALSE(env_.FileReadable(config_.kvrLog));
  EXPECT_EQ(env_.console, "");  // silently: no word of it on the console either
  EXPECT_FALSE(env_.FileReadable(config_.mainLogBackup));
}

TEST(WithText, PutsTheTextWhereTheFormatSaysAndStopsAtAZeroByte) {
  struct Case {
    const char* format;
    std::string text;
    std::string line;
  };
  const std::string big(5000, 'x');
  const Case cases[] = {
      {"SQL: %s!\n", "insert", "SQL: insert!\n"},
      {"SQL: %s!\n", big, "SQL: " + big + "!\n"},  // no length limit
      {"%s", std::string("cut\0here", 8), "cut"},
      {"%d %s", "50%s", "%d 50%s"},  // only the first %s, the text as it is
      {"no conversion\n", "lost", "no conversion\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(WithText(c.format, c.text), c.line) << c.format;
}

// A text from a row or a file never begins a log line of its own; the
// system's own line ends and "-   " continuation lines stay.
TEST(LogLineText, EscapesControlCharactersOfTexts) {
  struct Case {
    std::string text, written;
  } cases[] = {
      {"Job gestartet: a\nb\n", "Job gestartet: a\\nb\n"},
      {"x\x1B[31m\r\x7F\n", "x\\x1B[31m\\r\\x7F\n"},
      {"tab\tstays\n\n", "tab\tstays\n\n"},
      {"SQLCode: -1\n-   SQLState: \n-   SQLMsg: m\n",
       "SQLCode: -1\n-   SQLState: \n-   SQLMsg: m\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(LogLineText(c.text), c.written) << c.text;
  EXPECT_EQ(OneLine("a\n-   b\t"), "a\\n-   b\\t");
  EXPECT_EQ(WithText("cmd: %s\n", "x\ny"), "cmd: x\\ny\n");
}

TEST(StringPrintf, FormatsAnyLength) {
  EXPECT_EQ(StringPrintf("%s-%d", "a", 5), "a-5");
  std::string big(10000, 'z');
  EXPECT_EQ(StringPrintf("%s!", big.c_str()), big + "!");
}

}  // namespace
}  // namespace kvr
