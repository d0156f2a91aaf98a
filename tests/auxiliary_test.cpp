// Message texts, product structure and the generic procedure call.
#include <gtest/gtest.h>

#include <memory>

#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
#include "support/station.h"

using dz::Tester;
using dz::db::ScriptedDriver;
using dz::db::Value;
using dz::test::Station;
using Answer = ScriptedDriver::Answer;

namespace {

const std::vector<std::string> kColumns = {"Parent", "Product-Family", "Description", "PartNumber", "Revision"};

// A station on a server of the given schema number, ready for calls.
struct Aux : ::testing::Test {
    std::unique_ptr<Station> st;
    std::unique_ptr<Tester> t;

    void start(int schema, const std::string& extraIni = "") {
        t.reset();
        st.reset();  // restores the component folder before the next one is set
        dz::modVariables() = dz::ModVariables{};
        st = std::make_unique<Station>(extraIni);
        st->serveGeneration(schema);
        if (schema == 24)  // the slave is the same scripted server
            st->db->on("objUTLGetSlaveConnection",
                       Answer::rowsOf({"InstanceName", "DatabaseName"}, {{st->server, "db"}}));
        t = std::make_unique<Tester>();
        st->db->clearCalls();
        st->clearLog();
    }
    void SetUp() override { start(24); }
    void TearDown() override {
        t.reset();
        st.reset();
    }
};

// ---- message texts ---------------------------------------------------------

TEST_F(Aux, ErrMessageOnlyFromRevision3Of20) {
    for (int schema : {10, 20, 22, 23, 24}) {
        SCOPED_TRACE(schema);
        start(schema);
        st->db->on("objUTLGetErrMessage", [] {
            Answer a;
            a.outputs["@Message"] = Value("No row");
            return a;
        }());
        const bool served = schema >= 23;
        EXPECT_EQ(t->GetErrMessage(6000), served ? "No row" : "");
        EXPECT_EQ(st->db->callCount(), served ? 1u : 0u);
        EXPECT_EQ(st->log(), "");
    }
}

TEST_F(Aux, ErrMessageSendsTheFiveParameters) {
    for (int code : {6000, -1}) {
        st->db->clearCalls();
        t->GetErrMessage(code);
        auto calls = st->db->calls();
        ASSERT_EQ(calls.size(), 1u);
        const auto& c = calls[0];
        EXPECT_EQ(c.text, "objUTLGetErrMessage");
        EXPECT_EQ(c.type, dz::db::adCmdStoredProc);
        EXPECT_EQ(c.timeout, 30);
        EXPECT_EQ(c.connectionString, dz::modVariables().ConnectString);
        struct Expected {
            const char* name;
            dz::db::DataType type;
            dz::db::ParameterDirection dir;
            long size;
            Value value;
        };
        const Expected want[] = {
            {"return", dz::db::adInteger, dz::db::adParamReturnValue, 0, Value(0)},
            {"@Language", dz::db::adVarChar, dz::db::adParamInput, 3, Value("ENG")},
            {"@Type", dz::db::adVarChar, dz::db::adParamInput, 5, Value("ERROR")},
            {"@Code", dz::db::adVarChar, dz::db::adParamInput, 20, Value(std::to_string(code))},
            {"@Message", dz::db::adVarChar, dz::db::adParamOutput, 200, Value()},
        };
        ASSERT_EQ(c.parameters.size(), 5u);
        for (size_t i = 0; i < 5; ++i) {
            SCOPED_TRACE(want[i].name);
            EXPECT_EQ(c.parameters[i].name, want[i].name);
            EXPECT_EQ(c.parameters[i].type, want[i].type);
            EXPECT_EQ(c.parameters[i].direction, want[i].dir);
            EXPECT_EQ(c.parameters[i].size, want[i].size);
            EXPECT_EQ(c.parameters[i].value, want[i].value);
        }
    }
}

TEST_F(Aux, ErrMessageNullOrEmptyGivesEmptyText) {
    Answer empty;
    empty.outputs["@Message"] = Value("");
    st->db->on("objUTLGetErrMessage", Answer::status(5));  // Null message; status not read
    st->db->on("objUTLGetErrMessage", empty);
    EXPECT_EQ(t->GetErrMessage(1), "");
    EXPECT_EQ(t->GetErrMessage(1), "");
    EXPECT_EQ(st->log(), "");
}

// The description of the com::Error that a call ends with, or "no error".
template <typename F>
std::string errorOf(F call) {
    try {
        call();
    } catch (const dz::com::Error& e) {
        return e.description();
    }
    return "no error";
}

TEST_F(Aux, ErrMessageFailureReachesTheCallerUnlogged) {
    st->db->on("objUTLGetErrMessage", Answer::failure("Could not find stored procedure 'objUTLGetErrMessage'."));
    EXPECT_EQ(errorOf([&] { t->GetErrMessage(1); }), "Could not find stored procedure 'objUTLGetErrMessage'.");

    const std::string down = "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.";
    st->db->failAll(down);
    EXPECT_EQ(errorOf([&] { t->GetErrMessage(6000); }), down);
    EXPECT_EQ(st->log(), "");
}

// ---- product structure -----------------------------------------------------

std::string product(const char* fam, const char* descr, const char* pn, const char* rev, const char* end) {
    return std::string("<PRODUCT Product-Family=\"") + fam + "\" Description=\"" + descr + "\" PartNumber=\"" + pn +
           "\" Revision=\"" + rev + "\" " + end;
}

TEST_F(Aux, ProductTreeOfAssembliesAndParts) {
    st->db->on("zeradurGetProductStructure", Answer::rowsOf(kColumns, {
        {Value(), "F", "Board", "100", "A"},
        {"100", "F", "Chip", "200", "B"},
        {Value(), "G", "Case", 300, Value()},   // a second assembly closes the first
        {"300", "G", "Screw", "301", "C"},
        {"301", "G", "Nut", "302", "D"},        // Parent names a part: still level two
    }));
    std::string doc = "old", err = "stale";
    EXPECT_EQ(t->GetProductStructure("<Part PN='100'/>", doc, err), 0);
    EXPECT_EQ(doc, "<ProductStructure>" + product("F", "Board", "100", "A", ">") +
                       product("F", "Chip", "200", "B", "/>") + "</PRODUCT>" + product("G", "Case", "300", "", ">") +
                       product("G", "Screw", "301", "C", "/>") + product("G", "Nut", "302", "D", "/>") +
                       "</PRODUCT></ProductStructure>");
    EXPECT_EQ(err, "");
    EXPECT_EQ(st->log(), "");

    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 1u);
    const auto& c = calls[0];
    EXPECT_EQ(c.type, dz::db::adCmdStoredProc);
    EXPECT_TRUE(c.namedParameters);
    ASSERT_EQ(c.parameters.size(), 2u);
    EXPECT_EQ(c.parameters[0].name, "return");
    EXPECT_EQ(c.parameters[0].direction, dz::db::adParamReturnValue);
    EXPECT_EQ(c.parameters[1].name, "@xmlPart");
    EXPECT_EQ(c.parameters[1].type, dz::db::adLongVarChar);
    EXPECT_EQ(c.parameters[1].size, 16);
    EXPECT_EQ(c.parameters[1].value, Value("<Part PN='100'/>"));  // apostrophes not doubled
}

