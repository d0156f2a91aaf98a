// Diagnostic records of a handle and their classification.
#include "platform/db/drivers/odbc/error.h"

#include "platform/db/drivers/odbc/wide.h"
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
        d.state = wide::toUtf8((const char16_t*)state, 5);
        d.native = native;
        d.message = wide::toUtf8(msg);
        out.push_back(std::move(d));
    }
    return out;
}

std::string stripVendorTags(const std::string& message) {
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

}  // namespace

Failure classify(const std::vector<Diagnostic>& diags, Phase phase) {
    for (const auto& d : diags)
        if (isLogin(d)) return Failure::login;
    for (const auto& d : diags)
        if (isTimeout(d)) return Failure::timeout;
    for (const auto& d : diags)
        if (isLink(d)) return phase == Phase::connect ? Failure::unreachable : Failure::network;
    return Failure::server;
}

std::string describe(const std::vector<Diagnostic>& diags, Phase phase, const std::string& user) {
    switch (classify(diags, phase)) {
    case Failure::unreachable: return kNoServer;
    case Failure::network: return kNetworkError;
    case Failure::timeout: return kTimeout;
    case Failure::login:
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
