// The status of a failure, as every service reports one.
#pragma once

#include <cstdint>
#include <exception>
#include <string_view>

namespace dz {

// By the first phrase the text holds: "access denied" 9001, "General network
// error" 9002, "Timeout expired" 9003 (any case), else 9999.
int32_t statusOfText(std::string_view description);

// From the failure kind a driver gave, else from the text.
int32_t statusOf(const std::exception& failure);

}  // namespace dz
