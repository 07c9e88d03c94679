// SQLite backend: one file holds every schema; table T of schema S is the
// table named "S.T". WAL mode and a busy timeout let other programs write
// the queue at the same time. Texts go in as UTF-8 (converted from
// Windows-1252) and come back as Windows-1252.
//
// A transaction begins (BEGIN IMMEDIATE, so a later write in it cannot fail
// on a snapshot another writer made stale) with the first change after a
// commit; a select outside a transaction reads the committed state; a
// failing statement undoes only itself (SQLite's statement journal).
// Errors come back as Oracle codes: -1 unique key, -942 no such table, -904
// no such column, -54 busy beyond the timeout, -1157 not a database, -16000
// read-only, -900 syntax; others -20000 with SQLite's text.
#pragma once

#include <functional>
#include <memory>

#include "db/client/backend.h"

namespace kvr {

// stopRequested (may be empty) is asked while a statement waits for a
// lock; true ends the wait.
std::unique_ptr<Backend> MakeSqliteBackend(int busyTimeoutMs, std::function<bool()> stopRequested);

}  // namespace kvr
