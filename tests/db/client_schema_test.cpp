// Which schema names may go into a statement text, and the client tables
// made from the sample client's definitions.
#include <gtest/gtest.h>

#include "db/queue/schema_setup.h"

namespace kvr {
namespace {

TEST(ClientSchema, PlainNamesOnly) {
  for (const char* name : {"MANDANT1", "m", "A_B$C#1", "M23456789012345678901234567890"}) {
    EXPECT_TRUE(IsPlainSchemaName(name)) << name;
  }
  for (const char* name : {"", " ", "1ABC", "_A", "A B", "A;DROP", "A.B", "A'", "A\"",
                           "M234567890123456789012345678901", "M\xFC"}) {
    EXPECT_FALSE(IsPlainSchemaName(name)) << name;
  }
}

TEST(ClientSchema, RenamesWholeWordsOnly) {
  EXPECT_EQ(RenameClientSchema("CREATE SCHEMA mandant1; \"MANDANT1.KVR300PNR\" MANDANT10 "
                               "XMANDANT1 Mandant1_X mandant1.kvr303sbe",
                               "KUNDE"),
            "CREATE SCHEMA KUNDE; \"KUNDE.KVR300PNR\" MANDANT10 XMANDANT1 Mandant1_X "
            "KUNDE.kvr303sbe");
}

}  // namespace
}  // namespace kvr
