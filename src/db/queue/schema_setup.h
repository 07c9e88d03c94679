// Schema set-up: applies the table definitions of sql/<engine>/*.sql to a
// connected database, for the operator's tool and the tests.
//
// The engine folder is chosen by the connection's backend ("sqlite" or
// "postgres"); the files are applied in name order, statement by statement,
// and committed. The definitions use IF NOT EXISTS, so applying them twice
// does no harm. Returns 0 on success, else the failing status code (or -1
// when no file could be read) with a description in *error. The files are
// listed and read through the Env; the calls without one (for callers that
// have none at hand) go to the platform's file functions directly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kvr {

class Connection;
class Env;

int ApplySchema(Env& env, Connection& db, const std::string& sqlDir, std::string* error);
int ApplySchema(Connection& db, const std::string& sqlDir, std::string* error);

// True for a schema name that may go into a statement text: a letter, then
// letters, digits, '_', '$' or '#'; at most 30 characters.
bool IsPlainSchemaName(std::string_view name);

// Creates the tables of one client schema (KVR300PNR, KVR701PLG, KVR303SBE)
// from the sample client's definitions, sql/<engine>/02_mandant1.sql, with
// the schema's name in place of MANDANT1. Refuses a name that is not plain
// (-904). Returns 0 or the failing status code with *error set.
int ApplyClientSchema(Env& env, Connection& db, const std::string& sqlDir,
                      const std::string& schema, std::string* error);
int ApplyClientSchema(Connection& db, const std::string& sqlDir, const std::string& schema,
                      std::string* error);
// The script with every whole word MANDANT1 (any case) replaced by schema.
std::string RenameClientSchema(std::string_view script, std::string_view schema);

// Splits a script into its statements: "--" comments are dropped, ';'
// outside quotes ends a statement, empty statements are left out.
std::vector<std::string> SplitSqlStatements(std::string_view script);

}  // namespace kvr
