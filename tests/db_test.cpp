// The database client layer and its scripted driver.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <thread>

#include "platform/db/db.h"
#include "platform/db/driver.h"
#include "platform/db/drivers/scripted/scripted.h"

using namespace dz::db;

namespace {

const std::string kNoRecord =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current record.";
const std::string kNotFound = "Item cannot be found in the collection corresponding to the requested name or ordinal.";
const std::string kClosed = "Operation is not allowed when the object is closed.";
const std::string kNoServer = "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.";

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.description();
    }
    return "<no error>";
}

std::string connect(const std::string& source) {
    return "Provider=SQLOLEDB;Password=p;User ID=u;Initial Catalog=db;Data Source=" + source +
           ";Network Library=DBMSSOCN;";
}

}  // namespace

// ---- Value ----------------------------------------------------------------

TEST(Value, NullNeverConverts) {
    Value v;
    EXPECT_EQ(errorOf([&] { v.toText(); }), "Invalid use of Null");
    EXPECT_EQ(errorOf([&] { v.toInt32(); }), "Invalid use of Null");
    EXPECT_EQ(errorOf([&] { v.toDouble(); }), "Invalid use of Null");
}

TEST(Value, TextOfEachKind) {
    EXPECT_EQ(Value(-42).toText(), "-42");
    EXPECT_EQ(Value(1234567890123LL).toText(), "1234567890123");
    EXPECT_EQ(Value(true).toText(), "True");
    EXPECT_EQ(Value(false).toText(), "False");
    EXPECT_EQ(Value("äö ").toText(), "äö ");
}

TEST(Value, DoublesPrintShortestWithFifteenDigits) {
    EXPECT_EQ(Value(100.0).toText(), "100");
    EXPECT_EQ(Value(1.5).toText(), "1.5");
    EXPECT_EQ(Value(-0.25).toText(), "-0.25");
    EXPECT_EQ(Value(0.1 + 0.2).toText(), "0.3");
    EXPECT_EQ(Value(1.0 / 3).toText(), "0.333333333333333");
    EXPECT_EQ(Value(123456789012345.0).toText(), "123456789012345");
    EXPECT_EQ(Value(1e15).toText(), "1E+15");
    EXPECT_EQ(Value(1.5e20).toText(), "1.5E+20");
    EXPECT_EQ(Value(0.0001).toText(), "0.0001");
    EXPECT_EQ(Value(0.00001).toText(), "1E-05");
    EXPECT_EQ(Value(-0.0).toText(), "0");
}

TEST(Value, Int32RangeAndRounding) {
    EXPECT_EQ(Value(2147483647LL).toInt32(), 2147483647);
    EXPECT_EQ(Value(-2147483648LL).toInt32(), INT32_MIN);
    EXPECT_EQ(errorOf([] { Value(2147483648LL).toInt32(); }), "Overflow");
    EXPECT_EQ(errorOf([] { Value(-2147483649LL).toInt32(); }), "Overflow");
    EXPECT_EQ(Value(2.5).toInt32(), 2);
    EXPECT_EQ(Value(3.5).toInt32(), 4);
    EXPECT_EQ(Value(-2.5).toInt32(), -2);
    EXPECT_EQ(Value(2.6).toInt32(), 3);
    EXPECT_EQ(errorOf([] { Value(3e9).toInt32(); }), "Overflow");
    EXPECT_EQ(errorOf([] { Value(std::nan("")).toInt32(); }), "Overflow");
    EXPECT_EQ(Value(true).toInt32(), -1);
    EXPECT_EQ(Value(false).toInt32(), 0);
}

