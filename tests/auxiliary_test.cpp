// Message texts, product structure and the generic procedure call.
#include <gtest/gtest.h>

#include "component/Tester.h"
#include "component/Context.h"
#include "support/errors.h"
#include "support/station.h"

using dz::db::Value;
using Answer = dz::db::ScriptedDriver::Answer;
using Lines = std::vector<std::string>;

namespace {

const Lines kColumns = {"Parent", "Product-Family", "Description", "PartNumber", "Revision"};
const char* const kTree = "zeradurGetProductStructure";

// On generation 24 the slave is the same scripted server.
void slaveHere(dz::test::Station& st) {
    st.db->on("objUTLGetSlaveConnection", Answer::rowsOf({"InstanceName", "DatabaseName"}, {{st.server, "db"}}));
}

struct Aux : ::testing::Test, dz::test::Started {
    std::string doc = "as passed", err = "stale";
    Aux() : Started(24, "", slaveHere) {}
    void start(int schema, const std::string& extraIni = "") { restart(schema, extraIni, slaveHere); }
    // The only call's command, then its parameters.
    Lines onlyCall() const {
        auto calls = st->db->calls();
        if (calls.size() != 1) return {"calls: " + std::to_string(calls.size())};
        Lines out = dz::test::params(calls[0]);
        out.insert(out.begin(), dz::test::command(calls[0]));
        return out;
    }
};

// ---- message texts ---------------------------------------------------------

// Served from revision 3 of generation 20 on; a Null or empty message is an
// empty text, and a failure reaches the caller.
TEST_F(Aux, ErrMessage) {
    for (int schema : {10, 20, 22, 23, 24}) {
        SCOPED_TRACE(schema);
        start(schema);
        Answer a;
        a.outputs["@Message"] = Value("No row");
        st->db->on("objUTLGetErrMessage", a);
        const bool served = schema >= 23;
        EXPECT_EQ(t->GetErrMessage(-1), served ? "No row" : "");
        EXPECT_EQ(st->db->callCount(), served ? 1u : 0u);
        EXPECT_EQ(st->log(), "");
    }
    EXPECT_EQ(st->db->calls()[0].connectionString, dz::threadContext().connections.working);
    EXPECT_EQ(onlyCall(), (Lines{"objUTLGetErrMessage StoredProc 30", "return Integer Return 0 0",
                                 "@Language VarChar In 3 'ENG'", "@Type VarChar In 5 'ERROR'",
                                 "@Code VarChar In 20 '-1'", "@Message VarChar Out 200 Null"}));
    Answer empty;
    empty.outputs["@Message"] = Value("");
    st->db->on("objUTLGetErrMessage", Answer::status(5));  // Null message; status not read
    st->db->on("objUTLGetErrMessage", empty);
    st->db->on("objUTLGetErrMessage", Answer::failure("Could not find stored procedure 'objUTLGetErrMessage'."));
    EXPECT_EQ(t->GetErrMessage(1), "");
    EXPECT_EQ(t->GetErrMessage(1), "");
    using dz::test::errorOf;
    EXPECT_EQ(errorOf<dz::com::Error>([&] { t->GetErrMessage(1); }),
              "Could not find stored procedure 'objUTLGetErrMessage'.");
    EXPECT_EQ(st->log(), "");
}

// ---- product structure -----------------------------------------------------

std::string product(const char* fam, const char* descr, const char* pn, const char* rev, const char* end) {
    return std::string("<PRODUCT Product-Family=\"") + fam + "\" Description=\"" + descr + "\" PartNumber=\"" + pn +
           "\" Revision=\"" + rev + "\" " + end;
}

TEST_F(Aux, ProductStructure) {
    st->db->on(kTree, Answer::rowsOf(kColumns, {
        {Value(), "F", "Board", "100", "A"},
        {"100", "F", "Chip", "200", "B"},
        {Value(), "G", "Case", 300, Value()},   // a second assembly closes the first
        {"300", "G", "Screw", "301", "C"},
        {"301", "G", "Nut", "302", "D"},        // Parent names a part: still level two
        {Value(), "H", "Frame", "400", "E"},
        {Value(), "R&D", "5\" <Board>", "it's", "A"},  // two assemblies in a row; values escaped
    }));
    st->db->on(kTree, Answer::rowsOf(kColumns, {{"X", "F", "Chip", "200", "B"}, {"X", "F", "Diode", "201", "A"}}));
    st->db->on(kTree, Answer::rowsOf(kColumns, {}));
    EXPECT_EQ(t->GetProductStructure("<Part PN='100'/>", doc, err), 0);
    EXPECT_EQ(doc, "<ProductStructure>" + product("F", "Board", "100", "A", ">") +
                       product("F", "Chip", "200", "B", "/>") + "</PRODUCT>" + product("G", "Case", "300", "", ">") +
                       product("G", "Screw", "301", "C", "/>") + product("G", "Nut", "302", "D", "/>") + "</PRODUCT>" +
                       product("H", "Frame", "400", "E", ">") + "</PRODUCT>" +
                       product("R&amp;D", "5&quot; &lt;Board&gt;", "it's", "A", ">") + "</PRODUCT></ProductStructure>");
    EXPECT_EQ(err, "");
    EXPECT_EQ(onlyCall(), (Lines{"zeradurGetProductStructure StoredProc 30 named", "return Integer Return 0 0",
                                 "@xmlPart LongVarChar In 16 '<Part PN='100'/>'"}));  // apostrophes not doubled
    EXPECT_EQ(t->GetProductStructure("", doc, err), 0);  // parts only
    EXPECT_EQ(doc, "<ProductStructure>" + product("F", "Chip", "200", "B", "/>") +
                       product("F", "Diode", "201", "A", "/>") + "</ProductStructure>");
    EXPECT_EQ(t->GetProductStructure("", doc, err), 0);
    EXPECT_EQ(doc, "<ProductStructure></ProductStructure>");
    // Failures leave the caller's text; success is not logged.
    doc = "as passed";
    Answer three = Answer::rowsOf(kColumns, {{Value(), "F", "Board", "100", "A"}});
    three.returnValue = Value(3);
    Answer broken = Answer::rowsOf(kColumns, {{Value(), "F", "Board", "100", "A"}, {"100", "F", "Chip", "200", "B"},
                                              {"100", "F", "Diode", "201", "A"}});
    const std::string lost = "[DBNETLIB][ConnectionRead (recv()).]General network error. Check your network.";
    broken.failAtRow = {{2, lost}};
    st->db->on(kTree, three);
    st->db->on(kTree, broken);
    st->db->on(kTree, Answer::rowsOf({"Parent", "Description"}, {{Value(), "x"}}));
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9999);  // a procedure status other than 0
    EXPECT_EQ(err, "");
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9002);
    EXPECT_EQ(err, lost);
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9999);  // a missing column
    EXPECT_NE(err.find("Item cannot be found"), std::string::npos);
    EXPECT_EQ(doc, "as passed");
    EXPECT_EQ(st->messages(), (Lines{"", lost, err}));
    start(10, "[CUSTOMIZATION]\nSPToGetProductStructure = uspSiteTree\n");  // the procedure named in the INI
    st->db->failAll("Timeout expired");
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9003);
    EXPECT_EQ(st->db->calls().at(0).text, "uspSiteTree");
    EXPECT_EQ(err, "Timeout expired");
}

