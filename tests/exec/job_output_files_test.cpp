// Names of the job output files and the texts written into them.
#include "exec/job_output_files.h"

#include <gtest/gtest.h>

#include <csignal>

namespace kvr::test {
namespace {

TEST(JobOutputNames, KeyIsMadeSafeAndNameSortsByStart) {
  struct Case {
    const char* key;
    const char* name;
  } cases[] = {
      {"NIGHT", "20261208130700_NIGHT.log"},
      {"NLF+D00", "20261208130700_NLF%2BD00.log"},
      {"a b/c", "20261208130700_a%20b%2Fc.log"},
      {"../../etc/passwd", "20261208130700_..%2F..%2Fetc%2Fpasswd.log"},
      {"KEY   ", "20261208130700_KEY.log"},  // the column's trailing blanks
      {"M\xFC"
       "ller",
       "20261208130700_M%FCller.log"},        // a Windows-1252 byte
      {"100%", "20261208130700_100%25.log"},  // '%' itself is escaped
      {"", "20261208130700_.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    std::string name = JobOutputName("20261208130700", c.key);
    EXPECT_EQ(name, c.name);
    EXPECT_TRUE(IsJobOutputName(name));
  }
  EXPECT_NE(SafeFileKey("a/b"), SafeFileKey("a_b"));
  EXPECT_NE(SafeFileKey("a b"), SafeFileKey("a%20b"));
}

TEST(JobOutputNames, OnlyNamesOfTheFormCount) {
  struct Case {
    const char* name;
    bool counts;
  } cases[] = {
      {"20261208130700_X.log", true},
      {"2026120813070_X.log", false},
      {"20261208130700X.log", false},
      {"20261208130700_X.txt", false},
      {"notes.log", false},
      {"20261208130700_a b.log", false},
      {"2026120813070a_X.log", false},
      {"20261208130700_.log", true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsJobOutputName(c.name), c.counts) << c.name;
}

TEST(JobOutputNames, LatestBelongsToTheKeyOnly) {
  std::vector<std::string> names = {"20260101000000_A.log",   "20260301000000_A.log",
                                    "20260401000000_X_A.log", "20260201000000_A.log",
                                    "20260501000000_B.log",   "A.log"};
  EXPECT_EQ(LatestOutputName(names, "A"), "20260301000000_A.log");
  EXPECT_EQ(LatestOutputName(names, "X_A"), "20260401000000_X_A.log");
  EXPECT_EQ(LatestOutputName(names, "C"), std::nullopt);
}

TEST(JobOutputNames, PruningRemovesTheOldestBeyondTheCount) {
  const std::vector<std::string> names = {"20260103000000_C.log", "20260101000000_A.log",
                                          "keep.txt", "20260102000000_B.log",
                                          "20260104000000_D.log"};
  struct Case {
    std::size_t keep;
    std::vector<std::string> spared, pruned;
  } cases[] = {
      {4, {}, {}},
      {3, {}, {"20260101000000_A.log"}},
      {1, {}, {"20260101000000_A.log", "20260102000000_B.log", "20260103000000_C.log"}},
      {0,
       {},
       {"20260101000000_A.log", "20260102000000_B.log", "20260103000000_C.log",
        "20260104000000_D.log"}},
      // A running job's file stays; the next oldest goes in its place.
      {2, {"20260101000000_A.log"}, {"20260102000000_B.log", "20260103000000_C.log"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keep);
    EXPECT_EQ(OutputNamesToPrune(names, c.keep, c.spared), c.pruned);
  }
}

TEST(JobOutputTexts, ExitStatusAndSignal) {
  struct Case {
    ExitStatus status;
    const char* text;
  } cases[] = {
      {{false, 0}, "exit status 0"},
      {{false, 3}, "exit status 3"},
      {{true, SIGKILL}, "ended by signal 9 (Killed)"},
      {{true, SIGTERM}, "ended by signal 15 (Terminated)"},
  };
  for (const Case& c : cases) EXPECT_EQ(ExitStatusText(c.status), c.text);
  EXPECT_EQ(EndOfOutputLine("2026-12-08 13:07:00", ExitStatus{false, 3}),
            "\n[2026-12-08 13:07:00 job controller: exit status 3]\n");
  EXPECT_EQ(EndOfOutputLine("2026-12-08 13:07:00", std::nullopt),
            "\n[2026-12-08 13:07:00 job controller: ended, exit status not known]\n");
}

TEST(JobOutputTexts, LastLines) {
  struct Case {
    const char* text;
    std::size_t n;
    const char* tail;
  } cases[] = {
      {"a\nb\nc\n", 2, "b\nc\n"}, {"a\nb\nc", 2, "b\nc"}, {"a\nb\n", 5, "a\nb\n"}, {"", 3, ""},
      {"a\n\n\nb\n", 2, "\nb\n"}, {"x\ny\n", 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(LastLines(c.text, c.n), c.tail) << c.text;
}

}  // namespace
}  // namespace kvr::test
