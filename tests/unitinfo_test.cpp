// Unit info on generation 10 (pieces joined from the database) and on
// generation 20 and later (validated request, grouped unit document).
#include <gtest/gtest.h>

#include <algorithm>

#include "component/Tester.h"
#include "component/Context.h"
#include "support/station.h"

using dz::db::Value;
using Answer = dz::db::ScriptedDriver::Answer;
using Call = dz::db::ScriptedDriver::Call;
using Lines = std::vector<std::string>;
using Rows = std::vector<std::vector<Value>>;

namespace {

const char* const kSiteXsl =
    "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' "
    "xmlns:t='urn:GetUnitInfo-schema' exclude-result-prefixes='t'><xsl:output method='xml' omit-xml-declaration='yes'/>"
    "<xsl:template match='/t:GetUnitInfo'><Site sn='{@SerialNumber}'/></xsl:template></xsl:stylesheet>";

const std::string kRequest = "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"SN1\"/>";
const std::string kRequest10 = "<Unit SerialNumber='SN1'/>";
const char* const kProc20 = "objTSKGetUnitInfo";

struct UnitInfo : ::testing::Test, dz::test::Started {
    UnitInfo() : Started(10) { out = ""; }
    void start(int generation, const std::string& ini = "", bool withXsl = false, const char* proc = nullptr) {
        restart(generation, ini, [&](dz::test::Station& s) {
            s.installSiteFile("GetUnitInfo.xsd");
            if (withXsl) s.home.write("GetUnitInfo.xsl", kSiteXsl);
            // On generation 24 the slave is the same scripted server.
            s.db->on("objUTLGetSlaveConnection", Answer::rowsOf({"InstanceName", "DatabaseName"}, {{s.server, "S"}}));
            if (proc) s.db->on(proc, Answer::rowsOf({"FName", "FValue"}, {{"A", "1"}}));
        });
    }
    std::vector<Call> calls(const std::string& name) const { return dz::test::callsTo(*st->db, name); }
};

// ---- generation 10 -------------------------------------------------------------

// Bad requests query nothing; a request may use the site's DTDs of the component folder, and nothing else.
TEST_F(UnitInfo, Gen10RequestsAndParameters) {
    st->db->on("uspGetUnitInfo", Answer::rowsOf({"strXML", "n"}, {{"<U/>", 1}}));
    st->home.write("unit.dtd", "<!ATTLIST Unit SerialNumber CDATA 'SN-DEF'>");
    dz::test::TempDir elsewhere;
    elsewhere.write("secret.txt", "secret");
    EXPECT_EQ(t->GetUnitInfo("not xml", out), 9999);
    EXPECT_EQ(t->GetUnitInfo("<Unit serialnumber='SN1'/>", out), 9999);
    for (const std::string& ref : {elsewhere.file("secret.txt"), std::string("/dev/stdin")}) {
        EXPECT_EQ(t->GetUnitInfo("<!DOCTYPE Unit SYSTEM '" + ref + "'><Unit SerialNumber='1'/>", out), 9999);
        EXPECT_EQ(t->GetUnitInfo("<!DOCTYPE Unit [<!ENTITY s SYSTEM '" + ref + "'>]><Unit SerialNumber='1'>&s;</Unit>",
                                 out),
                  9999);
    }
    EXPECT_EQ(t->GetUnitInfo("<Unit SerialNumber=' SN001 '/>", out), 0);
    EXPECT_EQ(t->GetUnitInfo(kRequest, out, "ST9"), 0);  // the generation-20 request also serves
    EXPECT_EQ(t->GetUnitInfo("<!DOCTYPE Unit SYSTEM 'unit.dtd'><Unit/>", out), 0);
    auto calls = this->calls("uspGetUnitInfo");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(dz::test::command(calls[0]), "uspGetUnitInfo StoredProc 30");
    EXPECT_EQ(dz::test::params(calls[0]), (Lines{"@ProdSN VarChar In 7 ' SN001 '", "@station VarChar In 3 'ST1'"}));
    EXPECT_EQ(dz::test::params(calls[1]), (Lines{"@ProdSN VarChar In 3 'SN1'", "@station VarChar In 3 'ST9'"}));
    EXPECT_EQ(dz::test::params(calls[2]).at(0), "@ProdSN VarChar In 6 'SN-DEF'");
}

TEST_F(UnitInfo, Gen10RecordSetShapesAppendToTheCallersText) {
    st->db->on("uspGetUnitInfo",
               Answer::rowsOf({"strXML", "n"}, {{"<UNITINFO>", 1}, {Value(), 2}, {"<A>1</A>", 3}, {"</UNITINFO>", 4}}));
    Answer cut = Answer::rowsOf({"strXML", "n"}, {{"<A>", 1}, {"</A>", 2}});
    cut.failAtRow = {{1, "[DBNETLIB]General network error. Check your network."}};  // nothing half appended
    // No row, ERROR non-zero and zero, one column that is not ERROR, no strXML column, broken, failed.
    for (Answer a : {Answer::rowsOf({"strXML", "n"}, {}), Answer::rowsOf({"ERROR"}, {{7}}),
                     Answer::rowsOf({"ERROR"}, {{0}}), Answer::rowsOf({"Code"}, {{7}}),
                     Answer::rowsOf({"xml", "n"}, {{"<A/>", 1}}), cut, Answer::failure("Timeout expired")})
        st->db->on("uspGetUnitInfo", a);
    out = "OLD";
    EXPECT_EQ(t->GetUnitInfo(kRequest10, out), 0);
    EXPECT_EQ(out, "OLD<UNITINFO><A>1</A></UNITINFO>");
    for (int status : {6000, 7, 0, 9999, 9999, 9002, 9003}) EXPECT_EQ(t->GetUnitInfo(kRequest10, out), status);
    EXPECT_EQ(out, "OLD<UNITINFO><A>1</A></UNITINFO>");
}

// ---- generation 20 and later -----------------------------------------------------

// Every attribute becomes one item; a GetUnitInfo.xsl in the component folder replaces the built-in sheet.
TEST_F(UnitInfo, BuiltInStyleSheetOrTheSiteOne) {
    const std::string decl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    const struct {
        bool siteXsl;
        std::string request, sent;
    } cases[] = {
        {false, "<GetUnitInfo xmlns='urn:GetUnitInfo-schema' SerialNumber='SN2' PartNumber='P'/>",
         decl + "<SerialNumber><S Descr=\"ANY\">SN2</S><S Descr=\"ANY\">P</S></SerialNumber>\n"},
        {true, kRequest, "<Site sn=\"SN1\"/>\n"},
    };
    for (const auto& c : cases) {
        start(20, "", c.siteXsl, kProc20);
        EXPECT_EQ(t->GetUnitInfo(c.request, out), 0);
        EXPECT_EQ(calls(kProc20).at(0).param("@xmlSerialNumber")->value.toText(), c.sent);
    }
}

TEST_F(UnitInfo, ParametersByRevision) {
    for (int generation : {20, 22, 23, 24}) {
        SCOPED_TRACE(generation);
        start(generation, "[CUSTOMIZATION]\nSPToGetUnitInfo=uspUnit20\n", false, "uspUnit20");
        EXPECT_EQ(t->GetUnitInfo(kRequest, out), 0);
        EXPECT_EQ(t->GetUnitInfo(kRequest, out, "A\"&<B", "op\xC3\xA4"), 0);
        auto calls = this->calls("uspUnit20");
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].connectionString, dz::threadContext().connections.working);
        Lines p0 = dz::test::params(calls[0]), p1 = dz::test::params(calls[1]);
        const std::string stamp = calls[0].param("@EnterTime")->value.toText();
        ASSERT_EQ(stamp.size(), 19u);
        Lines want0 = {"RETURN Integer Return 0 0", p0[1],
                       "@xmlStation VarChar In 32 '<StationInfo Description=\"ST1\"/>'", "@UserID VarChar In 10 Null",
                       "@EnterTime DBTimeStamp In 0 '" + stamp + "'", "@ExitTime DBTimeStamp In 0 '" + stamp + "'"};
        if (generation == 20) want0.erase(want0.begin() + 3);  // "@UserID" from revision 2 on
        EXPECT_EQ(p0, want0);
        EXPECT_EQ(p1[2], "@xmlStation VarChar In 46 '<StationInfo Description=\"A&quot;&amp;&lt;B\"/>'");
        if (generation > 20) {
            EXPECT_EQ(p1[3], "@UserID VarChar In 3 'op\xC3\xA4'");
        }
    }
}

