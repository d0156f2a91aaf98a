// The component over the network: every method of Tester against the
// simulator's TDS listener through the SQL Server driver, compared with the
// same calls on the simulator in-process; the failures that the status
// codes stand for; and the resend of a result whose upload was cut off.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "DEZozevoDLL/Tester.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "sim/sim.h"
#include "support/listener.h"
#include "support/station.h"

using namespace dz;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::string siteFile(const std::string& name) {
    const char* src = std::getenv("DZ_SOURCE_DIR");
    std::string root = src && *src ? src : fs::path(__FILE__).parent_path().parent_path().string();
    return test::readFile(root + "/site/" + name);
}

void replaceOnce(std::string& s, const std::string& from, const std::string& to) {
    size_t at = s.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    s.replace(at, from.size(), to);
}

// A component folder with the site files and a sample plant.db, reached
// in-process ("sim:plant.db") or over the network through the listener,
// whose slave rows then name the listener as well.
class Plant {
public:
    Plant(int generation, bool network, const std::string& iniChanges = "") {
        for (const char* f : {"DEZozevo.xsl", "GetHeader.xsl", "SaveResult.xsd", "GetUnitInfo.xsd"})
            home.write(f, siteFile(f));
        sim::InitOptions o;
        o.generation = generation;
        o.sample = true;
        sim::create(db(), o);
        ini = siteFile("DEZozevo.ini");
        if (network) {
            server = std::make_unique<test::SimListener>(db());
            sim::query(db(), "UPDATE slaves SET server_name = '" + server->dataSource() + "'");
            replaceOnce(ini, "SERVER=sim:plant.db", "SERVER=" + server->dataSource());
        }
        ini += iniChanges;
        home.write("DEZozevo.ini", ini);
        setenv("DEZOZEVO_HOME", home.path().c_str(), 1);
        setenv("DEZOZEVO_RESEND_FILE", home.file("resend.xml").c_str(), 1);
    }
    ~Plant() {
        unsetenv("DEZOZEVO_HOME");
        unsetenv("DEZOZEVO_RESEND_FILE");
        server.reset();
        db::odbc::OdbcDriver::instance()->clearPool();
    }

    std::string db() const { return home.file("plant.db"); }
    void setIni(const std::string& from, const std::string& to) {
        replaceOnce(ini, from, to);
        home.write("DEZozevo.ini", ini);
    }
    std::vector<json> results() const {
        std::vector<json> out;
        for (const auto& l : sim::results(db())) out.push_back(json::parse(l));
        return out;
    }
    std::vector<json> calls() const {
        std::vector<json> out;
        for (const auto& l : sim::journal(db())) out.push_back(json::parse(l));
        return out;
    }
    std::string log() const {
        std::string all;
        for (const auto& e : fs::directory_iterator(home.path()))
            if (e.path().extension() == ".log") all += test::readFile(e.path().string());
        return all;
    }

    test::TempDir home;
    std::unique_ptr<test::SimListener> server;
    std::string ini;
};

// Each start-up on a thread of its own: the module settings are per thread.
void onThread(const std::function<void()>& f) { std::thread(f).join(); }

std::string request(const std::string& sn) {
    return "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"" + sn + "\"/>";
}

std::string testRun(const std::string& station, const std::string& sn, const std::string& status) {
    return "<TestRun Station=\"" + station + "\" Operator=\"o'neil Grüße\" Start=\"2026-03-07T14:05:09\" "
           "End=\"2026-03-07T14:06:31\"><DUT ID=\"" + sn + "\" STATUS=\"" + status + "\">"
           "<Step Name=\"Vout\" Status=\"" + status + "\"><Measurement Name=\"Vout\" Value=\"12.03\" Unit=\"V\" "
           "Low=\"11.4\" High=\"12.6\"/></Step></DUT></TestRun>";
}

// What a station sees: every method with its status and outputs, in order.
struct Transcript {
    void add(const std::string& what, long long status, const std::string& out = "") {
        lines.push_back(what + " -> " + std::to_string(status) + (out.empty() ? "" : " | " + out));
    }
    // GetErrMessage raises the database's failure instead of returning a status.
    void message(Tester& t, int32_t code) {
        try {
            add("GetErrMessage " + std::to_string(code), 0, t.GetErrMessage(code));
        } catch (const std::exception& e) {
            add("GetErrMessage " + std::to_string(code) + " failed", 0, e.what());
        }
    }
    std::vector<std::string> lines;
};

