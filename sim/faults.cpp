// Fault schedules: failures, latency, time-outs, cut answers and refused
// logins, for a procedure, station or login, counted or in a time window.
// They live in the file, so the in-process driver and the listener apply the
// same ones, and counting is one UPDATE each, safe between processes.
#include <random>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "platform/text.h"
#include "sim/internal.h"
#include "sim/sim.h"

namespace dz::sim {

using json = nlohmann::json;

namespace {

const char* const kActions[] = {"fail", "latency", "timeout", "cut", "refuse-login"};
// A "timeout" without "ms" waits this long for the caller to give up.
constexpr long long kTimeoutWaitMs = 120000;

sqlite3* openOrThrow(const std::string& path) {
    try {
        return connect(path);
    } catch (const db::Error&) {
        throw std::runtime_error(path + " is not a simulator database");
    }
}

long long wholeNumber(const json& j, const char* key, long long min, long long max) {
    const json& v = j[key];
    if (!v.is_number_integer() || v.get<long long>() < min || v.get<long long>() > max)
        throw std::runtime_error(std::string("\"") + key + "\" must be a whole number from " + std::to_string(min) +
                                 " to " + std::to_string(max));
    return v.get<long long>();
}

std::optional<std::string> name(const json& j, const char* key) {
    if (!j.contains(key) || j[key].is_null()) return std::nullopt;
    if (!j[key].is_string()) throw std::runtime_error(std::string("\"") + key + "\" must be a name (text)");
    std::string s = dz::text::trim(j[key].get<std::string>());
    if (s.empty()) return std::nullopt;
    return s;
}

long long time(const json& j, const char* key) {
    if (!j[key].is_string()) throw std::runtime_error(std::string("\"") + key + "\" must be a UTC time as text");
    std::optional<long long> ms = parseWhen(j[key].get<std::string>(), nowMs());
    if (!ms)
        throw std::runtime_error(std::string("\"") + key + "\" must be a UTC time (2026-05-04T10:00:00Z) or +SECONDS, not \"" +
                                 j[key].get<std::string>() + "\"");
    return *ms;
}

json rowJson(Stmt& q) {
    json j = json::object();
    j["id"] = q.integer(0);
    j["action"] = q.text(1);
    auto opt = [&](int c) { return q.isNull(c) ? json(nullptr) : json(q.text(c)); };
    auto num = [&](int c) { return q.isNull(c) ? json(nullptr) : json(q.integer(c)); };
    j["procedure"] = opt(2);
    j["station"] = opt(3);
    j["login"] = opt(4);
    j["error"] = opt(5);
    j["status"] = num(6);
    if (!q.isNull(7)) j["ms"] = q.integer(7) == q.integer(8) ? json(q.integer(7)) : json::array({q.integer(7), q.integer(8)});
    j["next"] = num(9);
    j["every"] = num(10);
    j["from"] = q.isNull(11) ? json(nullptr) : json(utcText(q.integer(11)));
    j["until"] = q.isNull(12) ? json(nullptr) : json(utcText(q.integer(12)));
    j["seen"] = q.integer(13);
    j["hits"] = q.integer(14);
    j["created"] = q.text(15);
    return j;
}

const char* const kColumns =
    "id, action, procedure, station, login, error, status, min_ms, max_ms, remaining, every, from_ms, until_ms, "
    "seen, hits, created";

// Counts a matching call; true when the schedule fires on it (every K-th,
// while N remain).
bool fires(sqlite3* db, long long id) {
    Stmt q(db,
           "UPDATE faults SET seen = seen + 1, "
           "hits = hits + (every IS NULL OR (seen + 1) % every = 0), "
           "remaining = remaining - (every IS NULL OR (seen + 1) % every = 0) "
           "WHERE id = ? AND (remaining IS NULL OR remaining > 0) "
           "RETURNING every IS NULL OR seen % every = 0");
    q.with(id);
    return q.step() && q.integer(0) != 0;
}

long long randomBetween(long long a, long long b) {
    thread_local std::mt19937_64 gen{std::random_device{}()};
    return a >= b ? a : std::uniform_int_distribution<long long>(a, b)(gen);
}

}  // namespace

std::string addFault(const std::string& path, const std::string& text) {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) throw std::runtime_error("a fault schedule must be a JSON object");
    static const char* const kKeys[] = {"action", "procedure", "station", "login", "next", "every", "from",
                                        "until", "for_seconds", "error", "status", "ms"};
    for (auto it = j.begin(); it != j.end(); ++it)
        if (std::find_if(std::begin(kKeys), std::end(kKeys), [&](const char* k) { return it.key() == k; }) ==
            std::end(kKeys))
            throw std::runtime_error("unknown key \"" + it.key() +
                                     "\" (known: action, procedure, station, login, next, every, from, until, "
                                     "for_seconds, error, status, ms)");
    if (!j.contains("action") || !j["action"].is_string() ||
        std::find_if(std::begin(kActions), std::end(kActions),
                     [&](const char* a) { return j["action"].get<std::string>() == a; }) == std::end(kActions))
        throw std::runtime_error("\"action\" must be fail, latency, timeout, cut or refuse-login");
    std::string action = j["action"];
    std::optional<std::string> procedure = name(j, "procedure"), station = name(j, "station"),
                               login = name(j, "login");
    if (procedure) procedure = procedureName(*procedure);
    if (action == "refuse-login" && (procedure || station))
        throw std::runtime_error("refuse-login applies to a login, not to a procedure or station");