// Refused requests query nothing; no data and failures give their status; the text is emptied either way.
TEST_F(UnitInfo, RefusalsNoDataAndFailures) {
    start(20);
    out = "stale";
    EXPECT_EQ(t->GetUnitInfo("<GetUnitInfo xmlns='urn:GetUnitInfo-schema' PartNumber='P'/>", out), 10);
    EXPECT_EQ(out, "");
    const std::string last = st->messages().back();
    EXPECT_EQ(last.find(' '), std::to_string(std::stol(last)).size()) << last;  // the code, a blank,
    EXPECT_NE(last.find("SerialNumber"), std::string::npos) << last;           // the reason
    EXPECT_EQ(t->GetUnitInfo("<GetUnitInfo xmlns='urn:GetUnitInfo-schema'", out), 10);
    // A request outside the schema's namespace is not checked by it, so it is refused.
    EXPECT_EQ(t->GetUnitInfo(kRequest10, out), 10);
    EXPECT_EQ(st->db->callCount(), 0u);

    Answer failed = Answer::failure("Could not find stored procedure 'objTSKGetUnitInfo'.");
    failed.returnValue = Value(55);
    for (Answer a : {Answer::rowsOf({"FName", "FValue"}, {}), Answer::rowsOf({"ERROR"}, {{42}}), failed,
                     Answer::failure("Timeout expired")})
        st->db->on(kProc20, a);
    out = "stale";
    for (int status : {6000, 42, 55, 9999}) EXPECT_EQ(t->GetUnitInfo(kRequest, out), status);
    EXPECT_EQ(out, "");
    // A transformation that fails comes before any parameter.
    dz::threadContext().documents.unitInfoStyleSheet->loadXML(
        "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' "
        "xmlns:msxsl='urn:schemas-microsoft-com:xslt'><msxsl:script>x</msxsl:script></xsl:stylesheet>");
    st->db->clearCalls();
    EXPECT_EQ(t->GetUnitInfo(kRequest, out), 9999);
    EXPECT_EQ(st->db->callCount(), 0u);
}

