// Result upload on generation 20 and later.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
#include "platform/text.h"
#include "support/station.h"

namespace fs = std::filesystem;
using dz::Tester;
using dz::db::ScriptedDriver;
using dz::db::Value;
using dz::test::Station;
using dz::test::TempDir;
using Answer = ScriptedDriver::Answer;

namespace {

const char* const kSchema =
    "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema' targetNamespace='urn:SaveResult-schema'>"
    "<xs:element name='Result'><xs:complexType><xs:sequence>"
    "<xs:element name='DUT' minOccurs='0' maxOccurs='unbounded'><xs:complexType><xs:sequence>"
    "<xs:element name='Note' type='xs:string' minOccurs='0'/></xs:sequence>"
    "<xs:attribute name='ID' type='xs:string'/><xs:attribute name='STATUS' type='xs:string'/>"
    "</xs:complexType></xs:element></xs:sequence></xs:complexType></xs:element></xs:schema>";

const char* const kResultXsl =
    "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
    "<xsl:output method='xml' omit-xml-declaration='yes'/>"
    "<xsl:template match='/'><Save><xsl:copy-of select='//DUT'/></Save></xsl:template></xsl:stylesheet>";

std::string doc(const std::string& duts) { return "<r:Result xmlns:r='urn:SaveResult-schema'>" + duts + "</r:Result>"; }

struct Results20 : ::testing::Test {
    TempDir spare;
    std::unique_ptr<Station> st;
    std::unique_ptr<Tester> t;
    std::string resendFile;

    void SetUp() override {
        dz::modVariables() = dz::ModVariables{};
        resendFile = spare.file("DEZozevo_Resend.xml");
        setenv("DEZOZEVO_RESEND_FILE", resendFile.c_str(), 1);
        st = std::make_unique<Station>("[ERROR]\nResendOnNetErr=yes\n[CUSTOMIZATION]\nSPToSaveTestResult=uspSave20\n");
        st->home.write("SaveResult.xsd", kSchema);
        st->home.write("DEZozevo.xsl", kResultXsl);
        st->serveGeneration(22);
        t = std::make_unique<Tester>();
        st->db->clearCalls();
        st->clearLog();
    }
    void TearDown() override {
        t.reset();
        unsetenv("DEZOZEVO_RESEND_FILE");
    }
};

TEST_F(Results20, StoresEveryResultWithOneTimeStamp) {
    st->db->on("uspSave20", Answer::status(0));
    const std::string raw = doc("<DUT ID='SN1' STATUS='FAIL'><Note>it's \xC3\xA4</Note></DUT>");
    EXPECT_EQ(t->SaveResult(raw), 0);  // no pass check: a failed unit is stored too
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 1u);
    const auto& c = calls[0];
    EXPECT_EQ(c.text, "uspSave20");
    EXPECT_EQ(c.type, dz::db::adCmdStoredProc);
    EXPECT_EQ(c.connectionString, dz::modVariables().ConnectString);
    ASSERT_EQ(c.parameters.size(), 4u);
    EXPECT_EQ(c.parameters[0].name, "RETURN");
    EXPECT_EQ(c.parameters[0].direction, dz::db::adParamReturnValue);
    EXPECT_EQ(c.parameters[1].name, "@strXmlTestResult");
    EXPECT_EQ(c.parameters[1].type, dz::db::adLongVarChar);
    const std::string sent = c.parameters[1].value.toText();
    EXPECT_EQ(sent.rfind("<Save><DUT", 0), 0u) << sent;
    EXPECT_NE(sent.find("STATUS=\"FAIL\"><Note>it''s \xC3\xA4</Note></DUT></Save>"), std::string::npos) << sent;
    EXPECT_EQ(c.parameters[1].size, dz::text::utf8Length(sent));
    EXPECT_EQ(c.parameters[2].name, "@EnterTime");
    EXPECT_EQ(c.parameters[3].name, "@ExitTime");
    for (int i : {2, 3}) {
        EXPECT_EQ(c.parameters[i].type, dz::db::adVarChar);
        EXPECT_EQ(c.parameters[i].size, 19);
    }
    const std::string stamp = c.parameters[2].value.toText();
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << stamp;
    EXPECT_EQ(c.parameters[3].value, c.parameters[2].value);
    // The raw and the transformed text are logged without labels.
    EXPECT_TRUE(st->logged(raw));
    EXPECT_NE(st->log().find("STATUS=\"FAIL\"><Note>it's \xC3\xA4</Note>"), std::string::npos);
}

TEST_F(Results20, ProcedureStatuses) {
    st->db->on("uspSave20", Answer::status(5));
    st->db->on("uspSave20", Answer::status(-2));
    EXPECT_EQ(t->SaveResult(doc("<DUT ID='SN1' STATUS='PASS'/>")), 5);
    EXPECT_EQ(t->SaveResult(doc("<DUT ID='SN1' STATUS='PASS'/>")), -2);
    int logged = 0;
    for (const auto& m : st->messages()) logged += m.rfind("SaveResult20 returned value=", 0) == 0;
    EXPECT_EQ(logged, 1);
    EXPECT_TRUE(st->logged("SaveResult20 returned value=5"));
}

TEST_F(Results20, FailuresGiveTheReturnValueOr9999AndAreNeverKept) {
    Answer withValue = Answer::failure("Error converting data type varchar to datetime.");
    withValue.returnValue = Value(55);
    st->db->on("uspSave20", withValue);
    st->db->on("uspSave20", Answer::failure("Timeout expired"));
    EXPECT_EQ(t->SaveResult(doc("<DUT ID='SN1' STATUS='PASS'/>")), 55);
    EXPECT_EQ(t->SaveResult(doc("<DUT ID='SN1' STATUS='PASS'/>")), 9999);  // not classified
    EXPECT_TRUE(st->logged("Error converting data type varchar to datetime."));
    EXPECT_TRUE(st->logged("Timeout expired"));
    EXPECT_FALSE(fs::exists(resendFile));
    // A failure before the command exists.
    EXPECT_EQ(t->SaveResult(dz::com::Variant(dz::com::Null{})), 9999);
    EXPECT_TRUE(st->logged("Invalid use of Null"));
    EXPECT_EQ(st->db->callCount(), 2u);
}

TEST_F(Results20, TerminateStoresNothing) {
    EXPECT_EQ(t->SaveResult(doc("<DUT ID='SN1' STATUS='PASS'/><DUT ID='SN2' STATUS='Terminate'/>")), 0);
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_TRUE(st->logged("Result is not saved to database"));
}

TEST_F(Results20, TheTestersDocumentIsValidatedAsItArrives) {
    EXPECT_EQ(t->SaveResult(doc("<DUT ID='SN1' STATUS='PASS'/><Extra/>")), 10);
    auto m = st->messages();
    ASSERT_FALSE(m.empty());
    EXPECT_NE(std::stol(m.back()), 0);
    EXPECT_NE(m.back().find("Extra"), std::string::npos) << m.back();
    EXPECT_EQ(t->SaveResult(std::string("<r:Result xmlns:r='urn:SaveResult-schema'>")), 10);
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_FALSE(fs::exists(resendFile));
}

TEST_F(Results20, DefaultProcedureName) {
    st->home.write("DEZozevo.ini", "[DATABASE]\nSERVER=" + st->server + "\n[LOG]\nLEVEL=2\n");
    t = std::make_unique<Tester>();
    st->db->clearCalls();
    EXPECT_EQ(t->SaveResult(doc("<DUT ID='SN1' STATUS='PASS'/>")), 0);
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, "objTSKSaveTestResult");
}

}  // namespace
