#include "exec/exclusion_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kvr {
namespace {

TEST(ExclusionList, FormsOfARebuildAndOfStarts) {
  ExclusionList list;
  list.Clear();
  list.FinishRebuild();
  EXPECT_STREQ(list.Text(), "' '");

  list.Clear();
  EXPECT_TRUE(list.AddRunningOrigin("ORIGIN1"));
  EXPECT_TRUE(list.AddRunningOrigin(""));  // no origin, no entry
  EXPECT_TRUE(list.AddRunningOrigin("ORIGIN2"));
  list.FinishRebuild();
  EXPECT_TRUE(list.AddStartedOrigin("ORIGIN3"));
  EXPECT_STREQ(list.Text(), "'ORIGIN1', 'ORIGIN2', 'ORIGIN3'");

  list.SetBlank();
  EXPECT_TRUE(list.AddStartedOrigin("X"));
  EXPECT_STREQ(list.Text(), "' ', 'X'");
}

// A lone one-character origin must stay a list entry of its own: appending
// "' '" directly would make the single literal 'A'' ' and let a second job
// of origin A run.
TEST(ExclusionList, OneCharacterOriginStaysItsOwnEntry) {
  ExclusionList list;
  list.Clear();
  list.AddRunningOrigin("A");
  list.FinishRebuild();
  EXPECT_STREQ(list.Text(), "'A'");
}

TEST(ExclusionList, QuotesInsideAnOriginAreDoubled) {
  ExclusionList list;
  list.Clear();
  list.AddRunningOrigin("O'Neil");
  list.AddStartedOrigin("'");
  EXPECT_STREQ(list.Text(), "'O''Neil', ''''");
}

TEST(ExclusionList, StartAfterClearWithoutRebuildGivesAValidList) {
  ExclusionList list;
  list.Clear();
  EXPECT_STREQ(list.Text(), "' '");
  list.AddStartedOrigin("B");
  EXPECT_STREQ(list.Text(), "'B'");
}

TEST(ExclusionList, OverflowIsReportedOnceAndExcludesEveryOrigin) {
  ExclusionList list;
  list.Clear();
  const std::string origin(250, 'O');  // 252 characters quoted, 254 with ", "
  int added = 0;
  int reports = 0;
  for (int i = 0; i < 40; ++i) {
    if (list.AddRunningOrigin(origin)) {
      if (!list.Overflowed()) ++added;
    } else {
      ++reports;
    }
    EXPECT_LE(std::strlen(list.Text()), ExclusionList::kCapacity);
  }
  EXPECT_EQ(added, 19);  // 252 + 18 * 254 = 4824; one more would pass 5000
  EXPECT_EQ(reports, 1);
  EXPECT_TRUE(list.Overflowed());
  EXPECT_STREQ(list.Text(), "NULL");
  EXPECT_TRUE(list.AddStartedOrigin("SHORT"));  // already reported
  list.FinishRebuild();
  EXPECT_STREQ(list.Text(), "NULL");

  list.Clear();
  EXPECT_FALSE(list.Overflowed());
  list.FinishRebuild();
  EXPECT_STREQ(list.Text(), "' '");
}

TEST(ExclusionList, FillsExactlyToItsCapacity) {
  ExclusionList list;
  list.Clear();
  list.AddRunningOrigin(std::string(ExclusionList::kCapacity - 2, 'x'));
  EXPECT_FALSE(list.Overflowed());
  EXPECT_EQ(std::strlen(list.Text()), ExclusionList::kCapacity);
  EXPECT_FALSE(list.AddStartedOrigin("y"));
  EXPECT_STREQ(list.Text(), "NULL");
  list.SetBlank();
  EXPECT_FALSE(list.Overflowed());
  EXPECT_STREQ(list.Text(), "' '");
}

}  // namespace
}  // namespace kvr
