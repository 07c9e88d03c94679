#include "core/command_line.h"

#include <cstring>
#include <string>

#include "core/config.h"
#include "core/text.h"

namespace kvr {

namespace {

constexpr size_t kMaxArgumentChars = 255;

std::string Upper(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  for (int i = 0; i < argc; ++i) {
    if (argv == nullptr || argv[i] == nullptr) continue;
    std::string arg(argv[i], strnlen(argv[i], kMaxArgumentChars));
    std::string upper = Upper(arg);
    if (upper == "/D" || upper == "-D") {
      line.diagnostics = true;
    } else if (i == 1 && !arg.empty() && arg[0] >= '0' && arg[0] <= '9') {
      line.instance = LeadingNumber32(arg);
    }
  }
  return line;
}

}  // namespace kvr
