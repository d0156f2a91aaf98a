// The driver behind Data Source "sim:PATH": runs each command in-process on
// the MES simulator file at PATH (absolute, or relative to the component
// folder).
#pragma once

#include <string>

#include "platform/db/driver.h"

namespace dz::db {

class SimDriver : public Driver {
public:
    Response execute(Request& request) override;

    // The file a Data Source names ("" when it names none).
    static std::string pathOf(const std::string& dataSource);
};

}  // namespace dz::db
