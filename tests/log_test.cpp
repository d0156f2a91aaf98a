// The daily log, failure classification and FileExists.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
#include "support/station.h"

using dz::Tester;
using dz::test::Station;

namespace {

struct Log : ::testing::Test {
    void SetUp() override { dz::modVariables() = dz::ModVariables{}; }
    // A Tester whose start-up failed quietly (no generation): logs only what the test writes.
    void put(Tester& t, std::string msg, uint8_t level) { t.putLog(msg, level); }
};

TEST_F(Log, LevelRules) {
    Station st("", 1);
    Tester t;
    st.clearLog();
    put(t, "detail", 2);
    EXPECT_EQ(st.log(), "");
    put(t, "failure", 1);
    put(t, "caller", 0);
    EXPECT_EQ(st.messages(), (std::vector<std::string>{"failure", "caller"}));
    std::string line = st.log().substr(0, st.log().find("\r\n") + 2);
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  failure\r\n)"))) << line;
    EXPECT_NE(dz::modVariables().LogFileName.find(st.home.path() + "/DEZozevo2"), std::string::npos);
}

TEST_F(Log, LevelZeroWritesOnlyTheCallersLevelZero) {
    Station st("", 0);
    Tester t;
    EXPECT_EQ(st.log(), "");  // the start-up line is level 1
    put(t, "one", 1);
    put(t, "zero", 0);
    EXPECT_EQ(st.messages(), std::vector<std::string>{"zero"});
}

TEST_F(Log, LevelThreeAddsAByteDump) {
    Station st("", 3);
    Tester t;
    st.clearLog();
    put(t, "OK", 9);  // above the level: no line, but the dump
    EXPECT_EQ(st.log(), "79 O\r\n0 \r\n75 K\r\n0 \r\n");
    st.clearLog();
    put(t, "\xC3\xA4", 1);  // one character, U+00E4
    std::string log = st.log();
    EXPECT_NE(log.find("  \xC3\xA4\r\n228 \xC3\xA4\r\n0 \r\n"), std::string::npos) << log;
}

TEST_F(Log, MessagesKeepTheirLineBreaks) {
    Station st("", 2);
    Tester t;
    st.clearLog();
    put(t, "\r\nXML From Tester\r\n<a/>\r\n", 2);
    EXPECT_NE(st.log().find("  \r\nXML From Tester\r\n<a/>\r\n\r\n"), std::string::npos);
}

TEST_F(Log, ReadOnlyFolderLosesTheMessageQuietly) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    Station st("", 2);
    Tester t;
    st.clearLog();
    chmod(st.home.path().c_str(), 0555);
    put(t, "lost", 1);
    chmod(st.home.path().c_str(), 0755);
    put(t, "kept", 1);
    EXPECT_EQ(st.messages(), std::vector<std::string>{"kept"});
}

TEST_F(Log, UnwritableLogFileLosesTheMessageQuietly) {
    Station st("", 2);
    Tester t;
    st.clearLog();
    put(t, "first", 1);
    std::string file = dz::modVariables().LogFileName;
    std::remove(file.c_str());
    mkdir(file.c_str(), 0755);  // a folder where the file should be
    put(t, "lost", 1);
    rmdir(file.c_str());
    put(t, "kept", 1);
    EXPECT_EQ(st.messages(), std::vector<std::string>{"kept"});
}

TEST(CalcErrCode, ClassifiesByTheFirstPhraseFound) {
    dz::test::Station st;
    Tester t;
    auto code = [&](std::string s) { return t.CalcErrCode(s); };
    EXPECT_EQ(code("[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied."), 9001);
    EXPECT_EQ(code("ACCESS DENIED"), 9001);
    EXPECT_EQ(code("[DBNETLIB][ConnectionWrite (send()).]General network error. Check your network documentation."),
              9002);
    EXPECT_EQ(code("general NETWORK error"), 9002);
    EXPECT_EQ(code("Query timeout expired"), 9003);
    EXPECT_EQ(code("Timeout expired and access denied"), 9001);
    EXPECT_EQ(code("Could not find stored procedure 'x'."), 9999);
    EXPECT_EQ(code(""), 9999);
    std::string msg = "access denied";
    t.CalcErrCode(msg);
    EXPECT_EQ(msg, "access denied");
}

TEST(FileExists, OrdinaryFilesOnly) {
    dz::test::Station st;
    Tester t;
    st.home.write("a.xsl", "x");
    st.home.write(".hidden", "x");
    auto exists = [&](std::string s) { return t.FileExists(s); };
    EXPECT_TRUE(exists(st.home.file("a.xsl")));
    EXPECT_FALSE(exists(""));
    EXPECT_FALSE(exists(st.home.path() + "/"));
    EXPECT_FALSE(exists(st.home.path()));
    EXPECT_FALSE(exists(st.home.file(".hidden")));
    EXPECT_FALSE(exists(st.home.file("none.xsl")));
    EXPECT_FALSE(exists("/no/such/folder/file"));
    EXPECT_TRUE(exists(st.home.file("*.xsl")));
    EXPECT_TRUE(exists(st.home.file("a.?sl")));
    EXPECT_FALSE(exists(st.home.file("*.xsd")));
    st.home.write("b[1].txt", "x");
    EXPECT_TRUE(exists(st.home.file("b[1].txt")));  // brackets are not wildcards
}

TEST(FileExists, UnreadableFolderFailsTowardsTheCaller) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    dz::test::Station st;
    Tester t;
    st.home.write("locked/x.txt", "x");
    chmod(st.home.file("locked").c_str(), 0000);
    std::string pattern = st.home.file("locked/*.txt");
    EXPECT_THROW(t.FileExists(pattern), dz::com::Error);
    chmod(st.home.file("locked").c_str(), 0755);
}

}  // namespace
