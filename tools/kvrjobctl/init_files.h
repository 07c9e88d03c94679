// The files kvrjobctl init lays out beside the tables: an SQLite database
// file made readable by its owner only before SQLite creates it, and a
// commented KVRJOBCTL.INI with the defaults when there is none.
#pragma once

#include <string>

namespace kvr::ctl {

// For a service "sqlite:PATH" whose file does not exist: creates it empty
// with mode 0600 (SQLite keeps that mode for its -wal and -shm files).
// Other services: nothing. False with errno set when it cannot be made.
bool PrepareSqliteFile(const std::string& service);

// Writes path (KVRJOBCTL.INI) with every key commented and its default,
// JOBOUTDIR set to "joboutput", when no file is there; never over one.
// True when written.
bool WriteDefaultIni(const std::string& path);

// The text written.
extern const char kDefaultIniText[];

}  // namespace kvr::ctl
