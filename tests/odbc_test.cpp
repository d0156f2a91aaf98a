// The SQL Server driver without a server: connection-string translation,
// the failure classes by SQLSTATE, and what a stopped or silent port gives.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "platform/db/db.h"
#include "platform/db/drivers/odbc/error.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "platform/db/drivers/odbc/statement.h"

using namespace dz::db;
using namespace dz::db::odbc;

namespace {

ConnectionInfo cs(const std::string& source, const std::string& extra = "") {
    return ConnectionInfo::parse("Provider=SQLOLEDB;" + extra + "Password=pw;User ID=station;Initial Catalog=MES;Data Source=" +
                                 source + ";Network Library=DBMSSOCN");
}

// A loopback socket bound to a free port; listening or not.
struct Port {
    int fd = -1;
    int port = 0;
    explicit Port(bool listening) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (sockaddr*)&a, sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, (sockaddr*)&a, &len);
        port = ntohs(a.sin_port);
        if (listening) listen(fd, 8);
    }
    ~Port() { close(fd); }
};

// Keeps an environment variable set for one test.
struct EnvVar {
    std::string name;
    std::optional<std::string> old;
    EnvVar(const std::string& n, const char* value) : name(n) {
        if (const char* o = std::getenv(n.c_str())) old = o;
        if (value) setenv(n.c_str(), value, 1);
        else unsetenv(n.c_str());
    }
    ~EnvVar() {
        if (old) setenv(name.c_str(), old->c_str(), 1);
        else unsetenv(name.c_str());
    }
};

std::string failureOf(const std::string& connectString, int timeout = 30) {
    Command cmd;
    cmd.activeConnection = connectString;
    cmd.timeout = timeout;
    cmd.text = "uspCheckRouting";
    cmd.type = adCmdStoredProc;
    cmd.append("@Product", adVarChar, adParamInput, "SN1");
    try {
        cmd.execute();
    } catch (const Error& e) {
        return e.description();
    }
    return "";
}

}  // namespace

TEST(OdbcTarget, DataSourceFormsForFreeTds) {
    EnvVar d("DZ_ODBC_DRIVER", nullptr), o("DZ_ODBC_OPTIONS", nullptr);
    Target t = target(cs("db01"));
    EXPECT_TRUE(t.freetds);
    EXPECT_EQ(t.host, "db01");
    EXPECT_EQ(t.port, 0);
    EXPECT_NE(t.connectionString.find("SERVER=db01;"), std::string::npos);
    EXPECT_EQ(t.connectionString.find("PORT="), std::string::npos);
    EXPECT_NE(t.connectionString.find("DATABASE=MES;UID=station;PWD=pw;"), std::string::npos);

    t = target(cs("db01, 14330"));
    EXPECT_EQ(t.port, 14330);
    EXPECT_NE(t.connectionString.find("SERVER=db01;PORT=14330;"), std::string::npos);

    t = target(cs("tcp:db01,1433"));
    EXPECT_EQ(t.host, "db01");
    EXPECT_EQ(t.port, 1433);

    t = target(cs("db01\\LINE2"));
    EXPECT_EQ(t.instance, "LINE2");
    EXPECT_NE(t.connectionString.find("SERVER=db01\\LINE2;"), std::string::npos);

    EXPECT_EQ(target(cs("(local)")).host, "127.0.0.1");
    EXPECT_EQ(target(cs(".")).host, "127.0.0.1");
}

TEST(OdbcTarget, MicrosoftDriverByEnvironment) {
    EnvVar d("DZ_ODBC_DRIVER", "ODBC Driver 18 for SQL Server"), o("DZ_ODBC_OPTIONS", "Encrypt=no");
    Target t = target(cs("db01,1500"));
    EXPECT_FALSE(t.freetds);
    EXPECT_EQ(t.connectionString.rfind("DRIVER={ODBC Driver 18 for SQL Server};SERVER=tcp:db01,1500;", 0), 0u)
        << t.connectionString;
    EXPECT_NE(t.connectionString.find(";Encrypt=no;"), std::string::npos);
    t = target(cs("db01\\LINE2"));
    EXPECT_NE(t.connectionString.find("SERVER=db01\\LINE2;"), std::string::npos);
}

