// The drivers built into the library, registered once before the first command.
#include "platform/db/driver.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "platform/db/drivers/sim/driver.h"

namespace dz::db {

void registerBuiltinDrivers() {
    registerDriver("sim:", std::make_shared<SimDriver>());
    setDefaultDriver([] { return odbc::OdbcDriver::instance(); });
}

}  // namespace dz::db
