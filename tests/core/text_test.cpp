// The shared text facts: leading numbers as atoi reads them (every C blank
// before the sign, the range kept), a bounded format cut at its size, and
// trimming of trailing blanks and tabs only.
#include "core/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>

namespace kvr {
namespace {

TEST(Text, LeadingNumbers) {
  const std::pair<const char*, int32_t> cases[] = {{"", 0},
                                                   {"x1", 0},
                                                   {"+7", 7},
                                                   {"\t\n\v\f\r 12ab", 12},
                                                   {"- 3", 0},
                                                   {"-0042", -42},
                                                   {"2147483648", INT32_MAX},
                                                   {"-2147483648", INT32_MIN},
                                                   {"-99999999999999999999", INT32_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(LeadingNumber32(text), value) << text;
  EXPECT_EQ(LeadingNumber64("9223372036854775808"), INT64_MAX);
}

TEST(Text, BoundedFormatIsCutAtItsSize) {
  const std::string longText(kBoundedTextSize + 10, 'x');
  EXPECT_EQ(BoundedPrintf("%s", longText.c_str()).size(), kBoundedTextSize - 1);
  EXPECT_EQ(StringPrintf("%s", longText.c_str()).size(), longText.size());
  EXPECT_EQ(BoundedPrintf("a %d", 5), "a 5");
}

TEST(Text, TrimmedRightTakesBlanksAndTabsOnly) {
  EXPECT_EQ(TrimmedRight("ab \t "), "ab");
  EXPECT_EQ(TrimmedRight(" ab\n"), " ab\n");
  EXPECT_EQ(TrimmedRight("   "), "");
}

}  // namespace
}  // namespace kvr
