// Work orders, work orders by station, model attributes and EscapeXml.
#include <gtest/gtest.h>

#include <memory>

#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
#include "support/station.h"

using dz::Tester;
using dz::db::Parameter;
using dz::db::ScriptedDriver;
using dz::db::Value;
using dz::test::Station;
using Answer = ScriptedDriver::Answer;
using Lines = std::vector<std::string>;

namespace {

void expectInput(const Parameter& p, const std::string& name, long size, const Value& value) {
    SCOPED_TRACE(name);
    EXPECT_EQ(p.name, name);
    EXPECT_EQ(p.type, dz::db::adVarChar);
    EXPECT_EQ(p.direction, dz::db::adParamInput);
    EXPECT_EQ(p.size, size);
    EXPECT_EQ(p.value, value);
}

// A started component on a scripted server of the given schema number.
struct Server {
    std::unique_ptr<Station> st;
    std::unique_ptr<Tester> t;
    explicit Server(int generation, int logLevel = 2) {
        dz::modVariables() = dz::ModVariables{};
        st = std::make_unique<Station>("", logLevel);
        st->serveGeneration(generation);
        t = std::make_unique<Tester>();
        st->db->clearCalls();
        st->clearLog();
    }
    ScriptedDriver::Call onlyCall() const {
        auto calls = st->db->calls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? ScriptedDriver::Call{} : calls[0];
    }
};

struct Orders : ::testing::Test, Server {
    Orders() : Server(10) {}
};

// ---------------------------------------------------------------- EscapeXml

TEST(EscapeXml, EscapesTheFourCharactersOnce) {
    EXPECT_EQ(Tester::EscapeXml(""), "");
    EXPECT_EQ(Tester::EscapeXml("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e'f");
    EXPECT_EQ(Tester::EscapeXml("&lt;"), "&amp;lt;");
    EXPECT_EQ(Tester::EscapeXml("<<&&>>"), "&lt;&lt;&amp;&amp;&gt;&gt;");
    EXPECT_EQ(Tester::EscapeXml("Gr\xC3\xB6\xC3\x9F" "e 5\xE2\x80\x9D"), "Gr\xC3\xB6\xC3\x9F" "e 5\xE2\x80\x9D");
}

// ------------------------------------------------------------- GetOrderInfo

const std::vector<std::string> kWoInfoColumns = {"WONUM", "ORDERQTY", "STARTEDQTY", "COMPLETED", "WORKORDERID", "X"};

TEST(OrderProcedures, NamedByGeneration) {
    struct Case {
        int number;
        const char *order, *byStation, *model;
    };
    for (Case c : {Case{10, "uspGetOrderInfo", "uspGetOrderInfoByStation", "uspGetModelAttributeByPartNumber"},
                   Case{20, "uspPDOGetOrderInfo", "uspPDOGetOrderInfoByStation", "uspPSTGetDetailByPartNumber"},
                   Case{23, "uspPDOGetOrderInfo", "uspPDOGetOrderInfoByStation", "uspPSTGetDetailByPartNumber"}}) {
        SCOPED_TRACE(c.number);
        Server s(c.number);
        std::string out;
        s.t->GetOrderInfo(out);
        s.t->GetOrderInfoByStation(out);
        s.t->GetModelAttributes(out, "P", "");
        auto calls = s.st->db->calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].text, c.order);
        EXPECT_EQ(calls[1].text, c.byStation);
        EXPECT_EQ(calls[2].text, c.model);
        for (const auto& call : calls) {
            EXPECT_EQ(call.type, dz::db::adCmdStoredProc);
            EXPECT_EQ(call.timeout, 30);
            EXPECT_EQ(call.connectionString, dz::modVariables().ConnectString);
        }
    }
}

TEST_F(Orders, OrderInfoSendsTheStation) {
    std::string out;
    t->GetOrderInfo(out);                     // the INI station
    t->GetOrderInfo(out, " St\xC3\xA4 2 ");  // as given, blanks and all
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 2u);
    ASSERT_EQ(calls[0].parameters.size(), 1u);
    expectInput(calls[0].parameters[0], "@Station", 3, Value("ST1"));
    ASSERT_EQ(calls[1].parameters.size(), 1u);
    expectInput(calls[1].parameters[0], "@Station", 7, Value(" St\xC3\xA4 2 "));
}

