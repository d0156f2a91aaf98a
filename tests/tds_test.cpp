// The simulator's TDS listener through the SQL Server driver: parameters of
// every type, record sets, return and output values, text batches, server
// errors, refused logins, and connection reuse; and through an independent
// client, python3-tds.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/db/db.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "sim/sim.h"
#include "sim/tds/wire.h"
#include "support/listener.h"
#include "support/station.h"

using namespace dz;
using namespace dz::db;
using json = nlohmann::json;

namespace {

class Tds : public ::testing::Test {
protected:
    void SetUp() override {
        sim::InitOptions o;
        o.sample = true;
        sim::create(path(), o);
        server = std::make_unique<test::SimListener>(path());
    }

    std::string path() const { return dir.file("plant.db"); }
    std::string connect(const std::string& password = "station", const std::string& extra = "") const {
        return "Provider=SQLOLEDB;" + extra + "Password=" + password + ";User ID=station;Initial Catalog=MES;Data Source=" +
               server->dataSource() + ";Network Library=DBMSSOCN";
    }
    // A name runs as a procedure, any other text as a batch.
    Command proc(const std::string& name, int timeout = 30) const {
        Command c;
        c.activeConnection = connect();
        c.timeout = timeout;
        c.text = name;
        c.type = name.find(' ') == std::string::npos ? adCmdStoredProc : adCmdText;
        return c;
    }
    // uspCheckRouting of a unit that waits for in-circuit test (status 3).
    int route(const std::string& connectString) const {
        Command c = proc("uspCheckRouting");
        c.activeConnection = connectString;
        c.append("@Product", adVarChar, adParamInput, "SN24001-0006");
        c.append("@Station", adVarChar, adParamInput, "FCT-01");
        c.execute();
        return c.value("@RETURN_VALUE").toInt32();
    }
    size_t calls() const { return sim::journal(path()).size(); }

    static std::string failure(Command& c) {
        try {
            c.execute();
        } catch (const Error& e) {
            return e.description();
        }
        return "";
    }

    test::TempDir dir;
    std::unique_ptr<test::SimListener> server;
};

}  // namespace

TEST_F(Tds, EveryParameterTypeAndRecordSetValue) {
    sim::loadAnswers(path(), R"({"procedures": {"uspTypes": {
        "columns": ["Int", "Big", "Real", "Text", "Wide", "Nothing", "Flag", "Mixed"],
        "rows": [[1, 5000000000, 2.5, "a'b", "Grüße Ω", null, true, 7],
                 [null, null, null, null, null, null, null, "x"]],
        "return": 12}}})");
    std::string big(100000, 'x');
    big[0] = 'B';
    Command c = proc("uspTypes");
    c.append("RETURN", adInteger, adParamReturnValue, 0);
    c.append("@Int", adInteger, adParamInput, -42);
    c.append("@Double", adDouble, adParamInput, 0.1);
    c.append("@Stamp", adDBTimeStamp, adParamInput, "2026-03-07 14:05:09");
    c.append("@Text", adVarChar, adParamInput, "Grüße 'x'");
    c.append("@Long", adLongVarChar, adParamInput, big);
    c.append("@Unicode", adVarWChar, adParamInput, "Ωmega ✓");
    c.append("@Null", adVarChar, adParamInput, Value(), 10);
    c.append("@Empty", adVarChar, adParamInput, "");
    c.append("@Count", adInteger, adParamInputOutput, 1);
    c.append("@Out", adVarChar, adParamOutput, Value(), 20);
    Recordset rs = c.execute();

    EXPECT_EQ(c.value("RETURN").toInt32(), 12);
    ASSERT_TRUE(rs.isOpen());
    EXPECT_EQ(rs.columns(), (std::vector<std::string>{"Int", "Big", "Real", "Text", "Wide", "Nothing", "Flag", "Mixed"}));
    EXPECT_EQ(rs.rows()[0], (std::vector<Value>{Value(1), Value(5000000000LL), Value(2.5), Value("a'b"),
                                                Value("Grüße Ω"), Value(), Value(true), Value("7")}));
    for (size_t i = 0; i < 7; ++i) EXPECT_TRUE(rs.rows()[1][i].isNull()) << rs.columns()[i];
    EXPECT_EQ(rs.rows().size(), 2u);

    // What the server received, in order (the return status first): the
    // platform's type codes, values and directions.
    json entry = json::parse(sim::journal(path()).back()), p = entry["params"];
    ASSERT_EQ(p.size(), 11u);
    std::vector<std::tuple<int, int, json>> expected{
        {4, 3, nullptr}, {1, 3, -42}, {1, 5, 0.1}, {1, 135, "2026-03-07 14:05:09"}, {1, 200, "Grüße 'x'"},
        {1, 201, nullptr}, {1, 202, "Ωmega ✓"}, {1, 200, nullptr}, {1, 200, ""}, {3, 3, 1}, {2, 200, nullptr}};
    for (size_t i = 0; i < p.size(); ++i) {
        auto [direction, type, value] = expected[i];
        EXPECT_EQ(p[i]["direction"], direction) << i;
        EXPECT_EQ(p[i]["type"], type) << i;
        EXPECT_EQ(p[i]["value"], value) << i;  // absent (null) for the long value, kept apart
    }
    EXPECT_EQ(p[5]["bytes"], big.size());
    EXPECT_EQ(sim::journalValue(path(), entry["id"], 5), big);
}

