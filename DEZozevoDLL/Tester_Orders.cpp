// Work orders of a station and attributes of a model, as XML text; and the
// escaping of text for XML content.
#include "DEZozevoDLL/Query.h"
#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"

namespace dz {

namespace {

// The station asked for: the argument as given, else the INI station.
std::string stationOr(const std::string& given) { return given.empty() ? modVariables().StationName : given; }

bool generation10() { return modVariables().ServerGeneration == 10; }

// <TAG>content</TAG>, the content escaped.
void element(std::string& doc, std::string_view tag, std::string_view content) {
    doc.append("<").append(tag).append(">");
    appendEscapedXml(doc, content);
    doc.append("</").append(tag).append(">");
}

// The word for a work order's status id; anything that is not one of the
// eight ids, a Null or a non-number included, is "NotDefined".
std::string_view orderStatus(const db::Value& id) {
    static constexpr std::string_view kWords[] = {"Planned", "Released", "Active",   "Completed",
                                                  "Force-Closed", "Shipped", "Hold", "Canceled"};
    if (id.isNull()) return "NotDefined";
    double n = 0;
    try {
        n = id.toDouble();
    } catch (const db::Error&) {
        return "NotDefined";
    }
    for (int i = 1; i <= 8; ++i)
        if (n == i) return kWords[i - 1];
    return "NotDefined";
}

}  // namespace

std::string Tester::EscapeXml(std::string_view text) { return xml::escaped(text); }

// <WOINFO> of the station's work order, from the first row only.
int32_t Tester::GetOrderInfo10_20(std::string& strWorkOrderInfo, std::string strStationName) {
    db::Command cmd = storedProcedure(generation10() ? "uspGetOrderInfo" : "uspPDOGetOrderInfo");
    cmd.append("@Station", db::adVarChar, db::adParamInput, stationOr(strStationName));
    return runQuery(*this, cmd,
                    {.worker = "GetOrderInfo10_20",
                     .read =
                         [](db::Recordset& rs) {
                             std::string doc = "<WOINFO>";
                             element(doc, "WONUM", rs.field("WONUM").toText());  // Null fails
                             element(doc, "ORDERQTY", textOr(rs.field("ORDERQTY")));
                             element(doc, "STARTEDQTY", textOr(rs.field("STARTEDQTY"), "0"));
                             element(doc, "COMPLETED", textOr(rs.field("COMPLETED"), "0"));
                             element(doc, "WOID", textOr(rs.field("WORKORDERID")));
                             return doc + "</WOINFO>";
                         },
                     .output = Output::Replace,
                     .logOutput = false,
                     .noRowLog = ""},
                    strWorkOrderInfo);
}

// WOBYSTATION: one <WO> per row, in the order of the rows.
//
// This worker and GetModelAttributes10_20 name the connection after the
// parameters and ask for a client-side cursor; the client reads every record
// set client-side, so the order makes no difference here.
int32_t Tester::GetOrderInfoByStation10_20(std::string& strWorkOrderInfo, std::string strStationName) {
    const std::string station = stationOr(strStationName);
    db::Command cmd = storedProcedure(generation10() ? "uspGetOrderInfoByStation" : "uspPDOGetOrderInfoByStation");
    cmd.append("@Station", db::adVarChar, db::adParamInput, station);
    return runQuery(*this, cmd,
                    {.worker = "GetOrderInfoByStation10_20",
                     .read =
                         [&station](db::Recordset& rs) {
                             std::string doc = "<WOBYSTATION STATION=\"" + EscapeXml(station) + "\">";
                             for (; !rs.eof(); rs.moveNext()) {
                                 const std::string_view status = orderStatus(rs.field("WORKORDERSTATUSID"));
                                 doc += "<WO>";
                                 element(doc, "LINEPRIORITY", textOr(rs.field("LINEPRIORITY")));
                                 element(doc, "LINEQTY", textOr(rs.field("LINEQTY")));
                                 element(doc, "LINESTARTQTY", textOr(rs.field("LINESTARTQTY")));
                                 element(doc, "LINEREADYQTY", textOr(rs.field("LINEREADYQTY")));
                                 element(doc, "WORKORDERID", textOr(rs.field("WORKORDERID")));
                                 element(doc, "WORKORDERNUMBER", rs.field("WORKORDERNUMBER").toText());
                                 element(doc, "PARTNUMBER", rs.field("PARTNUMBER").toText());
                                 element(doc, "REVISION", textOr(rs.field("REVISION")));
                                 element(doc, "STARTEDQTY", textOr(rs.field("STARTEDQUANTITIES"), "0"));
                                 element(doc, "READYQTY", textOr(rs.field("TOTALCOMPLETED"), "0"));
                                 element(doc, "ORDERSTATUS", status);
                                 for (const char* detail : {"DETAIL1", "DETAIL2", "DETAIL3", "DETAIL4", "DETAIL5"})
                                     element(doc, detail, textOr(rs.field(detail)));
                                 doc += "</WO>";
                             }
                             return doc + "</WOBYSTATION>";
                         },
                     .output = Output::Replace,
                     .logOutput = true,
                     .noRowLog = ""},
                    strWorkOrderInfo);
}

// MODELATTR: one <ATTR> per row; "@Revision" is sent also when empty.
int32_t Tester::GetModelAttributes10_20(std::string& strModelInfo, std::string strPartNumber,
                                        std::string strPartRev) {
    db::Command cmd =
        storedProcedure(generation10() ? "uspGetModelAttributeByPartNumber" : "uspPSTGetDetailByPartNumber");
    cmd.append("@PartNumber", db::adVarChar, db::adParamInput, strPartNumber);
    cmd.append("@Revision", db::adVarChar, db::adParamInput, strPartRev);
    return runQuery(*this, cmd,
                    {.worker = "GetModelAttributes10_20",
                     .read =
                         [&](db::Recordset& rs) {
                             std::string doc = "<MODELATTR PARTNUMBER=\"" + EscapeXml(strPartNumber) + "\"";
                             if (!strPartRev.empty()) doc += " REVISION=\"" + EscapeXml(strPartRev) + "\"";
                             doc += ">";
                             for (; !rs.eof(); rs.moveNext()) {
                                 doc += "<ATTR>";
                                 element(doc, "NAME", rs.field("AttributeName").toText());  // Null fails
                                 element(doc, "VALUE", textOr(rs.field("AttributeValue")));
                                 doc += "</ATTR>";
                             }
                             return doc + "</MODELATTR>";
                         },
                     .output = Output::Replace,
                     .logOutput = true,
                     .noRowLog = ""},
                    strModelInfo);
}

}  // namespace dz
