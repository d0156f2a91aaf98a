// What the database holds about a unit beside its unit data, and a
// station's calibration: the unit's attributes as a flat <UNITINFO> list,
// calibration data read as XML pieces the database composes and stored as
// one document. Generation 10 only.
#pragma once

#include <cstdint>
#include <string>

#include "component/Service.h"

namespace dz {

class AttributeService : public Service {
public:
    using Service::Service;
    int32_t unitAttributes(const std::string& strRequest, std::string& strUnitInfo, const std::string& strStationName);
    // An empty station is the INI station; an empty fixture asks for any.
    int32_t calibrationInfo(std::string& strCalibrationInfo, const std::string& strStationName,
                            const std::string& strFixture);
    int32_t saveCalibration(const std::string& strCalibration);
};

}  // namespace dz
