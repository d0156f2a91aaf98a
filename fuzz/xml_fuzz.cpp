// The XML layer as a result upload uses it: a document transformed by the
// site's style sheets and the output loaded against the result schema; or,
// first byte odd, the input loaded as a style sheet and applied to the
// sample result.
#include "platform/xml/xml.h"

#include <memory>
#include <string>

using namespace dz::xml;

namespace {

struct Site {
    std::shared_ptr<SchemaCache> schemas = std::make_shared<SchemaCache>();
    Document result, header, sample;
    Site() {
        std::string dir = std::string(DZ_SOURCE_DIR) + "/site/";
        schemas->add("urn:SaveResult-schema", dir + "SaveResult.xsd");
        result.load(dir + "DEZozevo.xsl");
        header.load(dir + "GetHeader.xsl");
        sample.load(dir + "SampleResult.xml");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Site site;
    if (size < 1) return 0;
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        if (data[0] & 1) {
            Document sheet;
            if (sheet.loadXML(text)) site.sample.transformNode(sheet);
            return 0;
        }
        Document doc;
        if (!doc.loadXML(text)) return 0;
        doc.selectNodes("//*[@ID]/@ID");
        Document header, result;
        header.loadXML(doc.transformNode(site.header));
        result.setSchemas(site.schemas);
        result.loadXML(doc.transformNode(site.result));
    } catch (const Error&) {
    }
    return 0;
}
