// Files of the component's callers.
#pragma once

#include <string>

namespace dz {

// Whether `pattern` names an ordinary, not hidden file; "*" and "?" are
// wildcards (nothing else is). Throws com::Error when a folder on the way
// cannot be listed.
bool fileExists(const std::string& pattern);

}  // namespace dz
