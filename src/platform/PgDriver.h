#pragma once
#include "platform/DbDriver.h"

namespace px {

// Opens a PostgreSQL connection from a postgresql:// URI (libpq).
std::unique_ptr<DbConnection> OpenPgConnection(const DbConnectParams& p);

}  // namespace px
