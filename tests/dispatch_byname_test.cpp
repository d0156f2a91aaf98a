// Calls by name: the method table, named and positional arguments, by-reference
// results, conversions, and the errors of a bad call or a failing method.
#include <gtest/gtest.h>

#include <thread>

#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
#include "platform/com/dispatch.h"
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

struct ByName : ::testing::Test {
    void SetUp() override { dz::modVariables() = dz::ModVariables{}; }
};

// The station's database is not reachable: no generation, no connection.
struct Offline : ByName {
    Station st;
    std::unique_ptr<Tester> t;
    void SetUp() override {
        ByName::SetUp();
        st.db->failAll("SQL Server does not exist or access denied.");
        t = std::make_unique<Tester>();
        st.db->clearCalls();
        st.clearLog();
    }
    // The kind of CallError a call throws; fails the test when it throws none.
    CallError::Kind callError(std::string_view method, const std::vector<Argument>& args) {
        try {
            invoke(*t, method, args);
        } catch (const CallError& e) {
            return e.kind();
        }
        ADD_FAILURE() << method << " did not throw CallError";
        return CallError::BadArgument;
    }
};

Variant argOf(const dz::com::Invocation& r, const std::string& name) {
    for (const auto& a : r.args)
        if (a.name == name) return a.value;
    ADD_FAILURE() << "no argument " << name << " in the answer";
    return {};
}

TEST(MethodTable, ListsTheInterfaceInOrder) {
    std::vector<std::string> names;
    for (const auto& m : dz::com::methods()) names.push_back(m.name);
    EXPECT_EQ(names, (std::vector<std::string>{
                         "CheckRoute", "GetUnitInfo", "GetCalibrationInfo", "SaveCalibration", "GetOrderInfo",
                         "GetOrderInfoByStation", "GetModelAttributes", "GetUnitAttributes", "GetErrMessage",
                         "SaveResult", "GetLastError", "GetProfileItem", "getStation", "FileExists", "putLog",
                         "CalcErrCode", "GetProductStructure", "GetGenericFunction"}));

    const auto* m = dz::com::findMethod("getunitINFO");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->name, "GetUnitInfo");
    ASSERT_EQ(m->args.size(), 4u);
    EXPECT_STREQ(m->args[1].name, "strUnitInfo");
    EXPECT_TRUE(m->args[1].byRef);
    EXPECT_FALSE(m->args[1].optional);
    EXPECT_FALSE(m->args[2].byRef);
    EXPECT_TRUE(m->args[2].optional);
    EXPECT_TRUE(m->args[3].optional);

    const auto* log = dz::com::findMethod("putLog");
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->result, dz::com::ResultType::None);
    EXPECT_EQ(log->args[1].type, dz::com::ArgType::UInt8);
    EXPECT_TRUE(log->args[1].byRef);
    EXPECT_EQ(dz::com::findMethod("SaveResult")->args[0].type, dz::com::ArgType::Variant);
    EXPECT_EQ(dz::com::findMethod("GetUnitInf"), nullptr);
}

TEST_F(Offline, NamedPositionalAndAnyCase) {
    auto r = invoke(*t, "calcerrcode", {{"STRMSG", "x General network error x"}});
    EXPECT_STREQ(r.method->name, "CalcErrCode");
    EXPECT_EQ(r.result, Variant(9002));
    ASSERT_EQ(r.args.size(), 1u);
    EXPECT_EQ(r.args[0].name, "strMsg");  // the interface's spelling
    EXPECT_EQ(r.args[0].value, Variant("x General network error x"));

    EXPECT_EQ(invoke(*t, "CalcErrCode", {{"", "ACCESS DENIED"}}).result, Variant(9001));

    // Positional values fill the arguments in order; named ones may follow.
    st.home.write("other.ini", "[S]\nK=found\n");
    const std::string ini = st.home.file("other.ini");
    EXPECT_EQ(invoke(*t, "GetProfileItem", {{"", "S"}, {"", "K"}, {"", "dflt"}, {"", ini}}).result, Variant("found"));
    EXPECT_EQ(invoke(*t, "GetProfileItem", {{"", "S"}, {"strIniFile", ini}, {"strDefaultValue", "dflt"},
                                            {"strKeyName", "missing"}})
                  .result,
              Variant("dflt"));
    EXPECT_EQ(invoke(*t, "GETSTATION", {}).result, Variant("ST1"));
    EXPECT_EQ(invoke(*t, "GetLastError", {}).result, Variant("OK"));
}

