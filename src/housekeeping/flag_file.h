// Flag file: the empty file ("NLF" in the current directory) that tells the
// product's other programs that the controller runs. Both operations report
// their outcome to the main log only and return nothing.
#pragma once

#include <string>

namespace kvr {

class Env;
class Logger;

// The flag file's name, in the controller's program directory.
inline constexpr char kFlagFileName[] = "NLF";

// Opens the file for appending (creating it empty) and closes it again.
void CreateFlagFile(Env& env, Logger& log, const std::string& name);
// Deletes the file.
void DeleteFlagFile(Env& env, Logger& log, const std::string& name);

}  // namespace kvr
