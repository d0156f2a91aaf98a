// Executing one request on an ODBC connection.
#include "platform/db/drivers/odbc/statement.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/db/drivers/odbc/error.h"
#include "platform/text.h"
#include "platform/text.h"

namespace dz::db::odbc {

namespace {

const char* const kWrongType = "Application uses a value of the wrong type for the current operation.";

// A bound parameter: the buffer the driver reads from and writes into.
struct Bound {
    Parameter* param = nullptr;  // null for the return status nobody declared
    SQLSMALLINT io = SQL_PARAM_INPUT;
    SQLSMALLINT ctype = SQL_C_SLONG;
    SQLSMALLINT sqltype = SQL_INTEGER;
    SQLULEN columnSize = 0;
    SQLSMALLINT digits = 0;
    std::vector<char> buf;
    SQLLEN ind = 0;
};

// A statement handle for one call: the session's spare one when it has
// one (allocating a handle costs more than the call itself), else a new one.
// After a call that ended cleanly it goes back to the session, closed and
// without parameters; otherwise it is freed.
class Statement {
public:
    Statement(Session& session) : session_(session), user_(session.user()) {
        h_ = session.takeStatement();
        if (h_ != SQL_NULL_HSTMT) return;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, session.handle(), &h_))) {
            h_ = SQL_NULL_HSTMT;
            fail(SQL_HANDLE_DBC, session.handle(), Phase::execute, user_);
        }
    }
    ~Statement() {
        if (h_ == SQL_NULL_HSTMT) return;
        const bool closed = SQL_SUCCEEDED(SQLFreeStmt(h_, SQL_CLOSE));
        if (reusable_ && closed && SQL_SUCCEEDED(SQLFreeStmt(h_, SQL_RESET_PARAMS)))
            session_.keepStatement(h_);
        else
            SQLFreeHandle(SQL_HANDLE_STMT, h_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    SQLHSTMT h() const { return h_; }
    // The call ended cleanly: the handle may serve the next one.
    void done() { reusable_ = true; }
    [[noreturn]] void raise() const { fail(SQL_HANDLE_STMT, h_, Phase::execute, user_); }
    OdbcError error() const {
        std::vector<Diagnostic> d = diagnostics(SQL_HANDLE_STMT, h_);
        return OdbcError(classify(d, Phase::execute), describe(d, Phase::execute, user_));
    }

private:
    Session& session_;
    SQLHSTMT h_ = SQL_NULL_HSTMT;
    std::string user_;
    bool reusable_ = false;
};

// Days since 1899-12-30 (a date held as a number) to a timestamp.
bool fromSerialDate(double d, SQL_TIMESTAMP_STRUCT& ts) {
    if (!std::isfinite(d) || d < -657434 || d > 2958465) return false;
    long long secs = std::llround(d * 86400.0);
    long long days = secs / 86400;
    long long rem = secs % 86400;
    if (rem < 0) rem += 86400, --days;
    // Civil date from days relative to 1970-01-01 (25569 days after 1899-12-30).
    long long z = days - 25569 + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long day = doy - (153 * mp + 2) / 5 + 1;
    long long month = mp < 10 ? mp + 3 : mp - 9;
    long long year = yoe + era * 400 + (month <= 2);
    ts = {};
    ts.year = SQLSMALLINT(year);
    ts.month = SQLUSMALLINT(month);
    ts.day = SQLUSMALLINT(day);
    ts.hour = SQLUSMALLINT(rem / 3600);
    ts.minute = SQLUSMALLINT(rem / 60 % 60);
    ts.second = SQLUSMALLINT(rem % 60);
    return true;
}

void putInt(Bound& b, int32_t v) {
    b.buf.resize(sizeof v);
    std::memcpy(b.buf.data(), &v, sizeof v);
}

// Text as UTF-16 with room for `chars` characters (surrogate pairs count twice).
void putWide(Bound& b, const std::string& s, size_t chars) {
    std::u16string w = text::toUtf16(s);
    size_t units = std::max(w.size(), chars * 2) + 1;
    b.buf.assign(units * sizeof(SQLWCHAR), 0);
    std::memcpy(b.buf.data(), w.data(), w.size() * sizeof(SQLWCHAR));
    b.ind = SQLLEN(w.size() * sizeof(SQLWCHAR));
}

Bound bindOne(Parameter& p) {
    Bound b;
    b.param = &p;
    switch (p.direction) {
    case adParamInput: b.io = SQL_PARAM_INPUT; break;
    case adParamOutput: b.io = SQL_PARAM_OUTPUT; break;
    case adParamInputOutput: b.io = SQL_PARAM_INPUT_OUTPUT; break;
    case adParamReturnValue: b.io = SQL_PARAM_OUTPUT; break;
    }
    // Output-only parameters are sent as Null.
    bool null = p.value.isNull() || p.direction == adParamOutput || p.direction == adParamReturnValue;
    switch (p.type) {
    case adInteger:
        b.ctype = SQL_C_SLONG;
        b.sqltype = SQL_INTEGER;
        b.columnSize = 10;
        putInt(b, null ? 0 : p.value.toInt32());
        break;
    case adDouble: {
        b.ctype = SQL_C_DOUBLE;
        b.sqltype = SQL_DOUBLE;
        b.columnSize = 15;
        double d = null ? 0 : p.value.toDouble();
        b.buf.resize(sizeof d);
        std::memcpy(b.buf.data(), &d, sizeof d);
        break;
    }
    case adDBTimeStamp: {
        b.ctype = SQL_C_TYPE_TIMESTAMP;
        b.sqltype = SQL_TYPE_TIMESTAMP;
        b.columnSize = 23;
        b.digits = 3;
        SQL_TIMESTAMP_STRUCT ts{};
        if (!null) {
            bool ok = p.value.isDouble() || p.value.isInteger() ? fromSerialDate(p.value.toDouble(), ts)
                                                                : parseTimestamp(p.value.toText(), ts);
            if (!ok) throw Error(kWrongType);
        }
        b.buf.resize(sizeof ts);
        std::memcpy(b.buf.data(), &ts, sizeof ts);
        break;
    }
    case adVarChar:
    case adLongVarChar:
    case adVarWChar: {
        b.ctype = SQL_C_WCHAR;
        b.sqltype = p.type == adVarChar ? SQL_VARCHAR : p.type == adLongVarChar ? SQL_LONGVARCHAR : SQL_WVARCHAR;
        std::string s = null ? std::string() : p.value.toText();
        long chars = std::max<long>(p.size, text::utf16Length(s));
        b.columnSize = SQLULEN(std::max<long>(chars, 1));
        putWide(b, s, size_t(b.columnSize));
        break;
    }
    default:
        throw Error(kWrongType);
    }
    if (null) b.ind = SQL_NULL_DATA;
    else if (b.ctype != SQL_C_WCHAR) b.ind = 0;
    return b;
}

Value readBound(const Bound& b) {
    if (b.ind == SQL_NULL_DATA) return Value();
    switch (b.ctype) {
    case SQL_C_SLONG: {
        int32_t v;
        std::memcpy(&v, b.buf.data(), sizeof v);
        return Value(v);
    }
    case SQL_C_DOUBLE: {
        double d;
        std::memcpy(&d, b.buf.data(), sizeof d);
        return Value(d);
    }
    case SQL_C_TYPE_TIMESTAMP: {
        SQL_TIMESTAMP_STRUCT ts;
        std::memcpy(&ts, b.buf.data(), sizeof ts);
        return Value(formatTimestamp(ts));
    }
    default: {
        size_t cap = b.buf.size() / sizeof(SQLWCHAR);
        size_t n = b.ind >= 0 ? size_t(b.ind) / sizeof(SQLWCHAR) : cap;
        if (n >= cap) n = cap ? cap - 1 : 0;  // truncated to the parameter's size
        return Value(text::fromUtf16((const char16_t*)b.buf.data(), n));
    }
    }
}

// ---- record set ------------------------------------------------------------

enum class ColKind { integer, boolean, real, date, time, timestamp, binary, text };

struct Column {
    std::string name;
    ColKind kind = ColKind::text;
};

ColKind kindOf(SQLSMALLINT type, SQLULEN size, SQLSMALLINT digits) {
    switch (type) {
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT: return ColKind::integer;
    case SQL_BIT: return ColKind::boolean;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE: return ColKind::real;
    case SQL_DECIMAL:
    case SQL_NUMERIC: return digits == 0 && size <= 18 ? ColKind::integer : ColKind::real;
    case SQL_TYPE_DATE: return ColKind::date;
    case SQL_TYPE_TIME: return ColKind::time;
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATETIME: return ColKind::timestamp;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY: return ColKind::binary;
    default: return ColKind::text;
    }
}

// One field of the current row; throws the statement's error on failure.
Value getField(const Statement& st, SQLUSMALLINT col, ColKind kind) {
    SQLLEN ind = 0;
    SQLRETURN rc;
    switch (kind) {
    case ColKind::integer: {
        SQLBIGINT v = 0;
        rc = SQLGetData(st.h(), col, SQL_C_SBIGINT, &v, sizeof v, &ind);
        if (!SQL_SUCCEEDED(rc)) st.raise();
        return ind == SQL_NULL_DATA ? Value() : Value((long long)v);
    }
    case ColKind::boolean: {
        unsigned char v = 0;
        rc = SQLGetData(st.h(), col, SQL_C_BIT, &v, sizeof v, &ind);
        if (!SQL_SUCCEEDED(rc)) st.raise();
        return ind == SQL_NULL_DATA ? Value() : Value(v != 0);
    }
    case ColKind::real: {
        double v = 0;
        rc = SQLGetData(st.h(), col, SQL_C_DOUBLE, &v, sizeof v, &ind);
        if (!SQL_SUCCEEDED(rc)) st.raise();
        return ind == SQL_NULL_DATA ? Value() : Value(v);
    }
    case ColKind::date:
    case ColKind::timestamp: {
        SQL_TIMESTAMP_STRUCT ts{};
        rc = SQLGetData(st.h(), col, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts, &ind);
        if (!SQL_SUCCEEDED(rc)) st.raise();
        if (ind == SQL_NULL_DATA) return Value();
        std::string s = formatTimestamp(ts);
        return Value(kind == ColKind::date ? s.substr(0, 10) : s);
    }
    case ColKind::time: {
        SQL_TIME_STRUCT t{};
        rc = SQLGetData(st.h(), col, SQL_C_TYPE_TIME, &t, sizeof t, &ind);
        if (!SQL_SUCCEEDED(rc)) st.raise();
        if (ind == SQL_NULL_DATA) return Value();
        char buf[16];
        std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", t.hour % 100u, t.minute % 100u, t.second % 100u);
        return Value(std::string(buf));
    }
    case ColKind::binary: {
        std::string hex;
        unsigned char chunk[4096];
        static const char* const kHex = "0123456789ABCDEF";
        for (;;) {
            rc = SQLGetData(st.h(), col, SQL_C_BINARY, chunk, sizeof chunk, &ind);
            if (rc == SQL_NO_DATA) break;
            if (!SQL_SUCCEEDED(rc)) st.raise();
            if (ind == SQL_NULL_DATA) return Value();
            size_t n = (ind == SQL_NO_TOTAL || size_t(ind) > sizeof chunk) ? sizeof chunk : size_t(ind);
            for (size_t i = 0; i < n; ++i) {
                hex += kHex[chunk[i] >> 4];
                hex += kHex[chunk[i] & 15];
            }
            if (rc == SQL_SUCCESS) break;
        }
        return Value(hex);
    }
    case ColKind::text: break;
    }
    std::u16string out;
    SQLWCHAR chunk[4096];
    for (;;) {
        rc = SQLGetData(st.h(), col, SQL_C_WCHAR, chunk, sizeof chunk, &ind);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) st.raise();
        if (ind == SQL_NULL_DATA) return Value();
        size_t cap = std::size(chunk) - 1;
        size_t n = (ind == SQL_NO_TOTAL || size_t(ind) / sizeof(SQLWCHAR) > cap) ? cap : size_t(ind) / sizeof(SQLWCHAR);
        out.append((const char16_t*)chunk, n);
        if (rc == SQL_SUCCESS) break;
    }
    return Value(text::fromUtf16(out));
}

