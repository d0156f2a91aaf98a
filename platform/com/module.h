// Where the component lives.
#pragma once

#include <string>

namespace dz {

// The folder that holds the component's INI file, style sheets, schemas and
// logs: $DEZOZEVO_HOME when set (several station set-ups on one machine,
// tests), else the folder of the loaded library. No trailing slash.
std::string componentFolder();

}  // namespace dz
