// The component folder's daily log (DEZozevoYYYYMMDD.log) as one Tester
// writes it: lines up to the INI's LEVEL go to the file and the log sink, and
// the failure lines (level 1) of the current call are kept for the Tester's state.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace dz {

struct Context;

class Log {
public:
    explicit Log(Context& context) : context_(context) {}

    void operator()(std::string_view msg, uint8_t level);
    // The parts joined into one line, only when the line is used (written or kept).
    void operator()(std::initializer_list<std::string_view> parts, uint8_t level);

    // The failure lines since the last call of takeFailureLines (at most 16).
    std::vector<std::string> takeFailureLines();

private:
    Context& context_;
    std::vector<std::string> failureLines_;
};

}  // namespace dz
