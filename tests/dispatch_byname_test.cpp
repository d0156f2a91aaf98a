// Calls by name: the method table, named and positional arguments, by-reference
// results, conversions, and the errors of a bad call or a failing method.
// A method failing towards its caller and the thread binding: cli_test, cabi/ and dispatch_test.
#include <gtest/gtest.h>

#include "component/Tester.h"
#include "component/Context.h"
#include "binding/dispatch.h"
#include "support/station.h"

using dz::Tester;
using dz::com::Argument;
using dz::com::CallError;
using dz::com::invoke;
using dz::com::Variant;
using dz::db::ScriptedDriver;
using dz::test::Station;
using Answer = ScriptedDriver::Answer;

namespace {

// The station's database is not reachable: no generation, no connection.
struct Offline : ::testing::Test {
    Station st;
    std::unique_ptr<Tester> t;
    void SetUp() override {
        dz::threadContext() = dz::Context{};
        st.db->failAll("SQL Server does not exist or access denied.");
        t = std::make_unique<Tester>();
        st.db->clearCalls();
        st.clearLog();
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
    dz::threadContext() = dz::Context{};
    Station st;
    st.serveGeneration(10);
    Tester t;
    st.db->clearCalls();
    // The optional station name reaches its place: it is resolved first (blanks are a station),
    // and a failing resolution queries nothing; the output comes back as passed.
    st.db->on("uspGetSlaveInfo", Answer::rowsOf({"Error", "MasterSlaveSolution"}, {{4, 0}}));
    const auto r = invoke(t, "GetUnitInfo", {{"strRequest", "<Unit SerialNumber='1'/>"}, {"strUnitInfo", "kept"},
                                             {"strStationName", "  "}});
    EXPECT_EQ(r.result, Variant(20));
    EXPECT_EQ(argOf(r, "strUnitInfo"), Variant("kept"));
    auto calls = st.db->calls();
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

}  // namespace
