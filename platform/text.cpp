// The text helpers that are not small enough to sit inline in text.h.
#include "platform/text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace dz::text {

// Shortest decimal form with at most 15 significant digits, fixed notation for
// exponents -4 to 14 and "1.5E+20" otherwise: the way a number prints as text.
std::string formatNumber(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
    if (d == 0) return "0";

    char buf[64];
    int prec = 1;
    for (; prec < 15; ++prec) {
        std::snprintf(buf, sizeof buf, "%.*e", prec - 1, d);
        if (std::strtod(buf, nullptr) == d) break;
    }
    std::snprintf(buf, sizeof buf, "%.*e", prec - 1, d);

    // buf is "[-]d.ddde[+-]xx": split into sign, digits and exponent.
    std::string s(buf);
    bool neg = s[0] == '-';
    if (neg) s.erase(0, 1);
    size_t e = s.find('e');
    int exp = std::atoi(s.c_str() + e + 1);
    std::string digits;
    for (size_t i = 0; i < e; ++i)
        if (s[i] != '.') digits += s[i];
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    std::string out = neg ? "-" : "";
    if (exp < -4 || exp >= 15) {
        out += digits[0];
        if (digits.size() > 1) out += "." + digits.substr(1);
        char ebuf[16];
        std::snprintf(ebuf, sizeof ebuf, "E%c%02d", exp < 0 ? '-' : '+', std::abs(exp));
        out += ebuf;
    } else if (exp < 0) {
        out += "0." + std::string(size_t(-exp - 1), '0') + digits;
    } else if (size_t(exp) + 1 >= digits.size()) {
        out += digits + std::string(size_t(exp) + 1 - digits.size(), '0');
    } else {
        out += digits.substr(0, size_t(exp) + 1) + "." + digits.substr(size_t(exp) + 1);
    }
    return out;
}

std::string localStamp(const char* format, std::time_t when) {
    std::tm tm{};
    localtime_r(&when, &tm);
    char buf[64];
    const size_t n = std::strftime(buf, sizeof buf, format, &tm);
    return std::string(buf, n);
}

}  // namespace dz::text
