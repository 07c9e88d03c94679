#include "platform/mount_points.h"

namespace kvr {

namespace {

// The kernel writes blanks, tabs, line ends and backslashes of a path as
// "\ooo" octal escapes.
std::string Unescape(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      bool octal = true;
      for (std::size_t k = 1; k <= 3; ++k) {
        char c = field[i + k];
        octal = octal && c >= '0' && c <= '7';
        value = value * 8 + (c - '0');
      }
      if (octal) {
        out.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

// The fifth blank-separated field of a line, or nothing.
std::string_view FifthField(std::string_view line) {
  std::size_t at = 0;
  for (int field = 0; field < 4; ++field) {
    at = line.find(' ', at);
    if (at == std::string_view::npos) return {};
    ++at;
  }
  return line.substr(at, line.find(' ', at) - at);
}

bool Holds(std::string_view mount, std::string_view dir) {
  if (mount.empty() || mount[0] != '/') return false;
  if (mount == "/") return true;
  if (dir.size() < mount.size() || dir.compare(0, mount.size(), mount) != 0) return false;
  return dir.size() == mount.size() || dir[mount.size()] == '/';
}

}  // namespace

std::string MountPointOf(std::string_view mountinfo, std::string_view dir) {
  std::string best;
  while (!mountinfo.empty()) {
    std::size_t end = mountinfo.find('\n');
    std::string_view line = mountinfo.substr(0, end);
    mountinfo.remove_prefix(end == std::string_view::npos ? mountinfo.size() : end + 1);
    std::string mount = Unescape(FifthField(line));
    if (Holds(mount, dir) && mount.size() > best.size()) best = mount;
  }
  return best;
}

bool SparedByImageKill(Pid pid, const ProcessFamily& family) {
  return pid <= 1 || pid == family.self || pid == family.parent || pid == family.parentGroup;
}

}  // namespace kvr
