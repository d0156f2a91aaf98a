// The SQL Server driver: connection strings translated for the ODBC
// driver, pooled connections, one statement per call.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

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

// A library's FreeTDS version, read from its own version text.
std::pair<int, int> libraryVersion(const std::string& library) {
    std::ifstream in(library, std::ios::binary);
    const std::string mark = "freetds v";
    std::string window;
    char chunk[65536];
    while (in) {
        in.read(chunk, sizeof chunk);
        window.append(chunk, size_t(in.gcount()));
        size_t at = window.find(mark);
        if (at != std::string::npos && at + mark.size() + 8 <= window.size()) {
            int major = 0, minor = 0;
            if (std::sscanf(window.c_str() + at + mark.size(), "%d.%d", &major, &minor) == 2) return {major, minor};
            break;
        }
        if (window.size() > 64) window.erase(0, window.size() - 64);
    }
    return {0, 0};
}

// "yes"/"no" and their usual spellings; nullopt for anything else.
std::optional<bool> yesNo(const std::string& v) {
    for (const char* y : {"yes", "true", "1"})
        if (text::iequals(v, y)) return true;
    for (const char* n : {"no", "false", "0"})
        if (text::iequals(v, n)) return false;
    return std::nullopt;
}

// The keys of a "key=value;..." text, lower-cased.
std::vector<std::string> keysOf(const std::string& pairs) {
    std::vector<std::string> keys;
    size_t pos = 0;
    while (pos < pairs.size()) {
        size_t end = pairs.find(';', pos);
        if (end == std::string::npos) end = pairs.size();
        std::string part = pairs.substr(pos, end - pos);
        if (size_t eq = part.find('='); eq != std::string::npos) {
            std::string key;
            for (char c : text::trim(part.substr(0, eq))) key += text::asciiLower(c);
            keys.push_back(key);
        }
        pos = end + 1;
    }
    return keys;
}

[[noreturn]] void refuse(const std::string& why) { throw OdbcError(Failure::server, why); }

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
    const ClientOptions& c = req.client;
    for (const std::string* v : {&c.driver, &c.encrypt, &c.trustServerCertificate, &c.caFile,
                                 &c.hostNameInCertificate, &c.loginTimeout})
        key.append(1, '\0').append(*v);
    if (auto it = targets.find(key); it != targets.end()) return it->second;
    Target t = target(req.connection, req.client);  // a setting that cannot be honoured throws and is not kept
    if (targets.size() >= 16) targets.clear();
    return targets.emplace(std::move(key), std::move(t)).first->second;
}

