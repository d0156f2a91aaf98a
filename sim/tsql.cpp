// The text batches the simulator understands: the small part of Transact-SQL
// that the component's probes use (if [not] exists over sysobjects and
// syscolumns with object_id, begin/end, select of constants) and exec of a
// procedure with literal arguments, as a query tool sends it.
#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

#include "platform/text.h"
#include "sim/internal.h"

namespace dz::sim {

namespace {

enum class Tok { Ident, Var, String, Number, Punct, End };

struct Token {
    Tok kind = Tok::End;
    std::string text;  // identifier / variable name, unescaped string, number, punctuation
    size_t pos = 0;
};

bool identStart(char c) { return std::isalpha((unsigned char)c) || c == '_' || c == '#'; }
bool identChar(char c) { return std::isalnum((unsigned char)c) || c == '_' || c == '#' || c == '$' || c == '@'; }

[[noreturn]] void syntaxError(std::string_view near) {
    throw db::Error("Incorrect syntax near '" + std::string(near) + "'.");
}

std::vector<Token> tokenize(std::string_view s) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (std::isspace((unsigned char)c)) {
            ++i;
        } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
            while (i < s.size() && s[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            size_t e = s.find("*/", i + 2);
            if (e == std::string_view::npos) throw db::Error("Missing end comment mark '*/'.");
            i = e + 2;
        } else if (c == '\'' || ((c == 'N' || c == 'n') && i + 1 < s.size() && s[i + 1] == '\'')) {
            // A string literal; two apostrophes stand for one.
            size_t start = i;
            if (c != '\'') ++i;
            ++i;
            std::string v;
            for (;;) {
                if (i >= s.size())
                    throw db::Error("Unclosed quotation mark after the character string '" + v + "'.");
                if (s[i] == '\'') {
                    if (i + 1 < s.size() && s[i + 1] == '\'') {
                        v += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                v += s[i++];
            }
            out.push_back({Tok::String, v, start});
        } else if (c == '[') {
            size_t e = s.find(']', i + 1);
            if (e == std::string_view::npos) syntaxError(s.substr(i, 10));
            std::string name(s.substr(i + 1, e - i - 1));
            i = e + 1;
            // [dbo].[name] reads as one dotted name
            if (!out.empty() && out.back().kind == Tok::Ident && !out.back().text.empty() && out.back().text.back() == '.')
                out.back().text += name;
            else
                out.push_back({Tok::Ident, name, i});
        } else if (c == '@') {
            size_t start = i++;
            while (i < s.size() && identChar(s[i])) ++i;
            out.push_back({Tok::Var, std::string(s.substr(start, i - start)), start});
        } else if (std::isdigit((unsigned char)c) || (c == '.' && i + 1 < s.size() && std::isdigit((unsigned char)s[i + 1]))) {
            size_t start = i;
            while (i < s.size() && (std::isdigit((unsigned char)s[i]) || s[i] == '.')) ++i;
            if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
                ++i;
                if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
                while (i < s.size() && std::isdigit((unsigned char)s[i])) ++i;
            }
            out.push_back({Tok::Number, std::string(s.substr(start, i - start)), start});
        } else if (identStart(c)) {
            size_t start = i;
            while (i < s.size() && (identChar(s[i]) || s[i] == '.')) {
                if (s[i] == '.' && i + 1 < s.size() && s[i + 1] == '[') {
                    ++i;
                    break;
                }
                ++i;
            }
            out.push_back({Tok::Ident, std::string(s.substr(start, i - start)), start});
        } else if (std::string_view("(),;=-+*.").find(c) != std::string_view::npos) {
            out.push_back({Tok::Punct, std::string(1, c), i});
            ++i;
        } else {
            syntaxError(s.substr(i, 10));
        }
    }
    out.push_back({Tok::End, "", s.size()});
    return out;
}

bool isKeyword(const Token& t, std::string_view kw) { return t.kind == Tok::Ident && text::iequals(t.text, kw); }

bool isReserved(const Token& t) {
    static const char* const kReserved[] = {"END",  "ELSE",  "IF",  "BEGIN", "SELECT", "EXEC", "EXECUTE", "FROM",
                                            "WHERE", "AND",  "OR",  "NOT",   "AS",     "UNION", "ORDER",  "GO"};
    if (t.kind != Tok::Ident) return false;
    for (const char* k : kReserved)
        if (text::iequals(t.text, k)) return true;
    return false;
}

// A value of the mini language: Null, number or text.
using Scalar = db::Value;

bool scalarEquals(const Scalar& a, const Scalar& b) {
    if (a.isNull() || b.isNull()) return false;
    if (a.isText() && b.isText()) return text::iequals(a.toText(), b.toText());  // case-insensitive collation
    try {
        return a.toDouble() == b.toDouble();
    } catch (const db::Error&) {
        return false;
    }
}

// The system catalogue as the probes see it.
struct Catalog {
    std::vector<std::string> objects;  // id = 1000 + index