TEST_F(Orders, OrderInfoDocumentFromTheFirstRow) {
    st->db->on("uspGetOrderInfo", Answer::rowsOf(kWoInfoColumns, {{"W&1<\"x\">'", 10, 4, 2, "7&", "ignored"},
                                                                   {"W2", 1, 1, 1, 8, "second"}}));
    std::string out = "old";
    EXPECT_EQ(t->GetOrderInfo(out), 0);
    EXPECT_EQ(out,
              "<WOINFO><WONUM>W&amp;1&lt;&quot;x&quot;&gt;'</WONUM><ORDERQTY>10</ORDERQTY><STARTEDQTY>4</STARTEDQTY>"
              "<COMPLETED>2</COMPLETED><WOID>7&</WOID></WOINFO>");
    EXPECT_EQ(st->log(), "");  // success is not logged
}

TEST_F(Orders, OrderInfoNulls) {
    st->db->on("uspGetOrderInfo", Answer::rowsOf(kWoInfoColumns, {{"W1", nullptr, nullptr, nullptr, nullptr, 1}}));
    st->db->on("uspGetOrderInfo", Answer::rowsOf(kWoInfoColumns, {{nullptr, 1, 2, 3, 4, 5}}));
    std::string out;
    EXPECT_EQ(t->GetOrderInfo(out), 0);
    EXPECT_EQ(out, "<WOINFO><WONUM>W1</WONUM><ORDERQTY></ORDERQTY><STARTEDQTY>0</STARTEDQTY>"
                   "<COMPLETED>0</COMPLETED><WOID></WOID></WOINFO>");
    out = "kept";
    EXPECT_EQ(t->GetOrderInfo(out), 9999);  // a Null work-order number fails
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(st->messages(), Lines{"Invalid use of Null"});
}

TEST_F(Orders, OrderInfoNoRowAndErrorCodes) {
    st->db->on("uspGetOrderInfo", Answer::rowsOf(kWoInfoColumns, {}));
    st->db->on("uspGetOrderInfo", Answer::rowsOf({"ERROR"}, {{0}}));
    st->db->on("uspGetOrderInfo", Answer::rowsOf({"ERROR"}, {{5}}));
    st->db->on("uspGetOrderInfo", Answer::rowsOf({"Error"}, {{"-12"}}));
    st->db->on("uspGetOrderInfo", Answer::rowsOf({"ERROR"}, {{"five"}}));
    st->db->on("uspGetOrderInfo", Answer::rowsOf({"WONUM"}, {{"W1"}}));  // one column, not ERROR
    std::string out = "kept";
    EXPECT_EQ(t->GetOrderInfo(out), 6000);
    EXPECT_EQ(st->log(), "");
    EXPECT_EQ(t->GetOrderInfo(out), 0);
    EXPECT_EQ(t->GetOrderInfo(out), 5);
    EXPECT_EQ(t->GetOrderInfo(out), -12);
    EXPECT_EQ(t->GetOrderInfo(out), 9999);
    EXPECT_EQ(t->GetOrderInfo(out), 9999);
    EXPECT_EQ(out, "kept");
    const Lines m = st->messages();
    ASSERT_EQ(m.size(), 5u);
    EXPECT_EQ(m[0], "GetOrderInfo10_20 returned =0");
    EXPECT_EQ(m[1], "GetOrderInfo10_20 returned =5");
    EXPECT_EQ(m[2], "GetOrderInfo10_20 returned =-12");
    EXPECT_EQ(m[3], "Type mismatch");
}

TEST_F(Orders, OrderInfoFailuresAreClassified) {
    st->db->on("uspGetOrderInfo", Answer::failure("[DBNETLIB]General network error. Check your network."));
    st->db->on("uspGetOrderInfo", Answer::failure("Timeout expired"));
    st->db->on("uspGetOrderInfo", Answer::rowsOf({"WONUM", "ORDERQTY"}, {{"W1", 1}}));  // columns missing
    st->db->on("uspGetOrderInfo", Answer{});                                             // no record set
    std::string out = "kept";
    EXPECT_EQ(t->GetOrderInfo(out), 9002);
    EXPECT_EQ(t->GetOrderInfo(out), 9003);
    EXPECT_EQ(t->GetOrderInfo(out), 9999);
    EXPECT_EQ(t->GetOrderInfo(out), 9999);
    EXPECT_EQ(out, "kept");
    const Lines m = st->messages();
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0], "[DBNETLIB]General network error. Check your network.");
    EXPECT_EQ(m[1], "Timeout expired");
}

// ---------------------------------------------------- GetOrderInfoByStation

