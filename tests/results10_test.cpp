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
using dz::Tester;
using dz::db::ScriptedDriver;
using dz::db::Value;
using dz::test::Station;
using dz::test::TempDir;
using Answer = ScriptedDriver::Answer;
using Call = ScriptedDriver::Call;

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

std::vector<Call> callsTo(const Station& st, const std::string& text) {
    std::vector<Call> out;
    for (const auto& c : st.db->calls())
        if (c.text.find(text) != std::string::npos) out.push_back(c);
    return out;
}

std::string payload(const Call& c) { return c.param("@strXML")->value.toText(); }

struct Results10 : ::testing::Test {
    TempDir spare;  // the resend file's folder and buffer folders
    std::unique_ptr<Station> st;
    std::unique_ptr<Tester> t;
    std::string resendFile;

    void SetUp() override {
        dz::modVariables() = dz::ModVariables{};
        resendFile = spare.file("state/DEZozevo_Resend.xml");
        setenv("DEZOZEVO_RESEND_FILE", resendFile.c_str(), 1);
    }
    void TearDown() override {
        t.reset();
        unsetenv("DEZOZEVO_RESEND_FILE");
    }

    void start(bool resendOnNetErr = false, bool slave = false) {
        t.reset();
        st.reset();  // restores the component folder before the next one is set
        st = std::make_unique<Station>(resendOnNetErr ? "[ERROR]\nResendOnNetErr=yes\n" : "");
        st->home.write("SaveResult.xsd", kSchema);
        st->home.write("DEZozevo.xsl", kResultXsl);
        st->home.write("GetHeader.xsl", kHeaderXsl);
        st->serveGeneration(10, !slave);
        if (slave)  // a slave on the same scripted server, told apart by its database
            st->db->on("uspGetSlaveInfo",
                       Answer::rowsOf({"Error", "MasterSlaveSolution", "ServerName", "DatabaseName", "UserName",
                                       "UserPassword"},
                                      {{0, 1, st->server, "SlaveDb", "su", ""}}));
        t = std::make_unique<Tester>();
        st->db->clearCalls();
        st->clearLog();
    }

    void method(const std::string& m, const std::string& dest) {
        st->db->on("uspGetTestResultConfig", Answer::rowsOf({"Method", "Dest"}, {{m, dest}}));
    }
    static Answer stored(int status, double testId) {
        Answer a = Answer::status(status);
        a.outputs["@TestID"] = Value(testId);
        return a;
    }
};

// ---- terminate and pass checks ----------------------------------------------

TEST_F(Results10, TerminateInAnyCaseStoresNothing) {
    start();
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS") + dut("SN2", "terminate"))), 0);
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_TRUE(st->logged("Result is not saved to database"));
}

TEST_F(Results10, PassWordsDecideWhetherTheDeliveryMethodIsAsked) {
    start();
    // Pass words in any case ask for the delivery method; the fallback row sends the whole document.
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "passed") + dut("SN2", "Succeed"))), 0);
    EXPECT_EQ(callsTo(*st, "uspGetTestResultConfig").size(), 1u);
    // A trailing blank is not a pass word: failed, sent whole, no lookup.
    st->db->clearCalls();
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS") + dut("SN2", "PASSED "))), 0);
    EXPECT_TRUE(callsTo(*st, "uspGetTestResultConfig").empty());
    auto saves = callsTo(*st, "uspTestSaveResult");
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_NE(payload(saves[0]).find("STATUS=\"PASSED \""), std::string::npos);
    // No STATUS at all counts as passed.
    st->db->clearCalls();
    EXPECT_EQ(t->SaveResult(doc("<DUT ID='SN9'/>")), 0);
    EXPECT_EQ(callsTo(*st, "uspGetTestResultConfig").size(), 1u);
}

TEST_F(Results10, PassedWithoutUnitIdFailsAndIsNotKept) {
    start(true);
    EXPECT_EQ(t->SaveResult(doc("<DUT/>")), 9999);
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_FALSE(fs::exists(resendFile));
}

