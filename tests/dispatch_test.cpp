// The Tester behind its bindings: dispatch by generation and the route check;
// calls by name (named and positional arguments, by-reference results,
// conversions, refusals); the public C++ interface (the state beside the
// methods, the errors that reach the caller).
// The C interface, the command and Python: cabi/, cli_test, python/tests.
#include <gtest/gtest.h>

#include <thread>

#include "binding/dispatch.h"
#include "component/Context.h"
#include "component/Tester.h"
#include "dezozevo/dezozevo.hpp"
#include "sim/sim.h"
#include "support/plant.h"
#include "support/station.h"

using dz::Tester;
using dz::com::Argument;
using dz::com::CallError;
using dz::com::invoke;
using dz::com::Variant;
using dz::test::Station;
using Answer = dz::db::ScriptedDriver::Answer;
using Lines = std::vector<std::string>;

namespace {

// Where no worker serves the generation: fixed answers, outputs as passed, no database call, no log line
// (without a generation, only the start-up that runs again).
// Generation 20 checks the route in its unit query; without a generation nothing goes ahead.
TEST(Dispatch, FixedAnswersWithoutTheDatabase) {
    for (auto [generation, refused] : {std::pair{20, 0}, {0, 100}}) {
        SCOPED_TRACE(generation);
        Station st;
        if (generation)
            st.serveGeneration(generation);
        else
            st.db->failAll("SQL Server does not exist or access denied.");
        auto t = dz::test::startTester(st);
        std::string out = "kept";
        EXPECT_EQ(t->CheckRoute("SN1", "ST1"), refused);
        EXPECT_EQ(t->GetCalibrationInfo(out, "ST1", "F1"), refused);
        EXPECT_EQ(t->SaveCalibration("<x/>"), refused);
        EXPECT_EQ(t->GetUnitAttributes("<Unit SerialNumber='1'/>", out), refused);
        EXPECT_EQ(t->GetErrMessage(6000), "");  // generation 20 revision 0 has no message table
        if (!generation) {
            EXPECT_EQ(t->GetUnitInfo("<Unit SerialNumber='1'/>", out), 100);
            EXPECT_EQ(t->SaveResult(std::string("<r/>")), 100);
        }
        EXPECT_EQ(out, "kept");
        if (generation) {
            EXPECT_EQ(st.db->callCount(), 0u);
            EXPECT_EQ(st.log(), "");
        } else {  // each call first runs the start-up again: its probe only (its log lines: results_test)
            EXPECT_EQ(dz::test::callsTo(*st.db, "fsLanguage").size(), st.db->callCount());
            EXPECT_EQ(st.db->callCount(), 7u);
        }
    }
}

TEST(Route, SendsUnitAndStationUnchanged) {
    dz::test::Started s(10);
    s.st->db->on("uspCheckRouting", Answer::status(0));
    EXPECT_EQ(s.t->CheckRoute("SN\xC3\xA4 ", ""), 0);
    auto calls = s.st->db->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(dz::test::command(calls[0]), "uspCheckRouting StoredProc 30");
    // The size counts characters, not bytes; an empty station is not replaced by the INI one.
    EXPECT_EQ(dz::test::params(calls[0]), (Lines{"@Product VarChar In 4 'SN\xC3\xA4 '", "@Station VarChar In 0 ''"}));
    EXPECT_EQ(s.st->log(), "");
}

TEST(Route, StatusesFailuresAndTheirLogLines) {
    dz::test::Started s(10);
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
        s.st->clearLog();
        s.st->db->on("uspCheckRouting", c.answer);
        EXPECT_EQ(s.t->CheckRoute("SN1", "ST1"), c.result);
        EXPECT_EQ(s.st->messages(), c.lines);
    }
}

// ---- calls by name ------------------------------------------------------------

// The station's database is not reachable: no generation, no connection.
struct Offline : ::testing::Test {
    Station st;
    std::unique_ptr<Tester> t;
    void SetUp() override {
        st.db->failAll("SQL Server does not exist or access denied.");
        t = dz::test::startTester(st);
    }
    // The message of the CallError a call throws; fails the test when it throws none.
    std::string callError(std::string_view method, const std::vector<Argument>& args, CallError::Kind kind) {
        try {
            invoke(*t, method, args);
        } catch (const CallError& e) {
            EXPECT_EQ(e.kind(), kind) << e.what();
            return e.what();
        }
        ADD_FAILURE() << method << " did not throw CallError";
        return "";
    }
};

