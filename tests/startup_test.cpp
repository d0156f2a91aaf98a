// Start-up: INI settings, generation probe, slave resolution, XML objects.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "component/Scramble.h"
#include "component/Tester.h"
#include "component/Context.h"
#include "support/errors.h"
#include "support/station.h"

using dz::Tester;
using dz::db::ScriptedDriver;
using dz::db::Value;
using dz::test::Station;
using Answer = ScriptedDriver::Answer;
using Lines = std::vector<std::string>;

namespace {

dz::Context& mv() { return dz::threadContext(); }

// Each test starts from a fresh thread's settings.
struct Startup : ::testing::Test {
    void SetUp() override { mv() = dz::Context{}; }
};

// LEVEL and TimeOut convert as on Windows; what does not convert keeps the earlier value.
TEST_F(Startup, IniNumbers) {
    Station st("[ERROR]\nResendOnNetErr=yes\n", 2);
    st.serveGeneration(10);
    { Tester t; }
    EXPECT_EQ(mv().settings.resendOnNetErr, "YES");
    const std::optional<int> kept;
    const struct {
        const char* text;
        std::optional<int> level, timeout;  // nothing: the earlier value stays
    } cases[] = {{"2.0", 2, 2},      {"+2", 2, 2},       {" 1.5 ", 2, 2},  {"2.5", 2, 2},      {"\"3\"", 3, 3},
                 {"0.4", 0, 0},      {"255", 255, 255},  {"300", kept, 300}, {"255.5", kept, 256},
                 {"-1", kept, -1},   {"abc", kept, kept}, {"False", kept, kept}, {"2x", kept, kept}, {"", kept, kept},
                 {"99999999999", kept, kept}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        st.home.write("DEZozevo.ini", "[DATABASE]\nSERVER=" + st.server + "\nTimeOut=" + c.text +
                                          "\n[LOG]\nLEVEL=" + c.text + "\n");
        mv().settings.logLevel = 7;
        mv().settings.commandTimeout = 17;
        { Tester t; }
        EXPECT_EQ(mv().settings.logLevel, c.level.value_or(7));
        EXPECT_EQ(mv().settings.commandTimeout, c.timeout.value_or(17));
    }
}

TEST_F(Startup, GenerationSplit) {
    const std::pair<int, std::pair<int, int>> cases[] = {{10, {10, 0}}, {20, {20, 0}}, {22, {20, 2}},
                                                         {23, {20, 3}}, {24, {20, 4}}};
    for (auto [n, expect] : cases) {
        Station st;
        st.serveGeneration(n);
        st.db->on("objUTLGetSlaveConnection", Answer::rowsOf({"InstanceName", "DatabaseName"}, {{"M", "D"}}));
        Tester t;
        EXPECT_EQ(mv().profile.generation, expect.first) << n;
        EXPECT_EQ(mv().profile.revision, expect.second) << n;
        auto calls = st.db->calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].type, dz::db::adCmdText);
        EXPECT_EQ(calls[0].text, dz::test::kGenerationProbe);
        EXPECT_EQ(calls[0].timeout, 30);
        EXPECT_TRUE(st.logged("CLASS INIT OK")) << n;
        if (n >= 20 && n < 24) {  // no slave below revision 4: the master, without asking
            EXPECT_EQ(mv().connections.working, mv().connections.master);
            EXPECT_EQ(calls.size(), 1u);
        }
    }
}

TEST_F(Startup, NoDatabaseAnswerFailsWithCode100) {
    Station st;
    st.db->failAll("[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.");
    {
        Tester t;
        EXPECT_EQ(mv().profile.generation, 0);
        EXPECT_EQ(st.messages(), (Lines{"Runtime error in GetTWVer [DBNETLIB][ConnectionOpen (Connect()).]SQL Server "
                                        "does not exist or access denied.",
                                        "CLASS INIT FAILED. GetSlaveConn RetCode=100"}));
        EXPECT_EQ(mv().connections.working, "");
        EXPECT_FALSE(mv().documents.result);
    }
    // Without an INI file: defaults, no server to ask, and the log says which file was missing.
    mv() = dz::Context{};
    st.clearLog();
    std::remove(st.home.file("DEZozevo.ini").c_str());
    Tester t;
    EXPECT_EQ(mv().settings.server, "MISSING");
    EXPECT_EQ(mv().settings.logLevel, 1);
    const Lines lines = st.messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Cannot read the INI file " + st.home.file("DEZozevo.ini") +
                                 ": No such file or directory; defaults used");
    EXPECT_EQ(lines.back(), "CLASS INIT FAILED. GetSlaveConn RetCode=100");
}

