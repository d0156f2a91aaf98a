// The component against the MES simulator with the sample deployment files:
// a station cycle and every business method, on generation 10 and 24.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "DEZozevoDLL/Tester.h"
#include "sim/sim.h"
#include "support/station.h"

using namespace dz;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::string siteFile(const std::string& name) {
    const char* src = std::getenv("DZ_SOURCE_DIR");
    return test::readFile(std::string(src ? src : ".") + "/site/" + name);
}

// A component folder with the site files and a sample simulator plant.db.
class Plant {
public:
    Plant(int generation, const std::string& station = "FCT-01") {
        for (const char* f : {"DEZozevo.xsl", "GetHeader.xsl", "SaveResult.xsd", "GetUnitInfo.xsd"})
            home.write(f, siteFile(f));
        std::string ini = siteFile("DEZozevo.ini");
        size_t at = ini.find("STATION=FCT-01");
        ini.replace(at, 14, "STATION=" + station);
        home.write("DEZozevo.ini", ini);
        sim::InitOptions o;
        o.generation = generation;
        o.sample = true;
        sim::create(home.file("plant.db"), o);
        setenv("DEZOZEVO_HOME", home.path().c_str(), 1);
    }
    ~Plant() { unsetenv("DEZOZEVO_HOME"); }

    std::vector<json> results() const {
        std::vector<json> out;
        for (const auto& l : sim::results(home.file("plant.db"))) out.push_back(json::parse(l));
        return out;
    }
    std::vector<json> calls() const {
        std::vector<json> out;
        for (const auto& l : sim::journal(home.file("plant.db"))) out.push_back(json::parse(l));
        return out;
    }
    std::string log() const {
        std::string all;
        for (const auto& e : fs::directory_iterator(home.path()))
            if (e.path().extension() == ".log") all += test::readFile(e.path().string());
        return all;
    }

    test::TempDir home;
};

std::string request(const std::string& sn) {
    return "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"" + sn + "\"/>";
}

std::string testRun(const std::string& station, const std::string& sn, const std::string& status) {
    return "<TestRun Station=\"" + station + "\" Operator=\"o'neil\" Start=\"2026-03-07T14:05:09\" "
           "End=\"2026-03-07T14:06:31\"><DUT ID=\"" + sn + "\" STATUS=\"" + status + "\">"
           "<Step Name=\"Vout\" Status=\"" + status + "\"><Measurement Name=\"Vout\" Value=\"12.03\" Unit=\"V\" "
           "Low=\"11.4\" High=\"12.6\"/></Step></DUT></TestRun>";
}

}  // namespace

TEST(SimComponent, GenerationTenStationCycle) {
    Plant p(10);
    Tester t;
    ASSERT_NE(p.log().find("CLASS INIT OK"), std::string::npos) << p.log();

    EXPECT_EQ(t.CheckRoute("SN24001-0006", "FCT-01"), 3);  // still waits for in-circuit test
    EXPECT_EQ(t.CheckRoute("SN24001-0003", "FCT-01"), 0);
    std::string info;
    ASSERT_EQ(t.GetUnitInfo(request("SN24001-0003"), info), 0);
    EXPECT_EQ(info.rfind("<UNITINFO><SERIALNUMBER>SN24001-0003</SERIALNUMBER>", 0), 0u) << info;

    ASSERT_EQ(t.SaveResult(com::Variant(testRun("FCT-01", "SN24001-0003", "PASS"))), 0);
    json stored = p.results().back();
    EXPECT_EQ(stored["serial"], "SN24001-0003");
    EXPECT_EQ(stored["status"], "PASS");
    EXPECT_NE(stored["document"].get<std::string>().find("OPERATOR=\"o'neil\""), std::string::npos);
    EXPECT_EQ(t.CheckRoute("SN24001-0003", "FCT-01"), 3);  // moved on to burn-in
    EXPECT_EQ(t.CheckRoute("SN24001-0003", "BURNIN-01"), 0);

    ASSERT_EQ(t.SaveResult(com::Variant(testRun("FCT-01", "SN24001-0005", "FAIL"))), 0);
    EXPECT_EQ(p.results().back()["status"], "FAIL");
    EXPECT_EQ(t.CheckRoute("SN24001-0005", "FCT-01"), 0);  // retest here
}