Variant argOf(const dz::com::Invocation& r, const std::string& name) {
    for (const auto& a : r.args)
        if (a.name == name) return a.value;
    ADD_FAILURE() << "no argument " << name << " in the answer";
    return {};
}

TEST_F(Offline, NamedPositionalAndAnyCase) {
    auto r = invoke(*t, "calcerrcode", {{"STRMSG", "x General network error x"}});
    EXPECT_STREQ(r.method->name, "CalcErrCode");
    EXPECT_EQ(r.result, Variant(9002));
    ASSERT_EQ(r.args.size(), 1u);
    EXPECT_EQ(r.args[0].name, "strMsg");  // the interface's spelling
    EXPECT_EQ(r.args[0].value, Variant("x General network error x"));

    // Positional values fill the arguments in order; named ones may follow.
    st.home.write("other.ini", "[S]\nK=found\n");
    const std::string ini = st.home.file("other.ini");
    EXPECT_EQ(invoke(*t, "GetProfileItem", {{"", "S"}, {"", "K"}, {"", "dflt"}, {"", ini}}).result, Variant("found"));
    EXPECT_EQ(invoke(*t, "GetProfileItem",
                     {{"", "S"}, {"strIniFile", ini}, {"strDefaultValue", "dflt"}, {"strKeyName", "missing"}})
                  .result,
              Variant("dflt"));
}

TEST(ByName, AnOptionalArgumentReachesItsPlace) {
    dz::test::Started s(10);
    // The optional station name reaches its place: it is resolved first (blanks are a station),
    // and a failing resolution queries nothing; the output comes back as passed.
    s.st->db->on("uspGetSlaveInfo", Answer::rowsOf({"Error", "MasterSlaveSolution"}, {{4, 0}}));
    const auto r = invoke(*s.t, "GetUnitInfo", {{"strRequest", "<Unit SerialNumber='1'/>"}, {"strUnitInfo", "kept"},
                                                {"strStationName", "  "}});
    EXPECT_EQ(r.result, Variant(20));
    EXPECT_EQ(argOf(r, "strUnitInfo"), Variant("kept"));
    auto calls = s.st->db->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_NE(calls[0].text.find("exec uspGetSlaveInfo '  '"), std::string::npos);
}

TEST_F(Offline, ValuesAreConvertedToTheArgumentType) {
    auto r = invoke(*t, "putLog", {{"strMsg", "hello"}, {"nLevel", "1"}});
    EXPECT_TRUE(r.result.isEmpty());
    EXPECT_EQ(argOf(r, "nLevel"), Variant(1));  // a number, not the text
    EXPECT_EQ(st.messages(), std::vector<std::string>{"hello"});

    r = invoke(*t, "CalcErrCode", {{"strMsg", 9002}});
    EXPECT_EQ(argOf(r, "strMsg"), Variant("9002"));
    EXPECT_EQ(r.result, Variant(9999));
    // By-value arguments are converted but not handed back.
    EXPECT_TRUE(invoke(*t, "GetErrMessage", {{"nErrCode", " 12"}}).args.empty());

    // SaveResult takes the variant as it is: Null included. Its status is
    // noted as the Tester's last failure; CalcErrCode's is not.
    r = invoke(*t, "SaveResult", {{"strXMLResultText", Variant(dz::com::Null{})}});
    EXPECT_EQ(r.result, Variant(100));
    EXPECT_TRUE(r.args.empty());
    invoke(*t, "CalcErrCode", {{"strMsg", "Timeout expired"}});
    ASSERT_TRUE(t->state().lastFailure);
    EXPECT_EQ(t->state().lastFailure->status, 100);
}

