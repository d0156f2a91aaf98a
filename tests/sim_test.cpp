// The MES simulator, driven as the component drives it: commands through the
// database client on Data Source "sim:<file>".
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "DEZozevoDLL/Scramble.h"
#include "platform/db/db.h"
#include "sim/sim.h"
#include "support/station.h"

using namespace dz;
using db::Value;
using json = nlohmann::json;

namespace {

const char* const kProbe =
    "if exists (select 1 from sysobjects where name='fsLanguage') "
    "begin if exists (select 1 from sysobjects where name='fsServerInfo') select 24 "
    "else if exists (select 1 from sysobjects where name='objUTLGetErrMessage') select 23 "
    "else if exists (select 1 from syscolumns where ID = object_id('objTSKGetUnitInfo') and name='@UserID') select 22 "
    "else select 20  end else select 10;";

std::string slaveBatch(const std::string& quotedStation) {
    return "if exists (select 1 from sysobjects where name='uspGetSlaveInfo') exec uspGetSlaveInfo '" + quotedStation +
           "' else select 0 Error, 0 MasterSlaveSolution";
}

std::string configBatch(const std::string& unit, const std::string& station) {
    return "if exists (select 1 from sysobjects where name='uspGetTestResultConfig') exec uspGetTestResultConfig '" +
           unit + "','" + station + "' else select 0 Method, '' Dest";
}

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const db::Error& e) {
        return e.description();
    }
    return "<no error>";
}

std::string connectString(const std::string& source, const std::string& user = "station",
                          const std::string& password = "station") {
    return "Provider=SQLOLEDB;Password=" + password + ";User ID=" + user + ";Initial Catalog=MES;Data Source=" +
           source + ";Network Library=DBMSSOCN;";
}

// The rows of a record set as texts ("<null>" for Null).
std::vector<std::vector<std::string>> table(const db::Recordset& rs) {
    std::vector<std::vector<std::string>> out;
    for (const auto& r : rs.rows()) {
        std::vector<std::string> row;
        for (const auto& v : r) row.push_back(v.isNull() ? "<null>" : v.toText());
        out.push_back(row);
    }
    return out;
}

std::string joined(const db::Recordset& rs, const std::string& column) {
    std::string s;
    size_t c = 0;
    while (c < rs.columns().size() && rs.columns()[c] != column) ++c;
    for (const auto& r : rs.rows()) s += r.at(c).isNull() ? "" : r.at(c).toText();
    return s;
}

class Sim {
public:
    explicit Sim(int generation, bool sample = true) {
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
        db::Command c;
        c.activeConnection = connectString("sim:" + path);
        c.text = text;
        c.type = db::adCmdText;
        return c.execute();
    }

    // Runs a procedure with text inputs by position; returns (status, record set).
    std::pair<int, db::Recordset> call(const std::string& name, std::vector<std::pair<std::string, Value>> in) const {
        db::Command c = proc(name);
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

    void answers(const std::string& json) const { sim::loadAnswers(path, json); }
    std::vector<json> journal() const {
        std::vector<nlohmann::json> out;
        for (const auto& line : sim::journal(path)) out.push_back(json::parse(line));
        return out;
    }
    std::vector<json> results() const {
        std::vector<nlohmann::json> out;
        for (const auto& line : sim::results(path)) out.push_back(json::parse(line));
        return out;
    }

    test::TempDir dir;
    std::string path;
};

std::string resultDoc(const std::string& station, const std::string& unit, const std::string& status,
                      const std::string& extra = "") {
    return "<sr:TestResult xmlns:sr=\"urn:SaveResult-schema\" STATION=\"" + station + "\"><DUT ID=\"" + unit +
           "\" STATUS=\"" + status + "\">" + extra + "</DUT></sr:TestResult>";
}

}  // namespace

// ---- generations and the probe batches ------------------------------------

TEST(SimProbe, AnswersTheSchemaNumberOfEachGeneration) {
    for (int g : {10, 20, 22, 23, 24}) {
        Sim s(g, false);
        db::Recordset rs = s.batch(kProbe);
        ASSERT_EQ(rs.fieldCount(), 1u) << g;
        EXPECT_EQ(rs.field(size_t(0)).toInt32(), g);
    }
}

TEST(SimProbe, SlaveBatchOnGeneration10ResolvesLine2AndFallsBackForOthers) {
    Sim s(10);
    db::Recordset rs = s.batch(slaveBatch("FCT-02"));
    EXPECT_EQ(rs.field("Error").toInt32(), 0);
    EXPECT_EQ(rs.field("MasterSlaveSolution").toInt32(), 1);
    std::string server = rs.field("ServerName").toText();
    EXPECT_EQ(server.rfind("sim:", 0), 0u);
    EXPECT_EQ(rs.field("DatabaseName").toText(), "MES_LINE2");
    std::string user = rs.field("UserName").toText();
    std::string password = UnscramblePassword(rs.field("UserPassword").toText());
    EXPECT_NE(rs.field("UserPassword").toText(), password);  // kept scrambled

    // The slave answers with the login the master gave.
    db::Command c;
    c.activeConnection = connectString(server, user, password);
    c.text = "uspCheckRouting";
    c.type = db::adCmdStoredProc;
    c.append("@Product", db::adVarChar, db::adParamInput, "PCB-B-000103");
    c.append("@Station", db::adVarChar, db::adParamInput, "FCT-02");
    c.execute();
    EXPECT_EQ(c.value("@RETURN_VALUE").toInt32(), 0);

    db::Recordset master = s.batch(slaveBatch("FCT-01"));
    EXPECT_EQ(master.field("MasterSlaveSolution").toInt32(), 0);
    // A station name with an apostrophe arrives as one string literal.
    db::Recordset quoted = s.batch(slaveBatch("O''Neil''s bench"));
    EXPECT_EQ(quoted.field("Error").toInt32(), 0);
    EXPECT_EQ(s.journal().back()["text"], slaveBatch("O''Neil''s bench"));
}

