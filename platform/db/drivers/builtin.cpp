// The drivers built into the library, registered once before the first command.
#include "platform/db/driver.h"

namespace dz::db {

void registerBuiltinDrivers() {
}

}  // namespace dz::db
