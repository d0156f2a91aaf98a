// ODBC diagnostics and their translation into the descriptions the
// component classifies: a refused or unreachable server, a broken
// connection, an expired time-out, a rejected login, or the server's own
// words. The translation goes by SQLSTATE (and the server's error number),
// never by the driver's English.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

#include "platform/db/db.h"

namespace dz::db::odbc {

// SQLSTATE, the server's error number (0 or the driver's own number for the
// driver's messages), the message as the driver gives it, vendor tags included.
using Diagnostic = db::Diagnostic;

// Every diagnostic record of a handle, in order.
std::vector<Diagnostic> diagnostics(SQLSMALLINT handleType, SQLHANDLE handle);

enum class Phase { connect, execute };

enum class Failure {
    unreachable,  // no server at that address, or it refused the connection
    network,      // the connection broke during a call
    timeout,      // the login or query time-out expired
    login,        // the server rejected the login
    server,       // the server (or the driver) reported an error of its own
};

Failure classify(const std::vector<Diagnostic>& diags, Phase phase);

// The description for a failure: the client's fixed phrases for the first
// four classes, the server's message without vendor tags for the last. The
// records are noted for the component (db::noteDiagnostics).
std::string describe(const std::vector<Diagnostic>& diags, Phase phase, const std::string& user);

// "[FreeTDS][SQL Server]Could not find ..." -> "Could not find ...".
std::string stripVendorTags(const std::string& message);

inline constexpr const char* kNoServer =
    "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.";
inline constexpr const char* kNetworkError =
    "[DBNETLIB][ConnectionRead (recv()).]General network error. Check your network documentation.";
inline constexpr const char* kTimeout = "Timeout expired";

// Thrown by the driver; carries the class so that callers can decide
// whether the connection may be used again.
inline FailureKind kindOf(Failure f) {
    switch (f) {
    case Failure::unreachable: return FailureKind::NoServer;
    case Failure::network: return FailureKind::Network;
    case Failure::timeout: return FailureKind::Timeout;
    default: return FailureKind::Unknown;  // the server's or the login's own words
    }
}

class OdbcError : public Error {
public:
    OdbcError(Failure failure, const std::string& description) : Error(description, kindOf(failure)), failure_(failure) {}
    Failure failure() const { return failure_; }

private:
    Failure failure_;
};

[[noreturn]] void fail(SQLSMALLINT handleType, SQLHANDLE handle, Phase phase, const std::string& user);

}  // namespace dz::db::odbc