TEST_F(Results10, InvalidTransformedDocumentReturns10AndIsNotKept) {
    start(true);
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS") + "<Extra/>")), 10);
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_FALSE(fs::exists(resendFile));
    auto m = st->messages();
    ASSERT_FALSE(m.empty());
    EXPECT_NE(m.back().find("Extra"), std::string::npos) << m.back();  // "<code> <reason>"
    EXPECT_NE(m.back().rfind(' '), std::string::npos);
    EXPECT_NE(std::stol(m.back()), 0);
}

TEST_F(Results10, UnconvertibleArgumentFails) {
    start(true);
    EXPECT_EQ(t->SaveResult(dz::com::Variant(dz::com::Null{})), 9999);
    EXPECT_TRUE(st->logged("Invalid use of Null"));
    EXPECT_FALSE(fs::exists(resendFile));
    EXPECT_EQ(t->SaveResult(std::string("not xml")), 9999);  // no document to transform
    EXPECT_EQ(st->db->callCount(), 0u);
}

// ---- the procedure and the lookup batch ----------------------------------------

TEST_F(Results10, ProcedureParametersAndDoubledApostrophes) {
    start(false, true);
    st->db->on("uspTestSaveResult", Answer::status(7));
    const std::string raw = doc("<DUT ID='SN1' STATUS='FAIL'><Note>it's O''K \xC3\xA4</Note></DUT>");
    EXPECT_EQ(t->SaveResult(raw), 7);
    EXPECT_TRUE(st->logged("SaveResult10 returned value=7"));
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 1u);
    const Call& c = calls[0];
    EXPECT_EQ(c.text, "uspTestSaveResult");
    EXPECT_EQ(c.type, dz::db::adCmdStoredProc);
    EXPECT_EQ(c.timeout, 30);
    EXPECT_EQ(c.connectionString, dz::modVariables().ConnectString);
    EXPECT_NE(c.connectionString, st->masterConnectString());
    ASSERT_EQ(c.parameters.size(), 3u);
    EXPECT_EQ(c.parameters[0].name, "return");
    EXPECT_EQ(c.parameters[0].type, dz::db::adInteger);
    EXPECT_EQ(c.parameters[0].direction, dz::db::adParamReturnValue);
    EXPECT_EQ(c.parameters[1].name, "@strXML");
    EXPECT_EQ(c.parameters[1].type, dz::db::adLongVarChar);
    EXPECT_EQ(c.parameters[1].direction, dz::db::adParamInput);
    const std::string sent = payload(c);
    EXPECT_NE(sent.find("<Note>it''s O''''K \xC3\xA4</Note>"), std::string::npos) << sent;
    EXPECT_EQ(c.parameters[1].size, dz::text::utf8Length(sent));
    EXPECT_EQ(c.parameters[2].name, "@TestID");
    EXPECT_EQ(c.parameters[2].type, dz::db::adDouble);
    EXPECT_EQ(c.parameters[2].direction, dz::db::adParamOutput);
    // Both documents are logged at level 2.
    const std::string log = st->log();
    EXPECT_NE(log.find("\r\nXML From Tester\r\n" + raw + "\r\n"), std::string::npos);
    EXPECT_NE(log.find("\r\nTransformed XML\r\n"), std::string::npos);
}

TEST_F(Results10, LookupBatchHoldsEachValueAsOneLiteral) {
    start(false, true);
    dz::modVariables().StationName = "ST'1; drop table x--";
    EXPECT_EQ(t->SaveResult(doc(dut("O'Neil", "PASS"))), 0);
    auto lookups = callsTo(*st, "uspGetTestResultConfig");
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(lookups[0].type, dz::db::adCmdText);
    EXPECT_EQ(lookups[0].connectionString, st->masterConnectString());
    EXPECT_EQ(lookups[0].text,
              "if exists (select 1 from sysobjects where name='uspGetTestResultConfig') exec uspGetTestResultConfig "
              "'O''Neil','ST''1; drop table x--' else select 0 Method, '' Dest");
}

// ---- delivery methods ---------------------------------------------------------------

