// The sample deployment files in site/: the result style sheets turn a
// tester's document into one the result schema accepts, with the DUT
// statuses and IDs where the component looks for them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "platform/profile/profile.h"
#include "platform/text.h"
#include "platform/xml/xml.h"
#include "support/station.h"

using namespace dz;

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
        xml::Document doc;
        EXPECT_TRUE(doc.loadXML(raw)) << doc.parseError().reason;
        return doc.transformNode(sheet);
    }

    // Loads `text` validating against the result schema; the parse error code.
    long validate(const std::string& text, xml::Document& into) {
        into.setSchemas(results);
        into.loadXML(text);
        return into.parseError().errorCode;
    }

    std::shared_ptr<xml::SchemaCache> results = std::make_shared<xml::SchemaCache>();
    std::shared_ptr<xml::SchemaCache> unitInfo = std::make_shared<xml::SchemaCache>();
    xml::Document resultSheet, headerSheet;
};

std::string run(const std::string& dutAttrs, const std::string& runAttrs = "Station=\"FCT-01\"",
                const std::string& ns = "") {
    return "<TestRun" + ns + " " + runAttrs + "><DUT " + dutAttrs +
           "><Step Name=\"Vout\" Status=\"PASS\"><Measurement Name=\"Vout\" Value=\"12.03\" Unit=\"V\" "
           "Low=\"11.4\" High=\"12.6\"/></Step><Step Name=\"Iin\" Status=\"Fail\"/></DUT></TestRun>";
}

}  // namespace

TEST(SiteFiles, SampleResultTransformsIntoAValidDocument) {
    Site s;
    std::string transformed = s.transform(test::readFile(site("SampleResult.xml")), s.resultSheet);
    EXPECT_EQ(transformed.find("<?xml"), std::string::npos);
    xml::Document doc;
    ASSERT_EQ(s.validate(transformed, doc), 0) << doc.parseError().reason << "\n" << transformed;
    EXPECT_EQ(doc.selectNodes("//DUT/@STATUS"), std::vector<std::string>{"PASS"});
    EXPECT_EQ(doc.selectNodes("//DUT/@ID"), std::vector<std::string>{"SN24001-0003"});
    EXPECT_EQ(doc.selectNodes("//MEASUREMENT/@NAME"), (std::vector<std::string>{"Iin", "Vout", "Ripple", "Version"}));
    EXPECT_NE(transformed.find("xmlns:sr=\"urn:SaveResult-schema\""), std::string::npos);
    EXPECT_NE(transformed.find("STATION=\"FCT-01\""), std::string::npos);
}

TEST(SiteFiles, RawDocumentsInAnyNamespaceAndWithEveryStatus) {
    Site s;
    for (const std::string ns : {"", " xmlns=\"urn:tester\""}) {
        std::string t = s.transform(run("ID=\"SN1\" STATUS=\"terminate\"", "Station=\"ST\"", ns), s.resultSheet);
        xml::Document doc;
        ASSERT_EQ(s.validate(t, doc), 0) << doc.parseError().reason << "\n" << t;
        EXPECT_EQ(doc.selectNodes("//DUT/@STATUS"), std::vector<std::string>{"terminate"});
    }
    // Two DUTs of a panel keep their order.
    std::string panel = "<TestRun Station=\"ICT-01\"><DUT ID=\"A\" STATUS=\"PASS\"/><DUT ID=\"B\" STATUS=\"FAIL\"/></TestRun>";
    xml::Document doc;
    ASSERT_EQ(s.validate(s.transform(panel, s.resultSheet), doc), 0);
    EXPECT_EQ(doc.selectNodes("//DUT/@ID"), (std::vector<std::string>{"A", "B"}));
}

TEST(SiteFiles, TheSchemaRejectsResultsThatLackWhatTheMesNeeds) {
    Site s;
    auto code = [&](const std::string& raw) {
        xml::Document doc;
        return s.validate(s.transform(raw, s.resultSheet), doc);
    };
    EXPECT_EQ(code(run("ID=\"SN1\" STATUS=\"PASS\"")), 0);
    EXPECT_NE(code(run("STATUS=\"PASS\"")), 0);                          // no unit
    EXPECT_NE(code(run("ID=\"SN1\"")), 0);                               // no status
    EXPECT_NE(code(run("ID=\"\" STATUS=\"PASS\"")), 0);                  // empty unit
    EXPECT_NE(code(run("ID=\"SN1\" STATUS=\"PASS\"", "")), 0);           // no station
    EXPECT_NE(code(run("ID=\"SN1\" STATUS=\"PASS\"", "Station=\"S\" Start=\"7 March\"")), 0);
    EXPECT_NE(code("<TestRun Station=\"S\"/>"), 0);                       // no DUT at all
}

TEST(SiteFiles, HeaderNamesStationUnitsAndStepCounts) {
    Site s;
    std::string h = s.transform(run("ID=\"SN1\" STATUS=\"FAIL\"", "Station=\"FINAL-01\" Start=\"2026-03-07T10:00:00\""),
                                s.headerSheet);
    EXPECT_EQ(h, "<TestResultHeader STATION=\"FINAL-01\" START=\"2026-03-07T10:00:00\" END=\"\" STEPS=\"2\" "
                 "FAILEDSTEPS=\"1\"><DUT ID=\"SN1\" STATUS=\"FAIL\"/></TestResultHeader>");
}

TEST(SiteFiles, UnitRequestSchema) {
    Site s;
    auto code = [&](const std::string& text) {
        xml::Document doc;
        doc.setSchemas(s.unitInfo);
        doc.loadXML(text);
        return doc.parseError().errorCode;
    };
    EXPECT_EQ(code("<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"SN1\"/>"), 0);
    EXPECT_EQ(code("<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"SN1\" PartNumber=\"P\"/>"), 0);
    EXPECT_NE(code("<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\"/>"), 0);
    EXPECT_NE(code("<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"\"/>"), 0);
    EXPECT_NE(code("<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"SN1\" Color=\"red\"/>"), 0);
}

TEST(SiteFiles, IniNamesTheSimulatorAndTheSiteProcedures) {
    std::string ini = site("DEZozevo.ini");
    EXPECT_EQ(profile::getString("DATABASE", "SERVER", "MISSING", ini), "sim:plant.db");
    EXPECT_EQ(profile::getString("STATION", "STATION", "MISSING", ini), "FCT-01");
    EXPECT_EQ(profile::getString("CUSTOMIZATION", "SPToGetProductStructure ", "", ini), "zeradurGetProductStructure");
    EXPECT_EQ(profile::getString("GENERICFUNCTIONSMAPPING", "SetUnitData", "", ini), "uspSetUnitData");
    EXPECT_EQ(text::toUpper(profile::getString("ERROR", "ResendOnNetErr", "no", ini)), "NO");
}
