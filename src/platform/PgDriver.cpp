#include "platform/PgDriver.h"

namespace px {

std::unique_ptr<DbConnection> OpenPgConnection(const DbConnectParams&) {
  throw DbError("PostgreSQL driver not available yet");
}

}  // namespace px
