// Unit info: what the database holds for one serial number.
#include <optional>

#include "DEZozevoDLL/Query.h"
#include "DEZozevoDLL/Results.h"
#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"

namespace dz {

using results::need;

namespace {

constexpr const char* kUnitInfoNamespace = "urn:GetUnitInfo-schema";
// The validator's code for a root element that the schema does not declare.
constexpr long kRootNotDeclared = 1845;

// A field as text, without a copy when it is one; Null gives "".
std::string_view fieldText(const db::Value& v, std::string& scratch) {
    if (v.isText()) return std::get<std::string>(v.raw());
    scratch = textOr(v);
    return scratch;
}

// The unit document from name/value rows. Five columns is the grouped form:
// sorted so that ungrouped items come first and each named group is one run.
// Written once into one buffer; both envelopes are ten characters, so the
// opening one is filled in at the end.
std::string unitDocument(db::Recordset& rs) {
    const bool grouped = rs.fieldCount() == 5;
    if (grouped) rs.sort("GName ASC, ID ASC");
    const size_t nameAt = rs.index("FName"), valueAt = rs.index("FValue");
    const size_t groupAt = grouped ? rs.index("GName") : 0;
    std::string out(10, ' '), group, previous, closing, scratch;
    size_t estimate = 32;
    for (const auto& row : rs.rows())
        for (size_t i : {nameAt, valueAt})
            if (i < row.size() && row[i].isText()) estimate += std::get<std::string>(row[i].raw()).size() + 60;
    out.reserve(estimate);
    while (!rs.eof()) {
        if (grouped) group = textOr(rs.field(groupAt));
        const bool upper = !group.empty();
        const std::string name = Tester::EscapeXml(fieldText(rs.field(nameAt), scratch));
        const std::string value = Tester::EscapeXml(fieldText(rs.field(valueAt), scratch));
        if (group != previous) {
            out += closing;
            out += "<GROUP name=\"";
            out += Tester::EscapeXml(group);
            out += "\">";
            previous = group;
            if (!group.empty()) closing = "</GROUP>";
        }
        out += upper ? "<UNITDATA><NAME type=\"char\">" : "<UnitData><Name>";
        out += name;
        out += upper ? "</NAME><VALUE>" : "</Name><Value>";
        out += value;
        out += upper ? "</VALUE></UNITDATA>" : "</Value></UnitData>";
        rs.moveNext();
    }
    out += closing;
    out += group.empty() ? "</UnitInfo>" : "</UNITINFO>";
    out.replace(0, 10, group.empty() ? "<UnitInfo>" : "<UNITINFO>");
    return out;
}

}  // namespace

// ---- generation 10 -------------------------------------------------------

int32_t Tester::GetUnitInfo10(std::string strRequest, std::string& strUnitInfo, std::string strStationName) {
    ModVariables& mv = modVariables();
    try {
        // A result kept after a network failure goes first; while it cannot
        // be stored the station gets no unit data.
        if (mv.ResendOnNetErr == "YES") {
            const int32_t resent = ResendLastResult();
            if (resent > 0) return resent;
        }
        log(strRequest, 2);

        const auto docRef = mv.UnitRequestDocument;
        xml::Document& doc = need(docRef);
        if (!doc.loadXML(strRequest))
            throw xml::Error("the request cannot be read: " + doc.parseError().reason);
        const std::optional<std::string> serial = doc.rootAttribute("SerialNumber");
        if (!serial) throw xml::Error("the request's root element has no SerialNumber attribute");

        db::Command cmd = storedProcedure("uspGetUnitInfo");
        cmd.append("@ProdSN", db::adVarChar, db::adParamInput, *serial);
        cmd.append("@station", db::adVarChar, db::adParamInput,
                   strStationName.empty() ? mv.StationName : strStationName);
        db::Recordset rs = cmd.execute();

        const QueryAnswer answer = readShape(rs);
        if (answer.shape == Shape::NoRow) {
            log("No Record returned", 1);
            return answer.status;
        }
        if (answer.shape == Shape::ErrorCode) {
            log("GetUnitInfo returned =" + std::to_string(answer.status), 1);
            return answer.status;
        }
        // Joined apart from the caller's text, so a failure half way leaves it as it was.
        std::string pieces;
        while (!rs.eof()) {
            pieces += textOr(rs.field("strXML"));
            rs.moveNext();
        }
        strUnitInfo += pieces;
        log(strUnitInfo, 2);
        return 0;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        return calcErr(e.what());
    }
}

// ---- generation 20 and later ---------------------------------------------

int32_t Tester::GetUnitInfo20(std::string strRequest, std::string& strUnitInfo, std::string strStationName,
                              std::string strUserID) {
    ModVariables& mv = modVariables();
    std::optional<db::Command> cmd;
    strUnitInfo.clear();
    try {
        const std::string now = results::localTimeText();
        const std::string station =
            "<StationInfo Description=\"" + Tester::EscapeXml(strStationName.empty() ? mv.StationName : strStationName) +
            "\"/>";
        log(strRequest, 2);

        const auto docRef = mv.ValidatedRequestDocument;
        const auto styleRef = mv.UnitInfoStyleSheet;
        xml::Document& doc = need(docRef);
        doc.loadXML(strRequest);
        xml::ParseError pe = doc.parseError();
        // Only a request that the unit-info schema has actually checked goes on.
        if (pe.errorCode == 0 &&
            (!doc.schemas() || !doc.schemas()->has(kUnitInfoNamespace) ||
             doc.selectNodes("/*[namespace-uri() = 'urn:GetUnitInfo-schema']").empty()))
            pe = {kRootNotDeclared, std::string("the request's root element is not declared by the schema of ") +
                                        kUnitInfoNamespace};
        if (pe.errorCode != 0) {
            log(std::to_string(pe.errorCode) + " " + pe.reason, 1);
            return 10;
        }

        xml::Document& style = need(styleRef);
        style.setProperty("AllowXsltScript", true);
        const std::string serialNumber = doc.transformNode(style);

        cmd.emplace(storedProcedure(mv.SPToGetUnitInfo));
        cmd->append("RETURN", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd->append("@xmlSerialNumber", db::adVarChar, db::adParamInput, serialNumber);
        cmd->append("@xmlStation", db::adVarChar, db::adParamInput, station);
        if (mv.ServerRevision >= 2) {
            if (strUserID.empty())
                cmd->append("@UserID", db::adVarChar, db::adParamInput, db::Value(), 10);
            else
                cmd->append("@UserID", db::adVarChar, db::adParamInput, strUserID);
        }
        cmd->append("@EnterTime", db::adDBTimeStamp, db::adParamInput, now, 0);
        cmd->append("@ExitTime", db::adDBTimeStamp, db::adParamInput, now, 0);
        db::Recordset rs = cmd->execute();

        const QueryAnswer answer = readShape(rs);
        if (answer.shape == Shape::NoRow) {
            log("No Record returned", 1);
            return answer.status;
        }
        if (answer.shape == Shape::ErrorCode) {
            log("GetUnitInfo20 returned =" + std::to_string(answer.status), 1);
            return answer.status;
        }
        strUnitInfo = unitDocument(rs);
        log(strUnitInfo, 2);
        return 0;
    } catch (const std::exception& e) {
        log(e.what(), 1);
        return results::returnOr9999(cmd);
    }
}

}  // namespace dz
