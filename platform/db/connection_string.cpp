// Connection strings as the component builds them: "Key=value;" pairs whose
// values (password, user, database, server) are inserted without quoting.
//
// Splitting rules:
// - Keys match without regard to case, blanks around them are ignored.
// - A value that begins with "..." or {...} (quote doubled inside) and is
//   followed only by blanks up to ";" or the end is unquoted.
// - Values of Password, User ID, Initial Catalog and Data Source (and their
//   aliases) may hold ";" and "=": they end only at a ";" that is followed by
//   a known key and "=", or at a final ";". So "Password=a;b=c;User ID=u"
//   gives the password "a;b=c", but "Password=x;User ID=y;..." can only be
//   read as the password "x" and the user "y" (a later key of the same name
//   wins). An unknown key directly after such a value becomes part of it.
// - Any other value (Provider, Network Library, unknown keys) ends at the next
//   ";" and is trimmed of blanks; the free-text values are kept as they are.
// - A part without "=" is a format error.
#include "platform/db/db.h"
#include "platform/text.h"

namespace dz::db {

namespace {

enum class Field { provider, password, userId, initialCatalog, dataSource, networkLibrary };

struct KnownKey {
    const char* name;
    Field field;
};

const KnownKey kKnown[] = {
    {"provider", Field::provider},       {"password", Field::password},
    {"pwd", Field::password},            {"user id", Field::userId},
    {"uid", Field::userId},              {"user", Field::userId},
    {"initial catalog", Field::initialCatalog}, {"database", Field::initialCatalog},
    {"data source", Field::dataSource},  {"server", Field::dataSource},
    {"address", Field::dataSource},      {"network library", Field::networkLibrary},
    {"network", Field::networkLibrary},
};

const char* const kFormat = "Format of the initialization string does not conform to the connection string syntax.";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

const KnownKey* known(std::string_view key) {
    for (const auto& k : kKnown)
        if (text::iequals(key, k.name)) return &k;
    return nullptr;
}

bool isFreeText(const KnownKey* k) {
    return k && k->field != Field::provider && k->field != Field::networkLibrary;
}

// True when a known key followed by "=" starts at `pos` (blanks allowed).
bool knownKeyAt(std::string_view s, size_t pos) {
    while (pos < s.size() && isBlank(s[pos])) ++pos;
    for (const auto& k : kKnown) {
        std::string_view name(k.name);
        if (pos + name.size() > s.size() || !text::iequals(s.substr(pos, name.size()), name)) continue;
        size_t q = pos + name.size();
        while (q < s.size() && isBlank(s[q])) ++q;
        if (q < s.size() && s[q] == '=') return true;
    }
    return false;
}

bool onlyBlanksFrom(std::string_view s, size_t pos) {
    for (; pos < s.size(); ++pos)
        if (!isBlank(s[pos])) return false;
    return true;
}

// Reads a quoted value at `pos`; on success sets `value` and returns the
// position of the ";" or end that follows it, else npos.
size_t quotedValue(std::string_view s, size_t pos, std::string& value) {
    while (pos < s.size() && isBlank(s[pos])) ++pos;
    if (pos >= s.size() || (s[pos] != '"' && s[pos] != '{')) return std::string_view::npos;
    char close = s[pos] == '{' ? '}' : '"';
    std::string v;
    for (size_t q = pos + 1; q < s.size(); ++q) {
        if (s[q] != close) {
            v += s[q];
            continue;
        }
        if (q + 1 < s.size() && s[q + 1] == close) {
            v += close;
            ++q;
            continue;
        }
        size_t r = q + 1;
        while (r < s.size() && isBlank(s[r])) ++r;
        if (r < s.size() && s[r] != ';') return std::string_view::npos;
        value = std::move(v);
        return r;
    }
    return std::string_view::npos;  // unterminated: read as a plain value
}

}  // namespace

ConnectionInfo ConnectionInfo::parse(std::string_view s) {
    ConnectionInfo info;
    size_t pos = 0;
    for (;;) {
        while (pos < s.size() && (isBlank(s[pos]) || s[pos] == ';')) ++pos;
        if (pos >= s.size()) break;

        size_t eq = s.find('=', pos);
        size_t semi = s.find(';', pos);
        if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) throw Error(kFormat);
        std::string key = text::trim(s.substr(pos, eq - pos));
        if (key.empty()) throw Error(kFormat);
        const KnownKey* k = known(key);

        std::string value;
        size_t end = quotedValue(s, eq + 1, value);
        if (end == std::string_view::npos) {
            if (isFreeText(k)) {
                end = eq + 1;
                while ((end = s.find(';', end)) != std::string_view::npos) {
                    if (knownKeyAt(s, end + 1) || onlyBlanksFrom(s, end + 1)) break;
                    ++end;
                }
                if (end == std::string_view::npos) end = s.size();
                value = std::string(s.substr(eq + 1, end - eq - 1));
            } else {
                end = semi == std::string_view::npos ? s.size() : semi;
                value = text::trim(s.substr(eq + 1, end - eq - 1));
            }
        }
        pos = end;

        std::string lower(key);
        for (char& c : lower) c = text::asciiLower(c);
        info.all[lower] = value;
        if (k) {
            switch (k->field) {
            case Field::provider: info.provider = value; break;
            case Field::password: info.password = value; break;
            case Field::userId: info.userId = value; break;
            case Field::initialCatalog: info.initialCatalog = value; break;
            case Field::dataSource: info.dataSource = value; break;
            case Field::networkLibrary: info.networkLibrary = value; break;
            }
        }
    }
    return info;
}

}  // namespace dz::db
