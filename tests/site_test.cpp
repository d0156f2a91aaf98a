// The sample deployment files in site/: the result style sheets turn a
// tester's document into one the result schema accepts, with the DUT
// statuses and IDs where the component looks for them.
#include <gtest/gtest.h>

#include <memory>

#include "platform/xml/xml.h"
#include "support/station.h"

using namespace dz;
using test::sitePath;

namespace {

struct Site {
    Site() {
        results->add("urn:SaveResult-schema", sitePath("SaveResult.xsd"));
        unitInfo->add("urn:GetUnitInfo-schema", sitePath("GetUnitInfo.xsd"));
        resultSheet.load(sitePath("DEZozevo.xsl"));
        headerSheet.load(sitePath("GetHeader.xsl"));
    }

    // The tester's text transformed by `sheet`.
    std::string transform(const std::string& raw, xml::Document& sheet) {
        xml::Document in;
        EXPECT_TRUE(in.loadXML(raw)) << in.parseError().reason;
        return in.transformNode(sheet);
    }
    // Whether `text` loads into `doc` validating against `schemas`.
    bool valid(const std::string& text, const std::shared_ptr<xml::SchemaCache>& schemas) {
        doc.setSchemas(schemas);
        doc.loadXML(text);
        return doc.parseError().errorCode == 0;
    }

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

// Transformed results and unit requests the schemas accept, and what they refuse.
TEST(SiteFiles, SchemasAcceptWhatTheMesCanUseOnly) {
    Site s;
    const std::pair<std::string, bool> results[] = {
        {test::readFile(sitePath("SampleResult.xml")), true},
        {run("ID=\"SN1\" STATUS=\"terminate\"", "Station=\"ST\"", " xmlns=\"urn:tester\""), true},  // any status
        {"<TestRun Station=\"ICT-01\"><DUT ID=\"A\" STATUS=\"PASS\"/><DUT ID=\"B\" STATUS=\"FAIL\"/></TestRun>", true},
        {run("STATUS=\"PASS\""), false},
        {run("ID=\"SN1\""), false},
        {run("ID=\"\" STATUS=\"PASS\""), false},
        {run("ID=\"SN1\" STATUS=\"PASS\"", ""), false},  // no station
        {run("ID=\"SN1\" STATUS=\"PASS\"", "Station=\"S\" Start=\"7 March\""), false},
        {"<TestRun Station=\"S\"/>", false},
    };
    for (const auto& [raw, valid] : results)
        EXPECT_EQ(s.valid(s.transform(raw, s.resultSheet), s.results), valid) << raw << s.doc.parseError().reason;
    // The unit-info tests use the request schema's accepted forms; these are refused too.
    for (const char* attrs : {" SerialNumber=\"\"", " SerialNumber=\"SN1\" Color=\"red\""})
        EXPECT_FALSE(s.valid("<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\"" + std::string(attrs) + "/>", s.unitInfo))
            << attrs;
}

// The sheets' exact text. The result sheet matches elements by local name in
// any namespace and at any depth below unknown ones, copies attributes only
// when written and leaves everything else (text, comments, other elements)
// out; the header names the station, the units and the step counts.
TEST(SiteFiles, SheetsWriteExactlyThisText) {
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
        std::string raw;
        xml::Document& sheet;
        std::string expected;
    } cases[] = {
        {test::readFile(sitePath("SampleResult.xml")), s.resultSheet,
         R"(<sr:TestResult xmlns:sr="urn:SaveResult-schema" STATION="FCT-01" OPERATOR="jdoe" PROGRAM="FCT-5000" )"
         R"(VERSION="3.1.0" FIXTURE="FX-FCT-07" START="2026-03-07T14:05:09" END="2026-03-07T14:06:31">)"
         R"(<DUT ID="SN24001-0003" STATUS="PASS" PARTNUMBER="ASM-5000" REVISION="C">)"
         R"(<STEP NAME="Supply current" STATUS="PASS" DURATION="2.4"><MEASUREMENT NAME="Iin" VALUE="0.412" UNIT="A" )"
         R"(LOW="0.300" HIGH="0.600" STATUS="PASS"/></STEP><STEP NAME="Output voltage" STATUS="PASS" DURATION="1.1">)"
         R"(<MEASUREMENT NAME="Vout" VALUE="12.03" UNIT="V" LOW="11.40" HIGH="12.60" STATUS="PASS"/>)"
         R"(<MEASUREMENT NAME="Ripple" VALUE="38" UNIT="mV" HIGH="50" STATUS="PASS"/></STEP>)"
         R"(<STEP NAME="Firmware version" STATUS="PASS" DURATION="0.3"><MEASUREMENT NAME="Version" VALUE="FW-2.4.1" )"
         R"(STATUS="PASS"/></STEP></DUT></sr:TestResult>)"},
        {odd, s.resultSheet,
         R"(<sr:TestResult xmlns:sr="urn:SaveResult-schema" STATION="FCT-01" OPERATOR="o'brien &amp; &lt;co&gt;" )"
         R"(START="2026-03-07T14:05:09"><DUT ID="SN1" STATUS="PASS" SLOT="2"><STEP NAME="A" STATUS="PASS">)"
         R"(<MEASUREMENT NAME="m" VALUE="1 &quot;q&quot;" STATUS="PASS"/></STEP><STEP NAME="B" DURATION="1.5">)"
         R"(<MEASUREMENT NAME="n" VALUE="é€😀"/></STEP></DUT><DUT ID="SN2" STATUS="FAIL"/></sr:TestResult>)"
         R"(<sr:TestResult xmlns:sr="urn:SaveResult-schema" STATION="S2"><DUT ID="SN3" STATUS="TERMINATE"/>)"
         R"(</sr:TestResult><DUT xmlns:sr="urn:SaveResult-schema" ID="loose" STATUS="PASS"/>)"},
        {run("ID=\"SN1\" STATUS=\"FAIL\"", "Station=\"FINAL-01\" Start=\"2026-03-07T10:00:00\""), s.headerSheet,
         R"(<TestResultHeader STATION="FINAL-01" START="2026-03-07T10:00:00" END="" STEPS="2" FAILEDSTEPS="1">)"
         R"(<DUT ID="SN1" STATUS="FAIL"/></TestResultHeader>)"},
    };
    for (const auto& c : cases) EXPECT_EQ(s.transform(c.raw, c.sheet), c.expected);
}
