#include <gtest/gtest.h>

#include "platform/profile/profile.h"
#include "support/station.h"

using dz::profile::getString;
using dz::test::TempDir;

namespace {

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
