// The query workers (work orders, model and unit attributes, calibration),
// message texts, product structure and the generic procedure call.
#include <gtest/gtest.h>

#include <functional>

#include "component/Tester.h"
#include "component/Context.h"
#include "support/errors.h"
#include "support/station.h"

using dz::Tester;
using dz::db::Value;
using Answer = dz::db::ScriptedDriver::Answer;
using Lines = std::vector<std::string>;
using Row = std::vector<Value>;
using Calls = std::vector<std::pair<std::string, Lines>>;  // procedure, parameters

namespace {

// On generation 24 the slave is the same scripted server.
void slaveHere(dz::test::Station& st) {
    st.db->on("objUTLGetSlaveConnection", Answer::rowsOf({"InstanceName", "DatabaseName"}, {{st.server, "db"}}));
}

struct Queries : ::testing::Test, dz::test::Started {
    std::string doc = "as passed", err = "stale";
    Queries() : Started(10) {}
    void start(int schema, const std::string& extraIni = "") { restart(schema, extraIni, slaveHere); }
};

const Lines kWoInfoColumns = {"WONUM", "ORDERQTY", "STARTEDQTY", "COMPLETED", "WORKORDERID", "X"};
const Lines kWoColumns = {"LINEPRIORITY", "LINEQTY",    "LINESTARTQTY", "LINEREADYQTY", "WORKORDERID",
                          "WORKORDERNUMBER", "PARTNUMBER", "REVISION", "STARTEDQUANTITIES", "TOTALCOMPLETED",
                          "WORKORDERSTATUSID", "DETAIL1", "DETAIL2", "DETAIL3", "DETAIL4", "DETAIL5", "EXTRA"};
const char* const kRequest = "<Unit SerialNumber=\"S\xC3\xA4\"/>";  // 25 characters

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

// The calls recorded, each a stored procedure on the working connection
// (" named" after its name: parameters bound by name).
void expectCalls(const dz::test::Station& st, const Calls& want) {
    const auto calls = st.db->calls();
    ASSERT_EQ(calls.size(), want.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        const size_t named = want[i].first.find(" named");
        EXPECT_EQ(dz::test::command(calls[i]),
                  want[i].first.substr(0, named) + " StoredProc 30" + (named == std::string::npos ? "" : " named"));
        EXPECT_EQ(calls[i].connectionString, dz::threadContext().connections.working);
        EXPECT_EQ(dz::test::params(calls[i]), want[i].second);
    }
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
        expectCalls(*s.st, {{order, {"@Station VarChar In 3 'ST1'"}},
                            {order, {"@Station VarChar In 7 ' St\xC3\xA4 2 '"}},
                            {byStation, {"@Station VarChar In 3 'ST1'"}},
                            {byStation, {"@Station VarChar In 4 'L\"1&'"}},
                            {model, {"@PartNumber VarChar In 3 'P-\xC3\xA4'", "@Revision VarChar In 0 ''"}}});
    }
}

TEST_F(Queries, AttributeAndCalibrationProcedures) {
    t->GetUnitAttributes(kRequest, out);           // the INI station, as wide text
    t->GetUnitAttributes("not xml", out, " L 1");  // a given one, as it is
    t->GetCalibrationInfo(out);
    t->GetCalibrationInfo(out, "ST\xC3\xA4", "FX9");
    EXPECT_EQ(t->SaveCalibration("<C n='\xC3\xA4'>X'1</C>"), 0);
    // "@SaveAsTempSN" is left out: the setting is "None" by default. Apostrophes are doubled for the save.
    expectCalls(*st, {{"uspGetUnitAttributes",
                       {"@strXML LongVarChar In 25 '" + std::string(kRequest) + "'", "@station VarWChar In 3 'ST1'"}},
                      {"uspGetUnitAttributes", {"@strXML LongVarChar In 7 'not xml'", "@station VarChar In 4 ' L 1'"}},
                      {"uspGetCalibrationInfo", {"@station VarChar In 3 'ST1'", "@fixture VarChar In 10 Null"}},
                      {"uspGetCalibrationInfo", {"@station VarChar In 3 'ST\xC3\xA4'", "@fixture VarChar In 3 'FX9'"}},
                      {"uspSaveCalibration",
                       {"return Integer Return 0 0", "@xmlCalibration LongVarChar In 19 '<C n=''\xC3\xA4''>X''1</C>'"}}});
}

