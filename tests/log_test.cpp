// The daily log, failure classification, FileExists and the INI reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "component/Tester.h"
#include "component/Context.h"
#include "component/Failures.h"
#include "platform/db/db.h"
#include "platform/profile/profile.h"
#include "support/station.h"

using dz::Tester;
using dz::profile::getString;
using dz::test::Station;
using dz::test::TempDir;
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
             {"ACCESS DENIED", 9001},
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

// ---- the INI reader -----------------------------------------------------------

TEST(Ini, ReaderSemantics) {
    TempDir dir;
    const std::string file = dir.file("a.ini");
    // LF and CR LF lines mixed, a byte-order mark, comments, quotes, a repeated key and section.
    dz::test::writeFile(file, "\xEF\xBB\xBF; comment\r\n[ Database ]\n  User  =  bob  \n[A]\r\nEMPTY=\nBLANK=   \n"
                              ";K=commented\r\n# K=also\r\nK=1\r\nK=2\r\nD=\" x y \"\nS='v'\nMIXED=\"v'\n"
                              "TWO=\"\"v\"\"\nLONE=\"\n[A]\r\nJ=3\r\n");
    struct Case {
        const char *section, *key, *expected;
    };
    for (const Case& c : std::vector<Case>{
             {"DATABASE", "USER", "bob"}, {"database", "user ", "bob"}, {"A", "EMPTY", ""}, {"A", "BLANK", ""},
             {"A", "MISSING", "DEF"}, {"B", "EMPTY", "DEF"}, {"A", "K", "1"}, {"A", ";K", "DEF"},
             {"A", "J", "DEF"},  // only the first section of a name is read
             {"A", "D", " x y "}, {"A", "S", "v"}, {"A", "MIXED", "\"v'"}, {"A", "TWO", "\"v\""}, {"A", "LONE", "\""}}) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(getString(c.section, c.key, "DEF", file), c.expected);
    }
    EXPECT_EQ(getString("A", "EMPTY", "DEF", dir.file("none.ini")), "DEF");
}

// Lines saved on Windows are Windows-1252; UTF-8 lines stay as they are. A
// value is cut at 2047 characters, not bytes.
TEST(Ini, Windows1252LinesBecomeUtf8AndValuesAreCut) {
    TempDir dir;
    std::string umlauts, cut;
    for (int i = 0; i < 3000; ++i) umlauts += "\xC3\xA4";
    for (int i = 0; i < 2047; ++i) cut += "\xC3\xA4";
    dz::test::writeFile(dir.file("a.ini"), "[A]\nSTATION=Pr\xFC" "fplatz\nU=Pr\xC3\xBC" "f\nHIGH=\x80\x81\x9F\xFF\n"
                                           "Gr\xF6\xDF" "e=1\nC3=\xC3\nLONG=" + umlauts + "\n");
    for (auto [key, expected] : std::vector<std::pair<std::string, std::string>>{
             {"STATION", "Pr\xC3\xBC" "fplatz"}, {"U", "Pr\xC3\xBC" "f"},
             {"HIGH", "\xE2\x82\xAC\xC2\x81\xC5\xB8\xC3\xBF"},
             {"Gr\xC3\xB6\xC3\x9F" "e", "1"}, {"C3", "\xC3\x83"}, {"LONG", cut}}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(getString("A", key, "DEF", dir.file("a.ini")), expected);
    }
}

TEST(Ini, BareFileNameIsLookedUpInTheSystemFolderNotHere) {
    TempDir dir;
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    dz::test::writeFile(dir.file("a.ini"), "[A]\nK=here\n");
    EXPECT_EQ(getString("A", "K", "DEF", "a.ini"), "DEF");
    ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