TEST_F(Tds, OutputsTextBatchesAndServerErrors) {
    Command save = proc("uspTestSaveResult");
    save.append("return", adInteger, adParamReturnValue, 0);
    save.append("@xml", adLongVarChar, adParamInput, "<TestResult><DUT ID=\"SN24001-0003\" STATUS=\"PASS\"/></TestResult>");
    save.append("@id", adDouble, adParamOutput);
    save.execute();
    EXPECT_EQ(save.value("return").toInt32(), 0);
    EXPECT_EQ(save.value("@id").toDouble(), json::parse(sim::results(path()).back())["test_id"].get<double>());

    // Markers in a text command carry their values into it. (The slave batch: odbc_e2e_test.)
    Command q = proc("select ? a, ? b");
    q.append("", adVarChar, adParamInput, "it's");
    q.append("", adInteger, adParamInput, 5);
    EXPECT_EQ(q.execute().rows()[0], (std::vector<Value>{Value("it's"), Value(5)}));

    // The server's errors in its own words; a status set before the failure still arrives.
    Command none = proc("uspNoSuchThing");
    EXPECT_EQ(failure(none), "Could not find stored procedure 'uspNoSuchThing'.");
    Command t = proc("select * from units");
    EXPECT_EQ(failure(t), "Incorrect syntax near '*'.");
    Command bad = proc("uspCheckRouting");  // names are not sent: the procedure's order decides
    bad.append("@Station", adVarChar, adParamInput, "x");
    EXPECT_EQ(failure(bad), "Procedure or function 'uspCheckRouting' expects parameter '@Station', which was not supplied.");
    sim::loadAnswers(path(), R"({"procedures": {"objTSKGetUnitInfo": {"return": 55, "fail": "Unit is locked"}}})");
    Command g = proc("objTSKGetUnitInfo");
    g.append("RETURN", adInteger, adParamReturnValue, 0);
    EXPECT_EQ(failure(g), "Unit is locked");
    EXPECT_EQ(g.value("RETURN").toInt32(), 55);
    // A refused login. (A wrong password: PythonClient; cut connections, time-outs, no listener: odbc_e2e_test.)
    g.activeConnection = "Provider=SQLOLEDB;Password=station;User ID=station;Initial Catalog=ELSEWHERE;Data Source=" +
                         server->dataSource();
    EXPECT_EQ(failure(g), "Cannot open database \"ELSEWHERE\" requested by the login. The login failed.");

}

// The driver sends parameters by position, without names: canned outputs
// still reach them, by the procedure's own parameter names or by position; a
// text longer than its parameter is cut to its size, as the client does.
TEST_F(Tds, CannedOutputsReachPositionalParameters) {
    sim::loadAnswers(path(), R"({"procedures": {
        "uspTestSaveResult": {"outputs": {"@TestID": 99}},
        "uspSiteOnly": {"outputs": {"2": "second one", "@Unknown": "never"}}}})");
    for (auto [name, expected] : {std::pair{"uspTestSaveResult", "99"}, std::pair{"uspSiteOnly", "second"}}) {
        Command c = proc(name);
        c.append("@a", adVarChar, adParamInput, "<TestResult/>");
        c.append("@b", adVarChar, adParamOutput, Value(), 6);
        c.execute();
        EXPECT_EQ(c.value("@b"), Value(expected)) << name;
    }
}

