// Unit info on generation 10 (pieces joined from the database) and on
// generation 20 and later (validated request, grouped unit document).
#include <gtest/gtest.h>

#include <algorithm>

#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
#include "support/station.h"

using dz::Tester;
using dz::db::ScriptedDriver;
using dz::db::Value;
using dz::test::Station;
using Answer = ScriptedDriver::Answer;
using Call = ScriptedDriver::Call;

namespace {

const char* const kUnitSchema =
    "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema' targetNamespace='urn:GetUnitInfo-schema' "
    "elementFormDefault='qualified'><xs:element name='GetUnitInfo'><xs:complexType>"
    "<xs:attribute name='SerialNumber' type='xs:string' use='required'/>"
    "<xs:attribute name='PartNumber' type='xs:string'/><xs:attribute name='Site' type='xs:string'/>"
    "</xs:complexType></xs:element></xs:schema>";

const std::string kRequest = "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"SN1\"/>";

struct UnitInfo : ::testing::Test {
    std::unique_ptr<Station> st;
    std::unique_ptr<Tester> t;
    std::string out;

    void SetUp() override { dz::modVariables() = dz::ModVariables{}; }
    void TearDown() override { t.reset(); }

    void start(int generation, const std::string& ini = "", bool withXsl = false) {
        t.reset();
        st.reset();
        st = std::make_unique<Station>(ini);
        st->home.write("GetUnitInfo.xsd", kUnitSchema);
        if (withXsl)
            st->home.write("GetUnitInfo.xsl",
                           "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' "
                           "xmlns:t='urn:GetUnitInfo-schema' exclude-result-prefixes='t'>"
                           "<xsl:output method='xml' omit-xml-declaration='yes'/>"
                           "<xsl:template match='/t:GetUnitInfo'><Site sn='{@SerialNumber}'/></xsl:template>"
                           "</xsl:stylesheet>");
        st->serveGeneration(generation);
        if (generation == 24)
            st->db->on("objUTLGetSlaveConnection",
                       Answer::rowsOf({"InstanceName", "DatabaseName"}, {{st->server, "Slave"}}));
        t = std::make_unique<Tester>();
        st->db->clearCalls();
        st->clearLog();
    }

