// Unit info: what the database holds for one serial number. Results kept
// after a network failure are sent first (ResultService), and while they
// cannot be stored the station gets no unit data.
#pragma once

#include <cstdint>
#include <string>

#include "component/Service.h"

namespace dz {

class ResultService;

class UnitInfoService : public Service {
public:
    UnitInfoService(Context& context, Log& log, ResultService& results)
        : Service(context, log), results(results) {}

    // Generation 10: the request's SerialNumber to uspGetUnitInfo; the
    // "strXML" pieces are added to what the caller passed.
    int32_t get10(const std::string& strRequest, std::string& strUnitInfo, const std::string& strStationName);
    // Generation 20: the request checked by the unit-info schema and turned
    // into the procedure's serial number by its style sheet; the rows become
    // <UnitInfo> (or <UNITINFO> with groups).
    int32_t get20(const std::string& strRequest, std::string& strUnitInfo, const std::string& strStationName,
                  const std::string& strUserID);

private:
    ResultService& results;
};

}  // namespace dz