// ---- the generation-20 unit document ----------------------------------------------

const Lines kFive = {"GName", "ID", "FName", "FValue", "X"};

TEST_F(UnitInfo, DocumentShapes) {
    start(20);
    const auto expectDoc = [&](Lines columns, Rows rows, const std::string& doc) {
        st->db->on(kProc20, Answer::rowsOf(std::move(columns), std::move(rows)));
        out = "stale";
        EXPECT_EQ(t->GetUnitInfo(kRequest, out), doc.empty() ? 9999 : 0);
        EXPECT_EQ(out, doc);
    };
    // Groups in order of name after the ungrouped rows, in any row order.
    const Rows rows = {{Value(), 1, "Model", "X1", "a"},
                       {"Test", 2, "Limit", "5", "b"},
                       {"Test", 3, "Mode", "A", "c"},
                       {"Zeta", 4, "K", "V", "d"}};
    std::vector<int> order = {0, 1, 2, 3};
    do {
        Rows shuffled;
        for (int i : order) shuffled.push_back(rows[i]);
        expectDoc(kFive, shuffled,
                  "<UNITINFO><UnitData><Name>Model</Name><Value>X1</Value></UnitData><GROUP name=\"Test\"><UNITDATA>"
                  "<NAME type=\"char\">Limit</NAME><VALUE>5</VALUE></UNITDATA><UNITDATA><NAME type=\"char\">Mode</NAME>"
                  "<VALUE>A</VALUE></UNITDATA></GROUP><GROUP name=\"Zeta\"><UNITDATA><NAME type=\"char\">K</NAME>"
                  "<VALUE>V</VALUE></UNITDATA></GROUP></UNITINFO>");
    } while (std::next_permutation(order.begin(), order.end()));
    const std::string ab = "<UnitInfo><UnitData><Name>A</Name><Value>1</Value></UnitData><UnitData><Name>B</Name>"
                           "<Value>2</Value></UnitData></UnitInfo>";
    // Two columns keep their order, Null as empty text.
    expectDoc({"FName", "FValue"}, {{"B", "1"}, {"A", Value()}, {Value(), 3}},
              "<UnitInfo><UnitData><Name>B</Name><Value>1</Value></UnitData><UnitData><Name>A</Name><Value></Value>"
              "</UnitData><UnitData><Name></Name><Value>3</Value></UnitData></UnitInfo>");
    // Ungrouped rows (all-Null or empty groups) sort by ID.
    expectDoc(kFive, {{Value(), 2, "B", "2", 0}, {Value(), 1, "A", "1", 0}}, ab);
    expectDoc(kFive, {{"", 9, "B", "2", 0}, {"", 3, "A", "1", 0}}, ab);
    expectDoc(kFive, {{"", 1, "B", "2", 0}, {Value(), 2, "A", "1", 0}}, ab);  // Null before "", whatever the IDs
    expectDoc(kFive, {{"R&D", 2, "a<b", "x\"y", 0}, {Value(), 1, "Dept", "R&D", 0}},  // mixed, escaped
              "<UNITINFO><UnitData><Name>Dept</Name><Value>R&amp;D</Value></UnitData><GROUP name=\"R&amp;D\">"
              "<UNITDATA><NAME type=\"char\">a&lt;b</NAME><VALUE>x&quot;y</VALUE></UNITDATA></GROUP></UNITINFO>");
    expectDoc({"Name", "FValue"}, {{"A", "1"}}, "");  // missing columns fail
    expectDoc({"G", "ID", "FName", "FValue", "X"}, {{"g", 1, "A", "1", 0}}, "");
}

}  // namespace
