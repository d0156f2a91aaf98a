// Sections of FreeTDS's configuration made by the driver.
//
// FreeTDS looks a section up in the file FREETDSCONF names, then in
// $FREETDS/etc/freetds.conf, ~/.freetds.conf and the system's file, and
// stops at the first file that has it. The driver's sections live in a file
// of the process that is gone with it (memfd), named by FREETDSCONF; any
// other section is still found in the usual files. A FREETDSCONF the
// process had is copied into it first.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/db/drivers/odbc/error.h"
#include "platform/db/drivers/odbc/odbc.h"

namespace dz::db::odbc {

namespace {

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace

std::string freetdsSection(const std::string& body) {
    static std::mutex m;
    static int fd = -1;
    static std::map<std::string, std::string> sections;
    std::lock_guard lock(m);
    if (auto it = sections.find(body); it != sections.end()) return it->second;
    if (fd < 0) {
        int f = ::memfd_create("dezozevo-freetds.conf", MFD_CLOEXEC);
        if (f < 0)
            throw OdbcError(Failure::server, std::string("FreeTDS's settings file could not be made: ") +
                                                 std::strerror(errno) + ".");
        std::string before;
        if (const char* old = std::getenv("FREETDSCONF"); old && *old) {
            std::ifstream in(old, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            before = text.str() + "\n";
        }
        if (!writeAll(f, before)) {
            ::close(f);
            throw OdbcError(Failure::server, "FreeTDS's settings file could not be written.");
        }
        // Set once, before the first connection that needs it.
        ::setenv("FREETDSCONF", ("/proc/self/fd/" + std::to_string(f)).c_str(), 1);
        fd = f;
    }
    std::string name = "dezozevo-" + std::to_string(sections.size() + 1);
    // Sections are only appended: one a connection read stays as it was.
    if (!writeAll(fd, "[" + name + "]\n" + body + "\n"))
        throw OdbcError(Failure::server, "FreeTDS's settings file could not be written.");
    sections.emplace(body, name);
    return name;
}

}  // namespace dz::db::odbc