// The working connection start-up resolves: the master when there is no
// slave, else the slave the database names (its password unscrambled per
// Windows-1252 code, brackets dropped). The station travels as one string
// literal (generation 10) or escaped into a document (24).
TEST_F(Startup, SlaveResolution) {
    auto connection = [](const std::string& pw, const std::string& user, const std::string& db,
                         const std::string& source) {
        return "Provider=SQLOLEDB;Password=" + pw + ";User ID=" + user + ";Initial Catalog=" + db +
               ";Data Source=" + source + ";Network Library=DBMSSOCN;";
    };
    const struct {
        int generation;
        std::string station;
        std::optional<Answer> slave;
        std::string working;  // "" the master
        std::string logged;   // the slave's line at level 2
        Lines sent;           // the slave call's text and parameters
    } cases[] = {
        {10, "O'Neil' --", std::nullopt, "", "",
         {"if exists (select 1 from sysobjects where name='uspGetSlaveInfo') exec uspGetSlaveInfo 'O''Neil'' --' "
          "else select 0 Error, 0 MasterSlaveSolution"}},
        {10, "ST1",
         Answer::rowsOf({"Error", "MasterSlaveSolution", "ServerName", "DatabaseName", "UserName", "UserPassword"},
                        {{0, 1, "[SRV01]", "SlaveDb", "su", "wp<\x7F\xC3\xA3"}}),  // "pw;x\xC3\xA4" scrambled
         connection("pw;x\xC3\xA4", "su", "SlaveDb", "SRV01"), "Slave Server=[SRV01]", {}},
        {24, "A\"<B", Answer::rowsOf({"InstanceName", "DatabaseName"}, {{"[HOST\\INST]", "SlaveDb"}}),
         connection("mp", "mu", "SlaveDb", "HOST\\INST"), "Slave Server=[HOST\\INST]",
         {"objUTLGetSlaveConnection StoredProc 60", "return Integer Return 0 Null",
          "@xmlStation VarChar In 41 '<StationInfo Description=\"A&quot;&lt;B\"/>'"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.station);
        mv() = dz::Context{};
        Station st("", 2);
        st.home.write("DEZozevo.ini", "[DATABASE]\nUSER=mu\nPWD=mp\nSERVER=" + st.server +
                                          "\nDATABASE=db\n[STATION]\nSTATION=" + c.station + "\n[LOG]\nLEVEL=2\n");
        st.serveGeneration(c.generation, c.generation != 10 || !c.slave);
        if (c.slave) st.db->on(c.generation == 10 ? "uspGetSlaveInfo" : "objUTLGetSlaveConnection", *c.slave);
        Tester t;
        EXPECT_EQ(mv().connections.working, c.working.empty() ? mv().connections.master : c.working);
        EXPECT_TRUE(st.logged("CLASS INIT OK"));
        if (!c.logged.empty()) {
            EXPECT_TRUE(st.logged(c.logged));
        }
        const auto calls = st.db->calls();
        ASSERT_EQ(calls.size(), 2u);
        if (c.generation == 10 && !c.sent.empty()) {
            EXPECT_EQ(calls[1].text, c.sent[0]);
        }
        if (c.generation == 24) {
            Lines sent{dz::test::command(calls[1])};
            for (const auto& l : dz::test::params(calls[1])) sent.push_back(l);
            EXPECT_EQ(sent, c.sent);
        }
    }
}

// Slave batches that fail start-up, on generation 10 and 24.
TEST_F(Startup, SlaveFailures) {
    Answer bad24 = Answer::rowsOf({"InstanceName", "DatabaseName"}, {{"S", "D"}});
    bad24.returnValue = 3;
    struct Case {
        int generation;
        Answer answer;
        int code;
        Lines lines;
    };
    std::vector<Case> cases = {
        {10, Answer::rowsOf({"Error", "MasterSlaveSolution"}, {{7, 0}}), 20,
         {"errCode=7, Descr=Error code from uspGetSlaveInfo SP"}},
        {10, Answer::rowsOf({"Error", "MasterSlaveSolution"}, {}), 30, {"No data returned from uspGetSlaveInfo"}},
        {10, Answer::rowsOf({"Error", "MasterSlaveSolution"}, {{Value(), 0}}), 10,
         {"Invalid use of Null", "Failed to retrieve slave info from uspGetSlaveInfo"}},
        {10, Answer::rowsOf({"Error", "MasterSlaveSolution", "ServerName"}, {{0, 1, "S"}}), 10,
         {"Item cannot be found in the collection corresponding to the requested name or ordinal.",
          "Failed to retrieve slave info from uspGetSlaveInfo"}},
        {10, Answer::failure("boom"), 10, {"boom", "Failed to retrieve slave info from uspGetSlaveInfo"}},
        {24, bad24, 10, {}},
        {24, Answer::rowsOf({"InstanceName", "DatabaseName"}, {}), 30,
         {"No data returned from objUTLGetSlaveConnection"}},
    };
    for (auto& c : cases) {
        mv() = dz::Context{};
        Station st;
        st.serveGeneration(c.generation, false);
        st.db->on(c.generation == 10 ? "uspGetSlaveInfo" : "objUTLGetSlaveConnection", c.answer);
        Tester t;
        c.lines.push_back("CLASS INIT FAILED. GetSlaveConn RetCode=" + std::to_string(c.code));
        EXPECT_EQ(st.messages(), c.lines);
        EXPECT_EQ(mv().connections.working, "");
    }
}

// Which XML objects start-up makes: the built-in unit-info style sheet unless the
// folder has one, and a result schema cache unless schemaFileName is "none".
// (What the style sheets produce: unitinfo_test.)
TEST_F(Startup, XmlObjectsFollowTheFolderAndTheIni) {
    {
        Station st;
        st.serveGeneration(10);
        Tester t;
        EXPECT_TRUE(mv().documents.unitInfoStyleSheet);
        EXPECT_FALSE(mv().documents.unitInfoXslFound);
        EXPECT_TRUE(mv().documents.validatedRequest);
        // No schema file named "SaveResult.xsd": the cache exists but holds nothing.
        ASSERT_TRUE(mv().documents.resultSchemas);
        EXPECT_EQ(mv().documents.resultSchemas->length(), 0u);
    }
    Station st("[XML]\nschemaFileName=none\n");
    st.serveGeneration(10);
    st.home.write("GetUnitInfo.xsl",
                  "<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform' version='1.0'/>");
    Tester t;
    EXPECT_TRUE(mv().documents.unitInfoXslFound);
    EXPECT_FALSE(mv().documents.resultSchemas);
    ASSERT_TRUE(mv().documents.result);
    EXPECT_FALSE(mv().documents.result->schemas());
}

TEST_F(Startup, SharedDocumentsLiveUntilTheLastTesterGoes) {
    Station st;
    st.serveGeneration(10);
    auto first = std::make_unique<Tester>();
    {
        Tester second;
        EXPECT_EQ(mv().liveTesters, 2);
    }
    EXPECT_TRUE(mv().documents.result);
    EXPECT_TRUE(mv().documents.unitRequest);
    first.reset();
    EXPECT_FALSE(mv().documents.result);
    EXPECT_FALSE(mv().documents.unitRequest);
    EXPECT_FALSE(mv().documents.resultStyleSheet);
    EXPECT_TRUE(mv().documents.headerStyleSheet);  // stays until the next start-up
}

TEST_F(Startup, ThreadsHaveTheirOwnSettings) {
    Station st;
    st.serveGeneration(10);
    Tester t;
    int16_t otherGeneration = -1;
    std::thread([&] { otherGeneration = dz::threadContext().profile.generation; }).join();
    EXPECT_EQ(otherGeneration, 0);
    EXPECT_EQ(mv().profile.generation, 10);
}

TEST(Scramble, PerWindows1252Character) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"a;1", "f<6"},
        {"\xC3\xA4", "\xC3\xA3"},              // \xE4 ^ 7 = \xE3
        {"\xE2\x82\xAC", "\xE2\x80\xA1"},      // the euro sign (\x80) becomes \x87
        {"\xC2\x81", "\xE2\x80\xA0"},          // an unassigned code keeps its control character
        {"\xF0\x9F\x98\x80", "8"},             // no Windows-1252 code: "?"
    };
    for (const auto& [plain, scrambled] : cases) {
        SCOPED_TRACE(plain);
        EXPECT_EQ(dz::UnscramblePassword(plain), scrambled);
        if (scrambled != "8") {
            EXPECT_EQ(dz::UnscramblePassword(scrambled), plain);
        }
    }
}

}  // namespace
