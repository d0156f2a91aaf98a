#include "binding/unitcheck.h"

#include <cctype>
#include <cstdlib>
#include <exception>
#include <filesystem>

#include "component/Tester.h"
#include "binding/call.h"
#include "platform/com/module.h"
#include "platform/xml/escape.h"
#include "platform/xml/xml.h"

namespace dz::unitcheck {

namespace {

// Reads the sample site's generation-20 unit document: the items outside any
// group "Status" (ACTIVE may be tested) and "NextStation" (the stations of the
// unit's next route step, comma-separated); a group's items are test data. Answers the sample site's codes:
// 3 due at another station, 4 on hold, 5 scrapped, 6 route completed; 9999
// when the document does not say. The document arrives wrapped in
// <UnitCheck Station="...">.
constexpr const char* kBuiltIn = R"xsl(<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<xsl:output method="text"/>
<xsl:variable name="lower" select="'abcdefghijklmnopqrstuvwxyz'"/>
<xsl:variable name="upper" select="'ABCDEFGHIJKLMNOPQRSTUVWXYZ'"/>
<xsl:template match="/UnitCheck">
  <xsl:variable name="statusItem" select="*/UnitData[Name='Status'][1]/Value"/>
  <xsl:variable name="nextItem" select="*/UnitData[Name='NextStation'][1]/Value"/>
  <xsl:variable name="status" select="translate(normalize-space($statusItem), $lower, $upper)"/>
  <xsl:variable name="next" select="translate(concat(',', translate($nextItem, ' ', ''), ','), $lower, $upper)"/>
  <xsl:variable name="station" select="translate(translate(@Station, ' ', ''), $lower, $upper)"/>
  <xsl:choose>
    <xsl:when test="not($statusItem)">9999 the unit document has no Status item</xsl:when>
    <xsl:when test="$status = 'HOLD'">4 unit is on hold</xsl:when>
    <xsl:when test="$status = 'SCRAPPED'">5 unit is scrapped</xsl:when>
    <xsl:when test="$status = 'COMPLETE'">6 unit has completed its route</xsl:when>
    <xsl:when test="$status != 'ACTIVE'">3 unit status is <xsl:value-of select="$statusItem"/>, not ACTIVE</xsl:when>
    <xsl:when test="not($nextItem)">9999 the unit document has no NextStation item</xsl:when>
    <xsl:when test="not(contains($next, concat(',', $station, ',')))">3 unit is due at <xsl:value-of select="$nextItem"/>, not at <xsl:value-of select="@Station"/></xsl:when>
    <xsl:otherwise>0</xsl:otherwise>
  </xsl:choose>
</xsl:template>
</xsl:stylesheet>)xsl";

// "N reason" from the style sheet's output.
Verdict parse(const std::string& out) {
    size_t i = 0;
    while (i < out.size() && std::isspace((unsigned char)out[i])) ++i;
    const char* begin = out.c_str() + i;
    char* end = nullptr;
    const long n = std::strtol(begin, &end, 10);
    if (end == begin || n < INT32_MIN || n > INT32_MAX)
        return {9999, "the unit check gave no verdict: \"" + out.substr(i, 80) + "\""};
    std::string reason(end);
    while (!reason.empty() && std::isspace((unsigned char)reason.front())) reason.erase(0, 1);
    while (!reason.empty() && std::isspace((unsigned char)reason.back())) reason.pop_back();
    return {int32_t(n), reason};
}

Verdict apply(xml::Document& sheet, const std::string& unitInfo, const std::string& station) {
    xml::Document doc;
    if (!doc.loadXML("<UnitCheck Station=\"" + xml::escaped(station) + "\">" + unitInfo + "</UnitCheck>"))
        return {9999, "the unit document cannot be read: " + doc.parseError().reason};
    try {
        return parse(doc.transformNode(sheet));
    } catch (const std::exception& e) {
        return {9999, std::string("the unit check failed: ") + e.what()};
    }
}

}  // namespace

const char* builtInStyleSheet() { return kBuiltIn; }

std::string request(const std::string& serial) {
    return "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"" + xml::escaped(serial) + "\"/>";
}

Verdict judge(const std::string& styleSheet, const std::string& unitInfo, const std::string& station) {
    xml::Document sheet;
    if (!sheet.loadXML(styleSheet)) return {9999, "the unit check cannot be read: " + sheet.parseError().reason};
    return apply(sheet, unitInfo, station);
}

int32_t mayTest(Tester& tester, const std::string& serial, const std::string& station, std::string& unitInfo) {
    return binding::runMethod(tester, true, [&]() -> int32_t {
        unitInfo.clear();
        const std::string at = station.empty() ? tester.getStation() : station;
        // Generation 10 (or none yet: a call may detect it) asks the database
        // for the route; the generation is read again after each call.
        bool asked = false;
        if (tester.state().generation != 20) {
            if (int32_t rc = tester.CheckRoute(serial, at)) return rc;
            asked = tester.state().generation == 10;
        }
        if (int32_t rc = tester.GetUnitInfo(request(serial), unitInfo, station, "")) return rc;
        const int generation = tester.state().generation;
        if (generation == 10 && !asked)
            if (int32_t rc = tester.CheckRoute(serial, at)) return rc;
        if (generation != 20) return 0;

        // Generation 20 and later: the unit document says whether the unit is due here.
        xml::Document sheet;
        const std::filesystem::path site = std::filesystem::path(componentFolder()) / "UnitCheck.xsl";
        std::error_code ec;
        const bool own = std::filesystem::exists(site, ec);
        Verdict v;
        if (own ? !sheet.load(site.string()) : !sheet.loadXML(kBuiltIn))
            v = {9999, "the unit check " + site.string() + " cannot be read: " + sheet.parseError().reason};
        else
            v = apply(sheet, unitInfo, at);
        if (v.status != 0) {
            std::string line = "UnitCheck returned value=" + std::to_string(v.status) + " for " + serial + " at " +
                               at + (v.reason.empty() ? "" : ": " + v.reason);
            uint8_t level = 1;
            tester.putLog(line, level);
        }
        return v.status;
    });
}

}  // namespace dz::unitcheck
