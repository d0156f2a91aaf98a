// Result upload on generation 10: checks, delivery methods, buffer folder,
// failure classes and the resend file with its resend loop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>

#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
#include "platform/text.h"
#include "support/station.h"

namespace fs = std::filesystem;
using dz::db::Value;
using dz::test::TempDir;
using Answer = dz::db::ScriptedDriver::Answer;
using Call = dz::db::ScriptedDriver::Call;
using Lines = std::vector<std::string>;

namespace {

const char* const kSchema =
    "<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema' targetNamespace='urn:SaveResult-schema'>"
    "<xs:element name='Result'><xs:complexType><xs:sequence>"
    "<xs:element name='DUT' minOccurs='0' maxOccurs='unbounded'><xs:complexType><xs:sequence>"
    "<xs:element name='Note' type='xs:string' minOccurs='0'/></xs:sequence>"
    "<xs:attribute name='ID' type='xs:string'/><xs:attribute name='STATUS' type='xs:string'/>"
    "</xs:complexType></xs:element></xs:sequence></xs:complexType></xs:element></xs:schema>";

// The tester's <Test> becomes the database's <r:Result>; its children are copied.
const char* const kResultXsl =
    "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' "
    "xmlns:r='urn:SaveResult-schema'><xsl:output method='xml' omit-xml-declaration='yes'/>"
    "<xsl:template match='/*'><r:Result><xsl:copy-of select='node()'/></r:Result></xsl:template></xsl:stylesheet>";

const char* const kHeaderXsl =
    "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
    "<xsl:output method='xml' omit-xml-declaration='yes'/>"
    "<xsl:template match='/'><Header SN='{//DUT/@ID}'/></xsl:template></xsl:stylesheet>";

std::string doc(const std::string& duts) { return "<Test>" + duts + "</Test>"; }
std::string dut(const std::string& id, const std::string& status) {
    return "<DUT ID=\"" + id + "\" STATUS=\"" + status + "\"/>";
}
const std::string kPass = doc(dut("SN1", "PASS"));
const std::string kFail = doc(dut("SN1", "FAIL"));

std::string payload(const Call& c) { return c.param("@strXML")->value.toText(); }
long filesIn(const std::string& dir) { return std::distance(fs::directory_iterator(dir), fs::directory_iterator()); }

struct Results10 : ::testing::Test {
    TempDir spare;  // the resend file's folder and buffer folders
    std::unique_ptr<dz::test::Station> st;
    std::unique_ptr<dz::Tester> t;
    std::string resendFile = spare.file("state/DEZozevo_Resend.xml");
    std::string out;

    Results10() { setenv("DEZOZEVO_RESEND_FILE", resendFile.c_str(), 1); }
    ~Results10() override {
        t.reset();
        unsetenv("DEZOZEVO_RESEND_FILE");
    }

    void start(bool resendOnNetErr = false, bool slave = false) {
        t.reset();
        st.reset();  // restores the component folder before the next one is set
        st = std::make_unique<dz::test::Station>(resendOnNetErr ? "[ERROR]\nResendOnNetErr=yes\n" : "");
        st->home.write("SaveResult.xsd", kSchema);
        st->home.write("DEZozevo.xsl", kResultXsl);
        st->home.write("GetHeader.xsl", kHeaderXsl);
        st->serveGeneration(10, !slave);
        if (slave)  // a slave on the same scripted server, told apart by its database
            st->db->on("uspGetSlaveInfo", Answer::rowsOf({"Error", "MasterSlaveSolution", "ServerName", "DatabaseName",
                                                          "UserName", "UserPassword"},
                                                         {{0, 1, st->server, "SlaveDb", "su", ""}}));
        st->db->on("uspGetUnitInfo", Answer::rowsOf({"strXML", "Seq"}, {{"<UNITINFO/>", 1}}));
        t = dz::test::startTester(*st);
    }