TEST(UnitAttributesTempSN, SentUnlessExactlyNone) {
    for (const auto& [setting, sent] : std::vector<std::pair<std::string, Lines>>{
             {"none", {"@SaveAsTempSN VarChar In 4 'none'"}}, {"YES", {"@SaveAsTempSN VarChar In 3 'YES'"}},
             {"NONE ", {"@SaveAsTempSN VarChar In 4 'NONE'"}}, {"None", {}}}) {
        SCOPED_TRACE(setting);  // the INI reader trims the value
        dz::test::Started s(10, "[SERIALNUMBER]\nSaveAsTempSN=" + setting + "\n");
        s.t->GetUnitAttributes("r", s.out, "ST2");
        const Lines p = dz::test::params(s.st->db->calls().at(0));
        EXPECT_EQ(Lines(p.begin() + std::min<size_t>(p.size(), 2), p.end()), sent);
    }
}

// The shape the workers share: no row, an "ERROR" column, data rows, failures.
// At log level 1 only the failures' lines are written.
TEST(QueryWorkers, NoRowErrorCodesAndFailures) {
    const std::string notFound =
        "Item cannot be found in the collection corresponding to the requested name or ordinal.";
    const std::string network = "[DBNETLIB]General network error. Check your network.";
    const struct {
        const char *proc, *name;
        std::function<int32_t(Tester&, std::string&)> call;
        Lines columns;  // the first names the column that stays when the others are missing
        Row row;
        size_t lostAt;       // the row whose reading fails (order info reads one row only)
        const char* noRow;   // logged for no row
    } workers[] = {
        {"uspGetOrderInfo", "GetOrderInfo10_20", [](Tester& t, std::string& o) { return t.GetOrderInfo(o); },
         kWoInfoColumns, {"W1", 1, 2, 3, 4, 5}, 0, nullptr},
        {"uspGetOrderInfoByStation", "GetOrderInfoByStation10_20",
         [](Tester& t, std::string& o) { return t.GetOrderInfoByStation(o); }, kWoColumns, woRow("W1", 1), 1, nullptr},
        {"uspGetModelAttributeByPartNumber", "GetModelAttributes10_20",
         [](Tester& t, std::string& o) { return t.GetModelAttributes(o, "P", "A"); },
         {"AttributeName", "AttributeValue"}, {"a", "1"}, 1, nullptr},
        {"uspGetUnitAttributes", "GetUnitAttributes10", [](Tester& t, std::string& o) {
             return t.GetUnitAttributes("r", o); }, {"FN", "FVal"}, {"a", "1"}, 1, nullptr},
        {"uspGetCalibrationInfo", "GetCalibrationInfo10", [](Tester& t, std::string& o) {
             return t.GetCalibrationInfo(o); }, {"n", "strXML"}, {1, "<CAL/>"}, 1,
         "No Record returned for GetCalibrationInfo10. Station="},  // the station as the caller gave it
    };
    for (const auto& w : workers) {
        SCOPED_TRACE(w.proc);
        dz::test::Started s(10, "", {}, 1);
        auto on = [&](Answer a) { s.st->db->on(w.proc, std::move(a)); };
        on(Answer::rowsOf(w.columns, {}));
        for (Value code : {Value(0), Value(5), Value("-12"), Value("five"), Value()})
            on(Answer::rowsOf({"ERROR"}, {{code}}));
        on(Answer::rowsOf({"Other"}, {{"W1"}}));                          // one column, not ERROR
        on(Answer::rowsOf({w.columns[0], "Other"}, {{w.row[0], "x"}}));  // columns missing
        on(Answer{});                                                   // no record set
        on(Answer::failure(network));
        on(Answer::failure("Timeout expired"));
        Answer lost = Answer::rowsOf(w.columns, {w.row, w.row});
        lost.failAtRow = {{w.lostAt, network}};
        on(lost);  // lost while reading: no half-built document
        for (int status : {6000, 0, 5, -12, 9999, 9999, 9999, 9999, 9999, 9002, 9003, 9002})
            EXPECT_EQ(w.call(*s.t, s.out), status);
        EXPECT_EQ(s.out, "kept");
        const std::string r = std::string(w.name) + " returned =";
        Lines want = {r + "0", r + "5", r + "-12", "Type mismatch", "Invalid use of Null", notFound, notFound,
                      "Operation is not allowed when the object is closed.", network, "Timeout expired", network};
        if (w.noRow) want.insert(want.begin(), w.noRow);
        EXPECT_EQ(s.st->messages(), want);
    }
}

