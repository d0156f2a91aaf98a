// "May this unit be tested here": the built-in reading of the sample site's
// unit document, a site's own UnitCheck.xsl, and the whole check against the
// sample plant on generations 10 and 24.
#include <gtest/gtest.h>

#include "component/Tester.h"
#include "binding/unitcheck.h"
#include "support/plant.h"

namespace uc = dz::unitcheck;

namespace {

std::string unit(const std::string& status, const std::string& next) {
    std::string doc = "<UNITINFO><UnitData><Name>SerialNumber</Name><Value>SN1</Value></UnitData>";
    if (!status.empty()) doc += "<UnitData><Name>Status</Name><Value>" + status + "</Value></UnitData>";
    if (next != "-") doc += "<UnitData><Name>NextStation</Name><Value>" + next + "</Value></UnitData>";
    return doc + "<GROUP name=\"Limits\"><UNITDATA><NAME type=\"char\">Status</NAME><VALUE>HOLD</VALUE></UNITDATA></GROUP></UNITINFO>";
}

// A site's UnitCheck.xsl whose template writes `body`.
std::string sheet(const std::string& body) {
    return "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
           "<xsl:output method='text'/><xsl:template match='/'>" +
           body + "</xsl:template></xsl:stylesheet>";
}

TEST(UnitCheck, BuiltInReadsStatusAndNextStation) {
    struct Case {
        std::string status, next, station;
        int32_t verdict;
    };
    const std::vector<Case> cases = {
        {"ACTIVE", "FCT-01", "FCT-01", 0},
        {"active", "ICT-01, fct-01", "FCT-01", 0},  // any case, a list with blanks
        {"ACTIVE", "FCT-01,FCT-02", "FCT-0", 3},     // a whole name, not a part of one
        {"ACTIVE", "", "FCT-01", 3},
        {"HOLD", "FCT-01", "FCT-01", 4},
        {"SCRAPPED", "FCT-01", "FCT-01", 5},
        {"COMPLETE", "", "FCT-01", 6},
        {"TEMP", "FCT-01", "FCT-01", 3},
        {"", "FCT-01", "FCT-01", 9999},  // a group's item of that name is not the unit's status
        {"ACTIVE", "-", "FCT-01", 9999},
    };
    for (const auto& c : cases) {
        const uc::Verdict v = uc::judge(uc::builtInStyleSheet(), unit(c.status, c.next), c.station);
        EXPECT_EQ(v.status, c.verdict) << c.status << " / " << c.next << " at " << c.station << ": " << v.reason;
        EXPECT_EQ(v.reason.empty(), c.verdict == 0) << v.reason;
    }
    // A station or document that would break the wrapper is text, or a clear failure.
    EXPECT_EQ(uc::judge(uc::builtInStyleSheet(), unit("ACTIVE", "A&amp;\"B"), "A&\"B").status, 0);
    EXPECT_EQ(uc::judge(uc::builtInStyleSheet(), "<UNITINFO>", "FCT-01").status, 9999);
}

TEST(UnitCheck, ASiteStyleSheetSaysWhatItsVerdictIs) {
    const std::vector<std::tuple<std::string, int32_t, std::string>> cases = {
        {"<xsl:value-of select='concat(\"  42 wrong \", /UnitCheck/@Station, \" \")'/>", 42, "wrong ST"},
        {"-7", -7, ""},
        {"cleared", 9999, "the unit check gave no verdict: \"cleared\""},
        {"99999999999", 9999, "the unit check gave no verdict: \"99999999999\""},
    };
    for (const auto& [body, status, reason] : cases) {
        const uc::Verdict v = uc::judge(sheet(body), "<U/>", "ST");
        EXPECT_EQ(v.status, status) << body;
        EXPECT_EQ(v.reason, reason) << body;
    }
    EXPECT_EQ(uc::judge("<xsl:stylesheet", "<U/>", "ST").status, 9999);
}

// The whole check against the sample plant: the verdict, the unit document,
// and the reason in the state.
struct Plant : ::testing::TestWithParam<int> {};

TEST_P(Plant, RefusesHeldUnitsAndUnitsDueElsewhere) {
    dz::test::Plant p(GetParam());
    const char* why = GetParam() == 10 ? "CheckRoute10 returned value=" : "UnitCheck returned value=";
    const std::vector<std::tuple<std::string, std::string, int32_t>> cases = {
        {"SN24001-0003", "", 0},         {"SN24001-0003", "FCT-02", 0}, {"SN24001-0008", "", 4},
        {"SN24001-0006", "FCT-01", 3},   {"SN24001-0009", "", 5},       {"SN24001-0003", "ICT-01", 3},
    };
    dz::Tester t;
    for (const auto& [sn, station, status] : cases) {
        std::string info = "old";
        EXPECT_EQ(uc::mayTest(t, sn, station, info), status) << sn << " at " << station << "\n" << p.log();
        const auto failure = t.state().lastFailure;
        if (status == 0) {
            EXPECT_NE(info.find(sn), std::string::npos) << info;
            EXPECT_FALSE(failure);
        } else {
            ASSERT_TRUE(failure);
            EXPECT_EQ(failure->description.rfind(why + std::to_string(status), 0), 0u) << failure->description;
        }
    }
    // A site's own check replaces the built-in one (generation 20 and later).
    p.home.write("UnitCheck.xsl", sheet("77 site rule"));
    std::string info;
    EXPECT_EQ(uc::mayTest(t, "SN24001-0003", "", info), GetParam() == 10 ? 0 : 77);
}

INSTANTIATE_TEST_SUITE_P(Generations, Plant, ::testing::Values(10, 24));

}  // namespace
