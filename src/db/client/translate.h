// Statement translation: turns a statement text as the system writes it
// (Oracle dialect, :bN host variables) into the text a backend runs.
//
// Pure and stateless: the same input always gives the same result, nothing
// is looked up. It handles what the system's statements use: :bN host
// variables (numbered placeholders; a name used twice binds one value), the
// "into :bX:bY, ..." list of a single-row select (removed; its host
// variables are the outputs, indicator variables are not counted), the
// "ROWNUM = 1" predicate (removed; LIMIT 1 after the ORDER BY, so the first
// row in the requested order comes back), sysdate and sysdate-N,
// to_char(x, 'yyyymmddhh24miss' / 'yyyymmdd' / 'HH24MISS'), '' literals
// (NULL; other literals, doubled quotes included, stay as they are), nvl,
// "from dual", ALTER SESSION SET CURRENT_SCHEMA=X (flagged, not translated),
// and for SQLite the table names: schema-qualified names of any case become
// the quoted name "SCHEMA.TABLE" in upper case, unqualified names after
// FROM/INTO/UPDATE/JOIN/TABLE become "CURRENTSCHEMA.TABLE".
//
// A text it cannot make sense of is passed on as well as it can; the
// database then reports the error. It never fails by itself.
//
// State of the client layer: MakeConnection (client_connection.cpp) works
// on both backends, SQLite (sqlite_backend.h) and PostgreSQL via libpq
// (pg_backend.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kvr {

enum class Dialect { Postgres, Sqlite };

enum class StatementKind { Select, Insert, Update, Delete, AlterSession, Other };

struct Translation {
  std::string text;  // the backend's statement text (empty for ALTER SESSION)
  StatementKind kind = StatementKind::Other;
  // For each placeholder occurrence in the text, the input index it binds
  // (names in the order of their first appearance).
  std::vector<int> placeholders;
  int inputCount = 0;   // distinct input host variables
  int outputCount = 0;  // host variables of the into-list (indicators not counted)
  bool hadRownum = false;
  // ALTER SESSION SET CURRENT_SCHEMA=X: the schema as written (may be empty).
  bool isAlterSession() const { return kind == StatementKind::AlterSession; }
  std::string schema;
};

Translation TranslateStatement(std::string_view oracleSql, Dialect dialect,
                               std::string_view currentSchema);

}  // namespace kvr
