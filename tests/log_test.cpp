// The daily log, failure classification and FileExists.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "component/Tester.h"
#include "component/Context.h"
#include "component/Failures.h"
#include "platform/db/db.h"
#include "support/station.h"

using dz::Tester;
using dz::test::Station;
using Lines = std::vector<std::string>;

namespace {

// putLog takes its message by reference.
void put(Tester& t, std::string msg, uint8_t level) { t.putLog(msg, level); }

struct Log : ::testing::Test {
    void SetUp() override { dz::threadContext() = dz::Context{}; }
};

// The Testers below fail their start-up quietly (no generation): the log holds only what the test writes.
TEST_F(Log, LevelRules) {
    Station st("", 1);
    Tester t;
    st.clearLog();
    put(t, "detail", 2);
    EXPECT_EQ(st.log(), "");
    put(t, "failure", 1);
    put(t, "caller", 0);
    EXPECT_EQ(st.messages(), (Lines{"failure", "caller"}));
    std::string line = st.log().substr(0, st.log().find("\r\n") + 2);
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  failure\r\n)"))) << line;
    EXPECT_NE(dz::threadContext().logFile.find(st.home.path() + "/DEZozevo2"), std::string::npos);
}

TEST_F(Log, LevelThreeAddsAByteDump) {
    Station st("", 3);
    Tester t;
    st.clearLog();
    put(t, "OK", 9);  // above the level: no line, but the dump
    EXPECT_EQ(st.log(), "79 O\r\n0 \r\n75 K\r\n0 \r\n");
    st.clearLog();
    put(t, "\xC3\xA4", 1);  // one character, U+00E4
    EXPECT_NE(st.log().find("  \xC3\xA4\r\n228 \xC3\xA4\r\n0 \r\n"), std::string::npos) << st.log();
}

TEST_F(Log, UnwritableLogFileLosesTheMessageQuietly) {
    Station st("", 2);
    Tester t;
    st.clearLog();
    put(t, "first", 1);
    std::string file = dz::threadContext().logFile;
    std::remove(file.c_str());
    mkdir(file.c_str(), 0755);  // a folder where the file should be
    put(t, "lost", 1);
    rmdir(file.c_str());
    put(t, "kept", 1);
    EXPECT_EQ(st.messages(), Lines{"kept"});
}

// By the first phrase found in the text; a failure kind the driver gave wins over the text.
TEST(CalcErrCode, ClassifiesByTheFirstPhraseFoundOrTheDriversKind) {
    Station st;
    Tester t;
    for (auto [msg, code] : std::vector<std::pair<std::string, int>>{
             {"[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.", 9001},
             {"ACCESS DENIED", 9001},
             {"[DBNETLIB][ConnectionWrite (send()).]General network error. Check your network documentation.", 9002},
             {"general NETWORK error", 9002},
             {"Query timeout expired", 9003},
             {"Timeout expired and access denied", 9001},
             {"Could not find stored procedure 'x'.", 9999},
             {"", 9999}})
        EXPECT_EQ(t.CalcErrCode(msg), code) << msg;
    using K = dz::db::FailureKind;
    for (auto [kind, code] : std::vector<std::pair<K, int>>{
             {K::NoServer, 9001}, {K::Network, 9002}, {K::Timeout, 9003}, {K::Unknown, 9003}})
        EXPECT_EQ(dz::statusOf(dz::db::Error("Query timeout expired", kind)), code);
}

TEST(FileExists, OrdinaryFilesAndWildcards) {
    Station st;
    Tester t;
    st.home.write("a.xsl", "x");
    st.home.write(".hidden", "x");
    st.home.write("b[1].txt", "x");
    for (auto [name, expected] : std::vector<std::pair<std::string, bool>>{
             {st.home.file("a.xsl"), true}, {"", false}, {st.home.path() + "/", false}, {st.home.path(), false},
             {st.home.file(".hidden"), false}, {st.home.file("none.xsl"), false}, {"/no/such/folder/file", false},
             {st.home.file("*.xsl"), true}, {st.home.file("a.?sl"), true}, {st.home.file("*.xsd"), false},
             {st.home.file("b[1].txt"), true}})  // brackets are not wildcards
        EXPECT_EQ(t.FileExists(name), expected) << name;

    if (geteuid() == 0) return;  // root reads every folder
    st.home.write("locked/x.txt", "x");
    chmod(st.home.file("locked").c_str(), 0000);
    std::string pattern = st.home.file("locked/*.txt");
    EXPECT_THROW(t.FileExists(pattern), dz::com::Error);  // fails towards the caller
    chmod(st.home.file("locked").c_str(), 0755);
}

}  // namespace