    std::vector<Call> callsTo(const std::string& name) const {
        std::vector<Call> r;
        for (const auto& c : st->db->calls())
            if (c.text == name) r.push_back(c);
        return r;
    }
};

// ---- generation 10 -------------------------------------------------------------

using Rows = std::vector<std::vector<Value>>;

TEST_F(UnitInfo, Gen10Parameters) {
    start(10);
    st->db->on("uspGetUnitInfo", Answer::rowsOf({"strXML", "n"}, {{"<U/>", 1}}));
    EXPECT_EQ(t->GetUnitInfo("<Unit SerialNumber=' SN001 '/>", out), 0);
    EXPECT_EQ(t->GetUnitInfo(kRequest, out, "ST9"), 0);  // the generation-20 request also serves
    auto calls = callsTo("uspGetUnitInfo");
    ASSERT_EQ(calls.size(), 2u);
    const Call& c = calls[0];
    EXPECT_EQ(c.type, dz::db::adCmdStoredProc);
    EXPECT_EQ(c.connectionString, dz::modVariables().ConnectString);
    EXPECT_EQ(c.timeout, 30);
    ASSERT_EQ(c.parameters.size(), 2u);
    EXPECT_EQ(c.parameters[0].name, "@ProdSN");
    EXPECT_EQ(c.parameters[0].type, dz::db::adVarChar);
    EXPECT_EQ(c.parameters[0].value, Value(" SN001 "));
    EXPECT_EQ(c.parameters[0].size, 7);
    EXPECT_EQ(c.parameters[1].name, "@station");
    EXPECT_EQ(c.parameters[1].value, Value("ST1"));
    EXPECT_EQ(calls[1].parameters[0].value, Value("SN1"));
    EXPECT_EQ(calls[1].parameters[1].value, Value("ST9"));
    EXPECT_TRUE(st->logged("<Unit SerialNumber=' SN001 '/>"));
}

TEST_F(UnitInfo, Gen10PiecesAreAppendedToTheCallersText) {
    start(10);
    st->db->on("uspGetUnitInfo",
               Answer::rowsOf({"strXML", "n"}, {{"<UNITINFO>", 1}, {Value(), 2}, {"<A>1</A>", 3}, {"</UNITINFO>", 4}}));
    out = "OLD";
    EXPECT_EQ(t->GetUnitInfo("<Unit SerialNumber='SN1'/>", out), 0);
    EXPECT_EQ(out, "OLD<UNITINFO><A>1</A></UNITINFO>");
    EXPECT_TRUE(st->logged(out));
}

TEST_F(UnitInfo, Gen10RecordSetShapes) {
    start(10);
    st->db->on("uspGetUnitInfo", Answer::rowsOf({"strXML", "n"}, {}));
    st->db->on("uspGetUnitInfo", Answer::rowsOf({"ERROR"}, {{7}}));
    st->db->on("uspGetUnitInfo", Answer::rowsOf({"ERROR"}, {{0}}));
    st->db->on("uspGetUnitInfo", Answer::rowsOf({"Code"}, {{7}}));
    st->db->on("uspGetUnitInfo", Answer::rowsOf({"xml", "n"}, {{"<A/>", 1}}));
    Answer cut = Answer::rowsOf({"strXML", "n"}, {{"<A>", 1}, {"</A>", 2}});
    cut.failAtRow = {{1, "[DBNETLIB]General network error. Check your network."}};
    st->db->on("uspGetUnitInfo", cut);
    const std::string req = "<Unit SerialNumber='SN1'/>";
    out = "kept";
    EXPECT_EQ(t->GetUnitInfo(req, out), 6000);
    EXPECT_EQ(t->GetUnitInfo(req, out), 7);
    EXPECT_EQ(t->GetUnitInfo(req, out), 0);
    EXPECT_EQ(t->GetUnitInfo(req, out), 9999);  // one column that is not ERROR
    EXPECT_EQ(t->GetUnitInfo(req, out), 9999);  // no strXML column
    EXPECT_EQ(t->GetUnitInfo(req, out), 9002);  // broken half way: nothing half appended
    EXPECT_EQ(out, "kept");
    EXPECT_TRUE(st->logged("No Record returned"));
    EXPECT_TRUE(st->logged("GetUnitInfo returned =7"));
    EXPECT_TRUE(st->logged("GetUnitInfo returned =0"));
}

TEST_F(UnitInfo, Gen10BadRequestsAndFailures) {
    start(10);
    st->db->on("uspGetUnitInfo", Answer::failure("Timeout expired"));
    out = "kept";
    EXPECT_EQ(t->GetUnitInfo("not xml", out), 9999);
    EXPECT_EQ(t->GetUnitInfo("<Unit serialnumber='SN1'/>", out), 9999);
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_EQ(t->GetUnitInfo("<Unit SerialNumber='SN1'/>", out), 9003);
    EXPECT_EQ(out, "kept");
    EXPECT_TRUE(st->logged("Timeout expired"));
    auto m = st->messages();
    EXPECT_EQ(std::count_if(m.begin(), m.end(),
                            [](const std::string& s) { return s.find("SerialNumber attribute") != std::string::npos; }),
              1);
}

// ---- generation 20 and later -----------------------------------------------------

TEST_F(UnitInfo, BuiltInStyleSheetMakesTheSerialNumberDocument) {
    start(20);
    st->db->on("objTSKGetUnitInfo", Answer::rowsOf({"FName", "FValue"}, {{"A", "1"}}));
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 0);
    auto calls = callsTo("objTSKGetUnitInfo");
    ASSERT_EQ(calls.size(), 1u);
    const std::string serial = calls[0].param("@xmlSerialNumber")->value.toText();
    EXPECT_NE(serial.find("<SerialNumber><S Descr=\"ANY\">SN1</S></SerialNumber>"), std::string::npos) << serial;
    // Every attribute becomes one item.
    EXPECT_EQ(t->GetUnitInfo("<GetUnitInfo xmlns='urn:GetUnitInfo-schema' SerialNumber='SN2' PartNumber='P'/>", out),
              0);
    const std::string two = callsTo("objTSKGetUnitInfo")[1].param("@xmlSerialNumber")->value.toText();
    EXPECT_NE(two.find("<SerialNumber><S Descr=\"ANY\">SN2</S><S Descr=\"ANY\">P</S></SerialNumber>"),
              std::string::npos)
        << two;
}

TEST_F(UnitInfo, SiteStyleSheetReplacesTheBuiltInOne) {
    start(20, "", true);
    st->db->on("objTSKGetUnitInfo", Answer::rowsOf({"FName", "FValue"}, {{"A", "1"}}));
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 0);
    auto calls = callsTo("objTSKGetUnitInfo");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].param("@xmlSerialNumber")->value.toText().rfind("<Site sn=\"SN1\"/>", 0), 0u);
}

