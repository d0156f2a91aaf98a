// Diagnostic records of a handle and their classification.
#include "platform/db/drivers/odbc/error.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "platform/text.h"
#include "platform/text.h"

namespace dz::db::odbc {

std::vector<Diagnostic> diagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
    std::vector<Diagnostic> out;
    if (!handle) return out;
    for (SQLSMALLINT i = 1; i < 64; ++i) {
        SQLWCHAR state[6] = {0};
        SQLINTEGER native = 0;
        SQLSMALLINT len = 0;
        SQLWCHAR buf[1024];
        SQLRETURN rc = SQLGetDiagRecW(handleType, handle, i, state, &native, buf, SQLSMALLINT(std::size(buf)), &len);
        if (rc == SQL_NO_DATA || !SQL_SUCCEEDED(rc)) break;
        std::u16string msg;
        if (len >= SQLSMALLINT(std::size(buf))) {
            // Longer than the buffer: ask again with room for all of it.
            std::vector<SQLWCHAR> big(size_t(len) + 1);
            SQLSMALLINT len2 = 0;
            if (SQL_SUCCEEDED(SQLGetDiagRecW(handleType, handle, i, state, &native, big.data(),
                                             SQLSMALLINT(big.size()), &len2)))
                msg.assign((const char16_t*)big.data(), size_t(std::min<SQLSMALLINT>(len2, SQLSMALLINT(len))));
        } else {
            msg.assign((const char16_t*)buf, size_t(len));
        }
        Diagnostic d;
        d.state = text::fromUtf16((const char16_t*)state, 5);
        d.native = native;
        d.message = text::fromUtf16(msg);
        out.push_back(std::move(d));
    }
    return out;
}

std::string stripVendorTags(const std::string& message) {
    // The server's own text follows the driver's "[SQL Server]" tag; a
    // message of the driver itself has only leading tags.
    static const std::string kServerTag = "[SQL Server]";
    if (message.rfind("[", 0) == 0) {
        size_t at = message.find(kServerTag);
        if (at != std::string::npos) return message.substr(at + kServerTag.size());
    }
    size_t pos = 0;
    while (pos < message.size() && message[pos] == '[') {
        size_t close = message.find(']', pos);
        if (close == std::string::npos) break;
        pos = close + 1;
    }
    return message.substr(pos);
}

namespace {

bool isWarning(const Diagnostic& d) { return d.state.rfind("01", 0) == 0; }
bool isLogin(const Diagnostic& d) { return d.state == "28000" || d.native == 18456; }
bool isTimeout(const Diagnostic& d) { return d.state == "HYT00" || d.state == "HYT01"; }
// Connection errors of class 08. An error the server itself raised while
// refusing the connection (08004 with its error number, such as a database
// that cannot be opened) is the server's, not the network's.
bool isLink(const Diagnostic& d) { return d.state.rfind("08", 0) == 0 && !(d.state == "08004" && d.native != 0); }

// FreeTDS reports some failures of its own under a general state with its
// client message number: read or write failed, end of stream, a garbled
// reply (the connection is lost); no answer in time; no server reached.
bool isClientState(const Diagnostic& d) { return d.state == "01000" || d.state == "HY000" || d.state == "08S01"; }
bool isClientLink(const Diagnostic& d) {
    static const long kLink[] = {20004, 20006, 20017, 20019, 20020};
    return isClientState(d) && std::find(std::begin(kLink), std::end(kLink), d.native) != std::end(kLink);
}
bool isClientTimeout(const Diagnostic& d) { return isClientState(d) && d.native == 20003; }
bool isClientNoServer(const Diagnostic& d) { return isClientState(d) && (d.native == 20009 || d.native == 20002); }

}  // namespace

Failure classify(const std::vector<Diagnostic>& diags, Phase phase) {
    for (const auto& d : diags)
        if (isLogin(d)) return Failure::login;
    for (const auto& d : diags)
        if (isTimeout(d) || isClientTimeout(d)) return Failure::timeout;
    for (const auto& d : diags)
        if (isLink(d) || isClientLink(d) || isClientNoServer(d))
            return phase == Phase::connect ? Failure::unreachable : Failure::network;
    return Failure::server;
}

std::string describe(const std::vector<Diagnostic>& diags, Phase phase, const std::string& user) {
    // DZ_ODBC_TRACE=1 shows what the driver reported, for a site that
    // wonders why a failure was classified the way it was.
    static const bool trace = std::getenv("DZ_ODBC_TRACE") != nullptr;
    if (trace)
        for (const auto& d : diags)
            std::cerr << "odbc " << (phase == Phase::connect ? "connect" : "execute") << " [" << d.state << "] ("
                      << d.native << ") " << d.message << std::endl;
    noteDiagnostics(diags);
    switch (classify(diags, phase)) {
    case Failure::unreachable: return kNoServer;
    case Failure::network: return kNetworkError;
    case Failure::timeout: return kTimeout;
    case Failure::login:
        // The server's reason when it gave one besides the bare refusal
        // ("Cannot open database ... requested by the login.").
        for (const auto& d : diags)
            if (d.native != 0 && !isLogin(d) && !isWarning(d) && !isLink(d)) return stripVendorTags(d.message);
        for (const auto& d : diags)
            if (isLogin(d)) {
                std::string m = stripVendorTags(d.message);
                if (text::ifind(m, "Login failed for user") != std::string::npos) return m;
            }
        return "Login failed for user '" + user + "'.";
    case Failure::server: break;
    }
    // The first error that is not a mere warning, in the server's words.
    for (const auto& d : diags)
        if (!isWarning(d)) return stripVendorTags(d.message);
    if (!diags.empty()) return stripVendorTags(diags.front().message);
    return "Unspecified error";
}

void fail(SQLSMALLINT handleType, SQLHANDLE handle, Phase phase, const std::string& user) {
    std::vector<Diagnostic> diags = diagnostics(handleType, handle);
    throw OdbcError(classify(diags, phase), describe(diags, phase, user));
}

}  // namespace dz::db::odbc