TEST_F(Aux, ProductTreeEdgeShapes) {
    st->db->on("zeradurGetProductStructure", Answer::rowsOf(kColumns, {
        {"X", "F", "Chip", "200", "B"},
        {"X", "F", "Diode", "201", "A"},
    }));
    st->db->on("zeradurGetProductStructure", Answer::rowsOf(kColumns, {}));
    std::string doc, err;
    EXPECT_EQ(t->GetProductStructure("", doc, err), 0);
    EXPECT_EQ(doc, "<ProductStructure>" + product("F", "Chip", "200", "B", "/>") +
                       product("F", "Diode", "201", "A", "/>") + "</ProductStructure>");
    EXPECT_EQ(t->GetProductStructure("", doc, err), 0);
    EXPECT_EQ(doc, "<ProductStructure></ProductStructure>");
}

TEST_F(Aux, ProductValuesAreEscaped) {
    st->db->on("zeradurGetProductStructure", Answer::rowsOf(kColumns, {
        {Value(), "R&D", "5\" <Board>", "it's", "A"},
    }));
    std::string doc, err;
    EXPECT_EQ(t->GetProductStructure("", doc, err), 0);
    EXPECT_EQ(doc, "<ProductStructure>" + product("R&amp;D", "5&quot; &lt;Board&gt;", "it's", "A", ">") +
                       "</PRODUCT></ProductStructure>");
}

TEST_F(Aux, ProductProcedureStatusBecomes9999) {
    Answer three = Answer::rowsOf(kColumns, {{Value(), "F", "Board", "100", "A"}});
    three.returnValue = Value(3);
    st->db->on("zeradurGetProductStructure", three);
    std::string doc = "as passed", err;
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9999);
    EXPECT_EQ(doc, "as passed");
    EXPECT_EQ(err, "");
    EXPECT_EQ(st->messages(), std::vector<std::string>{""});
}

TEST_F(Aux, ProductFailureHalfwayLeavesTheCallersText) {
    Answer broken = Answer::rowsOf(kColumns, {
        {Value(), "F", "Board", "100", "A"},
        {"100", "F", "Chip", "200", "B"},
        {"100", "F", "Diode", "201", "A"},
    });
    const std::string lost = "[DBNETLIB][ConnectionRead (recv()).]General network error. Check your network.";
    broken.failAtRow = {{2, lost}};
    st->db->on("zeradurGetProductStructure", broken);
    st->db->on("zeradurGetProductStructure", Answer::rowsOf({"Parent", "Description"}, {{Value(), "x"}}));
    std::string doc = "as passed", err;
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9002);
    EXPECT_EQ(doc, "as passed");
    EXPECT_EQ(err, lost);
    // A missing column is a failure like any other.
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9999);
    EXPECT_EQ(doc, "as passed");
    EXPECT_NE(err.find("Item cannot be found"), std::string::npos);
    EXPECT_EQ(st->messages(), (std::vector<std::string>{lost, err}));
}

