// The MES simulator, driven as the component drives it: commands through the
// database client on Data Source "sim:<file>"; its journal and fault schedules
// as a lab uses them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "component/Scramble.h"
#include "platform/db/db.h"
#include "sim/sim.h"
#include "support/errors.h"
#include "support/station.h"

using namespace dz;
using db::Value;
using json = nlohmann::json;
using Table = std::vector<std::vector<std::string>>;
using Strings = std::vector<std::string>;

namespace {

const char* const kProbe = test::kGenerationProbe;

std::string slaveBatch(const std::string& quotedStation) {
    return "if exists (select 1 from sysobjects where name='uspGetSlaveInfo') exec uspGetSlaveInfo '" + quotedStation +
           "' else select 0 Error, 0 MasterSlaveSolution";
}

std::string configBatch(const std::string& unit, const std::string& station) {
    return "if exists (select 1 from sysobjects where name='uspGetTestResultConfig') exec uspGetTestResultConfig '" +
           unit + "','" + station + "' else select 0 Method, '' Dest";
}

std::string errorOf(const std::function<void()>& f) { return test::errorOf<db::Error>(f); }

std::string connectString(const std::string& source, const std::string& user = "station",
                          const std::string& password = "station") {
    return "Provider=SQLOLEDB;Password=" + password + ";User ID=" + user + ";Initial Catalog=MES;Data Source=" +
           source + ";Network Library=DBMSSOCN;";
}

// The rows of a record set as texts ("<null>" for Null).
Table table(const db::Recordset& rs) {
    Table out;
    for (const auto& r : rs.rows()) {
        out.emplace_back();
        for (const auto& v : r) out.back().push_back(v.isNull() ? "<null>" : v.toText());
    }
    return out;
}

std::vector<json> parsed(const Strings& lines) {
    std::vector<json> out;
    for (const auto& l : lines) out.push_back(json::parse(l));
    return out;
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

class Sim {
public:
    explicit Sim(int generation = 10, bool sample = true) {
        path = dir.file("plant.db");
        sim::InitOptions o;
        o.generation = generation;
        o.sample = sample;
        sim::create(path, o);
    }

    db::Command proc(const std::string& name, int timeout = 30) const {
        db::Command c;
        c.activeConnection = connectString("sim:" + path);
        c.timeout = timeout;
        c.text = name;
        c.type = db::adCmdStoredProc;
        return c;
    }

    db::Recordset batch(const std::string& text) const {
        db::Command c = proc(text);
        c.type = db::adCmdText;
        return c.execute();
    }

    // Runs a procedure with text inputs by position; returns (status, record set).
    std::pair<int, db::Recordset> call(const std::string& name, std::vector<std::pair<std::string, Value>> in,
                                       bool named = false) const {
        db::Command c = proc(name);
        c.namedParameters = named;
        for (auto& [n, v] : in) c.append(n, db::adVarChar, db::adParamInput, v, v.isNull() ? 10 : std::optional<long>());
        db::Recordset rs = c.execute();
        return {c.value("@RETURN_VALUE").toInt32(), std::move(rs)};
    }

    // uspTestSaveResult as the component calls it: (status, test ID or Null).
    std::pair<int, Value> save(const std::string& doc) const {
        db::Command c = proc("uspTestSaveResult");
        c.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        c.append("@strXML", db::adLongVarChar, db::adParamInput, doc);
        c.append("@TestID", db::adDouble, db::adParamOutput, Value(), 0);
        c.execute();
        return {c.value("return").toInt32(), c.parameters()[2].value};
    }

    int route(const std::string& unit, const std::string& station) const {
        return call("uspCheckRouting", {{"@Product", unit}, {"@Station", station}}).first;
    }
    // uspCheckRouting of SN24001-0003 with unnamed parameters: "ok STATUS" or the failure.
    std::string outcome(const std::string& station = "FCT-01", int timeout = 30) const {
        db::Command c = proc("uspCheckRouting", timeout);
        c.append("", db::adVarChar, db::adParamInput, "SN24001-0003");
        c.append("", db::adVarChar, db::adParamInput, station);
        std::string error = errorOf([&] { c.execute(); });
        return error == "<no error>" ? "ok " + std::to_string(c.value("@RETURN_VALUE").toInt32()) : error;
    }

    void answers(const std::string& js) const { sim::loadAnswers(path, js); }
    std::vector<json> journal(const sim::JournalFilter& f = {}) const { return parsed(sim::journal(path, f)); }
    std::vector<json> results() const { return parsed(sim::results(path)); }

    test::TempDir dir;
    std::string path;
};

std::string resultDoc(const std::string& station, const std::string& unit, const std::string& status,
                      const std::string& extra = "") {
    return "<sr:TestResult xmlns:sr=\"urn:SaveResult-schema\" STATION=\"" + station + "\"><DUT ID=\"" + unit +
           "\" STATUS=\"" + status + "\">" + extra + "</DUT></sr:TestResult>";
}
const std::string kPassed = resultDoc("FCT-01", "SN24001-0003", "PASS");

}  // namespace

// ---- generations and the probe batches ------------------------------------

TEST(SimBatch, ProbeSlaveAndResultConfigBatches) {
    for (int g : {10, 20, 22, 23, 24}) EXPECT_EQ(table(Sim(g, false).batch(kProbe)), (Table{{std::to_string(g)}}));

    Sim s(10);
    db::Recordset rs = s.batch(slaveBatch("FCT-02"));
    EXPECT_EQ(rs.field("MasterSlaveSolution").toInt32(), 1);
    EXPECT_EQ(rs.field("DatabaseName").toText(), "MES_LINE2");
    EXPECT_NE(rs.field("UserPassword").toText(), UnscramblePassword(rs.field("UserPassword").toText()));  // scrambled
    EXPECT_EQ(s.batch(slaveBatch("FCT-01")).field("MasterSlaveSolution").toInt32(), 0);
    // A name with an apostrophe arrives as one string literal.
    EXPECT_EQ(s.batch(slaveBatch("O''Neil''s bench")).field("Error").toInt32(), 0);
    EXPECT_EQ(table(s.batch(configBatch("SN''1", "FCT-01"))), (Table{{"Database", ""}}));
    EXPECT_EQ(table(s.batch(configBatch("SN1", "NOWHERE"))), (Table{{"Database", ""}}));
    // Final inspection delivers into the buffer folder made beside the file.
    rs = s.batch(configBatch("SN24001-0002", "FINAL-01"));
    EXPECT_EQ(rs.columns(), (Strings{"Method", "Dest"}));
    EXPECT_EQ(table(rs), (Table{{"TempFile", s.dir.file("buffer")}}));
    EXPECT_TRUE(s.dir.exists("buffer"));

    Sim g24(24);  // no such procedures: the batches' own fallback rows
    EXPECT_EQ(g24.batch(slaveBatch("FCT-02")).columns(), (Strings{"Error", "MasterSlaveSolution"}));
    EXPECT_EQ(table(g24.batch(slaveBatch("FCT-02"))), (Table{{"0", "0"}}));
    EXPECT_EQ(table(g24.batch(configBatch("SN24001-0002", "FINAL-01"))), (Table{{"0", ""}}));
    // Generation 24 names the slave by the station element instead.
    auto slave = [&](const std::string& station) {
        std::string element = "<StationInfo Description=\"" + station + "\"/>";
        db::Recordset rs = g24.call("objUTLGetSlaveConnection", {{"@xmlStation", element}}).second;
        return rs.field("InstanceName").toText() + " " + rs.field("DatabaseName").toText();
    };
    EXPECT_EQ(slave("FCT-02"), "sim:" + g24.dir.file("plant-line2.db") + " MES_LINE2");
    EXPECT_EQ(slave("FCT-01"), "sim:" + g24.path + " MES");  // served by the master itself
    sim::query(g24.path, "INSERT INTO stations(name, slave) VALUES('A&\"B', 'LINE2')");
    EXPECT_TRUE(contains(slave("A&amp;&quot;B"), " MES_LINE2"));  // escaped as XML
}

TEST(SimBatch, ExecAndSelectOfConstantsWorkAndOtherStatementsAreRefusedClearly) {
    Sim s(10);
    EXPECT_EQ(s.batch("exec uspGetOrderInfo @Station = N'FCT-01'").field("WONUM").toText(), "WO-24001");
    EXPECT_EQ(table(s.batch("select 1 AS one, 'x' two, -2.5, NULL")), (Table{{"1", "x", "-2.5", "<null>"}}));
    EXPECT_EQ(errorOf([&] { s.batch("select 1 from units"); }),
              "The simulator can only select constants; it has no tables to select from.");
    EXPECT_EQ(errorOf([&] { s.batch("exec uspGetOrderInfo 'FCT-01"); }),
              "Unclosed quotation mark after the character string 'FCT-01'.");
    EXPECT_TRUE(contains(errorOf([&] { s.batch("delete from units"); }), "cannot run the statement"));
}

// ---- logins and the file ------------------------------------------------------

TEST(SimLogin, WrongLoginsAndMissingFilesFailAsTheClientReportsThem) {
    Sim s(10, false);
    s.dir.write("other.db", "not a database");
    setenv("DEZOZEVO_HOME", s.dir.path().c_str(), 1);  // a relative path resolves against the component folder
    for (auto [cs, error] : std::vector<std::pair<std::string, std::string>>{
             {connectString("sim:" + s.path, "station", "wrong"), "Login failed for user 'station'."},
             {connectString("sim:" + s.path, "nobody"), "Login failed for user 'nobody'."},
             {connectString("sim:" + s.path, "STATION"), "<no error>"},
             {connectString("sim:" + s.dir.file("none.db")), sim::kNoServer},
             {connectString("sim:" + s.dir.file("other.db")), sim::kNoServer},
             {connectString(" sim:plant.db "), "<no error>"}}) {
        db::Command c;
        c.activeConnection = cs;
        c.text = kProbe;
        EXPECT_EQ(errorOf([&] { c.execute(); }), error) << cs;
    }
    unsetenv("DEZOZEVO_HOME");
    EXPECT_FALSE(s.dir.exists("none.db"));
    EXPECT_EQ(s.journal().size(), 2u);  // only the commands that logged in
}

// ---- route check, parameter binding and unit data ---------------------------------

TEST(SimRoute, ZeroForTheNextStationAndAReasonOtherwise) {
    Sim s(10);
    for (auto [unit, station, reason] : std::vector<std::tuple<std::string, std::string, int>>{
             {"SN24001-0003", "FCT-01", 0}, {"sn24001-0003", "fct-02", 0},  // alternative station, any letter case
             {"SN24001-0003", "ICT-01", 3}, {"SN-NONE", "FCT-01", 1},      {"SN24001-0003", "NOWHERE", 2},
             {"SN24001-0003", "", 2},       {"SN24001-0008", "FCT-01", 4}, {"SN24001-0009", "FCT-01", 5},
             {"SN24001-0010", "PACK-01", 6}, {"SN24005-0001", "FCT-01", 7}})
        EXPECT_EQ(s.route(unit, station), reason) << unit << " at " << station;

    // Parameters bind as the server binds them: procedures exist by generation,
    // names do not matter by position.
    EXPECT_EQ(errorOf([&] { Sim(24).route("SN24001-0003", "FCT-01"); }),
              "Could not find stored procedure 'uspCheckRouting'.");
    EXPECT_EQ(errorOf([&] { s.call("uspCheckRouting", {{"@a", "A"}, {"@b", "B"}, {"@c", "C"}}); }),
              "Procedure or function uspCheckRouting has too many arguments specified.");
    EXPECT_EQ(s.call("dbo.uspCheckRouting", {{"@x", "SN24001-0003"}, {"@y", "FCT-01"}}).first, 0);
}

TEST(SimUnitInfo, GenerationTwentyChecksTheUserParameterByRevision) {
    auto call = [](const Sim& s, bool withUser, const std::string& sn) {
        std::vector<std::pair<std::string, Value>> in{
            {"@xmlSerialNumber", "<SerialNumber><S Descr=\"ANY\">" + sn + "</S></SerialNumber>"},
            {"@xmlStation", "<StationInfo Description=\"FCT-01\"/>"}};
        if (withUser) in.push_back({"@UserID", Value()});
        in.push_back({"@EnterTime", "2026-03-07 14:05:09"});
        in.push_back({"@ExitTime", "2026-03-07 14:05:09"});
        return s.call("objTSKGetUnitInfo", in).second;
    };
    Sim g20(20), g22(22), g24(24);
    EXPECT_EQ(errorOf([&] { call(g20, true, "SN24001-0003"); }),
              "Procedure or function objTSKGetUnitInfo has too many arguments specified.");
    EXPECT_EQ(errorOf([&] { call(g22, false, "SN24001-0003"); }),
              "Procedure or function 'objTSKGetUnitInfo' expects parameter '@ExitTime', which was not supplied.");
    EXPECT_EQ(call(g20, false, "SN24001-0003").fieldCount(), 5u);
    EXPECT_EQ(call(g24, true, "SN24001-0003").fieldCount(), 5u);
}

// ---- results ------------------------------------------------------------------

TEST(SimResults, GenerationTenStoresWithATestIdAndMovesThePassedUnitOn) {
    Sim s(10);
    auto [status, id] = s.save(resultDoc("FCT-01", "SN24001-0003", "PASS", "<STEP NAME=\"O''Brien check\"/>"));
    EXPECT_EQ(status, 0);
    EXPECT_GT(id.toInt32(), 70000);
    json stored = s.results().back();
    EXPECT_EQ(stored["test_id"], id.toInt32());
    EXPECT_EQ(stored["serial"], "SN24001-0003");
    EXPECT_TRUE(contains(stored["document"], "O'Brien check"));
    EXPECT_EQ(s.route("SN24001-0003", "FCT-01"), 3);
    EXPECT_EQ(s.route("SN24001-0003", "BURNIN-01"), 0);

    // A failed unit stays where it is; statuses are stored in the MES's words.
    EXPECT_EQ(s.save(resultDoc("FCT-01", "SN24001-0004", "Fail")).first, 0);
    EXPECT_EQ(s.route("SN24001-0004", "FCT-01"), 0);
    EXPECT_EQ(s.results().back()["status"], "FAIL");
    // Names match without regard to case or namespace.
    EXPECT_EQ(s.save("<x:Run xmlns:x='urn:x' station='ST'><x:dut id='SN24001-0005' status='pass'/></x:Run>").first, 0);
    EXPECT_EQ(s.results().back()["station"], "ST");
    EXPECT_EQ(s.results().back()["status"], "PASS");

    // Documents that name no known unit are refused and not stored.
    size_t before = s.results().size();
    for (auto [doc, code] : std::vector<std::pair<std::string, int>>{
             {"", 52}, {" \r\n\t", 52}, {"<a>", 51}, {"<Run><Step/></Run>", 53},
             {"<Run><DUT STATUS='PASS'/><DUT ID='SN24001-0005'/></Run>", 53},
             {resultDoc("FCT-01", "SN-NONE", "PASS"), 1}}) {
        auto [st, none] = s.save(doc);
        EXPECT_EQ(st, code) << doc;
        EXPECT_TRUE(none.isNull());
    }
    EXPECT_EQ(s.results().size(), before);
}

// ---- work orders, calibration, product structure -------------------------------

TEST(SimAnswers, ErrorRowForUnknownUnitsStationsAndParts) {
    Sim s(10);
    struct Case {
        std::string proc;
        std::vector<std::pair<std::string, Value>> in;
        int error;
    };
    for (const Case& c : std::vector<Case>{
             {"uspGetUnitInfo", {{"@ProdSN", "SN-NONE"}, {"@station", "FCT-01"}}, 1},
             {"uspGetUnitAttributes", {{"@strXML", "<Unit SerialNumber=\"TMP-1\"/>"}, {"@station", "FCT-01"}}, 1},
             {"uspGetUnitAttributes", {{"@strXML", "not xml"}, {"@station", "FCT-01"}}, 41},
             {"uspGetOrderInfo", {{"@Station", "NOWHERE"}}, 2},
             {"uspGetCalibrationInfo", {{"@station", "X"}, {"@fixture", Value()}}, 2},
             {"uspGetModelAttributeByPartNumber", {{"@PartNumber", "X"}, {"@Revision", ""}}, 42}}) {
        db::Recordset rs = s.call(c.proc, c.in).second;
        EXPECT_EQ(rs.columns(), Strings{"ERROR"}) << c.proc;
        EXPECT_EQ(table(rs), (Table{{std::to_string(c.error)}})) << c.proc;
    }
    // A fixture without calibration has no rows; a calibration of no known station is refused.
    EXPECT_TRUE(s.call("uspGetCalibrationInfo", {{"@station", "FCT-01"}, {"@fixture", "FX-NONE"}}).second.eof());
    EXPECT_EQ(s.call("uspSaveCalibration", {{"@xmlCalibration", "<CALIBRATION STATION=\"NOWHERE\"/>"}}).first, 2);
}

TEST(SimStructure, StatusesOfThePartAndTheNamedParameter) {
    Sim s(24);
    auto structure = [&](const std::string& request, const std::string& param = "@xmlPart") {
        return s.call("zeradurGetProductStructure", {{param, request}}, true).first;
    };
    EXPECT_EQ(structure("<Part PartNumber=\"ASM-5000\" Revision=\"C\"/>"), 0);
    EXPECT_EQ(structure("<Part PartNumber=\"NOPE\"/>"), 42);
    EXPECT_EQ(structure("junk"), 41);
    EXPECT_EQ(errorOf([&] { structure("<Part/>", "@xmlIn"); }),
              "@xmlIn is not a parameter for procedure zeradurGetProductStructure.");
}

// ---- canned answers -------------------------------------------------------------

// (A failure keeping its status: SimLabJournal; the failure classes through the component: odbc_e2e_test.)
TEST(SimCanned, OverrideAndAddProceduresWithEveryAnswerShape) {
    Sim s(10);
    s.answers(R"({"procedures": {
        "USPCHECKROUTING": {"return": -4},
        "uspGetOrderInfo": {"columns": ["WONUM", "ORDERQTY", "STARTEDQTY", "COMPLETED", "WORKORDERID"],
                            "rows": [["W&1", null, null, null, 9], ["W2", 1, 2, 3, 4]]},
        "uspGetUnitInfo": {"columns": ["strXML"], "rows": []},
        "uspSaveCalibration": {},
        "uspGetSlaveInfo": {"columns": ["Error", "MasterSlaveSolution"], "rows": [[7, 0]]},
        "siteLabelPrinted": {"return": 5},
        "fsLanguage": {}, "fsServerInfo": {},
        "uspMessage": {"outputs": {"@Message": "Canned text", "@Nothing": 1}},
        "uspSlow": {"delay_ms": 2500, "return": 3},
        "uspFail": {"fail": "Unit is locked"},
        "uspDrop": {"drop": true}
    }})");
    EXPECT_EQ(s.route("SN24001-0003", "FCT-01"), -4);
    EXPECT_EQ(table(s.call("uspGetOrderInfo", {{"@Station", "anything"}}).second),
              (Table{{"W&1", "<null>", "<null>", "<null>", "9"}, {"W2", "1", "2", "3", "4"}}));
    EXPECT_TRUE(s.call("uspGetUnitInfo", {{"@ProdSN", "SN24001-0003"}}).second.bof());
    auto [ret, none] = s.call("uspSaveCalibration", {{"@xml", "x"}});
    EXPECT_EQ(ret, 0);
    EXPECT_FALSE(none.isOpen());
    // The batches and the generation probe see canned procedures; a site's own is called by name.
    EXPECT_EQ(s.batch(slaveBatch("FCT-01")).field("Error").toInt32(), 7);
    EXPECT_EQ(table(s.batch(kProbe)), (Table{{"24"}}));
    EXPECT_EQ(s.call("siteLabelPrinted", {{"@xmlIn", "<Label/>"}}, true).first, 5);

    EXPECT_EQ(errorOf([&] { s.proc("uspFail").execute(); }), "Unit is locked");
    EXPECT_EQ(errorOf([&] { s.proc("uspDrop").execute(); }), sim::kNetworkError);  // in-process: a broken connection
    db::Command m = s.proc("uspMessage");
    m.append("@Message", db::adVarChar, db::adParamOutput, Value(), 200);
    m.execute();
    EXPECT_EQ(m.value("@Message").toText(), "Canned text");
    // A delay past the command's time-out fails at the time-out; without a limit the answer comes late.
    for (auto [timeout, error, low, high] : std::vector<std::tuple<int, std::string, double, double>>{
             {1, "Timeout expired", 0.95, 2.4}, {0, "<no error>", 2.5, 60}}) {
        db::Command t = s.proc("uspSlow", timeout);
        auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(contains(errorOf([&] { t.execute(); }), error)) << timeout;
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(secs, low) << timeout;
        EXPECT_LT(secs, high) << timeout;
    }

    s.answers("  \n");  // an empty answer file removes them all
    EXPECT_EQ(s.route("SN24001-0003", "FCT-01"), 0);
}