TEST(Value, TextIsParsedStrictly) {
    EXPECT_EQ(Value(" 42 ").toInt32(), 42);
    EXPECT_EQ(Value("\t-7").toInt32(), -7);
    EXPECT_EQ(Value("+7").toInt32(), 7);
    EXPECT_EQ(Value("12.5").toInt32(), 12);
    EXPECT_EQ(Value("1e3").toInt32(), 1000);
    EXPECT_EQ(Value(".5").toDouble(), 0.5);
    EXPECT_EQ(Value("2147483647").toInt32(), 2147483647);
    EXPECT_EQ(errorOf([] { Value("2147483648").toInt32(); }), "Overflow");
    EXPECT_EQ(errorOf([] { Value("1e999").toDouble(); }), "Overflow");
    EXPECT_EQ(errorOf([] { Value("-0.0001e400").toDouble(); }), "Overflow");
    EXPECT_EQ(errorOf([] { Value("1e99999999999999999999").toDouble(); }), "Overflow");
    EXPECT_EQ(Value("123e-400").toDouble(), 0.0);
    EXPECT_EQ(Value("1e-99999999999999999999").toInt32(), 0);
    for (const char* bad : {"abc", "", "  ", "1 2", "12abc", "-", ".", "1e", "0x10", "--1"})
        EXPECT_EQ(errorOf([&] { Value(bad).toInt32(); }), "Type mismatch") << bad;
    EXPECT_DOUBLE_EQ(Value(" -1.25 ").toDouble(), -1.25);
    EXPECT_EQ(Value(7).toDouble(), 7.0);
}

// ---- Recordset -------------------------------------------------------------

TEST(Recordset, EmptyAndClosedSets) {
    Recordset empty({"A"}, {});
    EXPECT_TRUE(empty.bof());
    EXPECT_TRUE(empty.eof());
    EXPECT_EQ(errorOf([&] { empty.field("A"); }), kNoRecord);
    EXPECT_EQ(errorOf([&] { empty.moveNext(); }), kNoRecord);

    Recordset closed;
    EXPECT_FALSE(closed.isOpen());
    EXPECT_EQ(errorOf([&] { closed.eof(); }), kClosed);
    EXPECT_EQ(errorOf([&] { closed.fieldCount(); }), kClosed);
    EXPECT_EQ(errorOf([&] { closed.field(0); }), kClosed);

    Recordset rs({"A"}, {{1}});
    rs.close();
    EXPECT_EQ(errorOf([&] { rs.moveNext(); }), kClosed);
}

TEST(Recordset, ReadsForwardByNameOrPosition) {
    Recordset rs({"Error", "Name"}, {{0, "a"}, {1, Value()}});
    EXPECT_FALSE(rs.bof());
    EXPECT_EQ(rs.fieldCount(), 2u);
    EXPECT_TRUE(rs.hasField("NAME"));
    EXPECT_FALSE(rs.hasField("Nam"));
    EXPECT_EQ(rs.field("error").toInt32(), 0);
    EXPECT_EQ(rs.field(1).toText(), "a");
    EXPECT_EQ(errorOf([&] { rs.field("Missing"); }), kNotFound);
    EXPECT_EQ(errorOf([&] { rs.field(2); }), kNotFound);
    rs.moveNext();
    EXPECT_FALSE(rs.bof());
    EXPECT_TRUE(rs.field("Name").isNull());
    rs.moveNext();
    EXPECT_TRUE(rs.eof());
    EXPECT_EQ(errorOf([&] { rs.field("Name"); }), kNoRecord);
    EXPECT_EQ(errorOf([&] { rs.moveNext(); }), kNoRecord);
}

TEST(Recordset, RowsMustMatchColumns) {
    EXPECT_THROW(Recordset({"A", "B"}, {{1}}), Error);
}

TEST(Recordset, FailureOnARowStopsBeforeIt) {
    Recordset rs({"A"}, {{1}, {2}, {3}});
    rs.failAt(2, "[DBNETLIB][ConnectionRead (recv()).]General network error. Check your network documentation.");
    rs.moveNext();
    EXPECT_EQ(rs.field("A").toInt32(), 2);
    EXPECT_NE(errorOf([&] { rs.moveNext(); }).find("General network error"), std::string::npos);
    EXPECT_EQ(rs.field("A").toInt32(), 2);
    EXPECT_FALSE(rs.eof());
}

