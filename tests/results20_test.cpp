// Result upload on generation 20 and later.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "component/Tester.h"
#include "component/Context.h"
#include "platform/text.h"
#include "support/station.h"

using dz::db::Value;
using Answer = dz::db::ScriptedDriver::Answer;
using Lines = std::vector<std::string>;

namespace {

const char* const kResultXsl =
    "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
    "<xsl:output method='xml' omit-xml-declaration='yes'/>"
    "<xsl:template match='/'><Save><xsl:copy-of select='//DUT'/></Save></xsl:template></xsl:stylesheet>";

std::string doc(const std::string& duts) { return "<r:Result xmlns:r='urn:SaveResult-schema'>" + duts + "</r:Result>"; }
const std::string kPass = doc("<DUT ID='SN1' STATUS='PASS'/>");

// The result schema and style sheet in the component folder.
void resultFiles(dz::test::Station& s) {
    s.home.write("SaveResult.xsd", dz::test::kResultSchema);
    s.home.write("DEZozevo.xsl", kResultXsl);
}

struct Results20 : ::testing::Test, dz::test::Started {
    dz::test::TempDir spare;
    std::string resendFile = spare.file("DEZozevo_Resend.xml");
    Results20()
        : Started(22, "[ERROR]\nResendOnNetErr=yes\n[CUSTOMIZATION]\nSPToSaveTestResult=uspSave20\n", resultFiles) {
        setenv("DEZOZEVO_RESEND_FILE", resendFile.c_str(), 1);
    }
    ~Results20() override { unsetenv("DEZOZEVO_RESEND_FILE"); }
};

TEST_F(Results20, StoresEveryResultWithOneTimeStamp) {
    st->db->on("uspSave20", Answer::status(0));
    const std::string raw = doc("<DUT ID='SN1' STATUS='FAIL'><Note>it's \xC3\xA4</Note></DUT>");
    EXPECT_EQ(t->SaveResult(raw), 0);  // no pass check: a failed unit is stored too
    ASSERT_EQ(st->db->callCount(), 1u);
    const auto c = st->db->calls()[0];
    EXPECT_EQ(dz::test::command(c), "uspSave20 StoredProc 30");
    EXPECT_EQ(c.connectionString, dz::threadContext().connections.working);
    const std::string sent = c.param("@strXmlTestResult")->value.toText();
    EXPECT_EQ(sent.rfind("<Save><DUT", 0), 0u) << sent;
    EXPECT_NE(sent.find("STATUS=\"FAIL\"><Note>it''s \xC3\xA4</Note></DUT></Save>"), std::string::npos) << sent;
    const std::string stamp = c.param("@EnterTime")->value.toText();
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << stamp;
    EXPECT_EQ(dz::test::params(c),
              (Lines{"RETURN Integer Return 0 0",
                     "@strXmlTestResult LongVarChar In " + std::to_string(dz::text::utf8Length(sent)) + " '" + sent +
                         "'",
                     "@EnterTime VarChar In 19 '" + stamp + "'", "@ExitTime VarChar In 19 '" + stamp + "'"}));
    // The raw and the transformed text are logged without labels.
    EXPECT_TRUE(st->logged(raw));
    EXPECT_NE(st->log().find("STATUS=\"FAIL\"><Note>it's \xC3\xA4</Note>"), std::string::npos);
}

TEST_F(Results20, Statuses) {
    Answer withValue = Answer::failure("Error converting data type varchar to datetime.");
    withValue.returnValue = Value(55);
    st->db->on("uspSave20", Answer::status(5));
    st->db->on("uspSave20", Answer::status(-2));
    st->db->on("uspSave20", withValue);
    st->db->on("uspSave20", Answer::failure("Timeout expired"));  // not classified, never kept
    for (int status : {5, -2, 55, 9999}) EXPECT_EQ(t->SaveResult(kPass), status);
    EXPECT_EQ(t->SaveResult(doc("<DUT ID='SN1' STATUS='PASS'/><DUT ID='SN2' STATUS='Terminate'/>")), 0);
    EXPECT_EQ(t->SaveResult(dz::com::Variant(dz::com::Null{})), 9999);
    EXPECT_EQ(st->db->callCount(), 4u);
    EXPECT_FALSE(std::filesystem::exists(resendFile));
    Lines m = st->messages();
    m.erase(std::remove_if(m.begin(), m.end(), [](auto& s) { return s.rfind("<", 0) == 0; }), m.end());  // documents
    EXPECT_EQ(m, (Lines{"SaveResult20 returned value=5", "Error converting data type varchar to datetime.",
                        "Timeout expired", "Result is not saved to database", "Invalid use of Null"}));
}

TEST_F(Results20, TheTestersDocumentIsValidatedAsItArrives) {
    EXPECT_EQ(t->SaveResult(doc("<DUT ID='SN1' STATUS='PASS'/><Extra/>")), 10);
    const std::string last = st->messages().back();
    EXPECT_EQ(last.find(' '), std::to_string(std::stol(last)).size()) << last;  // "<code> <reason>"
    EXPECT_NE(last.find("Extra"), std::string::npos) << last;
    EXPECT_EQ(t->SaveResult(std::string("<r:Result xmlns:r='urn:SaveResult-schema'>")), 10);
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(resendFile));
}

// With ResendOnGen20 a result lost on the network is kept and the unit query
// sends it first; without, the upload's status stands and nothing is kept.
TEST_F(Results20, KeptAndResentOnlyWhenTheIniFileAsks) {
    for (bool on : {true, false}) {
        SCOPED_TRACE(on);
        restart(22,
                std::string("[ERROR]\nResendOnNetErr=yes\nResendOnGen20=") + (on ? "yes" : "no") +
                    "\n[CUSTOMIZATION]\nSPToSaveTestResult=uspSave20\n",
                resultFiles);
        const Answer down = Answer::failure("[DBNETLIB]General network error. Check your network.");
        st->db->on("uspSave20", down);
        st->db->on("uspSave20", down);
        st->db->on("uspSave20", Answer::status(0));
        EXPECT_EQ(t->SaveResult(kPass), on ? 9002 : 9999);
        EXPECT_EQ(t->state().queue.kept, on ? 1u : 0u);
        // The request is refused (10) only after the kept result was sent.
        EXPECT_EQ(t->GetUnitInfo("<bad/>", out), on ? 9002 : 10);  // the network is still down
        EXPECT_EQ(t->GetUnitInfo("<bad/>", out), 10);
        EXPECT_EQ(dz::test::callsTo(*st->db, "uspSave20").size(), on ? 3u : 1u);
        EXPECT_EQ(t->state().queue.kept, 0u);
    }
}

}  // namespace
