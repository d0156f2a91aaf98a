// Work orders, work orders by station, model attributes and XML escaping.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "component/Tester.h"
#include "component/Context.h"
#include "platform/xml/escape.h"
#include "support/station.h"

using dz::Tester;
using dz::db::Value;
using Answer = dz::db::ScriptedDriver::Answer;
using Lines = std::vector<std::string>;
using Row = std::vector<Value>;

namespace {

struct Orders : ::testing::Test, dz::test::Started {
    Orders() : Started(10) {}
};

const Lines kWoInfoColumns = {"WONUM", "ORDERQTY", "STARTEDQTY", "COMPLETED", "WORKORDERID", "X"};
const Lines kWoColumns = {"LINEPRIORITY", "LINEQTY",    "LINESTARTQTY", "LINEREADYQTY", "WORKORDERID",
                          "WORKORDERNUMBER", "PARTNUMBER", "REVISION", "STARTEDQUANTITIES", "TOTALCOMPLETED",
                          "WORKORDERSTATUSID", "DETAIL1", "DETAIL2", "DETAIL3", "DETAIL4", "DETAIL5", "EXTRA"};
const Lines kModelColumns = {"AttributeName", "AttributeValue"};

Row woRow(Value number, Value status) {
    return {1, 2, 3, 4, 5, number, "P1", "A", 6, 7, status, "d1", "d2", "d3", "d4", "d5", "x"};
}
// One <WO> of the by-station document from its sixteen element texts.
std::string wo(const Lines& v) {
    static const Lines tags = {"LINEPRIORITY", "LINEQTY", "LINESTARTQTY", "LINEREADYQTY", "WORKORDERID",
                               "WORKORDERNUMBER", "PARTNUMBER", "REVISION", "STARTEDQTY", "READYQTY",
                               "ORDERSTATUS", "DETAIL1", "DETAIL2", "DETAIL3", "DETAIL4", "DETAIL5"};
    std::string s = "<WO>";
    for (size_t i = 0; i < tags.size(); ++i) s += "<" + tags[i] + ">" + v.at(i) + "</" + tags[i] + ">";
    return s + "</WO>";
}
std::string wo(const std::string& number, const std::string& status) {
    return wo({"1", "2", "3", "4", "5", number, "P1", "A", "6", "7", status, "d1", "d2", "d3", "d4", "d5"});
}

TEST(XmlEscaping, EscapesTheFourCharactersOnce) {
    EXPECT_EQ(dz::xml::escaped("a&b<c>d\"e'f&lt;"), "a&amp;b&lt;c&gt;d&quot;e'f&amp;lt;");
    EXPECT_EQ(dz::xml::escaped("Gr\xC3\xB6\xC3\x9F" "e 5\xE2\x80\x9D"), "Gr\xC3\xB6\xC3\x9F" "e 5\xE2\x80\x9D");
}

TEST(OrderProcedures, NamedByGenerationWithTheirParameters) {
    for (auto [number, order, byStation, model] :
         {std::tuple{10, "uspGetOrderInfo", "uspGetOrderInfoByStation", "uspGetModelAttributeByPartNumber"},
          {23, "uspPDOGetOrderInfo", "uspPDOGetOrderInfoByStation", "uspPSTGetDetailByPartNumber"}}) {
        SCOPED_TRACE(number);
        dz::test::Started s(number);
        s.t->GetOrderInfo(s.out);                         // the INI station
        s.t->GetOrderInfo(s.out, " St\xC3\xA4 2 ");       // as given, blanks and all
        s.t->GetOrderInfoByStation(s.out);
        s.t->GetOrderInfoByStation(s.out, "L\"1&");
        s.t->GetModelAttributes(s.out, "P-\xC3\xA4", "");  // the revision is sent also when empty
        s.t->GetModelAttributes(s.out, " P ", "B2");
        auto calls = s.st->db->calls();
        ASSERT_EQ(calls.size(), 6u);
        const std::string names[] = {order, order, byStation, byStation, model, model};
        const Lines params[] = {{"@Station VarChar In 3 'ST1'"},
                                {"@Station VarChar In 7 ' St\xC3\xA4 2 '"},
                                {"@Station VarChar In 3 'ST1'"},
                                {"@Station VarChar In 4 'L\"1&'"},
                                {"@PartNumber VarChar In 3 'P-\xC3\xA4'", "@Revision VarChar In 0 ''"},
                                {"@PartNumber VarChar In 3 ' P '", "@Revision VarChar In 2 'B2'"}};
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(dz::test::command(calls[i]), names[i] + " StoredProc 30");
            EXPECT_EQ(calls[i].connectionString, dz::threadContext().connections.working);
            EXPECT_EQ(dz::test::params(calls[i]), params[i]);
        }
    }
}

