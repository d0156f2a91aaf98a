// Text as XML content or as an attribute value between double quotes.
#pragma once

#include <string>
#include <string_view>

namespace dz::xml {

// Appends `text` with the four XML specials (& < > ") as entities; an
// apostrophe stays as it is.
inline void appendEscaped(std::string& out, std::string_view text) {
    size_t run = 0;  // start of the characters not yet copied
    for (size_t i = 0; i < text.size(); ++i) {
        const char* entity;
        switch (text[i]) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '"': entity = "&quot;"; break;
        default: continue;
        }
        out.append(text.data() + run, i - run);
        out += entity;
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
}

inline std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text);
    return out;
}

}  // namespace dz::xml
