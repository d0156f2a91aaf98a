// The drivers the station library carries, registered once before the first
// command: the embedded simulator for "sim:" Data Sources, SQL Server over
// ODBC for every other one. The platform's registry calls this; it lives here
// because the simulator sits above the platform.
#include "platform/db/driver.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "sim/driver/driver.h"

namespace dz::db {

void registerBuiltinDrivers() {
    registerDriver("sim:", std::make_shared<SimDriver>());
    setDefaultDriver([] { return odbc::OdbcDriver::instance(); });
}

}  // namespace dz::db
