// Command words: how a job's command line becomes a program and its
// arguments on this platform.
//
// SplitCommandLine splits like the command lines of the product's jobs are
// written: blanks and tabs separate words, double quotes group (and are
// removed; "" gives an empty word), every '\' becomes '/'. A quote that is
// never closed takes the rest of the line into the word, as the product's
// original platform does. An empty or blank line has no words (false).
//
// FindProgram turns the first word into the path to execute: a word with a
// '/' is taken as it stands (relative to the current directory), a bare word
// is looked for in the current directory first, then along the given PATH.
// It answers the path of a file that can be executed, or an empty text with
// the errno the execution would have given (ENOENT, EACCES, ENOEXEC ...).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/ascii_case.h"

namespace kvr {

// false (and no words) for an empty or blank command line.
bool SplitCommandLine(std::string_view line, std::vector<std::string>* words);

// The executable path of the program word, or empty with *error set.
std::string FindProgram(const std::string& word, std::string_view pathVariable, int* error);

// 0 when the file at path is a regular file that may be executed and is a
// binary or a script with an interpreter line; else the errno.
int CheckExecutable(const std::string& path);

// The last path component of a '/'-separated path.
std::string_view BaseName(std::string_view path);

}  // namespace kvr
