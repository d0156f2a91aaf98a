// The component over the network: every database method of Tester against the
// simulator's TDS listener through the SQL Server driver, compared with the
// same calls on the simulator in-process and with the sample plant's answers;
// the failures that the status codes stand for; and the resend of a result
// whose upload was cut off.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "component/Tester.h"
#include "sim/sim.h"
#include "support/plant.h"

using namespace dz;
using json = nlohmann::json;

namespace {

// Each start-up on a thread of its own: the module settings are per thread.
void onThread(const std::function<void()>& f) { std::thread(f).join(); }

com::Variant testRun(const std::string& station, const std::string& sn, const std::string& status) {
    return com::Variant("<TestRun Station=\"" + station + "\" Operator=\"o'neil Grüße\" Start=\"2026-03-07T14:05:09\" "
                        "End=\"2026-03-07T14:06:31\"><DUT ID=\"" + sn + "\" STATUS=\"" + status + "\"><Step "
                        "Name=\"Vout\" Status=\"" + status + "\"><Measurement Name=\"Vout\" Value=\"12.03\" Unit=\"V\" "
                        "Low=\"11.4\" High=\"12.6\"/></Step></DUT></TestRun>");
}

// What a station sees: every method with its status and outputs, in order.
struct Transcript {
    std::string o, e;  // the outputs of the call being recorded, cleared after it
    std::vector<std::string> lines;