// ---- what the rows become ----------------------------------------------------

TEST_F(Queries, OrderInfoFromTheFirstRowWithItsNulls) {
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

// Rows in order with their status words, every column escaped, Nulls as
// defaults except for the work-order and part numbers.
TEST_F(Queries, ByStationDocument) {
    const std::vector<std::pair<Value, std::string>> words = {
        {1, "Planned"},      {2, "Released"}, {3, "Active"},        {4, "Completed"},  {5, "Force-Closed"},
        {6, "Shipped"},      {7, "Hold"},     {8, "Canceled"},      {0, "NotDefined"}, {9, "NotDefined"},
        {nullptr, "NotDefined"}, {"4", "Completed"}, {2.5, "NotDefined"}, {"open", "NotDefined"}};
    std::vector<Row> rows;
    std::string body;
    for (const auto& [id, word] : words) {
        rows.push_back(woRow("W" + std::to_string(rows.size()), id));
        body += wo("W" + std::to_string(rows.size() - 1), word);
    }
    const Value s("a&<b>\"'");
    const std::string e = "a&amp;&lt;b&gt;&quot;'";
    rows.push_back({s, s, s, s, s, s, s, s, s, s, 2, s, s, s, s, s, s});
    rows.push_back(Row(kWoColumns.size()));
    rows.back()[5] = "W";
    rows.back()[6] = "P";
    body += wo({e, e, e, e, e, e, e, e, e, e, "Released", e, e, e, e, e}) +
            wo({"", "", "", "", "", "W", "P", "", "0", "0", "NotDefined", "", "", "", "", ""});
    Row nullPart = woRow("W", 1);
    nullPart[6] = nullptr;
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf(kWoColumns, rows));
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf(kWoColumns, {woRow("W", 1), woRow(nullptr, 1)}));
    st->db->on("uspGetOrderInfoByStation", Answer::rowsOf(kWoColumns, {nullPart}));
    EXPECT_EQ(t->GetOrderInfoByStation(out), 0);
    EXPECT_EQ(out, "<WOBYSTATION STATION=\"ST1\">" + body + "</WOBYSTATION>");
    EXPECT_EQ(st->messages(), Lines{out});  // the document at level 2
    st->clearLog();
    out = "kept";
    EXPECT_EQ(t->GetOrderInfoByStation(out), 9999);  // even in a later row
    EXPECT_EQ(t->GetOrderInfoByStation(out), 9999);
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(st->messages(), (Lines{"Invalid use of Null", "Invalid use of Null"}));
}

