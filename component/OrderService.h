// Work orders of a station and attributes of a model, as XML text. The
// procedures' names follow the generation (Profile).
#pragma once

#include <cstdint>
#include <string>

#include "component/Service.h"

namespace dz {

class OrderService : public Service {
public:
    using Service::Service;
    // An empty station is the INI station.
    int32_t info(std::string& strWorkOrderInfo, const std::string& strStationName);
    int32_t byStation(std::string& strWorkOrderInfo, const std::string& strStationName);
    int32_t modelAttributes(std::string& strModelInfo, const std::string& strPartNumber,
                            const std::string& strPartRev);

private:
    std::string stationOr(const std::string& given) const;
};

}  // namespace dz
