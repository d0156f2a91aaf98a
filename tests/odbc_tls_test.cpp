// Encrypted connections end to end: the component over FreeTDS's ODBC
// driver against the simulator's TLS listener, set up by DEZozevo.ini; the
// driver's own records of a failure; waits bounded when the server stops
// answering.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "component/Failures.h"
#include "component/Tester.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "sim/sim.h"
#include "support/plant.h"
#include "support/relay.h"

using namespace dz;

namespace {

void onThread(const std::function<void()>& f) { std::thread(f).join(); }

const char* const kNoServer = "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.";

std::string sourceDir() {
    const char* src = std::getenv("DZ_SOURCE_DIR");
    return src && *src ? src : std::filesystem::path(__FILE__).parent_path().parent_path().string();
}

// Two throw-away authorities, each with a server certificate, made once.
struct Certificates {
    test::TempDir dir;
    Certificates() {
        for (const char* name : {"right", "wrong"}) {
            std::string cmd = sourceDir() + "/sim/dezozevo-sim-certs " + dir.file(name) + " >/dev/null";
            if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot make certificates: " + cmd);
        }
    }
    std::string ca(const std::string& which) const { return dir.file(which) + "/ca.pem"; }
    std::vector<std::string> serve(bool require = false) const {
        std::vector<std::string> o{"--tls-cert", dir.file("right") + "/server.pem", "--tls-key",
                                   dir.file("right") + "/server.key"};
        if (require) o.push_back("--tls-require");
        return o;
    }
};

const Certificates& certificates() {
    static Certificates c;
    return c;
}

// Start-up on a thread of its own: its status and the failure it reported.
struct Startup {
    int32_t status = -1;
    std::optional<Failure> failure;
    int32_t route = -1;  // CheckRoute of a unit waiting for another station: 3 when the link works
};

Startup startUp() {
    Startup s;
    onThread([&] {
        Tester t;
        TesterState st = t.state();
        s.status = st.startupStatus;
        s.failure = st.lastFailure;
        s.route = t.CheckRoute("SN24001-0006", "FCT-01");
    });
    return s;
}

struct Case {
    const char* name;
    enum { none, offered, required } listener;
    std::string keys;      // [DATABASE] keys
    const char* ca;        // CAFile: the "right" or "wrong" authority, or none
    bool connects;
    std::string cause;     // in the failure's description when it does not connect
    int32_t status = 9001; // what the description classifies as
};

class Encryption : public ::testing::TestWithParam<Case> {};

TEST_P(Encryption, ConnectsOrNamesTheCause) {
    const Case& c = GetParam();
    std::vector<std::string> options;
    if (c.listener != Case::none) options = certificates().serve(c.listener == Case::required);
    test::Plant p(10, true, options);
    p.setIni("\nDATABASE=MES", "\nDATABASE=MES\n" + c.keys + (c.ca ? "CAFile=" + certificates().ca(c.ca) + "\n" : ""));
    Startup s = startUp();
    if (c.connects) {
        EXPECT_EQ(s.status, 0) << (s.failure ? s.failure->description : "");
        EXPECT_EQ(s.route, 3);
        return;
    }
    ASSERT_TRUE(s.failure);
    EXPECT_NE(s.failure->description.find(c.cause), std::string::npos) << s.failure->description;
    // The status stays the client's classification of the description.
    std::string line = s.failure->description.substr(0, s.failure->description.find('\n'));
    EXPECT_EQ(dz::statusOfText(line), c.status) << line;
}

INSTANTIATE_TEST_SUITE_P(
    OverFreeTds, Encryption,
    ::testing::Values(
        Case{"MandatoryWithItsAuthority", Case::offered, "Encrypt=mandatory\n", "right", true, ""},
        Case{"WrongAuthority", Case::offered, "Encrypt=mandatory\n", "wrong", false, "certificate"},
        Case{"SystemAuthoritiesKnowNoTestCa", Case::offered, "Encrypt=mandatory\n", nullptr, false, "certificate"},
        Case{"WrongAuthorityTrusted", Case::offered, "Encrypt=mandatory\nTrustServerCertificate=yes\n", "wrong", true,
             ""},
        Case{"MandatoryWithoutTls", Case::none, "Encrypt=mandatory\nTrustServerCertificate=yes\n", nullptr, false,
             "offers no encryption"},
        Case{"OptionalWithoutTls", Case::none, "Encrypt=optional\n", nullptr, true, ""},
        Case{"RequiredByTheListener", Case::required, "Encrypt=optional\n", nullptr, true, ""},
        Case{"StrictNeedsANewerFreeTds", Case::offered, "Encrypt=strict\n", "right", false, "needs FreeTDS 1.5", 9999}),
    [](const auto& info) { return std::string(info.param.name); });

// UTF-16 little-endian, as TDS carries text.
std::string ucs2(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += c, out += '\0';
    return out;
}

// The password as a login carries it without TLS: each byte's halves
// swapped, then XOR 0xA5.
std::string scrambled(const std::string& ascii) {
    std::string out = ucs2(ascii);
    for (char& c : out) c = char((((unsigned char)c << 4) | ((unsigned char)c >> 4)) ^ 0xA5);
    return out;
}

TEST(EncryptedLink, ATapSeesNeitherProcedureNorPassword) {
    for (bool encrypted : {false, true}) {
        test::Plant p(10, true, certificates().serve());
        p.setIni("PWD=station", "PWD=S3cret-Pw");
        sim::query(p.db(), "UPDATE users SET password = 'S3cret-Pw'");
        test::Relay tap(p.server->host(), p.server->port());
        p.setIni("SERVER=" + p.server->dataSource(),
                 "SERVER=" + tap.dataSource() +
                     (encrypted ? "\nEncrypt=mandatory\nCAFile=" + certificates().ca("right") : "\nEncrypt=no"));
        Startup s = startUp();
        ASSERT_EQ(s.route, 3) << (s.failure ? s.failure->description : "");
        const std::string seen = tap.seen();
        // The tap works: in the clear it sees both.
        EXPECT_EQ(seen.find(ucs2("uspCheckRouting")) != std::string::npos, !encrypted);
        EXPECT_EQ(seen.find(scrambled("S3cret-Pw")) != std::string::npos, !encrypted);
        EXPECT_EQ(seen.find(ucs2("S3cret-Pw")), std::string::npos);
    }
}

TEST(EncryptedLink, TheListenerRefusesAClientThatWillNotEncrypt) {
    test::Plant p(10, true, certificates().serve(true));
    test::RawClient c(p.server->host(), p.server->port());
    std::string reply;
    EXPECT_FALSE(c.login("station", "station", "MES", &reply));
    EXPECT_NE(reply.find(ucs2("requires an encrypted connection")), std::string::npos);
}

// ---- the cause of a failure ----------------------------------------------------

// A failed start-up calls nothing and leaves no connection in the pool; the
// driver's records tell the causes of a 9001 apart.
TEST(DriverRecords, TellTheCausesOfAFailedStartUp) {
    const struct {
        std::function<void(test::Plant&)> setUp;
        std::string sqlstate;  // of one of the driver's records
        long native;
        std::string cause;  // the description's first line, after the failing step
        int32_t status;     // what it classifies as
    } cases[] = {
        {[](test::Plant& p) { p.setIni("PWD=station", "PWD=nope"); }, "42000", 18456,
         "Login failed for user 'station'.", 9999},
        {[](test::Plant& p) { p.server->stop(); }, "08S01", 20009, kNoServer, 9001},
        {[](test::Plant& p) { p.setIni("SERVER=" + p.server->dataSource(), "SERVER=no-such-host.invalid,1433"); },
         "01000", 20013, kNoServer, 9001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sqlstate);
        test::Plant p(10, true);
        c.setUp(p);
        db::odbc::OdbcDriver::instance()->clearPool();
        Startup s = startUp();
        ASSERT_TRUE(s.failure);
        EXPECT_TRUE(p.calls().empty());
        EXPECT_EQ(db::odbc::OdbcDriver::instance()->idleConnections(), 0u);
        std::string line = s.failure->description.substr(0, s.failure->description.find('\n'));
        EXPECT_EQ(line, "Runtime error in GetTWVer " + c.cause);
        EXPECT_EQ(dz::statusOfText(line), c.status) << line;
        bool found = false;
        std::string records;
        for (const auto& d : s.failure->diagnostics) {
            found |= d.state == c.sqlstate && d.native == c.native && !d.message.empty();
            records += d.state + " " + std::to_string(d.native) + " " + d.message + "\n";
        }
        EXPECT_TRUE(found) << records;
    }
}

// ---- bounded waits ------------------------------------------------------------

// A listener that stops answering without closing: a call ends with a
// time-out a little after TimeOut (FreeTDS alone waits twice as long), a
// new login within LoginTimeout.
TEST(BoundedWaits, AStoppedServerTimesOut) {
    test::Plant p(10, true, certificates().serve());
    p.setIni("TimeOut=30", "TimeOut=4\nLoginTimeout=2\nEncrypt=mandatory\nCAFile=" + certificates().ca("right"));
    auto seconds = [](auto since) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    };
    int32_t call = 0;
    double callSeconds = 0, loginSeconds = 0;
    std::optional<Failure> login;
    onThread([&] {
        Tester t;
        ASSERT_EQ(t.CheckRoute("SN24001-0006", "FCT-01"), 3);
        p.server->pause();
        auto start = std::chrono::steady_clock::now();
        call = t.CheckRoute("SN24001-0006", "FCT-01");
        callSeconds = seconds(start);
    });
    db::odbc::OdbcDriver::instance()->clearPool();
    onThread([&] {  // a thread without a generation: start-up logs in once
        auto start = std::chrono::steady_clock::now();
        Tester t;
        loginSeconds = seconds(start);
        login = t.state().lastFailure;
    });
    p.server->resume();
    EXPECT_EQ(call, 9003);
    // Cut at 6 s; FreeTDS alone gives up at 8.
    EXPECT_LT(callSeconds, 4 + 3.2);
    ASSERT_TRUE(login);
    EXPECT_NE(login->description.find("Timeout expired"), std::string::npos) << login->description;
    EXPECT_LT(loginSeconds, 2 + 1.5);
}

}  // namespace
