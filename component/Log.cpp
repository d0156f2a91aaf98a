#include "component/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "component/Context.h"
#include "platform/com/module.h"
#include "platform/log/sink.h"
#include "platform/text.h"

namespace dz {

namespace {

constexpr size_t kFailureLinesKept = 16;

// Appends `data` to `path` in one open-write-close; a failure drops it.
// Plain system calls: a stream would add a stat and a seek to every line.
void appendFile(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return;
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    ::close(fd);
}

// One line per byte: its decimal value and the character of that 8-bit code
// (control codes are left out, so the log stays plain text).
std::string byteDump(std::string_view msg) {
    std::string out;
    for (unsigned char b : text::toUtf16le(msg)) {
        out += std::to_string(b);
        out += ' ';
        if (b >= 0x20 && b < 0x7F) {
            out += char(b);
        } else if (b >= 0xA0) {  // Latin-1 code as UTF-8
            text::appendUtf8(out, b);
        }
        out += "\r\n";
    }
    return out;
}

// What the log does with a line of `level`.
struct LineUse {
    bool kept;     // level 1, whatever LEVEL says: it describes the call's failure in the state
    bool written;  // up to LEVEL: to the log file and the log sink
    bool dumped;   // LEVEL 3: the byte dump, whatever the line's level
    bool any() const { return kept || written || dumped; }
};

LineUse useOf(const Settings& settings, uint8_t level) {
    return {level == 1, level <= settings.logLevel, settings.logLevel == 3};
}

}  // namespace

void Log::operator()(std::string_view msg, uint8_t level) {
    const LineUse use = useOf(context_.settings, level);
    if (use.kept && failureLines_.size() < kFailureLinesKept) failureLines_.emplace_back(msg);
    context_.logFile = componentFolder() + "/DEZozevo" + text::localStamp("%Y%m%d") + ".log";
    if (use.written) {
        appendFile(context_.logFile, text::localStamp("%Y-%m-%d %H:%M:%S") + "  " + std::string(msg) + "\r\n");
        logsink::forward(level, msg);
    }
    if (use.dumped) appendFile(context_.logFile, byteDump(msg));
}

void Log::operator()(std::initializer_list<std::string_view> parts, uint8_t level) {
    // The parts are joined only when the line is used; an unused one still
    // refreshes the log file's name.
    if (!useOf(context_.settings, level).any()) return (*this)(std::string_view(), level);
    std::string msg;
    size_t size = 0;
    for (std::string_view p : parts) size += p.size();
    msg.reserve(size);
    for (std::string_view p : parts) msg += p;
    (*this)(msg, level);
}

std::vector<std::string> Log::takeFailureLines() {
    std::vector<std::string> lines = std::move(failureLines_);
    failureLines_.clear();
    return lines;
}

}  // namespace dz
