// The sample deployment files in site/: the result style sheets turn a
// tester's document into one the result schema accepts, with the DUT
// statuses and IDs where the component looks for them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "platform/xml/xml.h"
#include "support/station.h"

using namespace dz;
using Strings = std::vector<std::string>;

namespace {

std::string site(const std::string& name) {
    const char* src = std::getenv("DZ_SOURCE_DIR");
    return std::string(src ? src : ".") + "/site/" + name;
}

struct Site {
    Site() {
        results->add("urn:SaveResult-schema", site("SaveResult.xsd"));
        unitInfo->add("urn:GetUnitInfo-schema", site("GetUnitInfo.xsd"));
        resultSheet.load(site("DEZozevo.xsl"));
        headerSheet.load(site("GetHeader.xsl"));
    }

    // The tester's text transformed by `sheet`.
    std::string transform(const std::string& raw, xml::Document& sheet) {
        xml::Document in;
        EXPECT_TRUE(in.loadXML(raw)) << in.parseError().reason;
        return in.transformNode(sheet);
    }
    // Loads `text` into `doc` validating against `schemas`; the parse error code.
    long validate(const std::string& text, const std::shared_ptr<xml::SchemaCache>& schemas) {
        doc.setSchemas(schemas);
        doc.loadXML(text);
        return doc.parseError().errorCode;
    }
    long result(const std::string& raw) { return validate(transform(raw, resultSheet), results); }

    std::shared_ptr<xml::SchemaCache> results = std::make_shared<xml::SchemaCache>();
    std::shared_ptr<xml::SchemaCache> unitInfo = std::make_shared<xml::SchemaCache>();
    xml::Document resultSheet, headerSheet, doc;
};

std::string run(const std::string& dutAttrs, const std::string& runAttrs = "Station=\"FCT-01\"",
                const std::string& ns = "") {
    return "<TestRun" + ns + " " + runAttrs + "><DUT " + dutAttrs +
           "><Step Name=\"Vout\" Status=\"PASS\"><Measurement Name=\"Vout\" Value=\"12.03\" Unit=\"V\" "
           "Low=\"11.4\" High=\"12.6\"/></Step><Step Name=\"Iin\" Status=\"Fail\"/></DUT></TestRun>";
}

}  // namespace

TEST(SiteFiles, ResultsTransformIntoValidDocuments) {
    Site s;
    std::string transformed = s.transform(test::readFile(site("SampleResult.xml")), s.resultSheet);
    EXPECT_EQ(transformed.find("<?xml"), std::string::npos);
    ASSERT_EQ(s.validate(transformed, s.results), 0) << s.doc.parseError().reason << "\n" << transformed;
    EXPECT_EQ(s.doc.selectNodes("//DUT/@STATUS"), Strings{"PASS"});
    EXPECT_EQ(s.doc.selectNodes("//DUT/@ID"), Strings{"SN24001-0003"});
    EXPECT_EQ(s.doc.selectNodes("//MEASUREMENT/@NAME"), (Strings{"Iin", "Vout", "Ripple", "Version"}));
    EXPECT_NE(transformed.find("xmlns:sr=\"urn:SaveResult-schema\""), std::string::npos);
    EXPECT_NE(transformed.find("STATION=\"FCT-01\""), std::string::npos);

    // A raw document in any namespace, with any status; two DUTs of a panel keep their order.
    for (const std::string ns : {"", " xmlns=\"urn:tester\""}) {
        ASSERT_EQ(s.result(run("ID=\"SN1\" STATUS=\"terminate\"", "Station=\"ST\"", ns)), 0)
            << s.doc.parseError().reason;
        EXPECT_EQ(s.doc.selectNodes("//DUT/@STATUS"), Strings{"terminate"});
    }
    ASSERT_EQ(s.result("<TestRun Station=\"ICT-01\"><DUT ID=\"A\" STATUS=\"PASS\"/><DUT ID=\"B\" STATUS=\"FAIL\"/>"
                       "</TestRun>"),
              0);
    EXPECT_EQ(s.doc.selectNodes("//DUT/@ID"), (Strings{"A", "B"}));
}

TEST(SiteFiles, SchemasRejectWhatTheMesCannotUse) {
    Site s;
    EXPECT_EQ(s.result(run("ID=\"SN1\" STATUS=\"PASS\"")), 0);
    for (const std::string& bad : {run("STATUS=\"PASS\""), run("ID=\"SN1\""), run("ID=\"\" STATUS=\"PASS\""),
                                   run("ID=\"SN1\" STATUS=\"PASS\"", ""),  // no station
                                   run("ID=\"SN1\" STATUS=\"PASS\"", "Station=\"S\" Start=\"7 March\""),
                                   std::string("<TestRun Station=\"S\"/>")})
        EXPECT_NE(s.result(bad), 0) << bad;

    auto request = [&](const std::string& attrs) {
        return s.validate("<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\"" + attrs + "/>", s.unitInfo);
    };
    EXPECT_EQ(request(" SerialNumber=\"SN1\""), 0);
    EXPECT_EQ(request(" SerialNumber=\"SN1\" PartNumber=\"P\""), 0);
    for (const char* bad : {"", " SerialNumber=\"\"", " SerialNumber=\"SN1\" Color=\"red\""}) EXPECT_NE(request(bad), 0) << bad;
}

TEST(SiteFiles, HeaderNamesStationUnitsAndStepCounts) {
    Site s;
    std::string h = s.transform(run("ID=\"SN1\" STATUS=\"FAIL\"", "Station=\"FINAL-01\" Start=\"2026-03-07T10:00:00\""),
                                s.headerSheet);
    EXPECT_EQ(h, "<TestResultHeader STATION=\"FINAL-01\" START=\"2026-03-07T10:00:00\" END=\"\" STEPS=\"2\" "
                 "FAILEDSTEPS=\"1\"><DUT ID=\"SN1\" STATUS=\"FAIL\"/></TestResultHeader>");
}
