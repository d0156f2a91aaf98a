#include "component/UnitInfoService.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "component/Failures.h"
#include "component/Query.h"
#include "component/ResultService.h"
#include "component/Results.h"
#include "platform/text.h"

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

void appendItem(std::string& out, bool upper, std::string_view name, std::string_view value) {
    out += upper ? "<UNITDATA><NAME type=\"char\">" : "<UnitData><Name>";
    appendEscapedXml(out, name);
    out += upper ? "</NAME><VALUE>" : "</Name><Value>";
    appendEscapedXml(out, value);
    out += upper ? "</VALUE></UNITDATA>" : "</Value></UnitData>";
}

// The rows of one group name (Null apart from any text), in arrival order.
struct Bucket {
    const db::Value* key;
    long long lastId;
    std::string xml;
};

// The grouped document without moving rows: each row's markup goes to its
// group's buffer as the rows lie in memory, and the buffers are joined in
// group order. This is the order of "GName ASC, ID ASC" when every group
// name is Null or text and each group's integer IDs arrive ascending, as
// the procedure sends them; otherwise nothing is returned.
std::optional<std::string> groupedInPlace(const db::Recordset& rs, size_t idAt, size_t groupAt, size_t nameAt,
                                          size_t valueAt, size_t estimate) {
    std::vector<Bucket> buckets;
    std::unordered_map<std::string_view, size_t> byName;
    size_t nullBucket = SIZE_MAX;
    std::string nameScratch, valueScratch;
    for (const auto& row : rs.rows()) {
        const db::Value &g = row[groupAt], &id = row[idAt];
        if (!id.isInteger() || !(g.isNull() || g.isText())) return std::nullopt;
        size_t& at = g.isNull() ? nullBucket
                                : byName.try_emplace(std::get<std::string>(g.raw()), SIZE_MAX).first->second;
        const long long n = std::get<long long>(id.raw());
        if (at == SIZE_MAX) {
            at = buckets.size();
            buckets.push_back({&g, n, {}});
        } else if (n < buckets[at].lastId) {
            return std::nullopt;
        }
        Bucket& b = buckets[at];
        b.lastId = n;
        appendItem(b.xml, !g.isNull() && !std::get<std::string>(g.raw()).empty(),
                   fieldText(row[nameAt], nameScratch), fieldText(row[valueAt], valueScratch));
    }
    std::vector<Bucket*> order;
    for (Bucket& b : buckets) order.push_back(&b);
    std::sort(order.begin(), order.end(), [](const Bucket* a, const Bucket* b) {
        if (a->key->isNull() || b->key->isNull()) return a->key->isNull() && !b->key->isNull();
        return std::get<std::string>(a->key->raw()) < std::get<std::string>(b->key->raw());
    });
    std::string out(10, ' ');  // the envelope, filled in at the end
    out.reserve(estimate);
    std::string_view last;
    for (const Bucket* b : order) {
        const std::string_view name = b->key->isNull() ? std::string_view() : std::get<std::string>(b->key->raw());
        if (!name.empty()) {
            if (!last.empty()) out += "</GROUP>";
            out += "<GROUP name=\"";
            appendEscapedXml(out, name);
            out += "\">";
        }
        out += b->xml;
        last = name;
    }
    if (!last.empty()) out += "</GROUP>";
    out += last.empty() ? "</UnitInfo>" : "</UNITINFO>";
    out.replace(0, 10, last.empty() ? "<UnitInfo>" : "<UNITINFO>");
    return out;
}

