// Text: the small text facts every layer above the platform shares:
// printf-style formatting (unbounded, or cut at a fixed size as the
// system's buffers cut it), the leading number of a text as atoi reads it,
// and trimming. Pure functions; nothing here fails loudly. (ASCII case
// folding lives beside the platform code that needs it: platform/ascii_case.h.)
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvr {

// printf-style formatting into a text of whatever length the result needs.
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StringPrintfV(const char* format, va_list args);

// Longest text a bounded format gives, with its terminating zero.
inline constexpr std::size_t kBoundedTextSize = 2048;
// snprintf into a buffer of kBoundedTextSize bytes (longer results are cut).
std::string BoundedPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The leading decimal number of a text as atoi reads it: leading white
// space, an optional sign, the digits up to the first other character; 0
// when there are none. Kept within the type's range.
int64_t LeadingNumber64(std::string_view text);
int32_t LeadingNumber32(std::string_view text);

// Without trailing blanks and tabs.
std::string_view TrimmedRight(std::string_view text);

}  // namespace kvr