TEST_F(Tds, ConnectionsAreReusedAndDeadOnesReplacedBeforeSending) {
    auto driver = odbc::OdbcDriver::instance();
    driver->clearPool();
    odbc::PoolStats s0 = driver->stats();
    EXPECT_EQ(route(connect()), 3);
    EXPECT_EQ(route(connect()), 3);
    odbc::PoolStats s1 = driver->stats();
    EXPECT_EQ(s1.opened - s0.opened, 1u);
    EXPECT_EQ(s1.reused - s0.reused, 1u);

    // The server goes away and comes back on the same port: the pooled
    // connection is found dead and replaced without a failure.
    int port = server->port();
    server->stop();
    server = std::make_unique<test::SimListener>(path(), port);
    size_t before = calls();
    EXPECT_EQ(route(connect()), 3);
    odbc::PoolStats s2 = driver->stats();
    EXPECT_EQ(s2.replaced - s1.replaced, 1u);
    EXPECT_EQ(s2.opened - s1.opened, 1u);
    EXPECT_EQ(calls(), before + 1);

    // Without pooling every call logs in anew.
    std::string noPool = connect("station", "OLE DB Services=-2;");
    EXPECT_EQ(route(noPool), 3);
    EXPECT_EQ(route(noPool), 3);
    EXPECT_EQ(driver->stats().opened - s2.opened, 2u);
}

TEST_F(Tds, MalformedClientsLeaveTheListenerServing) {
    // Broken packets and logins: the connection is closed.
    std::string login(8 + 94, '\0');  // a login whose user name lies past the end
    login[0] = '\x10', login[1] = '\x01', login[3] = char(login.size());
    login[8 + 4] = '\x04', login[8 + 7] = '\x74';
    login[8 + 40] = '\xF0', login[8 + 42] = '\x40';
    for (const std::string& bytes : {std::string("\x12\x01\x00\x03\x00\x00\x00\x00", 8),  // shorter than its header
                                     std::string("\x12\x01\x00\x0D\x00\x00\x00\x00\x00\xFF\xFF\x00\x01", 13),
                                     std::string("\x10\x01\x00\x10\x00\x00\x00\x00" "abcdefgh", 16),
                                     std::string(3000, '\x7F'), login}) {
        test::RawClient c(server->host(), server->port());
        c.write(bytes, true);
        EXPECT_TRUE(c.closedWithin(10));
    }
    // A request with a value too short for its type, after a good login: an
    // error answers it and the connection goes on. (Every such value: tds_types_test.)
    test::RawClient c(server->host(), server->port());
    ASSERT_TRUE(c.login("station", "station", "MES"));
    const std::string rpc("\x04\x00\x00\x00\x02\x00x\x00y\x00\x00\x00\x00\x00", 14);  // "xy", one unnamed parameter
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(c.send(0x03, rpc + std::string("\x6E\x08\x01\x00", 4)));  // money of one byte
        const std::string reply = c.reply();
        ASSERT_FALSE(reply.empty());
        EXPECT_EQ(uint8_t(reply[0]), 0xAA);  // an error token
    }
    EXPECT_EQ(route(connect()), 3);
}

