// Result upload on generation 10: checks, delivery methods, buffer folder,
// failure classes and the resend file with its resend loop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/Context.h"
#include "platform/text.h"
#include "support/station.h"

namespace fs = std::filesystem;
using dz::db::Value;
using dz::test::TempDir;
using Answer = dz::db::ScriptedDriver::Answer;
using Call = dz::db::ScriptedDriver::Call;
using Lines = std::vector<std::string>;
using Files = std::map<std::string, std::string>;  // resend files by suffix: "" the resend file, ".1", ...

namespace {

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
        st->home.write("SaveResult.xsd", dz::test::kResultSchema);
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
    void plant(const std::string& text, const std::string& suffix = "") const {
        dz::test::writeFile(resendFile + suffix, text);
    }
    // The resend folder: each file's name after the resend file's own, and its content.
    Files kept() const {
        Files files;
        const fs::path dir = fs::path(resendFile).parent_path();
        if (fs::exists(dir))
            for (const auto& e : fs::directory_iterator(dir))
                files[e.path().filename().string().substr(fs::path(resendFile).filename().string().size())] =
                    fs::is_regular_file(e.path()) ? dz::test::readFile(e.path()) : "<folder>";
        return files;
    }
    int32_t query() {  // a unit query, which first resends a pending result
        out.clear();
        return t->GetUnitInfo("<Unit SerialNumber='SN1'/>", out);
    }
};

// ---- checks, the procedure and the lookup batch ------------------------------------

// Documents that are refused or not stored: nothing sent, nothing kept for resend.
TEST_F(Results10, RefusedDocumentsStoreNothing) {
    const std::string badInNamespace = "<r:Result xmlns:r='urn:SaveResult-schema'><Bad/></r:Result>";
    const std::pair<dz::com::Variant, int32_t> cases[] = {
        {doc(dut("SN1", "PASS") + dut("SN2", "terminate")), 0},
        {doc("<DUT/>"), 9999},  // passed, but no unit ID
        {dz::com::Variant(dz::com::Null{}), 9999},
        {std::string("not xml"), 10},                // the tester's document unreadable
        {badInNamespace, 10},                        // or invalid against its namespace's schema
        {doc(dut("SN1", "FAIL") + "<Extra/>"), 10},  // invalid once transformed
    };
    start(true);
    for (const auto& [document, status] : cases) {
        SCOPED_TRACE(status);
        st->clearLog();
        EXPECT_EQ(t->SaveResult(document), status);
        const Lines lines = st->messages();
        if (status == 10) {  // "<code> <reason>" at level 1
            ASSERT_FALSE(lines.empty());
            EXPECT_NE(std::atol(lines.back().c_str()), 0) << lines.back();
            EXPECT_NE(lines.back().find(' '), std::string::npos);
        }
        EXPECT_EQ(st->logged("Result is not saved to database"), status == 0);
    }
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_TRUE(kept().empty());
}

TEST_F(Results10, PassWordsDecideWhetherTheDeliveryMethodIsAsked) {
    start();
    method(0, "");
    // Pass words in any case, or no STATUS, ask for the method; a trailing blank is not a pass word.
    for (auto [duts, lookups] : {std::pair{dut("SN1", "passed") + dut("SN2", "Succeed"), 1u},
                                 {dut("SN1", "PASS") + dut("SN2", "PASSED "), 0u},
                                 {std::string("<DUT ID='SN9'/>"), 1u}}) {
        st->db->clearCalls();
        EXPECT_EQ(t->SaveResult(doc(duts)), 0);
        EXPECT_EQ(calls("uspGetTestResultConfig").size(), lookups) << duts;
        ASSERT_EQ(calls("uspTestSaveResult").size(), 1u);
    }
}

