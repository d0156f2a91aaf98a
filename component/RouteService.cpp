#include "component/RouteService.h"

#include "component/Failures.h"
#include "component/Query.h"

namespace dz {

int32_t RouteService::check(const std::string& unit, const std::string& station) {
    try {
        db::Command cmd = storedProcedure(context, "uspCheckRouting");
        cmd.append("@Product", db::adVarChar, db::adParamInput, unit);
        cmd.append("@Station", db::adVarChar, db::adParamInput, station);
        cmd.execute();
        const int32_t status = cmd.value("@RETURN_VALUE").toInt32();
        if (status > 0) log("CheckRoute10 returned value=" + std::to_string(status), 1);
        return status;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        return statusOf(e);
    }
}

}  // namespace dz
