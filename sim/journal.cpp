// The journal: one entry per command received, with its caller, parameters
// by name, outcome and duration; bounded in entries and in kept long texts.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "platform/text.h"
#include "sim/internal.h"
#include "sim/sim.h"

namespace dz::sim {

using json = nlohmann::json;

// ---- time -------------------------------------------------------------------

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string utcText(long long ms) {
    std::time_t t = std::time_t(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms % 1000));
    return buf;
}

std::optional<long long> parseUtc(std::string_view text) {
    std::string s = dz::text::trim(text);
    int y, mo, d, h = 0, mi = 0, sec = 0, ms = 0, used = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used) != 3 || used != 10) return std::nullopt;
    std::string rest = s.substr(10);
    if (!rest.empty() && (rest[0] == 'T' || rest[0] == ' ')) {
        int n = 0;
        if (std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &h, &mi, &n) != 2 || n != 5) return std::nullopt;
        rest = rest.substr(6);
        if (!rest.empty() && rest[0] == ':') {
            if (std::sscanf(rest.c_str() + 1, "%2d%n", &sec, &n) != 1 || n != 2) return std::nullopt;
            rest = rest.substr(3);
            if (!rest.empty() && rest[0] == '.') {
                size_t digits = rest.find_first_not_of("0123456789", 1);
                std::string frac = rest.substr(1, (digits == std::string::npos ? rest.size() : digits) - 1);
                if (frac.empty()) return std::nullopt;
                ms = std::atoi((frac + "00").substr(0, 3).c_str());
                rest = rest.substr(1 + frac.size());
            }
        }
    }
    if (rest == "Z") rest.clear();
    if (!rest.empty() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    return (long long)timegm(&tm) * 1000 + ms;
}

std::optional<long long> parseWhen(std::string_view text, long long now) {
    std::string s = dz::text::trim(text);
    if (s.empty()) return std::nullopt;
    // "30s", "5m", "2h" ago; "+30" (seconds) from now.
    if (s[0] == '+' || std::isdigit((unsigned char)s[0])) {
        bool ahead = s[0] == '+';
        std::string n = ahead ? s.substr(1) : s;
        long long unit = 1000;
        if (!ahead && !n.empty()) {
            char u = n.back();
            unit = u == 's' ? 1000 : u == 'm' ? 60000 : u == 'h' ? 3600000 : u == 'd' ? 86400000 : 0;
            if (unit) n.pop_back();
        }
        if (unit && !n.empty() && n.size() < 10 && n.find_first_not_of("0123456789") == std::string::npos)
            return ahead ? now + std::stoll(n) * unit : now - std::stoll(n) * unit;
    }
    return parseUtc(s);
}

// ---- digests ------------------------------------------------------------------

std::string digest(std::string_view s) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", (unsigned long long)h);
    return std::string("fnv1a64:") + buf;
}

// ---- the caller -----------------------------------------------------------------

Caller inProcessCaller() {
    static const Caller c = [] {
        Caller r;
        r.connection = "pid " + std::to_string(::getpid());
        char host[256] = "";
        if (::gethostname(host, sizeof host - 1) == 0) r.host = host;
        r.program = program_invocation_short_name ? program_invocation_short_name : "";
        return r;
    }();
    return c;
}

// ---- recording ----------------------------------------------------------------------