TEST_F(Offline, OmittedOptionalArgumentsAreLeftOutOfTheAnswer) {
    auto r = invoke(*t, "GetUnitInfo", {{"strRequest", "<Unit SerialNumber='1'/>"}, {"strUnitInfo", "kept"}});
    EXPECT_EQ(r.result, Variant(100));  // no generation
    ASSERT_EQ(r.args.size(), 2u);
    EXPECT_EQ(argOf(r, "strUnitInfo"), Variant("kept"));
    EXPECT_EQ(st.db->callCount(), 0u);
}

TEST_F(ByName, AnOptionalArgumentReachesItsPlace) {
    Station st;
    st.serveGeneration(10);
    Tester t;
    st.db->clearCalls();
    st.db->on("uspGetSlaveInfo", Answer::rowsOf({"Error", "MasterSlaveSolution"}, {{4, 0}}));
    auto r = invoke(t, "GetUnitInfo", {{"strRequest", "<Unit SerialNumber='1'/>"}, {"strUnitInfo", "kept"},
                                       {"strStationName", "ST2"}});
    EXPECT_EQ(r.result, Variant(20));
    EXPECT_EQ(argOf(r, "strUnitInfo"), Variant("kept"));
    auto calls = st.db->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_NE(calls[0].text.find("'ST2'"), std::string::npos);
}

TEST_F(ByName, ByReferenceResultsComeBack) {
    Station st;
    st.serveGeneration(10);
    Tester t;
    st.db->on("uspGetOrderInfo", Answer::rowsOf({"WONUM", "ORDERQTY", "STARTEDQTY", "COMPLETED", "WORKORDERID"},
                                                {{"WO-17", 5, 1, 0, 77}}));
    auto r = invoke(t, "GetOrderInfo", {{"strWorkOrderInfo", "old"}});
    EXPECT_EQ(r.result, Variant(0));
    const std::string out = argOf(r, "strWorkOrderInfo").toText();
    EXPECT_NE(out, "old");
    EXPECT_NE(out.find("WO-17"), std::string::npos);

    st.db->on("uspCheckRouting", Answer::status(5));
    r = invoke(t, "CheckRoute", {{"", "SN1"}, {"", "ST1"}});
    EXPECT_EQ(r.result, Variant(5));
    EXPECT_EQ(argOf(r, "strUnitSN"), Variant("SN1"));
}

TEST_F(Offline, ValuesAreConvertedToTheArgumentType) {
    auto r = invoke(*t, "putLog", {{"strMsg", "hello"}, {"nLevel", "1"}});
    EXPECT_TRUE(r.result.isEmpty());
    EXPECT_EQ(argOf(r, "nLevel"), Variant(1));  // a number, not the text
    EXPECT_EQ(st.messages(), std::vector<std::string>{"hello"});

    r = invoke(*t, "CalcErrCode", {{"strMsg", 9002}});
    EXPECT_EQ(argOf(r, "strMsg"), Variant("9002"));
    EXPECT_EQ(r.result, Variant(9999));
    EXPECT_EQ(argOf(invoke(*t, "CalcErrCode", {{"strMsg", true}}), "strMsg"), Variant("True"));

    // SaveResult takes the variant as it is: Null included.
    r = invoke(*t, "SaveResult", {{"strXMLResultText", Variant(dz::com::Null{})}});
    EXPECT_EQ(r.result, Variant(100));
    EXPECT_TRUE(argOf(r, "strXMLResultText").isNull());

    EXPECT_EQ(argOf(invoke(*t, "GetErrMessage", {{"nErrCode", " 12"}}), "nErrCode"), Variant(12));
}