    std::optional<long long> objectId(std::string_view name) const {
        std::string n(name);
        size_t dot = n.rfind('.');
        if (dot != std::string::npos) n = n.substr(dot + 1);
        for (size_t i = 0; i < objects.size(); ++i)
            if (text::iequals(objects[i], n)) return 1000 + (long long)i;
        return std::nullopt;
    }
};

class Batch {
public:
    Batch(Session& s, std::string_view src) : s_(s), toks_(tokenize(src)) {}

    db::Response run() {
        while (!at(Tok::End)) {
            if (isPunct(";")) {
                ++p_;
                continue;
            }
            if (isKeyword(cur(), "GO")) {
                ++p_;
                continue;
            }
            statement(true);
        }
        db::Response r;
        if (first_) r.recordset = std::move(*first_);
        return r;
    }

private:
    const Token& cur() const { return toks_[p_]; }
    bool at(Tok k) const { return cur().kind == k; }
    bool isPunct(std::string_view p) const { return cur().kind == Tok::Punct && cur().text == p; }
    [[noreturn]] void unexpected() const {
        if (at(Tok::End)) throw db::Error("Incorrect syntax near the end of the batch.");
        syntaxError(cur().text);
    }
    void expectPunct(std::string_view p) {
        if (!isPunct(p)) unexpected();
        ++p_;
    }
    void expectKeyword(std::string_view kw) {
        if (!isKeyword(cur(), kw)) unexpected();
        ++p_;
    }

    void statement(bool run) {
        const Token& t = cur();
        if (isKeyword(t, "IF")) {
            ++p_;
            bool c = condition(run);
            statement(run && c);
            while (isPunct(";")) ++p_;
            if (isKeyword(cur(), "ELSE")) {
                ++p_;
                statement(run && !c);
            }
        } else if (isKeyword(t, "BEGIN")) {
            ++p_;
            while (!isKeyword(cur(), "END")) {
                if (at(Tok::End)) unexpected();
                if (isPunct(";")) {
                    ++p_;
                    continue;
                }
                statement(run);
            }
            ++p_;
        } else if (isKeyword(t, "SELECT")) {
            ++p_;
            select(run);
        } else if (isKeyword(t, "EXEC") || isKeyword(t, "EXECUTE")) {
            ++p_;
            exec(run);
        } else {
            throw db::Error("The simulator understands only exec, select of constants and the component's "
                            "probe batches; it cannot run the statement starting at '" +
                            t.text + "'.");
        }
    }

    // [NOT] EXISTS (SELECT ... FROM table [WHERE a = b [AND ...]])
    bool condition(bool run) {
        bool negate = false;
        if (isKeyword(cur(), "NOT")) {
            negate = true;
            ++p_;
        }
        expectKeyword("EXISTS");
        expectPunct("(");
        expectKeyword("SELECT");
        while (!isKeyword(cur(), "FROM")) {
            if (at(Tok::End) || isPunct(")")) unexpected();
            ++p_;
        }
        ++p_;
        if (!at(Tok::Ident)) unexpected();
        std::string table = cur().text;
        ++p_;
        std::vector<std::pair<Operand, Operand>> terms;
        if (isKeyword(cur(), "WHERE")) {
            ++p_;
            for (;;) {
                Operand a = operand();
                expectPunct("=");
                Operand b = operand();
                terms.emplace_back(std::move(a), std::move(b));
                if (!isKeyword(cur(), "AND")) break;
                ++p_;
            }
        }
        expectPunct(")");
        if (!run) return false;
        return exists(table, terms) != negate;
    }