std::vector<Column> describeColumns(const Statement& st, SQLSMALLINT count) {
    std::vector<Column> cols;
    for (SQLSMALLINT i = 1; i <= count; ++i) {
        SQLWCHAR name[512];
        SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        SQLRETURN rc = SQLDescribeColW(st.h(), SQLUSMALLINT(i), name, SQLSMALLINT(std::size(name)), &nameLen, &type,
                                       &size, &digits, &nullable);
        if (!SQL_SUCCEEDED(rc)) st.raise();
        nameLen = std::min<SQLSMALLINT>(nameLen, SQLSMALLINT(std::size(name) - 1));
        cols.push_back({text::fromUtf16((const char16_t*)name, size_t(nameLen)), kindOf(type, size, digits)});
    }
    return cols;
}

}  // namespace

std::string callText(const std::string& procedure, size_t parameters) {
    std::string s = "{? = call " + procedure;
    if (parameters) {
        s += "(";
        for (size_t i = 0; i < parameters; ++i) s += i ? ",?" : "?";
        s += ")";
    }
    return s + "}";
}

bool parseTimestamp(const std::string& raw, SQL_TIMESTAMP_STRUCT& ts) {
    std::string s = text::trim(raw);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    unsigned frac = 0;
    char sep1 = 0, sep2 = 0;
    int used = 0;
    if (std::sscanf(s.c_str(), "%4d%c%2d%c%2d%n", &y, &sep1, &mo, &sep2, &d, &used) != 5 || used != 10 ||
        sep1 != sep2 || (sep1 != '-' && sep1 != '/'))
        return false;
    size_t pos = 10;
    if (pos < s.size()) {
        if (s[pos] != ' ' && s[pos] != 'T') return false;
        int used2 = 0;
        if (std::sscanf(s.c_str() + pos + 1, "%2d:%2d:%2d%n", &h, &mi, &sec, &used2) != 3 || used2 != 8) return false;
        pos += 1 + 8;
        if (pos < s.size()) {
            if (s[pos] != '.') return false;
            std::string digits = s.substr(pos + 1);
            if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
                return false;
            digits.resize(9, '0');
            frac = unsigned(std::stoul(digits));
        }
    }
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] + (mo == 2 && leap)) return false;
    if (h > 23 || mi > 59 || sec > 59) return false;
    ts.year = SQLSMALLINT(y);
    ts.month = SQLUSMALLINT(mo);
    ts.day = SQLUSMALLINT(d);
    ts.hour = SQLUSMALLINT(h);
    ts.minute = SQLUSMALLINT(mi);
    ts.second = SQLUSMALLINT(sec);
    // The datetime type keeps milliseconds.
    ts.fraction = frac / 1000000 * 1000000;
    return true;
}

