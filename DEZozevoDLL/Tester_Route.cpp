// The route check: may this unit be tested at this station now?
#include "DEZozevoDLL/Query.h"
#include "DEZozevoDLL/Tester.h"

namespace dz {

int32_t Tester::CheckRoute10(const std::string& strUnitSN, const std::string& strStation) {
    try {
        db::Command cmd = storedProcedure("uspCheckRouting");
        cmd.append("@Product", db::adVarChar, db::adParamInput, strUnitSN);
        cmd.append("@Station", db::adVarChar, db::adParamInput, strStation);
        cmd.execute();
        const int32_t status = cmd.value("@RETURN_VALUE").toInt32();
        if (status > 0) log("CheckRoute10 returned value=" + std::to_string(status), 1);
        return status;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        return calcErr(e);
    }
}

}  // namespace dz
