#include "core/text.h"

#include <cstdio>
#include <limits>

namespace kvr {

namespace {

// Most texts fit here; longer ones get a buffer of their own length.
constexpr std::size_t kFirstTry = 2500;

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string StringPrintfV(const char* format, va_list args) {
  char buffer[kFirstTry];
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  if (static_cast<std::size_t>(needed) < sizeof buffer) {
    return std::string(buffer, static_cast<std::size_t>(needed));
  }
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  va_copy(copy, args);
  std::vsnprintf(text.data(), text.size(), format, copy);
  va_end(copy);
  text.resize(static_cast<std::size_t>(needed));
  return text;
}

std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StringPrintfV(format, args);
  va_end(args);
  return text;
}

std::string BoundedPrintf(const char* format, ...) {
  char buffer[kBoundedTextSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return std::string();
  return std::string(buffer);
}

int64_t LeadingNumber64(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t value = 0;  // kept as the magnitude, limited to kMax
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return negative ? -value : value;
}

int32_t LeadingNumber32(std::string_view text) {
  int64_t value = LeadingNumber64(text);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

std::string_view TrimmedRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace kvr