const std::vector<std::string> kWoColumns = {
    "LINEPRIORITY", "LINEQTY",      "LINESTARTQTY",      "LINEREADYQTY",   "WORKORDERID", "WORKORDERNUMBER",
    "PARTNUMBER",   "REVISION",     "STARTEDQUANTITIES", "TOTALCOMPLETED", "WORKORDERSTATUSID",
    "DETAIL1",      "DETAIL2",      "DETAIL3",           "DETAIL4",        "DETAIL5",     "EXTRA"};

std::vector<Value> woRow(Value number, Value status) {
    return {1, 2, 3, 4, 5, number, "P1", "A", 6, 7, status, "d1", "d2", "d3", "d4", "d5", "x"};
}

std::string woText(const std::string& number, const std::string& status) {
    return "<WO><LINEPRIORITY>1</LINEPRIORITY><LINEQTY>2</LINEQTY><LINESTARTQTY>3</LINESTARTQTY>"
           "<LINEREADYQTY>4</LINEREADYQTY><WORKORDERID>5</WORKORDERID><WORKORDERNUMBER>" + number +
           "</WORKORDERNUMBER><PARTNUMBER>P1</PARTNUMBER><REVISION>A</REVISION><STARTEDQTY>6</STARTEDQTY>"
           "<READYQTY>7</READYQTY><ORDERSTATUS>" + status + "</ORDERSTATUS><DETAIL1>d1</DETAIL1><DETAIL2>d2</DETAIL2>"
           "<DETAIL3>d3</DETAIL3><DETAIL4>d4</DETAIL4><DETAIL5>d5</DETAIL5></WO>";
}

TEST_F(Orders, ByStationRowsInOrderUnderTheStation) {
    st->db->on("uspGetOrderInfoByStation",
               Answer::rowsOf(kWoColumns, {woRow("W3", 3), woRow("W1", 1), woRow("W3", 5)}));
    std::string out = "old";
    EXPECT_EQ(t->GetOrderInfoByStation(out), 0);
    const std::string doc = "<WOBYSTATION STATION=\"ST1\">" + woText("W3", "Active") + woText("W1", "Planned") +
                            woText("W3", "Force-Closed") + "</WOBYSTATION>";
    EXPECT_EQ(out, doc);
    expectInput(onlyCall().parameters.at(0), "@Station", 3, Value("ST1"));
    EXPECT_EQ(st->messages(), Lines{doc});  // the document at level 2

    // A given station is sent and named unchanged, quote and ampersand included.
    st->db->clearCalls();
    EXPECT_EQ(t->GetOrderInfoByStation(out, "L\"1&"), 0);
    EXPECT_EQ(out.rfind("<WOBYSTATION STATION=\"L\"1&\"><WO>", 0), 0u);
    expectInput(onlyCall().parameters.at(0), "@Station", 4, Value("L\"1&"));
}

TEST_F(Orders, ByStationStatusWords) {
    const std::vector<std::pair<Value, std::string>> cases = {
        {1, "Planned"},      {2, "Released"}, {3, "Active"},        {4, "Completed"},  {5, "Force-Closed"},
        {6, "Shipped"},      {7, "Hold"},     {8, "Canceled"},      {0, "NotDefined"}, {9, "NotDefined"},
        {nullptr, "NotDefined"}, {"4", "Completed"}, {2.5, "NotDefined"}, {"open", "NotDefined"}};
    std::vector<std::vector<Value>> rows;
    std::string expected = "<WOBYSTATION STATION=\"ST1\">";
    for (const auto& [id, word] : cases) {
        rows.push_back(woRow("W", id));
        expected += woText("W", word);
    }
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf(kWoColumns, rows));
    std::string out;
    EXPECT_EQ(t->GetOrderInfoByStation(out), 0);
    EXPECT_EQ(out, expected + "</WOBYSTATION>");
}

TEST_F(Orders, ByStationEscapesOnlyTheTextColumns) {
    const Value s("a&<b>\"'");
    const std::string e = "a&amp;&lt;b&gt;&quot;'";
    st->db->on("uspGetOrderInfoByStation",
               Answer::rowsOf(kWoColumns, {{s, s, s, s, s, s, s, s, s, s, 2, s, s, s, s, s, s}}));
    std::string out;
    EXPECT_EQ(t->GetOrderInfoByStation(out), 0);
    const std::string raw = "a&<b>\"'";
    EXPECT_EQ(out, "<WOBYSTATION STATION=\"ST1\"><WO><LINEPRIORITY>" + raw + "</LINEPRIORITY><LINEQTY>" + raw +
                       "</LINEQTY><LINESTARTQTY>" + raw + "</LINESTARTQTY><LINEREADYQTY>" + raw +
                       "</LINEREADYQTY><WORKORDERID>" + raw + "</WORKORDERID><WORKORDERNUMBER>" + e +
                       "</WORKORDERNUMBER><PARTNUMBER>" + e + "</PARTNUMBER><REVISION>" + e +
                       "</REVISION><STARTEDQTY>" + raw + "</STARTEDQTY><READYQTY>" + raw +
                       "</READYQTY><ORDERSTATUS>Released</ORDERSTATUS><DETAIL1>" + e + "</DETAIL1><DETAIL2>" + e +
                       "</DETAIL2><DETAIL3>" + e + "</DETAIL3><DETAIL4>" + e + "</DETAIL4><DETAIL5>" + e +
                       "</DETAIL5></WO></WOBYSTATION>");
}

