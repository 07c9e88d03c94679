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

std::optional<std::string> FakeEnv::ReadFile(const std::string& path, int* error) {
  return ReadWholeFile(path, error);
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

}  // namespace kvr
