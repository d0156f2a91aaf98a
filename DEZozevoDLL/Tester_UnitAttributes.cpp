// The attributes the database holds for a unit, as a flat <UNITINFO> list.
#include "DEZozevoDLL/Query.h"
#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"

namespace dz {

// The request goes to the procedure unread. Names and values are escaped, so
// the list stays well-formed whatever text the units carry.
int32_t Tester::GetUnitAttributes10(std::string strRequest, std::string& strUnitInfo, std::string strStationName) {
    const ModVariables& mv = modVariables();
    log(strRequest, 2);

    db::Command cmd = storedProcedure("uspGetUnitAttributes");
    cmd.append("@strXML", db::adLongVarChar, db::adParamInput, strRequest);
    if (!strStationName.empty())
        cmd.append("@station", db::adVarChar, db::adParamInput, strStationName);
    else  // the INI station travels as wide character data
        cmd.append("@station", db::adVarWChar, db::adParamInput, mv.StationName);
    if (mv.SaveAsTempSN != "None")  // exactly "None": other spellings are sent
        cmd.append("@SaveAsTempSN", db::adVarChar, db::adParamInput, mv.SaveAsTempSN);

    return runQuery(*this, cmd,
                    {.worker = "GetUnitAttributes10",
                     .read =
                         [](db::Recordset& rs) {
                             std::string doc = "<UNITINFO>";
                             for (; !rs.eof(); rs.moveNext()) {
                                 // A row without a name has no value either, whatever "FVal" holds.
                                 const db::Value& name = rs.field("FN");
                                 const db::Value& value = rs.field("FVal");
                                 doc += "<UNITDATA><NAME>" + EscapeXml(textOr(name)) + "</NAME><VALUE>" +
                                        (name.isNull() ? std::string() : EscapeXml(textOr(value))) +
                                        "</VALUE></UNITDATA>";
                             }
                             return doc + "</UNITINFO>";
                         },
                     .output = Output::Replace,
                     .logOutput = true,
                     .noRowLog = ""},
                    strUnitInfo);
}

}  // namespace dz