TEST(SimProbe, SlaveConnectionOnGeneration24ReadsTheStationElement) {
    Sim s(24);
    auto slave = [&](const std::string& element) {
        db::Command c = s.proc("objUTLGetSlaveConnection");
        c.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        c.append("@xmlStation", db::adVarChar, db::adParamInput, element);
        db::Recordset rs = c.execute();
        EXPECT_EQ(c.value("return").toInt32(), 0);
        return std::make_pair(rs.field("InstanceName").toText(), rs.field("DatabaseName").toText());
    };
    auto line2 = slave("<StationInfo Description=\"FCT-02\"/>");
    EXPECT_EQ(line2.first.rfind("sim:/", 0), 0u);
    EXPECT_EQ(line2.second, "MES_LINE2");
    // A station the master serves itself: the caller's own server and database.
    EXPECT_EQ(slave("<StationInfo Description=\"FCT-01\"/>"), std::make_pair("sim:" + s.path, std::string("MES")));
    // Escaped and unescaped special characters both name a (here unknown) station.
    sim::query(s.path, "INSERT INTO stations(name, slave) VALUES('A&\"B', 'LINE2')");
    EXPECT_EQ(slave("<StationInfo Description=\"A&amp;&quot;B\"/>").second, "MES_LINE2");
    EXPECT_EQ(slave("<StationInfo Description=\"A&\"B\"/>").second, "MES_LINE2");
}

TEST(SimProbe, BatchesFallBackWhereTheGenerationHasNoSuchProcedure) {
    Sim s(24);
    db::Recordset rs = s.batch(slaveBatch("FCT-02"));
    EXPECT_EQ(rs.columns(), (std::vector<std::string>{"Error", "MasterSlaveSolution"}));
    EXPECT_EQ(table(rs), (std::vector<std::vector<std::string>>{{"0", "0"}}));
    db::Recordset cfg = s.batch(configBatch("SN24001-0002", "FINAL-01"));
    EXPECT_EQ(table(cfg), (std::vector<std::vector<std::string>>{{"0", ""}}));
}

TEST(SimProbe, ResultConfigNamesTheDeliveryMethodOfTheStation) {
    Sim s(10);
    db::Recordset tf = s.batch(configBatch("SN24001-0002", "FINAL-01"));
    EXPECT_EQ(tf.field("Method").toText(), "TempFile");
    EXPECT_TRUE(std::filesystem::is_directory(tf.field("Dest").toText()));
    db::Recordset dbm = s.batch(configBatch("SN''1", "FCT-01"));  // an escaped apostrophe in the unit ID
    EXPECT_EQ(table(dbm), (std::vector<std::vector<std::string>>{{"Database", ""}}));
    EXPECT_EQ(table(s.batch(configBatch("SN1", "NOWHERE"))), (std::vector<std::vector<std::string>>{{"Database", ""}}));
}

TEST(SimBatch, ExecAndSelectOfConstantsWorkAndOtherStatementsAreRefusedClearly) {
    Sim s(10);
    db::Recordset rs = s.batch("exec uspGetOrderInfo @Station = N'FCT-01'");
    EXPECT_EQ(rs.field("WONUM").toText(), "WO-24001");
    db::Recordset c = s.batch("select 1 AS one, 'x' two, -2.5, NULL");
    EXPECT_EQ(c.columns(), (std::vector<std::string>{"one", "two", "", ""}));
    EXPECT_EQ(table(c), (std::vector<std::vector<std::string>>{{"1", "x", "-2.5", "<null>"}}));
    EXPECT_EQ(errorOf([&] { s.batch("select 1 from units"); }),
              "The simulator can only select constants; it has no tables to select from.");
    EXPECT_EQ(errorOf([&] { s.batch("exec uspGetOrderInfo 'FCT-01"); }),
              "Unclosed quotation mark after the character string 'FCT-01'.");
    EXPECT_NE(errorOf([&] { s.batch("delete from units"); }).find("cannot run the statement"), std::string::npos);
}

// ---- logins and the file ------------------------------------------------------

TEST(SimLogin, WrongLoginsAndMissingFilesFailAsTheClientReportsThem) {
    Sim s(10, false);
    auto run = [&](const std::string& cs) {
        db::Command c;
        c.activeConnection = cs;
        c.text = kProbe;
        c.execute();
    };
    EXPECT_EQ(errorOf([&] { run(connectString("sim:" + s.path, "station", "wrong")); }),
              "Login failed for user 'station'.");
    EXPECT_EQ(errorOf([&] { run(connectString("sim:" + s.path, "nobody", "station")); }),
              "Login failed for user 'nobody'.");
    EXPECT_EQ(errorOf([&] { run(connectString("sim:" + s.path, "STATION", "station")); }), "<no error>");
    EXPECT_EQ(errorOf([&] { run(connectString("sim:" + s.dir.file("none.db"))); }), sim::kNoServer);
    s.dir.write("other.db", "not a database");
    EXPECT_EQ(errorOf([&] { run(connectString("sim:" + s.dir.file("other.db"))); }), sim::kNoServer);
    EXPECT_FALSE(s.dir.exists("none.db"));
    // Only the command that logged in is in the journal.
    EXPECT_EQ(s.journal().size(), 1u);
}

