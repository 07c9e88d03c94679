#include "core/config.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/logger.h"
#include "core/text.h"
#include "platform/profile.h"

namespace kvr {

namespace {

constexpr char kSection[] = "JOBATR";
constexpr char kConfigFileFormat[] = "%sKVRJOBCTL.INI";
constexpr char kDefaultTime[] = "070000";
constexpr int32_t kIntervalWhenZero = 120;
constexpr int64_t kBytesPerLogSizeUnit = 1000000;
constexpr size_t kPathChars = 259;

// A key of section JOBATR: its default and the characters read at most.
struct KeySpec {
  const char* key;
  const char* defaultValue;
  size_t maxChars;
};

constexpr KeySpec kMaxJobs{"MAXJOBS", "3", 9};
constexpr KeySpec kKvrIni{"KVRINI", ".\\VELTRONIA.INI", kPathChars};
constexpr KeySpec kKvrLog{"KVRLOG", ".\\KVRJOBCTL.LOG", kPathChars};
constexpr KeySpec kDbgFile{"DBGFILE", ".\\KVRJOBDBG.LOG", kPathChars};
constexpr KeySpec kDbgLog{"DBGLOG", "0", 1};
constexpr KeySpec kMaxLogSize{"MAXLOGSIZE", "5", 3};
constexpr KeySpec kEmailTime{"EMAILUHRZT", "07:00", 5};
constexpr KeySpec kDailyJobTime{"DAILYJOBUHRZT", "07:00", 5};
constexpr KeySpec kInterval{"INTERVALLJOBZYKLUS", "60", 5};
constexpr KeySpec kJobOutDir{"JOBOUTDIR", "", kPathChars};
constexpr KeySpec kJobOutSize{"JOBOUTSIZE", "", 18};
constexpr KeySpec kJobOutFiles{"JOBOUTFILES", "", 9};
constexpr KeySpec kRunHistDays{"RUNHISTDAYS", "", 9};
constexpr KeySpec kWakeUps{"WAKEUPS", "1", 1};
constexpr KeySpec kJobFailMsg{"JOBFAILMSG", "0", 1};

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string Read(Env& env, const KeySpec& setting, const std::string& file) {
  return ReadProfileString(env, kSection, setting.key, setting.defaultValue, setting.maxChars,
                           file);
}

void PrintPathParts(Env& env, const PathParts& parts) {
  env.ConsoleWrite(StringPrintf("drive               :%s\n", parts.drive.c_str()));
  env.ConsoleWrite(StringPrintf("dir                 :%s\n", parts.dir.c_str()));
  env.ConsoleWrite(StringPrintf("fname               :%s\n", parts.fname.c_str()));
  env.ConsoleWrite(StringPrintf("ext                 :%s\n\n", parts.ext.c_str()));
}

void PrintSettings(Env& env, const Config& config) {
  env.ConsoleWrite(StringPrintf("MaxJobs             :%d\n", static_cast<int>(config.maxJobs)));
  env.ConsoleWrite(StringPrintf("Veltronia INI       :%s\n", config.kvrIni.c_str()));
  env.ConsoleWrite(StringPrintf("Veltronia LOG       :%s\n", config.kvrLog.c_str()));
  env.ConsoleWrite(StringPrintf("Veltronia LOG Backup:%s\n", config.mainLogBackup.c_str()));
  // Printed only when set, so that a configuration without it prints as before.
  if (config.jobOutput.enabled()) {
    env.ConsoleWrite(StringPrintf("Job output          :%s\n", config.jobOutput.dir.c_str()));
  }
}

// A number as LeadingNumber reads it: optional blanks and sign, a digit.
bool ReadsAsNumber(std::string_view text) {
  size_t i = text.find_first_not_of(" \t");
  if (i != std::string_view::npos && (text[i] == '+' || text[i] == '-')) ++i;
  return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

bool ReadsAsTime(std::string_view text) {
  auto digit = [&](size_t i) { return text[i] >= '0' && text[i] <= '9'; };
  return text.size() == 5 && digit(0) && digit(1) && digit(3) && digit(4);
}

void WarnNumber(Config* config, const KeySpec& key, const std::string& value, long taken) {
  if (ReadsAsNumber(value)) return;
  config->warnings.push_back(
      StringPrintf("Warnung: KVRJOBCTL.INI %s=%s ist keine Zahl, gilt als %ld\n", key.key,
                   value.c_str(), taken));
}

void WarnTime(Config* config, const KeySpec& key, const std::string& value,
              const std::string& taken) {
  if (ReadsAsTime(value)) return;
  config->warnings.push_back(
      StringPrintf("Warnung: KVRJOBCTL.INI %s=%s ist keine Uhrzeit hh:mm, gilt als %s\n", key.key,
                   value.c_str(), taken.c_str()));
}

// An INI file that is there but no regular file of bounded size (a FIFO, a
// device) reads as missing: its defaults apply, and a line says so.
void WarnUnreadable(Config* config, Env& env, const std::string& file) {
  int error = 0;
  if (env.ReadFile(file, &error) || error == ENOENT) return;
  config->warnings.push_back(StringPrintf("Warnung: %s nicht lesbar (%s), es gelten die Vorgaben\n",
                                          file.c_str(), std::strerror(error)));
}

}  // namespace

PathParts SplitPath(std::string_view path) {
  PathParts parts;
  size_t start = 0;
  if (path.size() >= 2 && path[1] == ':') {
    parts.drive = std::string(path.substr(0, 2));
    start = 2;
  }
  size_t lastSep = std::string_view::npos;
  for (size_t i = start; i < path.size(); ++i) {
    if (IsSeparator(path[i])) lastSep = i;
  }
  size_t nameStart = start;
  if (lastSep != std::string_view::npos) {
    parts.dir = std::string(path.substr(start, lastSep + 1 - start));
    nameStart = lastSep + 1;
  }
  std::string_view name = path.substr(nameStart);
  size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos) {
    parts.fname = std::string(name);
  } else {
    parts.fname = std::string(name.substr(0, dot));
    parts.ext = std::string(name.substr(dot));
  }
  return parts;
}

std::string BackupPath(std::string_view path) {
  PathParts parts = SplitPath(path);
  return parts.drive + parts.dir + parts.fname + ".BAK";
}

std::string TimeTextToHhmmss(std::string_view text) {
  std::string held = kDefaultTime;
  if (text.size() == 5) {
    held[0] = text[0];
    held[1] = text[1];
    held[2] = text[3];
    held[3] = text[4];
  }
  return held;
}

JobOutputSettings ReadJobOutputSettings(Env& env, const std::string& file) {
  JobOutputSettings settings;
  settings.dir = Read(env, kJobOutDir, file);
  if (int64_t cap = LeadingNumber64(Read(env, kJobOutSize, file)); cap > 0) {
    settings.capBytes = cap;
  }
  if (int32_t files = LeadingNumber32(Read(env, kJobOutFiles, file)); files > 0) {
    settings.keptFiles = files;
  }
  return settings;
}

Config ReadConfig(Env& env, bool diagnostics) {
  Config config;
  std::string programPath = env.ProgramPath();
  if (programPath.empty()) programPath = "unknown";
  PathParts parts = SplitPath(programPath);
  config.programDir = parts.dir;
  if (diagnostics) PrintPathParts(env, parts);

  std::string joined = parts.drive + parts.dir;
  env.SetCurrentDir(joined);  // a failure leaves the current directory
  std::string file = StringPrintf(kConfigFileFormat, joined.c_str());
  WarnUnreadable(&config, env, file);

  const std::string maxJobs = Read(env, kMaxJobs, file);
  config.maxJobs = LeadingNumber32(maxJobs);
  WarnNumber(&config, kMaxJobs, maxJobs, config.maxJobs);
  config.kvrIni = Read(env, kKvrIni, file);
  config.kvrLog = Read(env, kKvrLog, file);
  config.dbgFile = Read(env, kDbgFile, file);
  config.dbgLog = LeadingNumber32(Read(env, kDbgLog, file));
  // At most three digits are read, so the product stays far inside 64 bits.
  const std::string logSize = Read(env, kMaxLogSize, file);
  config.maxLogSize = LeadingNumber64(logSize) * kBytesPerLogSizeUnit;
  WarnNumber(&config, kMaxLogSize, logSize, static_cast<long>(LeadingNumber64(logSize)));
  const std::string emailTime = Read(env, kEmailTime, file);
  config.emailTime = TimeTextToHhmmss(emailTime);
  WarnTime(&config, kEmailTime, emailTime, config.emailTime);
  const std::string dailyTime = Read(env, kDailyJobTime, file);
  config.dailyJobTime = TimeTextToHhmmss(dailyTime);
  WarnTime(&config, kDailyJobTime, dailyTime, config.dailyJobTime);
  const std::string interval = Read(env, kInterval, file);
  config.intervalMinutes = LeadingNumber32(interval);
  WarnNumber(&config, kInterval, interval,
             config.intervalMinutes == 0 ? kIntervalWhenZero : config.intervalMinutes);
  if (config.intervalMinutes == 0) config.intervalMinutes = kIntervalWhenZero;

  config.jobOutput = ReadJobOutputSettings(env, file);
  config.failureNotice = LeadingNumber32(Read(env, kJobFailMsg, file)) == 1;
  if (int32_t days = LeadingNumber32(Read(env, kRunHistDays, file)); days > 0) {
    config.runHistoryDays = days;
  }
  config.wakeUps = Read(env, kWakeUps, file) != "0";

  config.mainLogBackup = BackupPath(config.kvrLog);
  config.debugLogBackup = BackupPath(config.dbgFile);
  if (diagnostics) PrintSettings(env, config);
  return config;
}

}  // namespace kvr
