#include "platform/profile.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fake_env.h"
#include "support/temp_dir.h"

namespace kvr {
namespace {

struct ProfileCase {
  const char* name;
  std::string content;
  const char* section;
  const char* key;
  size_t maxChars;
  std::string expected;
};

class ProfileCases : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(ProfileCases, GivesTheValueTheWindowsReaderGives) {
  const ProfileCase& c = GetParam();
  EXPECT_EQ(FindProfileString(c.content, c.section, c.key, "DEF", c.maxChars), c.expected);
}

// A literal with its NUL bytes kept.
template <size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

const std::string kLongLine(100 * 1024, 'x');

INSTANTIATE_TEST_SUITE_P(
    Reader, ProfileCases,
    ::testing::Values(
        ProfileCase{"plain", "[JOBATR]\nMAXJOBS=5\n", "JOBATR", "MAXJOBS", 9, "5"},
        ProfileCase{"caseOfSectionAndKey", "[jobatr]\nmaxJobs=5\n", "JOBATR", "MAXJOBS", 9, "5"},
        ProfileCase{"firstMatchWins", "[A]\nK=1\nK=2\n[A]\nK=3\n", "A", "K", 9, "1"},
        ProfileCase{"otherSectionNotRead", "[B]\nK=1\n[A]\nX=2\n", "A", "K", 9, "DEF"},
        ProfileCase{"keyBeforeAnySection", "K=1\n[A]\n", "A", "K", 9, "DEF"},
        ProfileCase{"sectionMissing", "[B]\nK=1\n", "A", "K", 9, "DEF"},
        ProfileCase{"blanksAndTabsTrimmed", "[A]\n  K \t=\t  v a  \n", "A", "K", 9, "v a"},
        ProfileCase{"doubleQuotesRemoved", "[A]\nK=\" x \"\n", "A", "K", 9, " x "},
        ProfileCase{"singleQuotesRemoved", "[A]\nK='x'\n", "A", "K", 9, "x"},
        ProfileCase{"unmatchedQuotesKept", "[A]\nK=\"x'\n", "A", "K", 9, "\"x'"},
        ProfileCase{"onePairOnly", "[A]\nK=\"\"x\"\"\n", "A", "K", 9, "\"x\""},
        ProfileCase{"cutToMaxChars", "[A]\nK=1000\n", "A", "K", 3, "100"},
        ProfileCase{"defaultCutToo", "[A]\n", "A", "K", 2, "DE"},
        ProfileCase{"emptyValueIsNotDefault", "[A]\nK=\n", "A", "K", 9, ""},
        ProfileCase{"commentLine", "[A]\n;K=1\nK=2\n", "A", "K", 9, "2"},
        ProfileCase{"lineWithoutEquals", "[A]\nK\nK=2\n", "A", "K", 9, "2"},
        ProfileCase{"crlf", "[A]\r\nK=07:30\r\nL=1\r\n", "A", "K", 9, "07:30"},
        ProfileCase{"equalsInValue", "[A]\nK=a=b\n", "A", "K", 9, "a=b"},
        ProfileCase{"noFinalLineEnd", "[A]\nK=9", "A", "K", 9, "9"},
        ProfileCase{"nulEndsTheValue",
                    Bytes("[A]\nK=1\0"
                          "2\nL=3\n"),
                    "A", "K", 9, "1"},
        ProfileCase{"nulLineDoesNotHideNext", Bytes("[A]\n\0\nK=4\n"), "A", "K", 9, "4"},
        ProfileCase{"hugeLineSkipped", "[A]\nX=" + kLongLine + "\nK=5\n", "A", "K", 9, "5"},
        ProfileCase{"hugeValueCut", "[A]\nK=" + kLongLine + "\n", "A", "K", 4, "xxxx"}),
    [](const ::testing::TestParamInfo<ProfileCase>& info) { return info.param.name; });

TEST(ProfileFile, ReadsThroughTheEnvAndFallsBackWhenMissing) {
  test::TempDir dir;
  dir.Write("p.ini", "[S]\nK=value\n");
  FakeEnv env;
  EXPECT_EQ(ReadProfileString(env, "S", "K", "d", 259, dir.File("p.ini")), "value");
  EXPECT_EQ(ReadProfileString(env, "S", "K", "d", 259, dir.File("none.ini")), "d");
  // A Windows path reaches the same file.
  std::string windowsPath = dir.path() + "\\p.ini";
  EXPECT_EQ(ReadProfileString(env, "S", "K", "d", 259, windowsPath), "value");
}

}  // namespace
}  // namespace kvr