TEST(SimLogin, RelativePathsResolveAgainstTheComponentFolder) {
    Sim s(10, false);
    setenv("DEZOZEVO_HOME", s.dir.path().c_str(), 1);
    db::Command c;
    c.activeConnection = connectString(" sim:plant.db ");
    c.text = kProbe;
    EXPECT_EQ(c.execute().field(size_t(0)).toInt32(), 10);
    unsetenv("DEZOZEVO_HOME");
}

TEST(SimLogin, CreateRefusesToOverwriteUnlessForcedAndTheNewFileIsSeen) {
    Sim s(10, false);
    sim::InitOptions o;
    o.generation = 24;
    EXPECT_THROW(sim::create(s.path, o), std::runtime_error);
    EXPECT_EQ(s.batch(kProbe).field(size_t(0)).toInt32(), 10);
    o.force = true;
    sim::create(s.path, o);
    EXPECT_EQ(s.batch(kProbe).field(size_t(0)).toInt32(), 24);  // the cached connection noticed the new file
    o.generation = 21;
    EXPECT_THROW(sim::create(s.path, o), std::runtime_error);
}

// ---- route check ------------------------------------------------------------

TEST(SimRoute, ZeroForTheNextStationAndAReasonOtherwise) {
    Sim s(10);
    EXPECT_EQ(s.route("SN24001-0003", "FCT-01"), 0);
    EXPECT_EQ(s.route("sn24001-0003", "fct-02"), 0);  // alternative station, any letter case
    EXPECT_EQ(s.route("SN24001-0003", "ICT-01"), 3);
    EXPECT_EQ(s.route("SN-NONE", "FCT-01"), 1);
    EXPECT_EQ(s.route("SN24001-0003", "NOWHERE"), 2);
    EXPECT_EQ(s.route("SN24001-0008", "FCT-01"), 4);
    EXPECT_EQ(s.route("SN24001-0009", "FCT-01"), 5);
    EXPECT_EQ(s.route("SN24001-0010", "PACK-01"), 6);
    EXPECT_EQ(s.route("SN24005-0001", "FCT-01"), 7);
    EXPECT_EQ(s.route("SN24001-0003", ""), 2);
}

TEST(SimRoute, GenerationTwentyHasNoRouteProcedure) {
    Sim s(24);
    EXPECT_EQ(errorOf([&] { s.route("SN24001-0003", "FCT-01"); }),
              "Could not find stored procedure 'uspCheckRouting'.");
}

// ---- unit data --------------------------------------------------------------

TEST(SimUnitInfo, GenerationTenJoinsPiecesIntoOneDocument) {
    Sim s(10);
    auto [st, rs] = s.call("uspGetUnitInfo", {{"@ProdSN", "SN24001-0003"}, {"@station", "FCT-01"}});
    ASSERT_GT(rs.rows().size(), 3u);
    std::string doc = joined(rs, "strXML");
    EXPECT_EQ(doc.rfind("<UNITINFO><SERIALNUMBER>SN24001-0003</SERIALNUMBER>", 0), 0u) << doc;
    EXPECT_NE(doc.find("<NEXTSTATION>FCT-01</NEXTSTATION><NEXTSTATION>FCT-02</NEXTSTATION>"), std::string::npos);
    EXPECT_NE(doc.find("<GROUP NAME=\"Label\"><UNITDATA><NAME>Customer</NAME><VALUE>Kessler &amp; Sons</VALUE>"),
              std::string::npos);
    EXPECT_EQ(doc.substr(doc.size() - 11), "</UNITINFO>");

    auto [st2, missing] = s.call("uspGetUnitInfo", {{"@ProdSN", "SN-NONE"}, {"@station", "FCT-01"}});
    EXPECT_EQ(missing.columns(), std::vector<std::string>{"ERROR"});
    EXPECT_EQ(missing.field("ERROR").toInt32(), 1);
}

TEST(SimUnitInfo, GenerationTwentyChecksTheUserParameterByRevision) {
    auto call = [](const Sim& s, bool withUser, const std::string& sn) {
        db::Command c = s.proc("objTSKGetUnitInfo");
        c.append("RETURN", db::adInteger, db::adParamReturnValue, 0, 0);
        c.append("@xmlSerialNumber", db::adVarChar, db::adParamInput,
                 "<SerialNumber><S Descr=\"ANY\">" + sn + "</S></SerialNumber>");
        c.append("@xmlStation", db::adVarChar, db::adParamInput, "<StationInfo Description=\"FCT-01\"/>");
        if (withUser) c.append("@UserID", db::adVarChar, db::adParamInput, Value(), 10);
        c.append("@EnterTime", db::adDBTimeStamp, db::adParamInput, "2026-03-07 14:05:09", 0);
        c.append("@ExitTime", db::adDBTimeStamp, db::adParamInput, "2026-03-07 14:05:09", 0);
        return c.execute();
    };
    Sim g20(20), g22(22), g24(24);
    EXPECT_EQ(errorOf([&] { call(g20, true, "SN24001-0003"); }),
              "Procedure or function objTSKGetUnitInfo has too many arguments specified.");
    EXPECT_EQ(errorOf([&] { call(g22, false, "SN24001-0003"); }),
              "Procedure or function 'objTSKGetUnitInfo' expects parameter '@ExitTime', which was not supplied.");
    EXPECT_EQ(call(g20, false, "SN24001-0003").fieldCount(), 5u);

    db::Recordset rs = call(g24, true, "SN24001-0003");
    ASSERT_EQ(rs.fieldCount(), 5u);
    for (const char* col : {"GName", "ID", "FName", "FValue"}) EXPECT_TRUE(rs.hasField(col)) << col;
    rs.sort("GName ASC, ID ASC");
    EXPECT_TRUE(rs.field("GName").isNull());
    EXPECT_EQ(rs.field("FName").toText(), "SerialNumber");
    EXPECT_EQ(rs.field("FValue").toText(), "SN24001-0003");
    bool grouped = false;
    for (const auto& r : rs.rows())
        if (!r[1].isNull() && r[1].toText() == "Limits") grouped = true;
    EXPECT_TRUE(grouped);
    EXPECT_EQ(call(g24, true, "SN-NONE").field("ERROR").toInt32(), 1);
}