    struct Operand {
        enum { Column, Literal, ObjectId } kind = Literal;
        std::string name;  // column name or object name
        Scalar value;
    };

    Operand operand() {
        Operand o;
        const Token& t = cur();
        if (t.kind == Tok::String) {
            o.value = Scalar(t.text);
            ++p_;
        } else if (t.kind == Tok::Number) {
            o.value = number(t.text, false);
            ++p_;
        } else if (isKeyword(t, "NULL")) {
            ++p_;
        } else if (isKeyword(t, "OBJECT_ID")) {
            ++p_;
            expectPunct("(");
            if (!at(Tok::String)) unexpected();
            o.kind = Operand::ObjectId;
            o.name = cur().text;
            ++p_;
            expectPunct(")");
        } else if (t.kind == Tok::Ident && !isReserved(t)) {
            o.kind = Operand::Column;
            o.name = t.text;
            ++p_;
        } else {
            unexpected();
        }
        return o;
    }

    Catalog& catalog() {
        if (!catalog_) {
            catalog_.emplace();
            for (const ProcDef& d : builtinProcedures())
                if (d.generations & genBit(s_.generation)) catalog_->objects.push_back(d.name);
            for (const std::string& t : systemTables(s_.generation)) catalog_->objects.push_back(t);
            for (const std::string& n : cannedNames(s_.db))
                if (!catalog_->objectId(n)) catalog_->objects.push_back(n);
        }
        return *catalog_;
    }

    Scalar evaluate(const Operand& o, const std::map<std::string, Scalar>& row, const std::string& table) {
        switch (o.kind) {
        case Operand::Literal: return o.value;
        case Operand::ObjectId: {
            auto id = catalog().objectId(o.name);
            return id ? Scalar(*id) : Scalar();
        }
        case Operand::Column: {
            for (const auto& [k, v] : row)
                if (text::iequals(k, o.name)) return v;
            throw db::Error("Invalid column name '" + o.name + "'.");
        }
        }
        return Scalar();
    }

    bool exists(const std::string& table, const std::vector<std::pair<Operand, Operand>>& terms) {
        std::vector<std::map<std::string, Scalar>> rows;
        Catalog& cat = catalog();
        std::string t = table;
        if (text::iequals(t, "sysobjects") || text::iequals(t, "dbo.sysobjects") || text::iequals(t, "sys.sysobjects") ||
            text::iequals(t, "sys.objects")) {
            auto tables = systemTables(s_.generation);
            for (size_t i = 0; i < cat.objects.size(); ++i) {
                bool isTable = std::any_of(tables.begin(), tables.end(),
                                           [&](const std::string& n) { return text::iequals(n, cat.objects[i]); });
                rows.push_back({{"name", Scalar(cat.objects[i])},
                                {"id", Scalar(1000 + (long long)i)},
                                {"object_id", Scalar(1000 + (long long)i)},
                                {"xtype", Scalar(isTable ? "U" : "P")},
                                {"type", Scalar(isTable ? "U" : "P")}});
            }
        } else if (text::iequals(t, "syscolumns") || text::iequals(t, "dbo.syscolumns") ||
                   text::iequals(t, "sys.syscolumns")) {
            for (const std::string& obj : cat.objects) {
                long long id = *cat.objectId(obj);
                for (const std::string& col : procedureColumns(s_, obj))
                    rows.push_back({{"id", Scalar(id)}, {"name", Scalar(col)}});
            }
        } else {
            throw db::Error("Invalid object name '" + table + "'.");
        }
        for (const auto& row : rows) {
            bool all = true;
            for (const auto& [a, b] : terms)
                if (!scalarEquals(evaluate(a, row, table), evaluate(b, row, table))) {
                    all = false;
                    break;
                }
            if (all) return true;
        }
        return false;
    }