TEST_F(Results10, DatabaseMethodSendsTheWholeDocument) {
    start();
    dz::modVariables().ResultBufferFolder = "/old";
    st->db->on("uspGetTestResultConfig", Answer::rowsOf({"Method", "Dest"}, {{0, ""}}));  // no procedure
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS"))), 0);
    EXPECT_EQ(dz::modVariables().ResultBufferFolder, "");
    auto saves = callsTo(*st, "uspTestSaveResult");
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(payload(saves[0]).rfind("<r:Result", 0), 0u) << payload(saves[0]);
}

TEST_F(Results10, TempFileSendsTheHeaderAndBuffersTheDocument) {
    start();
    TempDir folder;
    method("TempFile", folder.path() + "/");  // a final slash is not doubled
    st->db->on("uspTestSaveResult", stored(0, 4711.4));
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS"))), 0);
    auto saves = callsTo(*st, "uspTestSaveResult");
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(payload(saves[0]), "<Header SN=\"SN1\"/>\n");
    const std::string file = folder.path() + "/SN1_4711.xml";
    ASSERT_TRUE(fs::exists(file));
    const std::string body = dz::test::readFile(file);
    EXPECT_EQ(body.rfind("<r:Result", 0), 0u);
    EXPECT_EQ(body.substr(body.size() - 2), "\r\n");
    EXPECT_TRUE(st->logged("Buffered result into " + file));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);  // no temp left

    // Negative and zero test IDs.
    method("TempFile", folder.path());
    st->db->on("uspTestSaveResult", stored(0, -5));
    st->db->on("uspTestSaveResult", stored(0, 0));
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS"))), 0);
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS"))), 0);
    EXPECT_TRUE(fs::exists(folder.path() + "/SN1_N-5.xml"));
    EXPECT_TRUE(fs::exists(folder.path() + "/SN1_0.xml"));
}

TEST_F(Results10, TempFileWithoutTheFolderStoresNothing) {
    start();
    method("TempFile", spare.file("missing"));
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS"))), -9999);
    EXPECT_TRUE(callsTo(*st, "uspTestSaveResult").empty());
    EXPECT_TRUE(st->logged("SaveResult10: Network Folder NOT EXISTS>> " + spare.file("missing")));
    // A lower-case method name is the database method.
    method("tempfile", spare.file("missing"));
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS"))), 0);
    EXPECT_EQ(dz::modVariables().ResultBufferFolder, "");
}

TEST_F(Results10, TempFileKeepsTheDatabaseStatus) {
    start();
    TempDir folder;
    method("TempFile", folder.path());
    st->db->on("uspTestSaveResult", stored(3, 1));  // refused: no buffer file
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS"))), 3);
    EXPECT_TRUE(fs::is_empty(folder.path()));
    // The folder is a plain file: found, but the buffer file cannot be written.
    spare.write("plain", "x");
    method("TempFile", spare.file("plain"));
    st->db->on("uspTestSaveResult", stored(0, 8));
    st->clearLog();
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS"))), 0);
    auto m = st->messages();
    ASSERT_GE(m.size(), 5u);
    EXPECT_EQ(m[m.size() - 5], "Version = SaveResult10");
    EXPECT_EQ(m[m.size() - 4], "Function = CreateFileInFolder ");
    EXPECT_EQ(m[m.size() - 3].rfind("Error = ", 0), 0u);
    EXPECT_EQ(m[m.size() - 2], "Folder Path = " + spare.file("plain"));
    EXPECT_EQ(m.back(), "SaveResult10 returned value=-9999");
}

TEST_F(Results10, OtherMethodsSendAnEmptyPayload) {
    start();
    dz::modVariables().ResultBufferFolder = "/kept";
    method("MSMQ", "q");
    st->db->on("uspGetTestResultConfig", Answer::rowsOf({"Method", "Dest"}, {}));
    st->db->on("uspGetTestResultConfig", Answer::failure("Invalid column name 'Dest'."));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(t->SaveResult(doc(dut("SN1", "PASS"))), 0);
    auto saves = callsTo(*st, "uspTestSaveResult");
    ASSERT_EQ(saves.size(), 3u);
    for (const auto& c : saves) {
        EXPECT_EQ(payload(c), "");
        EXPECT_EQ(c.param("@strXML")->size, 0);
    }
    EXPECT_EQ(dz::modVariables().ResultBufferFolder, "/kept");
    EXPECT_TRUE(st->logged("No data returned from uspGetTestResultConfig"));
    EXPECT_TRUE(st->logged("Invalid column name 'Dest'."));
    EXPECT_TRUE(st->logged("Failed to retrieve slaved info from uspGetTestResultConfig"));
}

