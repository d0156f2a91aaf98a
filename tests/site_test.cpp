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

// The result sheet's exact text: elements matched by local name in any
// namespace and at any depth below unknown ones, attributes copied only when
// written, everything else (text, comments, other elements) left out.
TEST(SiteFiles, ResultSheetWritesExactlyThisText) {
    Site s;
    const std::string odd = R"(<?xml version="1.0" encoding="utf-8"?>
<!-- leading comment -->
<Wrapper xmlns:t="urn:tester">
  <?pi some?>
  loose text &amp; more
  <t:TestRun Station="FCT-01" Operator="o'brien &amp; &lt;co&gt;" Start="2026-03-07T14:05:09" Extra="x">
    <t:DUT ID="SN1" STATUS="PASS" Slot="2">
      text inside DUT
      <Step Name="A" Status="PASS"><Measurement Name="m" Value="1 &quot;q&quot;" Status="PASS"/><!-- c --><Note>n</Note></Step>
      <t:Step Name="B" Duration="1.5"><t:Measurement Name="n" Value="é€😀"/></t:Step>
      <Other><Step Name="hidden"/></Other>
    </t:DUT>
    <DUT ID="SN2" STATUS="FAIL"/>
    <Step Name="stray"/>
  </t:TestRun>
  <TestRun Station="S2"><DUT ID="SN3" STATUS="TERMINATE"><Measurement Name="direct" Value="1"/></DUT></TestRun>
  <DUT ID="loose" STATUS="PASS"/>
</Wrapper>)";
    const struct {
        std::string raw, expected;
    } cases[] = {
        {test::readFile(site("SampleResult.xml")),
         R"(<sr:TestResult xmlns:sr="urn:SaveResult-schema" STATION="FCT-01" OPERATOR="jdoe" PROGRAM="FCT-5000" )"
         R"(VERSION="3.1.0" FIXTURE="FX-FCT-07" START="2026-03-07T14:05:09" END="2026-03-07T14:06:31">)"
         R"(<DUT ID="SN24001-0003" STATUS="PASS" PARTNUMBER="ASM-5000" REVISION="C">)"
         R"(<STEP NAME="Supply current" STATUS="PASS" DURATION="2.4"><MEASUREMENT NAME="Iin" VALUE="0.412" UNIT="A" )"
         R"(LOW="0.300" HIGH="0.600" STATUS="PASS"/></STEP><STEP NAME="Output voltage" STATUS="PASS" DURATION="1.1">)"
         R"(<MEASUREMENT NAME="Vout" VALUE="12.03" UNIT="V" LOW="11.40" HIGH="12.60" STATUS="PASS"/>)"
         R"(<MEASUREMENT NAME="Ripple" VALUE="38" UNIT="mV" HIGH="50" STATUS="PASS"/></STEP>)"
         R"(<STEP NAME="Firmware version" STATUS="PASS" DURATION="0.3"><MEASUREMENT NAME="Version" VALUE="FW-2.4.1" )"
         R"(STATUS="PASS"/></STEP></DUT></sr:TestResult>)"},
        {odd,
         R"(<sr:TestResult xmlns:sr="urn:SaveResult-schema" STATION="FCT-01" OPERATOR="o'brien &amp; &lt;co&gt;" )"
         R"(START="2026-03-07T14:05:09"><DUT ID="SN1" STATUS="PASS" SLOT="2"><STEP NAME="A" STATUS="PASS">)"
         R"(<MEASUREMENT NAME="m" VALUE="1 &quot;q&quot;" STATUS="PASS"/></STEP><STEP NAME="B" DURATION="1.5">)"
         R"(<MEASUREMENT NAME="n" VALUE="é€😀"/></STEP></DUT><DUT ID="SN2" STATUS="FAIL"/></sr:TestResult>)"
         R"(<sr:TestResult xmlns:sr="urn:SaveResult-schema" STATION="S2"><DUT ID="SN3" STATUS="TERMINATE"/>)"
         R"(</sr:TestResult><DUT xmlns:sr="urn:SaveResult-schema" ID="loose" STATUS="PASS"/>)"},
    };
    for (const auto& c : cases) EXPECT_EQ(s.transform(c.raw, s.resultSheet), c.expected);
}
