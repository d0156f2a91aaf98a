// The database client layer and its scripted driver.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "platform/com/variant.h"
#include "platform/db/db.h"
#include "platform/db/driver.h"
#include "support/errors.h"
#include "support/scripted.h"

using namespace dz::db;

namespace {

const std::string kNoRecord =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current record.";
const std::string kNotFound = "Item cannot be found in the collection corresponding to the requested name or ordinal.";
const std::string kNoServer = "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.";

std::string errorOf(const std::function<void()>& f) { return dz::test::errorOf<Error>(f); }

std::string connect(const std::string& source) {
    return "Provider=SQLOLEDB;Password=p;User ID=u;Initial Catalog=db;Data Source=" + source +
           ";Network Library=DBMSSOCN;";
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
    Recordset empty({"A"}, {});
    EXPECT_TRUE(empty.bof() && empty.eof());
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
    using Fields = std::vector<std::string>;
    for (auto [text, fields] : std::vector<std::pair<std::string, Fields>>{
             {connect("SRV01"), {"SQLOLEDB", "p", "u", "db", "SRV01", "DBMSSOCN"}},
             {" provider = SQLOLEDB ; Connect Timeout=5;PWD=x;uid=y;DATABASE=d;server=s;network=n",
              {"SQLOLEDB", "x", "y", "d", "s", "n"}}}) {
        auto c = ConnectionInfo::parse(text);
        EXPECT_EQ(Fields({c.provider, c.password, c.userId, c.initialCatalog, c.dataSource, c.networkLibrary}), fields);
    }
    EXPECT_EQ(ConnectionInfo::parse("Connect Timeout=5").all.at("connect timeout"), "5");

    auto c = ConnectionInfo::parse("Provider=SQLOLEDB;Password=a;b=c;User ID= u ;Initial Catalog=d=1;Data Source=s;");
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
    EXPECT_EQ(cmd.append("@d", adVarChar, adParamInput, Value(), 10L).size, 10);
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
    EXPECT_EQ(driverFor(ConnectionInfo::parse(connect("script:reg"))).get(),
              driverFor(ConnectionInfo::parse(connect("SCRIPT:REG "))).get());
    Command cmd;
    cmd.text = "select 1";
    for (const char* source : {"script:reg-long", "regsim:/tmp/x.db"}) {
        cmd.activeConnection = connect(source);
        cmd.execute();
    }
    EXPECT_EQ((std::vector<size_t>{a->callCount(), b->callCount(), sim->callCount()}), (std::vector<size_t>{0, 1, 1}));

    // A name is not a prefix of a longer name; such sources go to the default.
    setDefaultDriver(nullptr);
    EXPECT_EQ(errorOf([] { driverFor(ConnectionInfo::parse(connect("script:reg-longer"))); }), kNoServer);
    setDefaultDriver([&] { return std::shared_ptr<Driver>(sim); });
    EXPECT_EQ(driverFor(ConnectionInfo::parse(connect("SRV01"))).get(), sim.get());
    setDefaultDriver(nullptr);
    unregisterDriver("regsim:");

    // A scripted driver that is dropped unregisters, but not the one that replaced it.
    auto second = ScriptedDriver::install("reg");
    a.reset();
    cmd.activeConnection = connect("script:reg");
    cmd.execute();
    EXPECT_EQ(second->callCount(), 1u);
    second.reset();
    EXPECT_EQ(errorOf([&] { cmd.execute(); }), kNoServer);
}
