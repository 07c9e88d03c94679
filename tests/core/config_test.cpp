#include "core/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "core/text.h"
#include "platform/fake_env.h"
#include "support/temp_dir.h"

namespace kvr {
namespace {

// A program directory with an optional KVRJOBCTL.INI; the working
// directory the configuration changes is put back after each test.
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedDir_ = env_.CurrentDir();
    env_.programPath = dir_.path() + "/KVRJOBSTR";
  }
  void TearDown() override { env_.SetCurrentDir(savedDir_); }

  Config ReadWith(const std::string& jobatr, bool diagnostics = false) {
    dir_.Write("KVRJOBCTL.INI", "[JOBATR]\n" + jobatr);
    return ReadConfig(env_, diagnostics);
  }

  FakeEnv env_;
  test::TempDir dir_;
  std::string savedDir_;
};

TEST_F(ConfigTest, WithoutFileEverySettingHasItsDefault) {
  Config c = ReadConfig(env_, false);
  EXPECT_EQ(c.maxJobs, 3);
  EXPECT_EQ(c.kvrIni, ".\\VELTRONIA.INI");
  EXPECT_EQ(c.kvrLog, ".\\KVRJOBCTL.LOG");
  EXPECT_EQ(c.dbgFile, ".\\KVRJOBDBG.LOG");
  EXPECT_EQ(c.dbgLog, 0);
  EXPECT_EQ(c.maxLogSize, 5000000);
  EXPECT_EQ(c.emailTime, "070000");
  EXPECT_EQ(c.dailyJobTime, "070000");
  EXPECT_EQ(c.intervalMinutes, 60);
  EXPECT_EQ(c.mainLogBackup, ".\\KVRJOBCTL.BAK");
  EXPECT_EQ(c.debugLogBackup, ".\\KVRJOBDBG.BAK");
  EXPECT_EQ(c.programDir, dir_.path() + "/");
  char real[4096];
  ASSERT_NE(realpath(dir_.path().c_str(), real), nullptr);
  EXPECT_EQ(env_.CurrentDir(), real);  // the program's directory
  EXPECT_TRUE(env_.console.empty());
}

TEST_F(ConfigTest, UnreadableValuesKeepTheirMeaningWithOneWarningEach) {
  struct Case {
    const char* line;
    const char* warning;  // "" for none
  };
  const Case cases[] = {
      {"MAXJOBS=three", "Warnung: KVRJOBCTL.INI MAXJOBS=three ist keine Zahl, gilt als 0\n"},
      {"MAXJOBS= 4", ""},
      {"MAXLOGSIZE=lots", "Warnung: KVRJOBCTL.INI MAXLOGSIZE=lot ist keine Zahl, gilt als 0\n"},
      {"EMAILUHRZT=7:00",
       "Warnung: KVRJOBCTL.INI EMAILUHRZT=7:00 ist keine Uhrzeit hh:mm, gilt als 070000\n"},
      {"DAILYJOBUHRZT=06:30", ""},
      {"INTERVALLJOBZYKLUS=x",
       "Warnung: KVRJOBCTL.INI INTERVALLJOBZYKLUS=x ist keine Zahl, gilt als 120\n"},
  };
  EXPECT_TRUE(ReadConfig(env_, false).warnings.empty());
  for (const Case& c : cases) {
    Config config = ReadWith(std::string(c.line) + "\n");
    std::vector<std::string> expected;
    if (*c.warning) expected.push_back(c.warning);
    EXPECT_EQ(config.warnings, expected) << c.line;
  }
  EXPECT_EQ(ReadWith("MAXJOBS=three\n").maxJobs, 0);
}

TEST_F(ConfigTest, ValuesAreReadWithTheirLengthsAndRules) {
  Config c = ReadWith(
      "MAXJOBS=7\nKVRINI=..\\cred.ini\nKVRLOG=logs\\main.txt\nDBGFILE=dbg\n"
      "DBGLOG=10\nMAXLOGSIZE=1000\nEMAILUHRZT=0730\nDAILYJOBUHRZT=07.30\n"
      "INTERVALLJOBZYKLUS=15\n");
  EXPECT_EQ(c.maxJobs, 7);
  EXPECT_EQ(c.kvrIni, "..\\cred.ini");
  EXPECT_EQ(c.kvrLog, "logs\\main.txt");
  EXPECT_EQ(c.mainLogBackup, "logs\\main.BAK");
  EXPECT_EQ(c.debugLogBackup, "dbg.BAK");  // no extension: ".BAK" added
  EXPECT_EQ(c.dbgLog, 1);                  // one character read
  EXPECT_EQ(c.maxLogSize, 100000000);      // "100" of "1000"
  EXPECT_EQ(c.emailTime, "070000");        // four characters: default
  EXPECT_EQ(c.dailyJobTime, "073000");     // third character not looked at
  EXPECT_EQ(c.intervalMinutes, 15);
}

