#include "component/Query.h"

#include "component/Context.h"
#include "component/Failures.h"
#include "component/Log.h"

namespace dz {

QueryAnswer readShape(const db::Recordset& rs) {
    if (rs.bof() || rs.eof()) return {Shape::NoRow, kNoRow};  // a closed set throws
    if (rs.fieldCount() == 1) return {Shape::ErrorCode, rs.field("ERROR").toInt32()};
    return {Shape::Data, 0};
}

db::Command storedProcedure(const Context& context, std::string_view name) {
    db::Command cmd;
    cmd.activeConnection = context.connections.working;
    cmd.client = context.settings.client;
    cmd.timeout = context.settings.commandTimeout;
    cmd.text = std::string(name);
    cmd.type = db::adCmdStoredProc;
    return cmd;
}

int32_t runQuery(Log& log, db::Command& cmd, const QueryRules& rules, std::string& out) {
    try {
        db::Recordset rs = cmd.execute();
        const QueryAnswer answer = readShape(rs);
        switch (answer.shape) {
        case Shape::NoRow:
            if (!rules.noRowLog.empty()) log(rules.noRowLog, 1);
            return answer.status;
        case Shape::ErrorCode:
            log(std::string(rules.worker) + " returned =" + std::to_string(answer.status), 1);
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
        if (rules.logOutput) log(out, 2);
        return 0;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        return statusOf(e);
    }
}

std::string textOr(const db::Value& v, std::string_view ifNull) {
    return v.isNull() ? std::string(ifNull) : v.toText();
}

}  // namespace dz