TEST(SimUnitInfo, AttributesAsNameValueRowsAndTemporaryUnits) {
    Sim s(10);
    auto [st, rs] = s.call("uspGetUnitAttributes", {{"@strXML", "<Unit SerialNumber=\"SN24001-0004\"/>"},
                                                     {"@station", "FCT-01"}});
    ASSERT_EQ(rs.columns(), (std::vector<std::string>{"FN", "FVal"}));
    EXPECT_EQ(table(rs)[0], (std::vector<std::string>{"SerialNumber", "SN24001-0004"}));
    bool customer = false;
    for (const auto& r : table(rs)) customer |= r == std::vector<std::string>{"Customer", "Kessler & Sons"};
    EXPECT_TRUE(customer);

    EXPECT_EQ(s.call("uspGetUnitAttributes", {{"@strXML", "<Unit SerialNumber=\"TMP-1\"/>"}, {"@station", "FCT-01"}})
                  .second.field("ERROR")
                  .toInt32(),
              1);
    EXPECT_EQ(s.call("uspGetUnitAttributes", {{"@strXML", "not xml"}, {"@station", "FCT-01"}}).second.field("ERROR").toInt32(),
              41);
    auto [st2, temp] = s.call("uspGetUnitAttributes", {{"@strXML", "<Unit SerialNumber=\"TMP-1\"/>"},
                                                       {"@station", "FCT-01"},
                                                       {"@SaveAsTempSN", "YES"}});
    EXPECT_EQ(table(temp)[1], (std::vector<std::string>{"Status", "TEMP"}));
    EXPECT_EQ(s.route("TMP-1", "FCT-01"), 3);
}

// ---- results ------------------------------------------------------------------

TEST(SimResults, GenerationTenStoresWithATestIdAndMovesThePassedUnitOn) {
    Sim s(10);
    auto [status, id] = s.save(resultDoc("FCT-01", "SN24001-0003", "PASS", "<STEP NAME=\"O''Brien check\"/>"));
    EXPECT_EQ(status, 0);
    int testId = id.toInt32();
    EXPECT_GT(testId, 70000);

    std::vector<json> stored = s.results();
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(stored.back()["test_id"], testId);
    EXPECT_EQ(stored.back()["serial"], "SN24001-0003");
    EXPECT_EQ(stored.back()["station"], "FCT-01");
    EXPECT_EQ(stored.back()["status"], "PASS");
    EXPECT_NE(stored.back()["document"].get<std::string>().find("O'Brien check"), std::string::npos);
    EXPECT_EQ(s.route("SN24001-0003", "FCT-01"), 3);
    EXPECT_EQ(s.route("SN24001-0003", "BURNIN-01"), 0);

    // A failed unit stays where it is.
    EXPECT_EQ(s.save(resultDoc("FCT-01", "SN24001-0004", "Fail")).first, 0);
    EXPECT_EQ(s.route("SN24001-0004", "FCT-01"), 0);
    EXPECT_EQ(s.results().back()["status"], "FAIL");
}

TEST(SimResults, RefusesDocumentsThatNameNoKnownUnit) {
    Sim s(10);
    auto save = [&](const std::string& doc) {
        auto [status, id] = s.save(doc);
        EXPECT_TRUE(id.isNull());
        return status;
    };
    size_t before = s.results().size();
    EXPECT_EQ(save(""), 52);
    EXPECT_EQ(save("<a>"), 51);
    EXPECT_EQ(save("<Run><Step/></Run>"), 53);
    EXPECT_EQ(save(resultDoc("FCT-01", "SN-NONE", "PASS")), 1);
    EXPECT_EQ(s.results().size(), before);
}

TEST(SimResults, HeaderPayloadAndGenerationTwentyProcedureAreStoredToo) {
    Sim s(24);
    db::Command c = s.proc("objTSKSaveTestResult");
    c.append("RETURN", db::adInteger, db::adParamReturnValue, 0, 0);
    c.append("@strXmlTestResult", db::adLongVarChar, db::adParamInput, resultDoc("FCT-01", "SN24001-0005", "GOOD"));
    c.append("@EnterTime", db::adVarChar, db::adParamInput, "2026-03-07 14:05:09");
    c.append("@ExitTime", db::adVarChar, db::adParamInput, "2026-03-07 14:05:09");
    c.execute();
    EXPECT_EQ(c.value("RETURN").toInt32(), 0);
    json last = s.results().back();
    EXPECT_EQ(last["enter_time"], "2026-03-07 14:05:09");
    EXPECT_EQ(last["procedure"], "objTSKSaveTestResult");
    EXPECT_EQ(last["status"], "PASS");

    Sim g10(10);
    EXPECT_EQ(g10.save("<TestResultHeader STATION=\"FINAL-01\"><DUT ID=\"SN24001-0002\" "
                       "STATUS=\"PASS\"/></TestResultHeader>")
                  .first,
              0);
    EXPECT_EQ(g10.route("SN24001-0002", "PACK-01"), 0);
}

// ---- work orders, models, calibration -------------------------------------------

