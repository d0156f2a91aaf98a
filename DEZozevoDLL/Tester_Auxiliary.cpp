// Auxiliary services: message texts for status codes, the product structure
// of a part, and site-specific stored procedures named in the INI file.
#include <exception>

#include "DEZozevoDLL/Query.h"
#include "DEZozevoDLL/Tester.h"
#include "DEZozevoDLL/clsGenericFunction.h"
#include "DEZozevoDLL/clsGetProductStructure.h"
#include "DEZozevoDLL/modVariables.h"
#include "platform/profile/profile.h"
#include "platform/text.h"

namespace dz {

// The one service whose failure reaches the caller: a database failure ends
// the call as com::Error with the client's description; nothing is logged.
std::string Tester::GetErrMessage20(int32_t nErrCode) {
    try {
        db::Command cmd = storedProcedure("objUTLGetErrMessage");
        cmd.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd.append("@Language", db::adVarChar, db::adParamInput, "ENG", 3);
        cmd.append("@Type", db::adVarChar, db::adParamInput, "ERROR", 5);
        cmd.append("@Code", db::adVarChar, db::adParamInput, std::to_string(nErrCode), 20);
        cmd.append("@Message", db::adVarChar, db::adParamOutput, db::Value(), 200);
        cmd.execute();
        const db::Value message = cmd.value("@Message");
        return message.isNull() ? std::string() : message.toText();
    } catch (const com::Error&) {
        throw;
    } catch (const std::exception& e) {
        throw com::Error(e.what());
    }
}

int32_t Tester::GetProductStructure(std::string xmlPart, std::string& xmlProductStructure,
                                    std::string& ErrorDescription) {
    healStartup();
    clsGetProductStructure worker;
    int32_t status = worker.GetProductStructure(modVariables().SPToGetProductStructure, xmlPart,
                                                xmlProductStructure, ErrorDescription);
    if (!ErrorDescription.empty() || status != 0) {
        log(ErrorDescription, 1);
        status = calcErr(ErrorDescription);
    }
    return status;
}

int32_t Tester::GetGenericFunction(std::string xmlIn, std::string& xmlOut, std::string& ErrorDescription,
                                   std::string FunctionName) {
    healStartup();
    // Read anew on every call, so a changed mapping applies without a restart.
    ModVariables& mv = modVariables();
    mv.SPToGenericFunction =
        text::trim(FunctionName.empty()
                       ? profile::getString("CUSTOMIZATION", "SPToGenericFunction", "", IniFileName)
                       : profile::getString("GENERICFUNCTIONSMAPPING", FunctionName, "", IniFileName));
    if (mv.SPToGenericFunction.empty()) {
        log("Wrong information for config file", 1);
        return 9999;
    }

    clsGenericFunction worker;
    int32_t status = worker.GetGenericFunction(mv.SPToGenericFunction, xmlIn, xmlOut, ErrorDescription);
    if (!ErrorDescription.empty() || status != 0) {
        log(ErrorDescription, 1);
        status = calcErr(ErrorDescription);
    }
    return status;
}

}  // namespace dz
