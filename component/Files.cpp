#include "component/Files.h"

#include <glob.h>
#include <sys/stat.h>

#include "platform/com/variant.h"

namespace dz {

bool fileExists(const std::string& Fname) {
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
