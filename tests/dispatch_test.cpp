// Dispatch by generation and the route check.
#include <gtest/gtest.h>

#include "component/Tester.h"
#include "component/Context.h"
#include "binding/dispatch.h"
#include "support/station.h"

using dz::Tester;
using dz::test::Station;
using Answer = dz::db::ScriptedDriver::Answer;
using Lines = std::vector<std::string>;

namespace {

struct Dispatch : ::testing::Test {
    void SetUp() override { dz::threadContext() = dz::Context{}; }
};

// Where no worker serves the generation: fixed answers, outputs as passed, no database call, no log line
// (without a generation, only the start-up that runs again).
// Generation 20 checks the route in its unit query; without a generation nothing goes ahead.
TEST_F(Dispatch, FixedAnswersWithoutTheDatabase) {
    for (auto [generation, refused] : {std::pair{20, 0}, {0, 100}}) {
        SCOPED_TRACE(generation);
        dz::threadContext() = dz::Context{};
        Station st;
        if (generation)
            st.serveGeneration(generation);
        else
            st.db->failAll("SQL Server does not exist or access denied.");
        Tester t;
        st.db->clearCalls();
        st.clearLog();
        std::string out = "kept";
        EXPECT_EQ(t.CheckRoute("SN1", "ST1"), refused);
        EXPECT_EQ(t.GetCalibrationInfo(out, "ST1", "F1"), refused);
        EXPECT_EQ(t.SaveCalibration("<x/>"), refused);
        EXPECT_EQ(t.GetUnitAttributes("<Unit SerialNumber='1'/>", out), refused);
        EXPECT_EQ(t.GetErrMessage(6000), "");  // generation 20 revision 0 has no message table
        if (!generation) {
            EXPECT_EQ(t.GetUnitInfo("<Unit SerialNumber='1'/>", out), 100);
            EXPECT_EQ(t.SaveResult(std::string("<r/>")), 100);
        }
        EXPECT_EQ(out, "kept");
        if (generation) {
            EXPECT_EQ(st.db->callCount(), 0u);
            EXPECT_EQ(st.log(), "");
        } else {  // each call first runs the start-up again: its probe only, and its outcome in the log
            EXPECT_EQ(dz::test::callsTo(*st.db, "fsLanguage").size(), st.db->callCount());
            EXPECT_EQ(st.db->callCount(), 7u);
            for (const std::string& line : st.messages())
                EXPECT_TRUE(line == "No server generation was detected at start-up: starting up again" ||
                            line == "Runtime error in GetTWVer SQL Server does not exist or access denied." ||
                            line == "CLASS INIT FAILED. GetSlaveConn RetCode=100")
                    << line;
        }
    }
}

struct Route : Dispatch {
    Station st;
    std::unique_ptr<Tester> t;
    void SetUp() override {
        Dispatch::SetUp();
        st.serveGeneration(10);
        t = std::make_unique<Tester>();
        st.db->clearCalls();
        st.clearLog();
    }
};

TEST_F(Route, SendsUnitAndStationUnchanged) {
    st.db->on("uspCheckRouting", Answer::status(0));
    EXPECT_EQ(t->CheckRoute("SN\xC3\xA4 ", ""), 0);
    auto calls = st.db->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(dz::test::command(calls[0]), "uspCheckRouting StoredProc 30");
    // The size counts characters, not bytes; an empty station is not replaced by the INI one.
    EXPECT_EQ(dz::test::params(calls[0]), (Lines{"@Product VarChar In 4 'SN\xC3\xA4 '", "@Station VarChar In 0 ''"}));
    EXPECT_EQ(st.log(), "");
}

TEST_F(Route, StatusesFailuresAndTheirLogLines) {
    struct Case {
        Answer answer;
        int result;
        Lines lines;
    };
    for (auto& c : std::vector<Case>{
             {Answer::status(5), 5, {"CheckRoute10 returned value=5"}},
             {Answer::status(-3), -3, {}},
             {Answer::failure("[DBNETLIB]General network error. Check your network."), 9002,
              {"[DBNETLIB]General network error. Check your network."}},
             {Answer::failure("Could not find stored procedure 'uspCheckRouting'."), 9999,
              {"Could not find stored procedure 'uspCheckRouting'."}}}) {
        SCOPED_TRACE(c.result);
        st.clearLog();
        st.db->on("uspCheckRouting", c.answer);
        EXPECT_EQ(t->CheckRoute("SN1", "ST1"), c.result);
        EXPECT_EQ(st.messages(), c.lines);
    }
}

}  // namespace