    static Scalar number(const std::string& text, bool negative) {
        std::string s = (negative ? "-" : "") + text;
        if (s.find_first_of(".eE") == std::string::npos) {
            try {
                return Scalar(std::stoll(s));
            } catch (const std::exception&) {
            }
        }
        try {
            return Scalar(std::stod(s));
        } catch (const std::exception&) {
            syntaxError(text);
        }
    }

    // A constant: 'text', N'text', a number with an optional sign, NULL.
    std::optional<Scalar> constant() {
        const Token& t = cur();
        if (t.kind == Tok::String) {
            ++p_;
            return Scalar(t.text);
        }
        if (t.kind == Tok::Number) {
            ++p_;
            return number(t.text, false);
        }
        if (t.kind == Tok::Punct && (t.text == "-" || t.text == "+") && toks_[p_ + 1].kind == Tok::Number) {
            bool neg = t.text == "-";
            p_ += 2;
            return number(toks_[p_ - 1].text, neg);
        }
        if (isKeyword(t, "NULL")) {
            ++p_;
            return Scalar();
        }
        return std::nullopt;
    }

    void select(bool run) {
        std::vector<std::string> cols;
        std::vector<db::Value> row;
        for (;;) {
            std::optional<Scalar> v = constant();
            if (!v) {
                if (isKeyword(cur(), "FROM") || at(Tok::Ident))
                    throw db::Error("The simulator can only select constants; it has no tables to select from.");
                unexpected();
            }
            std::string alias;
            if (isKeyword(cur(), "AS")) {
                ++p_;
                if (!at(Tok::Ident) && !at(Tok::String)) unexpected();
                alias = cur().text;
                ++p_;
            } else if ((at(Tok::Ident) && !isReserved(cur())) || at(Tok::String)) {
                alias = cur().text;
                ++p_;
            }
            cols.push_back(alias);
            row.push_back(*v);
            if (!isPunct(",")) break;
            ++p_;
        }
        if (isKeyword(cur(), "FROM"))
            throw db::Error("The simulator can only select constants; it has no tables to select from.");
        if (run && !first_) first_ = db::Recordset(cols, {row});
    }

    void exec(bool run) {
        // EXEC [@status =] name [arg [, arg ...]]
        if (at(Tok::Var) && toks_[p_ + 1].kind == Tok::Punct && toks_[p_ + 1].text == "=") p_ += 2;
        if (!at(Tok::Ident) || isReserved(cur())) unexpected();
        std::string name = cur().text;
        ++p_;
        std::vector<db::Parameter> params;
        bool more = !(at(Tok::End) || isPunct(";") || isReserved(cur()));
        while (more) {
            db::Parameter prm;
            prm.direction = db::adParamInput;
            if (at(Tok::Var) && toks_[p_ + 1].kind == Tok::Punct && toks_[p_ + 1].text == "=") {
                prm.name = cur().text;
                p_ += 2;
            }
            if (std::optional<Scalar> v = constant()) {
                prm.value = *v;
            } else if (at(Tok::Ident) && !isReserved(cur())) {
                prm.value = Scalar(cur().text);  // an unquoted word passes as text
                ++p_;
            } else if (at(Tok::Var)) {
                throw db::Error("Must declare the scalar variable \"" + cur().text + "\".");
            } else {
                unexpected();
            }
            if (isKeyword(cur(), "OUTPUT") || isKeyword(cur(), "OUT")) {
                prm.direction = db::adParamInputOutput;
                ++p_;
            }
            if (prm.value.isInteger()) prm.type = db::adInteger;
            else if (prm.value.isDouble()) prm.type = db::adDouble;
            else prm.type = db::adVarChar;
            if (prm.value.isText()) prm.size = text::utf16Length(prm.value.toText());
            params.push_back(std::move(prm));
            if (!isPunct(",")) break;
            ++p_;
        }
        if (!run) return;
        std::vector<ActualParam> actuals;
        bool named = false;
        for (auto& prm : params) {
            if (!prm.name.empty()) named = true;
            else if (named)
                throw db::Error("Must pass parameter number " + std::to_string(actuals.size() + 1) +
                                " and subsequent parameters as '@name = value'. After the form '@name = value' has "
                                "been used, all subsequent parameters must be passed in the form '@name = value'.");
            actuals.push_back({&prm, !prm.name.empty()});
        }
        CallResult r = runProcedure(s_, name, actuals, nullptr);
        if (r.recordset && r.recordset->isOpen() && !first_) first_ = std::move(*r.recordset);
    }