// Connections that never log in, too many connections, and a burst of
// them: each is bounded, and the listener's threads and files go back to
// their idle level.
TEST_F(Tds, ResourcesAreBounded) {
    auto waitUntil = [](auto done) {
        for (int i = 0; i < 200 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return done();
    };
    test::SimListener small(path(), 0, {"--max-connections", "3"});
    {
        // A pre-login larger than a login needs is cut off.
        test::RawClient big(small.host(), small.port());
        big.send(0x12, std::string(100000, 'x'), false);
        EXPECT_TRUE(big.closedWithin(5));
        // Three clients fill the listener; the fourth is refused. They log in
        // to show that each holds a place (a refused client is answered up to
        // its login).
        std::vector<std::unique_ptr<test::RawClient>> idle;
        for (int i = 0; i < 3; ++i) {
            idle.push_back(std::make_unique<test::RawClient>(small.host(), small.port()));
            ASSERT_TRUE(idle.back()->login("station", "station", "MES"));
        }
        test::RawClient fourth(small.host(), small.port());
        std::string refused;
        EXPECT_FALSE(fourth.login("station", "station", "MES", &refused));
        EXPECT_NE(refused.find(sim::tds::ucs2("maximum number of '3' user connections")), std::string::npos);
    }
    // Once the listener has seen them go, a login is served again.
    EXPECT_TRUE(waitUntil([&] {
        return test::RawClient(small.host(), small.port()).login("station", "station", "MES");
    }));
    // A client that never logs in is closed after the login time-out (on a
    // listener of its own: the one above must not drop its clients however
    // slowly a loaded machine runs the test).
    test::SimListener quick(path(), 0, {"--login-timeout", "2"});
    test::RawClient silent(quick.host(), quick.port());
    EXPECT_TRUE(silent.preLogin());
    EXPECT_TRUE(silent.closedWithin(10));

    // A burst of 1,100 logins, 100 at a time, on the default listener.
    size_t files = test::openFiles(server->pid()), threads = test::threads(server->pid());
    for (int round = 0; round < 11; ++round) {
        std::vector<std::unique_ptr<test::RawClient>> burst;
        for (int i = 0; i < 100; ++i) {
            burst.push_back(std::make_unique<test::RawClient>(server->host(), server->port()));
            ASSERT_TRUE(burst.back()->login("station", "station", "MES"));
        }
    }
    EXPECT_TRUE(waitUntil([&] { return test::openFiles(server->pid()) <= files; }))
        << test::openFiles(server->pid()) << " open files, " << files << " before";
    EXPECT_TRUE(waitUntil([&] { return test::threads(server->pid()) <= threads; }))
        << test::threads(server->pid()) << " threads, " << threads << " before";
    EXPECT_EQ(route(connect()), 3);
}

// Fault schedules over the network: a refused login, an answer cut halfway;
// the journal names the connection and the client's host.
TEST_F(Tds, FaultSchedulesReachClientsOverTheNetwork) {
    sim::addFault(path(), R"({"action": "refuse-login", "next": 1})");
    Command c = proc("uspCheckRouting");
    c.append("@Product", adVarChar, adParamInput, "SN24001-0006");
    c.append("@Station", adVarChar, adParamInput, "FCT-01");
    EXPECT_NE(failure(c).find("Login failed for user 'station'."), std::string::npos);
    EXPECT_EQ(route(connect()), 3);

    sim::addFault(path(), R"({"action": "cut", "next": 1})");
    EXPECT_FALSE(failure(c).empty());
    EXPECT_EQ(route(connect()), 3);  // a new connection serves again

    std::vector<std::string> j = sim::journal(path());
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(json::parse(j[1])["error"], "connection cut during the answer");
    json last = json::parse(j[2]);
    EXPECT_EQ(last["station"], "FCT-01");
    EXPECT_EQ(last["connection"].get<std::string>().rfind("spid ", 0), 0u) << last.dump();
    EXPECT_FALSE(last["host"].get<std::string>().empty());
}

// A client of its own implementation (skipped when not installed): the
// pure-Python one logs in, runs batches and procedures, and is refused.
TEST_F(Tds, PythonClient) {
    auto run = [&](const std::string& cmd) {
        int status = std::system((cmd + " >" + dir.file("out.txt") + " 2>&1").c_str());
        return std::make_pair(dir.read("out.txt"), WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    };
    if (run("/usr/bin/python3 -c 'import pytds'").second != 0) GTEST_SKIP() << "python3-tds is not installed";
    dir.write("client.py", R"(import sys, pytds
host, port = sys.argv[1], int(sys.argv[2])
with pytds.connect(server=host, port=port, database='MES', user='station', password='station') as conn:
    with conn.cursor() as cur:
        cur.execute("select 1 a, 'x' b")
        print('select', cur.fetchall())
        cur.callproc('uspCheckRouting', ('SN24001-0006', 'FCT-01'))
        print('status', cur.get_proc_return_status())
        cur.callproc('uspGetOrderInfo', ('FCT-01',))
        print('order', cur.fetchall())
        r = cur.callproc('uspTestSaveResult', ('<TestResult><DUT ID="SN24001-0003" STATUS="PASS"/></TestResult>',
                                               pytds.output(param_type=float)))
        print('testid', r[1] > 0)
        cur.execute("select %s a, %s b", ("it's", 5))
        print('params', cur.fetchall())
        try:
            cur.callproc('uspNoSuchThing', ())
        except pytds.ProgrammingError as e:
            print('error', e)
    conn.commit()
try:
    pytds.connect(server=host, port=port, database='MES', user='station', password='wrong')
except pytds.Error as e:
    print('login', e)
)");
    auto [out, status] = run("timeout 60 /usr/bin/python3 " + dir.file("client.py") + " " + server->host() + " " +
                             std::to_string(server->port()));
    EXPECT_EQ(status, 0) << out;
    for (const char* line : {"select [(1, 'x')]", "status 3", "order [('WO-24001', 50, 10, 2, 24001)]", "testid True",
                             "params [(\"it's\", 5)]", "error Could not find stored procedure 'uspNoSuchThing'.",
                             "login Login failed for user 'station'."})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}