TEST(Recordset, SortsUnitItemsIntoGroups) {
    // GName, ID, FName, FValue, extra
    Recordset rs({"GName", "ID", "FName", "FValue", "X"}, {
                                                             {"Zeta", 4, "K", "V", 0},
                                                             {"Test", 3, "Mode", "A", 0},
                                                             {Value(), 1, "Model", "X1", 0},
                                                             {"Test", 2, "Limit", "5", 0},
                                                             {"", 10, "E", "e", 0},
                                                             {Value(), 0, "First", "f", 0},
                                                         });
    rs.moveNext();
    rs.sort("GName ASC, ID ASC");
    std::vector<std::string> names;
    for (; !rs.eof(); rs.moveNext()) names.push_back(rs.field("FName").toText());
    EXPECT_EQ(names, (std::vector<std::string>{"First", "Model", "E", "Limit", "Mode", "K"}));
}

TEST(Recordset, SortOrders) {
    Recordset rs({"N", "T"}, {{10, "b"}, {9.5, "B"}, {Value(), "a"}, {100, "b"}, {10, "a"}});
    rs.sort("n desc");  // numbers by value, Nulls last when descending
    std::vector<std::string> got;
    for (; !rs.eof(); rs.moveNext()) got.push_back(rs.field("T").toText());
    EXPECT_EQ(got, (std::vector<std::string>{"b", "b", "a", "B", "a"}));  // equal keys keep their order

    rs.sort("[T], N DESC");  // bytes: upper case first
    got.clear();
    for (; !rs.eof(); rs.moveNext()) got.push_back(rs.field("T").toText() + (rs.field("N").isNull() ? "-" : rs.field("N").toText()));
    EXPECT_EQ(got, (std::vector<std::string>{"B9.5", "a10", "a-", "b100", "b10"}));

    EXPECT_EQ(errorOf([&] { rs.sort("Nope ASC"); }), kNotFound);
    EXPECT_THROW(rs.sort("N,,T"), Error);
    Recordset closed;
    EXPECT_EQ(errorOf([&] { closed.sort("N"); }), kClosed);
}

// ---- Connection strings -----------------------------------------------------

TEST(ConnectionString, ComponentForm) {
    auto c = ConnectionInfo::parse(connect("SRV01"));
    EXPECT_EQ(c.provider, "SQLOLEDB");
    EXPECT_EQ(c.password, "p");
    EXPECT_EQ(c.userId, "u");
    EXPECT_EQ(c.initialCatalog, "db");
    EXPECT_EQ(c.dataSource, "SRV01");
    EXPECT_EQ(c.networkLibrary, "DBMSSOCN");
    EXPECT_EQ(c.all.at("user id"), "u");
}

TEST(ConnectionString, AliasesCaseAndUnknownKeys) {
    auto c = ConnectionInfo::parse(" provider = SQLOLEDB ; Connect Timeout=5;PWD=x;uid=y;DATABASE=d;server=s;network=n");
    EXPECT_EQ(c.provider, "SQLOLEDB");
    EXPECT_EQ(c.all.at("connect timeout"), "5");
    EXPECT_EQ(c.password, "x");
    EXPECT_EQ(c.userId, "y");
    EXPECT_EQ(c.initialCatalog, "d");
    EXPECT_EQ(c.dataSource, "s");
    EXPECT_EQ(c.networkLibrary, "n");
    EXPECT_EQ(c.all.at("pwd"), "x");
}

TEST(ConnectionString, UnquotedValuesWithSeparators) {
    auto c = ConnectionInfo::parse("Provider=SQLOLEDB;Password=a;b=c;User ID= u ;Initial Catalog=d=1;Data Source=s;");
    EXPECT_EQ(c.password, "a;b=c");
    EXPECT_EQ(c.userId, " u ");  // free-text values are kept as given
    EXPECT_EQ(c.initialCatalog, "d=1");
    EXPECT_EQ(c.dataSource, "s");

    // A password that itself looks like "...;User ID=..." cannot be told apart
    // from a real key: the split happens there and the later User ID wins.
    c = ConnectionInfo::parse("Provider=SQLOLEDB;Password=x;User ID=y;User ID=u;Data Source=s;");
    EXPECT_EQ(c.password, "x");
    EXPECT_EQ(c.userId, "u");
}

