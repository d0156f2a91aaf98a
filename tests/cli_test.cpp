// The dezozevo command, run as a program: one call, a session, and wrong input.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <tuple>

#include "support/plant.h"
#include "support/station.h"

using dz::test::TempDir;
using json = nlohmann::json;

namespace {

std::string program() { return dz::test::buildDir() + "/dezozevo"; }

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string today() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char day[16];
    std::strftime(day, sizeof day, "%Y%m%d", &tm);
    return std::string("DEZozevo") + day + ".log";
}

struct Outcome {
    int status = -1;
    std::string out, err;
    std::string description() const { return json::parse(out)["error"]["description"].get<std::string>(); }
};

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
        const int rc = std::system(cmd.c_str());
        return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, io.read("out"), io.read("err")};
    }
    Outcome call(const std::vector<std::string>& args) {
        std::vector<std::string> all{"call"};
        all.insert(all.end(), args.begin(), args.end());
        return run(all, "", home.path());
    }
};

TEST_F(Cli, CallPrintsTheResultAndTheArguments) {
    Outcome r = call({"CalcErrCode", "strMsg=General network error"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"method\":\"CalcErrCode\",\"result\":9002,\"args\":{\"strMsg\":\"General network error\"}}\n");
    // Only by-reference arguments come back; a non-zero status brings its failure.
    const json a = json::parse(call({"GetUnitInfo", "strRequest=<Unit/>", "strUnitInfo=kept"}).out);
    EXPECT_EQ(a["args"], json::parse(R"({"strUnitInfo":"kept"})"));
    EXPECT_EQ(a["failure"]["status"], 100);
}

TEST_F(Cli, ValuesFromFilesAndStandardInput) {
    const std::string big(200 * 1024, 'x');  // more than one command-line word may hold
    io.write("big", big);
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"@" + io.file("big"), "", big}, {"@-", "from\nstdin", "from\nstdin"}, {"@@x", "", "@x"}, {"a@b", "", "a@b"}};
    for (const auto& [value, input, expected] : cases) {
        Outcome r = run({"call", "CalcErrCode", "strMsg=" + value}, input, home.path());
        EXPECT_EQ(r.status, 0) << value << r.err;
        EXPECT_EQ(json::parse(r.out)["args"]["strMsg"], expected) << value;
    }
    for (const std::string& value : std::vector<std::string>{"@", "@" + io.file("missing"), "@" + io.path()}) {
        Outcome r = run({"call", "CalcErrCode", "strMsg=" + value}, "", home.path());
        EXPECT_EQ(r.status, 2) << value;
        EXPECT_NE(r.err.find("strMsg"), std::string::npos) << r.err;
    }
}

