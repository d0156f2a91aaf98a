// Start-up: INI settings, generation probe, slave resolution, XML objects.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "component/Scramble.h"
#include "component/Tester.h"
#include "component/Context.h"
#include "support/station.h"

using dz::Tester;
using dz::db::Value;
using dz::test::Station;
using Answer = dz::db::ScriptedDriver::Answer;
using Lines = std::vector<std::string>;

namespace {

dz::Context& mv() { return dz::threadContext(); }

// Each test starts from a fresh thread's settings.
struct Startup : ::testing::Test {
    void SetUp() override { mv() = dz::Context{}; }
};

// LEVEL and TimeOut convert as on Windows; what does not convert keeps the earlier value.
TEST_F(Startup, IniNumbers) {
    Station st("", 2);
    st.serveGeneration(10);
    const std::optional<int> kept;
    const struct {
        const char* text;
        std::optional<int> level, timeout;  // nothing: the earlier value stays
    } cases[] = {{"2.0", 2, 2},      {"+2", 2, 2},       {" 1.5 ", 2, 2},  {"2.5", 2, 2},      {"\"3\"", 3, 3},
                 {"0.4", 0, 0},      {"255", 255, 255},  {"300", kept, 300}, {"255.5", kept, 256},
                 {"-1", kept, -1},   {"False", kept, kept}, {"2x", kept, kept}, {"", kept, kept},
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

// Without an INI file there is no server to ask.
TEST_F(Startup, MissingIniFileFailsWithCode100) {
    Station st;
    std::remove(st.home.file("DEZozevo.ini").c_str());
    EXPECT_EQ(Tester().state().startupStatus, 100);
}

// The working connection start-up resolves: the master when there is no slave,
// else the slave the database names (its password unscrambled per Windows-1252
// code, brackets dropped), none when the slave batch fails. The station travels
// as one string literal (generation 10) or escaped into a document (24).
TEST_F(Startup, SlaveResolution) {
    auto connection = [](const std::string& pw, const std::string& user, const std::string& db,
                         const std::string& source) {
        return "Provider=SQLOLEDB;Password=" + pw + ";User ID=" + user + ";Initial Catalog=" + db +
               ";Data Source=" + source + ";Network Library=DBMSSOCN;";
    };
    const auto failed = [](int code) { return "CLASS INIT FAILED. GetSlaveConn RetCode=" + std::to_string(code); };
    const std::string ok = "CLASS INIT OK", noInfo = "Failed to retrieve slave info from uspGetSlaveInfo";
    const Lines slave10 = {"Error", "MasterSlaveSolution", "ServerName", "DatabaseName", "UserName", "UserPassword"},
                slave24 = {"InstanceName", "DatabaseName"};
    Answer bad24 = Answer::rowsOf(slave24, {{"S", "D"}});
    bad24.returnValue = 3;
    const struct {
        int generation;
        std::string station;
        std::optional<Answer> slave;
        std::string working;  // "" the master, "-" none
        Lines lines;          // the messages at level 2
        Lines sent;           // the slave call's text and parameters
    } cases[] = {
        {10, "O'Neil' --", std::nullopt, "", {ok},
         {"if exists (select 1 from sysobjects where name='uspGetSlaveInfo') exec uspGetSlaveInfo 'O''Neil'' --' "
          "else select 0 Error, 0 MasterSlaveSolution Text 60"}},
        {10, "ST1", Answer::rowsOf(slave10, {{0, 1, "[SRV01]", "SlaveDb", "su", "wp<\x7F\xC3\xA3"}}),  // scrambled
         connection("pw;x\xC3\xA4", "su", "SlaveDb", "SRV01"), {"Slave Server=[SRV01]", ok}, {}},
        {24, "A\"<B", Answer::rowsOf(slave24, {{"[HOST\\INST]", "SlaveDb"}}),
         connection("mp", "mu", "SlaveDb", "HOST\\INST"), {"Slave Server=[HOST\\INST]", ok},
         {"objUTLGetSlaveConnection StoredProc 60", "return Integer Return 0 Null",
          "@xmlStation VarChar In 41 '<StationInfo Description=\"A&quot;&lt;B\"/>'"}},
        {10, "ST1", Answer::rowsOf({"Error", "MasterSlaveSolution"}, {{7, 0}}), "-",
         {"errCode=7, Descr=Error code from uspGetSlaveInfo SP", failed(20)}, {}},
        {10, "ST1", Answer::rowsOf({"Error", "MasterSlaveSolution"}, {}), "-",
         {"No data returned from uspGetSlaveInfo", failed(30)}, {}},
        {10, "ST1", Answer::rowsOf({"Error", "MasterSlaveSolution"}, {{Value(), 0}}), "-",
         {"Invalid use of Null", noInfo, failed(10)}, {}},
        {10, "ST1", Answer::failure("boom"), "-", {"boom", noInfo, failed(10)}, {}},
        {24, "ST1", bad24, "-", {failed(10)}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        mv() = dz::Context{};
        Station st("", 2);
        st.home.write("DEZozevo.ini", "[DATABASE]\nUSER=mu\nPWD=mp\nSERVER=" + st.server +
                                          "\nDATABASE=db\n[STATION]\nSTATION=" + c.station + "\n[LOG]\nLEVEL=2\n");
        st.serveGeneration(c.generation, !c.slave);
        if (c.slave) st.db->on(c.generation == 10 ? "uspGetSlaveInfo" : "objUTLGetSlaveConnection", *c.slave);
        Tester t;
        EXPECT_EQ(mv().connections.working,
                  c.working.empty() ? mv().connections.master : c.working == "-" ? "" : c.working);
        EXPECT_EQ(st.messages(), c.lines);
        const auto calls = st.db->calls();
        ASSERT_EQ(calls.size(), 2u);
        if (!c.sent.empty()) {
            Lines sent{dz::test::command(calls[1])};
            for (const auto& l : dz::test::params(calls[1])) sent.push_back(l);
            EXPECT_EQ(sent, c.sent);
        }
    }
}

// The documents belong to the thread and go with its last Tester.
TEST_F(Startup, SharedDocumentsLiveUntilTheThreadsLastTesterGoes) {
    Station st;
    st.serveGeneration(10);
    auto first = std::make_unique<Tester>();
    { Tester second; }
    EXPECT_TRUE(mv().documents.result);
    int16_t otherGeneration = -1;
    std::thread([&] { otherGeneration = dz::threadContext().profile.generation; }).join();
    EXPECT_EQ(otherGeneration, 0);
    first.reset();
    EXPECT_FALSE(mv().documents.result);
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
    }
}

}  // namespace