TEST(SimOrders, CurrentOrderAndAllOrdersOfAStation) {
    for (int g : {10, 23}) {
        Sim s(g);
        std::string one = g == 10 ? "uspGetOrderInfo" : "uspPDOGetOrderInfo";
        std::string all = g == 10 ? "uspGetOrderInfoByStation" : "uspPDOGetOrderInfoByStation";
        auto [st, rs] = s.call(one, {{"@Station", "FCT-01"}});
        EXPECT_EQ(rs.columns(), (std::vector<std::string>{"WONUM", "ORDERQTY", "STARTEDQTY", "COMPLETED", "WORKORDERID"}));
        EXPECT_EQ(table(rs), (std::vector<std::vector<std::string>>{{"WO-24001", "50", "10", "2", "24001"}}));
        EXPECT_EQ(s.call(one, {{"@Station", "NOWHERE"}}).second.field("ERROR").toInt32(), 2);
        EXPECT_TRUE(s.call(one, {{"@Station", "PACK-01"}}).second.rows().size() == 1);

        auto [st2, list] = s.call(all, {{"@Station", "FCT-01"}});
        ASSERT_EQ(list.fieldCount(), 16u);
        std::vector<std::string> numbers, statuses;
        for (const auto& r : table(list)) {
            numbers.push_back(r[5]);
            statuses.push_back(r[10]);
        }
        EXPECT_EQ(numbers, (std::vector<std::string>{"WO-24001", "WO-24002", "WO-24005"}));
        EXPECT_EQ(statuses, (std::vector<std::string>{"3", "2", "7"}));
        EXPECT_EQ(table(list)[0][11], "Kessler & Sons");
        EXPECT_EQ(errorOf([&] { s.call(g == 10 ? "uspPDOGetOrderInfo" : "uspGetOrderInfo", {{"@Station", "FCT-01"}}); })
                      .rfind("Could not find stored procedure", 0),
                  0u);
    }
}

TEST(SimOrders, NoOrderAtAStationIsAnEmptyRecordSet) {
    Sim s(10);
    s.answers("");
    auto [st, rs] = s.call("uspGetOrderInfo", {{"@Station", "BURNIN-01"}});
    EXPECT_EQ(rs.rows().size(), 1u);
    // A station without lines of released or active orders has no current order.
    sim::query(s.path, "DELETE FROM work_order_lines WHERE station = 'BURNIN-01'");
    auto [st2, none] = s.call("uspGetOrderInfo", {{"@Station", "BURNIN-01"}});
    EXPECT_TRUE(none.isOpen());
    EXPECT_TRUE(none.bof());
}

TEST(SimModels, AttributesByPartAndRevision) {
    Sim s(10);
    auto [st, rs] = s.call("uspGetModelAttributeByPartNumber", {{"@PartNumber", "ASM-5000"}, {"@Revision", "B"}});
    EXPECT_EQ(rs.columns(), (std::vector<std::string>{"AttributeName", "AttributeValue"}));
    EXPECT_EQ(table(rs)[2], (std::vector<std::string>{"Firmware", "FW-2.3.7"}));
    auto [st2, latest] = s.call("uspGetModelAttributeByPartNumber", {{"@PartNumber", "asm-5000"}, {"@Revision", ""}});
    EXPECT_EQ(table(latest)[2], (std::vector<std::string>{"Firmware", "FW-2.4.1"}));
    EXPECT_EQ(s.call("uspGetModelAttributeByPartNumber", {{"@PartNumber", "X"}, {"@Revision", ""}}).second.field("ERROR").toInt32(),
              42);
    Sim g24(24);
    EXPECT_EQ(g24.call("uspPSTGetDetailByPartNumber", {{"@PartNumber", "PSU-2001"}, {"@Revision", "A"}}).second.rows().size(),
              2u);
}

TEST(SimCalibration, ReadByStationAndFixtureAndSaveBack) {
    Sim s(10);
    auto [st, station] = s.call("uspGetCalibrationInfo", {{"@station", "FCT-01"}, {"@fixture", Value()}});
    EXPECT_EQ(joined(station, "strXML").rfind("<CALIBRATION STATION=\"FCT-01\"><ITEM NAME=\"DMM gain error\"", 0), 0u);
    auto [st2, fixture] = s.call("uspGetCalibrationInfo", {{"@station", "FCT-01"}, {"@fixture", "FX-FCT-07"}});
    std::string doc = joined(fixture, "strXML");
    EXPECT_NE(doc.find("FIXTURE=\"FX-FCT-07\""), std::string::npos);
    EXPECT_NE(doc.find("<ITEM NAME=\"Insertions\" VALUE=\"41230\"/>"), std::string::npos);
    EXPECT_TRUE(s.call("uspGetCalibrationInfo", {{"@station", "FCT-01"}, {"@fixture", "FX-NONE"}}).second.bof());
    EXPECT_EQ(s.call("uspGetCalibrationInfo", {{"@station", "X"}, {"@fixture", Value()}}).second.field("ERROR").toInt32(), 2);

    auto save = [&](const std::string& xml) {
        db::Command c = s.proc("uspSaveCalibration");
        c.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        c.append("@xmlCalibration", db::adLongVarChar, db::adParamInput, xml);
        c.execute();
        return c.value("return").toInt32();
    };
    EXPECT_EQ(save("<CALIBRATION STATION=\"FCT-01\" FIXTURE=\"FX-FCT-07\"><ITEM NAME=\"Insertions\" VALUE=\"41231\"/>"
                   "<ITEM NAME=\"Operator''s note\" VALUE=\"ok\"/></CALIBRATION>"),
              0);
    std::string after = joined(s.call("uspGetCalibrationInfo", {{"@station", "FCT-01"}, {"@fixture", "FX-FCT-07"}}).second,
                                "strXML");
    EXPECT_NE(after.find("VALUE=\"41231\""), std::string::npos);
    EXPECT_NE(after.find("NAME=\"Operator&apos;s note\""), std::string::npos);
    EXPECT_EQ(save("<CALIBRATION STATION=\"NOWHERE\"/>"), 2);
    EXPECT_EQ(save("X''1"), 61);
}