TEST(SimComponent, GenerationTenEveryBusinessMethod) {
    Plant p(10);
    Tester t;
    std::string out;
    EXPECT_EQ(t.GetCalibrationInfo(out, "FCT-01", "FX-FCT-07"), 0);
    EXPECT_NE(out.find("<ITEM NAME=\"Contact resistance\" VALUE=\"18.5\""), std::string::npos) << out;
    EXPECT_EQ(t.SaveCalibration("<CALIBRATION STATION=\"FCT-01\" FIXTURE=\"FX-FCT-07\"><ITEM NAME=\"Insertions\" "
                                "VALUE=\"41300\"/></CALIBRATION>"),
              0);
    out.clear();
    EXPECT_EQ(t.GetCalibrationInfo(out, "FCT-01", "FX-FCT-07"), 0);
    EXPECT_NE(out.find("VALUE=\"41300\""), std::string::npos);

    out.clear();
    EXPECT_EQ(t.GetOrderInfo(out), 0);
    EXPECT_EQ(out, "<WOINFO><WONUM>WO-24001</WONUM><ORDERQTY>50</ORDERQTY><STARTEDQTY>10</STARTEDQTY>"
                   "<COMPLETED>2</COMPLETED><WOID>24001</WOID></WOINFO>");
    out.clear();
    EXPECT_EQ(t.GetOrderInfoByStation(out, "FCT-01"), 0);
    EXPECT_NE(out.find("<ORDERSTATUS>Hold</ORDERSTATUS>"), std::string::npos) << out;
    EXPECT_NE(out.find("<DETAIL1>Kessler &amp; Sons</DETAIL1>"), std::string::npos);
    out.clear();
    EXPECT_EQ(t.GetModelAttributes(out, "ASM-5000", "C"), 0);
    EXPECT_NE(out.find("<ATTR><NAME>Customer</NAME><VALUE>Kessler &amp; Sons</VALUE></ATTR>"), std::string::npos);
    out.clear();
    EXPECT_EQ(t.GetUnitAttributes("<Unit SerialNumber=\"SN24001-0004\"/>", out), 0);
    EXPECT_NE(out.find("<UNITDATA><NAME>MAC</NAME>"), std::string::npos) << out;
    EXPECT_EQ(t.GetErrMessage(3), "");  // no message procedure on generation 10

    std::string ps, err;
    EXPECT_EQ(t.GetProductStructure("<Part PartNumber=\"PCB-1001\" Revision=\"B\"/>", ps, err), 0) << err;
    EXPECT_EQ(ps, "<ProductStructure><PRODUCT Product-Family=\"CTRL\" Description=\"Controller board\" "
                  "PartNumber=\"PCB-1001\" Revision=\"B\" ><PRODUCT Product-Family=\"COMP\" "
                  "Description=\"Microcontroller\" PartNumber=\"MCU-7001\" Revision=\"A\" /><PRODUCT "
                  "Product-Family=\"COMP\" Description=\"Connector 40-pin\" PartNumber=\"CON-7040\" Revision=\"A\" />"
                  "</PRODUCT></ProductStructure>");
    std::string gout = "kept";
    EXPECT_EQ(t.GetGenericFunction("<UnitData SerialNumber=\"SN24001-0004\"><Item Name=\"Rework\" Value=\"R2\"/>"
                                   "</UnitData>",
                                   gout, err, "SetUnitData"),
              0);
    EXPECT_EQ(gout, "kept");
    EXPECT_EQ(t.GetGenericFunction("<UnitData SerialNumber=\"NOPE\"/>", gout, err, "SetUnitData"), 9999);

    // A unit the MES does not know, and one on a held work order.
    EXPECT_EQ(t.CheckRoute("SN-UNKNOWN", "FCT-01"), 1);
    EXPECT_EQ(t.CheckRoute("SN24005-0001", "FCT-01"), 7);
    out.clear();
    EXPECT_EQ(t.GetUnitInfo(request("SN-UNKNOWN"), out), 1);
}

