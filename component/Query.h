// The shape every query worker shares: one stored procedure on the working
// connection, then its first record set says one of three things.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/db/db.h"
#include "platform/xml/escape.h"

namespace dz {

struct Context;
class Log;

inline constexpr int32_t kNoRow = 6000;

enum class Shape {
    NoRow,      // the procedure returned no row: status 6000
    ErrorCode,  // one column, "ERROR": its value is the status
    Data,       // rows to read
};

struct QueryAnswer {
    Shape shape = Shape::Data;
    int32_t status = 0;
};

// Reads the shape of a record set at its first row. A one-column set whose
// column is not "ERROR", or whose value does not convert, throws db::Error.
QueryAnswer readShape(const db::Recordset& rs);

// A stored-procedure command on the working connection with the INI's time-out.
db::Command storedProcedure(const Context& context, std::string_view name);

// How the text read from the rows reaches the caller's output.
enum class Output {
    Replace,  // the output becomes the text
    Append,   // the text is added to what the caller passed
};

// What a query worker says about its answer; runQuery does the rest.
struct QueryRules {
    std::string_view worker;  // names the worker in "<worker> returned =<code>"
    // Turns the data rows into text; the record set stands at its first row.
    // Any db::Error (a Null where text is required, a missing column) fails the call.
    std::function<std::string(db::Recordset&)> read;
    Output output = Output::Replace;
    bool logOutput = false;   // log the whole output at level 2 on success
    std::string noRowLog;     // level-1 line when no row comes back; empty: none
};

// Executes `cmd` and answers in the shared shape:
//  - no row: 6000 (and rules.noRowLog);
//  - one column "ERROR": its value, logged at level 1 as "<worker> returned =<code>";
//  - data: 0, with `out` written from the rows as rules.output says.
// A failure is logged at level 1 as the client describes it and classified
// by statusOf. `out` is written only when the rows were read whole,
// so a failure half way never leaves a partial document behind.
int32_t runQuery(Log& log, db::Command& cmd, const QueryRules& rules, std::string& out);

// A field's text, or `ifNull` for a Null.
std::string textOr(const db::Value& v, std::string_view ifNull = "");

inline void appendEscapedXml(std::string& out, std::string_view text) { xml::appendEscaped(out, text); }
inline std::string escapedXml(std::string_view text) { return xml::escaped(text); }

}  // namespace dz