// The shape the three workers share: no row, an "ERROR" column, data rows, failures.
TEST(OrderWorkers, NoRowErrorCodesAndFailures) {
    const std::string notFound =
        "Item cannot be found in the collection corresponding to the requested name or ordinal.";
    const std::string network = "[DBNETLIB]General network error. Check your network.";
    const struct {
        const char *proc, *name;
        std::function<int32_t(Tester&, std::string&)> call;
        Lines columns;
        Row row;
    } workers[] = {
        {"uspGetOrderInfo", "GetOrderInfo10_20", [](Tester& t, std::string& o) { return t.GetOrderInfo(o); },
         kWoInfoColumns, {"W1", 1, 2, 3, 4, 5}},
        {"uspGetOrderInfoByStation", "GetOrderInfoByStation10_20",
         [](Tester& t, std::string& o) { return t.GetOrderInfoByStation(o); }, kWoColumns, woRow("W1", 1)},
        {"uspGetModelAttributeByPartNumber", "GetModelAttributes10_20",
         [](Tester& t, std::string& o) { return t.GetModelAttributes(o, "P", "A"); }, kModelColumns, {"a", "1"}},
    };
    for (const auto& w : workers) {
        SCOPED_TRACE(w.proc);
        dz::test::Started s(10);
        auto on = [&](Answer a) { s.st->db->on(w.proc, std::move(a)); };
        on(Answer::rowsOf(w.columns, {}));
        for (Value code : {Value(0), Value(5), Value("-12"), Value("five")}) on(Answer::rowsOf({"ERROR"}, {{code}}));
        on(Answer::rowsOf({"Other"}, {{"W1"}}));                          // one column, not ERROR
        on(Answer::rowsOf({w.columns[0], "Other"}, {{w.row[0], "x"}}));  // columns missing
        on(Answer{});                                                   // no record set
        on(Answer::failure(network));
        on(Answer::failure("Timeout expired"));
        Answer lost = Answer::rowsOf(w.columns, {w.row, w.row});
        lost.failAtRow = {{w.columns == kWoInfoColumns ? 0 : 1, network}};  // order info reads one row only
        on(lost);  // lost while reading: no half-built document
        for (int status : {6000, 0, 5, -12, 9999, 9999, 9999, 9999, 9002, 9003, 9002})
            EXPECT_EQ(w.call(*s.t, s.out), status);
        EXPECT_EQ(s.out, "kept");
        const std::string r = std::string(w.name) + " returned =";
        EXPECT_EQ(s.st->messages(), (Lines{r + "0", r + "5", r + "-12", "Type mismatch", notFound, notFound,
                                           "Operation is not allowed when the object is closed.", network,
                                           "Timeout expired", network}));
    }
}

// ---- what the rows become ----------------------------------------------------

TEST_F(Orders, OrderInfoFromTheFirstRowWithItsNulls) {
    st->db->on("uspGetOrderInfo", Answer::rowsOf(kWoInfoColumns, {{"W&1<\"x\">'", 10, 4, 2, "7&", "ignored"},
                                                                   {"W2", 1, 1, 1, 8, "second"}}));
    st->db->on("uspGetOrderInfo", Answer::rowsOf(kWoInfoColumns, {{"W1", nullptr, nullptr, nullptr, nullptr, 1}}));
    st->db->on("uspGetOrderInfo", Answer::rowsOf(kWoInfoColumns, {{nullptr, 1, 2, 3, 4, 5}}));
    EXPECT_EQ(t->GetOrderInfo(out), 0);
    EXPECT_EQ(out, "<WOINFO><WONUM>W&amp;1&lt;&quot;x&quot;&gt;'</WONUM><ORDERQTY>10</ORDERQTY>"
                   "<STARTEDQTY>4</STARTEDQTY><COMPLETED>2</COMPLETED><WOID>7&amp;</WOID></WOINFO>");
    EXPECT_EQ(st->log(), "");  // success is not logged
    EXPECT_EQ(t->GetOrderInfo(out), 0);
    EXPECT_EQ(out, "<WOINFO><WONUM>W1</WONUM><ORDERQTY></ORDERQTY><STARTEDQTY>0</STARTEDQTY>"
                   "<COMPLETED>0</COMPLETED><WOID></WOID></WOINFO>");
    out = "kept";
    EXPECT_EQ(t->GetOrderInfo(out), 9999);  // a Null work-order number fails
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(st->messages(), Lines{"Invalid use of Null"});
}

