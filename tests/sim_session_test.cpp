// The eighteen methods through `dezozevo session` against the MES simulator
// with the sample deployment files, on generation 10 and 24.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "sim/sim.h"
#include "support/station.h"

using json = nlohmann::json;
namespace fs = std::filesystem;
using namespace dz;

namespace {

std::string buildDir() {
    const char* b = std::getenv("DZ_BUILD_DIR");
    return b ? b : ".";
}

std::string siteFile(const std::string& name) {
    const char* src = std::getenv("DZ_SOURCE_DIR");
    return test::readFile(std::string(src ? src : ".") + "/site/" + name);
}

// Runs one session over `requests` in a component folder laid out like the
// demo's; returns the answers by line.
std::vector<json> session(test::TempDir& home, int generation, const std::vector<json>& requests) {
    for (const char* f : {"DEZozevo.ini", "DEZozevo.xsl", "GetHeader.xsl", "SaveResult.xsd", "GetUnitInfo.xsd"})
        home.write(f, siteFile(f));
    sim::InitOptions o;
    o.generation = generation;
    o.sample = true;
    sim::create(home.file("plant.db"), o);
    std::string in;
    for (const auto& r : requests) in += r.dump() + "\n";
    home.write("in.jsonl", in);
    std::string cmd = buildDir() + "/dezozevo --home " + home.path() + " session <" + home.file("in.jsonl") + " >" +
                      home.file("out.jsonl") + " 2>" + home.file("err.txt");
    int rc = std::system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(rc), 0) << home.read("err.txt");
    std::vector<json> out;
    std::string text = home.read("out.jsonl");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        if (nl > pos) out.push_back(json::parse(text.substr(pos, nl - pos)));
        pos = nl + 1;
    }
    EXPECT_EQ(out.size(), requests.size()) << text << home.read("err.txt");
    return out;
}

json req(const std::string& method, json args) { return {{"method", method}, {"args", std::move(args)}}; }

const std::string kRun =
    "<TestRun Station=\"FCT-01\" Start=\"2026-03-07T14:05:09\"><DUT ID=\"SN24001-0004\" STATUS=\"PASS\">"
    "<Step Name=\"Vout\" Status=\"PASS\"><Measurement Name=\"Vout\" Value=\"12.01\" Unit=\"V\" Low=\"11.4\" "
    "High=\"12.6\"/></Step></DUT></TestRun>";

std::vector<json> allMethods(const std::string& home) {
    return {
        req("CheckRoute", {{"strUnitSN", "SN24001-0004"}, {"strStation", "FCT-01"}}),
        req("GetUnitInfo", {{"strRequest", "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"SN24001-0004\"/>"},
                            {"strUnitInfo", ""},
                            {"strUserID", "op1"}}),
        req("GetCalibrationInfo", {{"strCalibrationInfo", ""}, {"strStationName", "FCT-01"}, {"strFixture", "FX-FCT-07"}}),
        req("SaveCalibration", {{"strCalibration", "<CALIBRATION STATION=\"FCT-01\"><ITEM NAME=\"DMM offset\" VALUE=\"9\"/></CALIBRATION>"}}),
        req("GetOrderInfo", {{"strWorkOrderInfo", ""}}),
        req("GetOrderInfoByStation", {{"strWorkOrderInfo", ""}, {"strStationName", "ICT-01"}}),
        req("GetModelAttributes", {{"strModelInfo", ""}, {"strPartNumber", "ASM-5000"}, {"strPartRev", "C"}}),
        req("GetUnitAttributes", {{"strRequest", "<Unit SerialNumber=\"SN24001-0004\"/>"}, {"strUnitInfo", ""}}),
        req("GetErrMessage", {{"nErrCode", 4}}),
        req("SaveResult", {{"strXMLResultText", kRun}}),
        req("GetLastError", json::object()),
        req("GetProfileItem", {{"strSectionName", "DATABASE"}, {"strKeyName", "SERVER"}, {"strDefaultValue", "?"},
                               {"strIniFile", home + "/DEZozevo.ini"}}),
        req("getStation", json::object()),
        req("FileExists", {{"Fname", home + "/plant.db"}}),
        req("putLog", {{"strMsg", "session test"}, {"nLevel", 1}}),
        req("CalcErrCode", {{"strMsg", "[DBNETLIB]General network error."}}),
        req("GetProductStructure", {{"xmlPart", "<Part PartNumber=\"ASM-5000\"/>"}, {"xmlProductStructure", ""},
                                    {"ErrorDescription", ""}}),
        req("GetGenericFunction", {{"xmlIn", "<UnitData SerialNumber=\"SN24001-0004\"><Item Name=\"Seen\" Value=\"yes\"/></UnitData>"},
                                   {"xmlOut", ""},
                                   {"ErrorDescription", ""},
                                   {"FunctionName", "SetUnitData"}}),
    };
}

