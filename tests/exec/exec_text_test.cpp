// JOBNUM reading, where a slip would end or keep the wrong process.
#include "exec/exec_text.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kvr {
namespace {

TEST(ExecText, PidFromJobNum) {
  const std::pair<const char*, Pid> cases[] = {{"1234", 1234},
                                               {"1234  \t", 1234},
                                               {"007", 7},
                                               {"", 0},
                                               {"  ", 0},
                                               {"-5", 0},
                                               {"+5", 0},
                                               {"12ab", 0},
                                               {" 12", 0},
                                               {"99999999", 99999999},
                                               {"2147483647", 2147483647},
                                               {"2147483648", 0},
                                               {"99999999999", 0}};
  for (const auto& [text, pid] : cases) EXPECT_EQ(PidFromJobNum(text), pid) << "'" << text << "'";
}

}  // namespace
}  // namespace kvr