TEST_F(Offline, BadCallsAreRefusedBeforeTheMethodRuns) {
    EXPECT_EQ(callError("NoSuchMethod", {}), CallError::UnknownMethod);
    EXPECT_EQ(callError("putLog", {{"strMsg", "a"}, {"nLevel", 1}, {"nLevl", 1}}), CallError::UnknownArgument);
    EXPECT_EQ(callError("putLog", {{"strMsg", "a"}}), CallError::MissingArgument);
    EXPECT_EQ(callError("putLog", {{"strMsg", "a"}, {"STRMSG", "b"}, {"nLevel", 1}}), CallError::BadArgument);
    EXPECT_EQ(callError("putLog", {{"", "a"}, {"", 1}, {"", 1}}), CallError::BadArgument);        // too many
    EXPECT_EQ(callError("putLog", {{"nLevel", 1}, {"", "a"}}), CallError::BadArgument);          // positional late
    EXPECT_EQ(callError("putLog", {{"strMsg", "a"}, {"nLevel", 256}}), CallError::BadArgument);  // not 8-bit
    EXPECT_EQ(callError("putLog", {{"strMsg", "a"}, {"nLevel", -1}}), CallError::BadArgument);
    EXPECT_EQ(callError("putLog", {{"strMsg", "a"}, {"nLevel", "one"}}), CallError::BadArgument);
    EXPECT_EQ(callError("putLog", {{"strMsg", Variant(dz::com::Null{})}, {"nLevel", 1}}), CallError::BadArgument);
    EXPECT_EQ(callError("GetErrMessage", {{"nErrCode", 3000000000LL}}), CallError::BadArgument);
    EXPECT_EQ(callError("GetLastError", {{"", "x"}}), CallError::BadArgument);
    EXPECT_EQ(st.log(), "");  // no putLog ran

    try {
        invoke(*t, "putLog", {{"strMsg", "a"}, {"nLevel", "one"}});
        FAIL();
    } catch (const CallError& e) {
        EXPECT_STREQ(e.what(), "Argument nLevel of putLog: Type mismatch (\"one\" for uint8)");
    }
    try {
        invoke(*t, "GetUnitInfo", {{"strRequest", "x"}});
        FAIL();
    } catch (const CallError& e) {
        EXPECT_STREQ(e.what(), "Argument strUnitInfo of GetUnitInfo is missing");
    }
}

TEST_F(Offline, AFailingMethodGivesItsDescription) {
    st.home.write("there.txt", "x");
    std::string there = st.home.file("there.txt");
    EXPECT_EQ(invoke(*t, "FileExists", {{"Fname", there}}).result, Variant(true));
    EXPECT_EQ(invoke(*t, "FileExists", {{"Fname", st.home.path() + "/"}}).result, Variant(false));
    try {
        invoke(*t, "FileExists", {{"Fname", "/no-such-folder-dz/*/x"}});
        FAIL() << "no error";
    } catch (const CallError&) {
        FAIL() << "a failure of the method is not a bad call";
    } catch (const dz::com::Error& e) {
        EXPECT_NE(std::string(e.what()).find("/no-such-folder-dz/*/x"), std::string::npos);
    }
}

TEST_F(Offline, ACallFromAnotherThreadIsRefused) {
    std::string error;
    bool wrongKind = false;
    std::thread([&] {
        try {
            invoke(*t, "putLog", {{"strMsg", "from elsewhere"}, {"nLevel", 1}});
        } catch (const CallError&) {
            wrongKind = true;
        } catch (const dz::com::Error& e) {
            error = e.what();
        }
    }).join();
    EXPECT_FALSE(wrongKind);
    EXPECT_NE(error.find("different thread"), std::string::npos);
    EXPECT_EQ(st.log(), "");
}

}  // namespace
