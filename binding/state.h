// The Tester's own state as the JSON object dz_state() hands out.
#pragma once

#include <string>

#include "DEZozevoDLL/Tester.h"

namespace dz::binding {

std::string stateJson(const TesterState& s);

}  // namespace dz::binding
