#include "component/OrderService.h"

#include "component/Query.h"

namespace dz {

namespace {

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

// The station asked for: the argument as given, else the INI station.
std::string OrderService::stationOr(const std::string& given) const {
    return given.empty() ? context.settings.station : given;
}

// <WOINFO> of the station's work order, from the first row only.
int32_t OrderService::info(std::string& strWorkOrderInfo, const std::string& strStationName) {
    db::Command cmd = storedProcedure(context, context.profile.orderInfoProcedure());
    cmd.append("@Station", db::adVarChar, db::adParamInput, stationOr(strStationName));
    return runQuery(log, cmd,
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
// This query and the model attributes' name the connection after the
// parameters and ask for a client-side cursor; the client reads every record
// set client-side, so the order makes no difference here.
int32_t OrderService::byStation(std::string& strWorkOrderInfo, const std::string& strStationName) {
    const std::string station = stationOr(strStationName);
    db::Command cmd = storedProcedure(context, context.profile.ordersByStationProcedure());
    cmd.append("@Station", db::adVarChar, db::adParamInput, station);
    return runQuery(log, cmd,
                    {.worker = "GetOrderInfoByStation10_20",
                     .read =
                         [&station](db::Recordset& rs) {
                             std::string doc = "<WOBYSTATION STATION=\"" + escapedXml(station) + "\">";
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
int32_t OrderService::modelAttributes(std::string& strModelInfo, const std::string& strPartNumber,
                                      const std::string& strPartRev) {
    db::Command cmd = storedProcedure(context, context.profile.modelAttributesProcedure());
    cmd.append("@PartNumber", db::adVarChar, db::adParamInput, strPartNumber);
    cmd.append("@Revision", db::adVarChar, db::adParamInput, strPartRev);
    return runQuery(log, cmd,
                    {.worker = "GetModelAttributes10_20",
                     .read =
                         [&](db::Recordset& rs) {
                             std::string doc = "<MODELATTR PARTNUMBER=\"" + escapedXml(strPartNumber) + "\"";
                             if (!strPartRev.empty()) doc += " REVISION=\"" + escapedXml(strPartRev) + "\"";
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
