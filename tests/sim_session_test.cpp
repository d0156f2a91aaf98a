// The eighteen methods through `dezozevo session` against the MES simulator
// with the sample deployment files, on generation 10 and 24.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/plant.h"

using json = nlohmann::json;
using namespace dz;

namespace {

// Runs one session over `requests` in the plant's folder; the answers by line.
std::vector<json> session(const test::Plant& p, const std::vector<json>& requests) {
    std::string in;
    for (const auto& r : requests) in += r.dump() + "\n";
    p.home.write("in.jsonl", in);
    std::string cmd = test::buildDir() + "/dezozevo --home " + p.home.path() + " session <" + p.home.file("in.jsonl") +
                      " >" + p.home.file("out.jsonl") + " 2>" + p.home.file("err.txt");
    int rc = std::system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(rc), 0) << p.home.read("err.txt");
    std::vector<json> out;
    std::istringstream text(p.home.read("out.jsonl"));
    for (std::string line; std::getline(text, line);)
        if (!line.empty()) out.push_back(json::parse(line));
    EXPECT_EQ(out.size(), requests.size()) << p.home.read("err.txt");
    for (const auto& x : out) EXPECT_FALSE(x.contains("error")) << x;
    return out;
}

json req(const std::string& method, json args) { return {{"method", method}, {"args", std::move(args)}}; }

std::vector<json> allMethods(const std::string& home) {
    const std::string run =
        "<TestRun Station=\"FCT-01\" Start=\"2026-03-07T14:05:09\"><DUT ID=\"SN24001-0004\" STATUS=\"PASS\">"
        "<Step Name=\"Vout\" Status=\"PASS\"><Measurement Name=\"Vout\" Value=\"12.01\" Unit=\"V\" Low=\"11.4\" "
        "High=\"12.6\"/></Step></DUT></TestRun>";
    return {
        req("CheckRoute", {{"strUnitSN", "SN24001-0004"}, {"strStation", "FCT-01"}}),
        req("GetUnitInfo", {{"strRequest", "<GetUnitInfo xmlns=\"urn:GetUnitInfo-schema\" SerialNumber=\"SN24001-0004\"/>"},
                            {"strUnitInfo", ""}, {"strUserID", "op1"}}),
        req("GetCalibrationInfo", {{"strCalibrationInfo", ""}, {"strStationName", "FCT-01"}, {"strFixture", "FX-FCT-07"}}),
        req("SaveCalibration",
            {{"strCalibration", "<CALIBRATION STATION=\"FCT-01\"><ITEM NAME=\"DMM offset\" VALUE=\"9\"/></CALIBRATION>"}}),
        req("GetOrderInfo", {{"strWorkOrderInfo", ""}}),
        req("GetOrderInfoByStation", {{"strWorkOrderInfo", ""}, {"strStationName", "ICT-01"}}),
        req("GetModelAttributes", {{"strModelInfo", ""}, {"strPartNumber", "ASM-5000"}, {"strPartRev", "C"}}),
        req("GetUnitAttributes", {{"strRequest", "<Unit SerialNumber=\"SN24001-0004\"/>"}, {"strUnitInfo", ""}}),
        req("GetErrMessage", {{"nErrCode", 4}}),
        req("SaveResult", {{"strXMLResultText", run}}),
        req("GetLastError", json::object()),
        req("GetProfileItem", {{"strSectionName", "DATABASE"}, {"strKeyName", "SERVER"}, {"strDefaultValue", "?"},
                               {"strIniFile", home + "/DEZozevo.ini"}}),
        req("getStation", json::object()),
        req("FileExists", {{"Fname", home + "/plant.db"}}),
        req("putLog", {{"strMsg", "session test"}, {"nLevel", 1}}),
        req("CalcErrCode", {{"strMsg", "[DBNETLIB]General network error."}}),
        req("GetProductStructure",
            {{"xmlPart", "<Part PartNumber=\"ASM-5000\"/>"}, {"xmlProductStructure", ""}, {"ErrorDescription", ""}}),
        req("GetGenericFunction",
            {{"xmlIn", "<UnitData SerialNumber=\"SN24001-0004\"><Item Name=\"Seen\" Value=\"yes\"/></UnitData>"},
             {"xmlOut", ""}, {"ErrorDescription", ""}, {"FunctionName", "SetUnitData"}}),
    };
}

bool has(const json& answer, const std::string& arg, const std::string& text) {
    return answer["args"][arg].get<std::string>().find(text) != std::string::npos;
}

}  // namespace