TEST_F(UnitInfo, ParametersByRevision) {
    for (int generation : {20, 22, 23, 24}) {
        start(generation, "[CUSTOMIZATION]\nSPToGetUnitInfo=uspUnit20\n");
        st->db->on("uspUnit20", Answer::rowsOf({"FName", "FValue"}, {{"A", "1"}}));
        EXPECT_EQ(t->GetUnitInfo(kRequest, out), 0);
        EXPECT_EQ(t->GetUnitInfo(kRequest, out, "", "op\xC3\xA4"), 0);
        auto calls = callsTo("uspUnit20");
        ASSERT_EQ(calls.size(), 2u) << generation;
        const Call& c = calls[0];
        EXPECT_EQ(c.connectionString, dz::modVariables().ConnectString);
        std::vector<std::string> names;
        for (const auto& p : c.parameters) names.push_back(p.name);
        if (generation == 20) {
            EXPECT_EQ(names, (std::vector<std::string>{"RETURN", "@xmlSerialNumber", "@xmlStation", "@EnterTime",
                                                       "@ExitTime"}));
            continue;
        }
        EXPECT_EQ(names, (std::vector<std::string>{"RETURN", "@xmlSerialNumber", "@xmlStation", "@UserID",
                                                   "@EnterTime", "@ExitTime"}))
            << generation;
        const auto* user = c.param("@UserID");
        EXPECT_EQ(user->type, dz::db::adVarChar);
        EXPECT_TRUE(user->value.isNull());
        EXPECT_EQ(user->size, 10);
        const auto* named = calls[1].param("@UserID");
        EXPECT_EQ(named->value, Value("op\xC3\xA4"));
        EXPECT_EQ(named->size, 3);
    }
}

TEST_F(UnitInfo, StationAndTimeParameters) {
    start(20);
    st->db->on("objTSKGetUnitInfo", Answer::rowsOf({"FName", "FValue"}, {{"A", "1"}}));
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 0);
    EXPECT_EQ(t->GetUnitInfo(kRequest, out, "A\"&<B"), 0);
    auto calls = callsTo("objTSKGetUnitInfo");
    ASSERT_EQ(calls.size(), 2u);
    const auto* station = calls[0].param("@xmlStation");
    EXPECT_EQ(station->value, Value("<StationInfo Description=\"ST1\"/>"));
    EXPECT_EQ(station->size, (long)station->value.toText().size());
    EXPECT_EQ(calls[1].param("@xmlStation")->value, Value("<StationInfo Description=\"A&quot;&amp;&lt;B\"/>"));
    const auto* enter = calls[0].param("@EnterTime");
    const auto* exit = calls[0].param("@ExitTime");
    EXPECT_EQ(enter->type, dz::db::adDBTimeStamp);
    EXPECT_EQ(exit->type, dz::db::adDBTimeStamp);
    EXPECT_EQ(enter->value.toText().size(), 19u);
    EXPECT_EQ(enter->value, exit->value);
}

TEST_F(UnitInfo, ValidationFailureQueriesNothing) {
    start(20);
    out = "stale";
    EXPECT_EQ(t->GetUnitInfo("<GetUnitInfo xmlns='urn:GetUnitInfo-schema' PartNumber='P'/>", out), 10);
    EXPECT_EQ(out, "");
    auto m = st->messages();
    ASSERT_FALSE(m.empty());
    EXPECT_NE(std::stol(m.back()), 0);                                     // the code,
    EXPECT_NE(m.back().find("SerialNumber"), std::string::npos) << m.back();  // a blank and the reason
    EXPECT_EQ(t->GetUnitInfo("<GetUnitInfo xmlns='urn:GetUnitInfo-schema'", out), 10);
    // A request outside the schema's namespace is not checked by it, so it is refused.
    EXPECT_EQ(t->GetUnitInfo("<Unit SerialNumber='SN1'/>", out), 10);
    EXPECT_EQ(st->db->callCount(), 0u);
}

TEST_F(UnitInfo, AnswersWithoutData) {
    start(20);
    st->db->on("objTSKGetUnitInfo", Answer::rowsOf({"FName", "FValue"}, {}));
    st->db->on("objTSKGetUnitInfo", Answer::rowsOf({"ERROR"}, {{42}}));
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 6000);
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 42);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(st->logged("No Record returned"));
    EXPECT_TRUE(st->logged("GetUnitInfo20 returned =42"));
}

TEST_F(UnitInfo, FailuresGiveTheReturnValueOr9999) {
    start(20);
    Answer failed = Answer::failure("Could not find stored procedure 'objTSKGetUnitInfo'.");
    failed.returnValue = Value(55);
    st->db->on("objTSKGetUnitInfo", failed);
    st->db->on("objTSKGetUnitInfo", Answer::failure("Timeout expired"));
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 55);
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 9999);
    EXPECT_TRUE(st->logged("Could not find stored procedure 'objTSKGetUnitInfo'."));
    // A transformation that fails comes before any parameter.
    dz::modVariables().UnitInfoStyleSheet->loadXML(
        "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' "
        "xmlns:msxsl='urn:schemas-microsoft-com:xslt'><msxsl:script>x</msxsl:script></xsl:stylesheet>");
    st->db->clearCalls();
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 9999);
    EXPECT_EQ(st->db->callCount(), 0u);
    // Documents that start-up did not create.
    dz::modVariables().ValidatedRequestDocument.reset();
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 9999);
}