std::string formatTimestamp(const SQL_TIMESTAMP_STRUCT& ts) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u", int(ts.year), ts.month % 100u, ts.day % 100u,
                  ts.hour % 100u, ts.minute % 100u, ts.second % 100u);
    return buf;
}

Response run(Session& session, Request& req, RunState& state) {
    std::vector<Parameter> none;
    std::vector<Parameter>& params = req.parameters ? *req.parameters : none;
    bool procedure = req.type == adCmdStoredProc;

    // Buffers first: a value that cannot be converted fails before anything is sent.
    std::vector<Bound> bound;
    bound.reserve(params.size() + 1);
    Parameter* returnParam = nullptr;
    for (auto& p : params)
        if (procedure && p.direction == adParamReturnValue) {
            if (!returnParam) returnParam = &p;
        }
    if (procedure) {
        Bound r;
        r.param = returnParam;
        r.io = SQL_PARAM_OUTPUT;
        r.columnSize = 10;
        putInt(r, 0);
        r.ind = SQL_NULL_DATA;
        bound.push_back(std::move(r));
    }
    for (auto& p : params) {
        if (procedure && p.direction == adParamReturnValue) continue;
        bound.push_back(bindOne(p));
    }

    Statement st(session);
    SQLSetStmtAttr(st.h(), SQL_ATTR_QUERY_TIMEOUT, (SQLPOINTER)(intptr_t)std::max(req.timeout, 0), 0);

    for (size_t i = 0; i < bound.size(); ++i) {
        Bound& b = bound[i];
        SQLRETURN rc = SQLBindParameter(st.h(), SQLUSMALLINT(i + 1), b.io, b.ctype, b.sqltype, b.columnSize, b.digits,
                                        b.buf.data(), SQLLEN(b.buf.size()), &b.ind);
        if (!SQL_SUCCEEDED(rc)) st.raise();
    }
    if (req.namedParameters) {
        SQLHDESC ipd = SQL_NULL_HDESC;
        if (SQL_SUCCEEDED(SQLGetStmtAttr(st.h(), SQL_ATTR_IMP_PARAM_DESC, &ipd, 0, nullptr)))
            for (size_t i = 0; i < bound.size(); ++i) {
                if (!bound[i].param || bound[i].param->direction == adParamReturnValue) continue;
                std::u16string n = text::toUtf16(bound[i].param->name);
                SQLSetDescFieldW(ipd, SQLSMALLINT(i + 1), SQL_DESC_NAME, (SQLPOINTER)n.c_str(), SQL_NTS);
                SQLSetDescFieldW(ipd, SQLSMALLINT(i + 1), SQL_DESC_UNNAMED, (SQLPOINTER)(intptr_t)SQL_NAMED, 0);
            }
    }

    // A failure of the server's own leaves the connection usable, unless
    // the driver found it broken on the way (then it is a network failure,
    // whatever the driver's message).
    auto failure = [&](OdbcError e) {
        if (e.failure() == Failure::server && session.knownDead()) e = OdbcError(Failure::network, kNetworkError);
        if (e.failure() != Failure::server) state.reusable = false;
        return e;
    };
    // Output values that arrived before a failure (a procedure that set its
    // status and then raised an error) are kept; the others stay as they were.
    auto keepOutputs = [&] {
        for (size_t i = 0; i < bound.size(); ++i) {
            const Bound& b = bound[i];
            if (b.io == SQL_PARAM_INPUT || !b.param || b.ind == SQL_NULL_DATA) continue;
            b.param->value = readBound(b);
        }
    };

    std::string text = procedure ? callText(req.text, bound.size() - 1) : req.text;
    std::u16string wtext = text::toUtf16(text);
    state.sent = true;
    SQLRETURN rc = SQLExecDirectW(st.h(), (SQLWCHAR*)wtext.data(), SQLINTEGER(wtext.size()));
    if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE) {
        OdbcError e = failure(st.error());
        if (e.failure() == Failure::server) {
            for (int guard = 0; guard < 1000; ++guard) {
                SQLRETURN m = SQLMoreResults(st.h());
                if (m == SQL_NO_DATA || m == SQL_INVALID_HANDLE) break;
                if (m == SQL_ERROR && failure(st.error()).failure() != Failure::server) break;
            }
            if (state.reusable) keepOutputs();
        }
        throw e;
    }

    // The first result that has columns; row counts before it are skipped.
    Response resp;
    bool more = rc != SQL_NO_DATA;
    while (more) {
        SQLSMALLINT ncols = 0;
        if (!SQL_SUCCEEDED(SQLNumResultCols(st.h(), &ncols))) throw failure(st.error());
        if (ncols > 0) {
            std::vector<Column> cols;
            try {
                cols = describeColumns(st, ncols);
            } catch (const OdbcError& e) {
                throw failure(e);
            }
            std::vector<std::string> names;
            for (const auto& c : cols) names.push_back(c.name);
            std::vector<std::vector<Value>> rows;
            std::optional<std::string> broken;
            try {
                for (;;) {
                    SQLRETURN f = SQLFetch(st.h());
                    if (f == SQL_NO_DATA) break;
                    if (!SQL_SUCCEEDED(f)) st.raise();
                    std::vector<Value> row;
                    row.reserve(cols.size());
                    for (size_t c = 0; c < cols.size(); ++c)
                        row.push_back(getField(st, SQLUSMALLINT(c + 1), cols[c].kind));
                    rows.push_back(std::move(row));
                }
            } catch (const OdbcError& e) {
                OdbcError f = failure(e);
                state.reusable = false;
                if (rows.empty()) throw f;
                broken = f.description();
            }
            size_t got = rows.size();
            resp.recordset = Recordset(std::move(names), std::move(rows));
            if (broken) {
                // The rows that came are readable; moving past them fails.
                resp.recordset.failAt(got, *broken);
                return resp;
            }
            break;
        }
        SQLRETURN m = SQLMoreResults(st.h());
        if (m == SQL_NO_DATA) more = false;
        else if (m == SQL_ERROR) throw failure(st.error());
    }

    // The rest of the results: output parameters and the return status
    // arrive after them. Errors raised after the record set are the server's
    // affair, as the caller reads no further; a broken connection is not.
    if (more) {
        for (int guard = 0; guard < 100000; ++guard) {
            SQLRETURN m = SQLMoreResults(st.h());
            if (m == SQL_NO_DATA) break;
            if (m == SQL_ERROR) {
                OdbcError e = failure(st.error());
                if (e.failure() != Failure::server) throw e;
            } else if (!SQL_SUCCEEDED(m)) {
                throw failure(st.error());
            }
        }
    }

    for (const Bound& b : bound) {
        if (b.io == SQL_PARAM_INPUT) continue;
        Value v = readBound(b);
        if (&b == &bound.front() && procedure) {
            resp.returnValue = v;
            continue;
        }
        if (b.param) b.param->value = std::move(v);
    }
    // Names given to parameters stay in the handle's descriptor: such a handle is not reused.
    if (state.reusable && !req.namedParameters) st.done();
    return resp;
}

}  // namespace dz::db::odbc
