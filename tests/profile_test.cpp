#include <gtest/gtest.h>

#include "platform/profile/profile.h"
#include "support/station.h"

using dz::profile::getString;
using dz::test::TempDir;

namespace {

struct Ini : ::testing::Test {
    TempDir dir;
    std::string file;
    void SetUp() override { file = dir.file("a.ini"); }
    void write(const std::string& s) { dz::test::writeFile(file, s); }
    std::string get(const char* sec, const char* key, const char* def = "DEF") {
        return getString(sec, key, def, file);
    }
};

TEST_F(Ini, MatchesNamesWithoutCaseAndBlanks) {
    write("[ Database ]\n  User  =  bob  \n[STATION]\nSTATION=S1\n");
    EXPECT_EQ(get("DATABASE", "USER"), "bob");
    EXPECT_EQ(get("database", "user "), "bob");
    EXPECT_EQ(get("Station", "Station"), "S1");
}

TEST_F(Ini, DefaultOnlyForMissingKeySectionOrFile) {
    write("[A]\nEMPTY=\nBLANK=   \n");
    EXPECT_EQ(get("A", "EMPTY"), "");
    EXPECT_EQ(get("A", "BLANK"), "");
    EXPECT_EQ(get("A", "MISSING"), "DEF");
    EXPECT_EQ(get("B", "EMPTY"), "DEF");
    EXPECT_EQ(getString("A", "EMPTY", "DEF", dir.file("none.ini")), "DEF");
}

TEST_F(Ini, OnePairOfQuotesIsRemoved) {
    write("[A]\nD=\" x y \"\nS='v'\nMIXED=\"v'\nTWO=\"\"v\"\"\nLONE=\"\n");
    EXPECT_EQ(get("A", "D"), " x y ");
    EXPECT_EQ(get("A", "S"), "v");
    EXPECT_EQ(get("A", "MIXED"), "\"v'");
    EXPECT_EQ(get("A", "TWO"), "\"v\"");
    EXPECT_EQ(get("A", "LONE"), "\"");
}

TEST_F(Ini, CommentsCrLfAndFirstMatchWin) {
    write("\xEF\xBB\xBF; comment\r\n[A]\r\n;K=commented\r\n# K=also\r\nK=1\r\nK=2\r\n[A]\r\nJ=3\r\n");
    EXPECT_EQ(get("A", "K"), "1");
    EXPECT_EQ(get("A", ";K"), "DEF");
    EXPECT_EQ(get("A", "J"), "DEF");  // only the first section of a name is read
}

TEST_F(Ini, ValueIsCutAt2047Characters) {
    std::string longValue;
    for (int i = 0; i < 3000; ++i) longValue += "\xC3\xA4";  // two bytes, one character
    write("[A]\nK=" + longValue + "\n");
    std::string v = get("A", "K");
    EXPECT_EQ(v.size(), 2047u * 2);
}

TEST_F(Ini, BareFileNameIsLookedUpInTheSystemFolderNotHere) {
    EXPECT_EQ(dz::profile::systemFolder(), "/etc");
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    write("[A]\nK=here\n");
    EXPECT_EQ(getString("A", "K", "DEF", "a.ini"), "DEF");
    ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