// What FreeTDS leaves unsaid when an encrypted login failed before the
// server answered it: " (the cause)", or "" when the cause is not that.
std::string encryptionCause(const Target& t) {
    using Encryption = Target::Encryption;
    if (t.encryption != Encryption::require && t.encryption != Encryption::strict && !t.verify) return "";
    if (!t.instance.empty()) return "";  // its port is the SQL Server Browser's to tell
    std::optional<int> offered = preloginEncryption(t.host, t.port ? t.port : 1433, std::min(t.loginTimeout, 10));
    if (!offered) return "";
    if (*offered == 2) {
        if (t.encryption == Encryption::request) return "";
        return std::string(" (the server offers no encryption, and Encrypt=") +
               (t.encryption == Encryption::strict ? "strict" : "mandatory") + " requires it)";
    }
    if (!t.verify) return "";
    return " (the server's certificate did not verify against " +
           (t.caFile.empty() ? std::string("the system's certificate authorities") : "CAFile " + t.caFile) +
           " for the name " + t.certificateHost + "; TrustServerCertificate=yes accepts it unchecked)";
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

std::pair<int, int> freetdsVersion(const std::string& driver) {
    static std::mutex m;
    static std::map<std::string, std::pair<int, int>> known;
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
    return known[driver] = libraryVersion(library);
}

Target target(const ConnectionInfo& info, const ClientOptions& client) {
    Target t;
    const char* env = std::getenv("DZ_ODBC_DRIVER");
    t.driver = env && *env ? text::trim(env) : !text::trim(client.driver).empty() ? text::trim(client.driver)
                                                                                  : defaultDriver();
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
    const std::string loginTimeout = text::trim(client.loginTimeout);
    if (!loginTimeout.empty()) {
        if (!parseInt(loginTimeout, v) || v < 0)
            refuse("LoginTimeout=" + loginTimeout + " in DEZozevo.ini is not a number of seconds.");
        if (v > 0) t.loginTimeout = int(std::min(v, 300L));
    }
    if (parseInt(setting(info, {"connect timeout", "connection timeout"}), v) && v > 0) t.loginTimeout = int(std::min(v, 300L));
    if (parseInt(setting(info, {"ole db services"}), v)) t.pooling = (v & 1) != 0;
    std::string pooling = setting(info, {"pooling"});
    if (text::iequals(pooling, "false") || text::iequals(pooling, "no") || pooling == "0") t.pooling = false;

    // The site's encryption settings.
    using Encryption = Target::Encryption;
    const std::string encrypt = text::trim(client.encrypt);
    if (encrypt.empty()) t.encryption = Encryption::unset;
    else if (text::iequals(encrypt, "no") || text::iequals(encrypt, "false")) t.encryption = Encryption::off;
    else if (text::iequals(encrypt, "optional")) t.encryption = Encryption::request;
    else if (text::iequals(encrypt, "mandatory") || text::iequals(encrypt, "yes") || text::iequals(encrypt, "true"))
        t.encryption = Encryption::require;
    else if (text::iequals(encrypt, "strict")) t.encryption = Encryption::strict;
    else refuse("Encrypt=" + encrypt + " in DEZozevo.ini is none of no, optional, mandatory (yes) and strict.");
    const std::string trustText = text::trim(client.trustServerCertificate);
    std::optional<bool> trust = trustText.empty() ? std::optional<bool>(false) : yesNo(trustText);
    if (!trust) refuse("TrustServerCertificate=" + trustText + " in DEZozevo.ini is neither yes nor no.");
    const std::string caFile = text::trim(client.caFile);
    const std::string certHost = text::trim(client.hostNameInCertificate);
    if (!caFile.empty() && ::access(caFile.c_str(), R_OK) != 0)
        refuse("CAFile=" + caFile + " in DEZozevo.ini cannot be read: " + std::strerror(errno) + ".");
    // A link that must be encrypted checks the certificate unless told to
    // trust it; an optional one checks it when a CA file was named.
    t.caFile = caFile;
    t.certificateHost = certHost.empty() ? host : certHost;
    t.verify = !*trust && (t.encryption == Encryption::require || t.encryption == Encryption::strict ||
                           (t.encryption == Encryption::request && !caFile.empty()));

    // DZ_ODBC_OPTIONS wins: a key it names is not also set from the INI file.
    const std::string extra = envOr("DZ_ODBC_OPTIONS");
    const std::vector<std::string> overridden = keysOf(extra);
    auto ours = [&](std::initializer_list<const char*> keys) {
        for (const char* k : keys)
            if (std::find(overridden.begin(), overridden.end(), k) != overridden.end()) return false;
        return true;
    };

    const std::pair<int, int> version = t.freetds ? freetdsVersion(t.driver) : std::pair<int, int>{0, 0};
    const bool known = version.first > 0;
    auto atLeast = [&](int major, int minor) {
        return !known || version.first > major || (version.first == major && version.second >= minor);
    };
    const std::string versionText =
        known ? "FreeTDS " + std::to_string(version.first) + "." + std::to_string(version.second) : "this FreeTDS";
    t.doubledBraces = !t.freetds || atLeast(1, 4);
    auto braced = [&](const std::string& v) { return quoteValue(v, t.doubledBraces); };
    std::string cs = "DRIVER={" + t.driver + "};";
    if (t.freetds) {
        const bool ownEncryption = ours({"encryption", "encrypt"});
        if (t.encryption == Encryption::strict && ownEncryption && !atLeast(1, 5))
            refuse("Encrypt=strict in DEZozevo.ini needs FreeTDS 1.5 or later; the ODBC driver is " + versionText +
                   ". Use Encrypt=mandatory, or Microsoft's driver (Driver=).");
        const bool hostNamed = !certHost.empty() && !text::iequals(certHost, host);
        if (hostNamed && t.verify && !atLeast(1, 5))
            refuse("HostNameInCertificate=" + certHost + " in DEZozevo.ini needs FreeTDS 1.5 or later; " +
                   versionText + " checks the certificate against the server's name as SERVER gives it (" + host +
                   ").");
        std::string server = t.instance.empty() ? host : host + "\\" + t.instance;
        if (t.verify && ownEncryption) {
            // FreeTDS reads its CA file and host-name check only from its
            // configuration file: the server goes there, in a section of its own.
            std::string body = "host = " + host + "\n";
            if (t.instance.empty()) body += "port = " + std::to_string(t.port ? t.port : 1433) + "\n";
            else body += "instance = " + t.instance + "\n";
            body += "tds version = 7.4\n";
            body += "encryption = " + std::string(t.encryption == Encryption::strict ? "strict" : t.encryption == Encryption::request ? "request" : "require") + "\n";
            body += "ca file = " + (caFile.empty() ? std::string("system") : caFile) + "\n";
            body += "check certificate hostname = yes\n";
            // Its lines end at ";" or "#", fold runs of blanks and are read 255 bytes at a time.
            for (const std::string& line : {host, t.instance, caFile})
                if (line.find_first_of(";#\r\n") != std::string::npos || line.find("  ") != std::string::npos ||
                    line.size() > 200)
                    refuse("\"" + line + "\" (CAFile or SERVER in DEZozevo.ini) cannot be passed to " + versionText +
                           ": FreeTDS's configuration cannot hold \";\", \"#\", two blanks in a row or more than 200 "
                           "characters.");
            cs += "SERVERNAME=" + braced(freetdsSection(body)) + ";";
        } else {
            cs += "SERVER=" + braced(server) + ";";
            if (t.port) cs += "PORT=" + std::to_string(t.port) + ";";
        }
        // A pinned version: with autodetection the second login attempt waits without a time-out.
        cs += "TDS_Version=7.4;ClientCharset=UTF-8;";
        if (ownEncryption) {
            switch (t.encryption) {
            case Encryption::unset: break;
            case Encryption::off: cs += "Encryption=off;"; break;
            case Encryption::request: cs += "Encryption=request;"; break;
            case Encryption::require: cs += "Encryption=require;"; break;
            case Encryption::strict: cs += "Encryption=strict;"; break;
            }
        }
        if (hostNamed && t.verify && ours({"hostnameincertificate"})) cs += "HostNameInCertificate=" + braced(certHost) + ";";
    } else {
        std::string server = t.instance.empty() ? "tcp:" + host : host + "\\" + t.instance;
        if (t.port) server += "," + std::to_string(t.port);
        cs += "SERVER=" + braced(server) + ";";
        if (ours({"encrypt"})) {
            switch (t.encryption) {
            case Encryption::unset: break;
            case Encryption::off:
            case Encryption::request: cs += "Encrypt=no;"; break;
            case Encryption::require: cs += "Encrypt=yes;"; break;
            case Encryption::strict: cs += "Encrypt=strict;"; break;
            }
        }
        if (!trustText.empty() && ours({"trustservercertificate"}))
            cs += std::string("TrustServerCertificate=") + (*trust ? "yes" : "no") + ";";
        if (!certHost.empty() && ours({"hostnameincertificate"})) cs += "HostNameInCertificate=" + braced(certHost) + ";";
        if (!caFile.empty() && t.verify && ours({"servercertificate"})) {
            // The driver trusts the system's authorities; a file of its own
            // it takes only in strict mode, as the server's certificate itself.
            if (t.encryption != Encryption::strict)
                refuse("CAFile in DEZozevo.ini: Microsoft's driver takes no CA file; add the authority to the "
                       "system's store (update-ca-certificates), or use Encrypt=strict with CAFile naming the "
                       "server's own certificate.");
            cs += "ServerCertificate=" + braced(caFile) + ";";
        }
    }
    if (!info.initialCatalog.empty()) cs += "DATABASE=" + braced(info.initialCatalog) + ";";
    cs += "UID=" + braced(info.userId) + ";PWD=" + braced(info.password) + ";APP=DEZozevo;";
    if (!extra.empty()) {
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
        try {
            s = std::make_unique<Session>(t.connectionString, t.loginTimeout, req.connection.userId,
                                           t.port ? t.port : t.instance.empty() ? 1433 : 0);
        } catch (const OdbcError& e) {
            if (e.failure() != Failure::unreachable || !t.freetds) throw;
            throw OdbcError(e.failure(), e.description() + encryptionCause(t));
        }
        p.count(&PoolStats::opened);
    }

    RunState state;
    auto finish = [&](bool keep) {
        if (keep && t.pooling) p.give(t.connectionString, std::move(s));
        else if (!keep) p.count(&PoolStats::discarded);
    };
    CallWatch watch(*s, req.timeout);
    try {
        Response r = run(*s, req, state);
        finish(state.reusable && !watch.end());
        return r;
    } catch (const OdbcError& e) {
        if (watch.end()) {  // the server left the call unanswered past its time-out
            finish(false);
            throw OdbcError(Failure::timeout, kTimeout);
        }
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
