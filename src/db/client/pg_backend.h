// PostgreSQL backend (libpq): client_encoding UTF8, with the controller's
// Windows-1252 texts converted on the way in and back on the way out, so
// every byte survives the round trip. A transaction begins with the first statement
// after a commit; every later statement of it runs inside a savepoint sent
// in the same pipeline (SAVEPOINT, statement, RELEASE, one round trip), so a
// failing statement undoes only itself. ALTER SESSION SET CURRENT_SCHEMA
// becomes search_path after checking that the schema exists.
//
// Errors map by SQLSTATE to Oracle codes (23505 -1, 42P01 -942, 42703 -904,
// 22001 -12899, 28xxx -1017, 3F000 -1435, ...). A broken connection gives
// -3114, and so does every later call. Connect fails with -1017 (login),
// -12154 (service cannot be resolved), -12514 (no such database), -12170
// (timeout) or -12541 (no server reachable); libpq's own connect text is
// never passed on, so no part of a password can leak through it.
//
// No wait is endless: the session runs with lock_timeout and
// statement_timeout (a statement that waits too long fails with -54 or
// -1013 and the transaction goes on), TCP keepalives notice a cut network.
#pragma once

#include <memory>

#include "db/client/backend.h"

namespace kvr {

std::unique_ptr<Backend> MakePgBackend(const ConnectionOptions& options);

}  // namespace kvr
