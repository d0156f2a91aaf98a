#include "platform/com/module.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string>

namespace dz {

std::string componentFolder() {
    if (const char* home = std::getenv("DEZOZEVO_HOME"); home && *home) {
        std::string h(home);
        while (h.size() > 1 && h.back() == '/') h.pop_back();
        return h;
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&componentFolder), &info) && info.dli_fname) {
        std::string path(info.dli_fname);
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) return ".";
        return slash == 0 ? "/" : path.substr(0, slash);
    }
    return ".";
}

}  // namespace dz