std::vector<std::string> generationTen() {
    std::vector<std::string> lines;
    onThread([&] {
        Tester t;
        Transcript r;
        std::string out, err;
        r.add("CheckRoute waiting for ICT", t.CheckRoute("SN24001-0006", "FCT-01"));
        r.add("CheckRoute", t.CheckRoute("SN24001-0003", "FCT-01"));
        out.clear();
        r.add("GetUnitInfo", t.GetUnitInfo(request("SN24001-0003"), out), out);
        r.add("SaveResult pass", t.SaveResult(com::Variant(testRun("FCT-01", "SN24001-0003", "PASS"))));
        r.add("CheckRoute moved on", t.CheckRoute("SN24001-0003", "FCT-01"));
        r.add("SaveResult fail", t.SaveResult(com::Variant(testRun("FCT-01", "SN24001-0005", "FAIL"))));
        r.add("SaveResult unreadable", t.SaveResult(com::Variant(std::string("<TestRun"))));
        out.clear();
        r.add("GetCalibrationInfo", t.GetCalibrationInfo(out, "FCT-01", "FX-FCT-07"), out);
        r.add("SaveCalibration", t.SaveCalibration("<CALIBRATION STATION=\"FCT-01\" FIXTURE=\"FX-FCT-07\"><ITEM "
                                                   "NAME=\"Insertions\" VALUE=\"41300\"/></CALIBRATION>"));
        out.clear();
        r.add("GetCalibrationInfo again", t.GetCalibrationInfo(out, "FCT-01", "FX-FCT-07"), out);
        out.clear();
        r.add("GetOrderInfo", t.GetOrderInfo(out), out);
        out.clear();
        r.add("GetOrderInfoByStation", t.GetOrderInfoByStation(out, "FCT-01"), out);
        out.clear();
        r.add("GetModelAttributes", t.GetModelAttributes(out, "ASM-5000", "C"), out);
        out.clear();
        r.add("GetUnitAttributes", t.GetUnitAttributes("<Unit SerialNumber=\"SN24001-0004\"/>", out), out);
        r.message(t, 3);
        out.clear();
        {
            long long st = t.GetProductStructure("<Part PartNumber=\"PCB-1001\" Revision=\"B\"/>", out, err);
            r.add("GetProductStructure", st, out + " / " + err);
        }
        out = "kept";
        {
            long long st = t.GetGenericFunction("<UnitData SerialNumber=\"SN24001-0004\"><Item Name=\"Rework\" Value=\"R2\"/></UnitData>",
                                   out, err, "SetUnitData");
            r.add("GetGenericFunction", st, out + " / " + err);
        }
        {
            long long st = t.GetGenericFunction("<UnitData SerialNumber=\"NOPE\"/>", out, err, "SetUnitData");
            r.add("GetGenericFunction unknown unit", st, out + " / " + err);
        }
        r.add("CheckRoute unknown", t.CheckRoute("SN-UNKNOWN", "FCT-01"));
        r.add("CheckRoute held order", t.CheckRoute("SN24005-0001", "FCT-01"));
        out.clear();
        r.add("GetUnitInfo unknown", t.GetUnitInfo(request("SN-UNKNOWN"), out), out);

        // The line-2 station is served by the slave database, the final
        // inspection again by the master, into the buffer folder.
        out.clear();
        r.add("GetUnitInfo line 2", t.GetUnitInfo(request("PCB-B-000103"), out, "FCT-02"), out);
        r.add("CheckRoute line 2", t.CheckRoute("PCB-B-000103", "FCT-02"));
        out.clear();
        r.add("GetUnitInfo final", t.GetUnitInfo(request("SN24001-0002"), out, "FINAL-01"), out);
        r.add("SaveResult final", t.SaveResult(com::Variant(testRun("FINAL-01", "SN24001-0002", "PASS"))));

        std::string ini = t.iniFileName(), msg = "note from the station", netMsg = "General network error here";
        uint8_t level = 1;
        t.putLog(msg, level);
        r.add("GetLastError", 0, t.GetLastError());
        r.add("GetProfileItem", 0, t.GetProfileItem("DATABASE", "DATABASE", "none", ""));
        r.add("getStation", 0, t.getStation());
        r.add("FileExists", t.FileExists(ini));
        r.add("CalcErrCode", t.CalcErrCode(netMsg));
        lines = r.lines;
    });
    return lines;
}

