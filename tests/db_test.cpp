// The database client layer, and the SQL Server driver without a server:
// connection-string translation, the failure classes by SQLSTATE and the
// timestamp format.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <tuple>

#include "platform/com/variant.h"
#include "platform/db/db.h"
#include "platform/db/driver.h"
#include "platform/db/drivers/odbc/error.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "platform/db/drivers/odbc/statement.h"
#include "support/errors.h"
#include "support/scripted.h"

using namespace dz::db;
using namespace dz::db::odbc;

namespace {

const std::string kNoRecord =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current record.";
const std::string kNotFound = "Item cannot be found in the collection corresponding to the requested name or ordinal.";

std::string errorOf(const std::function<void()>& f) { return dz::test::errorOf<Error>(f); }

std::string connect(const std::string& source) {
    return "Provider=SQLOLEDB;Password=p;User ID=u;Initial Catalog=db;Data Source=" + source +
           ";Network Library=DBMSSOCN;";
}
ConnectionInfo cs(const std::string& source, const std::string& extra = "") {
    return ConnectionInfo::parse(extra + connect(source));
}

// The rows from the current one on, each as its fields' texts run together ("-" for Null).
std::vector<std::string> rowsOf(Recordset& rs, const std::vector<std::string>& names) {
    std::vector<std::string> v;
    for (; !rs.eof(); rs.moveNext()) {
        std::string row;
        for (const auto& n : names) row += rs.field(n).isNull() ? "-" : rs.field(n).toText();
        v.push_back(row);
    }
    return v;
}

const std::string ms = "ODBC Driver 18 for SQL Server";

// Keeps an environment variable set (or unset) for one test.
struct EnvVar {
    std::string name;
    std::optional<std::string> old;
    EnvVar(const std::string& n, const char* value) : name(n) {
        if (const char* o = std::getenv(n.c_str())) old = o;
        set(value);
    }
    ~EnvVar() { set(old ? old->c_str() : nullptr); }
    void set(const char* value) { value ? setenv(name.c_str(), value, 1) : unsetenv(name.c_str()); }
};

// The site's INI keys, "Key=value;...", as the start-up hands them to the driver.
ClientOptions options(const std::string& keys) {
    const auto all = ConnectionInfo::parse(keys).all;
    auto key = [&](const char* k) { return all.count(k) ? all.at(k) : std::string(); };
    return {key("driver"), key("encrypt"), key("trustservercertificate"), key("cafile"), key("hostnameincertificate"),
            key("logintimeout")};
}

}  // namespace

// ---- Value ----------------------------------------------------------------

TEST(Value, Text) {
    const std::vector<std::pair<Value, std::string>> cases = {
        {-42, "-42"}, {1234567890123LL, "1234567890123"}, {true, "True"}, {false, "False"}, {"äö ", "äö "},
        // doubles: shortest form with at most fifteen significant digits
        {100.0, "100"}, {-0.25, "-0.25"}, {0.1 + 0.2, "0.3"}, {1.0 / 3, "0.333333333333333"},
        {123456789012345.0, "123456789012345"}, {1e15, "1E+15"}, {0.0001, "0.0001"}, {0.00001, "1E-05"}, {-0.0, "0"}};
    for (const auto& [v, text] : cases) {
        EXPECT_EQ(v.toText(), text);
        // A variant prints a number as the database client does.
        if (v.isDouble()) {
            EXPECT_EQ(dz::com::Variant(v.toDouble()).toText(), v.toText());
        }
    }
}

TEST(Value, Numbers) {
    const std::vector<std::pair<Value, int32_t>> ints = {
        {2147483647LL, 2147483647}, {-2147483648LL, INT32_MIN}, {2.5, 2}, {3.5, 4}, {-2.5, -2}, {2.6, 3},
        {true, -1}, {" 42 ", 42}, {"\t-7", -7}, {"+7", 7}, {"12.5", 12}, {"1e3", 1000}, {"123e-400", 0}};
    for (const auto& [v, n] : ints) EXPECT_EQ(v.toInt32(), n) << ::testing::PrintToString(v.raw());
    EXPECT_DOUBLE_EQ(Value(" -1.25 ").toDouble(), -1.25);
    EXPECT_EQ(Value(".5").toDouble(), 0.5);

    for (const Value& v : {Value(2147483648LL), Value(-2147483649LL), Value(3e9), Value(std::nan("")),
                           Value("2147483648"), Value("1e999")})
        EXPECT_EQ(errorOf([&] { v.toInt32(); }), "Overflow") << ::testing::PrintToString(v.raw());
    for (const char* bad : {"abc", "", "  ", "1 2", "12abc", "-", ".", "1e", "0x10", "--1"})
        EXPECT_EQ(errorOf([&] { Value(bad).toInt32(); }), "Type mismatch") << bad;
}