TEST_F(Queries, ModelDocument) {
    // Text is escaped once (an entity's "&" too) and UTF-8 passes as it is.
    const Answer rows = Answer::rowsOf(
        {"AttributeName", "AttributeValue", "Other"},
        {{"Volt&lt;&<>\"'", "1<2 & \"3\">'", "x"}, {"Gr\xC3\xB6\xC3\x9F" "e", nullptr, "y"}, {"Amp", 2.5, "z"}});
    st->db->on("uspGetModelAttributeByPartNumber", rows);
    st->db->on("uspGetModelAttributeByPartNumber", rows);
    st->db->on("uspGetModelAttributeByPartNumber",
               Answer::rowsOf({"AttributeName", "AttributeValue"}, {{"a", "1"}, {nullptr, "2"}}));
    const std::string attrs =
        "<ATTR><NAME>Volt&amp;lt;&amp;&lt;&gt;&quot;'</NAME><VALUE>1&lt;2 &amp; &quot;3&quot;&gt;'</VALUE></ATTR>"
        "<ATTR><NAME>Gr\xC3\xB6\xC3\x9F" "e</NAME><VALUE></VALUE></ATTR><ATTR><NAME>Amp</NAME><VALUE>2.5</VALUE></ATTR>";
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

TEST_F(Queries, UnitAttributesBecomeAnEscapedList) {
    st->db->on("uspGetUnitAttributes",
               Answer::rowsOf({"FN", "FVal", "Other"}, {{"Color", "Red", 1}, {"Size", nullptr, 2}, {nullptr, "X", 3},
                                                        {"A<&", "1 < 2 & \"3\"", 4}, {"Count", 12, 5}}));
    EXPECT_EQ(t->GetUnitAttributes("r", out), 0);
    const std::string doc =
        "<UNITINFO><UNITDATA><NAME>Color</NAME><VALUE>Red</VALUE></UNITDATA>"
        "<UNITDATA><NAME>Size</NAME><VALUE></VALUE></UNITDATA><UNITDATA><NAME></NAME><VALUE></VALUE></UNITDATA>"
        "<UNITDATA><NAME>A&lt;&amp;</NAME><VALUE>1 &lt; 2 &amp; &quot;3&quot;</VALUE></UNITDATA>"
        "<UNITDATA><NAME>Count</NAME><VALUE>12</VALUE></UNITDATA></UNITINFO>";
    EXPECT_EQ(out, doc);
    EXPECT_EQ(st->messages(), (Lines{"r", doc}));  // the request and the list at level 2
}

TEST_F(Queries, CalibrationPiecesAreAppended) {
    st->db->on("uspGetCalibrationInfo", Answer::rowsOf({"strXML"}, {}));
    st->db->on("uspGetCalibrationInfo", Answer::rowsOf({"strXML", "n"}, {{"<CAL>", 1}, {nullptr, 2}, {"</CAL>", 3}}));
    EXPECT_EQ(t->GetCalibrationInfo(out, "ST9"), 6000);
    EXPECT_EQ(out, "kept");
    out = "X";
    EXPECT_EQ(t->GetCalibrationInfo(out), 0);  // pieces are appended to the caller's text
    EXPECT_EQ(out, "X<CAL></CAL>");
    EXPECT_EQ(st->messages(), (Lines{"No Record returned for GetCalibrationInfo10. Station=ST9", "X<CAL></CAL>"}));
}

TEST_F(Queries, CalibrationSaveStatusIsTheReturnValue) {
    Answer null;
    null.returnValue = Value();
    for (const Answer& a : {Answer::status(0), Answer::status(12), Answer::status(-1), null,
                            Answer::failure("Could not find stored procedure 'uspSaveCalibration'."),
                            Answer::failure("Timeout expired")})
        st->db->on("uspSaveCalibration", a);
    for (int status : {0, 12, -1, 9999, 9999, 9003}) EXPECT_EQ(t->SaveCalibration("<c/>"), status);
    // Neither the document nor a success is logged.
    EXPECT_EQ(st->messages(), (Lines{"SaveCalibration10 returned value=12", "Invalid use of Null",
                                     "Could not find stored procedure 'uspSaveCalibration'.", "Timeout expired"}));
}

// ---- message texts, product structure, generic function ---------------------

const Lines kColumns = {"Parent", "Product-Family", "Description", "PartNumber", "Revision"};
const char* const kTree = "zeradurGetProductStructure";

// ---- message texts ---------------------------------------------------------

// Served from revision 3 of generation 20 on; a Null or empty message is an
// empty text, and a failure reaches the caller.
TEST_F(Queries, ErrMessage) {
    for (int schema : {10, 20, 22, 23, 24}) {
        SCOPED_TRACE(schema);
        start(schema);
        Answer a;
        a.outputs["@Message"] = Value("No row");
        st->db->on("objUTLGetErrMessage", a);
        const bool served = schema >= 23;
        EXPECT_EQ(t->GetErrMessage(-1), served ? "No row" : "");
        EXPECT_EQ(st->db->callCount(), served ? 1u : 0u);
    }
    expectCalls(*st, {{"objUTLGetErrMessage", {"return Integer Return 0 0", "@Language VarChar In 3 'ENG'",
                                               "@Type VarChar In 5 'ERROR'", "@Code VarChar In 20 '-1'",
                                               "@Message VarChar Out 200 Null"}}});
    Answer empty;
    empty.outputs["@Message"] = Value("");
    st->db->on("objUTLGetErrMessage", Answer::status(5));  // Null message; status not read
    st->db->on("objUTLGetErrMessage", empty);
    st->db->on("objUTLGetErrMessage", Answer::failure("Could not find stored procedure 'objUTLGetErrMessage'."));
    EXPECT_EQ(t->GetErrMessage(1), "");
    EXPECT_EQ(t->GetErrMessage(1), "");
    EXPECT_EQ(dz::test::errorOf<dz::com::Error>([&] { t->GetErrMessage(1); }),
              "Could not find stored procedure 'objUTLGetErrMessage'.");
    EXPECT_EQ(st->log(), "");
}

// ---- product structure -----------------------------------------------------

std::string product(const char* fam, const char* descr, const char* pn, const char* rev, const char* end) {
    return std::string("<PRODUCT Product-Family=\"") + fam + "\" Description=\"" + descr + "\" PartNumber=\"" + pn +
           "\" Revision=\"" + rev + "\" " + end;
}

TEST_F(Queries, ProductStructure) {
    start(24);
    st->db->on(kTree, Answer::rowsOf(kColumns, {
        {Value(), "F", "Board", "100", "A"},
        {"100", "F", "Chip", "200", "B"},
        {Value(), "G", "Case", 300, Value()},   // a second assembly closes the first
        {"300", "G", "Screw", "301", "C"},
        {"301", "G", "Nut", "302", "D"},        // Parent names a part: still level two
        {Value(), "H", "Frame", "400", "E"},
        {Value(), "R&D", "5\" <Board>", "it's", "A"},  // two assemblies in a row; values escaped
    }));
    st->db->on(kTree, Answer::rowsOf(kColumns, {{"X", "F", "Chip", "200", "B"}, {"X", "F", "Diode", "201", "A"}}));
    st->db->on(kTree, Answer::rowsOf(kColumns, {}));
    EXPECT_EQ(t->GetProductStructure("<Part PN='100'/>", doc, err), 0);
    EXPECT_EQ(doc, "<ProductStructure>" + product("F", "Board", "100", "A", ">") +
                       product("F", "Chip", "200", "B", "/>") + "</PRODUCT>" + product("G", "Case", "300", "", ">") +
                       product("G", "Screw", "301", "C", "/>") + product("G", "Nut", "302", "D", "/>") + "</PRODUCT>" +
                       product("H", "Frame", "400", "E", ">") + "</PRODUCT>" +
                       product("R&amp;D", "5&quot; &lt;Board&gt;", "it's", "A", ">") + "</PRODUCT></ProductStructure>");
    EXPECT_EQ(err, "");
    expectCalls(*st, {{"zeradurGetProductStructure named",  // apostrophes not doubled
                       {"return Integer Return 0 0", "@xmlPart LongVarChar In 16 '<Part PN='100'/>'"}}});
    EXPECT_EQ(t->GetProductStructure("", doc, err), 0);  // parts only
    EXPECT_EQ(doc, "<ProductStructure>" + product("F", "Chip", "200", "B", "/>") +
                       product("F", "Diode", "201", "A", "/>") + "</ProductStructure>");
    EXPECT_EQ(t->GetProductStructure("", doc, err), 0);
    EXPECT_EQ(doc, "<ProductStructure></ProductStructure>");
    // Failures leave the caller's text; success is not logged.
    doc = "as passed";
    Answer three = Answer::rowsOf(kColumns, {{Value(), "F", "Board", "100", "A"}});
    three.returnValue = Value(3);
    Answer broken = Answer::rowsOf(kColumns, {{Value(), "F", "Board", "100", "A"}, {"100", "F", "Chip", "200", "B"},
                                              {"100", "F", "Diode", "201", "A"}});
    const std::string lost = "[DBNETLIB][ConnectionRead (recv()).]General network error. Check your network.";
    broken.failAtRow = {{2, lost}};
    st->db->on(kTree, three);
    st->db->on(kTree, broken);
    st->db->on(kTree, Answer::rowsOf({"Parent", "Description"}, {{Value(), "x"}}));
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9999);  // a procedure status other than 0
    EXPECT_EQ(err, "");
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9002);
    EXPECT_EQ(err, lost);
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9999);  // a missing column
    EXPECT_NE(err.find("Item cannot be found"), std::string::npos);
    EXPECT_EQ(doc, "as passed");
    EXPECT_EQ(st->messages(), (Lines{"", lost, err}));
    start(10, "[CUSTOMIZATION]\nSPToGetProductStructure = uspSiteTree\n");  // the procedure named in the INI
    st->db->failAll("Timeout expired");
    EXPECT_EQ(t->GetProductStructure("", doc, err), 9003);
    EXPECT_EQ(st->db->calls().at(0).text, "uspSiteTree");
    EXPECT_EQ(err, "Timeout expired");
}