// ---- messages, product structure, generic function --------------------------

TEST(SimMessages, TextsByCodeFromRevisionThreeOn) {
    Sim s(23);
    auto message = [&](const std::string& code) {
        db::Command c = s.proc("objUTLGetErrMessage");
        c.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        c.append("@Language", db::adVarChar, db::adParamInput, "ENG", 3);
        c.append("@Type", db::adVarChar, db::adParamInput, "ERROR", 5);
        c.append("@Code", db::adVarChar, db::adParamInput, code, 20);
        c.append("@Message", db::adVarChar, db::adParamOutput, Value(), 200);
        c.execute();
        return c.value("@Message");
    };
    EXPECT_EQ(message("3").toText(), "Unit is not routed to this station: its next route step is at another station");
    EXPECT_EQ(message("-9999").toText(), "Result buffer folder does not exist");
    EXPECT_TRUE(message("12345").isNull());
    Sim g22(22);
    EXPECT_EQ(errorOf([&] { g22.call("objUTLGetErrMessage", {}); }),
              "Could not find stored procedure 'objUTLGetErrMessage'.");
}

TEST(SimStructure, TwoLevelRowsInTreeOrderByNamedParameter) {
    Sim s(24);
    auto structure = [&](const std::string& request) {
        db::Command c = s.proc("zeradurGetProductStructure");
        c.namedParameters = true;
        c.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        c.append("@xmlPart", db::adLongVarChar, db::adParamInput, request);
        db::Recordset rs = c.execute();
        return std::make_pair(c.value("return").toInt32(), std::move(rs));
    };
    auto [st, rs] = structure("<Part PartNumber=\"ASM-5000\" Revision=\"C\"/>");
    EXPECT_EQ(st, 0);
    std::vector<std::string> rows;
    for (const auto& r : table(rs)) rows.push_back(r[0] + "|" + r[3] + "|" + r[4]);
    EXPECT_EQ(rows, (std::vector<std::string>{"<null>|ASM-5000|C", "ASM-5000|PCB-1001|B", "ASM-5000|PSU-2001|A",
                                              "ASM-5000|CBL-3001|A", "ASM-5000|ENC-4001|A", "<null>|PCB-1001|B",
                                              "PCB-1001|MCU-7001|A", "PCB-1001|CON-7040|A"}));
    EXPECT_EQ(table(rs)[1][1], "CTRL");
    EXPECT_EQ(table(rs)[1][2], "Controller board");
    EXPECT_EQ(structure("<Part SerialNumber=\"SN24001-0003\"/>").second.rows().size(), 8u);
    EXPECT_EQ(structure("<Part PartNumber=\"NOPE\"/>").first, 42);
    EXPECT_EQ(structure("junk").first, 41);

    db::Command wrong = s.proc("zeradurGetProductStructure");
    wrong.namedParameters = true;
    wrong.append("@xmlIn", db::adLongVarChar, db::adParamInput, "<Part/>");
    EXPECT_EQ(errorOf([&] { wrong.execute(); }), "@xmlIn is not a parameter for procedure zeradurGetProductStructure.");
}

TEST(SimGeneric, SetUnitDataAddsAndReplacesItems) {
    Sim s(10);
    db::Command c = s.proc("uspSetUnitData");
    c.namedParameters = true;
    c.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
    c.append("@xmlIn", db::adLongVarChar, db::adParamInput,
             "<UnitData SerialNumber=\"SN24001-0003\"><Item Name=\"Firmware\" Value=\"FW-2.5.0\"/>"
             "<Item Name=\"Rework\" Value=\"R1\" Group=\"History\"/></UnitData>");
    c.execute();
    EXPECT_EQ(c.value("return").toInt32(), 0);
    std::string doc = joined(s.call("uspGetUnitInfo", {{"@ProdSN", "SN24001-0003"}, {"@station", ""}}).second, "strXML");
    EXPECT_NE(doc.find("<NAME>Firmware</NAME><VALUE>FW-2.5.0</VALUE>"), std::string::npos);
    EXPECT_EQ(doc.find("FW-2.4.1"), std::string::npos);
    EXPECT_NE(doc.find("<GROUP NAME=\"History\"><UNITDATA><NAME>Rework</NAME>"), std::string::npos);
}

// ---- parameter binding --------------------------------------------------------

TEST(SimBinding, ParametersBindAsTheServerBindsThem) {
    Sim s(10);
    EXPECT_EQ(errorOf([&] { s.call("uspNoSuch", {}); }), "Could not find stored procedure 'uspNoSuch'.");
    EXPECT_EQ(errorOf([&] { s.call("uspCheckRouting", {{"@Product", "A"}}); }),
              "Procedure or function 'uspCheckRouting' expects parameter '@Station', which was not supplied.");
    EXPECT_EQ(errorOf([&] { s.call("uspCheckRouting", {{"@a", "A"}, {"@b", "B"}, {"@c", "C"}}); }),
              "Procedure or function uspCheckRouting has too many arguments specified.");
    // Names do not matter by position.
    EXPECT_EQ(s.call("uspCheckRouting", {{"@x", "SN24001-0003"}, {"@y", "FCT-01"}}).first, 0);
    EXPECT_EQ(s.call("dbo.uspCheckRouting", {{"@x", "SN24001-0003"}, {"@y", "FCT-01"}}).first, 0);

    db::Command out = s.proc("uspCheckRouting");
    out.append("@Product", db::adVarChar, db::adParamInput, "SN24001-0003");
    out.append("@Station", db::adVarChar, db::adParamOutput, Value(), 10);
    EXPECT_EQ(errorOf([&] { out.execute(); }),
              "The formal parameter \"@Station\" was not declared as an OUTPUT parameter, but the actual parameter "
              "passed in requested output.");
}