TEST_F(Offline, BadCallsAreRefusedBeforeTheMethodRuns) {
    const Variant null{dz::com::Null{}};
    const std::vector<std::pair<std::vector<Argument>, CallError::Kind>> putLogCalls = {
        {{{"strMsg", "a"}, {"nLevel", 1}, {"nLevl", 1}}, CallError::UnknownArgument},
        {{{"strMsg", "a"}}, CallError::MissingArgument},
        {{{"strMsg", "a"}, {"STRMSG", "b"}, {"nLevel", 1}}, CallError::BadArgument},  // twice
        {{{"", "a"}, {"", 1}, {"", 1}}, CallError::BadArgument},                      // too many
        {{{"nLevel", 1}, {"", "a"}}, CallError::BadArgument},                         // positional late
        {{{"strMsg", "a"}, {"nLevel", 256}}, CallError::BadArgument},                 // not 8-bit
        {{{"strMsg", null}, {"nLevel", 1}}, CallError::BadArgument},
    };
    for (size_t i = 0; i < putLogCalls.size(); ++i) {
        SCOPED_TRACE("putLog call " + std::to_string(i));
        callError("putLog", putLogCalls[i].first, putLogCalls[i].second);
    }
    callError("GetUnitInf", {}, CallError::UnknownMethod);  // a prefix is not a name
    callError("GetErrMessage", {{"nErrCode", 3000000000LL}}, CallError::BadArgument);
    callError("GetLastError", {{"", "x"}}, CallError::BadArgument);
    EXPECT_EQ(callError("putLog", {{"strMsg", "a"}, {"nLevel", "one"}}, CallError::BadArgument),
              "Argument nLevel of putLog: Type mismatch (\"one\" for uint8)");
    EXPECT_EQ(callError("GetUnitInfo", {{"strUnitInfo", "x"}}, CallError::MissingArgument),
              "Argument strRequest of GetUnitInfo is missing");
    EXPECT_EQ(st.log(), "");  // no putLog ran
}

// ---- the public C++ interface -------------------------------------------------

TEST(Facade, StateFollowsTheStationCycle) {
    dz::test::Plant p(10);
    p.setIni("ResendOnNetErr=no", "ResendOnNetErr=yes");
    dezozevo::Tester t;
    dezozevo::State s = t.state();
    EXPECT_EQ(s.startupStatus, 0) << p.log();
    EXPECT_EQ(s.generation, 10);
    EXPECT_EQ(s.server, "sim:plant.db");
    EXPECT_FALSE(s.lastFailure);

    // A refusal: the status and the line the worker logged.
    const int32_t refused = t.CheckRoute("SN24001-0008", "FCT-01");
    ASSERT_GT(refused, 0);
    ASSERT_TRUE(t.state().lastFailure);
    EXPECT_EQ(t.state().lastFailure->status, refused);
    EXPECT_EQ(t.state().lastFailure->description, "CheckRoute10 returned value=" + std::to_string(refused));

    ASSERT_EQ(t.SaveResult(dz::test::siteFile("SampleResult.xml")), 0) << p.log();
    ASSERT_TRUE(t.state().testId);
    EXPECT_EQ(*t.state().testId, p.results().back()["test_id"].get<long>());

    // A result that is not XML stores nothing: no test ID, its own failure.
    const int32_t unreadable = t.SaveResult("<TestRun");
    EXPECT_NE(unreadable, 0);
    EXPECT_FALSE(t.state().testId);
    EXPECT_EQ(t.state().lastFailure->status, unreadable);

    // A result kept while uploads fail shows in the state; resend() sends it once they work.
    dz::sim::loadAnswers(p.db(), R"({"procedures": {"uspTestSaveResult": {"drop": true}}})");
    EXPECT_EQ(t.SaveResult(dz::test::siteFile("SampleResult.xml")), 9002);
    EXPECT_EQ(t.state().queue.kept, 1u);
    EXPECT_EQ(t.resend(), 9002);
    EXPECT_EQ(t.state().lastFailure->status, 9002);  // with the client's description
    EXPECT_NE(t.state().lastFailure->description.find("General network error"), std::string::npos)
        << t.state().lastFailure->description;
    dz::sim::loadAnswers(p.db(), "");
    EXPECT_EQ(t.resend(), 0);
    EXPECT_EQ(t.state().queue.kept, 0u);
    EXPECT_FALSE(t.state().queue.oldestSeconds);
}

TEST(Facade, ErrorsThatReachTheCaller) {
    dz::test::Plant p(10);
    dezozevo::Tester t;
    const size_t calls = p.calls().size();
    std::thread([&] {
        EXPECT_THROW(t.CheckRoute("SN24001-0003", "FCT-01"), dezozevo::Error);
        EXPECT_THROW(t.state(), dezozevo::Error);
    }).join();
    EXPECT_EQ(p.calls().size(), calls);  // refused before the database is asked

    dezozevo::Tester moved = std::move(t);
    EXPECT_EQ(moved.getStation(), "FCT-01");
    EXPECT_THROW(t.getStation(), dezozevo::Error);  // NOLINT(bugprone-use-after-move)
}

}  // namespace