std::vector<std::string> generationTwentyFour() {
    std::vector<std::string> lines;
    onThread([&] {
        Tester t;
        Transcript r;
        std::string out, err;
        r.add("CheckRoute", t.CheckRoute("SN24001-0006", "FCT-01"));
        r.add("GetUnitInfo", t.GetUnitInfo(request("SN24001-0003"), out, "", "jdoe"), out);
        out.clear();
        r.add("GetUnitInfo line 2", t.GetUnitInfo(request("PCB-B-000103"), out, "FCT-02"), out);
        out.clear();
        r.add("GetUnitInfo back", t.GetUnitInfo(request("SN24001-0003"), out, "FCT-01"), out);
        out.clear();
        r.add("GetUnitInfo bad request", t.GetUnitInfo("<GetUnitInfo/>", out), out);
        r.add("SaveResult", t.SaveResult(com::Variant(testRun("FCT-01", "SN24001-0003", "PASS"))));
        r.add("SaveResult unknown unit", t.SaveResult(com::Variant(testRun("FCT-01", "SN-UNKNOWN", "PASS"))));
        r.add("SaveResult terminated", t.SaveResult(com::Variant(testRun("FCT-01", "SN24001-0003", "TERMINATE"))));
        out.clear();
        r.add("GetOrderInfo", t.GetOrderInfo(out), out);
        out.clear();
        r.add("GetOrderInfoByStation", t.GetOrderInfoByStation(out), out);
        out.clear();
        r.add("GetModelAttributes", t.GetModelAttributes(out, "PSU-2001", ""), out);
        r.message(t, 7);
        r.message(t, 6000);
        out.clear();
        {
            long long st = t.GetProductStructure("<Part SerialNumber=\"SN24001-0003\"/>", out, err);
            r.add("GetProductStructure", st, out + " / " + err);
        }
        out.clear();
        {
            long long st = t.GetGenericFunction("<UnitData SerialNumber=\"SN24001-0003\"><Item Name=\"Note\" Value=\"ok\"/></UnitData>",
                                   out, err);
            r.add("GetGenericFunction", st, out + " / " + err);
        }
        std::string cal = "x";
        r.add("GetCalibrationInfo", t.GetCalibrationInfo(cal, "FCT-01"), cal);
        r.add("SaveCalibration", t.SaveCalibration("<CALIBRATION/>"));
        r.add("GetUnitAttributes", t.GetUnitAttributes("<Unit SerialNumber=\"SN24001-0003\"/>", cal), cal);
        std::string ini = t.iniFileName(), msg = "Timeout expired";
        uint8_t level = 2;
        t.putLog(msg, level);
        r.add("GetLastError", 0, t.GetLastError());
        r.add("GetProfileItem", 0, t.GetProfileItem("CUSTOMIZATION", "SPToGetUnitInfo", "", ""));
        r.add("getStation", 0, t.getStation());
        r.add("FileExists", t.FileExists(ini));
        r.add("CalcErrCode", t.CalcErrCode(msg));
        lines = r.lines;
    });
    return lines;
}

// The procedures and batches the database received, in order.
std::vector<std::string> commands(const Plant& p) {
    std::vector<std::string> out;
    for (const auto& c : p.calls()) out.push_back(c["type"].get<std::string>() + " " + c["text"].get<std::string>());
    return out;
}

void expectSame(const std::vector<std::string>& network, const std::vector<std::string>& local) {
    ASSERT_EQ(network.size(), local.size());
    for (size_t i = 0; i < local.size(); ++i) EXPECT_EQ(network[i], local[i]);
}

void expectSameResults(const Plant& network, const Plant& local) {
    std::vector<json> a = network.results(), b = local.results();
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        for (const char* k : {"test_id", "serial", "station", "status", "procedure", "document"})
            EXPECT_EQ(a[i][k], b[i][k]) << i << " " << k;
}

}  // namespace

TEST(OdbcEndToEnd, GenerationTenEveryMethodAsInProcess) {
    std::vector<std::string> local, network, localCommands;
    {
        Plant p(10, false);
        local = generationTen();
        localCommands = commands(p);
        Plant n(10, true);
        network = generationTen();
        ASSERT_NE(n.log().find("CLASS INIT OK"), std::string::npos) << n.log();
        EXPECT_NE(n.log().find("Slave Server=" + n.server->dataSource()), std::string::npos);
        expectSame(network, local);
        expectSame(commands(n), localCommands);
        expectSameResults(n, p);
    }
    // Not trivially equal: the calls worked.
    auto has = [&](const std::string& line) {
        return std::any_of(local.begin(), local.end(), [&](const std::string& l) { return l.rfind(line, 0) == 0; });
    };
    EXPECT_TRUE(has("CheckRoute waiting for ICT -> 3"));
    EXPECT_TRUE(has("CheckRoute -> 0"));
    EXPECT_TRUE(has("SaveResult pass -> 0"));
    EXPECT_TRUE(has("CheckRoute held order -> 7"));
    EXPECT_TRUE(has("GetUnitInfo line 2 -> 0"));
}

