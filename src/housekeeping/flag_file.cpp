#include "housekeeping/flag_file.h"

#include <memory>

#include "core/logger.h"
#include "platform/env.h"

namespace kvr {

namespace {

constexpr char kCreatedFormat[] = "Flag-Datei %s wurde erstellt.\n";
constexpr char kCreateFailedFormat[] = "Flag-Datei %s kann nicht erstellt werden. errno = %d\n";
constexpr char kDeletedFormat[] = "Flag-Datei %s wurde geloescht.\n";
constexpr char kDeleteFailedFormat[] = "Flag-Datei %s konnte nicht geloescht werden. errno = %d\n";

}  // namespace

void CreateFlagFile(Env& env, Logger& log, const std::string& name) {
  int error = 0;
  std::unique_ptr<AppendFile> file = env.OpenAppend(name, &error);
  if (!file) {
    log.MainF(kCreateFailedFormat, name.c_str(), error);
    return;
  }
  file.reset();
  log.MainF(kCreatedFormat, name.c_str());
}

void DeleteFlagFile(Env& env, Logger& log, const std::string& name) {
  int error = env.DeleteFile(name);
  if (error != 0) {
    log.MainF(kDeleteFailedFormat, name.c_str(), error);
    return;
  }
  log.MainF(kDeletedFormat, name.c_str());
}

}  // namespace kvr
