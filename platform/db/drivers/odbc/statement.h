// One command on an open connection: parameters bound by type and
// direction, the first record set read into memory, return status and
// output parameters written back.
#pragma once

#include <string>

#include "platform/db/driver.h"
#include "platform/db/drivers/odbc/session.h"

namespace dz::db::odbc {

struct RunState {
    bool sent = false;     // the request may have reached the server
    bool reusable = true;  // the connection may serve another call
};

// Runs the request. Throws OdbcError for a failure of the driver or the
// server, Error for a parameter that cannot be converted (then nothing was
// sent). A connection that breaks after rows were read gives those rows,
// with the failure planted on the first row that did not come.
Response run(Session& session, Request& request, RunState& state);

// The ODBC call text of a stored procedure: "{? = call name(?,?)}".
std::string callText(const std::string& procedure, size_t parameters);

// Date and time text "yyyy-mm-dd[ hh:mm:ss[.fff]]" ("T" or a blank between,
// "-" or "/" in the date) as a timestamp; false when it is not a valid one.
bool parseTimestamp(const std::string& text, SQL_TIMESTAMP_STRUCT& out);
// "yyyy-mm-dd hh:mm:ss" (the fraction is dropped).
std::string formatTimestamp(const SQL_TIMESTAMP_STRUCT& ts);

}  // namespace dz::db::odbc
