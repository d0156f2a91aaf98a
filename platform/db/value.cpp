// Value conversions as the database client makes them: Null never converts,
// numbers stay in range, text is parsed strictly.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/db/db.h"
#include "platform/text.h"

namespace dz::db {

namespace {

const char* const kNull = "Invalid use of Null";
const char* const kOverflow = "Overflow";
const char* const kMismatch = "Type mismatch";

// Parses a number as text: blanks around it, an optional sign, digits with an
// optional fraction and exponent; "True"/"False" as -1/0. Throws Type mismatch.
double parseNumber(const std::string& raw) {
    std::string s = text::trim(raw);
    if (text::iequals(s, "True")) return -1;
    if (text::iequals(s, "False")) return 0;

    size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    size_t start = i;
    size_t mantissaDigits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++mantissaDigits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++mantissaDigits;
    }
    if (mantissaDigits == 0) throw Error(kMismatch);
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t expDigits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++expDigits;
        if (expDigits == 0) throw Error(kMismatch);
    }
    if (i != s.size()) throw Error(kMismatch);

    double v = 0;
    auto r = std::from_chars(s.data() + start, s.data() + s.size(), v);
    if (r.ec == std::errc::result_out_of_range) {
        // Too large is an error, too small is 0: tell them apart by the
        // decimal exponent of the first significant digit.
        size_t dot = s.find('.', start), ePos = s.find_first_of("eE", start);
        std::string_view mant(s.data() + start, (ePos == std::string::npos ? s.size() : ePos) - start);
        if (dot == std::string::npos || dot > start + mant.size()) dot = start + mant.size();
        size_t first = mant.find_first_not_of("0.");
        long long mag = (long long)(dot - start) - (long long)first - (first < dot - start ? 1 : 0);
        if (ePos != std::string::npos) {
            long long e = 0;
            auto er = std::from_chars(s.data() + ePos + 1 + (s[ePos + 1] == '+'), s.data() + s.size(), e);
            if (er.ec != std::errc()) e = s[ePos + 1] == '-' ? -(1LL << 40) : (1LL << 40);
            mag += e;
        }
        if (mag > 0) throw Error(kOverflow);
        v = 0;
    } else if (r.ec != std::errc() || r.ptr != s.data() + s.size()) {
        throw Error(kMismatch);
    }
    return neg ? -v : v;
}

int32_t doubleToInt32(double d) {
    if (std::isnan(d)) throw Error(kOverflow);
    double r = std::nearbyint(d);  // the default rounding mode rounds half to even
    if (r < double(std::numeric_limits<int32_t>::min()) || r > double(std::numeric_limits<int32_t>::max()))
        throw Error(kOverflow);
    return int32_t(r);
}

}  // namespace

std::string Value::toText() const {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) throw Error(kNull);
            else if constexpr (std::is_same_v<T, long long>) return std::to_string(v);
            else if constexpr (std::is_same_v<T, double>) return text::formatNumber(v);
            else if constexpr (std::is_same_v<T, bool>) return v ? "True" : "False";
            else return v;
        },
        v_);
}

int32_t Value::toInt32() const {
    return std::visit(
        [](const auto& v) -> int32_t {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) throw Error(kNull);
            else if constexpr (std::is_same_v<T, long long>) {
                if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
                    throw Error(kOverflow);
                return int32_t(v);
            } else if constexpr (std::is_same_v<T, double>) return doubleToInt32(v);
            else if constexpr (std::is_same_v<T, bool>) return v ? -1 : 0;
            else return doubleToInt32(parseNumber(v));
        },
        v_);
}

double Value::toDouble() const {
    return std::visit(
        [](const auto& v) -> double {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) throw Error(kNull);
            else if constexpr (std::is_same_v<T, long long>) return double(v);
            else if constexpr (std::is_same_v<T, double>) return v;
            else if constexpr (std::is_same_v<T, bool>) return v ? -1.0 : 0.0;
            else return parseNumber(v);
        },
        v_);
}

}  // namespace dz::db