// ---- the generation-20 unit document ----------------------------------------------

struct UnitDocument : UnitInfo {
    std::string build(std::vector<std::string> columns, Rows rows) {
        st->db->on("objTSKGetUnitInfo", Answer::rowsOf(std::move(columns), std::move(rows)));
        out = "stale";
        EXPECT_EQ(t->GetUnitInfo(kRequest, out), 0);
        return out;
    }
};

TEST_F(UnitDocument, TheExampleInEveryRowOrderGivesOneDocument) {
    start(20);
    Rows rows = {{Value(), 1, "Model", "X1", "a"},
                 {"Test", 2, "Limit", "5", "b"},
                 {"Test", 3, "Mode", "A", "c"},
                 {"Zeta", 4, "K", "V", "d"}};
    const std::string expected =
        "<UNITINFO><UnitData><Name>Model</Name><Value>X1</Value></UnitData><GROUP name=\"Test\"><UNITDATA><NAME "
        "type=\"char\">Limit</NAME><VALUE>5</VALUE></UNITDATA><UNITDATA><NAME type=\"char\">Mode</NAME><VALUE>A</"
        "VALUE></UNITDATA></GROUP><GROUP name=\"Zeta\"><UNITDATA><NAME type=\"char\">K</NAME><VALUE>V</VALUE></"
        "UNITDATA></GROUP></UNITINFO>";
    std::vector<int> order = {0, 1, 2, 3};
    int permutations = 0;
    do {
        Rows shuffled;
        for (int i : order) shuffled.push_back(rows[i]);
        EXPECT_EQ(build({"GName", "ID", "FName", "FValue", "Extra"}, shuffled), expected);
        ++permutations;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(permutations, 24);
    EXPECT_TRUE(st->logged(expected));
}

TEST_F(UnitDocument, TwoColumnRowsKeepTheirOrder) {
    start(20);
    EXPECT_EQ(build({"FName", "FValue"}, {{"B", "1"}, {"A", Value()}, {Value(), 3}}),
              "<UnitInfo><UnitData><Name>B</Name><Value>1</Value></UnitData><UnitData><Name>A</Name><Value></Value>"
              "</UnitData><UnitData><Name></Name><Value>3</Value></UnitData></UnitInfo>");
}

TEST_F(UnitDocument, UngroupedFiveColumnRowsSortByID) {
    start(20);
    EXPECT_EQ(build({"GName", "ID", "FName", "FValue", "X"}, {{Value(), 2, "B", "2", 0}, {Value(), 1, "A", "1", 0}}),
              "<UnitInfo><UnitData><Name>A</Name><Value>1</Value></UnitData><UnitData><Name>B</Name><Value>2</Value>"
              "</UnitData></UnitInfo>");
    EXPECT_EQ(build({"GName", "ID", "FName", "FValue", "X"}, {{"", 9, "Z", "z", 0}, {"", 3, "Y", "y", 0}}),
              "<UnitInfo><UnitData><Name>Y</Name><Value>y</Value></UnitData><UnitData><Name>Z</Name><Value>z</Value>"
              "</UnitData></UnitInfo>");
}

TEST_F(UnitDocument, MixedGroupsAndEscaping) {
    start(20);
    EXPECT_EQ(build({"GName", "ID", "FName", "FValue", "X"},
                    {{"R&D", 2, "a<b", "x\"y", 0}, {Value(), 1, "Dept", "R&D", 0}}),
              "<UNITINFO><UnitData><Name>Dept</Name><Value>R&amp;D</Value></UnitData><GROUP name=\"R&amp;D\">"
              "<UNITDATA><NAME type=\"char\">a&lt;b</NAME><VALUE>x&quot;y</VALUE></UNITDATA></GROUP></UNITINFO>");
}

TEST_F(UnitDocument, MissingColumnsFail) {
    start(20);
    st->db->on("objTSKGetUnitInfo", Answer::rowsOf({"Name", "FValue"}, {{"A", "1"}}));
    st->db->on("objTSKGetUnitInfo", Answer::rowsOf({"G", "ID", "FName", "FValue", "X"}, {{"g", 1, "A", "1", 0}}));
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 9999);
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 9999);
    EXPECT_EQ(out, "");
}

}  // namespace
