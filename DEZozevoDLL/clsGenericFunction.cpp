#include "DEZozevoDLL/clsGenericFunction.h"

#include <exception>

#include "DEZozevoDLL/Query.h"

namespace dz {

namespace {

// A failure without a description must still read as one to the caller.
std::string describe(const char* what) {
    std::string d = what ? what : "";
    return d.empty() ? "Unspecified failure in GetGenericFunction" : d;
}

}  // namespace

int32_t clsGenericFunction::GetGenericFunction(const std::string& spName, const std::string& xmlIn,
                                               std::string& xmlOut, std::string& ErrorDescription) {
    m_nStatus = 0;
    try {
        db::Command cmd = storedProcedure(spName);
        cmd.namedParameters = true;
        cmd.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd.append("@xmlIn", db::adLongVarChar, db::adParamInput, xmlIn);
        cmd.execute();  // any record set is discarded unread
        m_nStatus = cmd.value("return").toInt32();
        // Cleared so that a description left from an earlier call does not
        // turn this call's success into a failure.
        ErrorDescription = "";
        return m_nStatus;
    } catch (const std::exception& e) {
        ErrorDescription = describe(e.what());
    } catch (...) {
        ErrorDescription = describe(nullptr);
    }
    return 0;
}

}  // namespace dz
