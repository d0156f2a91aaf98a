#include "component/AttributeService.h"

#include "component/Failures.h"
#include "component/Query.h"
#include "platform/text.h"

namespace dz {

// The request goes to the procedure unread. Names and values are escaped, so
// the list stays well-formed whatever text the units carry.
int32_t AttributeService::unitAttributes(const std::string& strRequest, std::string& strUnitInfo,
                                         const std::string& strStationName) {
    const Settings& settings = context.settings;
    log(strRequest, 2);

    db::Command cmd = storedProcedure(context, "uspGetUnitAttributes");
    cmd.append("@strXML", db::adLongVarChar, db::adParamInput, strRequest);
    if (!strStationName.empty())
        cmd.append("@station", db::adVarChar, db::adParamInput, strStationName);
    else  // the INI station travels as wide character data
        cmd.append("@station", db::adVarWChar, db::adParamInput, settings.station);
    if (settings.saveAsTempSN != "None")  // exactly "None": other spellings are sent
        cmd.append("@SaveAsTempSN", db::adVarChar, db::adParamInput, settings.saveAsTempSN);

    return runQuery(log, cmd,
                    {.worker = "GetUnitAttributes10",
                     .read =
                         [](db::Recordset& rs) {
                             std::string doc = "<UNITINFO>";
                             for (; !rs.eof(); rs.moveNext()) {
                                 // A row without a name has no value either, whatever "FVal" holds.
                                 const db::Value& name = rs.field("FN");
                                 const db::Value& value = rs.field("FVal");
                                 doc += "<UNITDATA><NAME>" + escapedXml(textOr(name)) + "</NAME><VALUE>" +
                                        (name.isNull() ? std::string() : escapedXml(textOr(value))) +
                                        "</VALUE></UNITDATA>";
                             }
                             return doc + "</UNITINFO>";
                         },
                     .output = Output::Replace,
                     .logOutput = true,
                     .noRowLog = ""},
                    strUnitInfo);
}

// The "strXML" pieces of all rows are added to what the caller passed.
int32_t AttributeService::calibrationInfo(std::string& strCalibrationInfo, const std::string& strStationName,
                                          const std::string& strFixture) {
    db::Command cmd = storedProcedure(context, "uspGetCalibrationInfo");
    cmd.append("@station", db::adVarChar, db::adParamInput,
               strStationName.empty() ? context.settings.station : strStationName);
    if (strFixture.empty())
        cmd.append("@fixture", db::adVarChar, db::adParamInput, db::Value(), 10L);  // Null: any fixture
    else
        cmd.append("@fixture", db::adVarChar, db::adParamInput, strFixture);

    return runQuery(log, cmd,
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
int32_t AttributeService::saveCalibration(const std::string& strCalibration) {
    try {
        db::Command cmd = storedProcedure(context, "uspSaveCalibration");
        cmd.append("return", db::adInteger, db::adParamReturnValue, 0, 0L);
        cmd.append("@xmlCalibration", db::adLongVarChar, db::adParamInput,
                   text::replaceAll(strCalibration, "'", "''"));
        cmd.execute();
        const int32_t status = cmd.value("return").toInt32();
        if (status > 0) log("SaveCalibration10 returned value=" + std::to_string(status), 1);
        return status;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        return statusOf(e);
    }
}

}  // namespace dz
