// The shared steps of kvrjobctl's queue commands (status, list, show,
// run-now): parsing a command's options with --help and the target
// options, connecting, and the hint that tells the operator what to do
// about a database error. Messages go to standard error.
#pragma once

#include <string>
#include <vector>

#include "ctl_options.h"

namespace kvr::ctl {

// The options every command that connects takes (--file, --connect,
// --schema), as help text.
extern const char kTargetOptionsHelp[];

// Parses args with the command's own options and flags plus the target
// options and --help. Returns -1 to go on, else the exit status (help
// printed: 0; wrong usage: 2, with the help on standard error).
int ParseCommand(const std::vector<std::string>& args, std::vector<std::string> known,
                 std::vector<std::string> flags, const char* help, Options* o);

// The same for a command whose first argument is a job's KEY, given back
// in *key; "--help" anywhere prints the help.
int ParseKeyCommand(const std::vector<std::string>& args, std::vector<std::string> known,
                    std::vector<std::string> flags, const char* help, std::string* key, Options* o);

// Resolves the target and connects; prints what went wrong and what to do.
bool ConnectTarget(Env& env, const Options& o, ToolSession* tool);

// What the operator can do about a status code ("" when nothing fits):
// tables missing, wrong login, server not reachable.
std::string WhatToDo(int code);

// Prints "kvrjobctl: WHAT: CODE MESSAGE" and the hint for the session's
// last error; returns kExitError.
int ReportDatabaseError(ToolSession& tool, const char* what, int code);

}  // namespace kvr::ctl