// The unit document from name/value rows. Five columns is the grouped form:
// ungrouped items come first and each named group is one run, in ID order.
std::string unitDocument(db::Recordset& rs) {
    const bool grouped = rs.fieldCount() == 5;
    const size_t nameAt = rs.index("FName"), valueAt = rs.index("FValue");
    size_t estimate = 32;
    for (const auto& row : rs.rows())
        for (size_t i : {nameAt, valueAt})
            if (i < row.size() && row[i].isText()) estimate += std::get<std::string>(row[i].raw()).size() + 60;
    if (grouped) {
        std::optional<std::string> done =
            groupedInPlace(rs, rs.index("ID"), rs.index("GName"), nameAt, valueAt, estimate);
        if (done) return std::move(*done);
        rs.sort("GName ASC, ID ASC");
    }
    const size_t groupAt = grouped ? rs.index("GName") : 0;
    // Written once into one buffer; both envelopes are ten characters, so the
    // opening one is filled in at the end.
    std::string out(10, ' '), group, previous, closing, nameScratch, valueScratch;
    out.reserve(estimate);
    while (!rs.eof()) {
        if (grouped) group = textOr(rs.field(groupAt));
        const bool upper = !group.empty();
        if (group != previous) {
            out += closing;
            out += "<GROUP name=\"";
            appendEscapedXml(out, group);
            out += "\">";
            previous = group;
            if (!group.empty()) closing = "</GROUP>";
        }
        appendItem(out, upper, fieldText(rs.field(nameAt), nameScratch), fieldText(rs.field(valueAt), valueScratch));
        rs.moveNext();
    }
    out += closing;
    out += group.empty() ? "</UnitInfo>" : "</UNITINFO>";
    out.replace(0, 10, group.empty() ? "<UnitInfo>" : "<UNITINFO>");
    return out;
}

}  // namespace

// ---- generation 10 -------------------------------------------------------

int32_t UnitInfoService::get10(const std::string& strRequest, std::string& strUnitInfo,
                               const std::string& strStationName) {
    try {
        // A result kept after a network failure goes first; while it cannot
        // be stored the station gets no unit data.
        if (context.settings.resendOnNetErr == "YES") {
            const int32_t resent = results.resendKept(false);
            if (resent > 0) return resent;
        }
        log(strRequest, 2);

        const auto docRef = context.documents.unitRequest;
        xml::Document& doc = need(docRef);
        if (!doc.loadXML(strRequest))
            throw xml::Error("the request cannot be read: " + doc.parseError().reason);
        const std::optional<std::string> serial = doc.rootAttribute("SerialNumber");
        if (!serial) throw xml::Error("the request's root element has no SerialNumber attribute");

        db::Command cmd = storedProcedure(context, "uspGetUnitInfo");
        cmd.append("@ProdSN", db::adVarChar, db::adParamInput, *serial);
        cmd.append("@station", db::adVarChar, db::adParamInput,
                   strStationName.empty() ? context.settings.station : strStationName);
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
        return statusOf(e);
    }
}

// ---- generation 20 and later ---------------------------------------------

int32_t UnitInfoService::get20(const std::string& strRequest, std::string& strUnitInfo,
                               const std::string& strStationName, const std::string& strUserID) {
    std::optional<db::Command> cmd;
    strUnitInfo.clear();
    try {
        // Kept results go first, as on generation 10, when this generation
        // keeps them too or a result was kept while no database was reached.
        if (context.settings.resendOnNetErr == "YES" && (context.settings.resendOnGeneration20 || results.replayOwed())) {
            const int32_t resent = results.resendKept(false);
            if (resent > 0) return resent;
            results.replayDone();
        }
        const std::string now = text::localStamp("%Y-%m-%d %H:%M:%S");
        const std::string station =
            "<StationInfo Description=\"" + escapedXml(strStationName.empty() ? context.settings.station : strStationName) +
            "\"/>";
        log(strRequest, 2);

        const auto docRef = context.documents.validatedRequest;
        const auto styleRef = context.documents.unitInfoStyleSheet;
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

        cmd.emplace(storedProcedure(context, context.settings.unitInfoProcedure));
        cmd->append("RETURN", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd->append("@xmlSerialNumber", db::adVarChar, db::adParamInput, serialNumber);
        cmd->append("@xmlStation", db::adVarChar, db::adParamInput, station);
        if (context.profile.revision >= 2) {
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
