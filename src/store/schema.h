#pragma once
// The store's schema: its version, and the steps that bring an older store up to it.
#include "store/connection.h"

namespace qvx::store::detail {

// 0 for an empty database; refuses a SQLite file that holds another program's tables.
int ReadSchemaVersion(Connection& c);

// Refuses a newer store untouched, sets the engine up, and migrates an older or empty store
// forward in one transaction.
void OpenSchema(Connection& c);

}  // namespace qvx::store::detail
