// Worker of Tester::GetGenericFunction: runs a site-chosen stored procedure
// with the station's text and hands back the procedure's status. One object
// per call.
#pragma once

#include <cstdint>
#include <string>

namespace dz {

class clsGenericFunction {
public:
    // Returns the procedure's status, or 0 after a failure, in which case
    // ErrorDescription holds the failure's description (otherwise it is
    // cleared). xmlOut is not written.
    int32_t GetGenericFunction(const std::string& spName, const std::string& xmlIn, std::string& xmlOut,
                               std::string& ErrorDescription);

private:
    int32_t m_nStatus = 0;  // the procedure's status for the length of the call
};

}  // namespace dz
