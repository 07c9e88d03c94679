#include "exec/job_output_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kvr {

namespace {

constexpr std::size_t kStampDigits = 14;
constexpr std::string_view kExtension = ".log";

bool SafeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string SafeFileKey(std::string_view key) {
  while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
  std::string safe;
  for (char c : key) {
    if (SafeChar(c)) {
      safe += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      safe += hex;
    }
  }
  return safe;
}

std::string JobOutputName(std::string_view stamp, std::string_view key) {
  return std::string(stamp) + "_" + SafeFileKey(key) + std::string(kExtension);
}

bool IsJobOutputName(std::string_view name) {
  if (name.size() < kStampDigits + 1 + kExtension.size()) return false;
  if (!AllDigits(name.substr(0, kStampDigits)) || name[kStampDigits] != '_') return false;
  if (name.substr(name.size() - kExtension.size()) != kExtension) return false;
  std::string_view key =
      name.substr(kStampDigits + 1, name.size() - kStampDigits - 1 - kExtension.size());
  return std::all_of(key.begin(), key.end(), [](char c) { return SafeChar(c) || c == '%'; });
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  return path + std::string(name);
}

std::optional<std::string> LatestOutputName(const std::vector<std::string>& names,
                                            std::string_view key) {
  const std::string tail = "_" + SafeFileKey(key) + std::string(kExtension);
  std::optional<std::string> latest;
  for (const std::string& name : names) {
    if (!IsJobOutputName(name) || name.size() != kStampDigits + tail.size()) continue;
    if (name.compare(kStampDigits, tail.size(), tail) != 0) continue;
    if (!latest || name > *latest) latest = name;
  }
  return latest;
}

std::vector<std::string> OutputNamesToPrune(std::vector<std::string> names, std::size_t keep,
                                            const std::vector<std::string>& spared) {
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& n) { return !IsJobOutputName(n); }),
              names.end());
  std::sort(names.begin(), names.end());
  std::vector<std::string> prune;
  std::size_t left = names.size();
  for (const std::string& name : names) {
    if (left <= keep) break;
    if (std::find(spared.begin(), spared.end(), name) != spared.end()) continue;
    prune.push_back(name);
    --left;
  }
  return prune;
}

std::string ExitStatusText(const ExitStatus& status) {
  if (!status.signaled) return "exit status " + std::to_string(status.code);
  const char* name = strsignal(status.code);
  return "ended by signal " + std::to_string(status.code) + " (" +
         (name != nullptr ? name : "unknown signal") + ")";
}

std::string EndOfOutputLine(std::string_view when, const std::optional<ExitStatus>& status) {
  std::string text = status ? ExitStatusText(*status) : "ended, exit status not known";
  return "\n[" + std::string(when) + " job controller: " + text + "]\n";
}

std::string CutOutputLine(int64_t capBytes) {
  return "\n[job controller: output cut at " + std::to_string(capBytes) +
         " bytes; later output is dropped]\n";
}

std::string LastLines(std::string_view text, std::size_t n) {
  if (n == 0) return {};
  std::size_t end = text.size();
  if (end > 0 && text[end - 1] == '\n') --end;  // the last line's own end
  std::size_t start = end;
  std::size_t lines = 0;
  while (start > 0) {
    if (text[start - 1] == '\n' && ++lines == n) break;
    --start;
  }
  return std::string(text.substr(start));
}

}  // namespace kvr