    void add(const std::string& what, long long status, const std::string& text = "") {
        std::string out = text + o + (e.empty() ? "" : " / " + e);
        lines.push_back(what + " -> " + std::to_string(status) + (out.empty() ? "" : " | " + out));
        o.clear();
        e.clear();
    }
    // GetErrMessage raises the database's failure instead of returning a status.
    void message(Tester& t, int32_t code) {
        try {
            add("GetErrMessage " + std::to_string(code), 0, t.GetErrMessage(code));
        } catch (const std::exception& ex) {
            add("GetErrMessage " + std::to_string(code) + " failed", 0, ex.what());
        }
    }
};

void generationTen(Tester& t, Transcript& r) {
    r.add("CheckRoute waiting for ICT", t.CheckRoute("SN24001-0006", "FCT-01"));
    r.add("CheckRoute", t.CheckRoute("SN24001-0003", "FCT-01"));
    r.add("GetUnitInfo", t.GetUnitInfo(test::unitRequest("SN24001-0003"), r.o));
    r.add("SaveResult pass", t.SaveResult(testRun("FCT-01", "SN24001-0003", "PASS")));
    r.add("CheckRoute moved on", t.CheckRoute("SN24001-0003", "FCT-01"));
    r.add("SaveResult fail", t.SaveResult(testRun("FCT-01", "SN24001-0005", "FAIL")));
    r.add("GetCalibrationInfo", t.GetCalibrationInfo(r.o, "FCT-01", "FX-FCT-07"));
    r.add("SaveCalibration", t.SaveCalibration("<CALIBRATION STATION=\"FCT-01\" FIXTURE=\"FX-FCT-07\"><ITEM "
                                               "NAME=\"Insertions\" VALUE=\"41300\"/></CALIBRATION>"));
    r.add("GetCalibrationInfo again", t.GetCalibrationInfo(r.o, "FCT-01", "FX-FCT-07"));
    r.add("GetOrderInfo", t.GetOrderInfo(r.o));
    r.add("GetOrderInfoByStation", t.GetOrderInfoByStation(r.o, "FCT-01"));
    r.add("GetModelAttributes", t.GetModelAttributes(r.o, "ASM-5000", "C"));
    r.add("GetUnitAttributes", t.GetUnitAttributes("<Unit SerialNumber=\"SN24001-0004\"/>", r.o));
    r.message(t, 3);
    r.add("GetProductStructure", t.GetProductStructure("<Part PartNumber=\"PCB-1001\" Revision=\"B\"/>", r.o, r.e));
    r.o = "kept";
    r.add("GetGenericFunction", t.GetGenericFunction("<UnitData SerialNumber=\"SN24001-0004\"><Item Name=\"Rework\" "
                                                     "Value=\"R2\"/></UnitData>", r.o, r.e, "SetUnitData"));
    r.add("GetGenericFunction unknown unit",
          t.GetGenericFunction("<UnitData SerialNumber=\"NOPE\"/>", r.o, r.e, "SetUnitData"));
    r.add("CheckRoute unknown", t.CheckRoute("SN-UNKNOWN", "FCT-01"));
    r.add("CheckRoute held order", t.CheckRoute("SN24005-0001", "FCT-01"));
    r.add("GetUnitInfo unknown", t.GetUnitInfo(test::unitRequest("SN-UNKNOWN"), r.o));
    // The line-2 station is served by the slave database, final inspection again by the master.
    r.add("GetUnitInfo line 2", t.GetUnitInfo(test::unitRequest("PCB-B-000103"), r.o, "FCT-02"));
    r.add("CheckRoute line 2", t.CheckRoute("PCB-B-000103", "FCT-02"));
    r.add("GetUnitInfo final", t.GetUnitInfo(test::unitRequest("SN24001-0002"), r.o, "FINAL-01"));
    r.add("SaveResult final", t.SaveResult(testRun("FINAL-01", "SN24001-0002", "PASS")));
}

void generationTwentyFour(Tester& t, Transcript& r) {
    r.add("CheckRoute", t.CheckRoute("SN24001-0006", "FCT-01"));
    r.add("GetUnitInfo", t.GetUnitInfo(test::unitRequest("SN24001-0003"), r.o, "", "jdoe"));
    r.add("GetUnitInfo line 2", t.GetUnitInfo(test::unitRequest("PCB-B-000103"), r.o, "FCT-02"));
    r.add("GetUnitInfo back", t.GetUnitInfo(test::unitRequest("SN24001-0003"), r.o, "FCT-01"));
    r.add("SaveResult", t.SaveResult(testRun("FCT-01", "SN24001-0003", "PASS")));
    r.add("SaveResult unknown unit", t.SaveResult(testRun("FCT-01", "SN-UNKNOWN", "PASS")));
    r.add("SaveResult terminated", t.SaveResult(testRun("FCT-01", "SN24001-0003", "TERMINATE")));
    r.add("GetOrderInfo", t.GetOrderInfo(r.o));
    r.add("GetOrderInfoByStation", t.GetOrderInfoByStation(r.o));
    r.add("GetModelAttributes", t.GetModelAttributes(r.o, "PSU-2001", ""));
    r.message(t, 7);
    r.message(t, 6000);
    r.add("GetProductStructure", t.GetProductStructure("<Part SerialNumber=\"SN24001-0003\"/>", r.o, r.e));
    r.add("GetGenericFunction", t.GetGenericFunction("<UnitData SerialNumber=\"SN24001-0003\"><Item Name=\"Note\" "
                                                     "Value=\"ok\"/></UnitData>", r.o, r.e));
    r.o = "x";
    r.add("GetCalibrationInfo", t.GetCalibrationInfo(r.o, "FCT-01"));
    r.add("SaveCalibration", t.SaveCalibration("<CALIBRATION/>"));
    r.o = "x";
    r.add("GetUnitAttributes", t.GetUnitAttributes("<Unit SerialNumber=\"SN24001-0003\"/>", r.o));
}

// One run of a generation's script on a fresh plant: what the station saw,
// what the database received, what it stored.
struct Outcome {
    std::vector<std::string> lines, commands;
    std::vector<json> results;
    std::string log, dataSource;
};

Outcome runOn(int generation, bool network) {
    test::Plant p(generation, network);
    Outcome run;
    onThread([&] {
        Tester t;
        Transcript r;
        (generation == 10 ? generationTen : generationTwentyFour)(t, r);
        run.lines = r.lines;
    });
    for (const auto& c : p.calls())
        run.commands.push_back(c["type"].get<std::string>() + " " + c["text"].get<std::string>());
    run.results = p.results();
    run.log = p.log();
    if (network) run.dataSource = p.server->dataSource();
    return run;
}

class OdbcEndToEnd : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(OdbcEndToEnd, EveryMethodAsInProcess) {
    Outcome local = runOn(GetParam(), false), network = runOn(GetParam(), true);
    ASSERT_NE(network.log.find("CLASS INIT OK"), std::string::npos) << network.log;
    EXPECT_EQ(network.lines, local.lines);
    EXPECT_EQ(network.commands, local.commands);
    ASSERT_EQ(network.results.size(), local.results.size());
    for (size_t i = 0; i < local.results.size(); ++i)
        for (const char* k : {"test_id", "serial", "station", "status", "procedure", "document"})
            EXPECT_EQ(network.results[i][k], local.results[i][k]) << i << " " << k;


