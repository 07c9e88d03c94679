#include "platform/profile.h"

namespace kvr {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string Cut(std::string_view text, size_t maxChars) {
  return std::string(text.substr(0, maxChars));
}

// The value part of a key line: up to a NUL byte, trimmed, one pair of
// enclosing quotes removed.
std::string_view CleanValue(std::string_view value) {
  size_t nul = value.find('\0');
  if (nul != std::string_view::npos) value = value.substr(0, nul);
  value = Trim(value);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

// A section header "[NAME]" (text after the bracket is ignored); false for
// any other line.
bool SectionName(std::string_view line, std::string_view* name) {
  if (line.empty() || line.front() != '[') return false;
  size_t close = line.find(']');
  if (close == std::string_view::npos) return false;
  *name = Trim(line.substr(1, close - 1));
  return true;
}

}  // namespace

std::string FindProfileString(std::string_view content, std::string_view section,
                              std::string_view key, std::string_view defaultValue,
                              size_t maxChars) {
  section = Trim(section);
  key = Trim(key);
  bool inSection = false;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = Trim(content.substr(pos, end - pos));
    pos = end + 1;

    std::string_view name;
    if (SectionName(line, &name)) {
      inSection = EqualNoCase(name, section);
      continue;
    }
    if (!inSection || line.empty() || line.front() == ';') continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (!EqualNoCase(Trim(line.substr(0, eq)), key)) continue;
    return Cut(CleanValue(line.substr(eq + 1)), maxChars);
  }
  return Cut(defaultValue, maxChars);
}

std::string ReadProfileString(Env& env, std::string_view section, std::string_view key,
                              std::string_view defaultValue, size_t maxChars,
                              const std::string& path) {
  std::optional<std::string> content = env.ReadFile(path, nullptr);
  if (!content) return Cut(defaultValue, maxChars);
  return FindProfileString(*content, section, key, defaultValue, maxChars);
}

}  // namespace kvr
