// The shape every query worker shares: one stored procedure on the working
// connection, then its first record set says one of three things.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/db/db.h"

namespace dz {

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

// A stored-procedure command on the thread's ConnectString with its CommandTimeout.
db::Command storedProcedure(std::string_view name);

}  // namespace dz
