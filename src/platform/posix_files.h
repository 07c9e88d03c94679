// The real file system behind Env's file and directory methods: appending,
// reading, renaming, deleting, and the current directory. Paths go through
// NativePath first. PosixEnv serves its file methods from here, and so does
// FakeEnv, so unit tests work on real files in temporary directories while
// everything else of the fake stays scripted.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/env.h"

namespace kvr {

std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, int* error);
std::optional<std::string> ReadWholeFile(const std::string& path, int* error);
// True when the path opens for reading and is no directory.
bool IsReadableFile(const std::string& path);
int RenamePath(const std::string& from, const std::string& to);  // 0 or errno
int DeletePath(const std::string& path);                         // 0 or errno
bool ChangeDirectory(const std::string& dir);
std::string WorkingDirectory();  // empty on failure

}  // namespace kvr
