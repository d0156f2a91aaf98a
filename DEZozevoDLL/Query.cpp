#include "DEZozevoDLL/Query.h"

#include "DEZozevoDLL/Tester.h"
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

int32_t runQuery(Tester& tester, db::Command& cmd, const QueryRules& rules, std::string& out) {
    try {
        db::Recordset rs = cmd.execute();
        const QueryAnswer answer = readShape(rs);
        switch (answer.shape) {
        case Shape::NoRow:
            if (!rules.noRowLog.empty()) tester.log(rules.noRowLog, 1);
            return answer.status;
        case Shape::ErrorCode:
            tester.log(std::string(rules.worker) + " returned =" + std::to_string(answer.status), 1);
            return answer.status;
        case Shape::Data:
            break;
        }
        std::string text = rules.read(rs);
        rs.close();
        if (rules.output == Output::Append)
            out += text;
        else
            out = std::move(text);
        if (rules.logOutput) tester.log(out, 2);
        return 0;
    } catch (const std::exception& e) {
        tester.log(e.what(), 1);
        return Tester::calcErr(e);
    }
}

std::string textOr(const db::Value& v, std::string_view ifNull) {
    return v.isNull() ? std::string(ifNull) : v.toText();
}

}  // namespace dz
