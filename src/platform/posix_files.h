// Directory and file operations on the real file system, as free functions
// over native paths (after NativePath). PosixEnv answers its Env methods with
// them; FakeEnv uses them for the files of a test's temporary directory.
// Nothing throws; failures are errno values or empty results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvr {

// 0 also when a directory of that name exists, else errno.
int PosixMakeDirectory(const std::string& path);
std::optional<std::vector<std::string>> PosixListDirectory(const std::string& path, int* error);
std::optional<int64_t> PosixFileSize(const std::string& path);
int PosixTruncateFile(const std::string& path, int64_t size);
std::optional<std::string> PosixReadFileTail(const std::string& path, int64_t maxBytes);
// Opens a job's output file for appending (created with mode 0640 when
// missing), close-on-exec; the descriptor, or -1 with *error set.
int PosixOpenOutputFile(const std::string& path, int* error);

}  // namespace kvr