TEST(OdbcTarget, PasswordsWithSeparatorsAreBraced) {
    ConnectionInfo info = ConnectionInfo::parse("Provider=SQLOLEDB;Password=a;b}c;User ID=u;Data Source=h");
    ASSERT_EQ(info.password, "a;b}c");
    EXPECT_NE(target(info).connectionString.find("PWD={a;b}}c};"), std::string::npos);
}

TEST(OdbcTarget, BadPortIsAnUnreachableServer) {
    for (const char* source : {"db01,", "db01,0", "db01,70000", "db01,x"}) {
        try {
            target(cs(source));
            ADD_FAILURE() << source;
        } catch (const Error& e) {
            EXPECT_NE(e.description().find("SQL Server does not exist or access denied"), std::string::npos);
        }
    }
}

TEST(OdbcTarget, TimeoutAndPoolingKeys) {
    EXPECT_EQ(target(cs("h")).loginTimeout, 15);
    EXPECT_TRUE(target(cs("h")).pooling);
    EXPECT_EQ(target(cs("h", "Connect Timeout=3;")).loginTimeout, 3);
    EXPECT_EQ(target(cs("h", "Connect Timeout=0;")).loginTimeout, 15);      // never unbounded
    EXPECT_EQ(target(cs("h", "Connect Timeout=99999;")).loginTimeout, 300);
    EXPECT_FALSE(target(cs("h", "OLE DB Services=-2;")).pooling);
    EXPECT_FALSE(target(cs("h", "OLE DB Services=0;")).pooling);
    EXPECT_TRUE(target(cs("h", "OLE DB Services=-1;")).pooling);
    EXPECT_FALSE(target(cs("h", "Pooling=false;")).pooling);
}

TEST(OdbcErrors, ClassifiedByState) {
    auto d = [](const char* state, long native, const char* msg) { return Diagnostic{state, native, msg}; };
    EXPECT_EQ(describe({d("08001", 0, "[FreeTDS][SQL Server]Unable to connect to data source")}, Phase::connect, "u"),
              kNoServer);
    EXPECT_EQ(describe({d("08S01", 0, "[FreeTDS][SQL Server]Communication link failure")}, Phase::execute, "u"),
              kNetworkError);
    EXPECT_EQ(describe({d("08S01", 0, "x")}, Phase::connect, "u"), kNoServer);
    EXPECT_EQ(describe({d("01000", 0, "warning"), d("HYT00", 0, "[FreeTDS][SQL Server]Query timed out")},
                       Phase::execute, "u"),
              "Timeout expired");
    EXPECT_EQ(describe({d("28000", 18456, "[FreeTDS][SQL Server]Login failed for user 'bob'.")}, Phase::connect, "bob"),
              "Login failed for user 'bob'.");
    // The state alone is enough; the name comes from the connection.
    EXPECT_EQ(describe({d("28000", 0, "[X]Anmeldung fehlgeschlagen")}, Phase::connect, "bob"),
              "Login failed for user 'bob'.");
    EXPECT_EQ(describe({d("01000", 5701, "[FreeTDS][SQL Server]Changed database context"),
                        d("42000", 2812, "[FreeTDS][SQL Server]Could not find stored procedure 'x'.")},
                       Phase::execute, "u"),
              "Could not find stored procedure 'x'.");
    // A database that cannot be opened is the server's own refusal.
    EXPECT_EQ(describe({d("08004", 4060, "[FreeTDS][SQL Server]Cannot open database \"X\" requested by the login.")},
                       Phase::connect, "u"),
              "Cannot open database \"X\" requested by the login.");
    EXPECT_EQ(stripVendorTags("[a][b]c [d]"), "c [d]");
    // The server's own text may begin with a tag of its own.
    EXPECT_EQ(stripVendorTags("[FreeTDS][SQL Server][DBNETLIB]access denied"), "[DBNETLIB]access denied");
    EXPECT_EQ(stripVendorTags("[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]Boom"), "Boom");
}

