// Small pieces of writing files that survive a crash: the text of an errno,
// and making a link, rename or removal in a folder durable.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <system_error>

namespace dz::durable {

inline std::string errnoText(int err) { return std::error_code(err, std::generic_category()).message(); }

// Flushes the folder's entries; a folder that cannot be opened is left as it is.
inline void syncFolder(const std::string& folder) {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace dz::durable
