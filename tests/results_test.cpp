// Result upload on generation 10 (checks, delivery methods, buffer folder,
// failure classes, the resend queue's use) and on generation 20 and later.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "component/ResendQueue.h"
#include "component/Tester.h"
#include "component/Context.h"
#include "platform/text.h"
#include "support/station.h"

namespace fs = std::filesystem;
using dz::db::Value;
using dz::test::TempDir;
using Answer = dz::db::ScriptedDriver::Answer;
using Call = dz::db::ScriptedDriver::Call;
using Lines = std::vector<std::string>;
using Planted = std::vector<std::pair<std::string, std::string>>;  // suffix after the queue file's name, text

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
const std::string kResendIni = "[ERROR]\nResendOnNetErr=yes\n";
std::string doc20(const std::string& duts) { return "<r:Result xmlns:r='urn:SaveResult-schema'>" + duts + "</r:Result>"; }
const std::string kPass20 = doc20("<DUT ID='SN1' STATUS='PASS'/>");

std::string payload(const Call& c) { return c.param("@strXML")->value.toText(); }
long filesIn(const std::string& dir) { return std::distance(fs::directory_iterator(dir), fs::directory_iterator()); }

struct Results : ::testing::Test {
    TempDir spare;  // the resend file's folder and buffer folders
    std::unique_ptr<dz::test::Station> st;
    std::unique_ptr<dz::Tester> t;
    std::string resendFile = spare.file("state/DEZozevo_Resend.xml");
    std::string out;

    Results() { setenv("DEZOZEVO_RESEND_FILE", resendFile.c_str(), 1); }
    ~Results() override {
        t.reset();
        unsetenv("DEZOZEVO_RESEND_FILE");
    }