    std::optional<long long> next, every, from, until, minMs, maxMs, status;
    std::optional<std::string> error;
    if (j.contains("next")) next = wholeNumber(j, "next", 1, 1000000000);
    if (j.contains("every")) every = wholeNumber(j, "every", 1, 1000000000);
    if (j.contains("from")) from = time(j, "from");
    if (j.contains("until")) until = time(j, "until");
    if (j.contains("for_seconds")) {
        if (until) throw std::runtime_error("give \"until\" or \"for_seconds\", not both");
        until = from.value_or(nowMs()) + wholeNumber(j, "for_seconds", 1, 100000000) * 1000;
    }
    if (from && until && *until <= *from) throw std::runtime_error("\"until\" must come after \"from\"");
    if (j.contains("error")) {
        if (action != "fail" || !j["error"].is_string() || dz::text::trim(j["error"].get<std::string>()).empty())
            throw std::runtime_error("\"error\" is the description of a \"fail\" (text)");
        error = j["error"].get<std::string>();
    }
    if (j.contains("status")) {
        if (action != "fail") throw std::runtime_error("\"status\" belongs to a \"fail\"");
        status = wholeNumber(j, "status", INT32_MIN, INT32_MAX);
    }
    if (j.contains("ms")) {
        if (action != "latency" && action != "timeout")
            throw std::runtime_error("\"ms\" belongs to a \"latency\" or \"timeout\"");
        const json& m = j["ms"];
        constexpr long long kMax = 3600000;
        if (m.is_array() && m.size() == 2 && m[0].is_number_integer() && m[1].is_number_integer() &&
            m[0].get<long long>() >= 0 && m[0].get<long long>() <= m[1].get<long long>() && m[1].get<long long>() <= kMax) {
            minMs = m[0].get<long long>();
            maxMs = m[1].get<long long>();
        } else if (m.is_number_integer() && m.get<long long>() >= 0 && m.get<long long>() <= kMax) {
            minMs = maxMs = m.get<long long>();
        } else {
            throw std::runtime_error("\"ms\" must be milliseconds (0 to 3600000) or a range [MIN, MAX]");
        }
    }
    if (action == "latency" && !minMs) throw std::runtime_error("a \"latency\" needs \"ms\"");
    if (action == "fail" && !error && !status) error = "The simulator failed this call on purpose.";

    sqlite3* db = openOrThrow(path);
    try {
        Stmt ins(db,
                 "INSERT INTO faults(action, procedure, station, login, error, status, min_ms, max_ms, remaining, "
                 "every, from_ms, until_ms, created) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING " +
                     std::string(kColumns));
        auto n = [](const std::optional<long long>& v) { return v ? db::Value(*v) : db::Value(); };
        ins.with(action, procedure, station, login, error, n(status), n(minMs), n(maxMs), n(next), n(every), n(from),
                 n(until), utcText(nowMs()));
        ins.step();
        std::string out = rowJson(ins).dump();
        ins.run();
        return out;
    } catch (const db::Error& e) {
        throw std::runtime_error(e.description());
    }
}

