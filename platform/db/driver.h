// The one interface behind which every database driver sits, and the
// registry that picks a driver by the connection string's Data Source:
// the library registers "sim:" (the embedded MES simulator) and SQL Server
// over ODBC as the default (binding/drivers.h); tests add their own.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/db/db.h"

namespace dz::db {

struct Request {
    std::string connectionString;
    ConnectionInfo connection;
    ClientOptions client;
    std::string text;
    CommandType type = adCmdText;
    int timeout = 30;
    bool namedParameters = false;
    // In order of appending. The driver writes output, input-output and
    // return-value parameters in place.
    std::vector<Parameter>* parameters = nullptr;
};

struct Response {
    Recordset recordset;              // closed when the command returned none
    std::optional<Value> returnValue; // a stored procedure's return status
};

class Driver {
public:
    virtual ~Driver() = default;
    // Runs one command; throws Error with the client's description on failure.
    virtual Response execute(Request& request) = 0;
};

// Drivers chosen by a Data Source prefix; the longest matching prefix wins.
void registerDriver(const std::string& prefix, std::shared_ptr<Driver> driver);
void unregisterDriver(const std::string& prefix);
// Unregisters `prefix` only while `driver` is the one registered under it.
void unregisterDriverIf(const std::string& prefix, const Driver* driver);
// Factory for Data Sources that match no prefix (a real server name).
void setDefaultDriver(std::function<std::shared_ptr<Driver>()> factory);

// The driver for a connection. Throws Error ("... SQL Server does not exist
// or access denied.") when none serves it.
std::shared_ptr<Driver> driverFor(const ConnectionInfo& connection);

}  // namespace dz::db