TEST(OdbcErrors, FreeTdsClientNumbers) {
    auto d = [](const char* state, long native) { return Diagnostic{state, native, "[FreeTDS][SQL Server]x"}; };
    EXPECT_EQ(classify({d("01000", 20017)}, Phase::execute), Failure::network);  // end of stream
    EXPECT_EQ(classify({d("HY000", 20004)}, Phase::execute), Failure::network);  // read failed
    EXPECT_EQ(classify({d("HY000", 20003)}, Phase::execute), Failure::timeout);
    EXPECT_EQ(classify({d("08S01", 20009)}, Phase::connect), Failure::unreachable);
    // The same number raised by the server under its own state is the server's.
    EXPECT_EQ(classify({d("42000", 20017)}, Phase::execute), Failure::server);
}

TEST(OdbcErrors, MissingDriverIsNamed) {
    EnvVar d("DZ_ODBC_DRIVER", "/nonexistent/libnothing.so");
    std::string desc = failureOf("Provider=SQLOLEDB;Password=pw;User ID=u;Data Source=127.0.0.1,1");
    EXPECT_NE(desc.find("/nonexistent/libnothing.so"), std::string::npos) << desc;
    EXPECT_NE(desc.find("DZ_ODBC_DRIVER"), std::string::npos) << desc;
}

TEST(OdbcTimestamps, ParseAndFormat) {
    SQL_TIMESTAMP_STRUCT ts{};
    ASSERT_TRUE(parseTimestamp("2026-03-07 14:05:09", ts));
    EXPECT_EQ(formatTimestamp(ts), "2026-03-07 14:05:09");
    ASSERT_TRUE(parseTimestamp("2024-02-29T23:59:59.1234", ts));
    EXPECT_EQ(ts.fraction, 123000000u);
    ASSERT_TRUE(parseTimestamp("2024/01/02", ts));
    EXPECT_EQ(formatTimestamp(ts), "2024-01-02 00:00:00");
    for (const char* bad : {"", "2023-02-29", "2024-13-01", "2024-01-01 24:00:00", "2024-01-01x", "01/02/2024",
                            "2024-01-02 3:04:05", "2024-01-02 03:04:05."})
        EXPECT_FALSE(parseTimestamp(bad, ts)) << bad;
}

TEST(OdbcCallText, Markers) {
    EXPECT_EQ(callText("uspCheckRouting", 2), "{? = call uspCheckRouting(?,?)}");
    EXPECT_EQ(callText("p", 0), "{? = call p}");
}

TEST(OdbcServer, StoppedPortIsAnUnreachableServer) {
    int port;
    {
        Port p(false);
        port = p.port;
    }
    std::string d = failureOf("Provider=SQLOLEDB;Password=pw;User ID=station;Initial Catalog=MES;Data Source=127.0.0.1," +
                              std::to_string(port) + ";Network Library=DBMSSOCN");
    EXPECT_EQ(d, kNoServer);
    EXPECT_EQ(OdbcDriver::instance()->idleConnections(), 0u);
}

TEST(OdbcServer, SilentServerEndsAtTheLoginTimeout) {
    Port p(true);  // accepts connections (the kernel does) but never answers
    auto start = std::chrono::steady_clock::now();
    std::string d = failureOf("Provider=SQLOLEDB;Connect Timeout=1;Password=pw;User ID=station;Data Source=127.0.0.1," +
                              std::to_string(p.port));
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(secs, 10.0);
    EXPECT_EQ(d, kTimeout);
}
