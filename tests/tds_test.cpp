// The simulator's TDS listener through the SQL Server driver: parameters of
// every type, record sets, return and output values, text batches, server
// errors, the failures the status codes are made of, and connection reuse.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/db/db.h"
#include "platform/db/drivers/odbc/error.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "sim/sim.h"
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
        o.generation = 10;
        o.sample = true;
        sim::create(path(), o);
        server = std::make_unique<test::SimListener>(path());
    }

    std::string path() const { return dir.file("plant.db"); }
    std::string connect(const std::string& password = "station", const std::string& extra = "") const {
        return "Provider=SQLOLEDB;" + extra + "Password=" + password + ";User ID=station;Initial Catalog=MES;Data Source=" +
               server->dataSource() + ";Network Library=DBMSSOCN";
    }
    std::string local() const {
        return "Provider=SQLOLEDB;Password=station;User ID=station;Initial Catalog=MES;Data Source=sim:" + path();
    }
    Command proc(const std::string& name, int timeout = 30) const {
        Command c;
        c.activeConnection = connect();
        c.timeout = timeout;
        c.text = name;
        c.type = adCmdStoredProc;
        return c;
    }
    std::vector<json> calls() const {
        std::vector<json> out;
        for (const auto& l : sim::journal(path())) out.push_back(json::parse(l));
        return out;
    }
    void answers(const std::string& js) const { sim::loadAnswers(path(), js); }

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

TEST_F(Tds, RouteCheckReturnsTheProcedureStatus) {
    Command c = proc("uspCheckRouting");
    c.append("@Product", adVarChar, adParamInput, "SN24001-0006");
    c.append("@Station", adVarChar, adParamInput, "FCT-01");
    Recordset rs = c.execute();
    EXPECT_FALSE(rs.isOpen());
    EXPECT_EQ(c.value("@RETURN_VALUE").toInt32(), 3);

    json call = calls().back();
    EXPECT_EQ(call["text"], "uspCheckRouting");
    EXPECT_EQ(call["params"][1]["value"], "SN24001-0006");
    EXPECT_EQ(call["params"][1]["type"], 200);
}

