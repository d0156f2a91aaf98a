// Small text helpers shared by the platform layer and the component.
// Text is UTF-8 std::string; "characters" means Unicode code points.
#pragma once

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
