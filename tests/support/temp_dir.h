// TempDir: a fresh directory under the system's temporary folder, removed
// with everything in it when the object goes.
#pragma once

#include <string>

namespace kvr::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const;
  // Writes a file below the directory (creating parent folders).
  void Write(const std::string& name, const std::string& content) const;
  // Reads a file below the directory; empty when missing.
  std::string Read(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace kvr::test
