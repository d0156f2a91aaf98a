#include "component/AuxiliaryService.h"

#include <exception>

#include "component/Failures.h"
#include "component/Query.h"
#include "platform/com/variant.h"
#include "platform/profile/profile.h"
#include "platform/text.h"

namespace dz {

namespace {

// A failure without a description must still read as one to the caller.
std::string describe(const char* what, const char* method) {
    std::string d = what ? what : "";
    return d.empty() ? std::string("Unspecified failure in ") + method : d;
}

// Attribute values are escaped so that the document stays well-formed XML;
// values without these characters come out unchanged. Null gives "".
void appendAttributeValue(std::string& out, const db::Value& v) {
    if (!v.isNull()) appendEscapedXml(out, v.toText());
}

void appendProduct(std::string& out, const db::Recordset& rs, const char* end) {
    static const char* const kColumns[] = {"Product-Family", "Description", "PartNumber", "Revision"};
    out += "<PRODUCT ";
    for (const char* name : kColumns) {
        out += name;
        out += "=\"";
        appendAttributeValue(out, rs.field(name));
        out += "\" ";
    }
    out += end;
}

// The procedure's status, or 0 after a failure, whose description is then in
// ErrorDescription (otherwise cleared). xmlProductStructure is written only
// when the whole document was built; otherwise it keeps what the caller passed.
int32_t runProductStructure(const Context& context, const std::string& spName, const std::string& xmlPart,
                            std::string& xmlProductStructure, std::string& ErrorDescription) {
    try {
        db::Command cmd = storedProcedure(context, spName);
        cmd.namedParameters = true;
        cmd.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd.append("@xmlPart", db::adLongVarChar, db::adParamInput, xmlPart);
        db::Recordset rs = cmd.execute();
        const int32_t status = cmd.value("return").toInt32();

        if (status == 0 && rs.isOpen()) {
            // Built aside and handed over whole: a failure halfway through the
            // rows leaves the caller's text as it was.
            std::string doc = "<ProductStructure>";
            int openAssemblies = 0;
            while (!rs.eof()) {
                if (rs.field("Parent").isNull()) {
                    // An assembly closes the one before it: the tree has two levels.
                    if (openAssemblies > 0) doc += "</PRODUCT>";
                    appendProduct(doc, rs, ">");
                    ++openAssemblies;
                } else {
                    appendProduct(doc, rs, "/>");
                }
                rs.moveNext();
            }
            if (openAssemblies > 0) doc += "</PRODUCT>";
            doc += "</ProductStructure>";
            xmlProductStructure = std::move(doc);
        }
        ErrorDescription = "";
        return status;
    } catch (const std::exception& e) {
        ErrorDescription = describe(e.what(), "GetProductStructure");
    } catch (...) {
        ErrorDescription = describe(nullptr, "GetProductStructure");
    }
    return 0;
}

// The procedure's status, or 0 after a failure, whose description is then in
// ErrorDescription (otherwise cleared). Any record set is discarded unread.
int32_t runGenericFunction(const Context& context, const std::string& spName, const std::string& xmlIn,
                           std::string& ErrorDescription) {
    try {
        db::Command cmd = storedProcedure(context, spName);
        cmd.namedParameters = true;
        cmd.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd.append("@xmlIn", db::adLongVarChar, db::adParamInput, xmlIn);
        cmd.execute();  // any record set is discarded unread
        const int32_t status = cmd.value("return").toInt32();
        // Cleared so that a description left from an earlier call does not
        // turn this call's success into a failure.
        ErrorDescription = "";
        return status;
    } catch (const std::exception& e) {
        ErrorDescription = describe(e.what(), "GetGenericFunction");
    } catch (...) {
        ErrorDescription = describe(nullptr, "GetGenericFunction");
    }
    return 0;
}

}  // namespace

// The one call whose failure reaches the caller: a database failure ends
// the call as com::Error with the client's description; nothing is logged.
std::string AuxiliaryService::errMessage(int32_t nErrCode) {
    if (!context.profile.hasErrorMessages()) return "";
    try {
        db::Command cmd = storedProcedure(context, "objUTLGetErrMessage");
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

int32_t AuxiliaryService::productStructure(const std::string& xmlPart, std::string& xmlProductStructure,
                                          std::string& ErrorDescription) {
    int32_t status = runProductStructure(context, context.settings.productStructureProcedure, xmlPart,
                                         xmlProductStructure, ErrorDescription);
    if (!ErrorDescription.empty() || status != 0) {
        log(ErrorDescription, 1);
        status = statusOfText(ErrorDescription);
    }
    return status;
}

int32_t AuxiliaryService::genericFunction(const std::string& xmlIn, std::string& xmlOut,
                                          std::string& ErrorDescription, const std::string& FunctionName,
                                          const std::string& iniFile) {
    // Read anew on every call, so a changed mapping applies without a restart.
    const std::string procedure = text::trim(FunctionName.empty()
                               ? profile::getString("CUSTOMIZATION", "SPToGenericFunction", "", iniFile)
                               : profile::getString("GENERICFUNCTIONSMAPPING", FunctionName, "", iniFile));
    if (procedure.empty()) {
        log("Wrong information for config file", 1);
        return 9999;
    }
    // xmlOut is not written: the procedure answers with its status only.
    int32_t status = runGenericFunction(context, procedure, xmlIn, ErrorDescription);
    if (!ErrorDescription.empty() || status != 0) {
        log(ErrorDescription, 1);
        status = statusOfText(ErrorDescription);
    }
    return status;
}

}  // namespace dz