    std::vector<Call> calls(const std::string& text) const { return dz::test::callsTo(*st->db, text); }
    void method(const Value& m, const std::string& dest) {
        st->db->on("uspGetTestResultConfig", Answer::rowsOf({"Method", "Dest"}, {{m, dest}}));
    }
    void stored(int status, double testId) {
        Answer a = Answer::status(status);
        a.outputs["@TestID"] = Value(testId);
        st->db->on("uspTestSaveResult", a);
    }
    void plant(const std::string& text) const { dz::test::writeFile(resendFile, text); }
    int32_t query() {  // a unit query, which first resends a pending result
        out.clear();
        return t->GetUnitInfo("<Unit SerialNumber='SN1'/>", out);
    }
};

// ---- checks, the procedure and the lookup batch ------------------------------------

TEST_F(Results10, TerminateAndRefusedDocumentsStoreNothing) {
    start(true);
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS") + dut("SN2", "terminate"))), 0);
    EXPECT_TRUE(st->logged("Result is not saved to database"));
    EXPECT_EQ(t->SaveResult(doc("<DUT/>")), 9999);  // passed without a unit ID
    EXPECT_EQ(t->SaveResult(std::string("not xml")), 9999);
    EXPECT_EQ(t->SaveResult(dz::com::Variant(dz::com::Null{})), 9999);
    EXPECT_TRUE(st->logged("Invalid use of Null"));
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "FAIL") + "<Extra/>")), 10);  // invalid once transformed
    const std::string last = st->messages().back();                     // "<code> <reason>"
    EXPECT_NE(std::stol(last), 0);
    EXPECT_NE(last.find(" "), std::string::npos);
    EXPECT_NE(last.find("Extra"), std::string::npos) << last;
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_FALSE(fs::exists(resendFile));
}

TEST_F(Results10, PassWordsDecideWhetherTheDeliveryMethodIsAsked) {
    start();
    // Pass words in any case, or no STATUS, ask for the method; a trailing blank is not a pass word.
    for (auto [duts, lookups] : {std::pair{dut("SN1", "passed") + dut("SN2", "Succeed"), 1u},
                                 {dut("SN1", "PASS") + dut("SN2", "PASSED "), 0u},
                                 {std::string("<DUT ID='SN9'/>"), 1u}}) {
        st->db->clearCalls();
        EXPECT_EQ(t->SaveResult(doc(duts)), 0);
        EXPECT_EQ(calls("uspGetTestResultConfig").size(), lookups) << duts;
        ASSERT_EQ(calls("uspTestSaveResult").size(), 1u);
        EXPECT_EQ(payload(calls("uspTestSaveResult")[0]).empty(), lookups == 1);  // failed: sent whole
    }
}

TEST_F(Results10, ProcedureParametersAndTheLookupBatch) {
    start(false, true);
    st->db->on("uspTestSaveResult", Answer::status(7));
    const std::string raw = doc("<DUT ID='SN1' STATUS='FAIL'><Note>it's O''K \xC3\xA4</Note></DUT>");
    EXPECT_EQ(t->SaveResult(raw), 7);
    EXPECT_TRUE(st->logged("SaveResult10 returned value=7"));
    EXPECT_NE(st->log().find("\r\nXML From Tester\r\n" + raw + "\r\n"), std::string::npos);
    ASSERT_EQ(st->db->callCount(), 1u);
    const Call c = st->db->calls()[0];
    EXPECT_EQ(dz::test::command(c), "uspTestSaveResult StoredProc 30");
    EXPECT_EQ(c.connectionString, dz::modVariables().ConnectString);  // the slave
    EXPECT_NE(c.connectionString, st->masterConnectString());
    const std::string sent = payload(c);
    EXPECT_NE(sent.find("<Note>it''s O''''K \xC3\xA4</Note>"), std::string::npos) << sent;
    EXPECT_EQ(dz::test::params(c),
              (Lines{"return Integer Return 0 0",
                     "@strXML LongVarChar In " + std::to_string(dz::text::utf8Length(sent)) + " '" + sent + "'",
                     "@TestID Double Out 0 Null"}));
    dz::modVariables().StationName = "ST'1; drop table x--";
    EXPECT_EQ(t->SaveResult(doc(dut("O'Neil", "PASS"))), 7);
    auto lookups = calls("uspGetTestResultConfig");
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(lookups[0].type, dz::db::adCmdText);  // on the master, each value one literal
    EXPECT_EQ(lookups[0].connectionString, st->masterConnectString());
    EXPECT_EQ(lookups[0].text,
              "if exists (select 1 from sysobjects where name='uspGetTestResultConfig') exec uspGetTestResultConfig "
              "'O''Neil','ST''1; drop table x--' else select 0 Method, '' Dest");
}

// ---- delivery methods ---------------------------------------------------------------

