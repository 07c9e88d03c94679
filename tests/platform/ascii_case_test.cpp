#include "platform/ascii_case.h"

#include <gtest/gtest.h>

namespace kvr {
namespace {

// Only ASCII letters fold; Windows-1252 letters and other bytes stay.
TEST(AsciiCase, FoldsOnlyAsciiLetters) {
  struct Case {
    const char* text;
    const char* upper;
    const char* lower;
  };
  const Case cases[] = {
      {"Kvr500Job", "KVR500JOB", "kvr500job"},
      {"a_b-9 Z", "A_B-9 Z", "a_b-9 z"},
      {"Laufzeit\xFC"
       "berschreitung",
       "LAUFZEIT\xFC"
       "BERSCHREITUNG",
       "laufzeit\xFC"
       "berschreitung"},
      {"\xDC"
       "BER",
       "\xDC"
       "BER",
       "\xDC"
       "ber"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ToUpperAscii(c.text), c.upper);
    EXPECT_EQ(ToLowerAscii(c.text), c.lower);
    EXPECT_TRUE(EqualsNoCase(c.upper, c.lower));
  }
  EXPECT_FALSE(EqualsNoCase("\xFC", "\xDC"));  // no folding beyond ASCII
  EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
  EXPECT_FALSE(EqualsNoCase("abc", "abd"));
}

}  // namespace
}  // namespace kvr