TEST(SimComponent, GenerationTenSlaveStationAndBufferFolder) {
    Plant p(10, "FINAL-01");
    Tester t;
    // The line-2 station is served by the slave database.
    std::string info;
    ASSERT_EQ(t.GetUnitInfo(request("PCB-B-000103"), info, "FCT-02"), 0) << p.log();
    EXPECT_NE(p.log().find("Slave Server=sim:"), std::string::npos);
    EXPECT_EQ(t.CheckRoute("PCB-B-000103", "FCT-02"), 0);

    // Back to the master for the final-inspection station, whose passing
    // results go into the buffer folder with the test ID in the file name.
    info.clear();
    ASSERT_EQ(t.GetUnitInfo(request("SN24001-0002"), info, "FINAL-01"), 0);
    ASSERT_EQ(t.SaveResult(com::Variant(testRun("FINAL-01", "SN24001-0002", "PASS"))), 0);
    json stored = p.results().back();
    EXPECT_EQ(stored["document"].get<std::string>().rfind("<TestResultHeader STATION=\"FINAL-01\"", 0), 0u);
    std::string file = p.home.file("buffer/SN24001-0002_" + std::to_string(stored["test_id"].get<long>()) + ".xml");
    EXPECT_NE(test::readFile(file).find("urn:SaveResult-schema"), std::string::npos) << file;
}

TEST(SimComponent, GenerationTwentyFourEveryBusinessMethod) {
    Plant p(24);
    Tester t;
    ASSERT_NE(p.log().find("CLASS INIT OK"), std::string::npos) << p.log();
    EXPECT_EQ(t.CheckRoute("SN24001-0006", "FCT-01"), 0);  // no route check on this generation

    std::string info;
    ASSERT_EQ(t.GetUnitInfo(request("SN24001-0003"), info, "", "jdoe"), 0) << p.log();
    EXPECT_EQ(info.rfind("<UNITINFO><UnitData><Name>SerialNumber</Name><Value>SN24001-0003</Value></UnitData>", 0), 0u)
        << info;
    EXPECT_NE(info.find("<GROUP name=\"Limits\"><UNITDATA><NAME type=\"char\">Vout_min_V</NAME>"), std::string::npos);
    json call = p.calls().back();
    EXPECT_EQ(call["text"], "objTSKGetUnitInfo");
    EXPECT_EQ(call["params"][3]["value"], "jdoe");

    info.clear();
    EXPECT_EQ(t.GetUnitInfo(request("PCB-B-000103"), info, "FCT-02"), 0);  // slave of line 2
    EXPECT_NE(info.find("PCB-B-000103"), std::string::npos);
    info.clear();
    ASSERT_EQ(t.GetUnitInfo(request("SN24001-0003"), info, "FCT-01"), 0);

    ASSERT_EQ(t.SaveResult(com::Variant(testRun("FCT-01", "SN24001-0003", "PASS"))), 0);
    json stored = p.results().back();
    EXPECT_EQ(stored["procedure"], "objTSKSaveTestResult");
    EXPECT_EQ(stored["enter_time"], stored["exit_time"]);
    EXPECT_EQ(t.SaveResult(com::Variant(testRun("FCT-01", "SN-UNKNOWN", "PASS"))), 1);

    std::string out;
    EXPECT_EQ(t.GetOrderInfo(out), 0);
    EXPECT_NE(out.find("<WONUM>WO-24001</WONUM>"), std::string::npos);
    out.clear();
    EXPECT_EQ(t.GetOrderInfoByStation(out), 0);
    EXPECT_EQ(out.rfind("<WOBYSTATION STATION=\"FCT-01\"><WO><LINEPRIORITY>1</LINEPRIORITY>", 0), 0u) << out;
    out.clear();
    EXPECT_EQ(t.GetModelAttributes(out, "PSU-2001", ""), 0);
    EXPECT_EQ(out, "<MODELATTR PARTNUMBER=\"PSU-2001\"><ATTR><NAME>Vout_V</NAME><VALUE>12.0</VALUE></ATTR>"
                   "<ATTR><NAME>Efficiency_pct</NAME><VALUE>91</VALUE></ATTR></MODELATTR>");
    EXPECT_EQ(t.GetErrMessage(7), "Work order of the unit is not released for production");
    EXPECT_EQ(t.GetErrMessage(6000), "No data returned by the database");

    std::string ps, err;
    EXPECT_EQ(t.GetProductStructure("<Part SerialNumber=\"SN24001-0003\"/>", ps, err), 0) << err;
    EXPECT_NE(ps.find("PartNumber=\"ENC-4001\""), std::string::npos);
    std::string gout;
    EXPECT_EQ(t.GetGenericFunction("<UnitData SerialNumber=\"SN24001-0003\"><Item Name=\"Note\" Value=\"ok\"/></UnitData>",
                                   gout, err),
              0);
    // Services of generation 10 only answer 0 without asking.
    size_t before = p.calls().size();
    std::string cal = "x";
    EXPECT_EQ(t.GetCalibrationInfo(cal, "FCT-01"), 0);
    EXPECT_EQ(t.SaveCalibration("<CALIBRATION/>"), 0);
    EXPECT_EQ(t.GetUnitAttributes("<Unit SerialNumber=\"SN24001-0003\"/>", cal), 0);
    EXPECT_EQ(cal, "x");
    EXPECT_EQ(p.calls().size(), before);
}

