// FakeEnv: clock, sleeps, files, service and disk space. The scripted
// processes live in fake_env_process.cpp.
#include "platform/fake_env.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/posix_files.h"

namespace kvr {

FakeEnv::FakeEnv() { SetLocalTime(2026, 12, 7, 8, 0, 0); }

std::tm FakeEnv::LocalTime(int64_t t) { return LocalTimeOf(t); }
std::tm FakeEnv::UtcTime(int64_t t) { return UtcTimeOf(t); }
int64_t FakeEnv::MakeLocalTime(std::tm local) { return MakeLocalTimeOf(local); }

bool FakeEnv::SetCurrentDir(const std::string& dir) { return ChangeDirectory(dir); }
std::string FakeEnv::CurrentDir() { return WorkingDirectory(); }

std::unique_ptr<AppendFile> FakeEnv::OpenAppend(const std::string& path, int* error) {
  return OpenAppendFile(path, error);
}

std::optional<std::string> FakeEnv::ReadFile(const std::string& path, int* error, size_t maxBytes) {
  if (auto it = fileErrors.find(path); it != fileErrors.end()) {
    if (error != nullptr) *error = it->second;
    return std::nullopt;
  }
  return ReadWholeFile(path, error, maxBytes);
}

bool FakeEnv::FileReadable(const std::string& path) { return IsReadableFile(path); }

int FakeEnv::RenameFile(const std::string& from, const std::string& to) {
  return RenamePath(from, to);
}

int FakeEnv::DeleteFile(const std::string& path) { return DeletePath(path); }

void FakeEnv::SetLocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  now_ = MakeLocalTime(local);
  subMillis_ = 0;
}

void FakeEnv::SleepMs(int64_t ms) {
  sleeps.push_back(ms);
  AdvanceMs(ms);
}

void FakeEnv::AdvanceMs(int64_t ms) {
  if (ms <= 0) return;
  subMillis_ += ms;
  now_ += subMillis_ / 1000;
  subMillis_ %= 1000;
}

std::optional<uint64_t> FakeEnv::FreeBytes(const std::string& path) {
  auto it = freeBytes.find(path);
  if (it == freeBytes.end()) return std::nullopt;
  return it->second;
}

namespace {

// The scripted errno for a path, 0 when none is set.
int ScriptedError(const std::map<std::string, int>& errors, const std::string& path) {
  auto it = errors.find(path);
  return it == errors.end() ? 0 : it->second;
}

}  // namespace

int FakeEnv::MakeDirectory(const std::string& path) {
  if (int error = ScriptedError(fileErrors, path)) return error;
  return PosixMakeDirectory(path);
}

std::optional<std::vector<std::string>> FakeEnv::ListDirectory(const std::string& path,
                                                               int* error) {
  if (int scripted = ScriptedError(fileErrors, path)) {
    if (error != nullptr) *error = scripted;
    return std::nullopt;
  }
  return PosixListDirectory(path, error);
}

std::optional<int64_t> FakeEnv::FileSize(const std::string& path) {
  if (ScriptedError(fileErrors, path) != 0) return std::nullopt;
  return PosixFileSize(path);
}

int FakeEnv::TruncateFile(const std::string& path, int64_t size) {
  if (int error = ScriptedError(fileErrors, path)) return error;
  return PosixTruncateFile(path, size);
}

std::optional<std::string> FakeEnv::ReadFileTail(const std::string& path, int64_t maxBytes) {
  if (ScriptedError(fileErrors, path) != 0) return std::nullopt;
  return PosixReadFileTail(path, maxBytes);
}

ServiceReply FakeEnv::CallService(const std::string& pipeName,
                                  const char (&request)[kServiceMessageSize], int replyTimeoutMs) {
  serviceCalls.push_back(pipeName);
  lastRequest.assign(request, strnlen(request, kServiceMessageSize));
  lastReplyTimeoutMs = replyTimeoutMs;
  if (replyDelayMs > 0) {
    subMillis_ += replyDelayMs;
    now_ += subMillis_ / 1000;
    subMillis_ %= 1000;
  }
  if (service) return service(pipeName);
  ServiceReply reply;
  reply.answered = true;
  reply.reply = "OK";
  return reply;
}

namespace {

// Frees its entry when it goes, unless a test has put another holder there.
class FakeFileLock : public FileLock {
 public:
  FakeFileLock(std::map<std::string, std::string>& locks, std::string path, std::string holder)
      : locks_(locks), path_(std::move(path)), holder_(std::move(holder)) {}
  ~FakeFileLock() override {
    auto it = locks_.find(path_);
    if (it != locks_.end() && it->second == holder_) locks_.erase(it);
  }
  bool AtPath() const override {
    auto it = locks_.find(path_);
    return it != locks_.end() && it->second == holder_;
  }

 private:
  std::map<std::string, std::string>& locks_;
  std::string path_, holder_;
};

}  // namespace

FileLockResult FakeEnv::TryLockFile(const std::string& path, std::string_view holderText) {
  ++fileLockTries;
  FileLockResult result;
  const std::string key = NativePath(path);
  if (auto e = fileLockErrors.find(key); e != fileLockErrors.end()) {
    result.error = e->second;
    return result;
  }
  if (auto held = fileLocks.find(key); held != fileLocks.end()) {
    result.busy = true;
    result.holder = held->second;
    return result;
  }
  fileLocks[key] = std::string(holderText);
  result.lock = std::make_unique<FakeFileLock>(fileLocks, key, std::string(holderText));
  return result;
}

FileLockResult FakeEnv::TryLockFileByte(const std::string& path, uint64_t offset) {
  return TryLockFile(path + "@" + std::to_string(offset), "");
}

}  // namespace kvr