// ---- Recordset -------------------------------------------------------------

TEST(Recordset, ReadsForwardByNameOrPosition) {
    Recordset rs({"Error", "Name"}, {{0, "a"}, {1, Value()}});
    EXPECT_FALSE(rs.bof());
    EXPECT_EQ(rs.field("error").toInt32(), 0);
    EXPECT_EQ(rs.field(1).toText(), "a");
    EXPECT_EQ(errorOf([&] { rs.field(2); }), kNotFound);
    rs.moveNext();
    EXPECT_TRUE(rs.field("NAME").isNull());
    rs.moveNext();
    EXPECT_TRUE(rs.eof());
    EXPECT_EQ(errorOf([&] { rs.field("Name"); }), kNoRecord);
    EXPECT_EQ(errorOf([&] { rs.moveNext(); }), kNoRecord);
}

TEST(Recordset, Sorts) {
    Recordset rs({"N", "T"}, {{10, "b"}, {9.5, "B"}, {Value(), "a"}, {100, "b"}, {10.0, "a"}});
    rs.sort("n desc");  // numbers by value (10 and 10.0 alike), Nulls last when descending, equal keys keep their order
    EXPECT_EQ(rowsOf(rs, {"T", "N"}), (std::vector<std::string>{"b100", "b10", "a10", "B9.5", "a-"}));
    rs.sort("[T], N DESC");  // bytes: upper case first
    EXPECT_EQ(rowsOf(rs, {"T", "N"}), (std::vector<std::string>{"B9.5", "a10", "a-", "b100", "b10"}));
    EXPECT_EQ(errorOf([&] { rs.sort("Nope ASC"); }), kNotFound);
    EXPECT_THROW(rs.sort("N,,T"), Error);
}

// ---- Connection strings -----------------------------------------------------

