// Calibration data of a station and fixture: read as XML pieces that the
// database composes, and stored as one document.
#include "DEZozevoDLL/Query.h"
#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
#include "platform/text.h"

namespace dz {

// The "strXML" pieces of all rows are added to what the caller passed.
int32_t Tester::GetCalibrationInfo10(std::string& strCalibrationInfo, std::string strStationName,
                                     std::string strFixture) {
    db::Command cmd = storedProcedure("uspGetCalibrationInfo");
    cmd.append("@station", db::adVarChar, db::adParamInput,
               strStationName.empty() ? modVariables().StationName : strStationName);
    if (strFixture.empty())
        cmd.append("@fixture", db::adVarChar, db::adParamInput, db::Value(), 10L);  // Null: any fixture
    else
        cmd.append("@fixture", db::adVarChar, db::adParamInput, strFixture);

    return runQuery(*this, cmd,
                    {.worker = "GetCalibrationInfo10",
                     .read =
                         [](db::Recordset& rs) {
                             std::string pieces;
                             for (; !rs.eof(); rs.moveNext()) pieces += textOr(rs.field("strXML"));
                             return pieces;
                         },
                     .output = Output::Append,
                     .logOutput = true,
                     // names the station as the caller gave it, empty when it gave none
                     .noRowLog = "No Record returned for GetCalibrationInfo10. Station=" + strStationName},
                    strCalibrationInfo);
}

// The procedure's return value is the status. Apostrophes are doubled
// before sending, as the procedure expects them.
int32_t Tester::SaveCalibration10(std::string strCalibration) {
    try {
        db::Command cmd = storedProcedure("uspSaveCalibration");
        cmd.append("return", db::adInteger, db::adParamReturnValue, 0, 0L);
        cmd.append("@xmlCalibration", db::adLongVarChar, db::adParamInput,
                   text::replaceAll(strCalibration, "'", "''"));
        cmd.execute();
        const int32_t status = cmd.value("return").toInt32();
        if (status > 0) log("SaveCalibration10 returned value=" + std::to_string(status), 1);
        return status;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        return calcErr(e);
    }
}

}  // namespace dz