    // A fresh component folder with the result schema and style sheets.
    void station(const std::string& ini) {
        t.reset();
        st.reset();  // restores the component folder before the next one is set
        st = std::make_unique<dz::test::Station>(ini);
        st->home.write("SaveResult.xsd", dz::test::kResultSchema);
        st->home.write("DEZozevo.xsl", kResultXsl);
        st->home.write("GetHeader.xsl", kHeaderXsl);
    }
    void start(bool resendOnNetErr = false, bool slave = false) {
        station(resendOnNetErr ? kResendIni : "");
        st->serveGeneration(10, !slave);
        if (slave)  // a slave on the same scripted server, told apart by its database
            st->db->on("uspGetSlaveInfo", Answer::rowsOf({"Error", "MasterSlaveSolution", "ServerName", "DatabaseName",
                                                          "UserName", "UserPassword"},
                                                         {{0, 1, st->server, "SlaveDb", "su", ""}}));
        st->db->on("uspGetUnitInfo", Answer::rowsOf({"strXML", "Seq"}, {{"<UNITINFO/>", 1}}));
        t = dz::test::startTester(*st);
    }
    void start20(const std::string& ini = "") {
        station(kResendIni + ini + "[CUSTOMIZATION]\nSPToSaveTestResult=uspSave20\n");
        st->serveGeneration(22);
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
    // The kept results' texts in the order they are sent; a folder as "<folder>".
    Lines kept() const {
        Lines texts;
        const dz::ResendQueue q(resendFile);
        for (const std::string& n : q.names()) {
            const std::string entry = q.folder() + "/" + n;
            texts.push_back(fs::is_directory(entry) ? "<folder>" : dz::test::readFile(entry));
        }
        return texts;
    }
    Lines rejected() const {
        Lines texts;
        const fs::path dir = fs::path(resendFile).parent_path() / "rejected";
        if (fs::exists(dir))
            for (const auto& e : fs::directory_iterator(dir)) texts.push_back(dz::test::readFile(e.path()));
        return texts;
    }
    int32_t query() {  // a unit query, which first resends a pending result
        out.clear();
        return t->GetUnitInfo("<Unit SerialNumber='SN1'/>", out);
    }
};

// ---- checks, the procedure and the lookup batch ------------------------------------

// Documents that are refused or not stored: nothing sent, nothing kept for resend.
TEST_F(Results, RefusedDocumentsStoreNothing) {
    const std::pair<dz::com::Variant, int32_t> cases[] = {
        {doc(dut("SN1", "PASS") + dut("SN2", "terminate")), 0},
        {doc("<DUT/>"), 9999},  // passed, but no unit ID
        {dz::com::Variant(dz::com::Null{}), 9999},
        {doc20("<Bad/>"), 10},                       // invalid against its namespace's schema
        {doc(dut("SN1", "FAIL") + "<Extra/>"), 10},  // invalid once transformed
    };
    start(true);
    for (const auto& c : cases) EXPECT_EQ(t->SaveResult(c.first), c.second) << "row " << &c - cases;
    EXPECT_EQ(st->db->callCount(), 0u);
    EXPECT_TRUE(kept().empty());
}

TEST_F(Results, PassWordsDecideWhetherTheDeliveryMethodIsAsked) {
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

TEST_F(Results, ProcedureParametersAndTheLookupBatch) {
    start(false, true);
    method(0, "");
    st->db->on("uspTestSaveResult", Answer::status(7));
    const std::string raw = doc("<DUT ID='SN1' STATUS='FAIL'><Note>it's O''K \xC3\xA4</Note></DUT>");
    EXPECT_EQ(t->SaveResult(raw), 7);
    ASSERT_EQ(st->db->callCount(), 1u);
    const Call c = st->db->calls()[0];
    EXPECT_EQ(dz::test::command(c), "uspTestSaveResult StoredProc 30");
    EXPECT_EQ(c.connectionString, dz::threadContext().connections.working);  // the slave
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

// What the delivery method lookup, then the procedure, answer for a passed
// result: the status, what is sent, whether it is kept for resend.
TEST_F(Results, UploadOutcomes) {
    const auto row = [](const Value& m, const char* dest) { return Answer::rowsOf({"Method", "Dest"}, {{m, dest}}); };
    const Answer ok = Answer::status(0), net = Answer::failure("[DBNETLIB]General network error. Check your network.");
    struct Case {
        bool resendOnNetErr;
        Answer lookup, save;
        int32_t status;
        std::string sent;  // "" an empty payload, "whole" the transformed text, "-" nothing
        bool kept;
    } cases[] = {
        {true, row(0, ""), ok, 0, "whole", false},
        {true, row("MSMQ", "q"), ok, 0, "", false},
        {true, Answer::rowsOf({"Method", "Dest"}, {}), ok, 0, "", false},  // no row: 666
        {true, Answer::failure("Invalid column name 'Dest'."), ok, 9999, "-", false},
        {true, net, ok, 9002, "-", true},
        {true, row(0, ""), Answer::failure("[DBNETLIB]SQL Server does not exist or access denied."), 9001, "whole",
         true},
        {true, row(0, ""), Answer::failure("Could not find stored procedure 'uspTestSaveResult'."), 9999, "whole",
         false},
        {false, row(0, ""), Answer::failure("Timeout expired"), 9003, "whole", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        start(c.resendOnNetErr);
        fs::remove_all(fs::path(resendFile).parent_path());
        st->db->on("uspGetTestResultConfig", c.lookup);
        st->db->on("uspTestSaveResult", c.save);
        EXPECT_EQ(t->SaveResult(kPass), c.status);
        auto saves = calls("uspTestSaveResult");
        ASSERT_EQ(saves.size(), c.sent == "-" ? 0u : 1u);
        if (c.sent == "whole") {
            EXPECT_EQ(payload(saves[0]).rfind("<r:Result", 0), 0u);
        } else if (c.sent.empty()) {
            EXPECT_EQ(dz::test::params(saves[0])[1], "@strXML LongVarChar In 0 ''");
        }
        EXPECT_EQ(kept(), c.kept ? Lines{kPass + "\r\n"} : Lines{});
    }
}

TEST_F(Results, TempFileSendsTheHeaderAndBuffersTheDocumentOrStoresNothing) {
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
    stored(3, 1);  // refused by the database: no buffer file
    st->db->on("uspTestSaveResult", Answer::failure("General network error"));
    for (int status : {0, 0, 3, 9002}) EXPECT_EQ(t->SaveResult(kPass), status);
    EXPECT_EQ(payload(calls("uspTestSaveResult")[0]), "<Header SN=\"SN1\"/>\n");
    const std::string body = folder.read("SN1_4711.xml");
    EXPECT_EQ(body.rfind("<r:Result", 0), 0u);
    EXPECT_EQ(body.substr(body.size() - 2), "\r\n");
    ASSERT_EQ(staged.size(), 1u);
    EXPECT_TRUE(staged[0].starts_with("SN1_pending-") && staged[0].ends_with(".tmp " + body)) << staged[0];
    EXPECT_TRUE(folder.exists("SN1_N-5.xml"));
    EXPECT_EQ(filesIn(folder.path()), 2);  // no temporary file left

    // The body cannot be put in place once the header is stored (its name is
    // taken, or the database gave no test ID): -9999, and the body stays.
    fs::create_directory(folder.file("SN1_8.xml"));
    for (const Value& id : {Value(8), Value()}) {
        Answer stored = Answer::status(0);
        stored.outputs["@TestID"] = id;
        st->db->on("uspTestSaveResult", stored);
        EXPECT_EQ(t->SaveResult(kPass), -9999);
    }
    Lines left;
    for (const auto& e : fs::directory_iterator(folder.path()))
        if (e.path().filename().string().starts_with("SN1_pending-")) left.push_back(dz::test::readFile(e.path()));
    EXPECT_EQ(left, (Lines{body, body}));

    // No folder, or no file can be written in it: nothing stored.
    spare.write("plain", "x");
    for (const std::string& dest : {spare.file("plain"), spare.file("missing")}) {
        method("TempFile", dest);
        st->db->clearCalls();
        EXPECT_EQ(t->SaveResult(kPass), -9999);
        EXPECT_TRUE(calls("uspTestSaveResult").empty());
    }
}

TEST_F(Results, UnitIdNeverLeavesTheBufferFolderAndAlwaysFitsAName) {
    start();
    TempDir folder;
    fs::create_directory(folder.file("inner"));
    method("TempFile", folder.file("inner"));
    stored(0, 1);
    // 236 bytes is the longest ID whose pending name ("_pending-XXXXXX.tmp") fits in 255.
    const std::string longest(236, 'w'), longId(300, 'x');
    std::string wide;
    for (int i = 0; i < 150; ++i) wide += "\xC3\xA4";  // 300 bytes of two-byte characters
    const std::string ids[] = {"../../evil", "..", "a/b\\c", ".hidden", longest, longId, longId + "z", wide};
    for (const std::string& id : ids) EXPECT_EQ(t->SaveResult(doc(dut(id, "PASS"))), 0) << id.size();
    Lines names;
    for (const auto& e : fs::recursive_directory_iterator(folder.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 9u);
    EXPECT_EQ(Lines(names.begin(), names.begin() + 4),
              (Lines{"_._.._evil_1.xml", "_._1.xml", "_hidden_1.xml", "a_b_c_1.xml"}));
    EXPECT_EQ(names[4], "inner");
    EXPECT_EQ(names[5], longest + "_1.xml");  // not cut
    for (size_t i = 6; i < 9; ++i) {  // the longer IDs: shortened, distinct, whole characters
        EXPECT_LE(names[i].size(), 255u);
        EXPECT_TRUE(names[i].ends_with("_1.xml"));
    }
    EXPECT_TRUE(names[6].starts_with("xxx") && names[7].starts_with("xxx") && names[6] != names[7]);
    EXPECT_TRUE(names[8].starts_with("\xC3\xA4"));
    EXPECT_NE(names[8][names[8].find('~') - 1], '\xC3');
}


// ---- failure classes and the resend queue ----------------------------------------------

TEST_F(Results, UnwritableQueueGives9998AndNeverFollowsALink) {
    start(true);
    st->db->on("uspTestSaveResult", Answer::failure("General network error"));
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
    EXPECT_EQ(filesIn(fs::path(resendFile).parent_path()), 1);  // nothing torn left behind

    fs::remove(resendFile);
    spare.write("target", "precious");
    fs::create_symlink(spare.file("target"), resendFile);
    EXPECT_EQ(t->SaveResult(kFail), 9002);  // kept beside it, never through it
    EXPECT_EQ(spare.read("target"), "precious");
    EXPECT_EQ(query(), 9997);  // nor read by the resend step
    EXPECT_TRUE(fs::is_symlink(resendFile));
}

TEST_F(Results, NetworkFailuresInARowAreAllKeptAndResentInOrder) {
    start(true);
    const std::string r1 =
        "<Test>\r\n  <DUT ID='SN1' STATUS='FAIL'><Note>it's \xE2\x82\xAC &amp; \"q\"</Note></DUT>\r\n</Test>";
    const std::string r2 = doc(dut("SN2", "FAIL")), r3 = doc(dut("SN3", "FAIL")), r4 = doc(dut("SN4", "FAIL"));
    const Answer down = Answer::failure("[DBNETLIB]General network error. Check your network.");
    for (int i = 0; i < 2; ++i) st->db->on("uspTestSaveResult", down);
    plant(r1 + "\r\n");  // left by the one-file form: goes first
    for (const std::string& r : {r2, r3}) EXPECT_EQ(t->SaveResult(r), 9002);
    EXPECT_EQ(kept(), (Lines{r1 + "\r\n", r2 + "\r\n", r3 + "\r\n"}));

    // r1 is stored, r2 fails again: the query stops there, r2 and r3 stay, no copy is added.
    st->db->on("uspTestSaveResult", Answer::status(0));
    st->db->on("uspTestSaveResult", down);
    EXPECT_EQ(query(), 9002);
    EXPECT_EQ(kept(), (Lines{r2 + "\r\n", r3 + "\r\n"}));
    EXPECT_TRUE(calls("uspGetUnitInfo").empty());

    EXPECT_EQ(t->SaveResult(r4), 9002);  // a new one goes last
    st->db->clearCalls();
    st->db->on("uspTestSaveResult", Answer::status(0));
    EXPECT_EQ(query(), 0);
    EXPECT_TRUE(kept().empty());
    Lines sent;
    for (const Call& c : calls("uspTestSaveResult")) sent.push_back(payload(c).substr(payload(c).find("ID=") + 4, 3));
    EXPECT_EQ(sent, (Lines{"SN2", "SN3", "SN4"}));
    EXPECT_EQ(st->db->calls().back().text, "uspGetUnitInfo");
}

// What one unit query does with the kept results: stored ones go, refused ones
// are set aside and the replay goes on. (One that fails again ends the replay:
// NetworkFailuresInARowAreAllKeptAndResentInOrder.)
TEST_F(Results, ResendStepOutcomes) {
    const std::string failed = kFail + "\r\n", passed = kPass + "\r\n", other = doc(dut("SN2", "FAIL")) + "\r\n";
    Answer headerStored = Answer::status(0);
    headerStored.outputs["@TestID"] = Value(8);
    struct Case {
        const char* name;
        bool resendOnNetErr;
        Planted planted;
        std::vector<Answer> saves;  // the procedure's answers in turn
        const char* buffer;         // the TempFile folder for a passed result
        Lines keptAfter, rejectedAfter;
    } cases[] = {
        {"a missing buffer folder leaves it; the query goes on", true, {{"", passed}}, {}, "missing", {passed}, {}},
        {"a procedure's code sets it aside", true, {{".1", failed}, {".2", other}},
         {Answer::status(7), Answer::status(0)}, "", {}, {failed}},
        {"-9999 after the header was stored too", true, {{".1", passed}}, {headerStored}, "buf", {}, {passed}},
        {"switched off", false, {{"", failed}}, {}, "", {failed}, {}},
        {"a folder holds nothing", true, {{"", "<folder>"}}, {}, "", {"<folder>"}, {}},
    };
    fs::create_directories(spare.file("buf/SN1_8.xml"));  // the body cannot take its final name
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
        for (const Answer& a : c.saves) st->db->on("uspTestSaveResult", a);
        if (*c.buffer) method("TempFile", spare.file(c.buffer));
        EXPECT_EQ(query(), 0);
        EXPECT_EQ(out, "<UNITINFO/>");
        EXPECT_EQ(kept(), c.keptAfter);
        EXPECT_EQ(rejected(), c.rejectedAfter);
    }
}

// Makes removals in `dir` fail, even for root (an immutable folder); false when
// the file system cannot.
bool freeze(const std::string& dir, bool on) {
    if (::geteuid() != 0) return ::chmod(dir.c_str(), on ? 0555 : 0755) == 0;
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

// A stored result whose file cannot be removed: 9997 once, and it is never stored again by this process.
TEST_F(Results, AStoredResultThatCannotBeRemovedIsNotSentAgain) {
    start(true);
    plant(kFail + "\r\n", ".1");
    const std::string dir = fs::path(resendFile).parent_path();
    bool frozen = false;
    Answer stored = Answer::status(0);
    stored.effect = [&] { frozen = freeze(dir, true); };
    st->db->on("uspTestSaveResult", stored);
    const int32_t first = query();
    if (!frozen) GTEST_SKIP() << "this file system cannot make a folder read-only for root";
    EXPECT_EQ(first, 9997);
    EXPECT_EQ(query(), 0);  // passed over, the query goes on
    EXPECT_EQ(calls("uspTestSaveResult").size(), 1u);
    EXPECT_EQ(kept().size(), 1u);
    freeze(dir, false);
    EXPECT_EQ(query(), 0);  // removable again: removed without being sent
    EXPECT_EQ(calls("uspTestSaveResult").size(), 1u);
    EXPECT_TRUE(kept().empty());
}

// A temporary file of the named fallback is swept only when old and not held by a live writer.
TEST_F(Results, OnlyAbandonedTemporaryFilesAreSwept) {
    start(true);
    plant("torn", ".tmp-dead01");
    plant("busy", ".tmp-live01");
    plant("new", ".tmp-new001");
    const struct timespec old[2] = {{1, 0}, {1, 0}};
    for (const char* n : {".tmp-dead01", ".tmp-live01"}) ::utimensat(AT_FDCWD, (resendFile + n).c_str(), old, 0);
    const int fd = ::open((resendFile + ".tmp-live01").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // flock locks belong to the open file: a second open sees it held
    EXPECT_EQ(query(), 0);
    ::close(fd);
    EXPECT_FALSE(fs::exists(resendFile + ".tmp-dead01"));
    EXPECT_TRUE(fs::exists(resendFile + ".tmp-live01") && fs::exists(resendFile + ".tmp-new001"));
}

// A start-up that reached no database runs again before the next call; a
// result given meanwhile is kept and sent by the first unit query that reaches it.
TEST_F(Results, AStationStartedWhileTheDatabaseIsDownHeals) {
    station(kResendIni);
    st->db->failAll("[DBNETLIB]SQL Server does not exist or access denied.");
    t = dz::test::startTester(*st);
    EXPECT_EQ(t->state().startupStatus, 100);
    EXPECT_EQ(t->SaveResult(kFail), 9001);
    EXPECT_EQ(kept(), Lines{kFail + "\r\n"});

    st->db->failAll(std::nullopt);  // the database is back
    st->serveGeneration(10);
    st->db->on("uspGetUnitInfo", Answer::rowsOf({"strXML", "Seq"}, {{"<UNITINFO/>", 1}}));
    EXPECT_EQ(query(), 0);
    EXPECT_EQ(t->state().startupStatus, 0);
    EXPECT_EQ(calls("uspTestSaveResult").size(), 1u);
    EXPECT_TRUE(kept().empty());
}

// ---- generation 20 and later ----------------------------------------------------------

TEST_F(Results, Gen20StoresEveryResultWithOneTimeStamp) {
    start20();
    st->db->on("uspSave20", Answer::status(0));
    EXPECT_EQ(t->SaveResult(doc20("<DUT ID='SN1' STATUS='FAIL'><Note>it's \xC3\xA4</Note></DUT>")), 0);  // no pass check
    ASSERT_EQ(st->db->callCount(), 1u);
    const Call c = st->db->calls()[0];
    EXPECT_EQ(dz::test::command(c), "uspSave20 StoredProc 30");
    const std::string sent = c.param("@strXmlTestResult")->value.toText();  // transformed, apostrophes doubled
    EXPECT_NE(sent.find("STATUS=\"FAIL\"><Note>it''s \xC3\xA4</Note></DUT></r:Result>"), std::string::npos) << sent;
    const std::string stamp = c.param("@EnterTime")->value.toText();
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << stamp;
    EXPECT_EQ(dz::test::params(c),
              (Lines{"RETURN Integer Return 0 0",
                     "@strXmlTestResult LongVarChar In " + std::to_string(dz::text::utf8Length(sent)) + " '" + sent + "'",
                     "@EnterTime VarChar In 19 '" + stamp + "'", "@ExitTime VarChar In 19 '" + stamp + "'"}));
}

// Without ResendOnGen20 a failure is never kept, whatever its class.
TEST_F(Results, Gen20Statuses) {
    start20();
    Answer withValue = Answer::failure("Error converting data type varchar to datetime.");
    withValue.returnValue = Value(55);
    for (const Answer& a : {Answer::status(5), Answer::status(-2), withValue, Answer::failure("Timeout expired")})
        st->db->on("uspSave20", a);
    for (int status : {5, -2, 55, 9999}) EXPECT_EQ(t->SaveResult(kPass20), status);
    EXPECT_EQ(t->SaveResult(doc20("<DUT ID='SN1' STATUS='PASS'/><DUT ID='SN2' STATUS='Terminate'/>")), 0);
    EXPECT_EQ(t->SaveResult(dz::com::Variant(dz::com::Null{})), 9999);
    EXPECT_EQ(t->SaveResult(doc20("<DUT ID='SN1' STATUS='PASS'/><Extra/>")), 10);  // validated as it arrives
    EXPECT_NE(st->messages().back().find("Extra"), std::string::npos) << st->messages().back();  // the reason
    EXPECT_EQ(st->db->callCount(), 4u);
    EXPECT_TRUE(kept().empty());
}

// With ResendOnGen20 a result lost on the network is kept and the unit query
// sends it first; without, the upload's status stands and nothing is kept.
TEST_F(Results, Gen20KeptAndResentOnlyWhenTheIniFileAsks) {
    for (bool on : {true, false}) {
        SCOPED_TRACE(on);
        start20(on ? "ResendOnGen20=yes\n" : "");
        const Answer down = Answer::failure("[DBNETLIB]General network error. Check your network.");
        for (const Answer& a : {down, down, Answer::status(0)}) st->db->on("uspSave20", a);
        EXPECT_EQ(t->SaveResult(kPass20), on ? 9002 : 9999);
        EXPECT_EQ(t->state().queue.kept, on ? 1u : 0u);
        // The request is refused (10) only after the kept result was sent.
        EXPECT_EQ(query(), on ? 9002 : 10);  // the network is still down
        EXPECT_EQ(query(), 10);
        EXPECT_EQ(calls("uspSave20").size(), on ? 3u : 1u);
        EXPECT_EQ(t->state().queue.kept, 0u);
    }
}

}  // namespace
