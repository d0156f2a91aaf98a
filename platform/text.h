// Small text helpers shared by the platform layer and the component.
// Text is UTF-8 std::string; "characters" means Unicode code points.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace dz::text {

// Number of code points in a UTF-8 string (invalid bytes count as one each).
inline long utf8Length(std::string_view s) {
    long n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// Number of 16-bit characters (UTF-16 code units) of a UTF-8 string, as a
// database client counts text: a character outside the basic plane counts 2;
// an invalid byte counts 1.
inline long utf16Length(std::string_view s) {
    long n = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) != 0x80) ++n;
        if (c >= 0xF0 && c <= 0xF4) ++n;  // lead byte of a four-byte sequence
    }
    return n;
}

// The character at s[i] if a valid UTF-8 sequence starts there (no overlong
// forms, no surrogates, at most U+10FFFF): its length, else 0.
inline size_t utf8At(std::string_view s, size_t i, char32_t& cp) {
    const unsigned char c = (unsigned char)s[i];
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return 0;
    char32_t v = c & (0xFF >> (len + 1));
    for (size_t k = 1; k < len; ++k) {
        const unsigned char cc = (unsigned char)s[i + k];
        if ((cc & 0xC0) != 0x80) return 0;
        v = (v << 6) | (cc & 0x3F);
    }
    if ((len == 3 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) || (len == 4 && (v < 0x10000 || v > 0x10FFFF)))
        return 0;
    cp = v;
    return len;
}

inline bool isUtf8(std::string_view s) {
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8At(s, i, cp);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

inline void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Windows-1252, the 8-bit code page of Windows files: Latin-1 except
// 0x80-0x9F. Written out rather than taken from iconv, which refuses the five
// unassigned codes (0x81, 0x8D, 0x8F, 0x90, 0x9D); Windows maps them to the
// control characters of the same number, and so does this table, so every
// byte has a character and every such character its byte.
inline constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

inline char32_t fromCp1252(unsigned char b) { return b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b; }

// The Windows-1252 code of a character, or '?' (what Windows puts in) when it has none.
inline unsigned char toCp1252(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return (unsigned char)cp;
    for (int k = 0; k < 32; ++k)
        if (kCp1252High[k] == cp) return (unsigned char)(0x80 + k);
    return '?';
}

inline std::string cp1252ToUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 2);
    for (unsigned char b : s) appendUtf8(out, fromCp1252(b));
    return out;
}

// UTF-8 as Windows-1252 bytes; a character without a code, or an invalid byte, is "?".
inline std::string utf8ToCp1252(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        char32_t cp;
        const size_t n = utf8At(s, i, cp);
        out += char(n ? toCp1252(cp) : '?');
        i += n ? n : 1;
    }
    return out;
}

// UTF-8 <-> UTF-16, for the wire and for ODBC's wide calls. Invalid UTF-8
// bytes and unpaired surrogates become U+FFFD.
inline std::u16string toUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        char32_t cp;
        const size_t len = utf8At(s, i, cp);
        if (len == 0) cp = 0xFFFD;
        i += len ? len : 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

inline std::string fromUtf16(const char16_t* s, size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out;
}

inline std::string fromUtf16(std::u16string_view s) { return fromUtf16(s.data(), s.size()); }

// UTF-8 as UTF-16 little-endian bytes, and back (an odd last byte is dropped).
inline std::string toUtf16le(std::string_view s) {
    const std::u16string w = toUtf16(s);
    std::string out;
    out.reserve(w.size() * 2);
    for (char16_t c : w) {
        out += char(c & 0xFF);
        out += char(c >> 8);
    }
    return out;
}

inline std::string fromUtf16le(std::string_view bytes) {
    std::u16string w;
    w.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        w.push_back(char16_t((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8)));
    return fromUtf16(w);
}

// Shortest decimal form of a number with at most 15 significant digits:
// fixed notation for exponents -4 to 14, "1.5E+20" otherwise; "NaN", "Infinity".
std::string formatNumber(double d);

// The local time `when` in strftime's `format`.
std::string localStamp(const char* format, std::time_t when = std::time(nullptr));

inline char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
inline char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

inline std::string toUpper(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = asciiUpper(c);
    return r;
}

inline bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

// Case-insensitive substring search; an empty needle is found at 0.
inline size_t ifind(std::string_view hay, std::string_view needle) {
    if (needle.size() > hay.size()) return std::string_view::npos;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i)
        if (iequals(hay.substr(i, needle.size()), needle)) return i;
    return std::string_view::npos;
}

// Trims blanks and tabs (the blanks the INI reader and VB's Trim remove).
inline std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}

inline std::string replaceAll(std::string_view s, std::string_view from, std::string_view to) {
    std::string r;
    if (from.empty()) return std::string(s);
    size_t pos = 0;
    for (;;) {
        size_t hit = s.find(from, pos);
        if (hit == std::string_view::npos) break;
        r.append(s.substr(pos, hit - pos));
        r.append(to);
        pos = hit + from.size();
    }
    r.append(s.substr(pos));
    return r;
}

}  // namespace dz::text
