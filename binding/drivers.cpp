// The drivers the station library carries. They live here, not in the
// platform's registry, because the simulator sits above the platform.
#include "binding/drivers.h"

#include <mutex>

#include "platform/db/driver.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "sim/driver/driver.h"

namespace dz::binding {

void installDrivers() {
    static std::once_flag once;
    std::call_once(once, [] {
        db::registerDriver("sim:", std::make_shared<db::SimDriver>());
        db::setDefaultDriver([] { return db::odbc::OdbcDriver::instance(); });
    });
}

}  // namespace dz::binding
