// Unit attributes: what is sent to "uspGetUnitAttributes" and the <UNITINFO> list.
#include <gtest/gtest.h>

#include <memory>

#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
#include "support/station.h"

using dz::Tester;
using dz::db::Parameter;
using dz::db::ScriptedDriver;
using dz::db::Value;
using dz::test::Station;
using Answer = ScriptedDriver::Answer;
using Lines = std::vector<std::string>;

namespace {

void expectInput(const Parameter& p, const std::string& name, dz::db::DataType type, long size, const Value& value) {
    SCOPED_TRACE(name);
    EXPECT_EQ(p.name, name);
    EXPECT_EQ(p.type, type);
    EXPECT_EQ(p.direction, dz::db::adParamInput);
    EXPECT_EQ(p.size, size);
    EXPECT_EQ(p.value, value);
}

struct Server {
    std::unique_ptr<Station> st;
    std::unique_ptr<Tester> t;
    explicit Server(int generation, const std::string& ini = "") {
        dz::modVariables() = dz::ModVariables{};
        st = std::make_unique<Station>(ini);
        st->serveGeneration(generation);
        t = std::make_unique<Tester>();
        st->db->clearCalls();
        st->clearLog();
    }
};

struct UnitAttributes : ::testing::Test, Server {
    UnitAttributes() : Server(10) {}
};

const char* const kRequest = "<Unit SerialNumber=\"S\xC3\xA4\"/>";  // 25 characters

TEST(UnitAttributesGeneration, Generation20AnswersZeroWithoutAQuery) {
    Server s(22);
    std::string out = "kept";
    EXPECT_EQ(s.t->GetUnitAttributes(kRequest, out, "ST9"), 0);
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(s.st->db->callCount(), 0u);
    EXPECT_EQ(s.st->log(), "");
}

TEST_F(UnitAttributes, SendsRequestAndStation) {
    st->db->on("uspGetUnitAttributes", Answer::rowsOf({"FN", "FVal"}, {}));
    std::string out;
    t->GetUnitAttributes(kRequest, out);         // the INI station, as wide text
    t->GetUnitAttributes("not xml", out, " L 1");  // a given one, as it is
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].text, "uspGetUnitAttributes");
    EXPECT_EQ(calls[0].type, dz::db::adCmdStoredProc);
    EXPECT_EQ(calls[0].timeout, 30);
    EXPECT_EQ(calls[0].connectionString, dz::modVariables().ConnectString);
    ASSERT_EQ(calls[0].parameters.size(), 2u);  // SaveAsTempSN is "None" by default
    expectInput(calls[0].parameters[0], "@strXML", dz::db::adLongVarChar, 25, Value(kRequest));
    expectInput(calls[0].parameters[1], "@station", dz::db::adVarWChar, 3, Value("ST1"));
    ASSERT_EQ(calls[1].parameters.size(), 2u);
    expectInput(calls[1].parameters[0], "@strXML", dz::db::adLongVarChar, 7, Value("not xml"));
    expectInput(calls[1].parameters[1], "@station", dz::db::adVarChar, 4, Value(" L 1"));
    EXPECT_EQ(st->messages(), (Lines{kRequest, "not xml"}));  // requests at level 2; no row: nothing more
}

TEST(UnitAttributesTempSN, SentUnlessExactlyNone) {
    for (const char* setting : {"none", "YES", "NONE "}) {  // the INI reader trims the value
        SCOPED_TRACE(setting);
        Server s(10, std::string("[SERIALNUMBER]\nSaveAsTempSN=") + setting + "\n");
        std::string out;
        s.t->GetUnitAttributes("r", out, "ST2");
        auto calls = s.st->db->calls();
        ASSERT_EQ(calls.size(), 1u);
        ASSERT_EQ(calls[0].parameters.size(), 3u);
        const std::string value = dz::modVariables().SaveAsTempSN;
        EXPECT_NE(value, "None");
        expectInput(calls[0].parameters[2], "@SaveAsTempSN", dz::db::adVarChar, long(value.size()), Value(value));
    }
    Server s(10, "[SERIALNUMBER]\nSaveAsTempSN=None\n");
    std::string out;
    s.t->GetUnitAttributes("r", out);
    EXPECT_EQ(s.st->db->calls().at(0).parameters.size(), 2u);
}

TEST_F(UnitAttributes, RowsBecomeAnUnescapedList) {
    st->db->on("uspGetUnitAttributes",
               Answer::rowsOf({"FN", "FVal", "Other"},
                              {{"Color", "Red", 1}, {"Size", nullptr, 2}, {nullptr, "X", 3}, {"A<&", "1 < 2 & 3", 4},
                               {"Count", 12, 5}}));
    std::string out = "old";
    EXPECT_EQ(t->GetUnitAttributes("r", out), 0);
    const std::string doc =
        "<UNITINFO><UNITDATA><NAME>Color</NAME><VALUE>Red</VALUE></UNITDATA>"
        "<UNITDATA><NAME>Size</NAME><VALUE></VALUE></UNITDATA><UNITDATA><NAME></NAME><VALUE></VALUE></UNITDATA>"
        "<UNITDATA><NAME>A<&</NAME><VALUE>1 < 2 & 3</VALUE></UNITDATA>"
        "<UNITDATA><NAME>Count</NAME><VALUE>12</VALUE></UNITDATA></UNITINFO>";
    EXPECT_EQ(out, doc);
    EXPECT_EQ(st->messages(), (Lines{"r", doc}));
}

TEST_F(UnitAttributes, NoRowErrorCodesAndFailures) {
    st->db->on("uspGetUnitAttributes", Answer::rowsOf({"FN", "FVal"}, {}));
    st->db->on("uspGetUnitAttributes", Answer::rowsOf({"ERROR"}, {{3}}));
    st->db->on("uspGetUnitAttributes", Answer::rowsOf({"ERROR"}, {{0}}));
    st->db->on("uspGetUnitAttributes", Answer::rowsOf({"FN", "Value"}, {{"a", "b"}}));
    st->db->on("uspGetUnitAttributes", Answer::rowsOf({"FN"}, {{"a"}}));
    Answer lost = Answer::rowsOf({"FN", "FVal"}, {{"a", "1"}, {"b", "2"}});
    lost.failAtRow = std::make_pair(size_t(1), std::string("Timeout expired"));
    st->db->on("uspGetUnitAttributes", lost);
    std::string out = "kept";
    EXPECT_EQ(t->GetUnitAttributes("r", out), 6000);
    EXPECT_EQ(t->GetUnitAttributes("r", out), 3);
    EXPECT_EQ(t->GetUnitAttributes("r", out), 0);
    EXPECT_EQ(t->GetUnitAttributes("r", out), 9999);  // no "FVal"
    EXPECT_EQ(t->GetUnitAttributes("r", out), 9999);  // one column, not "ERROR"
    EXPECT_EQ(t->GetUnitAttributes("r", out), 9003);
    EXPECT_EQ(out, "kept");
    const std::string notFound =
        "Item cannot be found in the collection corresponding to the requested name or ordinal.";
    EXPECT_EQ(st->messages(), (Lines{"r", "r", "GetUnitAttributes10 returned =3", "r",
                                     "GetUnitAttributes10 returned =0", "r", notFound, "r", notFound, "r",
                                     "Timeout expired"}));
}

}  // namespace
