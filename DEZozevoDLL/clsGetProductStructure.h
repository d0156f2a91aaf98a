// Worker of Tester::GetProductStructure: runs the site's product-structure
// procedure and turns its rows into a two-level <ProductStructure> document.
// One object per call.
#pragma once

#include <cstdint>
#include <string>

namespace dz {

class clsGetProductStructure {
public:
    // Returns the procedure's status, or 0 after a failure, in which case
    // ErrorDescription holds the failure's description (otherwise it is
    // cleared). xmlProductStructure is written only when the whole document
    // was built; otherwise it keeps what the caller passed.
    int32_t GetProductStructure(const std::string& spName, const std::string& xmlPart,
                                std::string& xmlProductStructure, std::string& ErrorDescription);

private:
    int32_t m_nStatus = 0;  // the procedure's status for the length of the call
};

}  // namespace dz