TEST(SimCanned, InvalidAnswersAreRefusedAndTheEarlierOnesStay) {
    Sim s(10);
    s.answers(R"({"procedures": {"uspCheckRouting": {"return": 9}}})");
    for (auto [text, reason] : std::vector<std::pair<std::string, std::string>>{
             {"{", "not valid JSON"},
             {R"({"procedures": {"p": {"retrun": 1}}})", "unknown key \"retrun\""},
             {R"({"procedures": {"p": {"rows": [[1]]}}})", "\"rows\" needs \"columns\""},
             {R"({"procedures": {"p": {"return": 1.5}}})", "whole number"},
             {R"({"procedures": {"p": {}, "P": {}}})", "given twice"}}) {
        try {
            s.answers(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(contains(e.what(), reason)) << e.what();
        }
    }
    EXPECT_EQ(s.route("SN24001-0003", "FCT-01"), 9);
    // One spoilt by hand fails the call with a description, not the process.
    sim::query(s.path, "UPDATE answers SET answer = '{\"return\": \"x\"}'");
    EXPECT_TRUE(contains(errorOf([&] { s.route("SN24001-0003", "FCT-01"); }),
                         "canned answer for uspCheckRouting is not valid"));
}

// ---- the command-line program -----------------------------------------------------

// (Its calls, results and answers on the everyday path: the Python package's tests.)
TEST(SimCommand, InitAnswersAndWrongInput) {
    const char* build = std::getenv("DZ_BUILD_DIR");
    std::string exe = std::string(build ? build : ".") + "/dezozevo-sim";
    if (!std::filesystem::exists(exe)) GTEST_SKIP() << "dezozevo-sim not built";
    test::TempDir dir;
    auto run = [&](const std::string& args) {
        std::string out = dir.file("out.txt");
        int rc = std::system((exe + " " + args + " >" + out + " 2>&1").c_str());
        return std::make_pair(WEXITSTATUS(rc), test::readFile(out));
    };
    std::string db = dir.file("p.db");
    auto [rc, out] = run("init " + db + " --generation 22 --sample --user op --password secret");
    EXPECT_EQ(rc, 0) << out;
    db::Command c;  // the login given
    c.activeConnection = connectString("sim:" + db, "op", "secret");
    c.text = kProbe;
    EXPECT_EQ(table(c.execute()), (Table{{"22"}}));

    EXPECT_NE(run("init " + db + " --generation 22").first, 0);  // exists
    EXPECT_TRUE(contains(run("init " + dir.file("q.db") + " --generation 21").second, "10, 20, 22, 23 or 24"));
}

// ---- the journal and fault schedules -------------------------------------------

TEST(SimLabJournal, EntriesNameTheCallerStationOutcomeAndParametersAsSent) {
    Sim p;
    p.batch(kProbe);
    EXPECT_EQ(p.outcome("ICT-01"), "ok 3");
    p.answers(R"({"procedures": {"uspGetOrderInfo": {"return": 7, "fail": "Locked"}}})");
    db::Command c = p.proc("uspGetOrderInfo");
    c.append("@RETURN_VALUE", db::adInteger, db::adParamReturnValue, 0, 0);
    c.append("@Station", db::adVarChar, db::adParamInput, "PACK-01");
    c.append("@Fixture", db::adVarChar, db::adParamInput, Value(), 10);
    EXPECT_EQ(errorOf([&] { c.execute(); }), "Locked");
    EXPECT_EQ(p.save(kPassed).first, 0);

    std::vector<json> j = p.journal();
    ASSERT_EQ(j.size(), 4u);
    EXPECT_EQ(j[0]["text"], kProbe);
    EXPECT_EQ(j[0]["rows"], 1);
    EXPECT_TRUE(std::regex_match(j[1]["at"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    EXPECT_EQ(j[1]["connection"], "pid " + std::to_string(getpid()));
    EXPECT_EQ(j[1]["login"], "station");
    EXPECT_EQ(j[1]["type"], "procedure");
    EXPECT_EQ(j[1]["procedure"], "uspCheckRouting");
    EXPECT_EQ(j[1]["station"], "ICT-01");  // from a positional parameter, named by the procedure
    EXPECT_EQ(j[1]["params"][0]["name"], "@Product");
    EXPECT_EQ(j[1]["status"], 3);
    // A failure keeps the status the procedure set before it.
    EXPECT_EQ(j[2]["error"], "Locked");
    EXPECT_EQ(j[2]["status"], 7);
    EXPECT_EQ(j[2]["params"], json::parse(R"([
        {"name": "@RETURN_VALUE", "type": 3, "direction": 4, "size": 0, "value": 0},
        {"name": "@Station", "type": 200, "direction": 1, "size": 7, "value": "PACK-01"},
        {"name": "@Fixture", "type": 200, "direction": 1, "size": 10, "value": null}])"));
    EXPECT_EQ(j[3]["params"][2]["value"], nullptr);  // as sent, before the output came back
}

TEST(SimLabJournal, FiltersAndFollowingByIdSelectEntries) {
    Sim p;
    p.outcome("FCT-01");
    p.outcome("ICT-01");
    p.save(kPassed);
    struct Case {
        sim::JournalFilter filter;
        std::vector<std::string> procedures;
    };
    auto f = [](auto set) {
        sim::JournalFilter x;
        set(x);
        return x;
    };
    for (const Case& c : std::vector<Case>{
             {{}, {"uspCheckRouting", "uspCheckRouting", "uspTestSaveResult"}},
             {f([](auto& x) { x.station = "fct-01"; }), {"uspCheckRouting", "uspTestSaveResult"}},
             {f([](auto& x) { x.procedure = "USPTESTSAVERESULT"; }), {"uspTestSaveResult"}},
             {f([](auto& x) { x.afterId = 2; }), {"uspTestSaveResult"}},
             {f([](auto& x) { x.limit = 1; }), {"uspTestSaveResult"}},
             {f([](auto& x) { x.since = "5m"; }), {"uspCheckRouting", "uspCheckRouting", "uspTestSaveResult"}},
             {f([](auto& x) { x.since = "2099-01-01T00:00:00Z"; }), {}},
         }) {
        std::vector<std::string> got;
        for (const json& e : p.journal(c.filter)) got.push_back(e["procedure"]);
        EXPECT_EQ(got, c.procedures) << c.filter.station << c.filter.procedure << c.filter.since;
    }
    sim::JournalFilter bad;
    bad.since = "yesterday";
    EXPECT_THROW(p.journal(bad), std::runtime_error);
}

TEST(SimLabJournal, LongValuesAreKeptApartAndTheJournalStaysBoundedAndShared) {
    Sim p;
    std::string doc = resultDoc("FCT-01", "SN24001-0003", "PASS", "<ITEM>" + std::string(200000, 'v') + "</ITEM>");
    EXPECT_EQ(p.save(doc).first, 0);
    EXPECT_EQ(p.journal().back()["station"], "FCT-01");  // read from the long value

    // Entries older than the newest kJournalEntries go at the next trim, with their long values.
    long long last = 25 * 1024 - 1;  // the next id is a multiple of 256
    sim::query(p.path, "INSERT INTO calls(id, at, type, text, params) VALUES(" + std::to_string(last) +
                           ", 'x', 'text', 'old', '[]')");
    p.outcome();
    std::vector<json> j = p.journal();
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0]["id"], last);
    EXPECT_TRUE(sim::query(p.path, "SELECT 1 FROM call_texts").empty());

    // Several threads share one file; clearing empties it.
    sim::clearJournal(p.path);
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) ok += p.outcome() == "ok 3";  // the unit has moved on
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 100);
    EXPECT_EQ(p.journal().size(), 100u);
    sim::clearJournal(p.path);
    EXPECT_TRUE(p.journal().empty());
}