    // Not trivially equal: what the sample plant answers, as the station reads it.
    // Each a line "head", or one starting "head | " that holds `part`.
    struct Expect {
        std::string head, part;
    };
    std::vector<Expect> expected{{"CheckRoute -> 0", ""}, {"SaveCalibration -> 0", ""}};
    if (GetParam() == 10) {
        expected.insert(expected.end(), {
            {"CheckRoute waiting for ICT -> 3", ""}, {"SaveResult pass -> 0", ""}, {"CheckRoute moved on -> 3", ""},
            {"SaveResult fail -> 0", ""}, {"CheckRoute held order -> 7", ""}, {"CheckRoute line 2 -> 0", ""},
            {"GetUnitInfo -> 0", "<SERIALNUMBER>SN24001-0003</SERIALNUMBER>"},
            {"GetUnitInfo line 2 -> 0", "<SERIALNUMBER>PCB-B-000103</SERIALNUMBER>"},
            {"GetUnitInfo final -> 0", "<NEXTSTATION>FINAL-01</NEXTSTATION>"},
            {"GetCalibrationInfo -> 0", "<ITEM NAME=\"Insertions\" VALUE=\"41230\"/>"},
            {"GetCalibrationInfo again -> 0", "<ITEM NAME=\"Insertions\" VALUE=\"41300\"/>"},
            {"GetOrderInfo -> 0 | <WOINFO><WONUM>WO-24001</WONUM><ORDERQTY>50</ORDERQTY><STARTEDQTY>10</STARTEDQTY>"
             "<COMPLETED>2</COMPLETED><WOID>24001</WOID></WOINFO>", ""},
            {"GetOrderInfoByStation -> 0", "<ORDERSTATUS>Hold</ORDERSTATUS><DETAIL1>Nordlicht GmbH</DETAIL1>"},
            {"GetModelAttributes -> 0", "<MODELATTR PARTNUMBER=\"ASM-5000\" REVISION=\"C\">"},
            {"GetUnitAttributes -> 0", "<NAME>Customer</NAME><VALUE>Kessler &amp; Sons</VALUE>"},
            {"GetErrMessage 3 -> 0", ""},  // no message procedure
            {"GetProductStructure -> 0", "PartNumber=\"PCB-1001\" Revision=\"B\" ><PRODUCT Product-Family=\"COMP\""},
            {"GetGenericFunction -> 0 | kept", ""}});
        EXPECT_NE(network.log.find("Slave Server=" + network.dataSource), std::string::npos);
        auto stored = std::find_if(local.results.begin(), local.results.end(),
                                   [](const json& r) { return r["serial"] == "SN24001-0003"; });
        ASSERT_NE(stored, local.results.end());
        EXPECT_NE((*stored)["document"].get<std::string>().find("OPERATOR=\"o'neil Grüße\""), std::string::npos);
    } else {
        expected.insert(expected.end(), {
            {"GetUnitInfo -> 0", "<GROUP name=\"Label\"><UNITDATA><NAME type=\"char\">Customer</NAME>"},
            {"GetUnitInfo line 2 -> 0", "<Value>PCB-B-000103</Value>"}, {"SaveResult -> 0", ""},
            {"SaveResult unknown unit -> 1", ""}, {"GetOrderInfo -> 0", "<WONUM>WO-24001</WONUM>"},
            {"GetModelAttributes -> 0", "<MODELATTR PARTNUMBER=\"PSU-2001\">"},
            {"GetErrMessage 7 -> 0", "Work order of the unit is not released for production"},
            {"GetGenericFunction -> 0", ""}, {"GetCalibrationInfo -> 0 | x", ""},  // answered without asking
            {"GetProductStructure -> 0", "PartNumber=\"ENC-4001\" Revision=\"A\" /></PRODUCT><PRODUCT "
                                         "Product-Family=\"CTRL\" Description=\"Controller board\""}});
    }
    for (const auto& [head, part] : expected)
        EXPECT_TRUE(std::any_of(local.lines.begin(), local.lines.end(), [&](const std::string& l) {
            return part.empty() ? l == head : l.rfind(head + " | ", 0) == 0 && l.find(part) != std::string::npos;
        })) << head << " " << part;
}

INSTANTIATE_TEST_SUITE_P(Generations, OdbcEndToEnd, ::testing::Values(10, 24));

TEST(OdbcFaults, NetworkFailuresGiveTheirStatuses) {
    test::Plant n(10, true);
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
    // The cut call reached the database once and was not sent again.
    std::vector<json> calls = n.calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const json& c) { return c["text"] == "uspCheckRouting"; }), 2);
}

