// The component in-process against the MES simulator with the sample
// deployment files: a station cycle, the failure classes that canned answers
// drive, and start-up failures. (Every method on generation 10 and 24 runs
// through `dezozevo session` in sim_session_test.)
#include <gtest/gtest.h>

#include <thread>

#include "DEZozevoDLL/Tester.h"
#include "sim/sim.h"
#include "support/plant.h"

using namespace dz;

namespace {

std::string request(const std::string& sn) {
    return "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"" + sn + "\"/>";
}

com::Variant testRun(const std::string& station, const std::string& sn, const std::string& status) {
    return com::Variant("<TestRun Station=\"" + station + "\" Operator=\"o'neil\" Start=\"2026-03-07T14:05:09\" "
                        "End=\"2026-03-07T14:06:31\"><DUT ID=\"" + sn + "\" STATUS=\"" + status + "\"><Step "
                        "Name=\"Vout\" Status=\"" + status + "\"><Measurement Name=\"Vout\" Value=\"12.03\" Unit=\"V\" "
                        "Low=\"11.4\" High=\"12.6\"/></Step></DUT></TestRun>");
}

}  // namespace

TEST(SimComponent, GenerationTenStationCycle) {
    test::Plant p(10);
    Tester t;
    ASSERT_NE(p.log().find("CLASS INIT OK"), std::string::npos) << p.log();
    EXPECT_EQ(t.CheckRoute("SN24001-0006", "FCT-01"), 3);  // still waits for in-circuit test
    EXPECT_EQ(t.CheckRoute("SN24001-0003", "FCT-01"), 0);
    std::string info;
    ASSERT_EQ(t.GetUnitInfo(request("SN24001-0003"), info), 0);
    EXPECT_EQ(info.rfind("<UNITINFO><SERIALNUMBER>SN24001-0003</SERIALNUMBER>", 0), 0u) << info;

    ASSERT_EQ(t.SaveResult(testRun("FCT-01", "SN24001-0003", "PASS")), 0);
    nlohmann::json stored = p.results().back();
    EXPECT_EQ(stored["serial"], "SN24001-0003");
    EXPECT_EQ(stored["status"], "PASS");
    EXPECT_NE(stored["document"].get<std::string>().find("OPERATOR=\"o'neil\""), std::string::npos);
    EXPECT_EQ(t.CheckRoute("SN24001-0003", "FCT-01"), 3);  // moved on to burn-in
    EXPECT_EQ(t.CheckRoute("SN24001-0003", "BURNIN-01"), 0);

    ASSERT_EQ(t.SaveResult(testRun("FCT-01", "SN24001-0005", "FAIL")), 0);
    EXPECT_EQ(p.results().back()["status"], "FAIL");
    EXPECT_EQ(t.CheckRoute("SN24001-0005", "FCT-01"), 0);  // retest here

    // The line-2 station is served by the slave database.
    info.clear();
    ASSERT_EQ(t.GetUnitInfo(request("PCB-B-000103"), info, "FCT-02"), 0) << p.log();
    EXPECT_NE(p.log().find("Slave Server=sim:"), std::string::npos);
    EXPECT_EQ(t.CheckRoute("PCB-B-000103", "FCT-02"), 0);
}

// Final inspection is served by the master; its passing results also go into
// the buffer folder, with the test ID in the file name.
TEST(SimComponent, GenerationTenBufferFolder) {
    test::Plant p(10);
    p.setIni("STATION=FCT-01", "STATION=FINAL-01");
    Tester t;
    std::string info;
    ASSERT_EQ(t.GetUnitInfo(request("SN24001-0002"), info), 0) << p.log();
    ASSERT_EQ(t.SaveResult(testRun("FINAL-01", "SN24001-0002", "PASS")), 0);
    nlohmann::json stored = p.results().back();
    EXPECT_EQ(stored["document"].get<std::string>().rfind("<TestResultHeader STATION=\"FINAL-01\"", 0), 0u);
    std::string file = p.home.file("buffer/SN24001-0002_" + std::to_string(stored["test_id"].get<long>()) + ".xml");
    EXPECT_NE(test::readFile(file).find("urn:SaveResult-schema"), std::string::npos) << file;
}

TEST(SimComponent, CannedAnswersDriveFailureClasses) {
    test::Plant p(10);
    sim::loadAnswers(p.db(), R"({"procedures": {
        "uspCheckRouting": {"drop": true},
        "uspGetOrderInfo": {"delay_ms": 2500},
        "uspGetUnitInfo": {"columns": ["ERROR"], "rows": [[42]]},
        "uspGetModelAttributeByPartNumber": {"fail": "[DBNETLIB]SQL Server does not exist or access denied."},
        "uspGetOrderInfoByStation": {"columns": ["WORKORDERNUMBER"], "rows": []}
    }})");
    p.setIni("TimeOut=30", "TimeOut=1");
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
    test::Plant p(24);
    p.setIni("PWD=station", "PWD=wrong");
    std::thread([] { Tester t; }).join();
    EXPECT_NE(p.log().find("Runtime error in GetTWVer Login failed for user 'station'."), std::string::npos) << p.log();
    EXPECT_NE(p.log().find("CLASS INIT FAILED. GetSlaveConn RetCode=100"), std::string::npos);

    p.setIni("PWD=wrong", "PWD=station");
    p.setIni("sim:plant.db", "sim:gone.db");
    std::thread([] { Tester t; }).join();
    EXPECT_NE(p.log().find("Runtime error in GetTWVer [DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist"),
              std::string::npos)
        << p.log();
    EXPECT_FALSE(p.home.exists("gone.db"));
}
