// The start-up walk's table of known programs: which entry decides for a
// recorded program name, and the image name it ends.
#include "jobs/known_programs.h"

#include <gtest/gtest.h>

namespace kvr {
namespace {

TEST(KnownPrograms, FirstMatchingEntryDecides) {
  struct Case {
    const char* jobnam;
    const char* file;  // null: no entry matches
    bool deletes;
  };
  const Case cases[] = {
      {"qev_oracle.exe", "QEV_ORACLE.EXE", true},  // three letters, any case
      {"KVRREC_ORACLE.EXE", "KVRREC_ORACLE.EXE", true},
      {"kvrre", nullptr, false},  // shorter than the prefix
      {"hwn.exe", "HWN.EXE", true},
      {"hwn.ex", nullptr, false},
      {"hwn.exe.bak", "HWN.EXE", true},  // only the first 7 count
      {"fjo.exe", "FJO.EXE", true},
      {"ypk.exe", "YPK.EXE", true},
      {"lmd.exe", "LMD.EXE", true},
      {"rq7zx_oracle.exe", "RQ7ZX_ORACLE.EXE", true},
      {"stellwerk.exe", "Stellwerk.exe", true},
      {"kanalwacht.exe", "Kanalwacht.exe", true},  // the interface monitor
      {"kanalwa", "Kanalwacht.exe", true},
      {"sammelzug.exe", "sammelzug.exe", true},
      {"archivzug.exe", "ArchivZug.exe", true},
      {"planabgleich_oracle.exe", "PLANABGLEICH_ORACLE.EXE", true},
      {"planabgl", nullptr, false},
      {"unknown", "", true},  // row deleted, nothing ended
      {"kundenprog.exe", nullptr, false},
      {"", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.jobnam);
    const KnownProgram* entry = FindKnownProgram(c.jobnam);
    ASSERT_EQ(entry != nullptr, c.file != nullptr);
    if (!entry) continue;
    EXPECT_EQ(KnownProgramFile(*entry, "ORACLE"), c.file);
    EXPECT_EQ(entry->deletesRow, c.deletes);
  }
}

}  // namespace
}  // namespace kvr
