// Unit attributes: what is sent to "uspGetUnitAttributes" and the <UNITINFO> list.
#include <gtest/gtest.h>

#include "component/Tester.h"
#include "component/Context.h"
#include "support/station.h"

using Answer = dz::db::ScriptedDriver::Answer;
using Lines = std::vector<std::string>;

namespace {

struct UnitAttributes : ::testing::Test, dz::test::Started {
    UnitAttributes() : Started(10) {}
};

const char* const kRequest = "<Unit SerialNumber=\"S\xC3\xA4\"/>";  // 25 characters

TEST_F(UnitAttributes, SendsRequestAndStation) {
    t->GetUnitAttributes(kRequest, out);           // the INI station, as wide text
    t->GetUnitAttributes("not xml", out, " L 1");  // a given one, as it is
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(dz::test::command(calls[0]), "uspGetUnitAttributes StoredProc 30");
    EXPECT_EQ(calls[0].connectionString, dz::threadContext().connections.working);
    // "@SaveAsTempSN" is left out: the setting is "None" by default.
    EXPECT_EQ(dz::test::params(calls[0]),
              (Lines{"@strXML LongVarChar In 25 '" + std::string(kRequest) + "'", "@station VarWChar In 3 'ST1'"}));
    EXPECT_EQ(dz::test::params(calls[1]),
              (Lines{"@strXML LongVarChar In 7 'not xml'", "@station VarChar In 4 ' L 1'"}));
}

TEST(UnitAttributesTempSN, SentUnlessExactlyNone) {
    for (auto [setting, sent] : {std::pair{"none", "none"}, {"YES", "YES"}, {"NONE ", "NONE"}, {"None", ""}}) {
        SCOPED_TRACE(setting);  // the INI reader trims the value
        dz::test::Started s(10, std::string("[SERIALNUMBER]\nSaveAsTempSN=") + setting + "\n");
        s.t->GetUnitAttributes("r", s.out, "ST2");
        const Lines p = dz::test::params(s.st->db->calls().at(0));
        ASSERT_GE(p.size(), 2u);
        Lines want = {p[0], p[1]};
        const std::string value = sent;
        if (!value.empty())
            want.push_back("@SaveAsTempSN VarChar In " + std::to_string(value.size()) + " '" + value + "'");
        EXPECT_EQ(p, want);
    }
}

TEST_F(UnitAttributes, RowsBecomeAnEscapedList) {
    st->db->on("uspGetUnitAttributes",
               Answer::rowsOf({"FN", "FVal", "Other"}, {{"Color", "Red", 1}, {"Size", nullptr, 2}, {nullptr, "X", 3},
                                                        {"A<&", "1 < 2 & \"3\"", 4}, {"Count", 12, 5}}));
    EXPECT_EQ(t->GetUnitAttributes("r", out), 0);
    const std::string doc =
        "<UNITINFO><UNITDATA><NAME>Color</NAME><VALUE>Red</VALUE></UNITDATA>"
        "<UNITDATA><NAME>Size</NAME><VALUE></VALUE></UNITDATA><UNITDATA><NAME></NAME><VALUE></VALUE></UNITDATA>"
        "<UNITDATA><NAME>A&lt;&amp;</NAME><VALUE>1 &lt; 2 &amp; &quot;3&quot;</VALUE></UNITDATA>"
        "<UNITDATA><NAME>Count</NAME><VALUE>12</VALUE></UNITDATA></UNITINFO>";
    EXPECT_EQ(out, doc);
    EXPECT_EQ(st->messages(), (Lines{"r", doc}));  // the request and the list at level 2
}

TEST_F(UnitAttributes, NoRowErrorCodesAndFailures) {
    Answer lost = Answer::rowsOf({"FN", "FVal"}, {{"a", "1"}, {"b", "2"}});
    lost.failAtRow = {{1, "Timeout expired"}};
    for (Answer a : {Answer::rowsOf({"FN", "FVal"}, {}), Answer::rowsOf({"ERROR"}, {{3}}),
                     Answer::rowsOf({"ERROR"}, {{0}}), Answer::rowsOf({"FN", "Value"}, {{"a", "b"}}),
                     Answer::rowsOf({"FN"}, {{"a"}}), lost})
        st->db->on("uspGetUnitAttributes", a);
    for (int status : {6000, 3, 0, 9999, 9999, 9003}) EXPECT_EQ(t->GetUnitAttributes("r", out), status);
    EXPECT_EQ(out, "kept");
    const std::string notFound =
        "Item cannot be found in the collection corresponding to the requested name or ordinal.";
    EXPECT_EQ(st->messages(), (Lines{"r", "r", "GetUnitAttributes10 returned =3", "r",
                                     "GetUnitAttributes10 returned =0", "r", notFound, "r", notFound, "r",
                                     "Timeout expired"}));
}

}  // namespace