TEST_F(Orders, ByStationNulls) {
    st->db->on("uspGetOrderInfoByStation",
               Answer::rowsOf(kWoColumns, {{nullptr, nullptr, nullptr, nullptr, nullptr, "W", "P", nullptr, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}}));
    std::string out;
    EXPECT_EQ(t->GetOrderInfoByStation(out), 0);
    EXPECT_EQ(out, "<WOBYSTATION STATION=\"ST1\"><WO><LINEPRIORITY></LINEPRIORITY><LINEQTY></LINEQTY>"
                   "<LINESTARTQTY></LINESTARTQTY><LINEREADYQTY></LINEREADYQTY><WORKORDERID></WORKORDERID>"
                   "<WORKORDERNUMBER>W</WORKORDERNUMBER><PARTNUMBER>P</PARTNUMBER><REVISION></REVISION>"
                   "<STARTEDQTY>0</STARTEDQTY><READYQTY>0</READYQTY><ORDERSTATUS>NotDefined</ORDERSTATUS>"
                   "<DETAIL1></DETAIL1><DETAIL2></DETAIL2><DETAIL3></DETAIL3><DETAIL4></DETAIL4>"
                   "<DETAIL5></DETAIL5></WO></WOBYSTATION>");

    // A Null order number or part number, even in a later row, fails the call.
    auto nullPart = woRow("W", 1);
    nullPart[6] = nullptr;
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf(kWoColumns, {woRow("W", 1), woRow(nullptr, 1)}));
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf(kWoColumns, {nullPart}));
    st->clearLog();
    out = "kept";
    EXPECT_EQ(t->GetOrderInfoByStation(out), 9999);
    EXPECT_EQ(t->GetOrderInfoByStation(out), 9999);
    EXPECT_EQ(out, "kept");  // no half-built document
    EXPECT_EQ(st->messages(), (Lines{"Invalid use of Null", "Invalid use of Null"}));
}

TEST_F(Orders, ByStationNoRowErrorAndLostConnection) {
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf(kWoColumns, {}));
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf({"ERROR"}, {{0}}));
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf({"ERROR"}, {{17}}));
    Answer lost = Answer::rowsOf(kWoColumns, {woRow("W1", 1), woRow("W2", 2)});
    lost.failAtRow = std::make_pair(size_t(1), std::string("[DBNETLIB]General network error."));
    st->db->on("uspGetOrderInfoByStation", lost);
    std::string out = "kept";
    EXPECT_EQ(t->GetOrderInfoByStation(out), 6000);
    EXPECT_EQ(st->log(), "");
    EXPECT_EQ(t->GetOrderInfoByStation(out), 0);
    EXPECT_EQ(t->GetOrderInfoByStation(out), 17);
    EXPECT_EQ(t->GetOrderInfoByStation(out), 9002);
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(st->messages(), (Lines{"GetOrderInfoByStation10_20 returned =0",
                                     "GetOrderInfoByStation10_20 returned =17", "[DBNETLIB]General network error."}));
}

TEST(OrdersQuiet, DocumentsAreLoggedOnlyAtLevelTwo) {
    Server s(10, 1);
    s.st->db->on("uspGetOrderInfoByStation", Answer::rowsOf(kWoColumns, {woRow("W1", 1)}));
    s.st->db->on("uspGetModelAttributeByPartNumber", Answer::rowsOf({"AttributeName", "AttributeValue"}, {{"a", 1}}));
    std::string out;
    EXPECT_EQ(s.t->GetOrderInfoByStation(out), 0);
    EXPECT_EQ(s.t->GetModelAttributes(out, "P", ""), 0);
    EXPECT_EQ(s.st->log(), "");
}

// ------------------------------------------------------- GetModelAttributes

