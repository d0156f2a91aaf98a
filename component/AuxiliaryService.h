// Auxiliary calls: message texts for status codes, the product structure of
// a part, and site-specific stored procedures named in the INI file.
#pragma once

#include <cstdint>
#include <string>

#include "component/Service.h"

namespace dz {

class AuxiliaryService : public Service {
public:
    using Service::Service;
    // objUTLGetErrMessage's text ("" on servers without it); a database
    // failure throws com::Error with the client's description, unlogged.
    std::string errMessage(int32_t nErrCode);
    // <ProductStructure>: assemblies with their parts, two levels.
    int32_t productStructure(const std::string& xmlPart, std::string& xmlProductStructure,
                             std::string& ErrorDescription);
    // The procedure that `FunctionName` maps to in `iniFile` (or the
    // CUSTOMIZATION one when it is empty), run with xmlIn.
    int32_t genericFunction(const std::string& xmlIn, std::string& xmlOut, std::string& ErrorDescription,
                            const std::string& FunctionName, const std::string& iniFile);
};

}  // namespace dz
