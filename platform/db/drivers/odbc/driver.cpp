// The SQL Server driver: connection strings translated for the ODBC
// driver, pooled connections, one statement per call.
#include <cstdlib>
#include <filesystem>
#include <map>

#include "platform/db/drivers/odbc/error.h"
#include "platform/db/drivers/odbc/odbc.h"
#include "platform/db/drivers/odbc/session.h"
#include "platform/db/drivers/odbc/statement.h"
#include "platform/text.h"

namespace dz::db::odbc {

namespace {

// Never destroyed: connections may still be open when the process ends.
Pool& pool() {
    static Pool* p = new Pool;
    return *p;
}

std::string setting(const ConnectionInfo& info, std::initializer_list<const char*> keys) {
    for (const char* k : keys) {
        auto it = info.all.find(k);
        if (it != info.all.end()) return text::trim(it->second);
    }
    return "";
}

bool parseInt(const std::string& s, long& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end) return false;
    out = v;
    return true;
}

// A connection-string value, in braces when it holds a character that
// would end or confuse it.
std::string braced(const std::string& v) {
    bool plain = v.find_first_of(";{}=") == std::string::npos && text::trim(v) == v;
    if (plain) return v;
    return "{" + text::replaceAll(v, "}", "}}") + "}";
}

bool installed(const std::string& name) {
    SQLHENV env = environment();
    SQLCHAR desc[256], attrs[1024];
    SQLSMALLINT dlen = 0, alen = 0;
    SQLUSMALLINT dir = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(SQLDrivers(env, dir, desc, sizeof desc, &dlen, attrs, sizeof attrs, &alen))) {
        if (text::iequals((const char*)desc, name)) return true;
        dir = SQL_FETCH_NEXT;
    }
    return false;
}

const char* envOr(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// The translation of a connection string, made once per thread for the
// same string and the same driver settings of the environment.
const Target& targetOf(const Request& req) {
    thread_local std::map<std::string, Target> targets;
    std::string key = req.connectionString;
    key.append(1, '\0').append(envOr("DZ_ODBC_DRIVER")).append(1, '\0').append(envOr("DZ_ODBC_OPTIONS"));
    if (auto it = targets.find(key); it != targets.end()) return it->second;
    Target t = target(req.connection);  // a Data Source that cannot be read throws and is not kept
    if (targets.size() >= 16) targets.clear();
    return targets.emplace(std::move(key), std::move(t)).first->second;
}

}  // namespace

std::string defaultDriver() {
    static const std::string chosen = [] {
        if (installed("FreeTDS")) return std::string("FreeTDS");
        for (const char* p : {"/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so", "/usr/lib/aarch64-linux-gnu/odbc/libtdsodbc.so",
                              "/usr/lib64/libtdsodbc.so", "/usr/lib/libtdsodbc.so", "/usr/local/lib/libtdsodbc.so"}) {
            std::error_code ec;
            if (std::filesystem::exists(p, ec)) return std::string(p);
        }
        return std::string("FreeTDS");
    }();
    return chosen;
}

Target target(const ConnectionInfo& info) {
    Target t;
    const char* env = std::getenv("DZ_ODBC_DRIVER");
    t.driver = env && *env ? text::trim(env) : defaultDriver();
    t.freetds = text::ifind(t.driver, "tds") != std::string::npos;

    std::string source = text::trim(info.dataSource);
    if (source.size() >= 4 && text::iequals(source.substr(0, 4), "tcp:")) source = text::trim(source.substr(4));
    size_t slash = source.find('\\');
    size_t comma = source.find(',');
    std::string host = source;
    if (slash != std::string::npos) {
        host = source.substr(0, slash);
        t.instance = text::trim(source.substr(slash + 1));
    } else if (comma != std::string::npos) {
        host = source.substr(0, comma);
        long port = 0;
        if (!parseInt(text::trim(source.substr(comma + 1)), port) || port < 1 || port > 65535)
            throw OdbcError(Failure::unreachable, kNoServer);
        t.port = int(port);
    }
    host = text::trim(host);
    if (host.empty() || host == "." || text::iequals(host, "(local)")) host = "127.0.0.1";
    t.host = host;

    long v = 0;
    if (parseInt(setting(info, {"connect timeout", "connection timeout"}), v) && v > 0) t.loginTimeout = int(std::min(v, 300L));
    if (parseInt(setting(info, {"ole db services"}), v)) t.pooling = (v & 1) != 0;
    std::string pooling = setting(info, {"pooling"});
    if (text::iequals(pooling, "false") || text::iequals(pooling, "no") || pooling == "0") t.pooling = false;

    std::string cs = "DRIVER={" + t.driver + "};";
    if (t.freetds) {
        cs += "SERVER=" + braced(t.instance.empty() ? host : host + "\\" + t.instance) + ";";
        if (t.port) cs += "PORT=" + std::to_string(t.port) + ";";
        // A pinned version: with autodetection the second login attempt waits without a time-out.
        cs += "TDS_Version=7.4;ClientCharset=UTF-8;";
    } else {
        std::string server = t.instance.empty() ? "tcp:" + host : host + "\\" + t.instance;
        if (t.port) server += "," + std::to_string(t.port);
        cs += "SERVER=" + braced(server) + ";";
    }
    if (!info.initialCatalog.empty()) cs += "DATABASE=" + braced(info.initialCatalog) + ";";
    cs += "UID=" + braced(info.userId) + ";PWD=" + braced(info.password) + ";APP=DEZozevo;";
    if (const char* extra = std::getenv("DZ_ODBC_OPTIONS"); extra && *extra) {
        cs += extra;
        if (cs.back() != ';') cs += ';';
    }
    t.connectionString = cs;
    return t;
}

std::shared_ptr<OdbcDriver> OdbcDriver::instance() {
    static auto* d = new std::shared_ptr<OdbcDriver>(std::make_shared<OdbcDriver>());
    return *d;
}

Response OdbcDriver::execute(Request& req) {
    const Target& t = targetOf(req);
    Pool& p = pool();
    std::unique_ptr<Session> s;
    if (t.pooling) s = p.take(t.connectionString);
    if (!s) {
        s = std::make_unique<Session>(t.connectionString, t.loginTimeout, req.connection.userId,
                                       t.port ? t.port : t.instance.empty() ? 1433 : 0);
        p.count(&PoolStats::opened);
    }

    RunState state;
    auto finish = [&](bool keep) {
        if (keep && t.pooling) p.give(t.connectionString, std::move(s));
        else if (!keep) p.count(&PoolStats::discarded);
    };
    try {
        Response r = run(*s, req, state);
        finish(state.reusable);
        return r;
    } catch (const OdbcError& e) {
        finish(state.reusable && e.failure() == Failure::server);
        throw;
    } catch (const Error&) {
        finish(!state.sent);
        throw;
    }
}

PoolStats OdbcDriver::stats() const { return pool().stats(); }
void OdbcDriver::clearPool() { pool().clear(); }
size_t OdbcDriver::idleConnections() const { return pool().idle(); }

}  // namespace dz::db::odbc