TEST_F(Orders, ModelSendsPartAndRevision) {
    std::string out;
    t->GetModelAttributes(out, "P-\xC3\xA4", "");
    t->GetModelAttributes(out, " P ", "B2");
    auto calls = st->db->calls();
    ASSERT_EQ(calls.size(), 2u);
    ASSERT_EQ(calls[0].parameters.size(), 2u);
    expectInput(calls[0].parameters[0], "@PartNumber", 3, Value("P-\xC3\xA4"));
    expectInput(calls[0].parameters[1], "@Revision", 0, Value(""));  // sent also when empty
    ASSERT_EQ(calls[1].parameters.size(), 2u);
    expectInput(calls[1].parameters[0], "@PartNumber", 3, Value(" P "));
    expectInput(calls[1].parameters[1], "@Revision", 2, Value("B2"));
}

TEST_F(Orders, ModelDocument) {
    const Answer rows = Answer::rowsOf({"AttributeName", "AttributeValue", "Other"},
                                       {{"Volt&<>\"'", "1<2 & \"3\">'", "x"}, {"Amp", nullptr, "y"}, {"Amp", 2.5, "z"},
                                        {"Amp", 2.5, "z"}});
    st->db->on("uspGetModelAttributeByPartNumber", rows);
    st->db->on("uspGetModelAttributeByPartNumber", rows);
    std::string out = "old";
    EXPECT_EQ(t->GetModelAttributes(out, "P\"&<1", ""), 0);
    const std::string attrs =
        "<ATTR><NAME>Volt&amp;&lt;&gt;&quot;'</NAME><VALUE>1&lt;2 &amp; &quot;3&quot;&gt;'</VALUE></ATTR>"
        "<ATTR><NAME>Amp</NAME><VALUE></VALUE></ATTR><ATTR><NAME>Amp</NAME><VALUE>2.5</VALUE></ATTR>"
        "<ATTR><NAME>Amp</NAME><VALUE>2.5</VALUE></ATTR>";
    EXPECT_EQ(out, "<MODELATTR PARTNUMBER=\"P\"&<1\">" + attrs + "</MODELATTR>");
    EXPECT_EQ(t->GetModelAttributes(out, "P1", "R\"&<"), 0);
    EXPECT_EQ(out, "<MODELATTR PARTNUMBER=\"P1\" REVISION=\"R\"&<\">" + attrs + "</MODELATTR>");
    EXPECT_EQ(st->messages(), (Lines{"<MODELATTR PARTNUMBER=\"P\"&<1\">" + attrs + "</MODELATTR>", out}));
}

TEST_F(Orders, ModelNoRowErrorAndNullName) {
    st->db->on("uspGetModelAttributeByPartNumber", Answer::rowsOf({"AttributeName", "AttributeValue"}, {}));
    st->db->on("uspGetModelAttributeByPartNumber", Answer::rowsOf({"ERROR"}, {{0}}));
    st->db->on("uspGetModelAttributeByPartNumber", Answer::rowsOf({"ERROR"}, {{-2}}));
    st->db->on("uspGetModelAttributeByPartNumber",
               Answer::rowsOf({"AttributeName", "AttributeValue"}, {{"a", "1"}, {nullptr, "2"}}));
    st->db->on("uspGetModelAttributeByPartNumber", Answer::rowsOf({"AttributeName", "Value"}, {{"a", "1"}}));
    st->db->on("uspGetModelAttributeByPartNumber", Answer::failure("Login failed: access denied"));
    std::string out = "kept";
    EXPECT_EQ(t->GetModelAttributes(out, "P", "A"), 6000);
    EXPECT_EQ(st->log(), "");
    EXPECT_EQ(t->GetModelAttributes(out, "P", "A"), 0);
    EXPECT_EQ(t->GetModelAttributes(out, "P", "A"), -2);
    EXPECT_EQ(t->GetModelAttributes(out, "P", "A"), 9999);
    EXPECT_EQ(t->GetModelAttributes(out, "P", "A"), 9999);
    EXPECT_EQ(t->GetModelAttributes(out, "P", "A"), 9001);
    EXPECT_EQ(out, "kept");
    const Lines m = st->messages();
    ASSERT_EQ(m.size(), 5u);
    EXPECT_EQ(m[0], "GetModelAttributes10_20 returned =0");
    EXPECT_EQ(m[1], "GetModelAttributes10_20 returned =-2");
    EXPECT_EQ(m[2], "Invalid use of Null");
    EXPECT_EQ(m[4], "Login failed: access denied");
}

}  // namespace