TEST_F(ConfigTest, GarbageAndEdgeValues) {
  struct Case {
    const char* line;
    int32_t maxJobs;
    int32_t interval;
    int64_t maxLogSize;
  };
  const Case cases[] = {
      {"INTERVALLJOBZYKLUS=0\n", 3, 120, 5000000},
      {"INTERVALLJOBZYKLUS=abc\n", 3, 120, 5000000},
      {"INTERVALLJOBZYKLUS=99999999\n", 3, 99999, 5000000},  // five characters
      {"MAXJOBS=abc\n", 0, 60, 5000000},
      {"MAXJOBS=999999999\n", 999999999, 60, 5000000},
      {"MAXJOBS=4x\n", 4, 60, 5000000},
      {"MAXLOGSIZE=0\n", 3, 60, 0},
      {"MAXLOGSIZE=x\n", 3, 60, 0},
      {"MAXLOGSIZE=999\n", 3, 60, 999000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Config config = ReadWith(c.line);
    EXPECT_EQ(config.maxJobs, c.maxJobs);
    EXPECT_EQ(config.intervalMinutes, c.interval);
    EXPECT_EQ(config.maxLogSize, c.maxLogSize);
  }
}

TEST_F(ConfigTest, CrlfNulAndHugeLinesReadLikeAPlainFile) {
  std::string content = "[JOBATR]\r\nX=" + std::string(100 * 1024, 'y') + "\r\n";
  content += std::string("JUNK\0LINE\r\n", 11);
  content += "no equals here\r\nMAXJOBS=5\r\nDAILYJOBUHRZT=18:45\r\n";
  dir_.Write("KVRJOBCTL.INI", content);
  Config c = ReadConfig(env_, false);
  EXPECT_EQ(c.maxJobs, 5);
  EXPECT_EQ(c.dailyJobTime, "184500");
}

// A FIFO or a device in the INI file's place: read at once as missing,
// with one line saying so.
TEST_F(ConfigTest, SpecialFileInPlaceOfTheIniReadsAsMissingWithALine) {
  const std::string ini = dir_.File("KVRJOBCTL.INI");
  for (bool fifo : {true, false}) {
    std::remove(ini.c_str());
    ASSERT_EQ(fifo ? mkfifo(ini.c_str(), 0600) : symlink("/dev/zero", ini.c_str()), 0);
    Config c = ReadConfig(env_, false);
    EXPECT_EQ(c.maxJobs, 3);
    ASSERT_EQ(c.warnings.size(), 1u);
    EXPECT_NE(c.warnings[0].find("KVRJOBCTL.INI nicht lesbar"), std::string::npos) << c.warnings[0];
  }
}

TEST_F(ConfigTest, DiagnosticsPrintTheFindings) {
  Config c = ReadWith("MAXJOBS=2\n", true);
  std::string expected =
      "drive               :\n"
      "dir                 :" +
      dir_.path() +
      "/\n"
      "fname               :KVRJOBSTR\n"
      "ext                 :\n\n"
      "MaxJobs             :2\n"
      "Veltronia INI       :.\\VELTRONIA.INI\n"
      "Veltronia LOG       :.\\KVRJOBCTL.LOG\n"
      "Veltronia LOG Backup:.\\KVRJOBCTL.BAK\n";
  EXPECT_EQ(env_.console, expected);
  EXPECT_EQ(c.maxJobs, 2);
}

TEST_F(ConfigTest, JobOutputKeys) {
  struct Case {
    const char* jobatr;
    std::string dir;
    int64_t cap;
    int32_t files;
  } cases[] = {
      {"", "", 10 * 1024 * 1024, 500},  // off, with the defaults
      {"JOBOUTDIR=..\\joblogs\nJOBOUTSIZE=65536\nJOBOUTFILES=20\n", "..\\joblogs", 65536, 20},
      {"JOBOUTDIR= \"/var/log/kvr jobs\" \n", "/var/log/kvr jobs", 10 * 1024 * 1024, 500},
      // Sizes and counts that are no number above 0 keep their defaults.
      {"JOBOUTDIR=out\nJOBOUTSIZE=0\nJOBOUTFILES=-4\n", "out", 10 * 1024 * 1024, 500},
      {"JOBOUTDIR=out\nJOBOUTSIZE=abc\nJOBOUTFILES=x\n", "out", 10 * 1024 * 1024, 500},
      {"JOBOUTDIR=out\nJOBOUTSIZE=5000000000\n", "out", 5000000000, 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.jobatr);
    Config config = ReadWith(c.jobatr);
    EXPECT_EQ(config.jobOutput.dir, c.dir);
    EXPECT_EQ(config.jobOutput.enabled(), !c.dir.empty());
    EXPECT_EQ(config.jobOutput.capBytes, c.cap);
    EXPECT_EQ(config.jobOutput.keptFiles, c.files);
  }
  // Diagnostics name the folder only when one is set.
  ReadWith("JOBOUTDIR=out\n", true);
  EXPECT_NE(env_.console.find("Job output          :out\n"), std::string::npos);
}

TEST_F(ConfigTest, UnknownProgramPathReadsTheCurrentDirectory) {
  env_.programPath = "";
  env_.SetCurrentDir(dir_.path());
  dir_.Write("KVRJOBCTL.INI", "[JOBATR]\nMAXJOBS=8\n");
  Config c = ReadConfig(env_, true);
  EXPECT_EQ(c.maxJobs, 8);
  EXPECT_EQ(c.programDir, "");
  EXPECT_NE(env_.console.find("fname               :unknown\n"), std::string::npos);
}

TEST(ConfigHelpers, SplitPathAndNumbers) {
  PathParts p = SplitPath("/opt/kvr.d/KVRJOBSTR.bin");
  EXPECT_EQ(p.dir, "/opt/kvr.d/");
  EXPECT_EQ(p.fname, "KVRJOBSTR");
  EXPECT_EQ(p.ext, ".bin");
  EXPECT_EQ(BackupPath("C:\\x\\a.b.LOG"), "C:\\x\\a.b.BAK");
  EXPECT_EQ(LeadingNumber32(" -12x"), -12);
  EXPECT_EQ(LeadingNumber32("99999999999999999999999"), INT32_MAX);
  EXPECT_EQ(LeadingNumber32("-99999999999999999999999"), INT32_MIN);
  EXPECT_EQ(LeadingNumber64("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(TimeTextToHhmmss("7:00"), "070000");
  EXPECT_EQ(TimeTextToHhmmss("23:59"), "235900");
}

}  // namespace
}  // namespace kvr