TEST(OdbcEndToEnd, GenerationTwentyFourEveryMethodAsInProcess) {
    std::vector<std::string> local, network;
    Plant p(24, false);
    local = generationTwentyFour();
    Plant n(24, true);
    network = generationTwentyFour();
    ASSERT_NE(n.log().find("CLASS INIT OK"), std::string::npos) << n.log();
    expectSame(network, local);
    expectSame(commands(n), commands(p));
    expectSameResults(n, p);
    EXPECT_NE(local[0].find("CheckRoute -> 0"), std::string::npos);
    EXPECT_NE(local[1].find("GetUnitInfo -> 0 | <UNITINFO>"), std::string::npos) << local[1];
    EXPECT_NE(local[2].find("GetUnitInfo line 2 -> 0 | "), std::string::npos) << local[2];
}

TEST(OdbcEndToEnd, NetworkFailuresGiveTheirStatuses) {
    Plant n(10, true);
    n.setIni("TimeOut=30", "TimeOut=1");
    sim::loadAnswers(n.db(), R"({"procedures": {"uspCheckRouting": {"drop": true},
                                               "uspGetOrderInfo": {"delay_ms": 2500}}})");
    onThread([&] {
        Tester t;
        EXPECT_EQ(t.CheckRoute("SN24001-0003", "FCT-01"), 9002);  // the connection was cut
        std::string out;
        EXPECT_EQ(t.GetOrderInfo(out), 9003);  // past the command's time-out
        sim::loadAnswers(n.db(), "");
        EXPECT_EQ(t.CheckRoute("SN24001-0006", "FCT-01"), 3);  // the connection string still works
        n.server->stop();
        EXPECT_EQ(t.CheckRoute("SN24001-0006", "FCT-01"), 9001);  // nobody listens
    });
    std::string log = n.log();
    EXPECT_NE(log.find("[DBNETLIB][ConnectionRead (recv()).]General network error. Check your network documentation."),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("  Timeout expired"), std::string::npos);
    EXPECT_NE(log.find("[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied."),
              std::string::npos);
    // The cut call reached the database once and was not sent again.
    size_t routed = 0;
    for (const auto& c : n.calls()) routed += c["text"] == "uspCheckRouting";
    EXPECT_EQ(routed, 2u);
}

TEST(OdbcEndToEnd, WrongPasswordIsALoginFailure) {
    Plant n(24, true);
    n.setIni("PWD=station", "PWD=wrong");
    onThread([] { Tester t; });
    EXPECT_NE(n.log().find("Runtime error in GetTWVer Login failed for user 'station'."), std::string::npos) << n.log();
    EXPECT_NE(n.log().find("CLASS INIT FAILED. GetSlaveConn RetCode=100"), std::string::npos);
    EXPECT_TRUE(n.calls().empty());
}

TEST(OdbcEndToEnd, DroppedUploadIsResentByteForByte) {
    const std::string doc = testRun("FCT-01", "SN24001-0003", "PASS");
    // What a direct upload of the document stores.
    std::string expected;
    {
        Plant p(10, false);
        onThread([&] {
            Tester t;
            ASSERT_EQ(t.SaveResult(com::Variant(doc)), 0);
        });
        expected = p.results().back()["document"];
    }

    Plant n(10, true, "");
    n.setIni("ResendOnNetErr=no", "ResendOnNetErr=yes");
    sim::loadAnswers(n.db(), R"({"procedures": {"uspTestSaveResult": {"drop": true}}})");
    size_t before = n.results().size();
    onThread([&] {
        Tester t;
        EXPECT_EQ(t.SaveResult(com::Variant(doc)), 9002);
        std::string kept = n.home.read("resend.xml");
        EXPECT_EQ(kept.substr(0, doc.size()), doc);
        EXPECT_TRUE(kept.size() == doc.size() || kept.substr(doc.size()) == "\r\n" || kept.substr(doc.size()) == "\n")
            << kept.substr(doc.size());
        EXPECT_EQ(n.results().size(), before);

        // Still cut off: the unit query answers with the network status and
        // the file stays.
        std::string out;
        EXPECT_EQ(t.GetUnitInfo(request("SN24001-0004"), out), 9002);
        EXPECT_TRUE(n.home.exists("resend.xml"));

        // The database is reachable again: the next unit query stores the
        // kept result first, then answers.
        sim::loadAnswers(n.db(), "");
        out.clear();
        EXPECT_EQ(t.GetUnitInfo(request("SN24001-0004"), out), 0);
        EXPECT_FALSE(n.home.exists("resend.xml"));
    });
    std::vector<json> stored = n.results();
    ASSERT_EQ(stored.size(), before + 1);
    EXPECT_EQ(stored.back()["document"], expected);
    EXPECT_EQ(stored.back()["serial"], "SN24001-0003");
    EXPECT_NE(n.log().find("Resend Last Result"), std::string::npos);
}
