// The product's standing programs that the start-up walk over the run type
// 04 rows recognises by the program name recorded in a row (JOBNAM), in the
// order in which they are tried: the first entry that matches decides.
// Pure look-up; nothing here touches the system or the database.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kvr {

struct KnownProgram {
  const char* prefix;       // compared with the start of JOBNAM, ignoring case
  std::size_t length;       // characters compared
  const char* programFile;  // image name to end ("%s": program database word); null: none
  bool deletesRow;
};

// The entry that decides for the name, or null when none matches (an empty
// name never matches).
const KnownProgram* FindKnownProgram(std::string_view jobnam);

// The entry's program file name with "%s" filled with the program database
// word; empty when the entry ends no process.
std::string KnownProgramFile(const KnownProgram& entry, std::string_view programDbWord);

}  // namespace kvr