TEST(ConnectionString, QuotedValues) {
    auto c = ConnectionInfo::parse(R"(Password="a;User ID=""q""";User ID={x;}}y} ;Data Source="unterminated)");
    EXPECT_EQ(c.password, R"(a;User ID="q")");
    EXPECT_EQ(c.userId, "x;}y");
    EXPECT_EQ(c.dataSource, R"("unterminated)");
    // Quote characters inside a value are plain characters.
    c = ConnectionInfo::parse(R"(Password={a}b;Data Source=s)");
    EXPECT_EQ(c.password, "{a}b");
}

TEST(ConnectionString, MalformedAndEmpty) {
    EXPECT_TRUE(ConnectionInfo::parse("").all.empty());
    EXPECT_TRUE(ConnectionInfo::parse(" ;; ").all.empty());
    EXPECT_THROW(ConnectionInfo::parse("garbage"), Error);
    EXPECT_THROW(ConnectionInfo::parse("Provider=SQLOLEDB;garbage;Data Source=x"), Error);
    EXPECT_THROW(ConnectionInfo::parse("=x"), Error);
}

// ---- Command and registry ---------------------------------------------------

TEST(Command, ParameterSizesCountCharacters) {
    Command cmd;
    EXPECT_EQ(cmd.append("@a", adVarChar, adParamInput, "äö").size, 2);
    EXPECT_EQ(cmd.append("@b", adLongVarChar, adParamInput, "").size, 0);
    EXPECT_EQ(cmd.append("@c", adVarChar, adParamInput, Value()).size, 0);
    EXPECT_EQ(cmd.append("@d", adVarChar, adParamInput, Value(), 10L).size, 10);
    EXPECT_EQ(cmd.append("@e", adInteger, adParamInput, 12345).size, 0);
    EXPECT_EQ(cmd.append("@f", adVarWChar, adParamInput, 12345).size, 5);
    EXPECT_EQ(cmd.parameters().size(), 6u);
    EXPECT_EQ(cmd.value("@A").toText(), "äö");
    EXPECT_EQ(errorOf([&] { cmd.value("@zz"); }), kNotFound);
    EXPECT_TRUE(cmd.value("@RETURN_VALUE").isNull());
}

TEST(Command, ReturnValueDeclaredOrNot) {
    auto drv = ScriptedDriver::install("cmd-ret");
    drv->on("uspCheckRouting", ScriptedDriver::Answer::status(5));

    Command undeclared;
    undeclared.activeConnection = connect("script:cmd-ret");
    undeclared.text = "uspCheckRouting";
    undeclared.type = adCmdStoredProc;
    undeclared.append("@Product", adVarChar, adParamInput, "SN1");
    Recordset rs = undeclared.execute();
    EXPECT_FALSE(rs.isOpen());
    EXPECT_EQ(undeclared.value("@return_value").toInt32(), 5);

    Command declared = undeclared;
    declared.parameters().clear();
    declared.append("RETURN", adInteger, adParamReturnValue, 0);
    declared.execute();
    EXPECT_EQ(declared.value("RETURN").toInt32(), 5);
    EXPECT_EQ(declared.value("@RETURN_VALUE").toInt32(), 5);
}

TEST(Command, ConnectionErrors) {
    Command cmd;
    cmd.text = "x";
    EXPECT_NE(errorOf([&] { cmd.execute(); }).find("connection cannot be used"), std::string::npos);
    cmd.activeConnection = "garbage";
    EXPECT_NE(errorOf([&] { cmd.execute(); }).find("Format of the initialization string"), std::string::npos);
}

TEST(Registry, LongestPrefixAndDefault) {
    auto a = ScriptedDriver::install("reg");
    auto b = ScriptedDriver::install("reg-long");
    auto sim = std::make_shared<ScriptedDriver>();
    registerDriver("regsim:", sim);

    EXPECT_EQ(driverFor(ConnectionInfo::parse(connect("script:reg"))).get(),
              driverFor(ConnectionInfo::parse(connect("SCRIPT:REG "))).get());
    Command cmd;
    cmd.text = "select 1";
    cmd.activeConnection = connect("script:reg-long");
    cmd.execute();
    cmd.activeConnection = connect("regsim:/tmp/x.db");
    cmd.execute();
    EXPECT_EQ(a->callCount(), 0u);
    EXPECT_EQ(b->callCount(), 1u);
    EXPECT_EQ(sim->callCount(), 1u);

    // A name is not a prefix of a longer name; such sources go to the default.
    setDefaultDriver(nullptr);
    EXPECT_EQ(errorOf([] { driverFor(ConnectionInfo::parse(connect("script:reg-longer"))); }), kNoServer);
    EXPECT_EQ(errorOf([] { driverFor(ConnectionInfo::parse(connect("SRV01"))); }), kNoServer);
    setDefaultDriver([&] { return std::shared_ptr<Driver>(sim); });
    EXPECT_EQ(driverFor(ConnectionInfo::parse(connect("SRV01"))).get(), sim.get());
    setDefaultDriver(nullptr);
    unregisterDriver("regsim:");
}

TEST(Registry, DroppedScriptedDriverUnregisters) {
    auto first = ScriptedDriver::install("drop");
    auto fwd = driverFor(ConnectionInfo::parse(connect("script:drop")));
    auto second = ScriptedDriver::install("drop");  // replaces the first
    first.reset();                                  // must not remove the second
    Command cmd;
    cmd.activeConnection = connect("script:drop");
    cmd.text = "select 1";
    cmd.execute();
    EXPECT_EQ(second->callCount(), 1u);
    Request req;
    EXPECT_EQ(errorOf([&] { fwd->execute(req); }), kNoServer);  // a held handle outliving its driver
    second.reset();
    setDefaultDriver(nullptr);
    EXPECT_EQ(errorOf([&] { cmd.execute(); }), kNoServer);
}

// ---- Scripted driver ---------------------------------------------------------

class Scripted : public ::testing::Test {
protected:
    std::shared_ptr<ScriptedDriver> drv = ScriptedDriver::install("scripted-test");

    Command proc(const std::string& name) {
        Command c;
        c.activeConnection = connect("script:scripted-test");
        c.timeout = 60;
        c.text = name;
        c.type = adCmdStoredProc;
        return c;
    }
};

TEST_F(Scripted, MatchesProcedureNamesAndTextSubstrings) {
    drv->on("uspGetUnitInfo", ScriptedDriver::Answer::rowsOf({"strXML"}, {{"<a/>"}}));
    drv->on("select 24", ScriptedDriver::Answer::rowsOf({"n"}, {{24}}));

    auto c = proc("[dbo].[USPGETUNITINFO]");
    Recordset rs = c.execute();
    EXPECT_EQ(rs.field("strXML").toText(), "<a/>");
    EXPECT_EQ(c.value("@RETURN_VALUE").toInt32(), 0);  // procedures return 0 unless scripted

    auto prefixOnly = proc("uspGetUnitInfoEx");  // procedure names match whole
    EXPECT_FALSE(prefixOnly.execute().isOpen());

    Command text;
    text.activeConnection = connect("script:scripted-test");
    text.text = "if exists (...) begin ... SELECT 24 else ...";
    EXPECT_EQ(text.execute().field(0).toInt32(), 24);
    EXPECT_TRUE(text.value("@RETURN_VALUE").isNull());
}

TEST_F(Scripted, QueuedAnswersAndOtherwise) {
    drv->on("p", ScriptedDriver::Answer::status(1));
    drv->on("P", ScriptedDriver::Answer::status(2));
    drv->otherwise(ScriptedDriver::Answer::status(77));
    auto c = proc("p");
    std::vector<int> got;
    for (int i = 0; i < 3; ++i) {
        c.execute();
        got.push_back(c.value("@RETURN_VALUE").toInt32());
    }
    EXPECT_EQ(got, (std::vector<int>{1, 2, 2}));
    auto o = proc("other");
    o.execute();
    EXPECT_EQ(o.value("@RETURN_VALUE").toInt32(), 77);
}

TEST_F(Scripted, FailureAfterReturnValueAndOutputs) {
    ScriptedDriver::Answer a = ScriptedDriver::Answer::failure("Procedure raised an error");
    a.returnValue = 55;
    a.outputs["@Out"] = "written";
    a.outputs["@In"] = "ignored";
    drv->on("objTSKGetUnitInfo", a);

    auto c = proc("objTSKGetUnitInfo");
    c.append("RETURN", adInteger, adParamReturnValue, 0);
    c.append("@In", adVarChar, adParamInput, "sent");
    c.append("@OUT", adVarChar, adParamOutput, Value(), 50L);
    EXPECT_EQ(errorOf([&] { c.execute(); }), "Procedure raised an error");
    EXPECT_EQ(c.value("RETURN").toInt32(), 55);
    EXPECT_EQ(c.value("@RETURN_VALUE").toInt32(), 55);
    EXPECT_EQ(c.value("@out").toText(), "written");
    EXPECT_EQ(c.value("@In").toText(), "sent");

    auto calls = drv->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].param("@Out")->value.isNull());  // recorded as sent
    EXPECT_EQ(calls[0].param("RETURN")->value.toInt32(), 0);
}

TEST_F(Scripted, FailAllAndFailAtRow) {
    ScriptedDriver::Answer a = ScriptedDriver::Answer::rowsOf({"A"}, {{1}, {2}});
    a.failAtRow = std::make_pair(size_t(1), std::string("General network error"));
    drv->on("rows", a);
    ScriptedDriver::Answer first = a;
    first.failAtRow->first = 0;
    drv->on("first", first);

    auto c = proc("rows");
    Recordset rs = c.execute();
    EXPECT_EQ(rs.field("A").toInt32(), 1);
    EXPECT_EQ(errorOf([&] { rs.moveNext(); }), "General network error");
    auto f = proc("first");
    EXPECT_EQ(errorOf([&] { f.execute(); }), "General network error");

    drv->failAll("Timeout expired");
    EXPECT_EQ(errorOf([&] { c.execute(); }), "Timeout expired");
    EXPECT_EQ(drv->callCount(), 3u);
    drv->failAll(std::nullopt);
    EXPECT_NO_THROW(c.execute());
}

TEST_F(Scripted, RecordsEveryCall) {
    auto c = proc("uspCheckRouting");
    c.namedParameters = true;
    c.append("@Product", adVarChar, adParamInput, "SN1");
    c.append("@Station", adVarChar, adParamInput, "ST-ä");
    c.execute();
    auto calls = drv->calls();
    ASSERT_EQ(calls.size(), 1u);
    const auto& call = calls[0];
    EXPECT_EQ(call.text, "uspCheckRouting");
    EXPECT_EQ(call.type, adCmdStoredProc);
    EXPECT_EQ(call.timeout, 60);
    EXPECT_TRUE(call.namedParameters);
    EXPECT_EQ(call.connection.dataSource, "script:scripted-test");
    EXPECT_EQ(call.connectionString, c.activeConnection);
    ASSERT_EQ(call.parameters.size(), 2u);
    EXPECT_EQ(call.param("@station")->size, 4);
    EXPECT_EQ(call.param("@nope"), nullptr);
    drv->clearCalls();
    EXPECT_EQ(drv->callCount(), 0u);
}

TEST_F(Scripted, ConcurrentCommands) {
    drv->on("p", ScriptedDriver::Answer::status(3));
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                auto c = proc("p");
                c.execute();
                if (c.value("@RETURN_VALUE").toInt32() == 3) ++ok;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 200);
    EXPECT_EQ(drv->callCount(), 200u);
}