TEST_F(Tds, EveryParameterTypeAndRecordSetValue) {
    answers(R"({"procedures": {"uspTypes": {
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
    EXPECT_EQ(c.value("@RETURN_VALUE").toInt32(), 12);
    ASSERT_TRUE(rs.isOpen());
    EXPECT_EQ(rs.columns(), (std::vector<std::string>{"Int", "Big", "Real", "Text", "Wide", "Nothing", "Flag", "Mixed"}));
    EXPECT_EQ(rs.field("Int"), Value(1));
    EXPECT_EQ(rs.field("Big"), Value(5000000000LL));
    EXPECT_EQ(rs.field("Real"), Value(2.5));
    EXPECT_EQ(rs.field("Text"), Value("a'b"));
    EXPECT_EQ(rs.field("Wide"), Value("Grüße Ω"));
    EXPECT_TRUE(rs.field("Nothing").isNull());
    EXPECT_EQ(rs.field("Flag"), Value(true));
    EXPECT_EQ(rs.field("Mixed").toText(), "7");
    rs.moveNext();
    for (const char* col : {"Int", "Big", "Real", "Text", "Wide", "Nothing", "Flag"}) EXPECT_TRUE(rs.field(col).isNull()) << col;
    rs.moveNext();
    EXPECT_TRUE(rs.eof());

    // What the server received, in order (the return status first): the
    // platform's type codes, values and directions; names stay with the
    // client when it binds by position.
    json p = calls().back()["params"];
    ASSERT_EQ(p.size(), 11u);
    EXPECT_EQ(p[0]["direction"], 4);
    auto expect = [&](size_t i, int type, const json& value) {
        EXPECT_EQ(p[i]["type"], type) << i;
        EXPECT_EQ(p[i]["value"], value) << i;
    };
    expect(1, 3, -42);
    EXPECT_DOUBLE_EQ(p[2]["value"].get<double>(), 0.1);
    EXPECT_EQ(p[2]["type"], 5);
    expect(3, 135, "2026-03-07 14:05:09");
    expect(4, 200, "Grüße 'x'");
    expect(5, 201, big);
    expect(6, 202, "Ωmega ✓");
    expect(7, 200, nullptr);
    expect(8, 200, "");
    expect(9, 3, 1);
    EXPECT_EQ(p[9]["direction"], 3);
    EXPECT_EQ(p[10]["direction"], 2);
}

TEST_F(Tds, OutputParametersOfTheBuiltInProcedures) {
    Command c = proc("uspTestSaveResult");
    c.append("return", adInteger, adParamReturnValue, 0);
    c.append("@xml", adLongVarChar, adParamInput, "<TestResult><DUT ID=\"SN24001-0003\" STATUS=\"PASS\"/></TestResult>");
    c.append("@id", adDouble, adParamOutput);
    c.execute();
    EXPECT_EQ(c.value("return").toInt32(), 0);
    json stored = json::parse(sim::results(path()).back());
    EXPECT_EQ(c.value("@id").toDouble(), stored["test_id"].get<double>());

    sim::InitOptions o;
    o.generation = 24;
    o.sample = true;
    sim::create(dir.file("g24.db"), o);
    test::SimListener g24(dir.file("g24.db"));
    Command m;
    m.activeConnection = "Provider=SQLOLEDB;Password=station;User ID=station;Initial Catalog=MES;Data Source=" +
                         g24.dataSource();
    m.text = "objUTLGetErrMessage";
    m.type = adCmdStoredProc;
    m.append("return", adInteger, adParamReturnValue, 0);
    m.append("@Language", adVarChar, adParamInput, "ENG", 3);
    m.append("@Type", adVarChar, adParamInput, "ERROR", 5);
    m.append("@Code", adVarChar, adParamInput, "7", 20);
    m.append("@Message", adVarChar, adParamOutput, Value(), 200);
    m.execute();
    EXPECT_EQ(m.value("@Message"), Value("Work order of the unit is not released for production"));
    // An output shorter than the text is cut to its size, as the client does.
    m.parameters().back().size = 9;
    m.execute();
    EXPECT_EQ(m.value("@Message"), Value("Work orde"));
}

TEST_F(Tds, ParametersBindByPosition) {
    // The names are not sent: the procedure's order decides, and a missing
    // one is reported in the server's words.
    Command bad = proc("uspCheckRouting");
    bad.append("@Station", adVarChar, adParamInput, "x");
    EXPECT_EQ(failure(bad), "Procedure or function 'uspCheckRouting' expects parameter '@Station', which was not supplied.");
}

TEST_F(Tds, TextBatchesAndTheirRecordSets) {
    Command c;
    c.activeConnection = connect();
    c.text = "if exists (select 1 from sysobjects where name='fsLanguage') begin select 20 end else select 10;";
    Recordset rs = c.execute();
    ASSERT_TRUE(rs.isOpen());
    EXPECT_EQ(rs.field(size_t(0)).toInt32(), 10);

    c.text = "if exists (select 1 from sysobjects where name='uspGetSlaveInfo') exec uspGetSlaveInfo 'FCT-02' "
             "else select 0 Error, 0 MasterSlaveSolution";
    rs = c.execute();
    EXPECT_EQ(rs.field("Error").toInt32(), 0);
    EXPECT_EQ(rs.field("MasterSlaveSolution").toInt32(), 1);
    EXPECT_EQ(rs.field("DatabaseName").toText(), "MES_LINE2");

    // Markers in a text command carry their values into it.
    Command q;
    q.activeConnection = connect();
    q.text = "select ? a, ? b";
    q.append("", adVarChar, adParamInput, "it's");
    q.append("", adInteger, adParamInput, 5);
    rs = q.execute();
    EXPECT_EQ(rs.field("a"), Value("it's"));
    EXPECT_EQ(rs.field("b"), Value(5));
}

TEST_F(Tds, ServerErrorsInTheServersWords) {
    Command c = proc("uspNoSuchThing");
    EXPECT_EQ(failure(c), "Could not find stored procedure 'uspNoSuchThing'.");

    // A failure after the procedure set its status: the status still arrives.
    answers(R"({"procedures": {"objTSKGetUnitInfo": {"return": 55, "fail": "Unit is locked by another station"}}})");
    Command g = proc("objTSKGetUnitInfo");
    g.append("RETURN", adInteger, adParamReturnValue, 0);
    g.append("@x", adVarChar, adParamInput, "x");
    EXPECT_EQ(failure(g), "Unit is locked by another station");
    EXPECT_EQ(g.value("RETURN").toInt32(), 55);

    Command t;
    t.activeConnection = connect();
    t.text = "select * from units";
    EXPECT_EQ(failure(t), "Incorrect syntax near '*'.");
}

TEST_F(Tds, FailureClassesOverTheNetwork) {
    answers(R"({"procedures": {"uspCheckRouting": {"drop": true}, "uspGetOrderInfo": {"delay_ms": 3000}}})");
    size_t before = calls().size();
    Command drop = proc("uspCheckRouting");
    drop.append("@Product", adVarChar, adParamInput, "SN1");
    EXPECT_EQ(failure(drop), odbc::kNetworkError);
    EXPECT_EQ(calls().size(), before + 1);  // sent once, never repeated

    auto start = std::chrono::steady_clock::now();
    Command slow = proc("uspGetOrderInfo", 1);
    slow.append("@Station", adVarChar, adParamInput, "FCT-01");
    EXPECT_EQ(failure(slow), odbc::kTimeout);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(secs, 2.5);

    // The connection string still works after both.
    Command ok = proc("uspGetOrderInfoByStation");
    ok.append("@Station", adVarChar, adParamInput, "FCT-02");
    EXPECT_TRUE(ok.execute().isOpen());

    Command wrong = proc("uspGetOrderInfo");
    wrong.activeConnection = connect("nope");
    EXPECT_EQ(failure(wrong), "Login failed for user 'station'.");

    Command catalog = proc("uspGetOrderInfo");
    catalog.activeConnection = "Provider=SQLOLEDB;Password=station;User ID=station;Initial Catalog=ELSEWHERE;Data Source=" +
                               server->dataSource();
    EXPECT_EQ(failure(catalog), "Cannot open database \"ELSEWHERE\" requested by the login. The login failed.");

    server->stop();
    Command down = proc("uspGetOrderInfo");
    down.append("@Station", adVarChar, adParamInput, "FCT-01");
    EXPECT_EQ(failure(down), odbc::kNoServer);
}

TEST_F(Tds, ConnectionsAreReusedAndDeadOnesReplacedBeforeSending) {
    auto driver = odbc::OdbcDriver::instance();
    driver->clearPool();
    auto route = [&](const std::string& cs) {
        Command c = proc("uspCheckRouting");
        c.activeConnection = cs;
        c.append("@Product", adVarChar, adParamInput, "SN24001-0006");
        c.append("@Station", adVarChar, adParamInput, "FCT-01");
        c.execute();
        return c.value("@RETURN_VALUE").toInt32();
    };
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
    size_t before = calls().size();
    EXPECT_EQ(route(connect()), 3);
    odbc::PoolStats s2 = driver->stats();
    EXPECT_EQ(s2.replaced - s1.replaced, 1u);
    EXPECT_EQ(s2.opened - s1.opened, 1u);
    EXPECT_EQ(calls().size(), before + 1);

    // Without pooling every call logs in anew and nothing stays open.
    std::string noPool = connect("station", "OLE DB Services=-2;");
    EXPECT_EQ(route(noPool), 3);
    EXPECT_EQ(route(noPool), 3);
    EXPECT_EQ(driver->stats().opened - s2.opened, 2u);
}

TEST_F(Tds, SlaveDatabaseBesideTheFile) {
    Command c;
    c.activeConnection = "Provider=SQLOLEDB;Password=line2pw;User ID=line2;Initial Catalog=MES_LINE2;Data Source=" +
                         server->dataSource();
    c.text = "uspCheckRouting";
    c.type = adCmdStoredProc;
    c.append("@Product", adVarChar, adParamInput, "PCB-B-000103");
    c.append("@Station", adVarChar, adParamInput, "FCT-02");
    c.execute();
    EXPECT_EQ(c.value("@RETURN_VALUE").toInt32(), 0);
    // Its login is not the master's.
    c.activeConnection = "Provider=SQLOLEDB;Password=line2pw;User ID=line2;Initial Catalog=MES;Data Source=" +
                         server->dataSource();
    EXPECT_EQ(failure(c), "Login failed for user 'line2'.");
}

TEST_F(Tds, MalformedClientsLeaveTheListenerServing) {
    auto raw = [&](const std::string& bytes) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(server->port()));
        inet_pton(AF_INET, server->host().c_str(), &a.sin_addr);
        ASSERT_EQ(::connect(fd, (sockaddr*)&a, sizeof a), 0);
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        ::shutdown(fd, SHUT_WR);
        char buf[4096];
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }
        ::close(fd);
    };
    raw(std::string("\x12\x01\x00\x03\x00\x00\x00\x00", 8));             // shorter than its header
    raw(std::string("\x12\x01\x00\x0D\x00\x00\x00\x00\x00\xFF\xFF\x00\x01", 13));  // option past the end
    raw(std::string("\x10\x01\x00\x10\x00\x00\x00\x00" "abcdefgh", 16));  // a login cut short
    raw(std::string(3000, '\x7F'));
    std::string login(8 + 94, '\0');  // a login whose user name lies past the end
    login[0] = '\x10', login[1] = '\x01', login[3] = char(login.size());
    login[8 + 4] = '\x04', login[8 + 7] = '\x74';
    login[8 + 40] = '\xF0', login[8 + 42] = '\x40';
    raw(login);

    Command c = proc("uspCheckRouting");
    c.append("@Product", adVarChar, adParamInput, "SN24001-0006");
    c.append("@Station", adVarChar, adParamInput, "FCT-01");
    c.execute();
    EXPECT_EQ(c.value("@RETURN_VALUE").toInt32(), 3);
}