TEST_F(Results10, UnitIdNeverLeavesTheBufferFolder) {
    start();
    TempDir folder;
    method("TempFile", folder.path() + "/inner");
    fs::create_directory(folder.path() + "/inner");
    st->db->on("uspTestSaveResult", stored(0, 1));
    for (const char* id : {"../../evil", "..", "a/b\\c", ".hidden"})
        EXPECT_EQ(t->SaveResult(doc(dut(id, "PASS"))), 0) << id;
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(folder.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"_._.._evil_1.xml", "_._1.xml", "_hidden_1.xml", "a_b_c_1.xml",
                                               "inner"}));
}

// ---- failure classes and the resend file -------------------------------------------

TEST_F(Results10, NetworkClassFailuresAreKeptForResend) {
    start(true);
    const std::pair<const char*, int> cases[] = {{"[DBNETLIB]SQL Server does not exist or access denied.", 9001},
                                                 {"[DBNETLIB]General network error. Check your network.", 9002},
                                                 {"Timeout expired", 9003}};
    for (auto [description, status] : cases) {
        fs::remove(resendFile);
        st->db->on("uspTestSaveResult", Answer::failure(description));
        const std::string raw = doc("<DUT ID='SN1' STATUS='FAIL'><Note>" + std::to_string(status) + "</Note></DUT>");
        EXPECT_EQ(t->SaveResult(raw), status);
        EXPECT_EQ(dz::test::readFile(resendFile), raw + "\r\n");
        EXPECT_TRUE(st->logged(description));
        EXPECT_TRUE(st->logged("Save result into " + resendFile + " for resend"));
    }
    // Any other failure is not kept.
    fs::remove(resendFile);
    st->db->on("uspTestSaveResult", Answer::failure("Could not find stored procedure 'uspTestSaveResult'."));
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "FAIL"))), 9999);
    EXPECT_FALSE(fs::exists(resendFile));
}

TEST_F(Results10, WithoutResendOnNetErrNothingIsKept) {
    start(false);
    st->db->on("uspTestSaveResult", Answer::failure("General network error"));
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "FAIL"))), 9002);
    EXPECT_FALSE(fs::exists(resendFile));
}

TEST_F(Results10, UnwritableResendFileGives9998) {
    start(true);
    st->db->on("uspTestSaveResult", Answer::failure("General network error"));
    // Its folder cannot be created under a plain file.
    spare.write("plain", "x");
    setenv("DEZOZEVO_RESEND_FILE", spare.file("plain/DEZozevo_Resend.xml").c_str(), 1);
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "FAIL"))), 9998);
    // A link planted at the path is neither followed nor replaced.
    setenv("DEZOZEVO_RESEND_FILE", resendFile.c_str(), 1);
    fs::create_directories(fs::path(resendFile).parent_path());
    spare.write("target", "precious");
    fs::create_symlink(spare.file("target"), resendFile);
    EXPECT_EQ(t->SaveResult(doc(dut("SN1", "FAIL"))), 9998);
    EXPECT_TRUE(fs::is_symlink(resendFile));
    EXPECT_EQ(spare.read("target"), "precious");
}

TEST_F(Results10, AFailedWriteLeavesTheOldResendFileWhole) {
    start(true);
    fs::create_directories(fs::path(resendFile).parent_path());
    dz::test::writeFile(resendFile, "old result\r\n");
    st->db->on("uspTestSaveResult", Answer::failure("General network error"));
    const std::string big = doc(dut("SN1", "FAIL") + "<!--" + std::string(20000, 'x') + "-->");
    // A file size limit stands for a full disk.
    struct rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    const int32_t status = t->SaveResult(big);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(status, 9998);
    EXPECT_EQ(dz::test::readFile(resendFile), "old result\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(resendFile).parent_path()), fs::directory_iterator()),
              1);  // no temp left
}

