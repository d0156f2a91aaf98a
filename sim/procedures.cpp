// The built-in stored procedures of the simulated MES, by generation: the
// generation-10 "usp" procedures and the generation-20 "obj"/"uspPDO"/"uspPST"
// ones, plus two site procedures that every generation carries (the product
// structure and a generic unit-data function).
#include <algorithm>

#include "platform/text.h"
#include "sim/codes.h"
#include "sim/internal.h"

namespace dz::sim {

namespace {

std::string lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = text::asciiLower(c);
    return r;
}

// ---- plant look-ups -------------------------------------------------------

bool stationExists(sqlite3* db, const std::optional<std::string>& station) {
    if (!station) return false;
    Stmt q(db, "SELECT 1 FROM stations WHERE name = ?");
    q.with(*station);
    return q.step();
}

struct Unit {
    std::string serial, status;
    std::optional<long long> workOrderId, step;
    long long failCount = 0;
    std::optional<std::string> woNumber, partNumber, revision, route;
    std::optional<long long> woStatus;
};

std::optional<Unit> findUnit(sqlite3* db, const std::optional<std::string>& serial) {
    if (!serial) return std::nullopt;
    Stmt q(db,
           "SELECT u.serial, u.status, u.work_order_id, u.step, u.fail_count, w.number, w.part_number, "
           "w.revision, w.route, w.status_id FROM units u LEFT JOIN work_orders w ON w.id = u.work_order_id "
           "WHERE u.serial = ?");
    q.with(*serial);
    if (!q.step()) return std::nullopt;
    Unit u;
    u.serial = q.text(0);
    u.status = q.text(1);
    if (!q.isNull(2)) u.workOrderId = q.integer(2);
    if (!q.isNull(3)) u.step = q.integer(3);
    u.failCount = q.integer(4);
    u.woNumber = q.optText(5);
    u.partNumber = q.optText(6);
    u.revision = q.optText(7);
    u.route = q.optText(8);
    if (!q.isNull(9)) u.woStatus = q.integer(9);
    return u;
}

// The stations that may do the unit's next step, in name order.
std::vector<std::string> nextStations(sqlite3* db, const Unit& u) {
    std::vector<std::string> out;
    if (!u.route || !u.step || u.status == "COMPLETE") return out;
    Stmt q(db, "SELECT station FROM route_steps WHERE route = ? AND step = ? ORDER BY station");
    q.with(*u.route, *u.step);
    while (q.step()) out.push_back(q.text(0));
    return out;
}

bool isReleased(const Unit& u) { return u.woStatus && (*u.woStatus == 2 || *u.woStatus == 3); }

// The reason why the unit may not be tested at the station now, or 0.
int routeVerdict(sqlite3* db, const std::optional<Unit>& u, const std::optional<std::string>& station) {
    if (!u) return kUnitNotFound;
    if (!stationExists(db, station)) return kStationUnknown;
    if (u->status == "SCRAPPED") return kUnitScrapped;
    if (u->status == "HOLD") return kUnitOnHold;
    if (u->status == "COMPLETE") return kRouteCompleted;
    if (!u->workOrderId) return kNotRouted;  // a temporary unit has no route
    if (!isReleased(*u)) return kWorkOrderNotReleased;
    for (const auto& s : nextStations(db, *u))
        if (text::iequals(s, *station)) return kOk;
    return kNotRouted;
}

// The revision a request means: the one given, else the part's latest.
std::optional<std::string> resolveRevision(sqlite3* db, const std::string& part, const std::string& revision) {
    if (!revision.empty()) {
        Stmt q(db, "SELECT revision FROM parts WHERE part_number = ? AND revision = ?");
        q.with(part, revision);
        if (q.step()) return q.text(0);
        return std::nullopt;
    }
    Stmt q(db, "SELECT revision FROM parts WHERE part_number = ? ORDER BY revision DESC LIMIT 1");
    q.with(part);
    if (q.step()) return q.text(0);
    return std::nullopt;
}

// The station named by "<StationInfo Description="..."/>". The description
// may arrive escaped (well-formed) or as the raw name (then read between the
// first quotation mark and the last).
std::optional<std::string> stationFromElement(const std::optional<std::string>& xml) {
    if (!xml) return std::nullopt;
    if (auto e = parseXml(*xml)) {
        if (const std::string* d = e->attr("Description")) return *d;
        return std::nullopt;
    }
    size_t a = text::ifind(*xml, "Description=\"");
    size_t b = xml->rfind('"');
    if (a == std::string::npos || b == std::string::npos || b < a + 13) return std::nullopt;
    return xml->substr(a + 13, b - a - 13);
}

std::string undouble(std::string_view s) { return text::replaceAll(s, "''", "'"); }

// ---- unit data in the two shapes ------------------------------------------

// The unit's fixed facts first, then its unit data in id order, as rows of
// (ID, GName, FName, FValue, FType) straight into the call's table.
void unitItemRows(ProcCall& c, const Unit& u) {
    long long id = 0;
    auto row = [&](std::optional<std::string> group, std::string name, std::optional<std::string> value,
                   std::string type) {
        std::vector<db::Value> r;
        r.reserve(5);
        r.emplace_back(++id);
        r.emplace_back(group ? db::Value(std::move(*group)) : db::Value());
        r.emplace_back(std::move(name));
        r.emplace_back(value ? db::Value(std::move(*value)) : db::Value());
        r.emplace_back(std::move(type));
        c.row(std::move(r));
    };
    auto fact = [&](const char* name, std::optional<std::string> v) { row(std::nullopt, name, std::move(v), "char"); };
    // Sized up front: growing a table of many rows moves them all again.
    Stmt n(c.db, "SELECT count(*) FROM unit_data WHERE serial = ?");
    n.with(u.serial);
    if (n.step()) c.rows.reserve(7 + size_t(std::max(0LL, n.integer(0))));
    fact("SerialNumber", u.serial);
    fact("PartNumber", u.partNumber);
    fact("Revision", u.revision);
    fact("WorkOrder", u.woNumber);
    fact("Status", u.status);
    fact("RouteStep", u.step ? std::optional<std::string>(std::to_string(*u.step)) : std::nullopt);
    auto next = nextStations(c.db, u);
    std::string joined;
    for (const auto& s : next) joined += (joined.empty() ? "" : ",") + s;
    fact("NextStation", joined);
    Stmt q(c.db, "SELECT group_name, name, value, type FROM unit_data WHERE serial = ? ORDER BY id");
    q.with(u.serial);
    while (q.step()) row(q.optText(0), q.text(1), q.optText(2), q.text(3));
}

// ---- results --------------------------------------------------------------

// Moves the unit along its route after a result at `station`.
void advance(sqlite3* db, const std::string& serial, const std::optional<std::string>& station, bool passed) {
    std::optional<Unit> u = findUnit(db, serial);
    if (!u || u->status != "ACTIVE" || !station || !u->workOrderId) return;
    bool atStep = false;
    for (const auto& s : nextStations(db, *u))
        if (text::iequals(s, *station)) atStep = true;
    if (!atStep) return;

    std::string now = nowText();
    Stmt firstHere(db, "SELECT COUNT(*) FROM result_units r JOIN results t ON t.test_id = r.test_id "
                       "WHERE r.serial = ? AND t.station = ?");
    firstHere.with(serial, *station);
    firstHere.step();
    if (firstHere.integer(0) == 1)
        Stmt(db, "UPDATE work_order_lines SET line_start_qty = line_start_qty + 1 WHERE work_order_id = ? AND station = ?")
            .with(*u->workOrderId, *station)
            .run();
    // A unit's first result at the first step of its route starts it.
    Stmt first(db, "SELECT MIN(step) FROM route_steps WHERE route = ?");
    first.with(*u->route);
    first.step();
    if (firstHere.integer(0) == 1 && !first.isNull(0) && first.integer(0) == *u->step) {
        Stmt(db, "UPDATE work_orders SET started_qty = started_qty + 1 WHERE id = ?").with(*u->workOrderId).run();
        Stmt(db, "UPDATE work_orders SET status_id = 3 WHERE id = ? AND status_id = 2").with(*u->workOrderId).run();
    }
    if (!passed) {
        Stmt(db, "UPDATE units SET fail_count = fail_count + 1, updated = ? WHERE serial = ?").with(now, serial).run();
        return;
    }
    Stmt(db, "UPDATE work_order_lines SET line_ready_qty = line_ready_qty + 1 WHERE work_order_id = ? AND station = ?")
        .with(*u->workOrderId, *station)
        .run();
    Stmt next(db, "SELECT MIN(step) FROM route_steps WHERE route = ? AND step > ?");
    next.with(*u->route, *u->step);
    next.step();
    if (!next.isNull(0)) {
        Stmt(db, "UPDATE units SET step = ?, updated = ? WHERE serial = ?").with(next.integer(0), now, serial).run();
    } else {
        Stmt(db, "UPDATE units SET status = 'COMPLETE', updated = ? WHERE serial = ?").with(now, serial).run();
        Stmt(db, "UPDATE work_orders SET completed_qty = completed_qty + 1 WHERE id = ?").with(*u->workOrderId).run();
    }
}

// Nothing but line ends once blanks and tabs at both ends are cut off.
bool blankDocument(std::string_view d) {
    const size_t b = d.find_first_not_of(" \t");
    if (b == std::string_view::npos) return true;
    return d.substr(b, d.find_last_not_of(" \t") - b + 1).find_first_not_of("\r\n") == std::string_view::npos;
}

// Stores a result document (full or header form); the return code, and the
// test ID on success.
int storeResult(ProcCall& c, const std::string& document, const std::optional<std::string>& enter,
                const std::optional<std::string>& exit, long long* testId) {
    if (blankDocument(document)) return kResultEmpty;
    std::optional<ResultFacts> doc = readResult(document);
    if (!doc) return kResultUnreadable;
    if (doc->duts.empty()) return kResultNoUnit;
    const std::optional<std::string>& firstId = doc->duts[0].id;
    if (!firstId || firstId->empty()) return kResultNoUnit;
    if (!findUnit(c.db, *firstId)) return kUnitNotFound;

    bool terminated = false, allPassed = true;
    for (const ResultFacts::Dut& d : doc->duts) {
        std::string up = text::toUpper(d.status.value_or(""));
        if (up == "TERMINATE") terminated = true;
        if (!isPassWord(up)) allPassed = false;
    }
    std::string overall = terminated ? "TERMINATE" : allPassed ? "PASS" : "FAIL";

    Stmt ins(c.db,
             "INSERT INTO results(serial, station, status, procedure, received, enter_time, exit_time, document) "
             "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
    ins.with(*firstId, doc->station, overall, c.name, nowText(), enter, exit).bindRef(8, document).run();
    long long id = sqlite3_last_insert_rowid(c.db);
    for (const ResultFacts::Dut& d : doc->duts) {
        if (!d.id || d.id->empty()) continue;
        Stmt(c.db, "INSERT INTO result_units(test_id, serial, status) VALUES(?, ?, ?)").with(id, *d.id, d.status).run();
        if (!terminated) advance(c.db, *d.id, doc->station, isPassWord(text::toUpper(d.status.value_or(""))));
    }
    if (testId) *testId = id;
    return kOk;
}

// A document parameter as the procedure stores it: apostrophes undoubled.
std::string documentParam(const ProcCall& c, std::string_view name) {
    if (std::optional<std::string_view> v = c.textView(name)) return undouble(*v);
    return undouble(c.textOr(name, ""));
}

// ---- generation 10 --------------------------------------------------------

void uspGetSlaveInfo(ProcCall& c) {
    c.table({"Error", "MasterSlaveSolution", "ServerName", "DatabaseName", "UserName", "UserPassword"});
    Stmt q(c.db,
           "SELECT l.server_name, l.database_name, l.user_name, l.user_password FROM stations s "
           "JOIN slaves l ON l.name = s.slave WHERE s.name = ?");
    q.with(c.text("@StationName"));
    if (q.step())
        c.row({0, 1, q.text(0), q.text(1), q.text(2), q.text(3)});
    else
        c.row({0, 0, {}, {}, {}, {}});
}

void uspCheckRouting(ProcCall& c) {
    c.ret = routeVerdict(c.db, findUnit(c.db, c.text("@Product")), c.text("@Station"));
}

void uspGetUnitInfo(ProcCall& c) {
    std::optional<Unit> u = findUnit(c.db, c.text("@ProdSN"));
    if (!u) return c.errorRow(kUnitNotFound);
    c.pieces();
    c.piece("<UNITINFO>");
    auto element = [&](const char* tag, const std::optional<std::string>& v) {
        c.piece(std::string("<") + tag + ">" + xmlEscape(v.value_or("")) + "</" + tag + ">");
    };
    element("SERIALNUMBER", u->serial);
    element("PARTNUMBER", u->partNumber);
    element("REVISION", u->revision);
    element("WORKORDER", u->woNumber);
    element("STATUS", u->status);
    element("ROUTESTEP", u->step ? std::optional<std::string>(std::to_string(*u->step)) : std::nullopt);
    for (const auto& s : nextStations(c.db, *u)) element("NEXTSTATION", s);
    std::optional<std::string> open;
    Stmt q(c.db, "SELECT group_name, name, value FROM unit_data WHERE serial = ? "
                 "ORDER BY group_name IS NOT NULL, group_name, id");
    q.with(u->serial);
    while (q.step()) {
        std::optional<std::string> g = q.optText(0);
        if (g != open) {
            if (open) c.piece("</GROUP>");
            if (g) c.piece("<GROUP NAME=\"" + xmlEscape(*g) + "\">");
            open = g;
        }
        c.piece("<UNITDATA><NAME>" + xmlEscape(q.text(1)) + "</NAME><VALUE>" + xmlEscape(q.text(2)) +
                "</VALUE></UNITDATA>");
    }
    if (open) c.piece("</GROUP>");
    c.piece("</UNITINFO>");
}

bool truthy(const std::string& v) {
    std::string u = text::toUpper(text::trim(v));
    return !(u.empty() || u == "NO" || u == "N" || u == "0" || u == "FALSE" || u == "NONE");
}

void uspGetUnitAttributes(ProcCall& c) {
    std::optional<XmlElement> req = parseXml(c.textOr("@strXML", ""));
    const std::string* sn = req ? req->attr("SerialNumber") : nullptr;
    if (!sn || sn->empty()) return c.errorRow(kRequestUnreadable);
    std::optional<Unit> u = findUnit(c.db, *sn);
    if (!u) {
        std::optional<std::string> temp = c.text("@SaveAsTempSN");
        if (!temp || !truthy(*temp)) return c.errorRow(kUnitNotFound);
        // Registered as a temporary unit: known from now on, without a route.
        std::string now = nowText();
        Stmt(c.db, "INSERT INTO units(serial, status, created, updated) VALUES(?, 'TEMP', ?, ?)")
            .with(*sn, now, now)
            .run();
        u = findUnit(c.db, *sn);
    }
    c.table({"FN", "FVal"});
    c.row({"SerialNumber", u->serial});
    c.row({"Status", u->status});
    if (u->partNumber) {
        c.row({"PartNumber", *u->partNumber});
        c.row({"Revision", u->revision ? db::Value(*u->revision) : db::Value()});
        c.row({"WorkOrder", u->woNumber ? db::Value(*u->woNumber) : db::Value()});
        Stmt a(c.db, "SELECT name, value FROM part_attributes WHERE part_number = ? AND revision = ? ORDER BY seq");
        a.with(*u->partNumber, u->revision.value_or(""));
        while (a.step()) c.row({a.text(0), a.value(1)});
    }
    Stmt q(c.db, "SELECT name, value FROM unit_data WHERE serial = ? AND group_name IS NULL ORDER BY id");
    q.with(u->serial);
    while (q.step()) c.row({q.text(0), q.value(1)});
}

void uspTestSaveResult(ProcCall& c) {
    long long id = 0;
    c.ret = storeResult(c, documentParam(c, "@strXML"), std::nullopt, std::nullopt, &id);
    if (c.ret == kOk) c.output("@TestID", double(id));
}

void uspGetTestResultConfig(ProcCall& c) {
    c.table({"Method", "Dest"});
    Stmt q(c.db, "SELECT delivery_method, delivery_dest FROM stations WHERE name = ?");
    q.with(c.text("@Station"));
    if (q.step())
        c.row({q.text(0), q.text(1)});
    else
        c.row({"Database", ""});
}

void orderInfo(ProcCall& c) {
    std::optional<std::string> station = c.text("@Station");
    if (!stationExists(c.db, station)) return c.errorRow(kStationUnknown);
    c.table({"WONUM", "ORDERQTY", "STARTEDQTY", "COMPLETED", "WORKORDERID"});
    Stmt q(c.db,
           "SELECT w.number, w.order_qty, w.started_qty, w.completed_qty, w.id FROM work_order_lines l "
           "JOIN work_orders w ON w.id = l.work_order_id WHERE l.station = ? AND w.status_id IN (2, 3) "
           "ORDER BY w.status_id DESC, l.priority, w.id LIMIT 1");
    q.with(*station);
    if (q.step()) c.row({q.value(0), q.value(1), q.value(2), q.value(3), q.value(4)});
}

void orderInfoByStation(ProcCall& c) {
    std::optional<std::string> station = c.text("@Station");
    if (!stationExists(c.db, station)) return c.errorRow(kStationUnknown);
    c.table({"LINEPRIORITY", "LINEQTY", "LINESTARTQTY", "LINEREADYQTY", "WORKORDERID", "WORKORDERNUMBER",
             "PARTNUMBER", "REVISION", "STARTEDQUANTITIES", "TOTALCOMPLETED", "WORKORDERSTATUSID", "DETAIL1",
             "DETAIL2", "DETAIL3", "DETAIL4", "DETAIL5"});
    Stmt q(c.db,
           "SELECT l.priority, l.line_qty, l.line_start_qty, l.line_ready_qty, w.id, w.number, w.part_number, "
           "w.revision, w.started_qty, w.completed_qty, w.status_id, w.detail1, w.detail2, w.detail3, w.detail4, "
           "w.detail5 FROM work_order_lines l JOIN work_orders w ON w.id = l.work_order_id "
           "WHERE l.station = ? ORDER BY l.priority, w.id");
    q.with(*station);
    while (q.step()) {
        std::vector<db::Value> r;
        for (int i = 0; i < 16; ++i) r.push_back(q.value(i));
        c.row(std::move(r));
    }
}

void modelAttributes(ProcCall& c) {
    std::string part = c.textOr("@PartNumber", "");
    std::optional<std::string> rev = resolveRevision(c.db, part, c.textOr("@Revision", ""));
    if (!rev) return c.errorRow(kPartUnknown);
    c.table({"AttributeName", "AttributeValue"});
    Stmt q(c.db, "SELECT name, value FROM part_attributes WHERE part_number = ? AND revision = ? ORDER BY seq");
    q.with(part, *rev);
    while (q.step()) c.row({q.text(0), q.value(1)});
}

void uspGetCalibrationInfo(ProcCall& c) {
    std::optional<std::string> station = c.text("@station");
    if (!stationExists(c.db, station)) return c.errorRow(kStationUnknown);
    std::optional<std::string> fixture = c.text("@fixture");
    c.pieces();
    Stmt q(c.db, "SELECT name, value, unit, due, station, fixture FROM calibration WHERE station = ? AND fixture = ? "
                 "ORDER BY seq, name");
    q.with(*station, fixture.value_or(""));
    bool any = false;
    while (q.step()) {
        if (!any) {
            std::string open = "<CALIBRATION STATION=\"" + xmlEscape(q.text(4)) + "\"";
            if (fixture) open += " FIXTURE=\"" + xmlEscape(q.text(5)) + "\"";
            c.piece(open + ">");
            any = true;
        }
        std::string item = "<ITEM NAME=\"" + xmlEscape(q.text(0)) + "\" VALUE=\"" + xmlEscape(q.text(1)) + "\"";
        if (!q.isNull(2)) item += " UNIT=\"" + xmlEscape(q.text(2)) + "\"";
        if (!q.isNull(3)) item += " DUE=\"" + xmlEscape(q.text(3)) + "\"";
        c.piece(item + "/>");
    }
    if (any) c.piece("</CALIBRATION>");
}

void uspSaveCalibration(ProcCall& c) {
    std::optional<XmlElement> doc = parseXml(undouble(c.textOr("@xmlCalibration", "")));
    const std::string* station = doc ? doc->attr("STATION") : nullptr;
    if (!doc || !text::iequals(doc->name, "CALIBRATION") || !station) {
        c.ret = kCalibrationUnreadable;
        return;
    }
    if (!stationExists(c.db, *station)) {
        c.ret = kStationUnknown;
        return;
    }
    const std::string* fx = doc->attr("FIXTURE");
    std::string fixture = fx ? *fx : "";
    std::vector<const XmlElement*> items;
    doc->collect("ITEM", items);
    for (const XmlElement* it : items)
        if (!it->attr("NAME") || it->attr("NAME")->empty()) {
            c.ret = kCalibrationUnreadable;
            return;
        }
    std::string now = nowText();
    long long seq = 0;
    for (const XmlElement* it : items) {
        auto opt = [&](const char* n) {
            const std::string* v = it->attr(n);
            return v ? std::optional<std::string>(*v) : std::nullopt;
        };
        Stmt(c.db,
             "INSERT INTO calibration(station, fixture, seq, name, value, unit, due, updated) VALUES(?, ?, ?, ?, ?, ?, ?, ?) "
             "ON CONFLICT(station, fixture, name) DO UPDATE SET value = excluded.value, unit = excluded.unit, "
             "due = excluded.due, updated = excluded.updated")
            .with(*station, fixture, ++seq, *it->attr("NAME"), opt("VALUE"), opt("UNIT"), opt("DUE"), now)
            .run();
    }
}

// ---- generation 20 and later ----------------------------------------------

void objUTLGetSlaveConnection(ProcCall& c) {
    std::optional<std::string> station = stationFromElement(c.text("@xmlStation"));
    if (!station) {
        c.ret = kRequestUnreadable;
        return;
    }
    c.table({"InstanceName", "DatabaseName"});
    Stmt q(c.db,
           "SELECT l.server_name, l.database_name FROM stations s JOIN slaves l ON l.name = s.slave WHERE s.name = ?");
    q.with(*station);
    if (q.step()) {
        c.row({q.text(0), q.text(1)});
    } else {
        // The master serves the station itself: the caller's own server and database.
        c.row({text::trim(c.request->connection.dataSource), c.request->connection.initialCatalog});
    }
}

void objTSKGetUnitInfo(ProcCall& c) {
    std::optional<XmlElement> doc = parseXml(c.textOr("@xmlSerialNumber", ""));
    if (!doc) return c.errorRow(kRequestUnreadable);
    std::vector<const XmlElement*> items;
    doc->collect("S", items);
    if (items.empty()) return c.errorRow(kRequestUnreadable);
    // The request's attributes arrive in document order; the first that
    // names a unit is its serial number.
    std::optional<Unit> u;
    for (const XmlElement* s : items)
        if ((u = findUnit(c.db, s->text))) break;
    if (!u) return c.errorRow(kUnitNotFound);
    c.table({"ID", "GName", "FName", "FValue", "FType"});
    unitItemRows(c, *u);
}

void objTSKSaveTestResult(ProcCall& c) {
    c.ret = storeResult(c, documentParam(c, "@strXmlTestResult"), c.text("@EnterTime"), c.text("@ExitTime"),
                        nullptr);
}

void objUTLGetErrMessage(ProcCall& c) {
    Stmt q(c.db, "SELECT text FROM messages WHERE language = ? AND type = ? AND code = ?");
    q.with(c.textOr("@Language", "ENG"), c.textOr("@Type", "ERROR"), text::trim(c.textOr("@Code", "")));
    if (!q.step()) {
        c.output("@Message", db::Value());
        return;
    }
    // varchar(200): longer texts are cut
    std::string msg = q.text(0);
    long n = 0;
    size_t cut = msg.size();
    for (size_t i = 0; i < msg.size(); ++i)
        if (((unsigned char)msg[i] & 0xC0) != 0x80 && n++ == 200) {
            cut = i;
            break;
        }
    c.output("@Message", msg.substr(0, cut));
}

// ---- every generation -----------------------------------------------------

void productStructure(ProcCall& c) {
    std::optional<XmlElement> req = parseXml(c.textOr("@xmlPart", ""));
    if (!req) {
        c.ret = kRequestUnreadable;
        return;
    }
    std::string part, revision;
    if (const std::string* p = req->attr("PartNumber")) part = *p;
    if (const std::string* r = req->attr("Revision")) revision = *r;
    if (part.empty()) {
        if (const std::string* sn = req->attr("SerialNumber")) {
            std::optional<Unit> u = findUnit(c.db, *sn);
            if (!u) {
                c.ret = kUnitNotFound;
                return;
            }
            part = u->partNumber.value_or("");
            revision = u->revision.value_or("");
        }
    }
    if (part.empty()) {
        c.ret = kRequestUnreadable;
        return;
    }
    std::optional<std::string> rev = resolveRevision(c.db, part, revision);
    if (!rev) {
        c.ret = kPartUnknown;
        return;
    }
    c.table({"Parent", "Product-Family", "Description", "PartNumber", "Revision"});
    auto info = [&](const std::string& p, const std::string& r) {
        Stmt q(c.db, "SELECT family, description FROM parts WHERE part_number = ? AND revision = ?");
        q.with(p, r);
        if (q.step()) return std::pair<db::Value, db::Value>(q.value(0), q.value(1));
        return std::pair<db::Value, db::Value>();
    };
    // Each assembly row (Parent Null) is followed by its parts; parts that are
    // assemblies themselves follow as assemblies of their own.
    std::vector<std::pair<std::string, std::string>> pending{{part, *rev}}, done;
    while (!pending.empty()) {
        auto [p, r] = pending.front();
        pending.erase(pending.begin());
        if (std::find(done.begin(), done.end(), std::make_pair(p, r)) != done.end()) continue;
        done.emplace_back(p, r);
        auto [fam, desc] = info(p, r);
        c.row({{}, fam, desc, p, r});
        Stmt kids(c.db, "SELECT child_part, child_revision FROM product_structure WHERE parent_part = ? AND "
                        "parent_revision = ? ORDER BY seq");
        kids.with(p, r);
        std::vector<std::pair<std::string, std::string>> sub;
        while (kids.step()) {
            std::string cp = kids.text(0), cr = kids.text(1);
            auto [cf, cd] = info(cp, cr);
            c.row({p, cf, cd, cp, cr});
            Stmt has(c.db, "SELECT 1 FROM product_structure WHERE parent_part = ? AND parent_revision = ?");
            has.with(cp, cr);
            if (has.step()) sub.emplace_back(cp, cr);
        }
        pending.insert(pending.begin(), sub.begin(), sub.end());
    }
}

void uspSetUnitData(ProcCall& c) {
    std::optional<XmlElement> req = parseXml(c.textOr("@xmlIn", ""));
    const std::string* sn = req ? req->attr("SerialNumber") : nullptr;
    if (!sn || sn->empty()) {
        c.ret = kRequestUnreadable;
        return;
    }
    if (!findUnit(c.db, *sn)) {
        c.ret = kUnitNotFound;
        return;
    }
    std::vector<const XmlElement*> items;
    req->collect("Item", items);
    for (const XmlElement* it : items)
        if (!it->attr("Name") || it->attr("Name")->empty()) {
            c.ret = kRequestUnreadable;
            return;
        }
    for (const XmlElement* it : items) {
        const std::string* g = it->attr("Group");
        std::optional<std::string> group = (g && !g->empty()) ? std::optional<std::string>(*g) : std::nullopt;
        const std::string* v = it->attr("Value");
        std::optional<std::string> value = v ? std::optional<std::string>(*v) : std::nullopt;
        Stmt upd(c.db, "UPDATE unit_data SET value = ? WHERE serial = ? AND name = ? AND group_name IS ?");
        upd.with(value, *sn, *it->attr("Name"), group).run();
        if (sqlite3_changes(c.db) == 0)
            Stmt(c.db, "INSERT INTO unit_data(serial, group_name, name, value) VALUES(?, ?, ?, ?)")
                .with(*sn, group, *it->attr("Name"), value)
                .run();
    }
    Stmt(c.db, "UPDATE units SET updated = ? WHERE serial = ?").with(nowText(), *sn).run();
}

std::vector<ProcDef> makeProcedures() {
    using P = ParamSpec;
    return {
        // generation 10
        {"uspGetSlaveInfo", G10, {P{"@StationName"}}, uspGetSlaveInfo},
        {"uspCheckRouting", G10, {P{"@Product"}, P{"@Station"}}, uspCheckRouting},
        {"uspGetUnitInfo", G10, {P{"@ProdSN"}, P{"@station"}}, uspGetUnitInfo},
        {"uspGetUnitAttributes", G10, {P{"@strXML"}, P{"@station"}, P{"@SaveAsTempSN", false, true}},
         uspGetUnitAttributes},
        {"uspTestSaveResult", G10, {P{"@strXML"}, P{"@TestID", true}}, uspTestSaveResult},
        {"uspGetTestResultConfig", G10, {P{"@UnitID"}, P{"@Station"}}, uspGetTestResultConfig},
        {"uspGetOrderInfo", G10, {P{"@Station"}}, orderInfo},
        {"uspGetOrderInfoByStation", G10, {P{"@Station"}}, orderInfoByStation},
        {"uspGetModelAttributeByPartNumber", G10, {P{"@PartNumber"}, P{"@Revision", false, true}}, modelAttributes},
        {"uspGetCalibrationInfo", G10, {P{"@station"}, P{"@fixture", false, true}}, uspGetCalibrationInfo},
        {"uspSaveCalibration", G10, {P{"@xmlCalibration"}}, uspSaveCalibration},
        // generation 20 and later
        {"objUTLGetSlaveConnection", G24, {P{"@xmlStation"}}, objUTLGetSlaveConnection},
        {"objTSKGetUnitInfo", G20, {P{"@xmlSerialNumber"}, P{"@xmlStation"}, P{"@EnterTime"}, P{"@ExitTime"}},
         objTSKGetUnitInfo},
        {"objTSKGetUnitInfo", G22 | G23 | G24,
         {P{"@xmlSerialNumber"}, P{"@xmlStation"}, P{"@UserID"}, P{"@EnterTime"}, P{"@ExitTime"}},
         objTSKGetUnitInfo},
        {"objTSKSaveTestResult", GNew, {P{"@strXmlTestResult"}, P{"@EnterTime"}, P{"@ExitTime"}},
         objTSKSaveTestResult},
        {"uspPDOGetOrderInfo", GNew, {P{"@Station"}}, orderInfo},
        {"uspPDOGetOrderInfoByStation", GNew, {P{"@Station"}}, orderInfoByStation},
        {"uspPSTGetDetailByPartNumber", GNew, {P{"@PartNumber"}, P{"@Revision", false, true}}, modelAttributes},
        {"objUTLGetErrMessage", G23 | G24,
         {P{"@Language"}, P{"@Type"}, P{"@Code"}, P{"@Message", true}},
         objUTLGetErrMessage},
        // site procedures of every generation
        {"zeradurGetProductStructure", GAll, {P{"@xmlPart"}}, productStructure},
        {"uspSetUnitData", GAll, {P{"@xmlIn"}}, uspSetUnitData},
    };
}

}  // namespace

unsigned genBit(int generation) {
    switch (generation) {
    case 10: return G10;
    case 20: return G20;
    case 22: return G22;
    case 23: return G23;
    case 24: return G24;
    default: return 0;
    }
}

const std::vector<ProcDef>& builtinProcedures() {
    static const std::vector<ProcDef> procs = makeProcedures();
    return procs;
}

const ProcDef* findProcedure(std::string_view name, int generation) {
    for (const ProcDef& d : builtinProcedures())
        if ((d.generations & genBit(generation)) && text::iequals(d.name, name)) return &d;
    return nullptr;
}

std::vector<std::string> systemTables(int generation) {
    std::vector<std::string> t;
    if (generation >= 20) t.push_back("fsLanguage");
    if (generation >= 24) t.push_back("fsServerInfo");
    return t;
}

bool isPassWord(std::string_view status) {
    static const char* const kPass[] = {"PASS", "PASSED", "GOOD", "DONE", "SUCC", "SUCCESS", "SUCCEED"};
    std::string up = text::toUpper(status);
    for (const char* p : kPass)
        if (up == p) return true;
    return false;
}

// ---- ProcCall ---------------------------------------------------------------

std::optional<std::string> ProcCall::text(std::string_view param) const {
    auto it = in.find(lower(param));
    if (it == in.end() || it->second->isNull()) return std::nullopt;
    return it->second->toText();
}

std::optional<std::string_view> ProcCall::textView(std::string_view param) const {
    auto it = in.find(lower(param));
    if (it == in.end() || it->second->isNull()) return std::nullopt;
    if (it->second->isText()) return std::string_view(std::get<std::string>(it->second->raw()));
    return std::nullopt;
}

std::string ProcCall::textOr(std::string_view param, std::string_view def) const {
    std::optional<std::string> v = text(param);
    return v ? std::move(*v) : std::string(def);
}

void ProcCall::output(std::string_view param, db::Value v) {
    auto it = out.find(lower(param));
    if (it != out.end()) it->second->value = std::move(v);
}

void ProcCall::table(std::vector<std::string> cols) {
    columns = std::move(cols);
    rows.clear();
}

void ProcCall::row(std::vector<db::Value> r) { rows.push_back(std::move(r)); }

void ProcCall::pieces() { table({"strXML", "Seq"}); }

void ProcCall::piece(std::string text) { row({std::move(text), (long long)rows.size() + 1}); }

void ProcCall::errorRow(int code) {
    table({"ERROR"});
    row({code});
}

}  // namespace dz::sim