TEST(SimSession, EveryMethodOnGenerationTen) {
    if (!std::filesystem::exists(test::buildDir() + "/dezozevo")) GTEST_SKIP() << "dezozevo not built";
    test::Plant p(10);
    std::vector<json> a = session(p, allMethods(p.home.path()));
    ASSERT_EQ(a.size(), 18u);
    for (size_t i : {0, 1, 3, 9, 16, 17}) EXPECT_EQ(a[i]["result"], 0) << a[i];
    EXPECT_TRUE(has(a[1], "strUnitInfo", "<SERIALNUMBER>SN24001-0004</SERIALNUMBER>"));
    EXPECT_TRUE(has(a[2], "strCalibrationInfo", "FIXTURE=\"FX-FCT-07\""));
    EXPECT_EQ(a[4]["args"]["strWorkOrderInfo"], "<WOINFO><WONUM>WO-24001</WONUM><ORDERQTY>50</ORDERQTY><STARTEDQTY>10"
                                                 "</STARTEDQTY><COMPLETED>2</COMPLETED><WOID>24001</WOID></WOINFO>");
    EXPECT_TRUE(has(a[5], "strWorkOrderInfo", "<WOBYSTATION STATION=\"ICT-01\">"));
    EXPECT_TRUE(has(a[5], "strWorkOrderInfo", "<ORDERSTATUS>Planned</ORDERSTATUS>"));
    EXPECT_TRUE(has(a[6], "strModelInfo", "<MODELATTR PARTNUMBER=\"ASM-5000\" REVISION=\"C\">"));
    EXPECT_TRUE(has(a[7], "strUnitInfo", "<UNITDATA><NAME>PartNumber</NAME><VALUE>ASM-5000</VALUE></UNITDATA>"));
    EXPECT_TRUE(has(a[7], "strUnitInfo", "<NAME>Customer</NAME><VALUE>Kessler &amp; Sons</VALUE>"));
    EXPECT_EQ(a[8]["result"], "");  // no message procedure on generation 10
    EXPECT_EQ(a[10]["result"], "OK");
    EXPECT_EQ(a[11]["result"], "sim:plant.db");
    EXPECT_EQ(a[12]["result"], "FCT-01");
    EXPECT_EQ(a[13]["result"], true);
    EXPECT_EQ(a[15]["result"], 9002);
    EXPECT_TRUE(has(a[16], "xmlProductStructure", "<ProductStructure><PRODUCT Product-Family=\"CTRL\""));

    // What the station stored is in the results, with the test ID it was given.
    json last = p.results().back();
    EXPECT_EQ(last["serial"], "SN24001-0004");
    EXPECT_EQ(last["station"], "FCT-01");
    EXPECT_GT(last["test_id"].get<long>(), 70000);
}

TEST(SimSession, EveryMethodOnGenerationTwentyFour) {
    if (!std::filesystem::exists(test::buildDir() + "/dezozevo")) GTEST_SKIP() << "dezozevo not built";
    test::Plant p(24);
    std::vector<json> a = session(p, allMethods(p.home.path()));
    ASSERT_EQ(a.size(), 18u);
    for (size_t i : {0, 1, 2, 3, 9, 17}) EXPECT_EQ(a[i]["result"], 0) << a[i];
    EXPECT_TRUE(has(a[1], "strUnitInfo", "<UnitData><Name>SerialNumber</Name><Value>SN24001-0004</Value></UnitData>"));
    EXPECT_TRUE(has(a[1], "strUnitInfo", "<GROUP name=\"Label\">"));
    EXPECT_EQ(a[2]["args"]["strCalibrationInfo"], "");  // generation 10 only: answered without asking
    EXPECT_TRUE(has(a[4], "strWorkOrderInfo", "<WONUM>WO-24001</WONUM>"));
    EXPECT_TRUE(has(a[6], "strModelInfo", "<NAME>Customer</NAME><VALUE>Kessler &amp; Sons</VALUE>"));
    EXPECT_EQ(a[8]["result"], "Unit is on hold");
    json last = p.results().back();
    EXPECT_EQ(last["procedure"], "objTSKSaveTestResult");
    EXPECT_EQ(last["serial"], "SN24001-0004");
    // The operator's ID reaches the unit query; the calibration services sent nothing.
    std::vector<json> calls = p.calls();
    auto unitInfo = std::find_if(calls.begin(), calls.end(), [](auto& c) { return c["text"] == "objTSKGetUnitInfo"; });
    ASSERT_NE(unitInfo, calls.end());
    EXPECT_EQ((*unitInfo)["params"][3]["value"], "op1");
    for (const auto& c : calls) EXPECT_EQ(c["text"].get<std::string>().find("Calibration"), std::string::npos) << c;
}