// A result from a file is stored with its test ID; "resend" answers like a call.
TEST_F(Cli, ResultsStoredFromAFileAndResent) {
    dz::test::Plant p(10);
    p.home.write("run.xml", dz::test::siteFile("SampleResult.xml"));
    Outcome r = run({"call", "SaveResult", "strXMLResultText=@" + p.home.file("run.xml")}, "", p.home.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(json::parse(r.out)["result"], 0) << p.log();
    EXPECT_EQ(json::parse(r.out)["testId"], p.results().back()["test_id"]);

    r = run({"resend"}, "", p.home.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(json::parse(r.out), (json{{"method", "resend"}, {"result", 0}, {"args", json::object()}}));

    r = run({"resend"}, "", home.path());  // no database reached: the class of that failure
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(json::parse(r.out)["result"], 9001);
}

// Neither --home nor DEZOZEVO_HOME, and no INI beside the library: said on standard error.
TEST_F(Cli, AMissingIniFile) {
    Outcome r = run({"call", "GetLastError"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("no DEZozevo.ini"), std::string::npos) << r.err;
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
        "{\"state\": true}\n";
    Outcome r = run({"--home=" + home.path(), "session"}, input);
    EXPECT_EQ(r.status, 2);  // some lines were wrong input
    std::vector<json> a;
    std::istringstream lines(r.out);
    for (std::string l; std::getline(lines, l);) a.push_back(json::parse(l));
    ASSERT_EQ(a.size(), 7u) << r.out;

    EXPECT_EQ(a[0], json::parse(R"({"method":"CalcErrCode","result":9003,"args":{"strMsg":"Timeout expired"}})"));
    const std::vector<std::pair<size_t, std::string>> errors = {{1, "JSON"}, {2, "Unknown method"}, {3, "nColour"}};
    for (const auto& [i, text] : errors)
        EXPECT_NE(a[i]["error"]["description"].get<std::string>().find(text), std::string::npos) << a[i];
    EXPECT_EQ(a[4], json::parse(R"({"method":"putLog","result":null,"args":{"strMsg":"in session","nLevel":1}})"));
    EXPECT_EQ(a[5]["args"], json::object());
    EXPECT_EQ(a[5]["failure"]["status"], 100);
    EXPECT_EQ(a[6]["state"]["lastFailure"], a[5]["failure"]);
}

TEST_F(Cli, WrongInputGetsAClearMessageAndStatus) {
    // A bad call: an error object on standard output, status 2.
    Outcome bad = call({"putLog", "strMsg=x", "nLevel=high"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.description().find("Type mismatch"), std::string::npos) << bad.out;

    // A malformed command line: a message on standard error, status 2.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"call"}, {"call", "CalcErrCode", "strMsg"}, {"call", "CalcErrCode", "strMsg=a", "STRMSG=b"},
             {"--colour", "call", "GetLastError"}, {"fly"}, {"--home"},
             {"--home", home.file("missing"), "call", "GetLastError"}, {"session", "extra"}}) {
        Outcome r = run(args, "", home.path());
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
        EXPECT_NE(r.err.find("dezozevo: "), std::string::npos) << ::testing::PrintToString(args);
    }
}

TEST_F(Cli, ExitStatusFollowsTheAnswer) {
    dz::test::Plant p(10);
    const std::string none = home.path(), plant = p.home.path();
    struct Case {
        std::vector<std::string> args;
        std::string home;
        int status;
    };
    const std::vector<Case> cases = {
        {{"call", "CheckRoute", "strUnitSN=SN24001-0003", "strStation=FCT-01"}, plant, 0},
        {{"call", "CheckRoute", "strUnitSN=SN24001-0006", "strStation=FCT-01"}, plant, 3},  // refused
        {{"call", "CalcErrCode", "strMsg=General network error"}, none, 0},  // a classification, not a status
        {{"call", "NoSuchMethod"}, none, 2},
        {{"session"}, none, 3},
    };
    const std::string input = "{\"method\": \"getStation\"}\n{\"method\": \"CheckRoute\", \"args\": [\"SN\", \"ST\"]}\n";
    for (const auto& c : cases) {
        Outcome r = run(c.args, input, c.home);
        EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args) << r.out << r.err;
    }
    // A failed call: status 1, no result, the failure's description.
    Outcome r = call({"FileExists", "Fname=/no-such-folder-dz/*/x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(json::parse(r.out).contains("result"));
    EXPECT_NE(r.description().find("/no-such-folder-dz/*/x"), std::string::npos);
    // A session exits with its worst answer: wrong input, then a failed call, then a refusal.
    const std::string refused = "{\"method\": \"CheckRoute\", \"args\": [\"SN\", \"ST\"]}\n";
    const std::string failed = "{\"method\": \"FileExists\", \"args\": [\"/no-such-folder-dz/*/x\"]}\n";
    EXPECT_EQ(run({"session"}, failed + refused, none).status, 1);
    EXPECT_EQ(run({"session"}, refused + "{}\n" + failed, none).status, 2);
}

TEST_F(Cli, OptionsBeforeOrAfterTheCommand) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"state", "--home", home.path()},
             {"call", "putLog", "strMsg=hello", "nLevel=1", "--home=" + home.path()},
             {"--home", other.path(), "state", "--home", home.path()}}) {  // the last one counts
        Outcome r = run(args, "", other.path());
        EXPECT_EQ(r.status, 0) << ::testing::PrintToString(args) << r.err;
        if (args[0] == "state") {
            EXPECT_EQ(json::parse(r.out)["folder"], home.path());
        }
    }
    EXPECT_NE(home.read(today()).find("  hello\r\n"), std::string::npos);
    EXPECT_FALSE(other.exists(today()));  // DEZOZEVO_HOME names it, --home wins
    // After "--" a word is the command's: here a value, not an option.
    Outcome r = run({"call", "CalcErrCode", "--", "strMsg=--home"}, "", home.path());
    EXPECT_EQ(json::parse(r.out)["args"]["strMsg"], "--home") << r.err;
}

TEST_F(Cli, CheckSaysWhatHolds) {
    // Without a database: the INI file holds, the database, generation and station do not;
    // the queue's folder does not exist yet but can be created.
    home.write("DEZozevo.ini", home.read("DEZozevo.ini") + "[ERROR]\nResendFolder=queue\n");
    Outcome r = run({"check"}, "", home.path());
    EXPECT_EQ(r.status, 1) << r.err;
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);) lines.push_back(l.substr(0, 17));
    const std::vector<std::string> expected = {"ok   ini         ", "FAIL database    ", "FAIL generation  ",
                                               "FAIL station     ", "ok   queue       ", "ok   kept        "};
    EXPECT_EQ(lines, expected) << r.out;

    dz::test::Plant p(24);
    r = run({"check", "--json"}, "", p.home.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["checks"].at(2), json::parse(R"({"check": "generation", "ok": true, "detail": "schema 24"})"));

    // A result kept for resend: the station's check fails until it is sent.
    p.setIni("ResendOnNetErr=no", "ResendOnNetErr=yes");
    p.setIni("SERVER=sim:plant.db", "SERVER=sim:gone/plant.db");
    run({"call", "SaveResult", "strXMLResultText=" + dz::test::siteFile("SampleResult.xml")}, "", p.home.path());
    r = run({"check", "--json"}, "", p.home.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(json::parse(r.out)["checks"][5]["ok"], false) << r.out;
}


}  // namespace
