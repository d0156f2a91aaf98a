// The scrambled form in which the database keeps slave passwords.
#pragma once

#include <string>
#include <string_view>

namespace dz {

// Every byte of a slave password is combined with this key by exclusive or.
// The database's slave passwords must be scrambled with the same byte.
inline constexpr unsigned char kPasswordScrambleKey = 0x07;

// Its own inverse: scrambling twice gives the input back, length unchanged.
inline std::string UnscramblePassword(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = char((unsigned char)c ^ kPasswordScrambleKey);
    return out;
}

}  // namespace dz
