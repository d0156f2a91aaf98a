// Written by hand: no INI library reads files the way the component's
// configuration expects (names matched without case and blanks, one pair of
// enclosing quotes removed, "" for a present empty key, the default only for
// a missing key, section or file, a 2047-character limit, Windows-1252 lines
// read as such).
#include "platform/profile/profile.h"

#include <fstream>
#include <sstream>

#include "platform/text.h"

namespace dz::profile {

namespace {

constexpr long kMaxChars = 2047;

std::string stripQuotes(std::string v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

// Cuts a UTF-8 text after `max` code points.
std::string limitChars(std::string v, long max) {
    long n = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        if (((unsigned char)v[i] & 0xC0) != 0x80) {
            if (n == max) return v.substr(0, i);
            ++n;
        }
    }
    return v;
}

std::string resolve(std::string_view file) {
    std::string f(file);
    if (f.find('/') == std::string::npos) return systemFolder() + "/" + f;
    return f;
}

}  // namespace

std::string systemFolder() { return "/etc"; }

std::string getString(std::string_view section, std::string_view key, std::string_view def,
                      std::string_view file) {
    return File(file).getString(section, key, def);
}

File::File(std::string_view file) {
    std::ifstream in(resolve(file), std::ios::binary);
    if (!in) return;
    std::ostringstream all;
    all << in.rdbuf();
    found_ = true;
    content_ = std::move(all).str();
}

std::string File::getString(std::string_view section, std::string_view key, std::string_view def) const {
    if (!found_) return std::string(def);
    std::istringstream in(content_);

    const std::string wantSection = text::trim(section);
    const std::string wantKey = text::trim(key);
    bool inSection = false, seenSection = false;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        first = false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A file saved on Windows holds its text in Windows-1252.
        if (!text::isUtf8(line)) line = text::cp1252ToUtf8(line);
        std::string t = text::trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t[0] == '[') {
            size_t close = t.find(']');
            std::string name = text::trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            // Only the first section of a name counts.
            if (inSection) break;
            inSection = !seenSection && text::iequals(name, wantSection);
            seenSection = seenSection || inSection;
            continue;
        }
        if (!inSection) continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        if (!text::iequals(text::trim(t.substr(0, eq)), wantKey)) continue;
        return limitChars(stripQuotes(text::trim(t.substr(eq + 1))), kMaxChars);
    }
    return std::string(def);
}

}  // namespace dz::profile
