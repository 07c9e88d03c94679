// Schema set-up: applies the table definitions of sql/<engine>/*.sql to a
// connected database, for the operator's tool and the tests.
//
// The engine folder is chosen by the connection's backend ("sqlite" or
// "postgres"); the files are applied in name order, statement by statement,
// and committed. The definitions use IF NOT EXISTS, so applying them twice
// does no harm. Returns 0 on success, else the failing status code (or -1
// when no file could be read) with a description in *error.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kvr {

class Connection;

int ApplySchema(Connection& db, const std::string& sqlDir, std::string* error);

// True for a schema name that may go into a statement text: a letter, then
// letters, digits, '_', '$' or '#'; at most 30 characters.
bool IsPlainSchemaName(std::string_view name);

// Splits a script into its statements: "--" comments are dropped, ';'
// outside quotes ends a statement, empty statements are left out.
std::vector<std::string> SplitSqlStatements(std::string_view script);

}  // namespace kvr
