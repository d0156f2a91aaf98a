// The route check: may this unit be tested at this station now? Generation
// 10 asks the database; on 20 the unit query checks the route itself.
#pragma once

#include <cstdint>
#include <string>

#include "component/Service.h"

namespace dz {

class RouteService : public Service {
public:
    using Service::Service;
    // uspCheckRouting's return value: 0 cleared, above 0 refused (logged).
    int32_t check(const std::string& unit, const std::string& station);
};

}  // namespace dz