TEST_F(Results10, ProcedureParametersAndTheLookupBatch) {
    start(false, true);
    method(0, "");
    st->db->on("uspTestSaveResult", Answer::status(7));
    const std::string raw = doc("<DUT ID='SN1' STATUS='FAIL'><Note>it's O''K \xC3\xA4</Note></DUT>");
    EXPECT_EQ(t->SaveResult(raw), 7);
    EXPECT_TRUE(st->logged("SaveResult10 returned value=7"));
    EXPECT_NE(st->log().find("\r\nXML From Tester\r\n" + raw + "\r\n"), std::string::npos);
    ASSERT_EQ(st->db->callCount(), 1u);
    const Call c = st->db->calls()[0];
    EXPECT_EQ(dz::test::command(c), "uspTestSaveResult StoredProc 30");
    EXPECT_EQ(c.connectionString, dz::threadContext().connections.working);  // the slave
    EXPECT_NE(c.connectionString, st->masterConnectString());
    const std::string sent = payload(c);
    EXPECT_NE(sent.find("<Note>it''s O''''K \xC3\xA4</Note>"), std::string::npos) << sent;
    EXPECT_EQ(dz::test::params(c),
              (Lines{"return Integer Return 0 0",
                     "@strXML LongVarChar In " + std::to_string(dz::text::utf8Length(sent)) + " '" + sent + "'",
                     "@TestID Double Out 0 Null"}));
    dz::threadContext().settings.station = "ST'1; drop table x--";
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

// What the lookup answers for a passed result: what is sent, the status, what is kept for resend.
TEST_F(Results10, DeliveryMethodLookupOutcomes) {
    const std::string whole = "whole";
    struct Case {
        Answer lookup;
        int32_t status;
        std::string sent;  // "" an empty payload, "whole" the transformed text, "-" nothing
        bool kept;
    } cases[] = {
        {Answer::rowsOf({"Method", "Dest"}, {{0, ""}}), 0, whole, false},
        {Answer::rowsOf({"Method", "Dest"}, {{"tempfile", "/x"}}), 0, whole, false},  // letter case counts
        {Answer::rowsOf({"Method", "Dest"}, {{"MSMQ", "q"}}), 0, "", false},
        {Answer::rowsOf({"Method", "Dest"}, {}), 0, "", false},  // no row: 666
        {Answer::failure("Invalid column name 'Dest'."), 9999, "-", false},
        {Answer::failure("[DBNETLIB]General network error. Check your network."), 9002, "-", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.sent);
        start(true);
        fs::remove_all(fs::path(resendFile).parent_path());
        st->db->on("uspGetTestResultConfig", c.lookup);
        EXPECT_EQ(t->SaveResult(kPass), c.status);
        auto saves = calls("uspTestSaveResult");
        ASSERT_EQ(saves.size(), c.sent == "-" ? 0u : 1u);
        if (c.sent == whole) {
            EXPECT_EQ(payload(saves[0]).rfind("<r:Result", 0), 0u);
        } else if (c.sent.empty()) {
            EXPECT_EQ(dz::test::params(saves[0])[1], "@strXML LongVarChar In 0 ''");
        }
        EXPECT_EQ(kept().size(), c.kept ? 1u : 0u);
        EXPECT_EQ(dz::test::readFile(resendFile), c.kept ? kPass + "\r\n" : "");
        EXPECT_EQ(st->logged("Failed to retrieve slaved info from uspGetTestResultConfig"), c.status != 0);
    }
}

TEST_F(Results10, TempFileSendsTheHeaderAndBuffersTheDocumentOrStoresNothing) {
    start();
    TempDir folder;
    method("TempFile", folder.path() + "/");  // a final slash is not doubled
    Answer first = Answer::status(0);
    first.outputs["@TestID"] = Value(4711.4);
    Lines staged;  // while the header is stored, the whole body is already on the disk
    first.effect = [&] {
        for (const auto& e : fs::directory_iterator(folder.path()))
            staged.push_back(e.path().filename().string() + " " + dz::test::readFile(e.path()));
    };
    st->db->on("uspTestSaveResult", first);
    stored(0, -5);
    stored(0, 0);
    stored(3, 1);  // refused by the database: no buffer file
    st->db->on("uspTestSaveResult", Answer::failure("General network error"));
    for (int status : {0, 0, 0, 3, 9002}) EXPECT_EQ(t->SaveResult(kPass), status);
    EXPECT_EQ(payload(calls("uspTestSaveResult")[0]), "<Header SN=\"SN1\"/>\n");
    const std::string body = folder.read("SN1_4711.xml");
    EXPECT_EQ(body.rfind("<r:Result", 0), 0u);
    EXPECT_EQ(body.substr(body.size() - 2), "\r\n");
    ASSERT_EQ(staged.size(), 1u);
    EXPECT_TRUE(staged[0].starts_with("SN1_pending-") && staged[0].ends_with(".tmp " + body)) << staged[0];
    EXPECT_TRUE(st->logged("Buffered result into " + folder.file("SN1_4711.xml")));
    EXPECT_TRUE(folder.exists("SN1_N-5.xml") && folder.exists("SN1_0.xml"));
    EXPECT_EQ(filesIn(folder.path()), 3);  // no temporary file left

    // The body cannot be written once the header is stored: -9999, and the body stays.
    stored(0, 8);
    fs::create_directory(folder.file("SN1_8.xml"));
    st->clearLog();
    EXPECT_EQ(t->SaveResult(kPass), -9999);
    for (const std::string& line : Lines{"Version = SaveResult10", "Function = CreateFileInFolder ",
                                         "Folder Path = " + folder.path() + "/", "SaveResult10 returned value=-9999"})
        EXPECT_TRUE(st->logged(line)) << line;
    Lines left;
    for (const auto& e : fs::directory_iterator(folder.path()))
        if (e.path().filename().string().starts_with("SN1_pending-")) left.push_back(dz::test::readFile(e.path()));
    EXPECT_EQ(left, Lines{body});

    // No folder, or no file can be written in it: nothing stored.
    spare.write("plain", "x");
    for (const std::string& dest : {spare.file("plain"), spare.file("missing")}) {
        method("TempFile", dest);
        st->db->clearCalls();
        st->clearLog();
        EXPECT_EQ(t->SaveResult(kPass), -9999);
        EXPECT_TRUE(calls("uspTestSaveResult").empty());
        EXPECT_TRUE(st->logged(dest == spare.file("plain") ? "Function = CreateFileInFolder "
                                                           : "SaveResult10: Network Folder NOT EXISTS>> " + dest));
    }
}

TEST_F(Results10, UnitIdNeverLeavesTheBufferFolderAndAlwaysFitsAName) {
    start();
    TempDir folder;
    fs::create_directory(folder.file("inner"));
    method("TempFile", folder.file("inner"));
    stored(0, 1);
    const std::string longId(300, 'x');
    std::string wide;
    for (int i = 0; i < 150; ++i) wide += "\xC3\xA4";  // 300 bytes of two-byte characters
    const std::string ids[] = {"../../evil", "..", "a/b\\c", ".hidden", longId, longId + "z", wide};
    for (const std::string& id : ids) EXPECT_EQ(t->SaveResult(doc(dut(id, "PASS"))), 0) << id.size();
    Lines names;
    for (const auto& e : fs::recursive_directory_iterator(folder.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 8u);
    EXPECT_EQ(Lines(names.begin(), names.begin() + 4),
              (Lines{"_._.._evil_1.xml", "_._1.xml", "_hidden_1.xml", "a_b_c_1.xml"}));
    EXPECT_EQ(names[4], "inner");
    for (size_t i = 5; i < 8; ++i) {  // the long IDs: shortened, distinct, whole characters
        EXPECT_LE(names[i].size(), 255u);
        EXPECT_TRUE(names[i].ends_with("_1.xml"));
    }
    EXPECT_TRUE(names[5].starts_with("xxx") && names[6].starts_with("xxx") && names[5] != names[6]);
    EXPECT_TRUE(names[7].starts_with("\xC3\xA4"));
    EXPECT_NE(names[7][names[7].find('~') - 1], '\xC3');
}

// ---- failure classes and the resend files --------------------------------------------

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
    EXPECT_EQ(kept(), (Files{{"", "old result\r\n"}}));  // no temporary file left

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

// ---- the resend queue through GetUnitInfo ----------------------------------------------

TEST_F(Results10, NetworkFailuresInARowAreAllKeptAndResentInOrder) {
    start(true);
    const std::string r1 =
        "<Test>\r\n  <DUT ID='SN1' STATUS='FAIL'><Note>it's \xE2\x82\xAC &amp; \"q\"</Note></DUT>\r\n</Test>";
    const std::string r2 = doc(dut("SN2", "FAIL")), r3 = doc(dut("SN3", "FAIL")), r4 = doc(dut("SN4", "FAIL"));
    const Answer down = Answer::failure("[DBNETLIB]General network error. Check your network.");
    for (int i = 0; i < 3; ++i) st->db->on("uspTestSaveResult", down);
    for (const std::string& r : {r1, r2, r3}) EXPECT_EQ(t->SaveResult(r), 9002);
    EXPECT_EQ(kept(), (Files{{"", r1 + "\r\n"}, {".1", r2 + "\r\n"}, {".2", r3 + "\r\n"}}));
    EXPECT_TRUE(st->logged("Save result into " + resendFile + ".2 for resend"));

    // r1 is stored, r2 fails again: the query stops there, r2 moves into the resend file, no copy is added.
    st->db->on("uspTestSaveResult", Answer::status(0));
    st->db->on("uspTestSaveResult", down);
    EXPECT_EQ(query(), 9002);
    EXPECT_EQ(kept(), (Files{{"", r2 + "\r\n"}, {".2", r3 + "\r\n"}}));
    EXPECT_TRUE(calls("uspGetUnitInfo").empty());

    EXPECT_EQ(t->SaveResult(r4), 9002);  // a new one goes last
    st->db->clearCalls();
    st->db->on("uspTestSaveResult", Answer::status(0));
    EXPECT_EQ(query(), 0);
    EXPECT_EQ(out, "<UNITINFO/>");
    EXPECT_TRUE(kept().empty());
    Lines sent;
    for (const Call& c : calls("uspTestSaveResult")) sent.push_back(payload(c).substr(payload(c).find("ID=") + 4, 3));
    EXPECT_EQ(sent, (Lines{"SN2", "SN3", "SN4"}));
    EXPECT_NE(st->log().find("\r\nXML From Tester\r\n" + r4 + "\r\n\r\n"), std::string::npos);  // line end included
    EXPECT_EQ(st->db->calls().back().text, "uspGetUnitInfo");
}

TEST_F(Results10, ResendStepOutcomes) {
    const Files failed = {{"", kFail + "\r\n"}}, passed = {{"", kPass + "\r\n"}},
                invalid = {{"", doc(dut("SN1", "FAIL") + "<Extra/>") + "\r\n"}}, folder = {{"", "<folder>"}};
    struct Case {
        const char* name;
        bool resendOnNetErr;
        Files planted;  // and left as they were
        int32_t status;
        size_t saves, queries;
    } cases[] = {
        {"failing again leaves it as it was and blocks", true, failed, 9003, 1, 0},
        {"a negative status lets the query go on", true, passed, 0, 0, 1},
        {"an invalid result keeps blocking", true, invalid, 10, 0, 0},
        {"switched off", false, failed, 0, 0, 1},
        {"nothing pending", true, {}, 0, 0, 1},
        {"a folder holds nothing", true, folder, 0, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.resendOnNetErr);
        fs::remove_all(fs::path(resendFile).parent_path());
        for (const auto& [suffix, text] : c.planted) {
            if (text == "<folder>")
                fs::create_directories(resendFile + suffix);
            else
                plant(text, suffix);
        }
        st->db->on("uspTestSaveResult", Answer::failure("Timeout expired"));
        method("TempFile", spare.file("missing"));  // a passed result: -9999 before any upload
        EXPECT_EQ(query(), c.status);
        EXPECT_EQ(out, c.status == 0 ? "<UNITINFO/>" : "");
        EXPECT_EQ(kept(), c.planted);
        EXPECT_EQ(calls("uspTestSaveResult").size(), c.saves);
        EXPECT_EQ(calls("uspGetUnitInfo").size(), c.queries);
        const bool replayed = c.resendOnNetErr && !c.planted.empty() && c.planted != folder;
        EXPECT_EQ(st->logged("Resend Last Result"), replayed);
    }
    EXPECT_TRUE(st->logged(resendFile + " is a folder, not a kept result: passed over"));
    st->db->on("uspTestSaveResult", Answer::failure("Timeout expired"));
    EXPECT_EQ(t->SaveResult(kFail), 9998);  // nor can a result be kept there
}

// A stored result whose file cannot be removed: 9997, so that it is not stored again unnoticed.
TEST_F(Results10, ARemovalThatFailsIsReported) {
    start(true);
    plant(kFail + "\r\n");
    Answer stored = Answer::status(0);
    stored.effect = [&] {  // something takes the file's place meanwhile
        fs::rename(resendFile, resendFile + ".away");
        fs::create_directory(resendFile);
    };
    st->db->on("uspTestSaveResult", stored);
    EXPECT_EQ(query(), 9997);
    EXPECT_EQ(st->messages().back().rfind("Cannot delete the resend file " + resendFile + ": ", 0), 0u)
        << st->messages().back();
    EXPECT_TRUE(calls("uspGetUnitInfo").empty());
}

// A temporary file still being written by a live process is left alone.
TEST_F(Results10, OnlyAbandonedTemporaryFilesAreSwept) {
    start(true);
    plant("torn", ".tmp-dead01");
    plant("busy", ".tmp-live01");
    const int fd = ::open((resendFile + ".tmp-live01").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    // flock locks belong to the open file: a second open sees it held.
    EXPECT_EQ(query(), 0);
    ::close(fd);
    EXPECT_EQ(kept(), (Files{{".tmp-live01", "busy"}}));
}

}  // namespace