TEST(SimLabJournal, AFileOfTheEarlierSchemaIsUpgradedWhenOpened) {
    Sim p;
    sim::query(p.path, "DROP TABLE faults");
    sim::query(p.path, "DROP TABLE call_texts");
    for (const char* c : {"connection", "host", "program", "station", "procedure", "status", "rows", "duration_ms", "error"})
        sim::query(p.path, std::string("ALTER TABLE calls DROP COLUMN ") + c);
    sim::query(p.path, "UPDATE meta SET value = '1' WHERE key = 'schema'");
    sim::releaseConnections();
    EXPECT_EQ(p.outcome(), "ok 0");
    EXPECT_EQ(p.journal().back()["station"], "FCT-01");
    EXPECT_EQ(sim::query(p.path, "SELECT value FROM meta WHERE key = 'schema'")[0], R"({"value":"2"})");
}

TEST(SimLabFaults, SchedulesHitTheCallsTheyName) {
    struct Case {
        std::string schedule;
        std::vector<std::string> stations;  // one call each
        std::vector<std::string> outcomes;
    };
    const std::string kFail = "The simulator failed this call on purpose.";
    for (const Case& c : std::vector<Case>{
             {R"({"action": "fail", "next": 2})", {"FCT-01", "FCT-01", "FCT-01"}, {kFail, kFail, "ok 0"}},
             {R"({"action": "fail", "every": 2, "status": 5})", {"FCT-01", "FCT-01", "FCT-01", "FCT-01"},
              {"ok 0", "ok 5", "ok 0", "ok 5"}},
             {R"({"action": "fail", "station": "ict-01", "error": "Fixture"})", {"FCT-01", "ICT-01"}, {"ok 0", "Fixture"}},
             {R"({"action": "fail", "procedure": "uspGetUnitInfo"})", {"FCT-01"}, {"ok 0"}},
             {R"({"action": "fail", "procedure": "[dbo].uspCheckRouting"})", {"FCT-01"}, {kFail}},
             {R"({"action": "fail", "procedure": "USPCHECKROUTING"})", {"FCT-01"}, {kFail}},
             {R"({"action": "fail", "login": "someone"})", {"FCT-01"}, {"ok 0"}},
             {R"({"action": "fail", "from": "+3600"})", {"FCT-01"}, {"ok 0"}},
             {R"({"action": "fail", "for_seconds": 3600})", {"FCT-01"}, {kFail}},
             {R"({"action": "fail", "until": "2000-01-01T00:00:00Z"})", {"FCT-01"}, {"ok 0"}},
             {R"({"action": "refuse-login", "next": 1})", {"FCT-01", "FCT-01"},
              {"Login failed for user 'station'.", "ok 0"}},
         }) {
        Sim p;
        sim::addFault(p.path, c.schedule);
        std::vector<std::string> got;
        for (const auto& st : c.stations) got.push_back(p.outcome(st));
        EXPECT_EQ(got, c.outcomes) << c.schedule;
    }
}