    Session& s_;
    std::vector<Token> toks_;
    size_t p_ = 0;
    std::optional<db::Recordset> first_;
    std::optional<Catalog> catalog_;
};

}  // namespace

db::Response runBatch(Session& s, std::string_view text) { return Batch(s, text).run(); }

// ---- sp_executesql ----------------------------------------------------------

namespace {

std::string trimBlanks(std::string_view s) {
    size_t b = 0, e = s.size();
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (b < e && blank(s[b])) ++b;
    while (e > b && blank(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

// A value as a Transact-SQL literal.
std::string literal(const db::Value& v) {
    if (v.isNull()) return "NULL";
    if (v.isBool()) return std::get<bool>(v.raw()) ? "1" : "0";
    if (v.isInteger() || v.isDouble()) return v.toText();
    return "N'" + text::replaceAll(v.toText(), "'", "''") + "'";
}

// Puts parameter values into a statement in place of their @names (outside
// string literals and bracketed names).
std::string substitute(const std::string& stmt, const std::map<std::string, db::Value>& values) {
    std::string out;
    size_t i = 0;
    while (i < stmt.size()) {
        char c = stmt[i];
        if (c == '\'' || c == '[') {
            char close = c == '\'' ? '\'' : ']';
            size_t j = i + 1;
            while (j < stmt.size()) {
                if (stmt[j] == close) {
                    if (close == '\'' && j + 1 < stmt.size() && stmt[j + 1] == '\'') {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            size_t end = std::min(j + 1, stmt.size());
            out.append(stmt, i, end - i);
            i = end;
        } else if (c == '@') {
            size_t j = i + 1;
            while (j < stmt.size() && (std::isalnum((unsigned char)stmt[j]) || stmt[j] == '_' || stmt[j] == '@' ||
                                       stmt[j] == '#' || stmt[j] == '$'))
                ++j;
            std::string name = stmt.substr(i, j - i);
            std::string key;
            for (char ch : name) key += text::asciiLower(ch);
            auto it = values.find(key);
            out += it != values.end() ? literal(it->second) : name;
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

// "@a INT, @b NVARCHAR(10) OUTPUT, @c DECIMAL(10,2)" -> "@a", "@b", "@c".
std::vector<std::string> declaredNames(const std::string& decl) {
    std::vector<std::string> names;
    int depth = 0;
    std::string item;
    auto flush = [&] {
        std::string t = trimBlanks(item);
        size_t end = t.find_first_of(" \t\r\n");
        if (!t.empty()) names.push_back(t.substr(0, end));
        item.clear();
    };
    for (char c : decl) {
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (c == ',' && depth == 0) flush();
        else item += c;
    }
    flush();
    return names;
}


}  // namespace

std::string inlineParameters(const std::string& statement, const std::string& declarations,
                             const std::vector<std::pair<std::string, db::Value>>& values) {
    // Values by name; a client that sends them without names means the
    // order of the declaration list.
    std::vector<std::string> declared = declaredNames(declarations);
    std::map<std::string, db::Value> byName;
    for (size_t i = 0; i < values.size(); ++i) {
        std::string name = !values[i].first.empty() ? values[i].first : i < declared.size() ? declared[i] : "";
        std::string key;
        for (char c : name) key += text::asciiLower(c);
        if (!key.empty()) byName[key] = values[i].second;
    }
    return substitute(statement, byName);
}

}  // namespace dz::sim
