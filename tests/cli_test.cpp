// The dezozevo command, run as a program: one call, a session, and wrong input.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/station.h"

using dz::test::TempDir;
using json = nlohmann::json;

namespace {

std::string program() {
    if (const char* b = std::getenv("DZ_BUILD_DIR"); b && *b) return std::string(b) + "/dezozevo";
    // Run by hand: the test program lives in <build>/tests.
    return (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "dezozevo").string();
}

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Outcome {
    int status = -1;
    std::string out, err;
    std::vector<std::string> lines() const {
        std::vector<std::string> v;
        std::istringstream in(out);
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    }
};

std::string today() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char day[16];
    std::strftime(day, sizeof day, "%Y%m%d", &tm);
    return std::string("DEZozevo") + day + ".log";
}

struct Cli : ::testing::Test {
    TempDir home, other, io;

    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(program())) << program();
        // A database that no driver serves: start-up fails at once, the
        // methods give their fixed answers, nothing leaves the machine.
        const std::string ini = "[DATABASE]\nSERVER=script:none\n[STATION]\nSTATION=ST7\n[LOG]\nLEVEL=1\n";
        home.write("DEZozevo.ini", ini);
        other.write("DEZozevo.ini", ini);
    }

    // Runs the program with DEZOZEVO_HOME set to `envHome` (unset when empty).
    Outcome run(const std::vector<std::string>& args, const std::string& input = "", const std::string& envHome = "") {
        io.write("in", input);
        std::string cmd = envHome.empty() ? "env -u DEZOZEVO_HOME " : "env DEZOZEVO_HOME=" + quoted(envHome) + " ";
        cmd += quoted(program());
        for (const auto& a : args) cmd += " " + quoted(a);
        cmd += " <" + quoted(io.file("in")) + " >" + quoted(io.file("out")) + " 2>" + quoted(io.file("err"));
        Outcome r;
        const int rc = std::system(cmd.c_str());
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = io.read("out");
        r.err = io.read("err");
        return r;
    }
};

TEST_F(Cli, CallPrintsTheResultAndTheArguments) {
    Outcome r = run({"call", "CalcErrCode", "strMsg=General network error"}, "", home.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"method\":\"CalcErrCode\",\"result\":9002,\"args\":{\"strMsg\":\"General network error\"}}\n");

    r = run({"call", "getstation"}, "", home.path());
    EXPECT_EQ(r.out, "{\"method\":\"getStation\",\"result\":\"ST7\",\"args\":{}}\n");

    // An omitted optional argument is omitted; the by-reference one comes back.
    r = run({"call", "GetUnitInfo", "strRequest=<Unit/>", "strUnitInfo=kept"}, "", home.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"method\":\"GetUnitInfo\",\"result\":100,\"args\":{\"strRequest\":\"<Unit/>\","
                     "\"strUnitInfo\":\"kept\"}}\n");

    r = run({"call", "FileExists", "Fname=" + home.file("DEZozevo.ini")}, "", home.path());
    EXPECT_EQ(json::parse(r.out)["result"], true);
}

TEST_F(Cli, HomeChoosesTheLogFolder) {
    Outcome r = run({"--home", home.path(), "call", "putLog", "strMsg=hello", "nLevel=1"}, "", other.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"method\":\"putLog\",\"result\":null,\"args\":{\"strMsg\":\"hello\",\"nLevel\":1}}\n");
    const std::string log = home.read(today());
    const std::string tail = "  hello\r\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    const size_t lineStart = log.rfind("\r\n", log.size() - tail.size());
    const std::string stamp = log.substr(lineStart == std::string::npos ? 0 : lineStart + 2,
                                         log.size() - tail.size() - (lineStart == std::string::npos ? 0 : lineStart + 2));
    EXPECT_FALSE(stamp.empty());
    EXPECT_TRUE(std::isdigit((unsigned char)stamp[0])) << stamp;
    EXPECT_EQ(stamp.find("  "), std::string::npos) << stamp;
    EXPECT_FALSE(other.exists(today()));
}