// ---- the resend loop through GetUnitInfo ----------------------------------------------

struct Resend : Results10 {
    std::string out;
    void unitAnswers() {
        st->db->on("uspGetUnitInfo", Answer::rowsOf({"strXML", "Seq"}, {{"<UNITINFO/>", 1}}));
    }
    int32_t query() {
        out.clear();
        return t->GetUnitInfo("<Unit SerialNumber='SN1'/>", out);
    }
    void plant(const std::string& text) {
        fs::create_directories(fs::path(resendFile).parent_path());
        dz::test::writeFile(resendFile, text);
    }
};

TEST_F(Resend, ANetworkFailureLosesNothing) {
    start(true);
    unitAnswers();
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
    auto saves = callsTo(*st, "uspTestSaveResult");
    ASSERT_EQ(saves.size(), 2u);
    EXPECT_EQ(payload(saves[1]), payload(saves[0]));
    EXPECT_TRUE(st->logged("Resend Last Result"));
    EXPECT_NE(st->log().find("\r\nXML From Tester\r\n" + raw + "\r\n\r\n"), std::string::npos);  // line end included
    auto calls = st->db->calls();
    EXPECT_EQ(calls.back().text, "uspGetUnitInfo");
}

TEST_F(Resend, FailingAgainAddsALineEndAndBlocksTheQuery) {
    start(true);
    unitAnswers();
    plant("<Test><DUT ID='SN1' STATUS='FAIL'/></Test>\r\n");
    st->db->on("uspTestSaveResult", Answer::failure("Timeout expired"));
    EXPECT_EQ(query(), 9003);
    EXPECT_EQ(out, "");
    EXPECT_EQ(dz::test::readFile(resendFile), "<Test><DUT ID='SN1' STATUS='FAIL'/></Test>\r\n\r\n");
    EXPECT_TRUE(callsTo(*st, "uspGetUnitInfo").empty());
}

TEST_F(Resend, AnInvalidResultKeepsBlocking) {
    start(true);
    unitAnswers();
    plant(doc(dut("SN1", "FAIL") + "<Extra/>") + "\r\n");
    EXPECT_EQ(query(), 10);
    EXPECT_EQ(query(), 10);
    EXPECT_TRUE(fs::exists(resendFile));
    EXPECT_EQ(st->db->callCount(), 0u);
}

TEST_F(Resend, ANegativeStatusLetsTheQueryGoOn) {
    start(true);
    unitAnswers();
    plant(doc(dut("SN1", "PASS")) + "\r\n");
    method("TempFile", spare.file("missing"));
    EXPECT_EQ(query(), 0);
    EXPECT_EQ(out, "<UNITINFO/>");
    EXPECT_TRUE(fs::exists(resendFile));
    EXPECT_EQ(callsTo(*st, "uspGetUnitInfo").size(), 1u);
}

TEST_F(Resend, OnlyWhenSwitchedOnAndPending) {
    start(false);
    unitAnswers();
    plant(doc(dut("SN1", "FAIL")) + "\r\n");
    EXPECT_EQ(query(), 0);
    EXPECT_TRUE(fs::exists(resendFile));
    EXPECT_TRUE(callsTo(*st, "uspTestSaveResult").empty());

    fs::remove(resendFile);
    start(true);
    unitAnswers();
    EXPECT_EQ(query(), 0);
    EXPECT_FALSE(st->logged("Resend Last Result"));
    EXPECT_EQ(st->db->callCount(), 1u);
}

TEST_F(Resend, ALinkAtTheResendPathIsNotRead) {
    start(true);
    unitAnswers();
    spare.write("target", doc(dut("SN1", "FAIL")));
    fs::create_directories(fs::path(resendFile).parent_path());
    fs::create_symlink(spare.file("target"), resendFile);
    EXPECT_EQ(query(), 9997);
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_TRUE(fs::is_symlink(resendFile));
    auto m = st->messages();
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(m.back().rfind("Cannot read the resend file " + resendFile, 0), 0u) << m.back();
}

}  // namespace