std::vector<std::string> faults(const std::string& path) {
    sqlite3* db = openOrThrow(path);
    std::vector<std::string> out;
    try {
        Stmt q(db, "SELECT " + std::string(kColumns) + " FROM faults ORDER BY id");
        while (q.step()) {
            json j = rowJson(q);
            j["source"] = "schedule";
            out.push_back(j.dump());
        }
        // The faults of canned answers, listed beside them (changed with `answers`).
        for (const std::string& name : cannedNames(db)) {
            json a = json::parse(cannedAnswer(db, name).value_or("{}"), nullptr, false);
            if (!a.is_object()) continue;
            auto canned = [&](const char* action) {
                return json{{"id", nullptr}, {"source", "answers"}, {"action", action}, {"procedure", name},
                            {"station", nullptr}, {"login", nullptr}, {"next", nullptr}, {"every", nullptr},
                            {"from", nullptr}, {"until", nullptr}, {"error", nullptr}, {"status", nullptr}};
            };
            if (a.contains("delay_ms")) {
                json f = canned("latency");
                f["ms"] = a["delay_ms"];
                out.push_back(f.dump());
            }
            if (a.value("drop", false)) out.push_back(canned("cut").dump());
            if (a.contains("fail")) {
                json f = canned("fail");
                f["error"] = a["fail"];
                f["status"] = a.value("return", json());
                out.push_back(f.dump());
            }
        }
    } catch (const db::Error& e) {
        throw std::runtime_error(e.description());
    }
    return out;
}

int clearFaults(const std::string& path, std::optional<long long> id) {
    sqlite3* db = openOrThrow(path);
    try {
        if (id) Stmt(db, "DELETE FROM faults WHERE id = ?").with(*id).run();
        else execSql(db, "DELETE FROM faults");
        return sqlite3_changes(db);
    } catch (const db::Error& e) {
        throw std::runtime_error(e.description());
    }
}

void applyFaults(Session& s, const std::optional<std::string>& procedure, const std::optional<std::string>& station,
                 FaultEffect& effect) {
    struct Match {
        long long id;
        std::string action;
        std::optional<std::string> error;
        std::optional<int> status;
        long long minMs, maxMs;
    };
    std::vector<Match> matches;
    {
        long long now = nowMs();
        Stmt q(s.db,
               "SELECT id, action, error, status, min_ms, max_ms FROM faults "
               "WHERE action <> 'refuse-login' AND (remaining IS NULL OR remaining > 0) "
               "AND (procedure IS NULL OR procedure = ?) AND (station IS NULL OR station = ?) "
               "AND (login IS NULL OR login = ?) AND (from_ms IS NULL OR from_ms <= ?) "
               "AND (until_ms IS NULL OR until_ms > ?) ORDER BY id");
        q.with(procedure, station, s.request ? s.request->connection.userId : std::string(), now, now);
        while (q.step())
            matches.push_back({q.integer(0), q.text(1), q.optText(2),
                               q.isNull(3) ? std::nullopt : std::optional<int>(int(q.integer(3))),
                               q.isNull(4) ? 0 : q.integer(4), q.isNull(5) ? 0 : q.integer(5)});
    }
    for (const Match& m : matches) {
        if (!fires(s.db, m.id)) continue;
        if (m.action == "latency") {
            delay(s, randomBetween(m.minMs, m.maxMs));
        } else if (m.action == "timeout") {
            // Past the caller's time-out: in-process the command's own limit;
            // over the network the client's attention ends the wait.
            int timeout = s.request ? s.request->timeout : 0;
            long long wait = m.maxMs ? m.maxMs : timeout > 0 ? timeout * 1000ll + 1000 : kTimeoutWaitMs;
            delay(s, wait);
        } else if (m.action == "cut") {
            effect.cut = true;
        } else if (m.action == "fail") {
            if (m.error) {
                effect.status = m.status;
                throw db::Error(*m.error);
            }
            effect.status = m.status;
            return;
        }
    }
}

std::optional<std::string> loginRefusal(sqlite3* db, const std::string& user) {
    long long now = nowMs();
    std::vector<long long> ids;
    {
        Stmt q(db,
               "SELECT id FROM faults WHERE action = 'refuse-login' AND (remaining IS NULL OR remaining > 0) "
               "AND (login IS NULL OR login = ?) AND (from_ms IS NULL OR from_ms <= ?) "
               "AND (until_ms IS NULL OR until_ms > ?) ORDER BY id");
        q.with(user, now, now);
        while (q.step()) ids.push_back(q.integer(0));
    }
    for (long long id : ids)
        if (fires(db, id)) return "Login failed for user '" + user + "'.";
    return std::nullopt;
}

std::optional<std::string> refusedLogin(const std::string& path, const std::string& user) {
    return loginRefusal(connect(path), user);
}

}  // namespace dz::sim