TEST_F(Results10, DatabaseAndOtherMethods) {
    start();
    dz::modVariables().ResultBufferFolder = "/kept";
    method("MSMQ", "q");  // any other method, no row or a failed lookup: an empty payload, the folder kept
    st->db->on("uspGetTestResultConfig", Answer::rowsOf({"Method", "Dest"}, {}));
    st->db->on("uspGetTestResultConfig", Answer::failure("Invalid column name 'Dest'."));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(t->SaveResult(kPass), 0);
    EXPECT_EQ(dz::modVariables().ResultBufferFolder, "/kept");
    method(0, "");                              // the database: the whole document, no buffer folder
    method("tempfile", spare.file("missing"));  // a lower-case name is the database method too
    for (int i = 0; i < 2; ++i) EXPECT_EQ(t->SaveResult(kPass), 0);
    EXPECT_EQ(dz::modVariables().ResultBufferFolder, "");
    auto saves = calls("uspTestSaveResult");
    ASSERT_EQ(saves.size(), 5u);
    for (int i : {0, 1, 2}) EXPECT_EQ(dz::test::params(saves[i])[1], "@strXML LongVarChar In 0 ''");
    for (int i : {3, 4}) EXPECT_EQ(payload(saves[i]).rfind("<r:Result", 0), 0u) << payload(saves[i]);
    EXPECT_TRUE(st->logged("No data returned from uspGetTestResultConfig"));
    EXPECT_TRUE(st->logged("Invalid column name 'Dest'."));
    EXPECT_TRUE(st->logged("Failed to retrieve slaved info from uspGetTestResultConfig"));
}

TEST_F(Results10, TempFileSendsTheHeaderAndBuffersTheDocumentOrStoresNothing) {
    start();
    TempDir folder;
    method("TempFile", folder.path() + "/");  // a final slash is not doubled
    stored(0, 4711.4);
    stored(0, -5);
    stored(0, 0);
    stored(3, 1);  // refused by the database: no buffer file
    for (int status : {0, 0, 0, 3}) EXPECT_EQ(t->SaveResult(kPass), status);
    EXPECT_EQ(payload(calls("uspTestSaveResult")[0]), "<Header SN=\"SN1\"/>\n");
    const std::string body = folder.read("SN1_4711.xml");
    EXPECT_EQ(body.rfind("<r:Result", 0), 0u);
    EXPECT_EQ(body.substr(body.size() - 2), "\r\n");
    EXPECT_TRUE(st->logged("Buffered result into " + folder.file("SN1_4711.xml")));
    EXPECT_TRUE(folder.exists("SN1_N-5.xml") && folder.exists("SN1_0.xml"));
    EXPECT_EQ(filesIn(folder.path()), 3);  // no temporary file left

    method("TempFile", spare.file("missing"));  // no folder: nothing stored
    st->db->clearCalls();
    EXPECT_EQ(t->SaveResult(kPass), -9999);
    EXPECT_TRUE(calls("uspTestSaveResult").empty());
    EXPECT_TRUE(st->logged("SaveResult10: Network Folder NOT EXISTS>> " + spare.file("missing")));
    spare.write("plain", "x");  // found, but no file can be written in it: the database's status stays
    method("TempFile", spare.file("plain"));
    stored(0, 8);
    st->clearLog();
    EXPECT_EQ(t->SaveResult(kPass), 0);
    for (const std::string& line : Lines{"Version = SaveResult10", "Function = CreateFileInFolder ",
                                          "Folder Path = " + spare.file("plain"), "SaveResult10 returned value=-9999"})
        EXPECT_TRUE(st->logged(line)) << line;
}

TEST_F(Results10, UnitIdNeverLeavesTheBufferFolder) {
    start();
    TempDir folder;
    fs::create_directory(folder.file("inner"));
    method("TempFile", folder.file("inner"));
    stored(0, 1);
    for (const char* id : {"../../evil", "..", "a/b\\c", ".hidden"}) EXPECT_EQ(t->SaveResult(doc(dut(id, "PASS"))), 0);
    Lines names;
    for (const auto& e : fs::recursive_directory_iterator(folder.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Lines{"_._.._evil_1.xml", "_._1.xml", "_hidden_1.xml", "a_b_c_1.xml", "inner"}));
}

// ---- failure classes and the resend file -------------------------------------------

TEST_F(Results10, NetworkClassFailuresAreKeptOnlyWithResendOnNetErr) {
    for (bool resend : {true, false}) {
        start(resend);
        for (auto [description, status] : {std::pair{"[DBNETLIB]SQL Server does not exist or access denied.", 9001},
                                           {"[DBNETLIB]General network error. Check your network.", 9002},
                                           {"Timeout expired", 9003},
                                           {"Could not find stored procedure 'uspTestSaveResult'.", 9999}}) {
            SCOPED_TRACE(description);
            fs::remove(resendFile);
            st->clearLog();
            st->db->on("uspTestSaveResult", Answer::failure(description));
            const std::string raw = doc("<DUT ID='SN1' STATUS='FAIL'><Note>" + std::to_string(status) + "</Note>"
                                        "</DUT>");
            EXPECT_EQ(t->SaveResult(raw), status);
            EXPECT_TRUE(st->logged(description));
            const bool kept = resend && status != 9999;
            EXPECT_EQ(dz::test::readFile(resendFile), kept ? raw + "\r\n" : "");
            EXPECT_EQ(st->logged("Save result into " + resendFile + " for resend"), kept);
        }
    }
}

