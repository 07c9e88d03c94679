// StatementRegistry: every statement the controller sends, by name, taken
// from the constants where they live (texts built at run time carry sample
// values). Used to check that each one runs on every engine.
#pragma once

#include "db/client/named_statement.h"

namespace kvr {

StatementList StatementRegistry();

}  // namespace kvr