// ---- generic function ------------------------------------------------------

const char* kMapping =
    "[CUSTOMIZATION]\nSPToGenericFunction =  uspDefault \n"
    "[GENERICFUNCTIONSMAPPING]\nPrintLabel = uspPrintLabel\nBlank = \"   \"\n";

TEST_F(Queries, GenericFunction) {
    start(24, kMapping);
    st->db->on("uspPrintLabel", Answer::rowsOf({"Out"}, {{"ignored"}}));
    st->db->on("uspDefault", Answer::status(7));
    st->db->on("uspDefault", Answer::failure("Timeout expired"));
    st->db->on("uspDefault", Answer::status(0));
    EXPECT_EQ(t->GetGenericFunction("<Label n='1'/>", doc, err, "printlabel"), 0);
    expectCalls(*st,
                {{"uspPrintLabel named", {"return Integer Return 0 0", "@xmlIn LongVarChar In 14 '<Label n='1'/>'"}}});
    // No name: the CUSTOMIZATION key's procedure, whose status other than 0 fails.
    EXPECT_EQ(t->GetGenericFunction("", doc, err), 9999);
    EXPECT_EQ(err, "");
    EXPECT_EQ(t->GetGenericFunction("", doc, err), 9003);
    EXPECT_EQ(err, "Timeout expired");
    EXPECT_EQ(t->GetGenericFunction("", doc, err), 0);  // a description passed in does not fail the call
    EXPECT_EQ(err, "");
    // Without a procedure name nothing is called; the INI is read on every call.
    EXPECT_EQ(t->GetGenericFunction("<x/>", doc, err, "Later"), 9999);
    EXPECT_EQ(t->GetGenericFunction("<x/>", doc, err, "Blank"), 9999);
    EXPECT_EQ(st->db->callCount(), 4u);
    st->home.write("DEZozevo.ini", st->home.read("DEZozevo.ini") + "Later=uspLater\n");
    EXPECT_EQ(t->GetGenericFunction("", doc, err, "Later"), 0);
    EXPECT_EQ(st->db->calls().back().text, "uspLater");
    EXPECT_EQ(doc, "as passed");  // never written
    const std::string wrong = "Wrong information for config file";
    EXPECT_EQ(st->messages(), (Lines{"", "Timeout expired", wrong, wrong}));
}

}  // namespace