TEST(SimLabFaults, LatencyTimeoutsAndCutAnswersKeepWhatRan) {
    Sim p;
    sim::addFault(p.path, R"({"action": "latency", "ms": [60, 80], "next": 1})");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(p.outcome(), "ok 0");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(60));
    EXPECT_GE(p.journal().back()["duration_ms"].get<double>(), 60.0);

    sim::addFault(p.path, R"({"action": "timeout", "next": 1})");
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(p.outcome("FCT-01", 1), sim::kTimeout);  // after the command's time-out
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(950));

    // A cut answer: the result was stored, the caller saw the network fail.
    sim::addFault(p.path, R"({"action": "cut", "procedure": "uspTestSaveResult", "next": 1})");
    size_t stored = p.results().size();
    EXPECT_EQ(errorOf([&] { p.save(kPassed); }), sim::kNetworkError);
    EXPECT_EQ(p.results().size(), stored + 1);

    std::vector<json> f = parsed(sim::faults(p.path));
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0]["hits"], 1);
    EXPECT_EQ(f[0]["next"], 0);
    EXPECT_EQ(sim::clearFaults(p.path, f[1]["id"].get<long long>()), 1);
    EXPECT_EQ(sim::clearFaults(p.path), 2);

    // Canned answers' own faults are listed beside the schedules.
    p.answers(R"({"procedures": {"uspX": {"delay_ms": 5, "drop": true, "fail": "F", "return": 4}}})");
    f = parsed(sim::faults(p.path));
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0]["source"], "answers");
}

TEST(SimLabFaults, InvalidSchedulesAreRefusedWithTheReason) {
    Sim p;
    for (auto [schedule, reason] : std::vector<std::pair<std::string, std::string>>{
             {"[]", "JSON object"},
             {R"({"action": "explode"})", "\"action\" must be"},
             {R"({"action": "fail", "nxt": 1})", "unknown key \"nxt\""},
             {R"({"action": "fail", "next": 0})", "\"next\" must be a whole number"},
             {R"({"action": "latency"})", "needs \"ms\""},
             {R"({"action": "latency", "ms": [90, 10]})", "range"},
             {R"({"action": "fail", "ms": 5})", "belongs to"},
             {R"({"action": "cut", "error": "x"})", "\"error\""},
             {R"({"action": "refuse-login", "station": "FCT-01"})", "applies to a login"},
             {R"({"action": "fail", "from": "noon"})", "UTC time"},
             {R"({"action": "fail", "from": "+60", "until": "+30"})", "after"},
         }) {
        try {
            sim::addFault(p.path, schedule);
            ADD_FAILURE() << "accepted: " << schedule;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
    EXPECT_TRUE(sim::faults(p.path).empty());
}