bool has(const json& answer, const std::string& arg, const std::string& text) {
    return answer["args"][arg].get<std::string>().find(text) != std::string::npos;
}

}  // namespace

TEST(SimSession, EveryMethodOnGenerationTen) {
    if (!fs::exists(buildDir() + "/dezozevo")) GTEST_SKIP() << "dezozevo not built";
    test::TempDir home;
    std::vector<json> a = session(home, 10, allMethods(home.path()));
    ASSERT_EQ(a.size(), 18u);
    for (const auto& x : a) EXPECT_FALSE(x.contains("error")) << x;
    EXPECT_EQ(a[0]["result"], 0);
    EXPECT_EQ(a[1]["result"], 0);
    EXPECT_TRUE(has(a[1], "strUnitInfo", "<SERIALNUMBER>SN24001-0004</SERIALNUMBER>"));
    EXPECT_TRUE(has(a[2], "strCalibrationInfo", "FIXTURE=\"FX-FCT-07\""));
    EXPECT_EQ(a[3]["result"], 0);
    EXPECT_TRUE(has(a[4], "strWorkOrderInfo", "<WONUM>WO-24001</WONUM>"));
    EXPECT_TRUE(has(a[5], "strWorkOrderInfo", "<WOBYSTATION STATION=\"ICT-01\">"));
    EXPECT_TRUE(has(a[5], "strWorkOrderInfo", "<ORDERSTATUS>Planned</ORDERSTATUS>"));
    EXPECT_TRUE(has(a[6], "strModelInfo", "<MODELATTR PARTNUMBER=\"ASM-5000\" REVISION=\"C\">"));
    EXPECT_TRUE(has(a[7], "strUnitInfo", "<UNITDATA><NAME>PartNumber</NAME><VALUE>ASM-5000</VALUE></UNITDATA>"));
    EXPECT_EQ(a[8]["result"], "");
    EXPECT_EQ(a[9]["result"], 0);
    EXPECT_EQ(a[10]["result"], "OK");
    EXPECT_EQ(a[11]["result"], "sim:plant.db");
    EXPECT_EQ(a[12]["result"], "FCT-01");
    EXPECT_EQ(a[13]["result"], true);
    EXPECT_EQ(a[15]["result"], 9002);
    EXPECT_EQ(a[16]["result"], 0);
    EXPECT_TRUE(has(a[16], "xmlProductStructure", "<ProductStructure><PRODUCT Product-Family=\"CTRL\""));
    EXPECT_EQ(a[17]["result"], 0);

    // What the station sent is in the journal; what it stored, in the results.
    json last = json::parse(sim::results(home.file("plant.db")).back());
    EXPECT_EQ(last["serial"], "SN24001-0004");
    EXPECT_EQ(last["station"], "FCT-01");
    bool sawRoute = false;
    for (const auto& line : sim::journal(home.file("plant.db")))
        sawRoute |= json::parse(line)["text"] == "uspCheckRouting";
    EXPECT_TRUE(sawRoute);
}

TEST(SimSession, EveryMethodOnGenerationTwentyFour) {
    if (!fs::exists(buildDir() + "/dezozevo")) GTEST_SKIP() << "dezozevo not built";
    test::TempDir home;
    std::vector<json> a = session(home, 24, allMethods(home.path()));
    ASSERT_EQ(a.size(), 18u);
    for (const auto& x : a) EXPECT_FALSE(x.contains("error")) << x;
    EXPECT_EQ(a[1]["result"], 0);
    EXPECT_TRUE(has(a[1], "strUnitInfo", "<UnitData><Name>SerialNumber</Name><Value>SN24001-0004</Value></UnitData>"));
    EXPECT_TRUE(has(a[1], "strUnitInfo", "<GROUP name=\"Label\">"));
    EXPECT_EQ(a[2]["args"]["strCalibrationInfo"], "");  // generation 10 only
    EXPECT_TRUE(has(a[4], "strWorkOrderInfo", "<WONUM>WO-24001</WONUM>"));
    EXPECT_TRUE(has(a[6], "strModelInfo", "<NAME>Customer</NAME><VALUE>Kessler &amp; Sons</VALUE>"));
    EXPECT_EQ(a[8]["result"], "Unit is on hold");
    EXPECT_EQ(a[9]["result"], 0);
    EXPECT_EQ(a[17]["result"], 0);
    json last = json::parse(sim::results(home.file("plant.db")).back());
    EXPECT_EQ(last["procedure"], "objTSKSaveTestResult");
    EXPECT_EQ(last["serial"], "SN24001-0004");
}