TEST_F(Results10, UnwritableResendFileGives9998AndNeverTearsOrFollowsALink) {
    start(true);
    st->db->on("uspTestSaveResult", Answer::failure("General network error"));
    spare.write("plain", "x");  // its folder cannot be created under a plain file
    setenv("DEZOZEVO_RESEND_FILE", spare.file("plain/DEZozevo_Resend.xml").c_str(), 1);
    EXPECT_EQ(t->SaveResult(kFail), 9998);
    setenv("DEZOZEVO_RESEND_FILE", resendFile.c_str(), 1);

    plant("old result\r\n");  // a file size limit stands for a full disk
    struct rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    const int32_t status = t->SaveResult(doc(dut("SN1", "FAIL") + "<!--" + std::string(20000, 'x') + "-->"));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(status, 9998);
    EXPECT_EQ(dz::test::readFile(resendFile), "old result\r\n");
    EXPECT_EQ(filesIn(fs::path(resendFile).parent_path()), 1);  // no temporary file left

    fs::remove(resendFile);
    spare.write("target", "precious");
    fs::create_symlink(spare.file("target"), resendFile);
    EXPECT_EQ(t->SaveResult(kFail), 9998);  // neither written through nor replaced
    EXPECT_TRUE(fs::is_symlink(resendFile));
    EXPECT_EQ(spare.read("target"), "precious");
    EXPECT_EQ(query(), 9997);  // nor read by the resend step
    EXPECT_TRUE(calls("uspGetUnitInfo").empty());
    const std::string last = st->messages().back();
    EXPECT_EQ(last.rfind("Cannot read the resend file " + resendFile, 0), 0u) << last;
}

// ---- the resend loop through GetUnitInfo ----------------------------------------------

TEST_F(Results10, ANetworkFailureLosesNothing) {
    start(true);
    st->db->on("uspTestSaveResult", Answer::failure("[DBNETLIB]General network error. Check your network."));
    st->db->on("uspTestSaveResult", Answer::status(0));
    const std::string raw =
        "<Test>\r\n  <DUT ID='SN1' STATUS='FAIL'><Note>it's \xE2\x82\xAC &amp; \"q\"</Note></DUT>\r\n</Test>";
    EXPECT_EQ(t->SaveResult(raw), 9002);
    EXPECT_EQ(dz::test::readFile(resendFile), raw + "\r\n");
    st->clearLog();
    EXPECT_EQ(query(), 0);
    EXPECT_EQ(out, "<UNITINFO/>");
    EXPECT_FALSE(fs::exists(resendFile));
    auto saves = calls("uspTestSaveResult");
    ASSERT_EQ(saves.size(), 2u);
    EXPECT_EQ(payload(saves[1]), payload(saves[0]));
    EXPECT_TRUE(st->logged("Resend Last Result"));
    EXPECT_NE(st->log().find("\r\nXML From Tester\r\n" + raw + "\r\n\r\n"), std::string::npos);  // line end included
    EXPECT_EQ(st->db->calls().back().text, "uspGetUnitInfo");
}

TEST_F(Results10, ResendStepOutcomes) {
    const std::string invalid = doc(dut("SN1", "FAIL") + "<Extra/>") + "\r\n";
    struct Case {
        const char* name;
        bool resendOnNetErr;
        std::string planted, fileAfter;  // "" for no file
        int32_t status;
        size_t saves, queries;
    } cases[] = {
        {"failing again adds a line end and blocks", true, kFail + "\r\n", kFail + "\r\n\r\n", 9003, 1, 0},
        {"a negative status lets the query go on", true, kPass + "\r\n", kPass + "\r\n", 0, 0, 1},
        {"an invalid result keeps blocking", true, invalid, invalid, 10, 0, 0},
        {"switched off", false, kFail + "\r\n", kFail + "\r\n", 0, 0, 1},
        {"nothing pending", true, "", "", 0, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.resendOnNetErr);
        fs::remove(resendFile);
        if (!c.planted.empty()) plant(c.planted);
        st->db->on("uspTestSaveResult", Answer::failure("Timeout expired"));
        method("TempFile", spare.file("missing"));  // a passed result: -9999 before any upload
        EXPECT_EQ(query(), c.status);
        EXPECT_EQ(out, c.status == 0 ? "<UNITINFO/>" : "");
        EXPECT_EQ(dz::test::readFile(resendFile), c.fileAfter);
        EXPECT_EQ(calls("uspTestSaveResult").size(), c.saves);
        EXPECT_EQ(calls("uspGetUnitInfo").size(), c.queries);
        EXPECT_EQ(st->logged("Resend Last Result"), c.planted != "" && c.resendOnNetErr);
    }
}

}  // namespace