TEST_F(Aux, ProductProcedureNamedInTheIni) {
    start(10, "[CUSTOMIZATION]\nSPToGetProductStructure = uspSiteTree\n");
    st->db->failAll("Timeout expired");
    std::string doc, err;
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9003);
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, "uspSiteTree");
    EXPECT_EQ(err, "Timeout expired");
}

// ---- generic function ------------------------------------------------------

const char* kMapping =
    "[CUSTOMIZATION]\nSPToGenericFunction =  uspDefault \n"
    "[GENERICFUNCTIONSMAPPING]\nPrintLabel = uspPrintLabel\nBlank = \"   \"\n";

TEST_F(Aux, GenericCallsTheMappedProcedure) {
    start(24, kMapping);
    st->db->on("uspPrintLabel", Answer::rowsOf({"Out"}, {{"ignored"}}));
    std::string out = "as passed", err;
    EXPECT_EQ(t->GetGenericFunction("<Label n='1'/>", out, err, "printlabel"), 0);
    EXPECT_EQ(out, "as passed");
    EXPECT_EQ(err, "");
    EXPECT_EQ(dz::modVariables().SPToGenericFunction, "uspPrintLabel");
    EXPECT_EQ(t->GetGenericFunction("<x/>", out, err), 0);  // no name: the CUSTOMIZATION key
    EXPECT_EQ(dz::modVariables().SPToGenericFunction, "uspDefault");

    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].text, "uspPrintLabel");
    EXPECT_EQ(calls[0].type, dz::db::adCmdStoredProc);
    EXPECT_TRUE(calls[0].namedParameters);
    EXPECT_EQ(calls[0].timeout, 30);
    ASSERT_EQ(calls[0].parameters.size(), 2u);
    EXPECT_EQ(calls[0].parameters[0].name, "return");
    EXPECT_EQ(calls[0].parameters[0].type, dz::db::adInteger);
    EXPECT_EQ(calls[0].parameters[0].direction, dz::db::adParamReturnValue);
    EXPECT_EQ(calls[0].parameters[1].name, "@xmlIn");
    EXPECT_EQ(calls[0].parameters[1].type, dz::db::adLongVarChar);
    EXPECT_EQ(calls[0].parameters[1].size, 14);
    EXPECT_EQ(calls[0].parameters[1].value, Value("<Label n='1'/>"));
    EXPECT_EQ(calls[1].text, "uspDefault");
    EXPECT_EQ(st->log(), "");
}

TEST_F(Aux, GenericWithoutAProcedureNameIsRefused) {
    start(24, kMapping);
    std::string out = "as passed", err;
    EXPECT_EQ(t->GetGenericFunction("<x/>", out, err, "Unmapped"), 9999);
    EXPECT_EQ(t->GetGenericFunction("<x/>", out, err, "Blank"), 9999);
    start(24);  // no CUSTOMIZATION key at all
    EXPECT_EQ(t->GetGenericFunction("<x/>", out, err), 9999);
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_EQ(out, "as passed");
    EXPECT_EQ(err, "");
    EXPECT_EQ(st->messages(), std::vector<std::string>{"Wrong information for config file"});
}

TEST_F(Aux, GenericReadsTheIniOnEveryCall) {
    start(24, kMapping);
    std::string out, err;
    EXPECT_EQ(t->GetGenericFunction("", out, err, "Later"), 9999);
    st->home.write("DEZozevo.ini", st->home.read("DEZozevo.ini") + "Later=uspLater\n");
    EXPECT_EQ(t->GetGenericFunction("", out, err, "Later"), 0);
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, "uspLater");
}

TEST_F(Aux, GenericProcedureStatusAndFailures) {
    start(24, kMapping);
    st->db->on("uspDefault", Answer::status(7));
    st->db->on("uspDefault", Answer::failure("Timeout expired"));
    st->db->on("uspDefault", Answer::status(0));
    std::string out = "as passed", err;
    EXPECT_EQ(t->GetGenericFunction("", out, err), 9999);
    EXPECT_EQ(err, "");
    EXPECT_EQ(t->GetGenericFunction("", out, err), 9003);
    EXPECT_EQ(err, "Timeout expired");
    // The description left from the failed call does not fail the next one.
    EXPECT_EQ(t->GetGenericFunction("", out, err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "as passed");
    EXPECT_EQ(st->messages(), (std::vector<std::string>{"", "Timeout expired"}));
}

}  // namespace