TEST_F(Cli, ASessionGoesOnAfterABadLine) {
    const std::string input =
        "{\"method\": \"calcerrcode\", \"args\": {\"STRMSG\": \"Timeout expired\"}}\n"
        "this is not json\n"
        "\n"
        "{\"method\": \"NoSuchMethod\"}\n"
        "{\"method\": \"putLog\", \"args\": {\"strMsg\": \"in session\", \"nLevel\": 1, \"nColour\": 2}}\n"
        "{\"method\": \"putLog\", \"args\": [\"in session\", 1]}\r\n"
        "{\"method\": \"SaveResult\", \"args\": {\"strXMLResultText\": null}}\n"
        "[1, 2]\n"
        "{\"method\": \"GetLastError\"}\n";
    Outcome r = run({"--home=" + home.path(), "session"}, input);
    EXPECT_EQ(r.status, 2);  // some lines were wrong input
    auto lines = r.lines();
    ASSERT_EQ(lines.size(), 8u) << r.out;
    std::vector<json> a;
    for (const auto& l : lines) a.push_back(json::parse(l));

    EXPECT_EQ(a[0]["method"], "CalcErrCode");
    EXPECT_EQ(a[0]["result"], 9003);
    EXPECT_EQ(a[0]["args"]["strMsg"], "Timeout expired");
    EXPECT_TRUE(a[1]["method"].is_null());
    EXPECT_NE(a[1]["error"]["description"].get<std::string>().find("JSON"), std::string::npos);
    EXPECT_EQ(a[2]["method"], "NoSuchMethod");
    EXPECT_NE(a[2]["error"]["description"].get<std::string>().find("Unknown method"), std::string::npos);
    EXPECT_EQ(a[3]["method"], "putLog");
    EXPECT_NE(a[3]["error"]["description"].get<std::string>().find("nColour"), std::string::npos);
    EXPECT_TRUE(a[4]["result"].is_null());
    EXPECT_EQ(a[4]["args"]["nLevel"], 1);
    EXPECT_EQ(a[5]["result"], 100);
    EXPECT_TRUE(a[5]["args"]["strXMLResultText"].is_null());
    EXPECT_TRUE(a[6].contains("error"));
    EXPECT_EQ(a[7]["result"], "OK");

    // Only the good putLog wrote its line; the one with a bad argument did not run.
    const std::string log = home.read(today());
    size_t count = 0;
    for (size_t p = log.find("  in session\r\n"); p != std::string::npos; p = log.find("  in session\r\n", p + 1))
        ++count;
    EXPECT_EQ(count, 1u);
}

TEST_F(Cli, SessionStatusReportsFailures) {
    Outcome r = run({"session"}, "{\"method\": \"GetLastError\"}\n", home.path());
    EXPECT_EQ(r.status, 0);
    r = run({"session"}, "{\"method\": \"FileExists\", \"args\": {\"Fname\": \"/no-such-folder-dz/*/x\"}}\n",
            home.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(json::parse(r.out)["error"]["description"].get<std::string>().find("/no-such-folder-dz/*/x"),
              std::string::npos);
}

TEST_F(Cli, WrongInputGetsAClearMessageAndStatus) {
    Outcome r = run({"call", "NoSuchMethod"}, "", home.path());
    EXPECT_EQ(r.status, 2);
    auto j = json::parse(r.out);
    EXPECT_EQ(j["method"], "NoSuchMethod");
    EXPECT_NE(j["error"]["description"].get<std::string>().find("Unknown method"), std::string::npos);
    EXPECT_FALSE(home.exists(today()));  // no Tester was created

    r = run({"call", "putLog", "strMsg=x", "nLevl=1"}, "", home.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(json::parse(r.out)["error"]["description"].get<std::string>().find("nLevl"), std::string::npos);

    r = run({"call", "putLog", "strMsg=x"}, "", home.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("nLevel"), std::string::npos);

    r = run({"call", "putLog", "strMsg=x", "nLevel=high"}, "", home.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("Type mismatch"), std::string::npos);
    EXPECT_EQ(home.read(today()).find("  x\r\n"), std::string::npos);

    r = run({"call", "CalcErrCode", "strMsg"}, "", home.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("ARG=VALUE"), std::string::npos);

    r = run({"call", "CalcErrCode", "strMsg=a", "STRMSG=b"}, "", home.path());
    EXPECT_EQ(r.status, 2);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"call"}, {"--colour", "call", "GetLastError"}, {"fly"}, {"--home"},
             {"--home", home.file("missing"), "call", "GetLastError"}, {"session", "extra"}}) {
        r = run(args, "", home.path());
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
        EXPECT_NE(r.err.find("dezozevo: "), std::string::npos) << ::testing::PrintToString(args);
    }
}

TEST_F(Cli, AFailingCallExitsWithItsDescription) {
    Outcome r = run({"call", "FileExists", "Fname=/no-such-folder-dz/*/x"}, "", home.path());
    EXPECT_EQ(r.status, 1);
    auto j = json::parse(r.out);
    EXPECT_EQ(j["method"], "FileExists");
    EXPECT_FALSE(j.contains("result"));
    EXPECT_NE(j["error"]["description"].get<std::string>().find("/no-such-folder-dz/*/x"), std::string::npos);
}

TEST_F(Cli, HelpForEachCommand) {
    Outcome r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("dezozevo [--home DIR] session"), std::string::npos);
    r = run({"call", "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* m : {"CheckRoute(", "GetGenericFunction(", "putLog(&strMsg, &nLevel: uint8)"})
        EXPECT_NE(r.out.find(m), std::string::npos) << m;
    r = run({"call", "getunitinfo", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("GetUnitInfo(strRequest, &strUnitInfo, [strStationName], [strUserID]) -> int32"),
              std::string::npos);
    EXPECT_EQ(r.out.find("CheckRoute("), std::string::npos);
    r = run({"session", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("one JSON request per line"), std::string::npos);
}

}  // namespace