// ---- canned answers -------------------------------------------------------------

TEST(SimCanned, OverrideBuiltInsWithEveryRecordSetShape) {
    Sim s(10);
    s.answers(R"({"procedures": {
        "USPCHECKROUTING": {"return": -4},
        "uspGetOrderInfo": {"columns": ["WONUM", "ORDERQTY", "STARTEDQTY", "COMPLETED", "WORKORDERID"],
                            "rows": [["W&1", null, null, null, 9], ["W2", 1, 2, 3, 4]]},
        "uspGetOrderInfoByStation": {"columns": ["ERROR"], "rows": [[17]]},
        "uspGetUnitInfo": {"columns": ["strXML"], "rows": []},
        "uspSaveCalibration": {}
    }})");
    EXPECT_EQ(s.route("SN24001-0003", "FCT-01"), -4);
    auto [st, rs] = s.call("uspGetOrderInfo", {{"@Station", "anything"}});
    EXPECT_EQ(table(rs), (std::vector<std::vector<std::string>>{{"W&1", "<null>", "<null>", "<null>", "9"},
                                                                {"W2", "1", "2", "3", "4"}}));
    EXPECT_EQ(s.call("uspGetOrderInfoByStation", {{"@Station", "FCT-01"}}).second.field("ERROR").toInt32(), 17);
    EXPECT_TRUE(s.call("uspGetUnitInfo", {{"@ProdSN", "SN24001-0003"}}).second.bof());
    auto [ret, none] = s.call("uspSaveCalibration", {{"@xml", "x"}});
    EXPECT_EQ(ret, 0);
    EXPECT_FALSE(none.isOpen());

    // An empty answer file removes them all.
    s.answers("  \n");
    EXPECT_EQ(s.route("SN24001-0003", "FCT-01"), 0);
}

TEST(SimCanned, FailuresCarryTheClientsPhrasesAndKeepTheStatus) {
    Sim s(24);
    s.answers(R"({"procedures": {
        "objTSKGetUnitInfo": {"return": 55, "fail": "Unit is locked by another station"},
        "objUTLGetErrMessage": {"outputs": {"@Message": "Canned text", "@Nothing": 1}},
        "uspDropped": {"drop": true},
        "uspSlow": {"delay_ms": 1500, "return": 3},
        "uspQuick": {"delay_ms": 50, "return": 4}
    }})");
    db::Command c = s.proc("objTSKGetUnitInfo");
    c.append("RETURN", db::adInteger, db::adParamReturnValue, 0, 0);
    c.append("@xmlSerialNumber", db::adVarChar, db::adParamInput, "x");
    EXPECT_EQ(errorOf([&] { c.execute(); }), "Unit is locked by another station");
    EXPECT_EQ(c.parameters()[0].value.toInt32(), 55);

    db::Command m = s.proc("objUTLGetErrMessage");
    m.append("@Message", db::adVarChar, db::adParamOutput, Value(), 200);
    m.execute();
    EXPECT_EQ(m.value("@Message").toText(), "Canned text");

    std::string dropped = errorOf([&] { s.call("uspDropped", {}); });
    EXPECT_NE(dropped.find("General network error"), std::string::npos);

    auto timed = [&](int timeout) {
        db::Command t = s.proc("uspSlow", timeout);
        auto start = std::chrono::steady_clock::now();
        std::string err = errorOf([&] { t.execute(); });
        long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        return std::make_pair(err, ms);
    };
    auto [err1, ms1] = timed(1);
    EXPECT_NE(err1.find("Timeout expired"), std::string::npos);
    EXPECT_GE(ms1, 950);
    EXPECT_LT(ms1, 1450);
    auto [err0, ms0] = timed(0);  // no limit: the answer comes late
    EXPECT_EQ(err0, "<no error>");
    EXPECT_GE(ms0, 1450);
    EXPECT_EQ(s.call("uspQuick", {}).first, 4);
}

TEST(SimCanned, AnswerProceduresThatTheBatchesAndTheSiteName) {
    Sim s(20);
    s.answers(R"({"procedures": {
        "uspGetSlaveInfo": {"columns": ["Error", "MasterSlaveSolution"], "rows": [[7, 0]]},
        "siteLabelPrinted": {"return": 0},
        "fsServerInfo": {}
    }})");
    EXPECT_EQ(s.batch(slaveBatch("FCT-01")).field("Error").toInt32(), 7);
    EXPECT_EQ(s.batch(kProbe).field(size_t(0)).toInt32(), 24);  // the object now exists
    db::Command c = s.proc("siteLabelPrinted");
    c.namedParameters = true;
    c.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
    c.append("@xmlIn", db::adLongVarChar, db::adParamInput, "<Label/>");
    c.execute();
    EXPECT_EQ(c.value("return").toInt32(), 0);
}