namespace {

// A value longer than this is journaled as its size and digest; its text is
// kept apart while the kept texts stay under kKeptTextBytes.
constexpr size_t kLongValue = 64 * 1024;
constexpr long long kKeptTextBytes = 64ll * 1024 * 1024;

json valueJson(const db::Value& v) {
    if (v.isNull()) return nullptr;
    if (v.isInteger()) return std::get<long long>(v.raw());
    if (v.isDouble()) return std::get<double>(v.raw());
    if (v.isBool()) return std::get<bool>(v.raw());
    return std::get<std::string>(v.raw());
}

// STATION="..." of a result or calibration document, looked for near its start.
std::optional<std::string> stationAttribute(std::string_view doc) {
    std::string_view head = doc.substr(0, 4096);
    size_t at = 0, found;
    while ((found = dz::text::ifind(head.substr(at), "STATION")) != std::string_view::npos) {
        at += found;
        size_t i = at + 7;
        while (i < head.size() && (head[i] == ' ' || head[i] == '\t')) ++i;
        if (i < head.size() && head[i] == '=') {
            ++i;
            while (i < head.size() && (head[i] == ' ' || head[i] == '\t')) ++i;
            if (i < head.size() && (head[i] == '"' || head[i] == '\'')) {
                size_t end = head.find(head[i], i + 1);
                if (end != std::string_view::npos) return std::string(head.substr(i + 1, end - i - 1));
            }
        }
        at += 7;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> stationOf(std::string_view param, const db::Value& v) {
    if (!v.isText()) return std::nullopt;
    const std::string& s = std::get<std::string>(v.raw());
    std::string p = lowerAscii(param);
    if (p == "@station" || p == "@stationname") return s.empty() ? std::nullopt : std::optional<std::string>(s);
    if (p == "@xmlstation") {
        size_t a = dz::text::ifind(s, "Description=");
        if (a == std::string::npos || a + 13 >= s.size()) return std::nullopt;
        char q = s[a + 12];
        size_t end = s.find(q, a + 13);
        if (end == std::string::npos) return std::nullopt;
        return s.substr(a + 13, end - a - 13);
    }
    if (p == "@strxml" || p == "@strxmltestresult" || p == "@xmlcalibration") return stationAttribute(s);
    return std::nullopt;
}

JournalEntry::JournalEntry(const db::Request& req, const Caller& caller, const ProcDef* def)
    : startMs(nowMs()), start(std::chrono::steady_clock::now()), caller(caller) {
    login = req.connection.userId;
    type = req.type == db::adCmdStoredProc ? "procedure" : "text";
    text = req.text;
    params = json::array();
    if (!req.parameters) return;
    size_t pos = 0;
    for (const db::Parameter& p : *req.parameters) {
        std::string name = p.name;
        if (p.direction != db::adParamReturnValue) {
            // A positional parameter takes the procedure's own name at its place.
            if (name.empty() && !req.namedParameters && def && pos < def->params.size()) name = def->params[pos].name;
            ++pos;
            if (!station)
                if (auto st = stationOf(name, p.value)) station = std::move(st);
        }
        json j = {{"name", name}, {"type", int(p.type)}, {"direction", int(p.direction)}, {"size", p.size}};
        if (p.value.isText() && std::get<std::string>(p.value.raw()).size() > kLongValue) {
            const std::string& s = std::get<std::string>(p.value.raw());
            j["bytes"] = s.size();
            j["digest"] = digest(s);
            longValues.emplace_back(params.size(), &s);
        } else {
            j["value"] = valueJson(p.value);
        }
        params.push_back(std::move(j));
    }
}

void JournalEntry::record(sqlite3* db) {
    using namespace std::chrono;
    double ms = duration_cast<microseconds>(steady_clock::now() - start).count() / 1000.0;
    Stmt ins(db,
             "INSERT INTO calls(at, login, type, text, params, connection, host, program, station, procedure, "
             "status, rows, duration_ms, error) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    ins.with(utcText(startMs), login, type, text, params.dump(), caller.connection, caller.host, caller.program,
             station, procedure, status ? db::Value(*status) : db::Value(), rows ? db::Value(*rows) : db::Value(),
             double(std::llround(ms * 1000)) / 1000, error);
    ins.run();
    long long id = sqlite3_last_insert_rowid(db);
    for (const auto& [index, textPtr] : longValues) {
        if ((long long)textPtr->size() > kKeptTextBytes) continue;
        Stmt(db, "INSERT INTO call_texts(call_id, param, size, text) VALUES(?, ?, ?, ?)")
            .with(id, (long long)index, (long long)textPtr->size())
            .bindRef(4, *textPtr)
            .run();
        Stmt(db,
             "DELETE FROM call_texts WHERE rowid IN (SELECT rowid FROM (SELECT rowid, SUM(size) OVER "
             "(ORDER BY rowid DESC) AS total FROM call_texts) WHERE total > ?)")
            .with(kKeptTextBytes)
            .run();
    }
    // The newest kJournalEntries stay; trimmed now and then, not on every call.
    if (id % 256 == 0) {
        Stmt(db, "DELETE FROM calls WHERE id <= ?").with(id - kJournalEntries).run();
        Stmt(db, "DELETE FROM call_texts WHERE call_id <= ?").with(id - kJournalEntries).run();
    }
}

// ---- reading --------------------------------------------------------------------------

namespace {

sqlite3* openOrThrow(const std::string& path) {
    try {
        return connect(path);
    } catch (const db::Error&) {
        throw std::runtime_error(path + " is not a simulator database");
    }
}

json entryJson(Stmt& q, sqlite3* db) {
    json j = json::object();
    long long id = q.integer(0);
    j["id"] = id;
    j["at"] = q.text(1);
    j["connection"] = q.isNull(2) ? json(nullptr) : json(q.text(2));
    j["login"] = q.isNull(3) ? json(nullptr) : json(q.text(3));
    j["host"] = q.isNull(4) ? json(nullptr) : json(q.text(4));
    j["program"] = q.isNull(5) ? json(nullptr) : json(q.text(5));
    j["station"] = q.isNull(6) ? json(nullptr) : json(q.text(6));
    j["type"] = q.text(7);
    j["text"] = q.text(8);
    j["procedure"] = q.isNull(9) ? json(nullptr) : json(q.text(9));
    j["params"] = json::parse(q.text(10), nullptr, false);
    if (j["params"].is_discarded()) j["params"] = json::array();
    j["status"] = q.isNull(11) ? json(nullptr) : json(q.integer(11));
    j["rows"] = q.isNull(12) ? json(nullptr) : json(q.integer(12));
    j["duration_ms"] = q.isNull(13) ? json(nullptr) : json(q.value(13).toDouble());
    j["error"] = q.isNull(14) ? json(nullptr) : json(q.text(14));
    for (size_t i = 0; i < j["params"].size(); ++i) {
        json& p = j["params"][i];
        if (!p.contains("digest")) continue;
        Stmt k(db, "SELECT 1 FROM call_texts WHERE call_id = ? AND param = ?");
        k.with(id, (long long)i);
        p["kept"] = k.step();
    }
    return j;
}

}  // namespace

std::vector<std::string> journal(const std::string& path, const JournalFilter& f) {
    sqlite3* db = openOrThrow(path);
    std::vector<std::string> out;
    std::string where = " WHERE id > ?";
    std::optional<std::string> since;
    if (!f.since.empty()) {
        std::optional<long long> ms = parseWhen(f.since, nowMs());
        if (!ms) throw std::runtime_error("--since takes a UTC time (2026-05-04T10:00:00Z) or an age (30s, 5m, 2h), not \"" +
                                          f.since + "\"");
        since = utcText(*ms);
        where += " AND at >= ?";
    }
    if (!f.procedure.empty()) where += " AND (procedure = ? COLLATE NOCASE OR text = ? COLLATE NOCASE)";
    if (!f.station.empty()) where += " AND station = ? COLLATE NOCASE";
    std::string sql =
        "SELECT id, at, connection, login, host, program, station, type, text, procedure, params, status, rows, "
        "duration_ms, error FROM calls" +
        where;
    // The newest `limit` entries, still printed oldest first.
    sql = f.limit ? "SELECT * FROM (" + sql + " ORDER BY id DESC LIMIT ?) ORDER BY id" : sql + " ORDER BY id";
    try {
        Stmt q(db, sql);
        int i = 1;
        q.bind(i++, f.afterId);
        if (since) q.bind(i++, *since);
        if (!f.procedure.empty()) q.bind(i++, f.procedure), q.bind(i++, f.procedure);
        if (!f.station.empty()) q.bind(i++, f.station);
        if (f.limit) q.bind(i++, (long long)f.limit);
        while (q.step()) out.push_back(entryJson(q, db).dump());
    } catch (const db::Error& e) {
        throw std::runtime_error(e.description());
    }
    return out;
}

std::optional<std::string> journalValue(const std::string& path, long long id, int param) {
    sqlite3* db = openOrThrow(path);
    try {
        Stmt q(db, "SELECT text FROM call_texts WHERE call_id = ? AND param = ?");
        q.with(id, (long long)param);
        if (q.step()) return q.text(0);
        Stmt c(db, "SELECT params FROM calls WHERE id = ?");
        c.with(id);
        if (!c.step()) return std::nullopt;
        json p = json::parse(c.text(0), nullptr, false);
        if (p.is_array() && param >= 0 && size_t(param) < p.size() && p[param].contains("value")) {
            const json& v = p[param]["value"];
            return v.is_string() ? v.get<std::string>() : v.dump();
        }
    } catch (const db::Error& e) {
        throw std::runtime_error(e.description());
    }
    return std::nullopt;
}

void clearJournal(const std::string& path) {
    sqlite3* db = openOrThrow(path);
    try {
        Transaction tx(db);
        execSql(db, "DELETE FROM calls");
        execSql(db, "DELETE FROM call_texts");
        tx.commit();
    } catch (const db::Error& e) {
        throw std::runtime_error(e.description());
    }
}

}  // namespace dz::sim