TEST(ConnectionString, KeysAliasesCaseSeparatorsAndQuotes) {
    // (The usual form: every test that connects.)
    using Fields = std::vector<std::string>;
    auto c = ConnectionInfo::parse(" provider = SQLOLEDB ; Connect Timeout=5;PWD=x;uid=y;DATABASE=d;server=s;network=n");
    EXPECT_EQ(Fields({c.provider, c.password, c.userId, c.initialCatalog, c.dataSource, c.networkLibrary}),
              (Fields{"SQLOLEDB", "x", "y", "d", "s", "n"}));

    c = ConnectionInfo::parse("Provider=SQLOLEDB;Password=a;b=c;User ID= u ;Initial Catalog=d=1;Data Source=s;");
    EXPECT_EQ(c.password, "a;b=c");
    EXPECT_EQ(c.userId, " u ");  // free-text values are kept as given
    EXPECT_EQ(c.initialCatalog, "d=1");
    EXPECT_EQ(c.dataSource, "s");

    c = ConnectionInfo::parse(R"(Password="a;User ID=""q""";User ID={x;}}y} ;Data Source="unterminated)");
    EXPECT_EQ(c.password, R"(a;User ID="q")");
    EXPECT_EQ(c.userId, "x;}y");
    EXPECT_EQ(c.dataSource, R"("unterminated)");
    EXPECT_EQ(ConnectionInfo::parse("Password={a}b;Data Source=s").password, "{a}b");

    EXPECT_TRUE(ConnectionInfo::parse(" ;; ").all.empty());
    for (const char* bad : {"garbage", "Provider=SQLOLEDB;garbage;Data Source=x", "=x"})
        EXPECT_THROW(ConnectionInfo::parse(bad), Error) << bad;
}

// ---- Command and registry ---------------------------------------------------

TEST(Command, ParameterSizesCount16BitCharacters) {
    Command cmd;
    EXPECT_EQ(cmd.append("@a", adVarChar, adParamInput, "äö").size, 2);
    EXPECT_EQ(cmd.append("@b", adLongVarChar, adParamInput, "a\xF0\x9F\x98\x80\xE2\x82\xAC").size, 4);  // outside the basic plane: 2
    EXPECT_EQ(cmd.append("@c", adVarChar, adParamInput, Value()).size, 0);
    EXPECT_EQ(cmd.append("@e", adInteger, adParamInput, 12345).size, 0);
    EXPECT_EQ(cmd.append("@f", adVarWChar, adParamInput, 12345).size, 5);
    EXPECT_EQ(cmd.value("@A").toText(), "äö");
    EXPECT_EQ(errorOf([&] { cmd.value("@zz"); }), kNotFound);
    EXPECT_TRUE(cmd.value("@RETURN_VALUE").isNull());

    cmd.text = "x";
    EXPECT_NE(errorOf([&] { cmd.execute(); }).find("connection cannot be used"), std::string::npos);
    cmd.activeConnection = "garbage";
    EXPECT_NE(errorOf([&] { cmd.execute(); }).find("Format of the initialization string"), std::string::npos);
}

TEST(Registry, ChoosesTheDriverByDataSource) {
    auto a = ScriptedDriver::install("reg");
    auto b = ScriptedDriver::install("reg-long");
    auto sim = std::make_shared<ScriptedDriver>();
    registerDriver("regsim:", sim);
    EXPECT_EQ(driverFor(cs("script:reg")).get(), driverFor(cs("SCRIPT:REG ")).get());
    Command cmd;
    cmd.text = "select 1";
    for (const char* source : {"script:reg-long", "regsim:/tmp/x.db"}) {
        cmd.activeConnection = connect(source);
        cmd.execute();
    }
    EXPECT_EQ((std::vector<size_t>{a->callCount(), b->callCount(), sim->callCount()}), (std::vector<size_t>{0, 1, 1}));

    // A name is not a prefix of a longer name; such sources go to the default.
    setDefaultDriver(nullptr);
    EXPECT_EQ(errorOf([] { driverFor(cs("script:reg-longer")); }), kNoServer);
    setDefaultDriver([&] { return std::shared_ptr<Driver>(sim); });
    EXPECT_EQ(driverFor(cs("SRV01")).get(), sim.get());
    setDefaultDriver([] { return OdbcDriver::instance(); });  // as the library installs it
    unregisterDriver("regsim:");
}

// ---- The SQL Server driver ----------------------------------------------------

// Each form as FreeTDS and Microsoft's driver (named by DZ_ODBC_DRIVER) receive it.
TEST(OdbcTarget, DataSourceForms) {
    EnvVar o("DZ_ODBC_OPTIONS", nullptr);
    struct Case {
        std::string source, host;
        int port;
        std::string instance, freetds, microsoft;  // the SERVER (and PORT) keywords each receives, and what follows
    };
    for (const Case& c : std::vector<Case>{
             {"db01", "db01", 0, "", "SERVER=db01;TDS_Version", "SERVER=tcp:db01;"},
             {"db01, 14330", "db01", 14330, "", "SERVER=db01;PORT=14330;", "SERVER=tcp:db01,14330;"},
             {"tcp:db01,1433", "db01", 1433, "", "SERVER=db01;PORT=1433;", "SERVER=tcp:db01,1433;"},
             {"db01\\LINE2", "db01", 0, "LINE2", "SERVER=db01\\LINE2;TDS_Version", "SERVER=db01\\LINE2;"},
             {"(local)", "127.0.0.1", 0, "", "SERVER=127.0.0.1;", "SERVER=tcp:127.0.0.1;"}}) {
        for (const std::string& driver : {std::string(), ms}) {
            SCOPED_TRACE(c.source + " " + driver);
            EnvVar d("DZ_ODBC_DRIVER", driver.empty() ? nullptr : driver.c_str());
            Target t = target(cs(c.source));
            EXPECT_EQ(t.freetds, driver.empty());
            EXPECT_EQ(std::tie(t.host, t.port, t.instance), std::tie(c.host, c.port, c.instance));
            EXPECT_NE(t.connectionString.find(driver.empty() ? c.freetds : c.microsoft), std::string::npos)
                << t.connectionString;
            EXPECT_NE(t.connectionString.find("DATABASE=db;UID=u;PWD=p;"), std::string::npos);
        }
    }
    // A port that cannot be read is an unreachable server.
    for (const char* source : {"db01,", "db01,0", "db01,70000", "db01,x"})
        EXPECT_EQ(errorOf([&] { target(cs(source)); }), kNoServer) << source;
}

// The site's INI keys as each driver receives them; a setting the driver
// cannot honour is refused with its reason, never passed on weaker.
TEST(OdbcTarget, ClientOptionsPerDriver) {
    EnvVar o("DZ_ODBC_OPTIONS", nullptr);
    const std::string ca = std::string(std::getenv("DZ_SOURCE_DIR") ? std::getenv("DZ_SOURCE_DIR") : "..") + "/README.md";
    struct Case {
        std::string driver;  // "" FreeTDS
        std::string keys;
        std::vector<std::string> has, hasNot;  // in the connection string
        std::string refused;                   // in the description when refused
    };
    const Case cases[] = {
        {"", "", {"SERVER=db01;"}, {"Encrypt", "SERVERNAME"}, ""},  // no keys: as before
        {"", "Encrypt=no", {"Encryption=off;"}, {}, ""},
        // Checking the certificate needs FreeTDS's own configuration: a section of the driver's. (The other
        // FreeTDS settings are tried against the simulator's TLS listener.)
        {"", "Encrypt=Yes;CAFile=" + ca, {"Encryption=require;", "SERVERNAME=dezozevo-"}, {"SERVER=db01"}, ""},
        {"", "Encrypt=mandatory;HostNameInCertificate=mes.plant.local", {}, {}, "needs FreeTDS 1.5"},
        {"", "Encrypt=mandatory;HostNameInCertificate=DB01", {"SERVERNAME=dezozevo-"}, {}, ""},
        {"", "Encrypt=sometimes", {}, {}, "Encrypt=sometimes"},
        {"", "TrustServerCertificate=maybe", {}, {}, "TrustServerCertificate=maybe"},
        {"", "CAFile=/nonexistent/ca.pem", {}, {}, "/nonexistent/ca.pem"},
        {"", "LoginTimeout=soon", {}, {}, "LoginTimeout=soon"},
        {ms, "Encrypt=optional", {"Encrypt=no;"}, {"TrustServerCertificate"}, ""},
        {ms, "Encrypt=mandatory;TrustServerCertificate=yes;HostNameInCertificate=mes",
         {"Encrypt=yes;", "TrustServerCertificate=yes;", "HostNameInCertificate=mes;"}, {}, ""},
        {ms, "Encrypt=strict;CAFile=" + ca, {"Encrypt=strict;", "ServerCertificate="}, {}, ""},
        {ms, "Encrypt=mandatory;CAFile=" + ca, {}, {}, "takes no CA file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.driver + " " + c.keys);
        EnvVar d("DZ_ODBC_DRIVER", c.driver.empty() ? nullptr : c.driver.c_str());
        Target t;
        const std::string error = errorOf([&] { t = target(cs("db01"), options(c.keys)); });
        if (!c.refused.empty()) {
            EXPECT_NE(error.find(c.refused), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(error, "<no error>");
        for (const auto& h : c.has) EXPECT_NE(t.connectionString.find(h), std::string::npos) << h << " in " << t.connectionString;
        for (const auto& h : c.hasNot) EXPECT_EQ(t.connectionString.find(h), std::string::npos) << h << " in " << t.connectionString;
    }
    // The driver named in the INI file is used; DZ_ODBC_DRIVER and DZ_ODBC_OPTIONS win.
    EXPECT_EQ(target(cs("db01"), options("Driver=" + ms)).driver, ms);
    EnvVar d("DZ_ODBC_DRIVER", "FreeTDS"), e("DZ_ODBC_OPTIONS", "Encryption=off");
    Target t = target(cs("db01"), options("Driver=" + ms + ";Encrypt=mandatory;TrustServerCertificate=yes"));
    EXPECT_EQ(t.driver, "FreeTDS");
    EXPECT_EQ(t.connectionString.rfind("DRIVER={FreeTDS};SERVER=db01;", 0), 0u) << t.connectionString;
    EXPECT_NE(t.connectionString.find(";Encryption=off;"), std::string::npos) << t.connectionString;
    EXPECT_EQ(t.connectionString.find("Encryption=require"), std::string::npos) << t.connectionString;
}

TEST(OdbcTarget, PasswordsTimeoutsAndPooling) {
    ConnectionInfo info = ConnectionInfo::parse("Provider=SQLOLEDB;Password=a;b=c;User ID={u};Data Source=h");
    EXPECT_NE(target(info).connectionString.find("UID=u;PWD={a;b=c};"), std::string::npos);

    // Never unbounded; the connection string's time-out wins over the INI file's.
    for (auto [extra, keys, seconds] : std::vector<std::tuple<std::string, std::string, int>>{
             {"", "", 15}, {"Connect Timeout=3;", "", 3}, {"Connect Timeout=0;", "", 15},
             {"Connect Timeout=99999;", "", 300}, {"", "LoginTimeout=4", 4},
             {"Connect Timeout=3;", "LoginTimeout=4", 3}})
        EXPECT_EQ(target(cs("h", extra), options(keys)).loginTimeout, seconds) << extra << keys;
    for (auto [extra, pooling] : std::vector<std::pair<std::string, bool>>{
             {"", true}, {"OLE DB Services=-2;", false}, {"OLE DB Services=0;", false}, {"OLE DB Services=-1;", true},
             {"Pooling=false;", false}})
        EXPECT_EQ(target(cs("h", extra)).pooling, pooling) << extra;
}

// Values as the driver reads them back: plain where that is safe, else in
// braces, a "}" doubled for drivers that read "}}" as "}".
TEST(OdbcTarget, ConnectionStringValues) {
    const struct {
        const char *value, *doubled, *single;  // nullptr: refused
    } cases[] = {{"pw", "pw", "pw"},           {"p}w", "p}w", "p}w"},        {"p{w=x", "p{w=x", "p{w=x"},
                 {"", "", ""},                 {"a;b", "{a;b}", "{a;b}"},    {"{ab}", "{{ab}}}", "{{ab}}"},
                 {" pw", "{ pw}", "{ pw}"},    {"a;b}", "{a;b}}}", "{a;b}}"}, {"a};b", "{a}};b}", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(quoteValue(c.value, true), c.doubled);
        if (c.single) EXPECT_EQ(quoteValue(c.value, false), c.single);
        else EXPECT_THROW(quoteValue(c.value, false), Error);
    }
}

TEST(OdbcErrors, ClassifiedByState) {
    auto d = [](const char* state, long native, std::string msg) {
        return Diagnostic{state, native, "[FreeTDS][SQL Server]" + msg};
    };
    struct Case {
        std::vector<Diagnostic> diags;
        Phase phase;
        std::string description;
    };
    for (const Case& c : std::vector<Case>{
             {{d("08001", 0, "Unable to connect to data source")}, Phase::connect, kNoServer},
             {{d("08S01", 0, "Communication link failure")}, Phase::execute, kNetworkError},
             {{d("08S01", 0, "x")}, Phase::connect, kNoServer},
             {{d("01000", 0, "warning"), d("HYT00", 0, "Query timed out")}, Phase::execute, "Timeout expired"},
             // A refused login by the state alone; the name comes from the connection.
             {{d("28000", 0, "Anmeldung fehlgeschlagen")}, Phase::connect, "Login failed for user 'bob'."},
             {{d("01000", 5701, "Changed database context"), d("42000", 2812, "Could not find stored procedure 'x'.")},
              Phase::execute, "Could not find stored procedure 'x'."},
             {{d("08004", 4060, "Cannot open database \"X\" requested by the login.")}, Phase::connect,
              "Cannot open database \"X\" requested by the login."}})
        EXPECT_EQ(describe(c.diags, c.phase, "bob"), c.description) << c.diags.back().message;
    // The server's own text may begin with a tag of its own.
    EXPECT_EQ(stripVendorTags("[FreeTDS][SQL Server][DBNETLIB]access denied"), "[DBNETLIB]access denied");
    EXPECT_EQ(stripVendorTags("[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]Boom"), "Boom");

    // FreeTDS's own failure numbers; the same number under the server's state is the server's.
    auto f = [](const char* state, long native) { return Diagnostic{state, native, "[FreeTDS][SQL Server]x"}; };
    EXPECT_EQ(classify({f("01000", 20017)}, Phase::execute), Failure::network);  // end of stream
    EXPECT_EQ(classify({f("HY000", 20004)}, Phase::execute), Failure::network);  // read failed
    EXPECT_EQ(classify({f("HY000", 20003)}, Phase::execute), Failure::timeout);
    EXPECT_EQ(classify({f("08S01", 20009)}, Phase::connect), Failure::unreachable);
    EXPECT_EQ(classify({f("42000", 20017)}, Phase::execute), Failure::server);
}

TEST(OdbcErrors, MissingDriverIsNamed) {
    EnvVar d("DZ_ODBC_DRIVER", "/nonexistent/libnothing.so");
    Command cmd;
    cmd.activeConnection = connect("127.0.0.1,1");
    cmd.text = "uspCheckRouting";
    const std::string desc = errorOf([&] { cmd.execute(); });
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
