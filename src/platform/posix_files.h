// The real file system behind Env's file and directory methods: appending,
// reading, renaming, deleting, the current directory, and the folders and
// files of job output. Paths go through NativePath first. PosixEnv serves its
// file methods from here, and so does FakeEnv, so unit tests work on real
// files in temporary directories while everything else of the fake stays
// scripted. Nothing throws; failures are errno values or empty results.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace kvr {

std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, int* error);
// The whole of a regular file; a FIFO, a device or a directory is refused
// (EINVAL, EISDIR) without waiting, and so is a file larger than
// maxBytes (EFBIG).
std::optional<std::string> ReadWholeFile(const std::string& path, int* error,
                                         size_t maxBytes = kMaxReadFileBytes);
// True when the path opens for reading and is a regular file.
bool IsReadableFile(const std::string& path);
int RenamePath(const std::string& from, const std::string& to);  // 0 or errno
int DeletePath(const std::string& path);                         // 0 or errno
bool ChangeDirectory(const std::string& dir);
std::string WorkingDirectory();  // empty on failure

// 0 also when a directory of that name exists, else errno.
int PosixMakeDirectory(const std::string& path);
std::optional<std::vector<std::string>> PosixListDirectory(const std::string& path, int* error);
std::optional<int64_t> PosixFileSize(const std::string& path);
int PosixTruncateFile(const std::string& path, int64_t size);
std::optional<std::string> PosixReadFileTail(const std::string& path, int64_t maxBytes);
// Writes all bytes at the descriptor's position, again after interruptions
// and short writes; false when a write failed.
bool PosixWriteAll(int fd, std::string_view bytes);
// Opens a job's output file for appending (created with mode 0640 when
// missing), close-on-exec; the descriptor, or -1 with *error set.
int PosixOpenOutputFile(const std::string& path, int* error);

}  // namespace kvr
