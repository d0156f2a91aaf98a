// The scrambled form in which the database keeps slave passwords.
#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"

namespace dz {

// Every character of a slave password is combined, by its Windows-1252 code,
// with this key by exclusive or. The database's slave passwords must be
// scrambled with the same byte.
inline constexpr unsigned char kPasswordScrambleKey = 0x07;

// Its own inverse on Windows-1252 text: scrambling twice gives the input
// back, length unchanged. A character without a Windows-1252 code counts as
// "?"; a byte that is not UTF-8 as the Windows-1252 character of that code.
inline std::string UnscramblePassword(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        size_t n = text::utf8At(text, i, cp);
        if (n == 0) {
            cp = text::fromCp1252((unsigned char)text[i]);
            n = 1;
        }
        text::appendUtf8(out, text::fromCp1252(text::toCp1252(cp) ^ kPasswordScrambleKey));
        i += n;
    }
    return out;
}

}  // namespace dz
