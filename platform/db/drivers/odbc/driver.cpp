// The SQL Server driver: connection strings translated for the ODBC
// driver, pooled connections, one statement per call.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>

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

const char* const kLibraries[] = {"/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so",
                                  "/usr/lib/aarch64-linux-gnu/odbc/libtdsodbc.so", "/usr/lib64/libtdsodbc.so",
                                  "/usr/lib/libtdsodbc.so", "/usr/local/lib/libtdsodbc.so"};

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// The library that odbcinst.ini names for an installed driver ("" when the
// driver is not installed), as written there.
std::optional<std::string> installedLibrary(const std::string& name) {
    SQLHENV env = environment();
    SQLCHAR desc[256], attrs[1024];
    SQLSMALLINT dlen = 0, alen = 0;
    SQLUSMALLINT dir = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(SQLDrivers(env, dir, desc, sizeof desc, &dlen, attrs, sizeof attrs, &alen))) {
        dir = SQL_FETCH_NEXT;
        if (!text::iequals((const char*)desc, name)) continue;
        // "key=value" pairs, each ended by a zero byte.
        const char* const end = (const char*)attrs + sizeof attrs;
        for (const char* a = (const char*)attrs; a < end && *a;) {
            const std::string_view pair(a, strnlen(a, size_t(end - a)));
            if (text::ifind(pair, "Driver=") == 0) return std::string(pair.substr(7));
            a += pair.size() + 1;
        }
        return std::string();
    }
    return std::nullopt;
}

bool installed(const std::string& name) { return installedLibrary(name).has_value(); }

// FreeTDS before 1.4 ends a braced value at its first "};" and keeps "}}" as
// it is; later versions, like every other driver, read "}}" as "}". Its
// version is read from the driver library's own version text.
bool readsDoubledBraces(const std::string& driver) {
    static std::mutex m;
    static std::map<std::string, bool> known;
    std::lock_guard<std::mutex> lock(m);
    if (auto it = known.find(driver); it != known.end()) return it->second;

    std::string library = driver;
    if (driver.find('/') == std::string::npos) {
        library = installedLibrary(driver).value_or("");
        if (library.find('/') == std::string::npos) {  // a bare file name: the usual folders
            const std::string name = library.empty() ? "libtdsodbc.so" : library;
            library.clear();
            for (const char* p : kLibraries)
                if (std::filesystem::path(p).filename() == name && exists(p)) library = p;
        }
    }
    bool doubled = true;
    std::ifstream in(library, std::ios::binary);
    const std::string mark = "freetds v";
    std::string window;
    char chunk[65536];
    while (in && doubled) {
        in.read(chunk, sizeof chunk);
        window.append(chunk, size_t(in.gcount()));
        size_t at = window.find(mark);
        if (at != std::string::npos && at + mark.size() + 8 <= window.size()) {
            int major = 0, minor = 0;
            if (std::sscanf(window.c_str() + at + mark.size(), "%d.%d", &major, &minor) == 2)
                doubled = major > 1 || (major == 1 && minor >= 4);
            break;
        }
        if (window.size() > 64) window.erase(0, window.size() - 64);
    }
    known[driver] = doubled;
    return doubled;
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
        for (const char* p : kLibraries)
            if (exists(p)) return std::string(p);
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

    t.doubledBraces = !t.freetds || readsDoubledBraces(t.driver);
    auto braced = [&](const std::string& v) { return quoteValue(v, t.doubledBraces); };
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

// Plain when the value allows it (every driver reads a plain value up to the
// next ";"), else in braces.
std::string quoteValue(const std::string& v, bool doubledBraces) {
    const bool plain = v.find(';') == std::string::npos && (v.empty() || v[0] != '{') && text::trim(v) == v;
    if (plain) return v;
    if (doubledBraces) return "{" + text::replaceAll(v, "}", "}}") + "}";
    if (v.find("};") != std::string::npos)
        throw OdbcError(Failure::server,
                        "A connection-string value holds \"};\", which this FreeTDS driver cannot read; FreeTDS 1.4 "
                        "or later can.");
    return "{" + v + "}";
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
