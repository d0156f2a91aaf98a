#include "DEZozevoDLL/clsGetProductStructure.h"

#include <exception>

#include "DEZozevoDLL/Query.h"
#include "DEZozevoDLL/Tester.h"

namespace dz {

namespace {

// A failure without a description must still read as one to the caller.
std::string describe(const char* what) {
    std::string d = what ? what : "";
    return d.empty() ? "Unspecified failure in GetProductStructure" : d;
}

// Attribute values are escaped so that the document stays well-formed XML;
// values without these characters come out unchanged. Null gives "".
void appendAttributeValue(std::string& out, const db::Value& v) {
    if (!v.isNull()) out += Tester::EscapeXml(v.toText());
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

}  // namespace

int32_t clsGetProductStructure::GetProductStructure(const std::string& spName, const std::string& xmlPart,
                                                    std::string& xmlProductStructure,
                                                    std::string& ErrorDescription) {
    m_nStatus = 0;
    try {
        db::Command cmd = storedProcedure(spName);
        cmd.namedParameters = true;
        cmd.append("return", db::adInteger, db::adParamReturnValue, 0, 0);
        cmd.append("@xmlPart", db::adLongVarChar, db::adParamInput, xmlPart);
        db::Recordset rs = cmd.execute();
        m_nStatus = cmd.value("return").toInt32();

        if (m_nStatus == 0 && rs.isOpen()) {
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
        return m_nStatus;
    } catch (const std::exception& e) {
        ErrorDescription = describe(e.what());
    } catch (...) {
        ErrorDescription = describe(nullptr);
    }
    return 0;
}

}  // namespace dz
