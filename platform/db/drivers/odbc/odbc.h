// The SQL Server driver: every Data Source that no other driver claims is a
// SQL Server reached through unixODBC.
//
// The Data Source is written as SQL Server clients write it: "host",
// "host,port", "host\instance" (optionally "tcp:" in front); "(local)" and
// "." mean this machine. User ID, Password and Initial Catalog make the
// server login. Further keys of the connection string that are understood:
//   Connect Timeout (or Connection Timeout)  login time-out in seconds,
//       default 15, at most 300 (0 gives the default: a login never waits
//       without bound)
//   OLE DB Services  -2, -4 or 0 (bit 1 clear) switch connection reuse off
//   Pooling          "false" switches connection reuse off as well
// Put such keys before Password, User ID, Initial Catalog and Data Source,
// whose values run up to the next known key.
//
// Which ODBC driver: FreeTDS's by default. A site that uses another one,
// such as Microsoft's ODBC Driver for SQL Server, names it in the
// environment of the test program:
//   DZ_ODBC_DRIVER   the driver's name in odbcinst.ini ("ODBC Driver 18 for
//                    SQL Server") or the path of its library
//   DZ_ODBC_OPTIONS  extra "key=value;..." pairs appended to the driver's
//                    connection string (for driver 18 against a server
//                    without a trusted certificate: "Encrypt=no" or
//                    "TrustServerCertificate=yes")
// Both win over the site's INI keys (db::ClientOptions: Driver, Encrypt,
// TrustServerCertificate, CAFile, HostNameInCertificate, LoginTimeout),
// which are translated to the chosen driver's own keys; a setting the
// driver cannot honour fails every connection with a description that says
// why, never a weaker link.
//
// Connections stay open per connection string between calls. A pooled
// connection found dead before a request is sent is replaced once,
// silently; a request that was sent is never repeated.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/db/driver.h"

namespace dz::db::odbc {

// Where and how a connection string connects.
struct Target {
    // How the link is encrypted: as the server likes (the driver's default),
    // never, when the server offers it, always, or TLS before any TDS packet.
    enum class Encryption { unset, off, request, require, strict };

    std::string driver;        // ODBC driver name or library path
    bool freetds = true;       // FreeTDS's keywords, else Microsoft's
    std::string host;          // "" when the Data Source is empty
    int port = 0;              // 0: the driver's default (or the instance's)
    std::string instance;      // named instance, "" for none
    int loginTimeout = 15;     // seconds
    bool pooling = true;
    bool doubledBraces = true; // the driver reads "}}" inside braces as "}"
    Encryption encryption = Encryption::unset;
    bool verify = false;       // the server's certificate is checked
    std::string caFile;        // the authorities it is checked against, "" the system's
    std::string certificateHost;  // the name it must carry ("" the host)
    std::string connectionString;  // what SQLDriverConnect receives
};

// A value for the driver's connection string: as it is when it holds no
// ";", starts with no "{" and has no blanks around it; else in braces, a "}"
// inside doubled when the driver reads it so. Throws Error for a value the
// driver cannot read back (a "};" for a driver that does not double).
std::string quoteValue(const std::string& value, bool doubledBraces);

// Translates the component's connection string and the site's client
// options. Throws Error for a Data Source that cannot be read (a bad port)
// and for an option that is wrong or that the driver cannot honour.
Target target(const ConnectionInfo& info, const ClientOptions& client = {});

// FreeTDS's version as its library says it ("freetds v1.3.17"): {1, 3};
// {0, 0} when the driver is not FreeTDS's or says nothing.
std::pair<int, int> freetdsVersion(const std::string& driver);

// The ENCRYPTION value (0 login only, 1 on, 2 none, 3 required) of a
// server's answer to a bare pre-login; nullopt when no answer came within
// `seconds`.
std::optional<int> preloginEncryption(const std::string& host, int port, int seconds);

// The name of a section of FreeTDS's configuration that holds `body` (lines
// "key = value"), made on first use. FreeTDS before 1.5 takes its CA file
// and host-name check only from there.
std::string freetdsSection(const std::string& body);

// The ODBC driver used when DZ_ODBC_DRIVER is not set.
std::string defaultDriver();

struct PoolStats {
    uint64_t opened = 0;    // logins made
    uint64_t reused = 0;    // calls served by a pooled connection
    uint64_t replaced = 0;  // pooled connections found dead before a call
    uint64_t discarded = 0; // connections closed after a failure
};

class OdbcDriver : public Driver {
public:
    Response execute(Request& request) override;

    // The one driver of the process (the registry's default).
    static std::shared_ptr<OdbcDriver> instance();

    PoolStats stats() const;
    // Closes every idle connection.
    void clearPool();
    size_t idleConnections() const;
};

}  // namespace dz::db::odbc