TEST(SimCanned, InvalidAnswersAreRefusedAndTheEarlierOnesStay) {
    Sim s(10);
    s.answers(R"({"procedures": {"uspCheckRouting": {"return": 9}}})");
    auto refused = [&](const std::string& text) {
        try {
            s.answers(text);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("<accepted>");
    };
    EXPECT_NE(refused("{").find("not valid JSON"), std::string::npos);
    EXPECT_NE(refused(R"({"procs": {}})").find("unknown key \"procs\""), std::string::npos);
    EXPECT_NE(refused(R"({"procedures": {"p": {"retrun": 1}}})").find("unknown key \"retrun\""), std::string::npos);
    EXPECT_NE(refused(R"({"procedures": {"p": {"rows": [[1]]}}})").find("\"rows\" needs \"columns\""), std::string::npos);
    EXPECT_NE(refused(R"({"procedures": {"p": {"columns": ["a","b"], "rows": [[1]]}}})").find("row 1"), std::string::npos);
    EXPECT_NE(refused(R"({"procedures": {"p": {"return": 1.5}}})").find("whole number"), std::string::npos);
    EXPECT_NE(refused(R"({"procedures": {"p": {"delay_ms": -1}}})").find("delay_ms"), std::string::npos);
    EXPECT_NE(refused(R"({"procedures": {"p": {}, "P": {}}})").find("given twice"), std::string::npos);
    EXPECT_EQ(s.route("SN24001-0003", "FCT-01"), 9);
    // One spoilt by hand fails the call with a description, not the process.
    sim::query(s.path, "UPDATE answers SET answer = '{\"return\": \"x\"}'");
    EXPECT_NE(errorOf([&] { s.route("SN24001-0003", "FCT-01"); }).find("canned answer for uspCheckRouting is not valid"),
              std::string::npos);
}

// ---- journal ----------------------------------------------------------------------

TEST(SimJournal, RecordsEveryCommandWithItsParametersAsSent) {
    Sim s(10);
    s.batch(kProbe);
    db::Command c = s.proc("uspGetCalibrationInfo");
    c.append("@station", db::adVarChar, db::adParamInput, "FCT-01");
    c.append("@fixture", db::adVarChar, db::adParamInput, Value(), 10);
    c.execute();
    db::Command r = s.proc("uspTestSaveResult");
    r.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
    r.append("@strXML", db::adLongVarChar, db::adParamInput, "");
    r.append("@TestID", db::adDouble, db::adParamOutput, Value(), 0);
    r.execute();
    s.answers(R"({"procedures": {"uspCheckRouting": {"fail": "x"}}})");
    errorOf([&] { s.route("A", "B"); });  // failing calls are recorded too

    std::vector<json> j = s.journal();
    ASSERT_EQ(j.size(), 4u);
    EXPECT_EQ(j[0], json({{"text", kProbe}, {"type", "text"}, {"params", json::array()}}));
    EXPECT_EQ(j[1]["type"], "procedure");
    EXPECT_EQ(j[1]["params"], json::parse(R"([
        {"name": "@station", "type": 200, "direction": 1, "size": 6, "value": "FCT-01"},
        {"name": "@fixture", "type": 200, "direction": 1, "size": 10, "value": null}])"));
    EXPECT_EQ(j[2]["params"][0], json::parse(R"({"name": "return", "type": 3, "direction": 4, "size": 0, "value": 0})"));
    EXPECT_EQ(j[2]["params"][2]["value"], nullptr);  // as sent, before the output came back
    EXPECT_EQ(j[3]["text"], "uspCheckRouting");

    sim::clearJournal(s.path);
    EXPECT_TRUE(s.journal().empty());
}

TEST(SimJournal, SeveralThreadsShareOneFile) {
    Sim s(10);
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i)
                if (s.route("SN24001-0003", "FCT-01") == 0) ++ok;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 100);
    EXPECT_EQ(s.journal().size(), 100u);
}

// ---- the command-line program -----------------------------------------------------

TEST(SimCommand, InitAnswersCallsAndResultsPrintJsonLines) {
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
    EXPECT_EQ(json::parse(out)["generation"], 22);
    EXPECT_EQ(sim::generation(db), 22);
    EXPECT_NE(run("init " + db + " --generation 22").first, 0);  // exists
    EXPECT_NE(run("init " + dir.file("q.db") + " --generation 21").second.find("10, 20, 22, 23 or 24"), std::string::npos);

    dir.write("a.json", R"({"procedures": {"uspPDOGetOrderInfo": {"return": 3}}})");
    EXPECT_EQ(run("answers " + db + " " + dir.file("a.json")).first, 0);
    dir.write("bad.json", R"({"procedures": {"x": {"fial": "y"}}})");
    auto [brc, bout] = run("answers " + db + " " + dir.file("bad.json"));
    EXPECT_NE(brc, 0);
    EXPECT_NE(bout.find("unknown key \"fial\""), std::string::npos);

    db::Command c;
    c.activeConnection = connectString("sim:" + db, "op", "secret");
    c.text = "uspPDOGetOrderInfo";
    c.type = db::adCmdStoredProc;
    c.append("@Station", db::adVarChar, db::adParamInput, "FCT-01");
    c.execute();
    EXPECT_EQ(c.value("@RETURN_VALUE").toInt32(), 3);

    auto [crc, calls] = run("calls " + db);
    EXPECT_EQ(crc, 0);
    EXPECT_EQ(json::parse(calls)["params"][0]["value"], "FCT-01");
    auto [rrc, results] = run("results " + db);
    EXPECT_EQ(rrc, 0);
    EXPECT_EQ(json::parse(results.substr(0, results.find('\n')))["test_id"], 70001);
    EXPECT_EQ(run("--help").first, 0);
    EXPECT_NE(run("init --help").second.find("--generation"), std::string::npos);
    EXPECT_NE(run("serve --help").second.find("listening on"), std::string::npos);
    EXPECT_EQ(run("frobnicate").first, 2);
}
