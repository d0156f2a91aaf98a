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

TEST(Ini, ValueIsCutAt2047Characters) {
    TempDir dir;
    std::string longValue;
    for (int i = 0; i < 3000; ++i) longValue += "\xC3\xA4";  // two bytes, one character
    dz::test::writeFile(dir.file("a.ini"), "[A]\nK=" + longValue + "\n");
    EXPECT_EQ(getString("A", "K", "", dir.file("a.ini")).size(), 2047u * 2);
}

TEST(Ini, BareFileNameIsLookedUpInTheSystemFolderNotHere) {
    TempDir dir;
    EXPECT_EQ(dz::profile::systemFolder(), "/etc");
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    dz::test::writeFile(dir.file("a.ini"), "[A]\nK=here\n");
    EXPECT_EQ(getString("A", "K", "DEF", "a.ini"), "DEF");
    ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
