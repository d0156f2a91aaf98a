// The drivers the station library carries.
#pragma once

namespace dz::binding {

// Registers the embedded simulator for "sim:" Data Sources and SQL Server
// over ODBC for every other one, once per process; later calls do nothing,
// so a driver or default registered after the first call stays.
void installDrivers();

}  // namespace dz::binding
