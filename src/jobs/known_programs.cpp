#include "jobs/known_programs.h"

#include <cctype>

#include "platform/ascii_case.h"

namespace kvr {

namespace {

// Where a program is given as "first 7 of NAME", the prefix is the whole
// name and only its first seven characters are compared.
constexpr KnownProgram kKnownPrograms[] = {
    {"QEV", 3, "QEV_%s.EXE", true},
    {"KVRREC", 6, "KVRREC_%s.EXE", true},
    {"HWN.EXE", 7, "HWN.EXE", true},
    {"FJO.EXE", 7, "FJO.EXE", true},
    {"YPK.EXE", 7, "YPK.EXE", true},
    {"LMD.EXE", 7, "LMD.EXE", true},
    {"RQ7ZX", 5, "RQ7ZX_%s.EXE", true},
    {"Stellwerk.exe", 7, "Stellwerk.exe", true},
    {"Kanalwacht.exe", 7, "Kanalwacht.exe", true},
    {"sammelzug.exe", 7, "sammelzug.exe", true},
    {"ArchivZug.exe", 7, "ArchivZug.exe", true},
    {"PLANABGLEICH", 12, "PLANABGLEICH_%s.EXE", true},
    {"unknown", 7, nullptr, true},
};

// Like strncasecmp(name, prefix, n) == 0: a name shorter than n characters
// matches only when the prefix ends at the same place.
bool StartsWithNoCase(std::string_view name, const char* prefix, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    char p = prefix[i];
    char c = i < name.size() ? name[i] : '\0';
    if (AsciiLower(c) != AsciiLower(p)) {
      return false;
    }
    if (p == '\0') return true;
  }
  return true;
}

}  // namespace

const KnownProgram* FindKnownProgram(std::string_view jobnam) {
  if (jobnam.empty()) return nullptr;
  for (const KnownProgram& entry : kKnownPrograms) {
    if (StartsWithNoCase(jobnam, entry.prefix, entry.length)) return &entry;
  }
  return nullptr;
}

std::string KnownProgramFile(const KnownProgram& entry, std::string_view programDbWord) {
  if (entry.programFile == nullptr) return {};
  std::string file = entry.programFile;
  if (std::size_t at = file.find("%s"); at != std::string::npos) {
    file.replace(at, 2, programDbWord);
  }
  return file;
}

}  // namespace kvr
