#include "core/command_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace kvr {
namespace {

struct LineCase {
  const char* name;
  std::vector<std::string> args;  // after the program name
  bool diagnostics;
  int32_t instance;
};

class CommandLineCases : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommandLineCases, Parse) {
  const LineCase& c = GetParam();
  std::vector<const char*> argv{"KVRJOBSTR"};
  for (const std::string& a : c.args) argv.push_back(a.c_str());
  CommandLine line = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(line.diagnostics, c.diagnostics);
  EXPECT_EQ(line.instance, c.instance);
  EXPECT_EQ(line.instanceMode(), c.instance >= 0);
}

const std::string kLongDigits(300, '7');

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineCases,
    ::testing::Values(LineCase{"none", {}, false, -1}, LineCase{"instance3", {"3"}, false, 3},
                      LineCase{"instance0", {"0"}, false, 0},
                      LineCase{"leadingNumberOnly", {"12abc"}, false, 12},
                      LineCase{"notADigit", {"x3"}, false, -1},
                      LineCase{"numberNotFirst", {"/D", "3"}, true, -1},
                      LineCase{"numberThenSwitch", {"3", "-D"}, true, 3},
                      LineCase{"lowerCaseSwitch", {"-d"}, true, -1},
                      LineCase{"switchMustBeWhole", {"/DX"}, false, -1},
                      LineCase{"clampedNotWrapped", {"99999999999"}, false, INT32_MAX},
                      LineCase{"longArgumentCut", {kLongDigits}, false, INT32_MAX},
                      LineCase{"longTextIgnored", {std::string(1000, 'x'), "-D"}, true, -1}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

TEST(CommandLine, ProgramNameIsExaminedForTheSwitchButNeverAsInstance) {
  const char* argv[] = {"/d"};
  CommandLine line = ParseCommandLine(1, argv);
  EXPECT_TRUE(line.diagnostics);
  const char* digits[] = {"5"};
  EXPECT_EQ(ParseCommandLine(1, digits).instance, -1);
}

}  // namespace
}  // namespace kvr