TEST(SimComponent, CannedAnswersDriveFailureClasses) {
    Plant p(10);
    sim::loadAnswers(p.home.file("plant.db"), R"({"procedures": {
        "uspCheckRouting": {"drop": true},
        "uspGetOrderInfo": {"delay_ms": 2500},
        "uspGetUnitInfo": {"columns": ["ERROR"], "rows": [[42]]},
        "uspGetModelAttributeByPartNumber": {"fail": "[DBNETLIB]SQL Server does not exist or access denied."},
        "uspGetOrderInfoByStation": {"columns": ["WORKORDERNUMBER"], "rows": []}
    }})");
    // A short time-out for the slow answer.
    std::string ini = p.home.read("DEZozevo.ini");
    ini.replace(ini.find("TimeOut=30"), 10, "TimeOut=1");
    p.home.write("DEZozevo.ini", ini);
    Tester t;
    EXPECT_EQ(t.CheckRoute("SN24001-0003", "FCT-01"), 9002);
    std::string out;
    EXPECT_EQ(t.GetOrderInfo(out), 9003);
    EXPECT_EQ(t.GetUnitInfo(request("SN24001-0003"), out), 42);
    EXPECT_EQ(t.GetModelAttributes(out, "ASM-5000", "C"), 9001);
    EXPECT_EQ(t.GetOrderInfoByStation(out), 6000);
    EXPECT_EQ(out, "");
}

// Start-up on a thread of its own, so that no earlier generation is left over.
TEST(SimComponent, WrongLoginAndMissingDatabaseFailStartUp) {
    Plant p(24);
    std::string ini = p.home.read("DEZozevo.ini");
    ini.replace(ini.find("PWD=station"), 11, "PWD=wrong");
    p.home.write("DEZozevo.ini", ini);
    std::thread([] { Tester t; }).join();
    EXPECT_NE(p.log().find("Runtime error in GetTWVer Login failed for user 'station'."), std::string::npos) << p.log();
    EXPECT_NE(p.log().find("CLASS INIT FAILED. GetSlaveConn RetCode=100"), std::string::npos);

    ini.replace(ini.find("PWD=wrong"), 9, "PWD=station");
    ini.replace(ini.find("sim:plant.db"), 12, "sim:gone.db");
    p.home.write("DEZozevo.ini", ini);
    std::thread([] { Tester t; }).join();
    EXPECT_NE(p.log().find("Runtime error in GetTWVer [DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist"),
              std::string::npos)
        << p.log();
    EXPECT_FALSE(p.home.exists("gone.db"));
}