TEST_F(Orders, ByStationRowsInOrderWithStatusWords) {
    const std::vector<std::pair<Value, std::string>> words = {
        {1, "Planned"},      {2, "Released"}, {3, "Active"},        {4, "Completed"},  {5, "Force-Closed"},
        {6, "Shipped"},      {7, "Hold"},     {8, "Canceled"},      {0, "NotDefined"}, {9, "NotDefined"},
        {nullptr, "NotDefined"}, {"4", "Completed"}, {2.5, "NotDefined"}, {"open", "NotDefined"}};
    std::vector<Row> rows;
    std::string expected = "<WOBYSTATION STATION=\"ST1\">";
    for (const auto& [id, word] : words) {
        rows.push_back(woRow("W" + std::to_string(rows.size()), id));
        expected += wo("W" + std::to_string(rows.size() - 1), word);
    }
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf(kWoColumns, rows));
    EXPECT_EQ(t->GetOrderInfoByStation(out), 0);
    EXPECT_EQ(out, expected + "</WOBYSTATION>");
    EXPECT_EQ(st->messages(), Lines{out});  // the document at level 2
    // A given station is named escaped.
    EXPECT_EQ(t->GetOrderInfoByStation(out, "L\"1&"), 0);
    EXPECT_EQ(out.rfind("<WOBYSTATION STATION=\"L&quot;1&amp;\"><WO>", 0), 0u);
}

TEST_F(Orders, ByStationEscapesEveryColumnAndNullsFailOnlyForNumberAndPart) {
    const Value s("a&<b>\"'");
    const std::string e = "a&amp;&lt;b&gt;&quot;'";
    Row nullPart = woRow("W", 1);
    nullPart[6] = nullptr;
    st->db->on("uspGetOrderInfoByStation",
               Answer::rowsOf(kWoColumns, {{s, s, s, s, s, s, s, s, s, s, 2, s, s, s, s, s, s}}));
    st->db->on("uspGetOrderInfoByStation",
               Answer::rowsOf(kWoColumns, {{nullptr, nullptr, nullptr, nullptr, nullptr, "W", "P", nullptr, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}}));
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf(kWoColumns, {woRow("W", 1), woRow(nullptr, 1)}));
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf(kWoColumns, {nullPart}));
    EXPECT_EQ(t->GetOrderInfoByStation(out), 0);
    EXPECT_EQ(out, "<WOBYSTATION STATION=\"ST1\">" +
                       wo({e, e, e, e, e, e, e, e, e, e, "Released", e, e, e, e, e}) + "</WOBYSTATION>");
    EXPECT_EQ(t->GetOrderInfoByStation(out), 0);
    EXPECT_EQ(out, "<WOBYSTATION STATION=\"ST1\">" +
                       wo({"", "", "", "", "", "W", "P", "", "0", "0", "NotDefined", "", "", "", "", ""}) +
                       "</WOBYSTATION>");
    st->clearLog();
    out = "kept";
    EXPECT_EQ(t->GetOrderInfoByStation(out), 9999);  // even in a later row
    EXPECT_EQ(t->GetOrderInfoByStation(out), 9999);
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(st->messages(), (Lines{"Invalid use of Null", "Invalid use of Null"}));
}

TEST_F(Orders, ModelDocument) {
    const Answer rows =
        Answer::rowsOf({"AttributeName", "AttributeValue", "Other"},
                       {{"Volt&<>\"'", "1<2 & \"3\">'", "x"}, {"Amp", nullptr, "y"}, {"Amp", 2.5, "z"}});
    st->db->on("uspGetModelAttributeByPartNumber", rows);
    st->db->on("uspGetModelAttributeByPartNumber", rows);
    st->db->on("uspGetModelAttributeByPartNumber", Answer::rowsOf(kModelColumns, {{"a", "1"}, {nullptr, "2"}}));
    const std::string attrs =
        "<ATTR><NAME>Volt&amp;&lt;&gt;&quot;'</NAME><VALUE>1&lt;2 &amp; &quot;3&quot;&gt;'</VALUE></ATTR>"
        "<ATTR><NAME>Amp</NAME><VALUE></VALUE></ATTR><ATTR><NAME>Amp</NAME><VALUE>2.5</VALUE></ATTR>";
    EXPECT_EQ(t->GetModelAttributes(out, "P\"&<1", ""), 0);
    EXPECT_EQ(out, "<MODELATTR PARTNUMBER=\"P&quot;&amp;&lt;1\">" + attrs + "</MODELATTR>");
    EXPECT_EQ(t->GetModelAttributes(out, "P1", "R\"&<"), 0);
    EXPECT_EQ(out, "<MODELATTR PARTNUMBER=\"P1\" REVISION=\"R&quot;&amp;&lt;\">" + attrs + "</MODELATTR>");
    EXPECT_EQ(st->messages(), (Lines{"<MODELATTR PARTNUMBER=\"P&quot;&amp;&lt;1\">" + attrs + "</MODELATTR>", out}));
    out = "kept";
    EXPECT_EQ(t->GetModelAttributes(out, "P1", ""), 9999);  // a Null name fails
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(st->messages().back(), "Invalid use of Null");
}

}  // namespace