// ---- generic function ------------------------------------------------------

const char* kMapping =
    "[CUSTOMIZATION]\nSPToGenericFunction =  uspDefault \n"
    "[GENERICFUNCTIONSMAPPING]\nPrintLabel = uspPrintLabel\nBlank = \"   \"\n";

TEST_F(Aux, GenericFunction) {
    start(24, kMapping);
    st->db->on("uspPrintLabel", Answer::rowsOf({"Out"}, {{"ignored"}}));
    st->db->on("uspDefault", Answer::status(7));
    st->db->on("uspDefault", Answer::failure("Timeout expired"));
    st->db->on("uspDefault", Answer::status(0));
    EXPECT_EQ(t->GetGenericFunction("<Label n='1'/>", doc, err, "printlabel"), 0);
    EXPECT_EQ(onlyCall(), (Lines{"uspPrintLabel StoredProc 30 named", "return Integer Return 0 0",
                                 "@xmlIn LongVarChar In 14 '<Label n='1'/>'"}));
    // No name: the CUSTOMIZATION key's procedure, whose status other than 0 fails.
    EXPECT_EQ(t->GetGenericFunction("", doc, err), 9999);
    EXPECT_EQ(err, "");
    EXPECT_EQ(t->GetGenericFunction("", doc, err), 9003);
    EXPECT_EQ(err, "Timeout expired");
    EXPECT_EQ(t->GetGenericFunction("", doc, err), 0);  // a description passed in does not fail the call
    EXPECT_EQ(err, "");
    // Without a procedure name nothing is called; the INI is read on every call.
    EXPECT_EQ(t->GetGenericFunction("<x/>", doc, err, "Later"), 9999);
    EXPECT_EQ(t->GetGenericFunction("<x/>", doc, err, "Blank"), 9999);
    EXPECT_EQ(st->db->callCount(), 4u);
    st->home.write("DEZozevo.ini", st->home.read("DEZozevo.ini") + "Later=uspLater\n");
    EXPECT_EQ(t->GetGenericFunction("", doc, err, "Later"), 0);
    EXPECT_EQ(st->db->calls().back().text, "uspLater");
    EXPECT_EQ(doc, "as passed");  // never written
    const std::string wrong = "Wrong information for config file";
    EXPECT_EQ(st->messages(), (Lines{"", "Timeout expired", wrong, wrong}));
}

}  // namespace