// Logins whose texts hold the connection-string characters.
TEST(OdbcLogins, BracesSemicolonsAndEqualSigns) {
    for (auto [user, password] : {std::pair{"station", "p}w"}, {"station", "p{w=x}"}, {"station", "a;b}"},
                                  {"station", "=x;{y}"}, {"st}a;t=i{on", "pw"}}) {
        SCOPED_TRACE(std::string(user) + " / " + password);
        test::Plant n(24, true);
        sim::query(n.db(), "UPDATE users SET name = '" + std::string(user) + "', password = '" + password + "'");
        n.setIni("USER=station\nPWD=station", "USER=\"" + std::string(user) + "\"\nPWD=\"" + password + "\"");
        std::string out;
        int32_t status = -1;
        onThread([&] {
            Tester t;
            status = t.GetOrderInfo(out);  // on the slave connection, with the master's login
        });
        EXPECT_NE(n.log().find("CLASS INIT OK"), std::string::npos) << n.log();
        EXPECT_EQ(status, 0) << n.log();
    }
}

TEST(OdbcFaults, DroppedUploadIsResentByteForByte) {
    const com::Variant doc = testRun("FCT-01", "SN24001-0003", "PASS");
    const std::string raw = doc.toText();
    test::Plant n(10, true);
    n.setIni("ResendOnNetErr=no", "ResendOnNetErr=yes");
    onThread([&] {
        Tester t;
        ASSERT_EQ(t.SaveResult(doc), 0);  // what a direct upload of the document stores
        std::string expected = n.results().back()["document"];
        size_t before = n.results().size();

        sim::loadAnswers(n.db(), R"({"procedures": {"uspTestSaveResult": {"drop": true}}})");
        EXPECT_EQ(t.SaveResult(doc), 9002);
        std::string kept = n.home.read("resend.xml");
        EXPECT_TRUE(kept == raw || kept == raw + "\r\n" || kept == raw + "\n") << kept;
        EXPECT_EQ(n.results().size(), before);

        // Reachable again: the next unit query stores the kept result first, then answers.
        sim::loadAnswers(n.db(), "");
        std::string out;
        EXPECT_EQ(t.GetUnitInfo(test::unitRequest("SN24001-0004"), out), 0);
        EXPECT_FALSE(n.home.exists("resend.xml"));
        std::vector<json> stored = n.results();
        ASSERT_EQ(stored.size(), before + 1);
        EXPECT_EQ(stored.back()["document"], expected);
        EXPECT_EQ(stored.back()["serial"], "SN24001-0003");
    });
    EXPECT_NE(n.log().find("Resend Last Result"), std::string::npos);
}
