// The daily log, failure classification and the small helper methods.
#include <fcntl.h>
#include <glob.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/modVariables.h"
#include "platform/db/db.h"
#include "platform/log/sink.h"
#include "platform/text.h"

namespace dz {

namespace {

constexpr size_t kCallLinesKept = 16;

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

// What log() does with a line of `level`.
struct LineUse {
    bool kept;     // level 1, whatever LogLevel says: it describes the call's failure in state()
    bool written;  // up to LogLevel: to the log file and the log sink
    bool dumped;   // LogLevel 3: the byte dump, whatever the line's level
    bool any() const { return kept || written || dumped; }
};

LineUse useOf(const ModVariables& mv, uint8_t level) { return {level == 1, level <= mv.LogLevel, mv.LogLevel == 3}; }

}  // namespace

void Tester::putLog(std::string& strMsg, uint8_t& nLevel) {
    log(strMsg, nLevel);
}

void Tester::log(std::string_view msg, uint8_t level) {
    ModVariables& mv = modVariables();
    const LineUse use = useOf(mv, level);
    if (use.kept && callLines_.size() < kCallLinesKept) callLines_.emplace_back(msg);
    mv.LogFileName = componentFolder() + "/DEZozevo" + text::localStamp("%Y%m%d") + ".log";
    if (use.written) {
        appendFile(mv.LogFileName, text::localStamp("%Y-%m-%d %H:%M:%S") + "  " + std::string(msg) + "\r\n");
        logsink::forward(level, msg);
    }
    if (use.dumped) appendFile(mv.LogFileName, byteDump(msg));
}

void Tester::log(std::initializer_list<std::string_view> parts, uint8_t level) {
    // The parts are joined only when the line is used; an unused one still
    // refreshes the log file's name.
    if (!useOf(modVariables(), level).any()) return log(std::string_view(), level);
    std::string msg;
    size_t size = 0;
    for (std::string_view p : parts) size += p.size();
    msg.reserve(size);
    for (std::string_view p : parts) msg += p;
    log(msg, level);
}

int32_t Tester::CalcErrCode(std::string& strMsg) {
    return calcErr(strMsg);
}

int32_t Tester::calcErr(const std::exception& failure) {
    if (const auto* e = dynamic_cast<const db::Error*>(&failure)) {
        switch (e->kind()) {
        case db::FailureKind::NoServer: return 9001;
        case db::FailureKind::Network: return 9002;
        case db::FailureKind::Timeout: return 9003;
        case db::FailureKind::Unknown: break;
        }
    }
    return calcErr(failure.what());
}

int32_t Tester::calcErr(std::string_view msg) {
    if (text::ifind(msg, "access denied") != std::string_view::npos) return 9001;
    if (text::ifind(msg, "General network error") != std::string_view::npos) return 9002;
    if (text::ifind(msg, "Timeout expired") != std::string_view::npos) return 9003;
    return 9999;
}

bool Tester::FileExists(std::string& Fname) {
    if (Fname.empty() || Fname.back() == '/') return false;
    // Only "*" and "?" are wildcards, as the callers' paths expect.
    std::string pattern;
    for (char c : Fname) {
        if (c == '[' || c == ']' || c == '\\') pattern += '\\';
        pattern += c;
    }
    glob_t g{};
    const int rc = ::glob(pattern.c_str(), GLOB_ERR, nullptr, &g);
    if (rc == GLOB_ABORTED || rc == GLOB_NOSPACE) {
        globfree(&g);
        throw com::Error("Bad file name or number: " + Fname);
    }
    bool found = false;
    for (size_t i = 0; rc == 0 && i < g.gl_pathc && !found; ++i) {
        std::string p = g.gl_pathv[i];
        std::string base = p.substr(p.rfind('/') == std::string::npos ? 0 : p.rfind('/') + 1);
        struct stat st{};
        // Ordinary files only: no folders, no hidden (dot) files.
        found = !base.empty() && base[0] != '.' && ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }
    globfree(&g);
    return found;
}

}  // namespace dz
