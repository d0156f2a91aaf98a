#include "DEZozevoDLL/Query.h"

#include "DEZozevoDLL/modVariables.h"

namespace dz {

QueryAnswer readShape(const db::Recordset& rs) {
    if (rs.bof() || rs.eof()) return {Shape::NoRow, kNoRow};  // a closed set throws
    if (rs.fieldCount() == 1) return {Shape::ErrorCode, rs.field("ERROR").toInt32()};
    return {Shape::Data, 0};
}

db::Command storedProcedure(std::string_view name) {
    db::Command cmd;
    cmd.activeConnection = modVariables().ConnectString;
    cmd.timeout = modVariables().CommandTimeout;
    cmd.text = std::string(name);
    cmd.type = db::adCmdStoredProc;
    return cmd;
}

}  // namespace dz
